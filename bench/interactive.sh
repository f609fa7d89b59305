#!/usr/bin/env bash
# An interactive exchange of ROUNDS round trips of one short line each: the
# runner (--interactor, with and without --transcript-kb) against the same
# two programs joined by bare pipes, measured in the same hyperfine run.
# Prints the means and the ratios, and fails when a ratio is past its target.
#
# Usage: bench/interactive.sh [BUILD_DIR]     (default: build)
#   RUNS       hyperfine runs per command (default 5)
#   ROUNDS     round trips (default 100000)
#   TARGET     most the runner may cost, as a ratio to bare pipes (default 1.2)
#   TARGET_RELAY  the same with a transcript relay (default 2.0)
#
# Needs hyperfine, gcc and python3.
set -euo pipefail

. "$(dirname "$0")/lib.sh"
build="$(bench_build_dir "${1:-}")"
runs="${RUNS:-5}"
rounds="${ROUNDS:-100000}"
target="${TARGET:-1.2}"
target_relay="${TARGET_RELAY:-2.0}"

bench_need hyperfine gcc python3
bench_runner "$build"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# The program: echoes every line back until the end of its input.
cat > "$work/client.c" <<'C'
#include <stdio.h>
int main(void) {
    char line[64];
    while (fgets(line, sizeof line, stdin)) {
        fputs(line, stdout);
        fflush(stdout);
    }
    return 0;
}
C
# The interactor: INPUT holds the number of round trips; every line must come back.
cat > "$work/server.c" <<'C'
#include <stdio.h>
#include <string.h>
int main(int argc, char** argv) {
    if (argc < 2) return 3;
    FILE* in = fopen(argv[1], "r");
    long n = 0;
    if (!in || fscanf(in, "%ld", &n) != 1) return 3;
    char sent[64], got[64];
    for (long i = 0; i < n; ++i) {
        snprintf(sent, sizeof sent, "%ld\n", i);
        fputs(sent, stdout);
        fflush(stdout);
        if (!fgets(got, sizeof got, stdin) || strcmp(got, sent) != 0) return 1;
    }
    return 0;
}
C
gcc -O2 -o "$work/client" "$work/client.c"
gcc -O2 -o "$work/server" "$work/server.c"
echo "$rounds" > "$work/input"
# Bare: the two programs joined by two pipes, nothing between them.
cat > "$work/bare.py" <<'PY'
import os, subprocess, sys
work = sys.argv[1]
to_server_r, to_server_w = os.pipe()
to_client_r, to_client_w = os.pipe()
server = subprocess.Popen([work + "/server", work + "/input", work + "/out", work + "/input"],
                          stdin=to_server_r, stdout=to_client_w)
client = subprocess.Popen([work + "/client"], stdin=to_client_r, stdout=to_server_w)
for fd in (to_server_r, to_server_w, to_client_r, to_client_w):
    os.close(fd)
sys.exit(server.wait() or client.wait())
PY
echo "exec $work/client" > "$work/program.sh"

exe="$build/tessimar-exec"
export PATH=/usr/local/bin:/usr/bin:/bin
check() {
    local out
    out="$("$exe" --lang bash --interactor "$work/server" --stdin-file "$work/input" --timeout 120 "$@" \
        < "$work/program.sh")"
    case "$out" in
        *'"verdict":"OK"'*) ;;
        *) echo "the exchange failed: $out" >&2; exit 1 ;;
    esac
}
check
check --transcript-kb 64

# Each command through sh, the same for all three.
hyperfine -N --warmup 1 --runs "$runs" --export-json "$work/h.json" \
    -n bare "sh -c 'python3 $work/bare.py $work'" \
    -n runner "sh -c '$exe --lang bash --interactor $work/server --stdin-file $work/input --timeout 120 < $work/program.sh'" \
    -n relay "sh -c '$exe --lang bash --interactor $work/server --stdin-file $work/input --timeout 120 --transcript-kb 64 < $work/program.sh'" \
    >/dev/null

python3 - "$work/h.json" "$rounds" "$target" "$target_relay" <<'PY'
import json, sys
results = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
rounds, target, target_relay = int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
bare = results["bare"]
failed = False
print(f"{rounds} round trips: bare pipes {bare * 1000:.0f} ms ({bare / rounds * 1e6:.1f} us a round trip)")
for name, limit in (("runner", target), ("relay", target_relay)):
    ratio = results[name] / bare
    ok = ratio <= limit
    failed |= not ok
    print(f"{name:>7}: {results[name] * 1000:.0f} ms, {ratio:.2f}x bare (target {limit}x){'' if ok else '  MISSED'}")
sys.exit(1 if failed else 0)
PY
