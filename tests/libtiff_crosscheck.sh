#!/usr/bin/env bash
# Reads imgratio's outputs with libtiff's tools, a reader we did not write:
# no warnings, the tags we mean, and the samples we computed.
# usage: libtiff_crosscheck.sh IMGRATIO_BINARY
set -euo pipefail
imgratio=$1
here=$(cd "$(dirname "$0")" && pwd)
make_tiff="python3 $here/make_tiff.py"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Runs a libtiff tool; any output on stderr (a warning or an error) fails.
quiet() {
    local err
    if ! "$@" 2>"$work/err" >"$work/out"; then fail "$* exited non-zero: $(cat "$work/err")"; fi
    err=$(cat "$work/err")
    [ -z "$err" ] || fail "$* warned: $err"
}

expect_in() { grep -qF -- "$2" "$work/out" || fail "$1: '$2' not in: $(cat "$work/out")"; }

command -v tiffinfo >/dev/null || { echo "FAIL: tiffinfo missing (apt-get install libtiff-tools)"; exit 1; }

# Known samples: 29/100, 323/5, 100/1, 65/1 give 290, 64599, 34464, 65000,
# which libtiff hands out in the host's order (little-endian here).
$make_tiff "$work/a.tif" --width 4 --height 1 --values 29,323,100,65
$make_tiff "$work/b.tif" --width 4 --height 1 --values 100,5,1,1 --endian big
"$imgratio" "$work/a.tif" "$work/b.tif" "$work/known.tif"
quiet tiffinfo -D -d "$work/known.tif"
expect_in known " 22 01 57 fc a0 86 e8 fd"
quiet tiffdump "$work/known.tif"
expect_in known "Magic: 0x4d4d <big-endian>"
expect_in known "BitsPerSample (258) SHORT (3) 1<16>"
expect_in known "FillOrder (266) SHORT (3) 1<1>"
expect_in known "StripOffsets (273) LONG (4) 1<8>"
expect_in known "StripByteCounts (279) LONG (4) 1<8>"
grep -q ImageDescription "$work/out" && fail "known: description where the dividend has none"

# Several strips and a description carried from the dividend.
"$imgratio" "$here/../examples/dividend.tif" "$here/../examples/divisor.tif" "$work/strips.tif"
quiet tiffinfo -D "$work/strips.tif"
expect_in strips "Image Width: 256 Image Length: 64"
expect_in strips "Rows/Strip: 16"
expect_in strips "ImageDescription: example dividend: 256 x 64, 16 bits"
quiet tiffdump "$work/strips.tif"
expect_in strips "StripOffsets (273) LONG (4) 4<"
expect_in strips "StripByteCounts (279) LONG (4) 4<8192 8192 8192 8192>"
quiet tiffcp "$work/strips.tif" "$work/copy.tif"

# Short and long descriptions.
for text in "" "abc" "abcd" "a longer description of the frame"; do
    $make_tiff "$work/d.tif" --width 5 --height 3 --bits 8 --description "$text"
    "$imgratio" "$work/d.tif" "$work/d.tif" "$work/desc.tif"
    quiet tiffdump "$work/desc.tif"
    expect_in "description '$text'" "ImageDescription (270) ASCII (2) $(( ${#text} + 1 ))<${text:0:20}"
    quiet tiffinfo -D -d "$work/desc.tif"
done

# A width above 65535 is stored as LONG.
$make_tiff "$work/wide.tif" --width 70000 --height 2 --bits 8
"$imgratio" "$work/wide.tif" "$work/wide.tif" "$work/wide-out.tif"
quiet tiffinfo -D -d "$work/wide-out.tif"
expect_in wide "Image Width: 70000 Image Length: 2"
quiet tiffdump "$work/wide-out.tif"
expect_in wide "ImageWidth (256) LONG (4) 1<70000>"
expect_in wide "ImageLength (257) SHORT (3) 1<2>"

if [ "$failures" -ne 0 ]; then
    echo "$failures libtiff cross-checks failed"
    exit 1
fi
echo "libtiff cross-checks passed"
