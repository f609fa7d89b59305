#!/usr/bin/env bash
# scripts/slurm-batch.sh against a real one-node Slurm cluster:
#
#   tests/slurm/run.sh [RUNNER]     (RUNNER defaults to build/tessimar-exec)
#
# As root, installs Debian's slurm-wlm and munge when missing, starts munged,
# slurmctld and slurmd from a throwaway configuration in a temporary
# directory (keys, sockets, pid files, state and logs all there; nothing
# under /etc or /run is touched; the daemons bind 127.0.0.1), then:
#   1. runs 100 requests in 4 pieces and compares OUT with a local batch;
#   2. starts a second run, cancels one of its tasks, checks that the script
#      names the piece and fails, and that running it again completes OUT.
# Every daemon is stopped by its pid afterwards. Without root or without
# the packages the test skips (exit 0) and says why; exit 1 on failure.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
runner=$(realpath -- "${1:-build/tessimar-exec}")

skip() { echo "slurm test skipped: $*"; exit 0; }
fail() { echo "slurm test FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "needs root to install and start Slurm"
[ -x "$runner" ] || fail "no runner at $runner (build first)"
if ! command -v slurmctld >/dev/null || ! command -v munged >/dev/null || ! command -v sbatch >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  timeout 600 apt-get install -y -qq slurm-wlm munge >/dev/null 2>&1 ||
    { timeout 300 apt-get update -qq >/dev/null 2>&1 &&
      timeout 600 apt-get install -y -qq slurm-wlm munge >/dev/null 2>&1; } ||
    skip "slurm-wlm and munge could not be installed from Debian"
fi

d=$(mktemp -d /tmp/tessimar-slurm-XXXXXX)
chmod 700 "$d"
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do
    for _ in $(seq 100); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$p" 2>/dev/null || true
  done
  rm -rf -- "$d"
}
trap cleanup EXIT
# Waits up to $1 seconds for the command that follows to succeed.
wait_for() {
  local secs=$1; shift
  local end=$((SECONDS + secs))
  until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.2; done
}
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# munged with its own key, socket, pid, seed and log files.
dd if=/dev/urandom of="$d/munge.key" bs=1024 count=1 status=none
chmod 600 "$d/munge.key"
mkdir -m 700 "$d/munge"
munged -F --force --socket="$d/munge/socket" --key-file="$d/munge.key" --pid-file="$d/munge/pid" \
  --seed-file="$d/munge/seed" --log-file="$d/munge/log" 2>"$d/munge/stderr" &
pids+=($!)
wait_for 30 test -S "$d/munge/socket" || fail "munged did not start: $(cat "$d/munge/log" 2>/dev/null)"

host=$(hostname -s)
node=$(slurmd -C | head -1 | sed "s/^NodeName=[^ ]*/NodeName=$host NodeAddr=127.0.0.1/")
mkdir -m 700 "$d/state" "$d/spool"
cat > "$d/slurm.conf" <<EOF
ClusterName=tessimar
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
CommunicationParameters=NoCtldInAddrAny,NoInAddrAny
AuthType=auth/munge
AuthInfo=socket=$d/munge/socket
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$d/state
SlurmdSpoolDir=$d/spool
SlurmctldPidFile=$d/slurmctld.pid
SlurmdPidFile=$d/slurmd.pid
SlurmctldLogFile=$d/slurmctld.log
SlurmdLogFile=$d/slurmd.log
ProctrackType=proctrack/pgid
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MailProg=/bin/true
MpiDefault=none
$node
PartitionName=main Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF=$d/slurm.conf
slurmctld -D -i -f "$SLURM_CONF" >"$d/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -N "$host" -f "$SLURM_CONF" >"$d/slurmd.out" 2>&1 &
pids+=($!)
node_idle() { sinfo -h -N -o '%t' 2>/dev/null | grep -qx 'idle'; }
wait_for 60 node_idle ||
  fail "the node did not come up: $(tail -5 "$d/slurmctld.log" "$d/slurmd.log" "$d/slurmctld.out" "$d/slurmd.out" 2>&1)"
# Nothing of this cluster listens beyond the loopback address.
listeners=$(for p in "${pids[@]}"; do ss -Hltnp | grep "pid=$p," | awk '{print $4}'; done)
[ -n "$listeners" ] || fail "cannot see the daemons' listening sockets"
if grep -qv '^127\.0\.0\.1:' <<<"$listeners"; then fail "a daemon listens beyond 127.0.0.1: $listeners"; fi

# 100 requests: bad lines, ids of each kind, quick runs.
work=$d/work
mkdir "$work"
for i in $(seq 100); do
  case $((i % 10)) in
    3) echo 'not json' ;;
    5) echo "{\"id\":\"r$i\",\"lang\":\"bash\",\"program\":\"echo $i\"}" ;;
    *) echo "{\"lang\":\"bash\",\"program\":\"echo $i; sleep 0.1\"}" ;;
  esac
done > "$work/in.jsonl"
steady() { sed -E 's/"(compile_ms|cpu_ms|duration_ms|total_ms|peak_memory_kb)":[0-9]+/"\1":0/g; s/"workdir":"[^"]*"/"workdir":""/' "$1"; }

"$runner" --batch "$work/in.jsonl" --jobs 2 > "$work/local.jsonl"
export TESSIMAR_EXEC=$runner
# Runs ended by the cancellation leave their work directories here.
mkdir "$d/tmp"
export TMPDIR=$d/tmp
timeout 600 scripts/slurm-batch.sh "$work/in.jsonl" "$work/out.jsonl" 4 || fail "the first run did not complete"
[ "$(wc -l < "$work/out.jsonl")" -eq 100 ] || fail "the first run wrote $(wc -l < "$work/out.jsonl") lines"
diff <(steady "$work/local.jsonl") <(steady "$work/out.jsonl") >/dev/null ||
  fail "the cluster's output differs from a local batch"
echo "slurm: 100 requests in 4 pieces match a local batch"

# A second run with slower requests; one task is cancelled while it runs.
for i in $(seq 100); do echo "{\"lang\":\"bash\",\"program\":\"sleep 0.3; echo $i\"}"; done > "$work/slow.jsonl"
"$runner" --batch "$work/slow.jsonl" --jobs 2 > "$work/slow-local.jsonl"
timeout 600 scripts/slurm-batch.sh "$work/slow.jsonl" "$work/slow-out.jsonl" 4 > "$work/second.log" 2>&1 &
script=$!
task_running() { squeue -h -t R -o '%i' 2>/dev/null | grep -q '_2$'; }
wait_for 120 task_running || fail "task 2 never ran: $(cat "$work/second.log")"
scancel "$(squeue -h -t R -o '%i' | grep '_2$' | head -1)"
status=0
wait "$script" || status=$?
[ "$status" -eq 1 ] || fail "a run with a cancelled task exited $status: $(cat "$work/second.log")"
grep -q 'incomplete pieces: 2' "$work/second.log" || fail "the incomplete piece is not named: $(cat "$work/second.log")"
[ ! -e "$work/slow-out.jsonl" ] || fail "OUT was written although a piece is missing"
timeout 600 scripts/slurm-batch.sh "$work/slow.jsonl" "$work/slow-out.jsonl" 4 > "$work/third.log" 2>&1 ||
  fail "the rerun did not complete: $(cat "$work/third.log")"
grep -q 'submitting pieces 2 of 4' "$work/third.log" || fail "the rerun did not run only piece 2: $(cat "$work/third.log")"
diff <(steady "$work/slow-local.jsonl") <(steady "$work/slow-out.jsonl") >/dev/null ||
  fail "the completed output differs from a local batch"
echo "slurm: a cancelled task is named, and the rerun completes it without duplicates"
