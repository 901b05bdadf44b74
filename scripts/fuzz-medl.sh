#!/usr/bin/env bash
# Fuzzes the message descriptor list reader with libFuzzer (plus AddressSanitizer and
# UndefinedBehaviorSanitizer) for a bounded time and reports the executions and whether it crashed.
# Usage: scripts/fuzz-medl.sh [seconds]   (default 60)
#
# The harness is built into build/fuzz/. The run works on fuzz/corpus-work/medl/ (not versioned): the seeds of
# fuzz/corpus/medl/ are copied in, and inputs found by earlier runs stay there. A crashing input is written to
# build/fuzz/ as crash-* (or leak-*, timeout-*, oom-*); turn it into a regression test of test_medl.
# Exit status: 0 without a crash, 1 with one, 2 on wrong usage.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
    echo "usage: $0 [seconds]   (a positive whole number, default 60)" >&2
    exit 2
fi

# clang and its libFuzzer runtime, installed only when missing.
missing=()
command -v clang++ >/dev/null 2>&1 || missing+=(clang)
if ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    missing+=(libclang-rt-14-dev)
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing missing packages: ${missing[*]}" >&2
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

out=build/fuzz
mkdir -p "$out"


clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I . fuzz/medl_fuzz.cpp ttpc/medl.cpp kernel/sim_assert.cpp -o "$out/medl_fuzz"

work=fuzz/corpus-work/medl
mkdir -p "$work"
cp fuzz/corpus/medl/* "$work/"

log="$out/medl_fuzz.log"
status=0
"$out/medl_fuzz" -max_total_time="$seconds" -max_len=8192 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$out/" "$work" >"$log" 2>&1 || status=$?

executions=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -n 1)
if [ -z "$executions" ]; then
    # Without final statistics (the run stopped on a crash), the last progress line has the count.
    executions=$(grep -o '^#[0-9]*' "$log" | tr -d '#' | tail -n 1)
fi
echo "executions: ${executions:-unknown}"
echo "corpus: $(find "$work" -type f | wc -l) inputs in $work"
if [ "$status" -ne 0 ] || grep -q -E '^==[0-9]+==ERROR|runtime error|deadly signal' "$log"; then
    echo "crashed: yes (exit status $status); log $log"
    grep -h -E 'Test unit written to|SUMMARY' "$log" || true
    exit 1
fi
echo "crashed: no; log $log"
