#!/usr/bin/env bash
# A problem package judged with --problem against the same cases through
# --cases with the same checker: the package's reading, its groups and
# scores must cost at most 5% (TARGET) more. Two packages of CASES cases in
# two groups: one with the default validator (against --check tokens), one
# with a custom kattis validator (against --checker of the same program),
# which is built once before the timing.
#
# Usage: bench/problem.sh [BUILD_DIR]     (default: build)
#   RUNS     hyperfine runs per command (default 5)
#   CASES    number of cases (default 50)
#   TARGET   largest ratio (--problem / --cases) accepted (default 1.05)
#
# Needs hyperfine (Debian package "hyperfine"), g++ and python3.
set -euo pipefail

. "$(dirname "$0")/lib.sh"
build="$(bench_build_dir "${1:-}")"
runs="${RUNS:-5}"
count="${CASES:-50}"
target="${TARGET:-1.05}"

bench_need hyperfine g++ python3
bench_runner "$build"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export XDG_CACHE_HOME="$work/cache"
for pkg in plain custom; do
    mkdir -p "$work/$pkg/data/secret/a" "$work/$pkg/data/secret/b" "$work/cases-$pkg"
    for i in $(seq 1 "$count"); do
        group=$([ $((i % 2)) = 0 ] && echo a || echo b)
        echo "$i" > "$work/$pkg/data/secret/$group/$i.in"
        echo $((i * i)) > "$work/$pkg/data/secret/$group/$i.ans"
        echo "$i" > "$work/cases-$pkg/$i.in"
        echo $((i * i)) > "$work/cases-$pkg/$i.ans"
    done
done
echo "on_reject: continue" > "$work/plain/data/secret/testdata.yaml"
printf 'validation: custom\n' > "$work/custom/problem.yaml"
mkdir -p "$work/custom/output_validators/same"
cat > "$work/custom/output_validators/same/validate.cpp" <<'CPP'
#include <fstream>
#include <iostream>
int main(int, char** argv) {
    long want = 0, got = 0;
    std::ifstream(argv[2]) >> want;
    return (std::cin >> got) && got == want ? 42 : 43;
}
CPP
g++ -O2 -o "$work/validator" "$work/custom/output_validators/same/validate.cpp"
cat > "$work/main.cpp" <<'CPP'
#include <iostream>
int main() { long n; std::cin >> n; std::cout << n * n << "\n"; }
CPP

exe="$build/tessimar-exec"
export PATH=/usr/local/bin:/usr/bin:/bin
# Every case must pass before anything is timed; this also builds the
# package's validator into the cache.
for pkg in plain custom; do
    verdict="$("$exe" --lang cpp --problem "$work/$pkg" < "$work/main.cpp" |
        python3 -c 'import json,sys; r=json.load(sys.stdin); print(r.get("cases_passed"), r.get("verdict"), r.get("error", ""))')"
    [ "$verdict" = "$count OK " ] || { echo "$pkg: unexpected report ($verdict)" >&2; exit 1; }
done

hyperfine --style basic --runs "$runs" --warmup 1 --export-json "$work/times.json" \
    -n "problem, default validator" "$exe --lang cpp --problem $work/plain < $work/main.cpp > /dev/null" \
    -n "cases, check tokens" "$exe --lang cpp --cases $work/cases-plain < $work/main.cpp > /dev/null" \
    -n "problem, custom validator" "$exe --lang cpp --problem $work/custom < $work/main.cpp > /dev/null" \
    -n "cases, checker" "$exe --lang cpp --cases $work/cases-custom --checker $work/validator --judge-protocol kattis < $work/main.cpp > /dev/null"

TARGET="$target" python3 - "$work/times.json" <<'PY'
import json, os, sys
m = [r["mean"] for r in json.load(open(sys.argv[1]))["results"]]
plain, custom = m[0] / m[1], m[2] / m[3]
print(f"default validator: {m[0]:.3f} s --problem, {m[1]:.3f} s --cases, ratio {plain:.3f}")
print(f"custom validator:  {m[2]:.3f} s --problem, {m[3]:.3f} s --cases, ratio {custom:.3f}")
target = float(os.environ["TARGET"])
worst = max(plain, custom)
if worst > target:
    print(f"FAIL: ratio {worst:.3f} is above {target:g}", file=sys.stderr)
    sys.exit(1)
PY
