#!/usr/bin/env bash
# Builds imgratio (Release) and the libtiff baseline, makes the benchmark
# inputs in /dev/shm (once), and prints the comparison table with outputs in
# /dev/shm; then, for the cases a, e and e-replace among CASES, the table
# again with outputs on a real disk: DISK_DIR, by default build-bench/disk
# (under the build directory, so on the disk of the checkout).
# usage: bench/run.sh [REPETITIONS [CASES [DISK_DIR]]]   (CASES: a subset of abcdefgh,
# or names separated by commas: e-replace,s,s1,sl,z,zg,zd,t,tz,tB,fi,fz,si; z cases also print
# the decode rates)
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(libtiff-dev libtiff-tools libdeflate-dev zlib1g-dev python3-numpy python3-tifffile time)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -ne 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DIMGRATIO_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" >/dev/null
cc -O3 -ffp-contract=off -Wall -Wextra -o build-bench/ratio_libtiff bench/ratio_libtiff.c -ltiff -lm
# The decode rate of the Deflate decoder against libdeflate and zlib.
c++ -std=c++17 -O3 -Wall -Wextra -Isrc -o build-bench/inflate_rate bench/inflate_rate.cpp src/common/*.cpp \
    src/tiff_in/*.cpp -ltiff -ldeflate -lz
data=/dev/shm/imgratio-bench
/usr/bin/python3 bench/make_data.py "$data"
cases=${2:-a,b,c,d,e,e-replace,f,g,h}
python3 bench/measure.py build-bench/imgratio build-bench/ratio_libtiff "$data" "${1:-5}" "$cases"
# The same cases writing to a real disk: new outputs (a, e) and replaced ones (e-replace).
disk_cases=$(python3 -c 'import sys; c = sys.argv[1]; c = c.split(",") if "," in c or "-" in c else list(c)
print(",".join(x for x in ("a", "e", "e-replace") if x in c))' "$cases")
if [ -n "$disk_cases" ]; then
    disk=${3:-build-bench/disk}
    echo "outputs on $(df -T "$(dirname "$(realpath -m "$disk")")" | awk 'NR == 2 { print $2 " (" $1 ")" }'): $disk"
    python3 bench/measure.py build-bench/imgratio build-bench/ratio_libtiff "$data" "${1:-5}" "$disk_cases" "$disk"
fi
case $cases in *z*) build-bench/inflate_rate "$data"/z-dividend.tif "$data"/zg-dividend.tif "$data"/zd-dividend.tif \
    "$data"/tz-dividend.tif ;; esac
