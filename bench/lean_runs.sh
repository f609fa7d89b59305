#!/usr/bin/env bash
# What the runner itself costs on short runs: its start, its wait and its
# clean-up, against the bare program measured in the same hyperfine run.
#
# Usage: bench/lean_runs.sh [BUILD_DIR] [OTHER_RUNNER]
#   BUILD_DIR     where tessimar-exec is (built there when missing; default build)
#   OTHER_RUNNER  a second runner binary to compare with (e.g. an older build)
#   RUNS          hyperfine runs per command (default 200)
#   ROUNDS        rounds they are spread over, alternating the order (default 5)
#
# Needs hyperfine (Debian package). Every command gets the same PATH and an
# otherwise empty environment; python3 is the system one in /usr/bin.
set -euo pipefail

. "$(dirname "$0")/lib.sh"
build="$(bench_build_dir "${1:-}")"
other="${2:-}"
runs="${RUNS:-200}"
rounds="${ROUNDS:-5}"
bench_need hyperfine
bench_runner "$build" blocknet
runner="$build/tessimar-exec"

work=$(mktemp -d)
sleepers=()
shm=
cleanup() {
    for p in "${sleepers[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
    [ -z "$shm" ] || rm -rf "$shm"
}
trap cleanup EXIT
: >"$work/empty.sh"
echo 'print("hi")' >"$work/hello.py"
echo 'exec sleep 30' >"$work/sleep.sh"
path=/usr/local/bin:/usr/bin:/bin
py=/usr/bin/python3
clean=(env -i "PATH=$path" "TMPDIR=$work")

# Median seconds of each command, in order. hyperfine runs the commands one
# after the other, so on a shared machine drift lands on whichever comes
# later: the runs are spread over ROUNDS rounds that alternate the order,
# and the times of all rounds are pooled.
medians() {
    local per=$(( (runs + rounds - 1) / rounds )) r jsons=() order
    [ "$per" -lt 2 ] && per=2
    for r in $(seq 1 "$rounds"); do
        local json="$work/h.$r.json"
        order=("$@")
        if [ $((r % 2)) -eq 0 ]; then
            order=()
            for ((i = $#; i >= 1; i--)); do order+=("${!i}"); done
        fi
        "${clean[@]}" hyperfine -N --style none --warmup 3 --runs "$per" --export-json "$json" "${order[@]}" >/dev/null 2>&1 ||
            "${clean[@]}" hyperfine --style none --warmup 3 --runs "$per" --export-json "$json" "${order[@]}" >/dev/null
        jsons+=("$json")
    done
    "$py" - "$#" "$@" "${jsons[@]}" <<'PY'
import json, statistics, sys
n = int(sys.argv[1])
commands, files = sys.argv[2:2 + n], sys.argv[2 + n:]
times = {c: [] for c in commands}
for path in files:
    for r in json.load(open(path))["results"]:
        times[r["command"]] += r["times"]
print(" ".join(str(statistics.median(times[c])) for c in commands))
PY
}

ms() { "$py" -c "print(f'{float(\"$1\")*1000:.2f}')"; }
ratio() { "$py" -c "print(f'{float(\"$1\")/float(\"$2\"):.2f}')"; }
diff_ms() { "$py" -c "print(f'{(float(\"$1\")-float(\"$2\"))*1000:.2f}')"; }

# The floor: bench/floor.c does only what no runner that keeps these files
# can skip (its own exec, the work and scratch directories, the five files,
# one child, the read-back and the removal), so the runner's own share is
# the difference between the two. With a fixed process limit the runner
# does not count the user's tasks. The files cost what the work
# directory's file system charges (ext4 without a journal skips recently
# freed inodes, and mounted with discard it trims each freed directory
# block), so the rows are repeated with TMPDIR on tmpfs where there is one.
floor="$work/floor"
if ! cc -O2 -static-pie -o "$floor" "$repo/bench/floor.c" 2>/dev/null && ! cc -O2 -o "$floor" "$repo/bench/floor.c"; then
    echo "no C compiler: the floor is left out" >&2
    floor=
fi
if [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ]; then
    shm=$(mktemp -d /dev/shm/lean_runs.XXXXXX)
fi

# Every command runs through one sh (hyperfine -N runs none, and standard
# input comes from a file), the bare program included: the fair baseline.
row() {  # label bare-command interpreter extension language input tmpdir
    local label=$1 bare=$2 interp=$3 ext=$4 lang=$5 input=$6 tmp=$7
    local cmds=("sh -c 'exec $bare'" "sh -c 'TMPDIR=$tmp exec $runner --lang $lang < $input'"
        "sh -c 'TMPDIR=$tmp TESSIMAR_MAX_PROCESSES=512 exec $runner --lang $lang < $input'")
    [ -n "$floor" ] && cmds+=("sh -c 'TMPDIR=$tmp exec $floor $interp $ext < $input'")
    [ -n "$other" ] && cmds+=("sh -c 'TMPDIR=$tmp exec $other --lang $lang < $input'")
    read -r -a m <<<"$(medians "${cmds[@]}")"
    printf '%-20s bare %6s ms   runner %6s ms (+%s, %sx)   fixed limit %6s ms (+%s)' "$label" "$(ms "${m[0]}")" \
        "$(ms "${m[1]}")" "$(diff_ms "${m[1]}" "${m[0]}")" "$(ratio "${m[1]}" "${m[0]}")" \
        "$(ms "${m[2]}")" "$(diff_ms "${m[2]}" "${m[0]}")"
    local i=3
    if [ -n "$floor" ]; then
        printf '   floor %6s ms (+%s)' "$(ms "${m[$i]}")" "$(diff_ms "${m[$i]}" "${m[0]}")"
        i=4
    fi
    [ -n "$other" ] && printf '   other runner %6s ms (%sx)' "$(ms "${m[$i]}")" "$(ratio "${m[$i]}" "${m[0]}")"
    echo
}

echo "runner: $runner${other:+   other: $other}"
echo "machine: $(nproc) CPUs, $(uname -r), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
for tmp in "$work" $shm; do
    echo
    echo "work directories on $(df --output=target "$tmp" | tail -1) ($(stat -f -c %T "$tmp")); fixed limit:" \
        "TESSIMAR_MAX_PROCESSES set; floor: bench/floor.c"
    row "empty bash program" "bash $work/empty.sh" bash sh bash "$work/empty.sh" "$tmp"
    row "python3 hello world" "$py $work/hello.py" python3 py python3 "$work/hello.py" "$tmp"
done
echo

# --max-data-mb: one more limit in the child, and the peaks that the reaping
# returns anyway; no other work.
read -r -a d <<<"$(medians "sh -c 'exec $runner --lang bash < $work/empty.sh'" \
    "sh -c 'exec $runner --lang bash --max-data-mb 256 < $work/empty.sh'")"
echo "empty bash program: $(ms "${d[0]}") ms, with --max-data-mb 256 $(ms "${d[1]}") ms ($(ratio "${d[1]}" "${d[0]}")x)"
echo

# Kill latency: a program that sleeps past a 1 s timeout; the report's
# duration_ms covers the start, the second, the kill, the reap and the read.
latency() {
    local bin=$1 all=()
    for _ in $(seq 1 20); do
        all+=("$("${clean[@]}" "$bin" --lang bash --timeout 1 <"$work/sleep.sh" |
            "$py" -c 'import json,sys; print(json.load(sys.stdin)["duration_ms"] - 1000)')")
    done
    printf '%s\n' "${all[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'
}
echo "kill latency past a 1 s timeout (median duration_ms - 1000, 20 runs): $(latency "$runner") ms${other:+   other: $(latency "$other") ms}"

# Throughput: 400 trivial runs, 4 at a time.
tp() {
    local cmd=$1
    local t
    t=$(medians "sh -c 'seq 400 | xargs -P4 -I{} sh -c \"$cmd\"'" | cut -d' ' -f1)
    echo "$t"
}
old_runs=$runs; runs=5
t_bare=$(tp "bash $work/empty.sh")
t_run=$(tp "$runner --lang bash < $work/empty.sh > /dev/null")
line="400 runs at 4 in parallel: bare $(ms "$t_bare") ms, runner $(ms "$t_run") ms ($("$py" -c "print(f'{400/float(\"$t_run\"):.0f}')") runs/s)"
if [ -n "$other" ]; then
    t_other=$(tp "$other --lang bash < $work/empty.sh > /dev/null")
    line+=", other $(ms "$t_other") ms ($("$py" -c "print(f'{400/float(\"$t_other\"):.0f}')") runs/s, $(ratio "$t_other" "$t_run")x slower)"
fi
echo "$line"
if [ -n "$shm" ]; then
    t_fast=$(tp "TMPDIR=$shm TESSIMAR_MAX_PROCESSES=512 $runner --lang bash < $work/empty.sh > /dev/null")
    echo "the same with TMPDIR on tmpfs and a fixed process limit: runner $(ms "$t_fast") ms ($("$py" -c "print(f'{400/float(\"$t_fast\"):.0f}')") runs/s)"
fi
runs=$old_runs

# The process scan: 1,000 more processes of the same user.
scan_row() {
    local label=$1
    read -r -a m <<<"$(medians "sh -c 'exec $runner --lang bash < $work/empty.sh'" ${other:+"sh -c 'exec $other --lang bash < $work/empty.sh'"})"
    echo "$label: runner $(ms "${m[0]}") ms${other:+, other $(ms "${m[1]}") ms}"
}
runs=60
scan_row "empty bash program, $(ls /proc | grep -c '^[0-9]') processes on the host"
for _ in $(seq 1 1000); do sleep 600 & sleepers+=($!); done
scan_row "empty bash program, $(ls /proc | grep -c '^[0-9]') processes on the host"
for p in "${sleepers[@]}"; do kill "$p" 2>/dev/null || true; done
sleepers=()


# The runner's own peak resident memory on a trivial run (ru_maxrss of a
# static runner that execs nothing large itself; the child's is separate).
peak() { "$py" - "$1" "$work/empty.sh" <<'PY'
import os, resource, subprocess, sys
# VmHWM of the runner itself, sampled until it exits.
p = subprocess.Popen([sys.argv[1], "--lang", "bash"], stdin=open(sys.argv[2]), stdout=subprocess.DEVNULL,
                     env={"PATH": "/usr/local/bin:/usr/bin:/bin"})
hwm = 0
while p.poll() is None:
    try:
        for line in open(f"/proc/{p.pid}/status"):
            if line.startswith("VmHWM:"):
                hwm = max(hwm, int(line.split()[1]))
    except OSError:
        pass
print(hwm)
PY
}
echo "runner peak RSS (VmHWM, sampled): $(peak "$runner") KiB${other:+   other: $(peak "$other") KiB}"
