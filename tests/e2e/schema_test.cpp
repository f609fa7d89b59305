// Every kind of line the runner prints, checked against the JSON Schema in
// docs/ by a real validator (Debian's python3-jsonschema, run by the system's
// own interpreter), and the schema's refusal of a report with a key missing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.hpp"

using namespace testing_support;
using json = nlohmann::json;

namespace {

// Reads the schema and one sample per line ({"label","def","valid","instance"});
// checks each instance against its own definition and against the whole
// schema; prints every disagreement and exits 1 if there was one.
const char* const kValidator = R"(
import json, sys
from jsonschema import Draft202012Validator
schema = json.load(open(sys.argv[1]))
Draft202012Validator.check_schema(schema)
whole = Draft202012Validator(schema)
wrong = 0
for line in open(sys.argv[2]):
    sample = json.loads(line)
    part = Draft202012Validator({"$defs": schema["$defs"], "$ref": "#/$defs/" + sample["def"]})
    for name, validator in (("whole schema", whole), (sample["def"], part)):
        errors = [e.message for e in validator.iter_errors(sample["instance"])]
        if (not errors) != sample["valid"]:
            wrong += 1
            print(sample["label"], "against", name, ":", errors[0][:300] if errors else "accepted")
sys.exit(1 if wrong else 0)
)";

constexpr const char* kSystemPython = "/usr/bin/python3";

json output_of(const ProcessResult& r) {
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    try {
        return r.json();
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what() << ": " << r.out;
        return json();
    }
}

json discovery(const char* option) {
    Invocation inv;
    inv.args = {option};
    inv.set["PATH"] = kSearchPath;
    return output_of(run_exec(inv));
}

}  // namespace

TEST(Schema, RealOutputsValidateAndAReportWithAKeyMissingDoesNot) {
    ASSERT_TRUE(have(kSystemPython)) << "the system python3 is needed (scripts/setup.sh)";
    std::vector<json> samples;
    const auto add = [&](const std::string& label, const std::string& def, const json& instance,
                         bool valid = true) {
        samples.push_back({{"label", label}, {"def", def}, {"valid", valid}, {"instance", instance}});
    };
    const auto report = [&](const std::string& label, const Invocation& inv, const char* verdict) {
        const json j = report_of(run_exec(inv));
        EXPECT_EQ(j.value("verdict", ""), verdict) << label << ": " << j.dump();
        add(label, "run_report", j);
        return j;
    };

    const json ok = report("OK", run_of("bash", "echo hi\n"), "OK");
    report("TLE", run_of("bash", "sleep 30\n", {"--timeout", "1"}), "TLE");
    report("RTE", run_of("bash", "echo oops >&2; exit 3\n"), "RTE");
    report("OLE", run_of("bash", "head -c 5000 /dev/zero | tr '\\0' x\n", {"--max-output-kb", "1"}), "OLE");
    // Touches 160 MiB against a 256 MiB limit, then ends by a signal.
    report("MLE",
           run_of("python3", "import os\nb = b'x' * (160 << 20)\nos.abort()\n", {"--max-memory-mb", "256"}),
           "MLE");
    // Under the data limit: python's own MemoryError, exit status 1.
    report("MLE by exit", run_of("python3", "b = b'x' * (600 << 20)\n", {"--max-data-mb", "64"}), "MLE");
    // A runtime that is not installed: spawn_error and error.
    const json spawn = report("spawn error", run_of("mojo", "fn main(): pass\n"), "RTE");
    EXPECT_TRUE(spawn.contains("error")) << spawn.dump();
    if (have("/usr/bin/gcc")) {
        const json compile = report("compile failure", run_of("c", "int main(void) { return }\n"), "RTE");
        EXPECT_EQ(compile.value("phase", ""), "compile");
        // A second identical run takes its program from the build cache.
        TempDir cache;
        const Invocation twice = run_of("c", "int main(void) { return 0; }\n", {"--build-cache", cache / "c"});
        (void)report_of(run_exec(twice));
        EXPECT_EQ(report("build cached", twice, "OK").value("build_cached", false), true);
    }
    // Judged: a wrong answer; --cases with a failing checker and a skipped case.
    TempDir judge_dir, judge_cases;
    write_file(judge_dir / "answer", "2\n");
    write_file(judge_dir / "checker", "#!/bin/sh\nexit 3\n", 0755);
    write_file(judge_cases / "1.in", "");
    write_file(judge_cases / "2.in", "");
    report("WA", run_of("bash", "echo 1\n", {"--expect-file", judge_dir / "answer"}), "WA");
    const json failed = report("FAIL with a skipped case",
                               run_of("bash", "echo 1\n", {"--cases", judge_cases.path(), "--checker",
                                                           judge_dir / "checker", "--stop-at-first-failure"}),
                               "FAIL");
    EXPECT_EQ(failed.at("cases").at(1).value("verdict", ""), "SKIPPED") << failed.dump();
    json skipped_passed = failed;
    skipped_passed["cases"][1]["passed"] = true;
    add("a skipped case that passed", "run_report", skipped_passed, false);
    json wa_ok = failed;
    wa_ok["verdict"] = "WA";
    add("WA without passed false", "run_report", wa_ok, false);
    // Scored: a checker's points on a case and their sum on top.
    write_file(judge_dir / "points", "#!/bin/sh\necho 'points 0.5' >&2\nexit 7\n", 0755);
    const json scored = report("scored", run_of("bash", "echo 1\n", {"--cases", judge_cases.path(), "--checker",
                                                                     judge_dir / "points"}),
                               "WA");
    EXPECT_EQ(scored.at("score"), json(1.0)) << scored.dump();
    json score_text = scored;
    score_text["cases"][0]["score"] = "0.5";
    add("a score that is not a number", "run_report", score_text, false);
    // Interactive: the interactor's object and a transcript, per case and on top.
    write_file(judge_dir / "interactor", "#!/bin/sh\nread x\necho \"got $x\"\n[ \"$x\" = hi ]\n", 0755);
    report("interactive", run_of("bash", "echo hi\nread r\n",
                                 {"--cases", judge_cases.path(), "--interactor", judge_dir / "interactor",
                                  "--transcript-kb", "1"}),
           "OK");
    // --fetch: the files read back, and the one over the cap.
    const json fetched = report("fetched files",
                                run_of("bash", "echo hi > a; head -c 2000 /dev/zero > big\n",
                                       {"--max-output-kb", "1", "--fetch", "a", "--fetch", "big", "--fetch", "none"}),
                                "OK");
    EXPECT_EQ(fetched.value("files", json()), (json{{"a", "aGkK"}})) << fetched.dump();
    json bad_base64 = fetched;
    bad_base64["files"]["a"] = "aGk";
    add("files not in padded base64", "run_report", bad_base64, false);
    // A problem package: groups, case groups and scores.
    const json package = report("problem package",
                                run_of("python3", "n = int(input())\nprint(n * 2 if n < 100 else 0)\n",
                                       {"--problem", std::string(TESSIMAR_TEST_PACKAGES) + "/scoring"}),
                                "OK");
    EXPECT_TRUE(package.contains("groups") && package.contains("score")) << package.dump();
    add("setup error", "setup_error", output_of(run_exec(run_of("klingon", ""))));
    add("--languages", "languages", discovery("--languages"));
    add("--probe", "probe", discovery("--probe"));
    add("--capabilities", "capabilities", discovery("--capabilities"));

    // The keys that --cases and --batch add, on a real report.
    json with_cases = ok;
    json one_case = json::object();
    for (const char* key : {"verdict", "ok", "exit_code", "timed_out", "duration_ms", "cpu_ms", "peak_memory_kb",
                            "stdout", "stdout_bytes", "stderr", "stderr_bytes", "output_truncated",
                            "output_error", "spawn_error"})
        one_case[key] = ok.at(key);
    one_case["name"] = "1";
    with_cases["cases"] = json::array({one_case});
    add("report with cases", "run_report", with_cases);
    json batch_line = with_cases;
    batch_line["id"] = 18446744073709551615ull;
    add("batch report line", "batch_report_line", batch_line);
    add("batch line error", "batch_line_error",
        json{{"error", "line 3: not a JSON object"}, {"id", 3}, {"ok", false}});
    add("service health", "serve_health", json{{"jobs", 2}, {"queued", 0}, {"running", 1}, {"version", "1"}});
    add("service error", "serve_error", json{{"error", "missing 'program'"}, {"ok", false}});
    add("service error with a line number's place taken", "serve_error",
        json{{"error", "x"}, {"ok", false}, {"line", 1}}, false);

    // What the schema must refuse.
    json missing = ok;
    missing.erase("verdict");
    add("report without verdict", "run_report", missing, false);
    json unknown = ok;
    unknown["exit_status"] = 0;
    add("report with an unknown key", "run_report", unknown, false);
    json case_missing = with_cases;
    case_missing["cases"][0].erase("name");
    add("case without name", "run_report", case_missing, false);

    TempDir dir;
    std::string lines;
    for (const json& s : samples) lines += s.dump() + "\n";
    write_file(dir / "samples.jsonl", lines);
    Invocation check;
    check.args = {"-c", kValidator, TESSIMAR_SCHEMA, dir / "samples.jsonl"};
    const ProcessResult r = run_process(check, kSystemPython);
    EXPECT_EQ(r.exit_code(), 0) << r.out << r.err
                                << "\n(the validator is Debian's python3-jsonschema: scripts/setup.sh)";
    EXPECT_EQ(r.out, "");
}
