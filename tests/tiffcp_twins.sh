#!/usr/bin/env bash
# Compresses images with libtiff's tiffcp, a writer we did not write, in strips
# and in tiles (edge tiles included), and checks that imgratio's result for
# every variant equals its result for the original, byte for byte, as
# dividend and as divisor.
# usage: tiffcp_twins.sh IMGRATIO_BINARY COMPRESSION...   (e.g. none packbits lzw lzw:2 zip:2)
set -euo pipefail
imgratio=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
command -v tiffcp >/dev/null || { echo "FAIL: tiffcp missing (apt-get install libtiff-tools)"; exit 1; }

checked=0
failures=0
run() {
    if ! "$imgratio" "$@" 2>"$work/err"; then
        echo "FAIL: imgratio $*: $(cat "$work/err")"
        failures=$((failures + 1))
        return 1
    fi
}

# "bits byte-order width height [random]": sizes that leave partial bytes at
# the end of rows, large enough for 12-bit LZW codes and table clears in long
# strips; rows of 60000 bytes, longer than a Deflate window; one-row random
# images of 255, 774 and 1818 bytes, which libtiff's LZW closes with an end
# code at the width just raised.
for base in "8 little 333 97" "16 big 333 97" "16 little 512 256" "4 big 333 97" "1 little 333 97" \
            "12 big 101 40" "2 little 77 31" "16 little 30000 3" "8 big 255 1 random" "8 big 774 1 random" \
            "8 big 1818 1 random"; do
    read -r bits order width height random <<<"$base"
    orig="$work/orig.tif"
    python3 "$here/make_tiff.py" "$orig" --width "$width" --height "$height" --bits "$bits" --endian "$order" \
        --seed "$bits" ${random:+--random}
    python3 "$here/make_tiff.py" "$work/other.tif" --width "$width" --height "$height" --bits 16 --seed 99 --zeros 5
    run "$orig" "$work/other.tif" "$work/ref-dividend.tif"
    run "$work/other.tif" "$orig" "$work/ref-divisor.tif"
    for compression in "$@"; do
        # Differencing is defined for 8- and 16-bit samples only.
        case "$compression:$bits" in *:2:1|*:2:2|*:2:4|*:2:12|*:2:*:1|*:2:*:2|*:2:*:4|*:2:*:12) continue ;; esac
        for layout in "-r 1" "-r 7" "-r $height" "-t -w 16 -l 16" "-t -w 64 -l 32"; do
            for byte_order in -B -L; do
                for fill in "" "-f lsb2msb"; do
                    variant="$work/variant.tif"
                    # shellcheck disable=SC2086
                    tiffcp -c "$compression" $layout $byte_order $fill "$orig" "$variant"
                    what="$bits-bit $order $width x $height -> -c $compression $layout $byte_order $fill"
                    checked=$((checked + 1))
                    if run "$variant" "$work/other.tif" "$work/out.tif" && ! cmp -s "$work/out.tif" "$work/ref-dividend.tif"; then
                        echo "FAIL: $what: result as dividend differs"
                        failures=$((failures + 1))
                    fi
                    if run "$work/other.tif" "$variant" "$work/out.tif" && ! cmp -s "$work/out.tif" "$work/ref-divisor.tif"; then
                        echo "FAIL: $what: result as divisor differs"
                        failures=$((failures + 1))
                    fi
                done
            done
        done
    done
done
echo "$checked tiffcp variants checked, $failures failures"
[ "$failures" -eq 0 ]
