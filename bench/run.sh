#!/usr/bin/env bash
# Builds imgratio (Release) and the libtiff baseline, makes the benchmark
# inputs in /dev/shm (once), and prints the comparison table.
# usage: bench/run.sh [REPETITIONS [CASES]]   (CASES: a subset of abcdefgh, or names
# separated by commas: s,s1,sl,z,zg,zd,t,tz,tB; z cases also print the decode rates)
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
cc -O3 -ffp-contract=off -Wall -Wextra -o build-bench/ratio_libtiff bench/ratio_libtiff.c -ltiff
# The decode rate of the Deflate decoder against libdeflate and zlib.
c++ -std=c++17 -O3 -Wall -Wextra -Isrc -o build-bench/inflate_rate bench/inflate_rate.cpp src/common/*.cpp \
    src/tiff_in/*.cpp -ltiff -ldeflate -lz
data=/dev/shm/imgratio-bench
/usr/bin/python3 bench/make_data.py "$data"
python3 bench/measure.py build-bench/imgratio build-bench/ratio_libtiff "$data" "${1:-5}" "${2:-abcdefgh}"
case ${2:-abcdefgh} in *z*) build-bench/inflate_rate "$data"/z-dividend.tif "$data"/zg-dividend.tif "$data"/zd-dividend.tif ;; esac
