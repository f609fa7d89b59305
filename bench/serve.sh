#!/usr/bin/env bash
# The HTTP service against --batch at the same --jobs.
#
# Usage: bench/serve.sh [BUILD_DIR]        (default: build)
#   REQUESTS     python3 hello-world requests per side (default 1000)
#   JOBS         --jobs of both (default 2)
#   CONNECTIONS  concurrent keep-alive connections of the client (default 4 x JOBS:
#                enough to keep every job busy with a queue behind it, few
#                enough that the client's own threads do not compete with the runs)
#   MIN_RATIO    the service's runs per second over the batch's, at least (default 0.9)
#
# 1. --batch FILE --jobs JOBS on REQUESTS lines, timed: runs per second.
# 2. --serve 127.0.0.1:0 --jobs JOBS, and a client in Python's standard
#    library (CONNECTIONS threads, one keep-alive connection each) posting
#    the same REQUESTS bodies to /run: runs per second over the whole load,
#    and p50/p99 of each request's latency (send to full answer). Every
#    answer must be 200 with verdict OK.
# Fails when the service's rate is below MIN_RATIO times the batch's.
set -euo pipefail

. "$(dirname "$0")/lib.sh"
build="$(bench_build_dir "${1:-}")"
requests="${REQUESTS:-1000}"
jobs="${JOBS:-2}"
connections="${CONNECTIONS:-$((4 * jobs))}"
min_ratio="${MIN_RATIO:-0.9}"
bench_need python3
bench_runner "$build"
runner="$build/tessimar-exec"
export PATH=/usr/local/bin:/usr/bin:/bin TMPDIR=/tmp

work=$(mktemp -d)
server_pid=
cleanup() {
    [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
    [ -z "$server_pid" ] || wait "$server_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

for i in $(seq 1 "$requests"); do
    echo '{"lang":"python3","program":"print(\"hello\")"}'
done >"$work/requests.jsonl"

start=$(date +%s.%N)
"$runner" --batch "$work/requests.jsonl" --jobs "$jobs" >"$work/batch.out"
end=$(date +%s.%N)
[ "$(grep -c '"verdict":"OK"' "$work/batch.out")" -eq "$requests" ] || { echo "the batch did not run every request OK" >&2; exit 1; }
batch_rate=$(python3 -c "print($requests / ($end - $start))")

"$runner" --serve 127.0.0.1:0 --jobs "$jobs" --queue "$requests" 2>"$work/serve.log" &
server_pid=$!
for _ in $(seq 1 200); do
    grep -q 'serving on' "$work/serve.log" && break
    sleep 0.05
done
port=$(sed -n 's/.*serving on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/serve.log" | head -1)
[ -n "$port" ] || { echo "the service did not start: $(cat "$work/serve.log")" >&2; exit 1; }

serve=$(python3 - "$port" "$work/requests.jsonl" "$connections" <<'PY'
import http.client, json, sys, threading, time
port, path, connections = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
bodies = open(path, "rb").read().splitlines()
lock, latencies, failures = threading.Lock(), [], []
next_index = iter(range(len(bodies)))
def client():
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
    while True:
        with lock:
            i = next(next_index, None)
        if i is None:
            return
        t0 = time.monotonic()
        conn.request("POST", "/run", bodies[i], {"Content-Type": "application/json"})
        response = conn.getresponse()
        body = response.read()
        took = time.monotonic() - t0
        ok = response.status == 200 and json.loads(body).get("verdict") == "OK"
        with lock:
            latencies.append(took)
            if not ok:
                failures.append((response.status, body[:200]))
start = time.monotonic()
threads = [threading.Thread(target=client) for _ in range(connections)]
for t in threads: t.start()
for t in threads: t.join()
wall = time.monotonic() - start
latencies.sort()
pick = lambda q: latencies[min(len(latencies) - 1, int(q * len(latencies)))]
print(json.dumps({"rate": len(bodies) / wall, "p50": pick(0.5), "p99": pick(0.99), "failures": len(failures),
                  "first_failure": str(failures[0]) if failures else None}))
PY
)
rate=$(python3 -c "import json,sys; print(json.loads(sys.argv[1])['rate'])" "$serve")
failures=$(python3 -c "import json,sys; print(json.loads(sys.argv[1])['failures'])" "$serve")
python3 - "$serve" "$batch_rate" "$requests" "$jobs" "$connections" <<'PY'
import json, sys
s, batch, n, jobs, conns = json.loads(sys.argv[1]), float(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
print(f"--batch --jobs {jobs}: {batch:.1f} runs/s over {n} requests")
print(f"--serve --jobs {jobs}: {s['rate']:.1f} runs/s over {conns} connections, p50 {s['p50']*1000:.0f} ms, "
      f"p99 {s['p99']*1000:.0f} ms; ratio {s['rate']/batch:.2f}")
PY
[ "$failures" -eq 0 ] || { echo "failed answers: $serve" >&2; exit 1; }
python3 -c "import sys; sys.exit(0 if float(sys.argv[1]) >= float(sys.argv[2]) * float(sys.argv[3]) else 1)" \
    "$rate" "$min_ratio" "$batch_rate" || { echo "the service is slower than $min_ratio x the batch" >&2; exit 1; }
