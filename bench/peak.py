"""The runner's own peak memory, sampled while it runs (used by the benches)."""
import os
import subprocess
import time


def vm_hwm(pid):
    """VmHWM of a live process in KiB, or None once it is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def run_sampled(argv, stdin_bytes, env=None, interval=0.002):
    """Runs argv with stdin_bytes, sampling its VmHWM until it exits.

    Returns (largest VmHWM in KiB, standard output, wait status, rusage).
    The output is read without blocking between samples: a report can
    exceed a pipe buffer."""
    p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    p.stdin.write(stdin_bytes)
    p.stdin.close()
    os.set_blocking(p.stdout.fileno(), False)
    top, chunks = 0, []
    while True:
        h = vm_hwm(p.pid)
        if h is not None:
            top = max(top, h)
        try:
            chunk = os.read(p.stdout.fileno(), 1 << 20)
            if chunk:
                chunks.append(chunk)
                continue
            if chunk == b"":
                break
        except BlockingIOError:
            pass
        time.sleep(interval)
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = 0
    p.stdout.close()
    return top, b"".join(chunks), status, usage
