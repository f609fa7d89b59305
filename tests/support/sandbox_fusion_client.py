#!/usr/bin/env python3
"""A client of POST /run_code that behaves as verl's SandboxFusion reward does.

Standard library only. It mirrors verl's verl/utils/reward_score/sandbox_fusion
(call_sandbox_api, _process_single_case and check_correctness), one request
per test case:

* the payload: compile_timeout and run_timeout both set to the case's timeout
  (default 10, verl's DEFAULT_TIMEOUT), code, stdin (null when the case has
  none: verl sends None then), memory_limit_MB (default 1024, as
  check_correctness), language, files ({} in verl; a case's "files" are
  base64-encoded here as tinker-cookbook's client does) and fetch_files ([]);
* headers Content-Type and Accept application/json; the request may take
  compile_timeout + run_timeout + 10 seconds; a 504 is retried up to three
  times after 1 s and 2 s, any other HTTP error is not retried;
* the score: True (status "Success", run_result "Finished" and stdout equal to
  the expected output once trailing line feeds are removed from both; a case
  without "expected" passes on Success), False (a wrong answer), -1 (the
  request failed, "SandboxError", or a state it cannot classify), -2 (a runtime
  error: "Failed" with run_result "Error" or "Finished" with a non-zero
  return_code), -3 (run_result "TimeLimitExceeded"), -4 (a compile error or
  compile timeout: compile_result "Error"/"TimeLimitExceeded" or "Finished"
  with a non-zero return_code). "status" is verl's own word for the case.

verl's python function-call wrapper (fn_name) and its assert_case appending
are not mirrored: a case's code is sent as given.

Usage:
    sandbox_fusion_client.py URL CASES.json

URL is the full endpoint (http://127.0.0.1:PORT/run_code). CASES.json (or "-"
for standard input) holds a JSON list of objects:
    {"language": ..., "code": ..., "stdin": ..., "expected": ...,
     "memory_limit_MB": ..., "timeout": ..., "files": {path: text},
     "fetch_files": [path, ...]}
of which language and code are required. One JSON line per case is printed,
in order: {"index", "http_status", "response", "score", "status"}, where
"response" is the parsed answer (or the error text), and "score" is the
value above. Exit status 0 when every case got its line, 2 on a bad argument
or case file.
"""

import base64
import json
import sys
import time
import urllib.error
import urllib.request

DEFAULT_TIMEOUT = 10
DEFAULT_MEMORY_LIMIT_MB = 1024
MAX_RETRIES = 3
INITIAL_RETRY_DELAY = 1
API_TIMEOUT = 10


def payload_of(case):
    """The request body verl builds for one test case."""
    timeout = case.get("timeout", DEFAULT_TIMEOUT)
    stdin = case.get("stdin")
    files = {path: base64.b64encode(text.encode("utf-8")).decode("ascii")
             for path, text in case.get("files", {}).items()}
    return {
        "compile_timeout": timeout,
        "run_timeout": timeout,
        "code": case["code"],
        "stdin": None if stdin is None else str(stdin),
        "memory_limit_MB": case.get("memory_limit_MB", DEFAULT_MEMORY_LIMIT_MB),
        "language": case["language"],
        "files": files,
        "fetch_files": case.get("fetch_files", []),
    }


def call(url, payload):
    """(http_status, parsed answer or None, error text or None)."""
    body = json.dumps(payload).encode("utf-8")
    request_timeout = payload["compile_timeout"] + payload["run_timeout"] + API_TIMEOUT
    last_error = None
    for attempt in range(MAX_RETRIES):
        request = urllib.request.Request(
            url, data=body, method="POST",
            headers={"Content-Type": "application/json", "Accept": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=request_timeout) as answer:
                text = answer.read().decode("utf-8")
                status = answer.status
        except urllib.error.HTTPError as e:
            text = e.read().decode("utf-8", "replace")
            if e.code == 504:
                last_error = "Gateway Timeout (504) on attempt %d/%d" % (attempt + 1, MAX_RETRIES)
                if attempt < MAX_RETRIES - 1:
                    time.sleep(INITIAL_RETRY_DELAY * (attempt + 1))
                continue
            return e.code, None, "HTTP %d: %s" % (e.code, text)
        except (urllib.error.URLError, OSError) as e:
            return None, None, "request failed: %s" % e
        try:
            return status, json.loads(text), None
        except ValueError as e:
            return status, None, "answer is not JSON: %s" % e
    return 504, None, last_error


def score(answer, expected):
    """(score, status) as verl's _process_single_case gives them."""
    api_status = answer.get("status")
    compile_result = answer.get("compile_result")
    run_result = answer.get("run_result")
    if api_status == "SandboxError":
        return -1, "sandbox_error"
    if api_status == "Failed":
        compile_status = compile_result.get("status") if compile_result else None
        if compile_result and (compile_status in ("Error", "TimeLimitExceeded") or
                               (compile_status == "Finished" and compile_result.get("return_code") != 0)):
            return -4, "compile_timeout" if compile_status == "TimeLimitExceeded" else "compile_error"
        if run_result:
            run_status = run_result.get("status")
            if run_status == "TimeLimitExceeded":
                return -3, "timeout"
            if run_status == "Error" or (run_status == "Finished" and run_result.get("return_code") != 0):
                return -2, "runtime_error"
            return -1, "unknown_failure"
        return -1, "unknown_failure_state"
    if api_status == "Success":
        if run_result and run_result.get("status") == "Finished":
            stdout = run_result.get("stdout")
            actual = stdout if stdout is not None else ""
            if expected is None or str(actual).rstrip("\n") == str(expected).rstrip("\n"):
                return True, "success"
            return False, "wrong_answer"
        return -1, "unexpected_success_state"
    return -1, "unknown_api_status_%s" % api_status


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: %s URL CASES.json\n" % argv[0])
        return 2
    try:
        if argv[2] == "-":
            cases = json.load(sys.stdin)
        else:
            with open(argv[2], encoding="utf-8") as f:
                cases = json.load(f)
    except (OSError, ValueError) as e:
        sys.stderr.write("cannot read the cases %s: %s\n" % (argv[2], e))
        return 2
    if not isinstance(cases, list) or not all(
            isinstance(c, dict) and isinstance(c.get("code"), str) and isinstance(c.get("language"), str)
            for c in cases):
        sys.stderr.write("%s: expected a JSON list of objects with string 'language' and 'code'\n" % argv[2])
        return 2
    for index, case in enumerate(cases):
        http_status, answer, error = call(argv[1], payload_of(case))
        if error is not None:
            line = {"index": index, "http_status": http_status, "response": error,
                    "score": -1, "status": "api_error"}
        else:
            value, status = score(answer, case.get("expected"))
            line = {"index": index, "http_status": http_status, "response": answer,
                    "score": value, "status": status}
        print(json.dumps(line, sort_keys=True), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
