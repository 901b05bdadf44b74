#!/usr/bin/env bash
# A campaign run as a Slurm array job on a real single-node Slurm started here: munged with its own key and
# socket, slurmctld and slurmd on localhost with a generated slurm.conf (2 CPUs, one partition, free ports),
# all in a temporary folder.
#   1. A 40-experiment campaign as 4 array tasks plus the merge job: the merged CSV, chart and summary equal
#      those of the same campaign run whole on this machine, byte for byte.
#   2. The same again, with one task cancelled while it runs: the merge job is cancelled too; the same
#      command submitted again reruns only the experiments that task lacked, and the merge is again equal.
# Every daemon started here is stopped by its PID when the test ends, however it ends.
# Needs root and the packages slurm-wlm and munge (scripts/deps.sh slurm-wlm munge); without them it is
# skipped (exit 77) saying why, except in CI (CI set), where it fails.
#
# Usage: test_slurm.sh PELORIN-SIM DATA-DIR SLURM-CAMPAIGN-SCRIPT
set -euo pipefail
export PATH="$PATH:/usr/sbin:/sbin"

sim=$(realpath "$1")
data=$(realpath "$2")
submit=$(realpath "$3")
# Long enough runs that a task can be cancelled while it works (about 0.1 to 0.3 s an experiment).
campaign=(--dir "$data" --runs 40 --seed 7 --window-us 100000:2000000 --horizon-us 6000000)
tasks=4
time_limit=300 # seconds for the whole test's waits

skip() {
    if [ -n "${CI:-}" ]; then
        echo "FAILED: the slurm test must run in CI, but $*" >&2
        exit 1
    fi
    echo "SKIPPED: $*" >&2
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "it starts munged, slurmctld and slurmd, which needs root"
for program in munged mungekey slurmctld slurmd sbatch squeue scancel sinfo scontrol; do
    command -v "$program" >/dev/null ||
        skip "$program is missing (install with: bash scripts/deps.sh slurm-wlm munge)"
done

work=$(mktemp -d /tmp/pelorin-slurm.XXXXXX)
pids=()
started=$SECONDS
deadline=$((SECONDS + time_limit))

fail() {
    echo "FAILED: $*" >&2
    for log in "$work"/log/*.log "$work"/*/*.log; do
        [ -f "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
    done
    exit 1
}

stop_everything() {
    local status=$?
    # Jobs first, so that no task outlives slurmd; then the daemons, by the PIDs they were started with.
    if [ ${#pids[@]} -eq 3 ]; then
        scancel --full --quiet --partition=pelorin 2>/dev/null || true
        for _ in $(seq 100); do # KillWait: a task that ignores SIGTERM is killed after 5 s
            [ -z "$(squeue -h 2>/dev/null)" ] && break
            sleep 0.1
        done
    fi
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
    echo "slurm test: $((SECONDS - started)) s" >&2
    exit "$status"
}
trap stop_everything EXIT
trap 'exit 1' INT TERM

until_true() { # until_true WHAT COMMAND...: waits, within the test's time limit, until COMMAND succeeds
    local what=$1
    shift
    until "$@"; do
        ((SECONDS < deadline)) || fail "timed out waiting until $what"
        sleep 0.05
    done
}

free_port() { # a TCP port on localhost that nothing listens on
    local port
    while :; do
        port=$((20000 + RANDOM % 20000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
}

# --- munge, with its own key and socket ---
mkdir -p "$work/munge" "$work/state" "$work/spool" "$work/log"
mungekey --create --keyfile="$work/munge/munge.key" 2>/dev/null
munged --foreground --force --key-file="$work/munge/munge.key" --socket="$work/munge/socket" \
    --pid-file="$work/munge/munged.pid" --seed-file="$work/munge/seed" \
    --log-file="$work/log/munged.log" >"$work/log/munged.out.log" 2>&1 &
pids+=($!)
until_true "munged listens" test -S "$work/munge/socket"

# --- slurmctld and slurmd on localhost ---
node=$(hostname -s)
ctld_port=$(free_port)
slurmd_port=$(free_port)
[ "$ctld_port" != "$slurmd_port" ] || slurmd_port=$((ctld_port + 1))
export SLURM_CONF="$work/slurm.conf"
cat >"$SLURM_CONF" <<EOF
ClusterName=pelorintest
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$work/munge/socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/log/slurmctld.log
SlurmdLogFile=$work/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/builtin
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
MpiDefault=none
MailProg=/bin/true
ReturnToService=2
MinJobAge=600
KillWait=5
NodeName=$node NodeAddr=127.0.0.1 CPUs=2 State=UNKNOWN
PartitionName=pelorin Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
slurmctld -D -i -f "$SLURM_CONF" >"$work/log/slurmctld.out.log" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" >"$work/log/slurmd.out.log" 2>&1 &
pids+=($!)
node_idle() { [ "$(sinfo -h -n "$node" -o %T 2>/dev/null)" = idle ]; }
until_true "the node is idle" node_idle
echo "Slurm up after $((SECONDS - started)) s (ports $ctld_port, $slurmd_port)"

# --- the same campaign, whole, on this machine ---
mkdir -p "$work/whole"
"$sim" campaign "${campaign[@]}" --jobs 2 --out "$work/whole/campaign.csv" >"$work/whole/summary.txt"
sed '/^wall time: /d' "$work/whole/summary.txt" >"$work/whole/tables.txt"
grep '^wall time: ' "$work/whole/summary.txt"

submit() { # submit FOLDER: the campaign as an array job and its merge, submitted from FOLDER
    mkdir -p "$1"
    (cd "$1" && bash "$submit" --tasks "$tasks" --program "$sim" -- "${campaign[@]}" --out campaign.csv) \
        >"$1/submitted.txt"
    cat "$1/submitted.txt"
    array_job=$(awk '/^array job/ {sub(":", "", $3); print $3}' "$1/submitted.txt")
    merge_job=$(awk '/^merge job/ {sub(":", "", $3); print $3}' "$1/submitted.txt")
}
queue_empty() { [ -z "$(squeue -h)" ]; }
job_state() { scontrol show job "$1" | sed -n 's/.*JobState=\([A-Z_]*\).*/\1/p' | sort -u | tr '\n' ' '; }
rows() { # rows CSV: how many finished rows the CSV holds (0 when there is no file yet)
    local count
    count=$(grep -c '^[0-9].*$' "$1" 2>/dev/null) || true
    echo "${count:-0}"
}
same_as_whole() { # same_as_whole FOLDER: the merge equals the whole campaign's outputs
    cmp "$work/whole/campaign.csv" "$1/campaign.csv" || fail "$1: merged CSV differs from the whole run's"
    cmp "$work/whole/campaign.svg" "$1/campaign.svg" || fail "$1: merged chart differs from the whole run's"
    sed "s|$1/|$work/whole/|" "$1/campaign.merge.log" | cmp "$work/whole/tables.txt" - ||
        fail "$1: merged summary differs from the whole run's"
}

# --- 1. submitted, run, merged ---
submit "$work/first"
until_true "the first submission has finished" queue_empty
[ "$(job_state "$merge_job")" = "COMPLETED " ] || fail "merge job $merge_job ended $(job_state "$merge_job")"
same_as_whole "$work/first"
echo "1. merged 4 shards equal to the whole campaign ($((SECONDS - started)) s)"

# --- 2. one task cancelled while it runs, then the same command again ---
submit "$work/second"
shard1="$work/second/campaign.shard-1-of-$tasks.csv"
task_working() { [ "$(rows "$shard1")" -ge 1 ]; }
until_true "task 1 has written a row" task_working
scancel "${array_job}_1"
until_true "the second submission has ended" queue_empty
done_before=$(rows "$shard1")
[ "$done_before" -lt $((40 / tasks)) ] || fail "task 1 finished before it was cancelled; make the runs longer"
[ "$(job_state "${array_job}_1")" = "CANCELLED " ] || fail "task 1 ended $(job_state "${array_job}_1")"
[ "$(job_state "$merge_job")" = "CANCELLED " ] || fail "merge job ended $(job_state "$merge_job")"
[ ! -e "$work/second/campaign.csv" ] || fail "a merged CSV was written although a task was cancelled"
echo "2. task 1 cancelled after $done_before of its $((40 / tasks)) experiments; the merge job was cancelled"

submit "$work/second"
until_true "the second submission, again, has finished" queue_empty
[ "$(job_state "$merge_job")" = "COMPLETED " ] || fail "merge job $merge_job ended $(job_state "$merge_job")"
same_as_whole "$work/second"
for ((i = 0; i < tasks; i++)); do
    expected=0
    [ "$i" -ne 1 ] || expected=$((40 / tasks - done_before))
    grep -q "^wall time: $expected experiments in " "$work/second/campaign.shard-$i-of-$tasks.log" ||
        fail "task $i of the resubmission did not run exactly the $expected experiments its shard lacked"
done
echo "2. resubmitted: task 1 ran the $((40 / tasks - done_before)) experiments it lacked, the others none;" \
    "merged equal to the whole campaign"
