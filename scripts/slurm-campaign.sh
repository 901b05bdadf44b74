#!/usr/bin/env bash
# Runs a fault-injection campaign on a Slurm cluster: an array job whose task I runs shard I/N of the
# campaign into its own CSV (with --resume), and a merge job that starts once every task has succeeded and
# writes the whole campaign's CSV, summary and chart (`pelorin-sim campaign merge`).
#
# Usage: scripts/slurm-campaign.sh --tasks N [--program PATH] [--sbatch OPTION]... [--] CAMPAIGN-OPTION...
#   --tasks N          array tasks, one shard each
#   --program PATH     the pelorin-sim the tasks run (default: the one on PATH); every node must reach it
#   --sbatch OPTION    an option for both sbatch calls (--partition=..., --time=..., --account=...); repeatable
#   CAMPAIGN-OPTION    options of `pelorin-sim campaign` (--runs, --seed, --out, --svg, --jobs, ...), passed
#                      through; not --shard or --resume, which every task sets itself. --jobs J also asks
#                      Slurm for J CPUs per task.
#
# Files, beside --out (default campaign.csv; OUT below is it without .csv): OUT.shard-I-of-N.csv and .svg,
# each shard's rows and chart; OUT.shard-I-of-N.log, each task's output, ending with its wall time per
# experiment; OUT.merge.log, the merge job's output (the summary). Job numbers are printed.
#
# After a task failed or was cancelled, Slurm cancels the merge job; running the same command again resumes
# every shard: a finished one runs nothing, an interrupted one only the experiments it lacks.
set -euo pipefail

usage() { # usage [STATUS]: the comment above, on stderr for a mistake
    if [ "${1:-2}" -eq 0 ]; then
        sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "$0"
    else
        sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "$0" >&2
    fi
    exit "${1:-2}"
}
fail() {
    echo "slurm-campaign.sh: $*" >&2
    exit 2
}

tasks=""
program=""
sbatch_options=()
while [ $# -gt 0 ]; do
    case $1 in
        --tasks) [ $# -ge 2 ] || usage; tasks=$2; shift 2 ;;
        --tasks=*) tasks=${1#*=}; shift ;;
        --program) [ $# -ge 2 ] || usage; program=$2; shift 2 ;;
        --program=*) program=${1#*=}; shift ;;
        --sbatch) [ $# -ge 2 ] || usage; sbatch_options+=("$2"); shift 2 ;;
        --sbatch=*) sbatch_options+=("${1#*=}"); shift ;;
        --help | -h) usage 0 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[[ $tasks =~ ^[1-9][0-9]*$ ]] || fail "--tasks must be a positive whole number"
program=${program:-$(command -v pelorin-sim || true)}
[ -n "$program" ] || fail "no pelorin-sim on PATH; name it with --program"
[ -x "$program" ] || fail "$program is not an executable program"
program=$(realpath "$program")
command -v sbatch >/dev/null || fail "sbatch not found: run this on a machine that submits Slurm jobs"

# The campaign's options, but for where its outputs go, which the tasks and the merge each get their own.
out=campaign.csv
svg=""
passed=()
array_options=()
while [ $# -gt 0 ]; do
    case $1 in
        --out) [ $# -ge 2 ] || fail "--out needs a file"; out=$2; shift 2 ;;
        --out=*) out=${1#*=}; shift ;;
        --svg) [ $# -ge 2 ] || fail "--svg needs a file"; svg=$2; shift 2 ;;
        --svg=*) svg=${1#*=}; shift ;;
        --shard | --shard=* | --resume) fail "$1 is set by each task; leave it out" ;;
        --jobs | --jobs=*)
            if [ "$1" = --jobs ]; then
                [ $# -ge 2 ] || fail "--jobs needs a number"
                jobs=$2; passed+=("$1" "$2"); shift 2
            else
                jobs=${1#*=}; passed+=("$1"); shift
            fi
            array_options+=("--cpus-per-task=$jobs") ;;
        *) passed+=("$1"); shift ;;
    esac
done
# Absolute paths: a task may start in another directory than this one (sbatch --chdir).
out=$(realpath -m "$out")
base=${out%.csv}
shard_name() { echo "$base.shard-$1-of-$tasks"; }

# Each task: its shard, resumed, into its own CSV. The script reaches sbatch on standard input.
task_script="#!/bin/bash
exec $(printf '%q ' "$program" campaign "${passed[@]}")--shard \"\$SLURM_ARRAY_TASK_ID/$tasks\" --resume \
--out $(printf '%q' "$base").shard-\"\$SLURM_ARRAY_TASK_ID\"-of-$tasks.csv"
array_job=$(sbatch --parsable --job-name=pelorin-campaign --array="0-$((tasks - 1))" \
    --output="$(shard_name %a).log" "${array_options[@]}" "${sbatch_options[@]}" <<<"$task_script")
array_job=${array_job%%;*}

shards=()
for ((i = 0; i < tasks; i++)); do
    shards+=("$(shard_name "$i").csv")
done
merge_options=(--out "$out")
[ -z "$svg" ] || merge_options+=(--svg "$(realpath -m "$svg")")
merge_script="#!/bin/bash
exec $(printf '%q ' "$program" campaign merge "${merge_options[@]}" "${shards[@]}")"
# afterok: the merge runs only when every task succeeded; a task that failed or was cancelled makes the
# dependency one that can never be met, and Slurm then cancels the merge instead of keeping it waiting.
merge_job=$(sbatch --parsable --job-name=pelorin-merge --dependency="afterok:$array_job" \
    --kill-on-invalid-dep=yes --output="$base.merge.log" "${sbatch_options[@]}" <<<"$merge_script")
merge_job=${merge_job%%;*}

echo "array job $array_job: $tasks tasks, shard I into $(shard_name I).csv, its output in $(shard_name I).log"
echo "merge job $merge_job: after every task succeeded, into $out, its summary in $base.merge.log"
echo "after a failed or cancelled task, run the same command again: each task resumes its shard"
