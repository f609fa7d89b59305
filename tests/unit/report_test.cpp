// Verdict, exit code, ok flag, the key sets of the four report shapes and the
// one-line text form.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "report/out_of_memory.hpp"
#include "report/run_report.hpp"

using namespace tessimar;

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::vector<std::string> keys_of(const Json& j) {
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
    return keys;  // std::map order: already sorted by bytes
}

const std::vector<std::string> kAllButError = {
    "compile_ms",   "cpu_ms",    "duration_ms",  "exit_code", "language",     "ok",
    "output_error", "output_truncated", "peak_memory_kb", "phase", "platform", "spawn_error",
    "stderr",       "stderr_bytes", "stdout",     "stdout_bytes", "timed_out", "total_ms",
    "unenforced",   "verdict",   "workdir",
};

std::vector<std::string> with(std::vector<std::string> keys, const std::string& extra) {
    keys.push_back(extra);
    std::sort(keys.begin(), keys.end());
    return keys;
}

std::vector<std::string> without(std::vector<std::string> keys, const std::string& gone) {
    keys.erase(std::remove(keys.begin(), keys.end(), gone), keys.end());
    return keys;
}

PhaseOutcome exited(std::int64_t code) {
    PhaseOutcome o;
    o.exit_code = code;
    return o;
}

PhaseOutcome killed(int sig, std::uint64_t peak_kb = 0) {
    PhaseOutcome o;
    o.signaled = true;
    o.signal = sig;
    o.peak_memory_kb = peak_kb;
    return o;
}

PhaseOutcome spawn_failure(const std::string& message) {
    PhaseOutcome o;
    o.spawn_error = message;
    o.stderr_text = message;
    o.exit_code = -2;
    return o;
}

Json run_report(PhaseOutcome o, std::uint64_t max_memory_mb = 0) {
    return build_run_report("python3", std::move(o), 12, 0, 15, "/tmp/w", max_memory_mb);
}

}  // namespace

TEST(Verdict, OrderOfTheRules) {
    PhaseOutcome all = killed(SIGKILL, 1u << 30);
    all.timed_out = true;
    all.output_truncated = true;
    all.exit_code = 1;
    EXPECT_EQ(classify_verdict(all, 1), "TLE");
    all.timed_out = false;
    EXPECT_EQ(classify_verdict(all, 1), "OLE");
    all.output_truncated = false;
    EXPECT_EQ(classify_verdict(all, 1), "MLE");
    all.signaled = false;
    EXPECT_EQ(classify_verdict(all, 1), "RTE");
    all.exit_code = 0;
    EXPECT_EQ(classify_verdict(all, 1), "OK");
}

TEST(Verdict, TruncatedOutputIsOleEvenWhenTheChildFailed) {
    PhaseOutcome o = exited(0);
    o.output_truncated = true;
    EXPECT_EQ(classify_verdict(o, 0), "OLE");
    PhaseOutcome crashed = killed(SIGSEGV);
    crashed.output_truncated = true;
    EXPECT_EQ(classify_verdict(crashed, 0), "OLE");
}

TEST(Verdict, MemoryThresholdIsHalfTheLimitAndOnlyForSignals) {
    EXPECT_EQ(classify_verdict(killed(SIGKILL, 131072), 256), "MLE");
    EXPECT_EQ(classify_verdict(killed(SIGKILL, 131071), 256), "RTE");
    EXPECT_EQ(classify_verdict(killed(SIGSEGV, 999999), 256), "MLE");
    EXPECT_EQ(classify_verdict(killed(SIGKILL, 999999), 0), "RTE");  // no limit given
    PhaseOutcome exit1 = exited(1);
    exit1.peak_memory_kb = 999999;
    EXPECT_EQ(classify_verdict(exit1, 256), "RTE");
    PhaseOutcome exit0 = exited(0);
    exit0.peak_memory_kb = 999999;
    EXPECT_EQ(classify_verdict(exit0, 256), "OK");
    // The threshold never wraps around to a small number.
    EXPECT_EQ(classify_verdict(killed(SIGKILL, 1000), kMax), "RTE");
}

// Each runtime's report counts where the runtime prints it, and only there.
TEST(OutOfMemory, RuntimeReportsAtTheirPlaces) {
    for (const char* text : {
             "Traceback (most recent call last):\n  File \"main.py\", line 1\nMemoryError\n",
             "Exception in thread \"main\" java.lang.OutOfMemoryError: Java heap space\n\tat Main.main\n",
             "terminate called after throwing an instance of 'std::bad_alloc'\n  what():  std::bad_alloc\n",
             "FATAL ERROR: Reached heap limit Allocation failed - JavaScript heap out of memory\n",
             "\x1b[0m\x1b[1m\x1b[31merror\x1b[0m: Uncaught (in promise) RangeError: Array buffer allocation failed\n",
             "fatal error: runtime: out of memory\n",
             "memory allocation of 629145600 bytes failed\r\n",
             "main.rb:1:in 'String#*': failed to allocate memory (NoMemoryError)",
             "PHP Fatal error:  Allowed memory size of 268435456 bytes exhausted (tried to allocate 8192 bytes)\n",
             "Out of memory!\n"})
        EXPECT_TRUE(reports_out_of_memory(text)) << text;
    for (const char* text : {
             "", "MemoryErrors happen\n", "caught MemoryError\n", "  MemoryError\n",
             "my java.lang.OutOfMemoryError story\n", "no std::bad_alloc here\n",
             "memory allocation of 5 bytes failed to surprise\n", "NoMemoryError\n",
             "print('Out of memory!')\n"})
        EXPECT_FALSE(reports_out_of_memory(text)) << text;
}

// With a data limit: TLE and OLE first, then the peak whatever the exit, then
// a failed child's own report, then the rule without it; MLE is never ok.
TEST(Verdict, DataLimitOrder) {
    PhaseOutcome o = exited(0);
    o.memory_budget_kb = 65536;
    o.peak_memory_kb = 65536;
    EXPECT_EQ(classify_verdict(o, 0), "OK");
    o.peak_memory_kb = 65537;
    EXPECT_EQ(classify_verdict(o, 0), "MLE");
    EXPECT_EQ(build_run_report("c", o, 0, 0, 0, "/w", 0).at("ok"), false);
    o.output_truncated = true;
    EXPECT_EQ(classify_verdict(o, 0), "OLE");
    o.timed_out = true;
    EXPECT_EQ(classify_verdict(o, 0), "TLE");

    PhaseOutcome failed = exited(1);
    failed.memory_budget_kb = 65536;
    failed.stderr_text = "MemoryError\n";
    EXPECT_EQ(classify_verdict(failed, 0), "MLE");
    failed.memory_budget_kb = 0;  // the same run without the option
    EXPECT_EQ(classify_verdict(failed, 0), "RTE");
    PhaseOutcome printed = exited(0);
    printed.memory_budget_kb = 65536;
    printed.stderr_text = "MemoryError\n";
    EXPECT_EQ(classify_verdict(printed, 0), "OK");
}

TEST(Verdict, ExitCodesAndSpawnFailures) {
    EXPECT_EQ(classify_verdict(exited(0), 0), "OK");
    EXPECT_EQ(classify_verdict(exited(1), 0), "RTE");
    EXPECT_EQ(classify_verdict(exited(255), 0), "RTE");
    EXPECT_EQ(classify_verdict(exited(-2), 0), "RTE");
    EXPECT_EQ(classify_verdict(spawn_failure("no such program"), 0), "RTE");
    PhaseOutcome read_failed = exited(0);
    read_failed.output_error = "stdout: broken";
    EXPECT_EQ(classify_verdict(read_failed, 0), "OK");  // output errors do not change the verdict
}

TEST(RunReport, ExitCodeValue) {
    EXPECT_EQ(run_report(exited(0))["exit_code"], 0);
    EXPECT_EQ(run_report(exited(3))["exit_code"], 3);
    EXPECT_EQ(run_report(exited(-2))["exit_code"], -2);
    EXPECT_EQ(run_report(killed(SIGKILL))["exit_code"], -9);
    EXPECT_EQ(run_report(killed(SIGSEGV))["exit_code"], -11);
    EXPECT_TRUE(run_report(spawn_failure("x"))["exit_code"].is_null());
}

TEST(RunReport, OkFlag) {
    EXPECT_EQ(run_report(exited(0))["ok"], true);
    EXPECT_EQ(run_report(exited(1))["ok"], false);
    EXPECT_EQ(run_report(killed(SIGKILL))["ok"], false);
    EXPECT_EQ(run_report(spawn_failure("x"))["ok"], false);
    PhaseOutcome timed = killed(SIGKILL);
    timed.timed_out = true;
    EXPECT_EQ(run_report(timed)["ok"], false);
    PhaseOutcome truncated = exited(0);
    truncated.output_truncated = true;
    const Json t = run_report(truncated);
    EXPECT_EQ(t["ok"], true);
    EXPECT_EQ(t["verdict"], "OLE");
    PhaseOutcome unreadable = exited(0);
    unreadable.output_error = "stderr: read failed";
    const Json u = run_report(unreadable);
    EXPECT_EQ(u["ok"], false);
    EXPECT_EQ(u["verdict"], "OK");
    // A signal whose number happens to be 0 in exit_code still counts as not ok.
    PhaseOutcome sig = killed(SIGTERM);
    sig.exit_code = 0;
    EXPECT_EQ(run_report(sig)["ok"], false);
}

TEST(RunReport, ValuesFromTheOutcome) {
    PhaseOutcome o = exited(0);
    o.stdout_text = "hi\n";
    o.stderr_text = "warn";
    o.stdout_bytes = 3;
    o.stderr_bytes = std::nullopt;
    o.cpu_ms = 7;
    o.peak_memory_kb = 1234;
    o.unenforced = {"cpu_limit_clamped_to_hard_rlimit", "process_limit_not_enforced_for_uid_0"};
    const Json j = build_run_report("c++", std::move(o), 11, 22, 33, "/tmp/w\xFF", 0);
    EXPECT_EQ(keys_of(j), kAllButError);
    EXPECT_EQ(j["language"], "c++");
    EXPECT_EQ(j["phase"], "run");
    EXPECT_EQ(j["platform"], "linux");
    EXPECT_EQ(j["stdout"], "hi\n");
    EXPECT_EQ(j["stderr"], "warn");
    EXPECT_EQ(j["stdout_bytes"], 3);
    EXPECT_TRUE(j["stderr_bytes"].is_null());
    EXPECT_EQ(j["duration_ms"], 11);
    EXPECT_EQ(j["compile_ms"], 22);
    EXPECT_EQ(j["total_ms"], 33);
    EXPECT_EQ(j["cpu_ms"], 7);
    EXPECT_EQ(j["peak_memory_kb"], 1234);
    EXPECT_EQ(j["timed_out"], false);
    EXPECT_EQ(j["verdict"], "OK");
    EXPECT_EQ(j["unenforced"],
              Json::array({"cpu_limit_clamped_to_hard_rlimit", "process_limit_not_enforced_for_uid_0"}));
    EXPECT_TRUE(j["output_error"].is_null());
    EXPECT_EQ(j["output_truncated"], false);
    EXPECT_TRUE(j["spawn_error"].is_null());
    EXPECT_EQ(j["workdir"], "/tmp/w\xEF\xBF\xBD");
}

TEST(ReportShapes, KeySets) {
    EXPECT_EQ(keys_of(build_setup_error_report("boom")), (std::vector<std::string>{"error", "ok"}));

    EXPECT_EQ(keys_of(run_report(exited(0))), kAllButError);
    const Json spawned = run_report(spawn_failure("cannot start"));
    EXPECT_EQ(keys_of(spawned), with(kAllButError, "error"));
    EXPECT_EQ(spawned["error"], "cannot start");
    EXPECT_EQ(spawned["spawn_error"], "cannot start");
    EXPECT_EQ(spawned["stderr"], "cannot start");

    const Json compile_fail =
        build_compile_failure_report("c", exited(1), 40, 41, "/tmp/w", 0);
    EXPECT_EQ(keys_of(compile_fail), kAllButError);
    const Json compile_spawn =
        build_compile_failure_report("c", spawn_failure("no gcc"), 40, 41, "/tmp/w", 0);
    EXPECT_EQ(keys_of(compile_spawn), with(kAllButError, "error"));
    EXPECT_EQ(compile_spawn["error"], "no gcc");

    const Json budget = build_budget_exhausted_report("rust", 10000, 10001, "/tmp/w");
    EXPECT_EQ(keys_of(budget), without(kAllButError, "spawn_error"));
}

TEST(ReportShapes, SetupErrorLine) {
    EXPECT_EQ(to_json_line(build_setup_error_report("unknown language 'x'. Available: a")),
              "{\"error\":\"unknown language 'x'. Available: a\",\"ok\":false}\n");
}

TEST(ReportShapes, CompileFailureValues) {
    PhaseOutcome o = exited(1);
    o.stdout_text = "out";
    o.stderr_text = "main.c:1: error";
    o.cpu_ms = 5;
    const Json j = build_compile_failure_report("c", std::move(o), 40, 41, "/tmp/w", 0);
    EXPECT_EQ(j["phase"], "compile");
    EXPECT_EQ(j["ok"], false);
    EXPECT_EQ(j["duration_ms"], 40);
    EXPECT_EQ(j["compile_ms"], 40);
    EXPECT_EQ(j["total_ms"], 41);
    EXPECT_EQ(j["exit_code"], 1);
    EXPECT_EQ(j["verdict"], "RTE");
    EXPECT_EQ(j["stderr"], "main.c:1: error");
    EXPECT_EQ(j["cpu_ms"], 5);
    // ok stays false even for an outcome that would pass as a run.
    EXPECT_EQ(build_compile_failure_report("c", exited(0), 1, 1, "/w", 0)["ok"], false);
}

TEST(ReportShapes, BudgetExhaustedValues) {
    const Json j = build_budget_exhausted_report("rust", 10000, 10001, "/tmp/w");
    EXPECT_EQ(j["ok"], false);
    EXPECT_EQ(j["language"], "rust");
    EXPECT_EQ(j["phase"], "run");
    EXPECT_EQ(j["stdout"], "");
    EXPECT_EQ(j["stderr"], "<killed: exceeded wall-clock timeout>");
    EXPECT_TRUE(j["exit_code"].is_null());
    EXPECT_EQ(j["duration_ms"], 0);
    EXPECT_EQ(j["compile_ms"], 10000);
    EXPECT_EQ(j["total_ms"], 10001);
    EXPECT_EQ(j["cpu_ms"], 0);
    EXPECT_EQ(j["peak_memory_kb"], 0);
    EXPECT_EQ(j["timed_out"], true);
    EXPECT_EQ(j["verdict"], "TLE");
    EXPECT_EQ(j["unenforced"], Json::array());
    EXPECT_TRUE(j["output_error"].is_null());
    EXPECT_EQ(j["output_truncated"], false);
    EXPECT_TRUE(j["stdout_bytes"].is_null());
    EXPECT_TRUE(j["stderr_bytes"].is_null());
    EXPECT_EQ(j["platform"], "linux");
    EXPECT_EQ(j["workdir"], "/tmp/w");
}

TEST(JsonLine, CompactSortedWithNewline) {
    PhaseOutcome o = exited(0);
    o.stdout_text = "hi\n";
    o.stdout_bytes = 3;
    o.stderr_bytes = 0;
    const std::string line = to_json_line(build_run_report("python3", std::move(o), 1, 0, 2, "/w", 0));
    EXPECT_EQ(line,
              "{\"compile_ms\":0,\"cpu_ms\":0,\"duration_ms\":1,\"exit_code\":0,\"language\":\"python3\","
              "\"ok\":true,\"output_error\":null,\"output_truncated\":false,\"peak_memory_kb\":0,"
              "\"phase\":\"run\",\"platform\":\"linux\",\"spawn_error\":null,\"stderr\":\"\","
              "\"stderr_bytes\":0,\"stdout\":\"hi\\n\",\"stdout_bytes\":3,\"timed_out\":false,"
              "\"total_ms\":2,\"unenforced\":[],\"verdict\":\"OK\",\"workdir\":\"/w\"}\n");
    EXPECT_EQ(line.find('\n'), line.size() - 1);
}

TEST(JsonLine, KeysInByteOrder) {
    Json j = Json::object();
    j["b"] = 1;
    j["B"] = 2;
    j["a_b"] = 3;
    j["ab"] = 4;
    j["_"] = 5;
    j["\xC3\xA9"] = 6;
    j["z"] = Json::object({{"y", 1}, {"x", 2}});
    EXPECT_EQ(to_json_line(j),
              "{\"B\":2,\"_\":5,\"a_b\":3,\"ab\":4,\"b\":1,\"z\":{\"x\":2,\"y\":1},\"\xC3\xA9\":6}\n");
}

TEST(JsonLine, StringEscaping) {
    std::string s = "\t";
    s += std::string("\0", 1);
    s += "\x1F\x7F\xC3\xA9\"\\/\b\f\n\r\x01";
    Json j = Json::object();
    j["s"] = s;
    EXPECT_EQ(to_json_line(j),
              "{\"s\":\"\\t\\u0000\\u001f\x7F\xC3\xA9\\\"\\\\/\\b\\f\\n\\r\\u0001\"}\n");
    Json k = Json::object();
    k["s"] = "\xF0\x9F\x98\x80\xE2\x80\xA8";  // non-BMP and U+2028 stay raw bytes
    EXPECT_EQ(to_json_line(k), "{\"s\":\"\xF0\x9F\x98\x80\xE2\x80\xA8\"}\n");
}

TEST(JsonLine, LargeIntegersAndNegatives) {
    PhaseOutcome o = killed(SIGKILL);
    o.cpu_ms = kMax;
    const std::string line = to_json_line(build_run_report("c", std::move(o), kMax, kMax, kMax, "/w", 0));
    EXPECT_NE(line.find("\"cpu_ms\":18446744073709551615,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"duration_ms\":18446744073709551615,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"total_ms\":18446744073709551615,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"exit_code\":-9,"), std::string::npos) << line;
}
