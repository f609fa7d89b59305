#!/usr/bin/env bash
# Judging cost: one --cases invocation over 50 cases that each print 64 KiB,
# with an expected answer per case judged under `tokens` and under `floats`,
# against the same cases without answers; and the runner's own peak memory,
# judged and not, with 50 and with 200 cases (judging holds one case's
# answer and output at a time, so it must not grow with the cases).
#
# Two kinds of answers: the program's own bytes (a correct program that
# prints what the answer says; this is what the limit applies to), and the
# same values in another layout and number form ("0.0015" for "0.001500",
# eight to a line), which makes every token go through the comparison
# proper (shown for reference).
#
# Usage: bench/judge.sh [BUILD_DIR]     (default: build)
#   RUNS        hyperfine runs per command, and rounds of the interleaved
#               measurement (default 20)
#   LANG_NAME   language of the program: c (default) or python3
#   TOLERANCE   largest accepted slowdown of a judged run with equal
#               answers, in % of the median plain run (default 3)
#   SLACK_KIB   largest accepted growth of the runner's peak memory from 50
#               to 200 judged cases (default 512)
#
# Needs hyperfine (Debian package "hyperfine"), gcc and python3.
set -euo pipefail

. "$(dirname "$0")/lib.sh"
build="$(bench_build_dir "${1:-}")"
runs="${RUNS:-20}"
lang="${LANG_NAME:-c}"
tolerance="${TOLERANCE:-3}"
slack_kib="${SLACK_KIB:-512}"

bench_need hyperfine gcc python3
bench_runner "$build"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Case K prints lines "N.DDDDDD" counting up from K * 1000, cut at exactly
# 65536 bytes (the default output cap: not truncated).
cat > "$work/main.c" <<'C'
#include <stdio.h>
int main(void) {
    static char buf[65536 + 32];
    long k, n = 0;
    if (scanf("%ld", &k) != 1) return 1;
    for (long i = k * 1000; n < 65536; ++i)
        n += sprintf(buf + n, "%ld.%06ld\n", i / 1000000, i % 1000000);
    fwrite(buf, 1, 65536, stdout);
    return 0;
}
C
cat > "$work/main.py" <<'PY'
import sys
k = int(sys.stdin.read())
parts, n, i = [], 0, k * 1000
while n < 65536:
    s = "%d.%06d\n" % (i // 1000000, i % 1000000)
    parts.append(s); n += len(s); i += 1
sys.stdout.write("".join(parts)[:65536])
PY
program="$work/main.c"
[ "$lang" = python3 ] && program="$work/main.py"

python3 - "$work" <<'PY'
import os, sys
work = sys.argv[1]
def output(k):
    parts, n, i = [], 0, k * 1000
    while n < 65536:
        s = "%d.%06d\n" % (i // 1000000, i % 1000000)
        parts.append(s); n += len(s); i += 1
    return "".join(parts)[:65536]
def layout(tokens):
    return "\n".join(" ".join(tokens[j:j + 8]) for j in range(0, len(tokens), 8)) + "\n"
for name, count, kind in (("plain", 50, None), ("same", 50, "same"), ("layout", 50, "layout"),
                          ("form", 50, "form"), ("same200", 200, "same")):
    d = os.path.join(work, name); os.mkdir(d)
    for k in range(1, count + 1):
        open(os.path.join(d, f"{k}.in"), "w").write(f"{k}\n")
        if kind == "same":
            answer = output(k)
        elif kind == "layout":
            answer = layout(output(k).split())
        elif kind == "form":
            answer = layout([repr(float(t)) for t in output(k).split()])
        else:
            continue
        open(os.path.join(d, f"{k}.out"), "w").write(answer)
PY

exe="$build/tessimar-exec"
export PATH=/usr/local/bin:/usr/bin:/bin
export TMPDIR="$work"
# name|cases directory|extra options
commands=(
    "no answers|plain|"
    "tokens, equal answers|same|--check tokens"
    "floats, equal answers|same|--check floats"
    "tokens, other layout|layout|--check tokens"
    "floats, other form|form|--check floats"
)

# Every judged case must really pass, and the plain run must not be judged,
# before anything is timed.
for row in "${commands[@]}"; do
    IFS='|' read -r name dir extra <<<"$row"
    # shellcheck disable=SC2086
    got="$("$exe" --lang "$lang" --cases "$work/$dir" $extra < "$program" |
        python3 -c 'import json,sys; r=json.load(sys.stdin); print(len(r["cases"]), r.get("cases_passed", "-"), r["verdict"])')"
    want="50 50 OK"
    [ "$dir" = plain ] && want="50 - OK"
    [ "$got" = "$want" ] || { echo "$name: unexpected report ($got)" >&2; exit 1; }
done

args=()
for row in "${commands[@]}"; do
    IFS='|' read -r name dir extra <<<"$row"
    args+=(-n "$name" "$exe --lang $lang --cases $work/$dir $extra < $program > /dev/null")
done
hyperfine --style basic --warmup 1 --runs "$runs" "${args[@]}"

# The limit is checked on an interleaved measurement: the commands take
# turns, round after round, so that the load of a shared machine falls on
# all of them alike; medians of wall time, and of the CPU time of the runner
# with its children. Then the runner's own peak resident memory (VmHWM
# sampled from /proc, as in bench/output_flood.sh; the runner resets it
# before each child, so the largest sample covers the reading and comparing
# after each case).
EXEC="$exe" LANGNAME="$lang" PROGRAM="$program" WORK="$work" ROUNDS="$runs" TOLERANCE="$tolerance" \
SLACK_KIB="$slack_kib" BENCH_DIR="$bench_dir" python3 - "${commands[@]}" <<'PY'
import os, statistics, subprocess, sys, time
sys.path.insert(0, os.environ["BENCH_DIR"])
from peak import run_sampled

exe, lang, work = os.environ["EXEC"], os.environ["LANGNAME"], os.environ["WORK"]
program = open(os.environ["PROGRAM"], "rb").read()
rows = [r.split("|") for r in sys.argv[1:]]

def argv(d, extra):
    return [exe, "--lang", lang, "--cases", f"{work}/{d}", *extra.split()]

def timed(cmd):
    t0 = time.monotonic()
    p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    p.stdin.write(program); p.stdin.close()
    _, _, ru = os.wait4(p.pid, 0)
    p.returncode = 0
    return time.monotonic() - t0, ru.ru_utime + ru.ru_stime

walls = {r[0]: [] for r in rows}
cpus = {r[0]: [] for r in rows}
for i in range(int(os.environ["ROUNDS"])):
    order = rows[i % len(rows):] + rows[:i % len(rows)]
    for name, d, extra in order:
        w, c = timed(argv(d, extra))
        walls[name].append(w); cpus[name].append(c)

# Each judged run is paired with the plain run of its round (they ran one
# after the other): the median of the paired differences, over the median
# plain run, is the figure that is checked.
base_w = statistics.median(walls["no answers"]); base_c = statistics.median(cpus["no answers"])
tolerance = float(os.environ["TOLERANCE"])
bad = False
print(f"\ninterleaved, {len(walls['no answers'])} rounds: medians, and the median paired difference to no answers")
for name, _, _ in rows:
    w = statistics.median(walls[name]); c = statistics.median(cpus[name])
    dw = statistics.median(x - y for x, y in zip(walls[name], walls["no answers"])) / base_w * 100
    dc = statistics.median(x - y for x, y in zip(cpus[name], cpus["no answers"])) / base_c * 100
    print(f"  {name:24} wall {w:.3f} s ({dw:+5.1f} %)   CPU {c:.3f} s ({dc:+5.1f} %)")
    if "equal answers" in name and dw > tolerance:
        print(f"FAIL: judging ({name}) adds {dw:.1f} %, more than {tolerance:g} %", file=sys.stderr)
        bad = True

def peak(cmd):
    return run_sampled(cmd, program)[0]

print("\nrunner VmHWM (smallest of 3):")
peaks = {}
for name, d, extra in (("50 cases, no answers", "plain", ""), ("50 cases, floats", "form", "--check floats"),
                       ("50 cases, equal answers", "same", ""), ("200 cases, equal answers", "same200", "")):
    peaks[name] = min(peak(argv(d, extra)) for _ in range(3))
    print(f"  {name:26} {peaks[name]} KiB")
growth = peaks["200 cases, equal answers"] - peaks["50 cases, equal answers"]
if growth > int(os.environ["SLACK_KIB"]):
    print(f"FAIL: the runner grew by {growth} KiB from 50 to 200 judged cases", file=sys.stderr)
    bad = True
sys.exit(1 if bad else 0)
PY
