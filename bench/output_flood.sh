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

. "$(dirname "$0")/lib.sh"
build="$(bench_build_dir "${1:-}")"
slack_mib="${SLACK_MIB:-8}"

bench_need python3
bench_runner "$build"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

EXEC="$build/tessimar-exec" TMPBASE="$scratch" SLACK_MIB="$slack_mib" BENCH_DIR="$bench_dir" python3 - <<'PY'
import json, os, sys, time
sys.path.insert(0, os.environ["BENCH_DIR"])
from peak import run_sampled

exe = os.environ["EXEC"]
slack = int(os.environ["SLACK_MIB"]) * 1024
env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "TMPDIR": os.environ["TMPBASE"]}

def measure(program, extra):
    start = time.monotonic()
    peak, out, status, usage = run_sampled([exe, "--lang", "bash", *extra], program.encode(), env, 0.003)
    elapsed = time.monotonic() - start
    return peak, usage.ru_maxrss, json.loads(out), elapsed, status

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
