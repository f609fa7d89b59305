#!/usr/bin/env bash
# The same C++ program sent as 10 separate runs, each with its own input,
# without a build cache (10 compiles) and with one (one compile, then 9
# stored programs). Each timed round starts from an empty cache. Prints the
# mean times and the ratio.
#
# Usage: bench/build_cache.sh [BUILD_DIR]     (default: build)
#   RUNS     hyperfine runs per command (default 3)
#   COUNT    runs per round (default 10)
#   TARGET   least ratio (without / with the cache) accepted (default 5)
#
# Needs hyperfine (Debian package "hyperfine") and g++.
set -euo pipefail

. "$(dirname "$0")/lib.sh"
build="$(bench_build_dir "${1:-}")"
runs="${RUNS:-3}"
count="${COUNT:-10}"
target="${TARGET:-5}"

bench_need hyperfine g++ python3
bench_runner "$build"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cat > "$work/main.cpp" <<'CPP'
#include <iostream>
#include <map>
#include <string>
int main() {
    std::map<std::string, int> seen;
    std::string w;
    while (std::cin >> w) ++seen[w];
    for (const auto& [word, n] : seen) std::cout << word << ' ' << n << '\n';
}
CPP

exe="$build/tessimar-exec"
export PATH=/usr/local/bin:/usr/bin:/bin
round() {  # $1: extra options
    echo "for i in \$(seq 1 $count); do $exe --lang cpp --stdin \"w\$i w\$i\" $1 < $work/main.cpp > /dev/null; done"
}

# The cached run must really be a hit, with the same output.
plain="$("$exe" --lang cpp --stdin 'a b a' < "$work/main.cpp")"
"$exe" --lang cpp --stdin 'a b a' --build-cache "$work/check" < "$work/main.cpp" > /dev/null
cached="$("$exe" --lang cpp --stdin 'a b a' --build-cache "$work/check" < "$work/main.cpp")"
python3 - "$plain" "$cached" <<'PY'
import json, sys
p, c = json.loads(sys.argv[1]), json.loads(sys.argv[2])
assert p["stdout"] == c["stdout"] == "a 2\nb 1\n", (p, c)
assert "build_cached" not in p and c.get("build_cached") is True and c["compile_ms"] == 0, c
PY

hyperfine --style basic --runs "$runs" --export-json "$work/times.json" \
    --prepare "rm -rf $work/cache" \
    -n "cpp x$count runs, no cache" "$(round '')" \
    -n "cpp x$count runs, --build-cache" "$(round "--build-cache $work/cache")"

TARGET="$target" python3 - "$work/times.json" <<'PY'
import json, os, sys
m = [r["mean"] for r in json.load(open(sys.argv[1]))["results"]]
ratio = m[0] / m[1]
print(f"cpp: {m[0]:.3f} s without a cache, {m[1]:.3f} s with one, ratio {ratio:.1f}x")
target = float(os.environ["TARGET"])
if ratio < target:
    print(f"below the target of {target:g}x", file=sys.stderr)
    sys.exit(1)
PY
