#!/usr/bin/env bash
# Builds the fuzzers (preset "fuzz": clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a fixed time over a working copy of its seed
# corpus in fuzz/corpus/<fuzzer>. A crash, an overrun, a failed check or a hang stops the script
# with a non-zero status and leaves the input that caused it in build/fuzz/findings/.
#
# Usage: scripts/fuzz.sh [seconds-per-fuzzer]     (default 12: under a minute for all three)
# Environment: FUZZ_JOBS=n runs n fuzzing processes per fuzzer (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-12}"
jobs="${FUZZ_JOBS:-1}"
fuzzers=(fuzz_hex_text fuzz_base64 fuzz_unit_replies)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

work=build/fuzz/corpus-work
findings=build/fuzz/findings
mkdir -p "$findings"
status=0
for f in "${fuzzers[@]}"; do
    # New inputs go to a working copy; the committed seeds stay as they are.
    rm -rf "${work:?}/$f"
    mkdir -p "$work/$f"
    cp fuzz/corpus/"$f"/* "$work/$f"/
    echo "== $f: ${seconds} s"
    log="build/fuzz/$f.log"
    parallel=()
    if [ "$jobs" -gt 1 ]; then
        parallel=(-jobs="$jobs" -workers="$jobs")
    fi
    if ! build/fuzz/fuzz/"$f" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
            "${parallel[@]}" -artifact_prefix="$findings/$f-" "$work/$f" >"$log" 2>&1; then
        echo "!! $f failed; see $log and $findings/"
        tail -n 40 "$log"
        status=1
    fi
    # With -jobs each job's statistics are in its own log, fuzz-<n>.log in the working
    # directory (the main log may repeat them): the summary comes from those, which are then
    # kept at the end of the main log.
    stats=("$log")
    if [ "$jobs" -gt 1 ]; then
        stats=(fuzz-*.log)
    fi
    grep -h -E "stat::number_of_executed_units|stat::peak_rss_mb" "${stats[@]}" | sed "s/^/   $f /" || true
    if [ "$jobs" -gt 1 ]; then
        cat fuzz-*.log >>"$log" 2>/dev/null || true
        rm -f fuzz-*.log
    fi
done
exit $status
