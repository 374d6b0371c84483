#!/usr/bin/env bash
# Builds imgratio instrumented for AFL++, as the program and as a
# persistent-mode harness: build-fuzz/ubsan (UndefinedBehaviorSanitizer, runs
# under AFL's memory limit) and build-fuzz/asan (AddressSanitizer, which
# limits memory itself).
set -euo pipefail
cd "$(dirname "$0")/../.."
for variant in ubsan asan; do
    case $variant in
        ubsan) flags="-fsanitize=undefined -fno-sanitize-recover=all" ;;
        asan) flags="-fsanitize=address,undefined -fno-sanitize-recover=all" ;;
    esac
    cmake -S . -B "build-fuzz/$variant" -DCMAKE_BUILD_TYPE=Release -DIMGRATIO_TESTS=OFF \
        -DCMAKE_CXX_COMPILER=afl-clang-fast++ -DCMAKE_CXX_FLAGS="$flags -g" -DIMGRATIO_WERROR=ON \
        -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
    AFL_QUIET=1 cmake --build "build-fuzz/$variant" -j"$(nproc)" >/dev/null
    # The persistent-mode harness: the reader, many inputs per process.
    # shellcheck disable=SC2086
    AFL_QUIET=1 afl-clang-fast++ -std=c++17 -O2 -g $flags -Wall -Wextra -Werror -ffp-contract=off -Isrc \
        tests/fuzz/afl_persistent.cpp src/common/*.cpp src/tiff_in/*.cpp \
        -o "build-fuzz/$variant/imgratio_persistent"
done
echo "built imgratio and imgratio_persistent in build-fuzz/ubsan and build-fuzz/asan"
