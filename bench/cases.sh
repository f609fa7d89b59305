#!/usr/bin/env bash
# One invocation over a directory of 50 cases (--cases) against 50 separate
# invocations of the same program, for a compiled language (cpp) and an
# interpreted one (python3). Prints the mean times and the ratios.
#
# Usage: bench/cases.sh [BUILD_DIR]     (default: build)
#   RUNS     hyperfine runs per command (default 3)
#   CASES    number of cases (default 50)
#   TARGET   least cpp ratio (separate / batch) accepted (default 10)
#
# Needs hyperfine (Debian package "hyperfine"), g++ and python3.
set -euo pipefail

. "$(dirname "$0")/lib.sh"
build="$(bench_build_dir "${1:-}")"
runs="${RUNS:-3}"
count="${CASES:-50}"
target="${TARGET:-10}"

bench_need hyperfine g++ python3
bench_runner "$build"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/cases"
for i in $(seq 1 "$count"); do echo "$i" > "$work/cases/$i.in"; done
cat > "$work/main.cpp" <<'CPP'
#include <iostream>
int main() { long n; std::cin >> n; std::cout << n * n << "\n"; }
CPP
cat > "$work/main.py" <<'PY'
n = int(input())
print(n * n)
PY

exe="$build/tessimar-exec"
export PATH=/usr/local/bin:/usr/bin:/bin
batch() { echo "$exe --lang $1 --cases $work/cases < $work/$2 > /dev/null"; }
separate() {
    echo "for f in $work/cases/*.in; do $exe --lang $1 --stdin-file \$f < $work/$2 > /dev/null; done"
}

# The batch must really pass every case before it is timed.
for lang in cpp:main.cpp python3:main.py; do
    verdicts="$("$exe" --lang "${lang%%:*}" --cases "$work/cases" < "$work/${lang#*:}" |
        python3 -c 'import json,sys; r=json.load(sys.stdin); print(len(r["cases"]), r["verdict"])')"
    [ "$verdicts" = "$count OK" ] || { echo "${lang%%:*}: unexpected report ($verdicts)" >&2; exit 1; }
done

hyperfine --style basic --runs "$runs" --export-json "$work/times.json" \
    -n "cpp --cases ($count)" "$(batch cpp main.cpp)" \
    -n "cpp x$count invocations" "$(separate cpp main.cpp)" \
    -n "python3 --cases ($count)" "$(batch python3 main.py)" \
    -n "python3 x$count invocations" "$(separate python3 main.py)"

TARGET="$target" python3 - "$work/times.json" <<'PY'
import json, os, sys
m = [r["mean"] for r in json.load(open(sys.argv[1]))["results"]]
cpp, py = m[1] / m[0], m[3] / m[2]
print(f"cpp:     {m[0]:.3f} s batched, {m[1]:.3f} s separate, ratio {cpp:.1f}x")
print(f"python3: {m[2]:.3f} s batched, {m[3]:.3f} s separate, ratio {py:.1f}x")
target = float(os.environ["TARGET"])
if cpp < target:
    print(f"FAIL: cpp ratio {cpp:.1f}x is below the target of {target:g}x", file=sys.stderr)
    sys.exit(1)
PY
