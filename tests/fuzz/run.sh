#!/usr/bin/env bash
# Runs an AFL++ campaign on imgratio's reader (the persistent-mode harness,
# which reads the fuzzed file row by row and again for its errors only): two
# instances sharing one corpus, one with
# UndefinedBehaviorSanitizer under a 2 GiB memory limit, one with
# AddressSanitizer limited to 2 GiB by its own options; 5 seconds make a
# hang. Crashes and hangs are replayed through the real binaries. Prints the
# figures and findings and exits 1 if there are any.
# usage: run.sh SECONDS OUT_DIR [uncompressed|packbits|lzw|deflate|all]
set -euo pipefail
seconds=$1
out=$2
kind=${3:-all}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
[ -x "$root/build-fuzz/asan/imgratio_persistent" ] || "$here/build.sh"
seeds="$out/seeds"
rm -rf "$seeds"
"$here/make_seeds.sh" "$seeds" "$kind" >/dev/null

# The harness writes each input to a file in memory; the folder goes at exit.
shm=$(mktemp -d -p /dev/shm imgratio-fuzz-XXXXXX)
trap 'rm -rf "$shm"' EXIT
export IMGRATIO_FUZZ_DIR=$shm
export AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_NO_UI=1 AFL_NO_AFFINITY=1
export AFL_QUIET=1
common=(-V "$seconds" -t 5000 -x "$here/tiff.dict" -i "$seeds" -o "$out/findings")
afl-fuzz "${common[@]}" -m 2048 -M ubsan -- "$root/build-fuzz/ubsan/imgratio_persistent" \
    >"$out/ubsan.log" 2>&1 &
ubsan=$!
ASAN_OPTIONS=abort_on_error=1:symbolize=0:detect_leaks=0:allocator_may_return_null=1:hard_rss_limit_mb=2048:max_allocation_size_mb=2048 \
    afl-fuzz "${common[@]}" -m none -S asan -- "$root/build-fuzz/asan/imgratio_persistent" \
    >"$out/asan.log" 2>&1 &
asan=$!
status=0
wait "$ubsan" || status=$?
wait "$asan" || status=$?
[ "$status" -eq 0 ] || { echo "afl-fuzz failed:"; tail -20 "$out/ubsan.log" "$out/asan.log"; exit 1; }

# Crashes are findings. A hang (an input that took the instrumented,
# sanitized harness over 5 s) is replayed through the optimised binary, its
# output limited to 1 GiB: it is a finding when that binary does not finish
# it within 60 s or does not end normally. Otherwise it is reported: as valid when imgratio stored its
# ratio (exit status 0), as a slow refusal when it refused it (exit status
# 1), which is kept under build-fuzz/slow-refusals/ to be looked at.
# The optimised binary: IMGRATIO_BINARY, else the test command's.
release=${IMGRATIO_BINARY:-$root/build-test/imgratio}
[ -x "$release" ] || release="$root/build-fuzz/ubsan/imgratio"
findings=0
for instance in ubsan asan; do
    stats="$out/findings/$instance/fuzzer_stats"
    awk -v who="$instance" '/^(execs_done|execs_per_sec|corpus_count|bitmap_cvg|saved_crashes|saved_hangs|run_time) /{printf "%s %s %s\n", who, $1, $3}' "$stats"
done
for f in "$out"/findings/*/crashes/id:*; do
    [ -f "$f" ] || continue
    findings=$((findings + 1))
    echo "crash $f:"
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=2048 timeout 10 \
        "$root/build-fuzz/asan/imgratio" "$f" "$f" /dev/null 2>&1 | tail -5 || true
done
for f in "$out"/findings/*/hangs/id:*; do
    [ -f "$f" ] || continue
    status=0
    # The output is limited to 1 GiB (writes past it fail), so that an image
    # that is only large, and valid, is cut short rather than stored whole.
    (ulimit -f $((1 << 20)) && trap '' XFSZ &&
        exec /usr/bin/time -o "$out/time.txt" -f "%e s, %M KB" timeout 60 "$release" "$f" "$f" /dev/null) \
        >/dev/null 2>&1 || status=$?
    timing=$(tail -1 "$out/time.txt")
    if [ "$status" -gt 1 ]; then
        findings=$((findings + 1))
        echo "hang $f: exit status $status ($timing)"
    elif [ "$status" -eq 1 ]; then
        mkdir -p "$root/build-fuzz/slow-refusals"
        kept="$root/build-fuzz/slow-refusals/$(basename "$(dirname "$(dirname "$f")")")-$(basename "$f" | tr -c 'A-Za-z0-9_.\n-' '_')"
        cp "$f" "$kept"
        echo "slow refusal, kept as $kept: exit status 1 in $timing"
    else
        echo "slow but valid: $f: exit status 0 in $timing"
    fi
done
if [ "$findings" -eq 0 ]; then
    echo "no findings"
else
    echo "$findings findings, kept in $out/findings"
    exit 1
fi
