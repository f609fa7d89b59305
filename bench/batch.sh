#!/usr/bin/env bash
# Batch mode against separate invocations, and the batch's own memory.
#
# Usage: bench/batch.sh [BUILD_DIR]        (default: build)
#   REQUESTS         python3 hello-world requests per timed command (default 1000)
#   RUNS             hyperfine runs per command (default 3)
#   TOLERANCE        allowed slowdown of the batch, as a fraction (default 0.05)
#   MEMORY_REQUESTS  requests of 64 KiB programs in the memory check (default 20000)
#   MEMORY_MIB       the batch's allowed peak resident memory (default 64)
#   LINE_MIB         size of the single long request line (default 60)
#   LINE_SLACK_MIB   allowance over two copies of that line (default 16)
#
# 1. Speed. hyperfine times `tessimar-exec --batch FILE --jobs 2` on REQUESTS
#    python3 hello-world lines against the same number of separate
#    invocations driven by `xargs -P 2`, each writing its report to one
#    file. Fails when the batch's mean is more than TOLERANCE slower.
# 2. Memory. MEMORY_REQUESTS bash requests whose program is a 64 KiB comment
#    and a no-op are written to the batch's standard input by a Python
#    harness as fast as the batch takes them (`--batch - --jobs 2`); the
#    harness samples VmHWM of the batch process from /proc until it exits
#    (VmHWM only grows, so the last sample is the peak), counts the output
#    lines, and fails when the peak reaches MEMORY_MIB or a line is missing.
# 3. One long line. A file holding one bash request whose program is a
#    LINE_MIB comment and a no-op is run with `--batch FILE --jobs 1`, and so
#    is a file holding one short request; VmHWM of the batch process is
#    sampled for both. Fails when the long line's peak exceeds the short
#    one's by more than two copies of the line plus LINE_SLACK_MIB, or when
#    the run does not report OK.
set -euo pipefail

. "$(dirname "$0")/lib.sh"
build="$(bench_build_dir "${1:-}")"
requests="${REQUESTS:-1000}"
runs="${RUNS:-3}"
tolerance="${TOLERANCE:-0.05}"
memory_requests="${MEMORY_REQUESTS:-20000}"
memory_mib="${MEMORY_MIB:-64}"
line_mib="${LINE_MIB:-60}"
line_slack_mib="${LINE_SLACK_MIB:-16}"

bench_need hyperfine python3
bench_runner "$build"

exe="$build/tessimar-exec"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"

echo 'print("hello, world")' > "$scratch/hello.py"
python3 - "$scratch" "$requests" <<'PY'
import json, sys
d, n = sys.argv[1], int(sys.argv[2])
with open(f"{d}/hello.jsonl", "w") as f:
    for _ in range(n):
        f.write(json.dumps({"lang": "python3", "program": 'print("hello, world")\n'}) + "\n")
with open(f"{d}/hello.list", "w") as f:
    f.write(f"{d}/hello.py\n" * n)
PY

echo "== speed: $requests python3 requests, 2 at a time"
hyperfine --runs "$runs" --export-json "$scratch/speed.json" \
    -n batch "'$exe' --batch '$scratch/hello.jsonl' --jobs 2 > '$scratch/batch.out'" \
    -n xargs "xargs -a '$scratch/hello.list' -P 2 -n 1 sh -c 'exec \"\$0\" --lang python3 < \"\$1\"' '$exe' > '$scratch/xargs.out'"
status=0
python3 - "$scratch" "$requests" "$tolerance" <<'PY' || status=1
import json, sys
d, n, tol = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
means = {r["command"]: r["mean"] for r in json.load(open(f"{d}/speed.json"))["results"]}
for name in ("batch", "xargs"):
    lines = open(f"{d}/{name}.out").read().count("\n")
    if lines != n:
        sys.exit(f"FAIL: {name} wrote {lines} lines, not {n}")
ratio = means["batch"] / means["xargs"]
print(f"batch {means['batch']:.2f} s, xargs {means['xargs']:.2f} s: batch/xargs = {ratio:.3f}")
if ratio > 1 + tol:
    sys.exit(f"FAIL: the batch is slower than separate invocations by more than {tol:.0%}")
print("PASS: the batch is at least as fast" if ratio <= 1 else
      f"PASS: the batch is as fast within the {tol:.0%} noise allowance")
PY

echo "== memory: $memory_requests requests of 64 KiB programs"
EXEC="$exe" N="$memory_requests" LIMIT_KIB=$((memory_mib * 1024)) BENCH_DIR="$bench_dir" python3 - <<'PY' || status=1
import json, os, subprocess, sys, threading, time
sys.path.insert(0, os.environ["BENCH_DIR"])
from peak import vm_hwm

n, limit = int(os.environ["N"]), int(os.environ["LIMIT_KIB"])
line = (json.dumps({"lang": "bash", "program": "#" + "x" * 65536 + "\n:\n"}) + "\n").encode()
p = subprocess.Popen([os.environ["EXEC"], "--batch", "-", "--jobs", "2"],
                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)

def feed():
    try:
        for _ in range(n):
            p.stdin.write(line)
        p.stdin.close()
    except BrokenPipeError:
        pass

counts = {"lines": 0, "ok": 0}
def drain():
    for out in p.stdout:
        counts["lines"] += 1
        counts["ok"] += b'"ok":true' in out

threads = [threading.Thread(target=feed), threading.Thread(target=drain)]
for t in threads:
    t.start()
peak, started = 0, time.monotonic()
while p.poll() is None:
    v = vm_hwm(p.pid)
    if v is not None:
        peak = max(peak, v)
    time.sleep(0.05)
for t in threads:
    t.join()
secs = time.monotonic() - started
print(f"{counts['lines']} lines ({counts['ok']} ok) in {secs:.0f} s; batch peak VmHWM {peak} KiB "
      f"(limit {limit} KiB), exit status {p.returncode}")
if p.returncode != 0 or counts["lines"] != n:
    sys.exit("FAIL: lines missing or a bad exit status")
if peak >= limit:
    sys.exit("FAIL: the batch's peak memory reached the limit")
print("PASS: memory stays bounded")
PY

echo "== memory: one line of a $line_mib MiB program"
EXEC="$exe" SCRATCH="$scratch" LINE_MIB="$line_mib" SLACK_MIB="$line_slack_mib" BENCH_DIR="$bench_dir" \
    python3 - <<'PY' || status=1
import json, os, sys
sys.path.insert(0, os.environ["BENCH_DIR"])
from peak import run_sampled

d, mib, slack = os.environ["SCRATCH"], int(os.environ["LINE_MIB"]), int(os.environ["SLACK_MIB"])
short = json.dumps({"lang": "bash", "program": ":\n"}) + "\n"
long_ = json.dumps({"lang": "bash", "program": "#" + "x" * (mib << 20) + "\n:\n"}) + "\n"
peaks = {}
for name, text in (("short", short), ("long", long_)):
    path = f"{d}/{name}.jsonl"
    with open(path, "w") as f:
        f.write(text)
    top, out, status, _ = run_sampled([os.environ["EXEC"], "--batch", path, "--jobs", "1"], b"")
    ok = os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0 and b'"ok":true' in out
    if not ok:
        sys.exit(f"FAIL: the {name} line did not run: status {status}, {out[:300]!r}")
    peaks[name] = top
line_kib = len(long_) // 1024
growth = peaks["long"] - peaks["short"]
limit = 2 * line_kib + slack * 1024
print(f"batch peak VmHWM {peaks['long']} KiB for a {line_kib} KiB line, {peaks['short']} KiB for a short one: "
      f"+{growth} KiB = {growth / line_kib:.2f} copies of the line (allowed {limit} KiB: two copies + {slack} MiB)")
if growth > limit:
    sys.exit("FAIL: the batch holds more than two copies of a line")
print("PASS: at most two copies of a line")
PY
exit $status
