#!/usr/bin/env bash
# Fuzzes every reader of a user's file (message descriptor lists, clock drifts, injection logs, campaign CSVs,
# scenario files, the fault text form of --fault) with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, for a bounded time each, and says per reader how many inputs it ran and whether
# any made the reader fail (fuzz/reader_checks.h says what failing is).
# Usage: scripts/fuzz.sh SECONDS [READER ...]
#   (readers: medl drift injection_log campaign_csv scenario fault_text campaign_fault; default all)
#
# The programs are built with clang in build/fuzz (the fuzz preset). Each reader works on
# fuzz/corpus-work/READER/ (not versioned): its seeds (fuzz/corpus/READER/) and regressions
# (fuzz/regressions/READER/) are copied in, and inputs found by earlier runs stay there. An input that makes a
# reader crash, leak, hang (10 s) or run out of memory is written to build/fuzz/artifacts/; copy it into
# fuzz/regressions/READER/ so that the ordinary test suite (ReaderInputs) keeps it, then fix the reader.
# Exit status: 0 when no reader failed, 1 when one did, 2 on wrong usage.
set -euo pipefail
cd "$(dirname "$0")/.."

readers_all=(medl drift injection_log campaign_csv scenario fault_text campaign_fault)
seconds="${1:-}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
    echo "usage: $0 SECONDS [READER ...]   (SECONDS a positive whole number; readers: ${readers_all[*]})" >&2
    exit 2
fi
shift
readers=("$@")
[ ${#readers[@]} -eq 0 ] && readers=("${readers_all[@]}")
for reader in "${readers[@]}"; do
    if [[ ! " ${readers_all[*]} " =~ " ${reader} " ]]; then
        echo "$0: no reader '${reader}' (readers: ${readers_all[*]})" >&2
        exit 2
    fi
done

# clang and its libFuzzer runtime, with the project's own build packages, installed only when missing.
bash scripts/deps.sh clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

out=build/fuzz
artifacts="$out/artifacts"
mkdir -p "$artifacts"
failed=0
printf '%-15s %12s %8s  %s\n' reader executions corpus result
for reader in "${readers[@]}"; do
    work="fuzz/corpus-work/$reader"
    mkdir -p "$work"
    for seeds in "fuzz/corpus/$reader" "fuzz/regressions/$reader"; do
        if [ -d "$seeds" ] && [ -n "$(ls -A "$seeds")" ]; then
            cp "$seeds"/* "$work/"
        fi
    done
    log="$out/$reader.log"
    status=0
    "$out/fuzz/${reader}_fuzz" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$reader-" "$work" >"$log" 2>&1 || status=$?
    executions=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -n 1)
    if [ -z "$executions" ]; then
        # Without final statistics (the run stopped on a failure), the last progress line has the count.
        executions=$(grep -o '^#[0-9]*' "$log" | tr -d '#' | tail -n 1)
    fi
    result="no failure"
    if [ "$status" -ne 0 ] ||
        grep -q -E '^==[0-9]+==ERROR|runtime error|deadly signal|reader check failed|ERROR: libFuzzer' "$log"; then
        result="FAILED (exit status $status): log $log; $(grep -h -o 'Test unit written to .*' "$log" | head -n 1)"
        failed=1
    fi
    printf '%-15s %12s %8s  %s\n' "$reader" "${executions:-unknown}" "$(find "$work" -type f | wc -l)" "$result"
done
exit "$failed"
