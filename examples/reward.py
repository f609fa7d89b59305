#!/usr/bin/env python3
"""Per-program pass rates for generated programs, through one tessimar-exec.

Input: a JSONL file, one generated program per line:

    {"id": "p1", "lang": "python3", "program": "print(int(input()) * 2)",
     "tests": [{"stdin": "2\\n", "expected": "4\\n"}, {"stdin": "5\\n", "expected": "10\\n"}]}

"id" is optional (the line number is used); any other request key of
`tessimar-exec --batch` ("check", "float_tolerance", "timeout", ...) is passed
on as it is. Every line goes to one `tessimar-exec --batch -` process, which
compiles each program once and runs it once per test, JOBS at a time.

Output: one JSON line per program, in input order:

    {"id": "p1", "judged": 2, "passed": 2, "reward": 1.0, "verdict": "OK"}

"reward" is passed / judged (0.0 when nothing could be judged, for example
when the program did not compile; "error" then says why, when the runner
gave a reason). The mean reward goes to standard error.

Usage: reward.py INPUT.jsonl [--runner PATH] [--jobs N] [OPTION ...]
Options after the known ones (for example --timeout 5 --contain) become the
batch's defaults for every request.
"""
import argparse
import json
import subprocess
import sys
import threading


def requests(path):
    """The batch request lines, and the id each output line will carry."""
    lines, ids = [], []
    with open(path, encoding="utf-8") as f:
        for number, text in enumerate(f, start=1):
            if not text.strip():
                continue
            record = json.loads(text)
            record.setdefault("id", number)
            ids.append(record["id"])
            lines.append(json.dumps(record, ensure_ascii=False) + "\n")
    return lines, ids


def score(report):
    judged = report.get("cases_judged")
    passed = report.get("cases_passed")
    if judged is None:  # a single run with "expected", or nothing judged
        judged = 0 if report.get("passed") is None else 1
        passed = 1 if report.get("passed") else 0
    out = {"id": report.get("id"), "judged": judged, "passed": passed,
           "reward": passed / judged if judged else 0.0, "verdict": report.get("verdict")}
    if "error" in report:
        out["error"] = report["error"]
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input")
    parser.add_argument("--runner", default="tessimar-exec")
    parser.add_argument("--jobs", type=int, default=0)
    args, defaults = parser.parse_known_args()

    lines, ids = requests(args.input)
    command = [args.runner, "--batch", "-"] + (["--jobs", str(args.jobs)] if args.jobs else []) + defaults
    batch = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, encoding="utf-8")

    def feed():
        try:
            for line in lines:
                batch.stdin.write(line)
        except BrokenPipeError:
            pass  # the batch stopped early; its exit status says why
        finally:
            try:
                batch.stdin.close()
            except BrokenPipeError:
                pass

    writer = threading.Thread(target=feed)
    writer.start()
    rewards = []
    for text in batch.stdout:
        result = score(json.loads(text))
        rewards.append(result["reward"])
        print(json.dumps(result, ensure_ascii=False), flush=True)
    writer.join()
    status = batch.wait()
    if status != 0 or len(rewards) != len(ids):
        print(f"reward.py: the batch ended with status {status} after {len(rewards)} of {len(ids)} programs",
              file=sys.stderr)
        return 1
    mean = sum(rewards) / len(rewards) if rewards else 0.0
    print(f"mean reward {mean:.4f} over {len(rewards)} programs", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
