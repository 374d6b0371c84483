#!/usr/bin/env bash
# Builds imgratio and runs the whole test suite twice: an optimised build, and
# a build with AddressSanitizer and UndefinedBehaviorSanitizer; then a short
# AFL++ fuzzing run (about two minutes). Installs the Debian packages the
# tests need when they are missing. It builds in directories of its own
# (build-test, build-test-sanitize, build-fuzz), never in build/.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ libgtest-dev libtiff-tools python3 time afl++ clang groff-base man-db dpkg-dev
          imagemagick gdal-bin python3-gdal python3-pil python3-tifffile python3-numpy lintian snakemake strace parallel slurm-wlm munge)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -ne 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# ctest lists a skipped test without its reason; the reason is in the log.
skip_reasons() {
    awk '/^\[ RUN +\]/ { test = $NF } /: Skipped$/ { getline reason; print "skipped: " test ": " reason }
         /^[0-9]+\/[0-9]+ Test: / { test = $NF } /^SKIP: / { print "skipped: " test ": " substr($0, 7) }' \
        "$1/Testing/Temporary/LastTest.log"
}

jobs=$(nproc)
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release -DIMGRATIO_WERROR=ON >/dev/null
cmake --build build-test -j"$jobs"
(cd build-test && ctest --output-on-failure -j"$jobs")
skip_reasons build-test

cmake -S . -B build-test-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMGRATIO_SANITIZE=ON -DIMGRATIO_WERROR=ON \
    >/dev/null
cmake --build build-test-sanitize -j"$jobs"
(cd build-test-sanitize && ASAN_OPTIONS=allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j"$jobs")
skip_reasons build-test-sanitize

# Fuzzing smoke run: both instrumented builds, 100 seconds each on the seed
# corpus of every kind; any crash or hang fails, and its findings are kept.
fuzz_out=$(mktemp -d)
tests/fuzz/build.sh
IMGRATIO_BINARY=build-test/imgratio tests/fuzz/run.sh 100 "$fuzz_out" all
rm -rf "$fuzz_out"

# Reached only when every stage passed (set -e ends the script at the first failure).
echo "stages: 3 passed, 0 failed"
