#!/usr/bin/env bash
# What --contain costs: an empty bash program and a hello world in every
# language this host has, each through the runner with and without the
# option, in one hyperfine run per language. Prints one table row per
# language: the two medians, their difference and their ratio.
#
#   bench/contain_cost.sh [build-dir]      (RUNS=20 SLOW_RUNS=5 by default)
set -euo pipefail

build=${1:-build}
if [ ! -x "$build/tessimar-exec" ]; then
  cmake -S "$(dirname "$0")/.." -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIMAR_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 >/dev/null
fi
exe=$(realpath "$build/tessimar-exec")
command -v hyperfine >/dev/null || { echo "hyperfine is missing (apt-get install hyperfine)" >&2; exit 1; }
runs=${RUNS:-20}
slow_runs=${SLOW_RUNS:-5}

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
  n=$runs
  case "$slow" in *" $lang "*) n=$slow_runs ;; esac
  hyperfine --style none --warmup 2 --runs "$n" --export-json "$dir/$name.json" \
    -n plain "$exe --lang $lang --timeout 60 < $dir/$name" \
    -n contain "$exe --lang $lang --timeout 60 --contain < $dir/$name" >/dev/null
  python3 - "$dir/$name.json" "$name" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
a, b = r["plain"]["median"] * 1000, r["contain"]["median"] * 1000
print(f"| {sys.argv[2]} | {a:.1f} ms | {b:.1f} ms | {b - a:+.1f} ms | {b / a:.2f} |")
PY
done
