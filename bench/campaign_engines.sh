#!/usr/bin/env bash
# The campaign engines side by side, in one run:
#   1. the README's campaign of 2,000 flips into O1's interface (seed 2026, window 100000:300000, horizon
#      1000000), once with --engine rerun and once with the checkpoint engine, one job each: CPU time (user
#      and system, the worker and experiment processes included) gives experiments per second per core; the
#      two CSVs must be the same, byte for byte;
#   2. the exhaustive scan of O1's interface over one cluster cycle in the steady state (2000 us in mode 2),
#      with two jobs: wall time, experiments, pruning factor.
# Peak memory is the largest resident set of any one process of the campaign (GNU time's maximum resident
# set size, which covers the processes the campaign waited for).
#
# Usage: bench/campaign_engines.sh [PELORIN_SIM [RUNS]]    (default: build/default/cli/pelorin-sim, 2000)
set -euo pipefail
cd "$(dirname "$0")/.."

sim=${1:-build/default/cli/pelorin-sim}
runs=${2:-2000}
[ -x "$sim" ] || { echo "no $sim: build it first (cmake --preset default && cmake --build --preset default)" >&2; exit 2; }
[ -x /usr/bin/time ] || bash scripts/deps.sh time
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs one campaign; prints "wall cpu peak_kb" and leaves its summary in $work/<name>.txt.
timed() {
    local name=$1
    shift
    /usr/bin/time -f "%e %U %S %M" -o "$work/$name.time" "$sim" campaign --dir data --out "$work/$name.csv" "$@" \
        > "$work/$name.txt"
    awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' "$work/$name.time"
}

sampled=(--runs "$runs" --seed 2026 --window-us 100000:300000 --horizon-us 1000000 --target cni --effect flip --jobs 1)
echo "campaign of $runs flips into O1's interface, one job (machine: $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg))"
read -r rerun_wall rerun_cpu rerun_peak < <(timed rerun "${sampled[@]}" --engine rerun)
read -r check_wall check_cpu check_peak < <(timed checkpoint "${sampled[@]}" --engine checkpoint)
rows="identical"
cmp -s "$work/rerun.csv" "$work/checkpoint.csv" || rows="DIFFERENT"
awk -v n="$runs" -v rw="$rerun_wall" -v rc="$rerun_cpu" -v rp="$rerun_peak" -v cw="$check_wall" \
    -v cc="$check_cpu" -v cp="$check_peak" -v rows="$rows" 'BEGIN {
    printf "  %-11s %9s %9s %20s %14s\n", "engine", "wall s", "cpu s", "experiments/s/core", "peak memory"
    printf "  %-11s %9.1f %9.2f %20.1f %11.1f MB\n", "rerun", rw, rc, n / rc, rp / 1024
    printf "  %-11s %9.1f %9.2f %20.1f %11.1f MB\n", "checkpoint", cw, cc, n / cc, cp / 1024
    printf "  speed-up per core: %.1fx; rows: %s\n", rc / cc, rows
}'

echo "exhaustive scan of O1's interface, window 200000:202000 (one cluster cycle in mode 2), two jobs"
read -r scan_wall scan_cpu scan_peak < <(timed scan --exhaustive --window-us 200000:202000 --horizon-us 1000000 \
                                              --target cni --effect flip --jobs 2)
grep -E "^(fault space|experiments|pruning factor)" "$work/scan.txt" | sed 's/^/  /'
awk -v w="$scan_wall" -v c="$scan_cpu" -v p="$scan_peak" \
    'BEGIN { printf "  wall %.1f s, cpu %.1f s, peak memory %.1f MB\n", w, c, p / 1024 }'
[ "$rows" = identical ]
