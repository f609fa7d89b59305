#!/usr/bin/env bash
# Output flood: a child that tries to write 1 GiB to standard output, and the
# runner's own peak memory while it captures and reads that output back.
#
# Usage: bench/output_flood.sh [BUILD_DIR]     (default: build)
#   SLACK_MIB   allowed growth of the runner over its baseline, beyond the cap (default 8)
#
# What is measured: the runner process alone. A Python harness starts the
# runner, samples VmHWM from /proc/<runner>/status every few milliseconds
# until it exits, and keeps the largest sample (VmHWM only grows, except
# that the runner resets it to its present size just before it starts a
# child). It also reports ru_maxrss from wait4 on the runner, for reference
# only: Linux makes that figure the largest of the runner, its reaped child,
# and the harness's own forked copy before exec (a Python process of
# ~14 MiB), so it overstates the runner.
# The child's attempt at 1 GiB is stopped by the file-size limit of the run
# phase (256 MiB with the default cap, four times the cap otherwise): it
# ends by SIGXFSZ and the capture file holds that many bytes. A baseline run (a child that prints one
# line) gives the runner's resident size without any captured output.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$repo/build}"
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac
slack_mib="${SLACK_MIB:-8}"

if [ ! -x "$build/tessimar-exec" ]; then
    echo "building tessimar-exec in $build" >&2
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target tessimar-exec >/dev/null
fi
command -v python3 >/dev/null || { echo "python3 is needed for the harness" >&2; exit 1; }

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

EXEC="$build/tessimar-exec" TMPBASE="$scratch" SLACK_MIB="$slack_mib" python3 - <<'PY'
import json, os, subprocess, sys, time

exe = os.environ["EXEC"]
slack = int(os.environ["SLACK_MIB"]) * 1024
env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "TMPDIR": os.environ["TMPBASE"]}

def vm_hwm(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None

def measure(program, extra):
    start = time.monotonic()
    p = subprocess.Popen([exe, "--lang", "bash", *extra], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, env=env)
    p.stdin.write(program.encode())
    p.stdin.close()
    peak = 0
    # The report can exceed a pipe buffer: read it without blocking between
    # samples.
    os.set_blocking(p.stdout.fileno(), False)
    chunks = []
    while True:
        h = vm_hwm(p.pid)
        if h is not None:
            peak = max(peak, h)
        try:
            chunk = os.read(p.stdout.fileno(), 1 << 20)
            if chunk:
                chunks.append(chunk)
                continue
            if chunk == b"":
                break
        except BlockingIOError:
            pass
        time.sleep(0.003)
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = 0
    elapsed = time.monotonic() - start
    report = json.loads(b"".join(chunks))
    return peak, usage.ru_maxrss, report, elapsed, status

# Printable bytes, so that the report's text is as long as the kept output
# (NUL bytes would be escaped to six characters each).
flood = "tr '\\0' x < /dev/zero | head -c 1073741824\n"
base_peak, base_wait, base_rep, _, _ = measure("echo hi\n", [])
print(f"baseline (one line of output): runner VmHWM {base_peak} KiB, wait4 ru_maxrss {base_wait} KiB")

failed = False
for cap_kb in (0, 16384):
    extra = [] if cap_kb == 0 else ["--max-output-kb", str(cap_kb)]
    cap = 64 if cap_kb == 0 else cap_kb
    peak, waited, rep, elapsed, status = measure(flood, extra)
    grow = peak - base_peak
    print(f"cap {cap} KiB: child wrote {rep['stdout_bytes']} bytes (verdict {rep['verdict']}, "
          f"exit_code {rep['exit_code']}), {elapsed:.2f} s; runner VmHWM {peak} KiB "
          f"(+{grow} KiB over baseline), wait4 ru_maxrss {waited} KiB")
    if os.WEXITSTATUS(status) != 0 or not rep["output_truncated"]:
        print("  unexpected report", file=sys.stderr)
        failed = True
    # With the default cap the growth must stay within the cap plus slack.
    # A large cap also holds the report: the kept text, the serialised line
    # and its write, so up to a few times the cap.
    allowed = cap + slack if cap_kb == 0 else 5 * cap + slack
    if grow > allowed:
        print(f"  FAIL: runner grew by {grow} KiB, more than {allowed} KiB", file=sys.stderr)
        failed = True
sys.exit(1 if failed else 0)
PY
