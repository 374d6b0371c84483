#!/usr/bin/env bash
# Times a batch of the 1000 frame pairs of benchmark case e (512 x 512, 16-bit
# LZW with differencing; made by bench/run.sh) with one process per pair:
# one at a time, and with xargs over every core, as the README shows.
# usage: bench/batch.sh [IMGRATIO]
set -euo pipefail
cd "$(dirname "$0")/.."
imgratio=$(realpath "${1:-build-bench/imgratio}")
data=/dev/shm/imgratio-bench/e
out=$(mktemp -d -p /dev/shm)
trap 'rm -rf "$out"' EXIT
pairs=$(ls "$data"/*-dividend.tif | wc -l)
run() {
    local jobs=$1 start end
    start=$(date +%s.%N)
    find "$data" -name '*-dividend.tif' -print0 |
        xargs -0 -P "$jobs" -n 1 sh -c '
            base=${1%-dividend.tif}
            "$0" "$1" "${base}-divisor.tif" "'"$out"'/${base##*/}-ratio.tif" ||
              { s=$?; echo "$1: exit status $s" >&2; exit $s; }' "$imgratio"
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" -v n="$pairs" -v j="$jobs" \
        'BEGIN { printf "%d pairs, %d at a time: %.2f s, %.0f pairs/s\n", n, j, b - a, n / (b - a) }'
}
run 1
run "$(nproc)"
