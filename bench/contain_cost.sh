#!/usr/bin/env bash
# What --contain costs: an empty bash program and a hello world in every
# language this host has, each through the runner with and without the
# option, in hyperfine rounds that alternate the order. Prints one row per
# language: the two medians, their difference and their ratio. Then the
# figure the cost goal is about: the empty bash program in PAIRS paired
# runs (one without and one with the option, in alternating order), and the
# median of the pairs' differences.
#
#   bench/contain_cost.sh [build-dir]   (RUNS=20 SLOW_RUNS=5 ROUNDS=5 PAIRS=300 by default;
#                                        ONLY="empty.bash python3" limits the rows)
set -euo pipefail

. "$(dirname "$0")/lib.sh"
build="$(bench_build_dir "${1:-}")"
bench_need hyperfine python3
bench_runner "$build" blocknet
exe="$build/tessimar-exec"
runs=${RUNS:-20}
slow_runs=${SLOW_RUNS:-5}
rounds=${ROUNDS:-5}
pairs=${PAIRS:-300}
only=" ${ONLY:-} "

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# name, file, program text; compiled or JVM languages take the slow run count.
: > "$dir/empty.bash"
printf 'echo "Hello, World!"\n' > "$dir/bash"
printf 'print("Hello, World!")\n' > "$dir/python3"
printf 'console.log("Hello, World!");\n' > "$dir/node"
printf 'print "Hello, World!\\n";\n' > "$dir/perl"
printf 'puts "Hello, World!"\n' > "$dir/tcl"
printf 'puts "Hello, World!"\n' > "$dir/ruby"
printf 'print("Hello, World!")\n' > "$dir/lua"
printf 'BEGIN { print "Hello, World!" }\n' > "$dir/awk"
printf '"Hello, World!"\n' > "$dir/jq"
printf "SELECT 'Hello, World!';\n" > "$dir/sqlite"
printf '#include <stdio.h>\nint main(void) { puts("Hello, World!"); return 0; }\n' > "$dir/c"
printf '#include <iostream>\nint main() { std::cout << "Hello, World!" << std::endl; }\n' > "$dir/cpp"
printf 'fn main() { println!("Hello, World!"); }\n' > "$dir/rust"
printf 'package main\nimport "fmt"\nfunc main() { fmt.Println("Hello, World!") }\n' > "$dir/go"
printf 'program hello\n  print "(A)", "Hello, World!"\nend program hello\n' > "$dir/fortran"
printf 'public class Main { public static void main(String[] a) { System.out.println("Hello, World!"); } }\n' > "$dir/java"
printf 'fun main() { println("Hello, World!") }\n' > "$dir/kotlin"
slow=" c cpp rust go fortran java kotlin "

probe=$("$exe" --probe)
installed() {
  # The probe looks only for java for kotlin; its compiler is a separate package.
  [ "$1" = kotlin ] && ! command -v kotlinc >/dev/null && return 1
  case "$probe" in *"\"$1\":true"*) return 0 ;; *) return 1 ;; esac
}

echo "| program | without --contain (median) | with --contain (median) | difference | ratio |"
echo "|---|---|---|---|---|"
for name in empty.bash bash python3 node perl tcl ruby lua awk jq sqlite c cpp rust go fortran java kotlin; do
  lang=${name%.bash}
  [ "$name" = empty.bash ] && lang=bash
  installed "$lang" || continue
  [ "$only" = "  " ] || case "$only" in *" $name "*) ;; *) continue ;; esac
  n=$runs
  case "$slow" in *" $lang "*) n=$slow_runs ;; esac
  # Rounds that alternate which command goes first, pooled: on a shared
  # machine a single hyperfine run of one command after the other drifts by
  # more than the difference it is after.
  per=$(( (n + rounds - 1) / rounds )); [ "$per" -lt 2 ] && per=2
  jsons=()
  for r in $(seq 1 "$rounds"); do
    plain=(-n plain "$exe --lang $lang --timeout 60 < $dir/$name")
    contained=(-n contain "$exe --lang $lang --timeout 60 --contain < $dir/$name")
    if [ $((r % 2)) -eq 1 ]; then order=("${plain[@]}" "${contained[@]}"); else order=("${contained[@]}" "${plain[@]}"); fi
    hyperfine --style none --warmup 1 --runs "$per" --export-json "$dir/$name.$r.json" "${order[@]}" >/dev/null 2>&1
    jsons+=("$dir/$name.$r.json")
  done
  python3 - "$name" "${jsons[@]}" <<'PY'
import json, statistics, sys
times = {"plain": [], "contain": []}
for path in sys.argv[2:]:
    for x in json.load(open(path))["results"]:
        times[x["command"]] += x["times"]
a, b = (statistics.median(times[k]) * 1000 for k in ("plain", "contain"))
print(f"| {sys.argv[1]} | {a:.1f} ms | {b:.1f} ms | {b - a:+.1f} ms | {b / a:.2f} |")
PY
done

# As root the contained child runs as the first free id of the range; bash
# looks its own user up, which for an id the user database does not list
# costs about half a millisecond that is the host's, not the option's.
if [ "$(id -u)" -eq 0 ]; then
  first=${TESSIMAR_CONTAIN_UIDS:-60578-61183}; first=${first%%-*}
  getent passwd "$first" >/dev/null ||
    echo "(note: user id $first is not in the user database; bash's lookup of it counts in the figure below)"
fi

python3 - "$exe" "$dir/empty.bash" "$pairs" <<'PY'
import os, statistics, sys, time
exe, program, pairs = sys.argv[1], sys.argv[2], int(sys.argv[3])
plain = [exe, "--lang", "bash", "--timeout", "60"]
contained = plain + ["--contain"]
def run(argv):
    with open(program, "rb") as stdin, open(os.devnull, "wb") as null:
        start = time.perf_counter_ns()
        pid = os.posix_spawn(exe, argv, os.environ, file_actions=[
            (os.POSIX_SPAWN_DUP2, stdin.fileno(), 0), (os.POSIX_SPAWN_DUP2, null.fileno(), 1)])
        os.waitpid(pid, 0)
        return (time.perf_counter_ns() - start) / 1e6
run(plain), run(contained)
diffs, a, b = [], [], []
for i in range(pairs):
    if i % 2 == 0:
        x = run(plain); y = run(contained)
    else:
        y = run(contained); x = run(plain)
    a.append(x); b.append(y); diffs.append(y - x)
print(f"\nempty bash program, {pairs} paired runs: without {statistics.median(a):.2f} ms, "
      f"with {statistics.median(b):.2f} ms (medians); median of the differences {statistics.median(diffs):+.2f} ms")
PY
