#!/usr/bin/env bash
# Replays tests/regressions: every file there is given as both inputs and
# must give the line that `messages` holds for it. A refused file must give
# the same line when its rows are only checked for errors: as the dividend
# of a 1 x 1 divisor, whose size mismatch it outranks. Each run has 10 s.
# usage: replay_regressions.sh IMGRATIO_BINARY
set -euo pipefail
imgratio=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$here/make_tiff.py" "$work/one-sample.tif" --width 1 --height 1
cd "$here/regressions"
checked=0
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
while IFS= read -r line; do
    case $line in '' | '#'*) continue ;; esac
    file=${line%% : *}
    expected=${line#* : }
    [ -f "$file" ] || { fail "$file: no such file"; continue; }
    status=0
    got=$(timeout 10 "$imgratio" "$file" "$file" "$work/out.tif" 2>&1) || status=$?
    checked=$((checked + 1))
    if [ "$expected" = stored ]; then
        [ "$status" -eq 0 ] && [ -z "$got" ] || fail "$file: exit status $status, '$got' where it should be stored"
        continue
    fi
    [ "$status" -eq 1 ] && [ "$got" = "$file : $expected" ] || fail "$file: exit status $status, '$got'"
    status=0
    got=$(timeout 10 "$imgratio" "$file" "$work/one-sample.tif" "$work/out.tif" 2>&1) || status=$?
    [ "$status" -eq 1 ] && [ "$got" = "$file : $expected" ] || fail "$file, rows only checked: '$got'"
done <messages
for file in *.tif; do
    grep -q "^$file : " messages || fail "$file has no line in messages"
done
echo "$checked regression files replayed, $failures failures"
[ "$failures" -eq 0 ] && [ "$checked" -gt 0 ]
