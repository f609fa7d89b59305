// Batch mode through the real binary: one output line per input line, in
// order, each equal to the single run's report; resuming a killed batch;
// reading standard input only as far as the runs need it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "serve/run_code.hpp"
#include "test_support.hpp"

using namespace testing_support;
using nlohmann::json;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// A report without what differs from run to run: timings, memory and the
// created work directory's name.
json steady(json j) {
    for (const char* k : {"compile_ms", "cpu_ms", "duration_ms", "total_ms", "peak_memory_kb"}) j.erase(k);
    if (j.contains("workdir")) {
        EXPECT_EQ(j["workdir"].get<std::string>().rfind("/tmp/tessimar-", 0), 0u) << j.dump();
        j.erase("workdir");
    }
    return j;
}

Invocation batch_of(std::vector<std::string> args, std::string input = "") {
    Invocation inv = run_of("", "", {});
    inv.args = std::move(args);
    inv.input = std::move(input);
    inv.set["TMPDIR"] = "/tmp";
    return inv;
}

struct Kind {
    json request;           // without id
    std::vector<std::string> args;  // the same run on the command line
};

// Waits for `done` with a generous deadline; false when it never came.
template <typename F>
bool eventually(F done, int seconds = 60) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

// The children of the single-threaded process `parent`, as the kernel lists them.
std::vector<pid_t> children_of(pid_t parent) {
    const std::string id = std::to_string(parent);
    std::istringstream list(read_file("/proc/" + id + "/task/" + id + "/children"));
    std::vector<pid_t> out;
    for (pid_t pid; list >> pid;) out.push_back(pid);
    return out;
}

// Reads from `fd` until `text` holds `lines` line feeds or nothing comes
// for a minute.
void read_lines(int fd, std::string& text, std::size_t lines) {
    pollfd p{fd, POLLIN, 0};
    while (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) < lines && poll(&p, 1, 60000) == 1) {
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
}

}  // namespace

TEST(Batch, MixedRequestsMatchSingleRunsInInputOrderForAnyJobs) {
    TempDir files;
    // Standard input with a NUL, which no argument can carry.
    write_file(files / "nul.in", std::string("a\0b\n", 4));
    std::vector<Kind> kinds = {
        {{{"lang", "bash"}, {"program", "cat"}, {"stdin", std::string("a\0b\n", 4)}},
         {"--lang", "bash", "--stdin-file", files / "nul.in"}},
        {{{"lang", "bash"}, {"program", "echo hi; echo err >&2"}}, {"--lang", "bash"}},
        {{{"lang", "python3"}, {"program", "import sys\nprint(sys.stdin.read()[::-1])"}, {"stdin", "abc"}},
         {"--lang", "python3", "--stdin", "abc"}},
        {{{"lang", "bash"}, {"program", "exit 3"}, {"max_output_kb", 1}}, {"--lang", "bash", "--max-output-kb", "1"}},
        {{{"lang", "bash"}, {"program", "echo n"}, {"no_net", true}}, {"--lang", "bash", "--no-net"}},
        {{{"lang", "nosuchlang"}, {"program", "x"}}, {"--lang", "nosuchlang"}},
    };
    if (have("/usr/bin/cc") || have("/usr/bin/gcc"))
        kinds.push_back({{{"lang", "c"}, {"program", "#include <stdio.h>\nint main(){puts(\"c\");}"}}, {"--lang", "c"}});
    const std::vector<std::string> bad = {
        "", "{\"lang\":", "[\"python3\"]", R"({"lang":"bash","program":"","colour":1})",
        R"({"lang":"bash","program":"","timeout":true})", R"({"lang":"bash","program":"","max_cpu":-1})",
        R"({"program":"echo"})", R"({"lang":"bash","id":"no-program"})"};

    // A few hundred lines: every kind and every bad line again and again,
    // one timeout, ids of each form.
    std::string input;
    std::vector<int> kind_of;  // -1: bad line, -2: the timeout
    for (int i = 0; i < 220; ++i) {
        if (i == 17) {
            input += R"({"lang":"bash","program":"sleep 30","timeout":1,"id":"slow"})" "\n";
            kind_of.push_back(-2);
        } else if (i % 3 == 2) {
            input += bad[static_cast<std::size_t>(i / 3) % bad.size()] + "\n";
            kind_of.push_back(-1);
        } else {
            const int k = i % static_cast<int>(kinds.size());
            json r = kinds[static_cast<std::size_t>(k)].request;
            if (i % 4 == 0) r["id"] = i == 4 ? json(18446744073709551615ull) : json("r" + std::to_string(i));
            input += r.dump() + "\n";
            kind_of.push_back(k);
        }
    }
    const std::vector<std::string> input_lines = lines_of(input);

    std::map<int, json> single;
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        Invocation inv = batch_of(kinds[k].args, kinds[k].request["program"].get<std::string>());
        inv.set["TMPDIR"] = "/tmp";
        single[static_cast<int>(k)] = steady(report_of(run_exec(inv)));
    }
    ASSERT_EQ(single[0]["stdout"], std::string("a\0b\n", 4));

    std::vector<std::string> first;
    for (const char* jobs : {"4", "1"}) {
        TempDir dir;
        write_file(dir / "in.jsonl", input);
        const ProcessResult r = run_exec(batch_of({"--batch", dir / "in.jsonl", "--jobs", jobs}));
        ASSERT_EQ(r.exit_code(), 0) << r.err;
        EXPECT_EQ(r.err, "");
        const std::vector<std::string> out = lines_of(r.out);
        ASSERT_EQ(out.size(), input_lines.size());
        std::vector<std::string> normalized;
        for (std::size_t i = 0; i < out.size(); ++i) {
            const json line = json::parse(out[i]);
            EXPECT_EQ(line.dump() + "\n", out[i] + "\n") << "keys in byte order, compact";
            const json request = json::parse(input_lines[i], nullptr, false);
            const json id = request.is_object() && request.contains("id") ? request["id"] : json(i + 1);
            EXPECT_EQ(line["id"], id) << out[i];
            json report = line;
            report.erase("id");
            if (kind_of[i] >= 0) {
                EXPECT_EQ(steady(report), single[kind_of[i]]) << out[i];
            } else if (kind_of[i] == -2) {
                EXPECT_EQ(report["verdict"], "TLE");
                EXPECT_EQ(report["timed_out"], true);
            } else {
                EXPECT_EQ(report.size(), 2u) << out[i];
                EXPECT_EQ(report["ok"], false);
                EXPECT_EQ(report["error"].get<std::string>().rfind("line " + std::to_string(i + 1) + ": ", 0), 0u)
                    << out[i];
            }
            normalized.push_back(steady(line).dump());
        }
        EXPECT_EQ(out[4].find("\"id\":18446744073709551615,"), out[4].find("\"id\":")) << out[4];
        if (first.empty()) first = normalized;
        else EXPECT_EQ(normalized, first) << "--jobs 1 and --jobs 4 differ";
    }
}

TEST(Batch, KilledBatchResumesWithoutGapsOrDuplicates) {
    TempDir dir;
    std::string input;
    const int n = 24;
    for (int i = 0; i < n; ++i)
        input += R"({"lang":"bash","program":"sleep 0.2; echo )" + std::to_string(i) + R"("})" "\n";
    write_file(dir / "in.jsonl", input);
    const std::string out = dir / "out.jsonl";

    // The runs' work directories go in the test's directory: a runner that
    // the batch's stop ends removes its own.
    ScopedEnv env;
    env.set("TMPDIR", dir.path());
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execl(kExec, kExec, "--batch", (dir / "in.jsonl").c_str(), "--jobs", "2", "--out", out.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    // Killed once some lines are written; if the batch was quicker than
    // that, it simply finished.
    (void)eventually([&] { return lines_of(read_file(out)).size() >= 3; });
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    const std::vector<std::string> before = lines_of(read_file(out));
    if (WEXITSTATUS(status) == 143) EXPECT_LT(before.size(), static_cast<std::size_t>(n));
    else EXPECT_EQ(WEXITSTATUS(status), 0);
    for (const std::string& name : list_dir(dir.path()))
        EXPECT_NE(name.rfind("tessimar-", 0), 0u) << "left behind by a stopped runner: " << name;
    // A file cut short in the middle of a line: that line is done again.
    write_file(out, read_file(out) + "{\"compile_ms\":1,");

    const ProcessResult r = run_exec(batch_of({"--batch", dir / "in.jsonl", "--jobs", "3", "--out", out}));
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.out, "");
    const std::vector<std::string> after = lines_of(read_file(out));
    ASSERT_EQ(after.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const json line = json::parse(after[static_cast<std::size_t>(i)]);
        EXPECT_EQ(line["id"], i + 1);
        EXPECT_EQ(line["stdout"], std::to_string(i) + "\n");
    }
    for (std::size_t i = 0; i < before.size(); ++i) EXPECT_EQ(after[i], before[i]) << "finished lines are kept";

    // Another input's output file is refused and left alone.
    write_file(dir / "other.jsonl", R"({"id":"x","lang":"bash","program":""})" "\n");
    const ProcessResult other = run_exec(batch_of({"--batch", dir / "other.jsonl", "--out", out}));
    EXPECT_EQ(other.exit_code(), 2);
    EXPECT_NE(other.err.find("does not belong to this input"), std::string::npos) << other.err;
    EXPECT_EQ(lines_of(read_file(out)), after);
}

TEST(Batch, ReadsOpenStandardInputOnlyAsFarAsNeededAndSignalEndsItsRuns) {
    const std::string token = "tessimar-batch-sleeper-" + std::to_string(getpid());
    TempDir dir;
    ScopedEnv env;
    env.set("TMPDIR", dir.path());
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        signal(SIGPIPE, SIG_DFL);
        execl(kExec, kExec, "--batch", "-", "--jobs", "1", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    close(in[0]);
    close(out[1]);
    signal(SIGPIPE, SIG_IGN);

    // A finished first request comes back while standard input stays open.
    const std::string quick = R"({"lang":"bash","program":"echo first"})" "\n";
    ASSERT_EQ(write(in[1], quick.data(), quick.size()), static_cast<ssize_t>(quick.size()));
    std::string got;
    read_lines(out[0], got, 1);
    ASSERT_NE(got.find("\"stdout\":\"first\\n\""), std::string::npos) << got;

    // A runner that a stop signal ends while the batch goes on: its request
    // is written down as a failure (after a grace in which a stop of the
    // batch itself would have left it for a resume).
    const std::string doomed_token = "tessimar-batch-doomed-" + std::to_string(getpid());
    const std::string doomed =
        R"({"lang":"bash","timeout":1000,"program":"exec -a )" + doomed_token + R"( sleep 1000"})" "\n";
    ASSERT_EQ(write(in[1], doomed.data(), doomed.size()), static_cast<ssize_t>(doomed.size()));
    ASSERT_TRUE(eventually([&] { return process_with_token_alive(doomed_token); }));
    std::vector<pid_t> runners = children_of(pid);
    ASSERT_EQ(runners.size(), 1u);
    kill(runners[0], SIGTERM);
    read_lines(out[0], got, 2);
    EXPECT_NE(got.find("line 2: the runner ended without a report (exit status 143)"), std::string::npos) << got;

    const std::string sleeper =
        R"({"lang":"bash","timeout":1000,"program":"exec -a )" + token + R"( sleep 1000"})" "\n";
    ASSERT_EQ(write(in[1], sleeper.data(), sleeper.size()), static_cast<ssize_t>(sleeper.size()));
    ASSERT_TRUE(eventually([&] { return process_with_token_alive(token); }));

    // While the sleeper runs, at most 16 requests per job are taken in: the
    // batch stops reading, and the pipe fills up.
    const std::string big = R"({"lang":"bash","program":"#)" + std::string(64 * 1024, 'x') + "\"}\n";
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    std::size_t accepted = 0;
    auto last_progress = std::chrono::steady_clock::now();
    while (accepted < 60 * big.size() &&
           std::chrono::steady_clock::now() - last_progress < std::chrono::milliseconds(500)) {
        const ssize_t w = write(in[1], big.data() + accepted % big.size(), big.size() - accepted % big.size());
        if (w > 0) {
            accepted += static_cast<std::size_t>(w);
            last_progress = std::chrono::steady_clock::now();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // 16 requests, a read buffer and the pipe's own capacity.
    EXPECT_LT(accepted, 22 * big.size());

    // A cancellation signals the runner and the batch at once, and the
    // runner may end of it first: its request is not written down as a
    // failure, since the batch's own stop follows.
    runners = children_of(pid);
    ASSERT_EQ(runners.size(), 1u);
    kill(runners[0], SIGTERM);
    ASSERT_TRUE(eventually([&] { return kill(runners[0], 0) != 0 && errno == ESRCH; })) << "reaped by the batch";
    kill(pid, SIGTERM);
    close(in[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 143) << status;
    char rest[256];
    const ssize_t extra = read(out[0], rest, sizeof rest);
    EXPECT_EQ(extra, 0) << "no line for unfinished requests: " << std::string(rest, extra > 0 ? extra : 0);
    close(out[0]);
    EXPECT_TRUE(eventually([&] { return !process_with_token_alive(token); }, 10)) << "the running program is gone";
}

// Inline tests and a single run's expected answer: judged like --cases and
// --expect-file, through files the batch writes and removes again.
TEST(Batch, InlineTestsAreJudgedAndTheirFilesRemoved) {
    TempDir tmp;
    const std::string input =
        R"({"id":"t","lang":"bash","program":"read x; echo $((x * 2))\n",)"
        R"("tests":[{"stdin":"2\n","expected":"4\n"},{"stdin":"3","expected":"7"},{"name":"free","stdin":"1"}]})"
        "\n"
        R"({"id":"s","lang":"bash","program":"echo YES","expected":"yes","ignore_case":true})"
        "\n"
        R"({"id":"b","lang":"bash","program":"","tests":[{"name":"a/b"}]})"
        "\n"
        R"({"id":"f","lang":"bash","program":"cat in/x; echo -n ok > out","files":{"in/x":"eHk="},)"
        R"("fetch_files":["out","in/x"]})"
        "\n";
    Invocation inv = batch_of({"--batch", "-", "--jobs", "2"}, input);
    inv.set["TMPDIR"] = tmp.path();
    const ProcessResult r = run_process(inv);
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;

    const json tests = json::parse(lines[0]);
    EXPECT_EQ(tests["id"], "t");
    EXPECT_EQ(tests["cases_judged"], 2);
    EXPECT_EQ(tests["cases_passed"], 1);
    EXPECT_EQ(tests["verdict"], "WA");
    ASSERT_EQ(tests["cases"].size(), 3u);
    EXPECT_EQ(tests["cases"][0]["name"], "1");
    EXPECT_EQ(tests["cases"][0]["passed"], true);
    EXPECT_EQ(tests["cases"][1]["passed"], false);
    EXPECT_EQ(tests["cases"][2]["name"], "free");
    EXPECT_TRUE(tests["cases"][2]["passed"].is_null());
    EXPECT_EQ(tests["cases"][2]["stdout"], "2\n");

    const json single = json::parse(lines[1]);
    EXPECT_EQ(single["passed"], true) << lines[1];
    EXPECT_EQ(single["verdict"], "OK");

    EXPECT_EQ(json::parse(lines[2])["error"].get<std::string>().rfind("line 3: 'tests' item 1: 'name' must", 0), 0u);
    // "files" reach the program's work directory; "fetch_files" come back.
    const json files = json::parse(lines[3]);
    EXPECT_EQ(files["stdout"], "xy") << lines[3];
    EXPECT_EQ(files["files"], (json{{"out", "b2s="}, {"in/x", "eHk="}})) << lines[3];
    // Every private directory and every work directory is gone.
    EXPECT_EQ(list_dir(tmp.path()), std::vector<std::string>{});
}

// A line over --max-line-mb is that line's error, with its number as id, and
// the batch goes on at the next line; a line exactly at the limit runs.
TEST(Batch, LineOverTheLimitIsSkippedAndTheNextLineRuns) {
    const std::string head = R"({"lang":"bash","program":"#)", tail = R"(\necho at-limit"})";
    const std::string at_limit = head + std::string((1u << 20) - head.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(at_limit.size(), 1u << 20);
    const std::string over = head + std::string(1u << 20, 'x') + R"(\necho over"})";
    const std::string input = over + "\n" + R"({"id":"next","lang":"bash","program":"echo next"})" "\n" + at_limit +
                              "\n" + over;  // the last one without its line feed
    const ProcessResult r = run_process(batch_of({"--batch", "-", "--max-line-mb", "1", "--jobs", "2"}, input));
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], R"j({"error":"line 1: longer than the line limit of 1 MiB (--max-line-mb)","id":1,"ok":false})j");
    const json next = json::parse(lines[1]);
    EXPECT_EQ(next["id"], "next");
    EXPECT_EQ(next["verdict"], "OK") << lines[1];
    EXPECT_EQ(next["stdout"], "next\n");
    const json exact = json::parse(lines[2]);
    EXPECT_EQ(exact["id"], 3);
    EXPECT_EQ(exact["verdict"], "OK") << lines[2].substr(0, 500);
    EXPECT_EQ(exact["stdout"], "at-limit\n");
    EXPECT_EQ(lines[3], R"j({"error":"line 4: longer than the line limit of 1 MiB (--max-line-mb)","id":4,"ok":false})j");

    const ProcessResult bad = run_process(batch_of({"--batch", "-", "--max-line-mb", "0"}));
    EXPECT_EQ(bad.exit_code(), 2);
    EXPECT_NE(bad.err.find("--max-line-mb must be a whole number of MiB"), std::string::npos) << bad.err;
}

// The example a training loop starts from: rewards from one batch process.
TEST(Batch, RewardExampleScoresEveryProgram) {
    if (!have("/usr/bin/python3") || !have("/usr/bin/gcc")) GTEST_SKIP() << "needs python3 and gcc";
    Invocation inv = batch_of({std::string(TESSIMAR_TEST_SUPPORT_DIR) + "/../../examples/reward.py",
                               std::string(TESSIMAR_TEST_SUPPORT_DIR) + "/../../examples/reward_sample.jsonl",
                               "--runner", kExec, "--jobs", "2"});
    const ProcessResult r = run_process(inv, "/usr/bin/python3");
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    std::map<std::string, double> reward;
    for (const std::string& line : lines_of(r.out)) {
        const json j = json::parse(line);
        reward[j["id"].get<std::string>()] = j["reward"].get<double>();
    }
    EXPECT_EQ(reward, (std::map<std::string, double>{
                          {"doubles", 1.0}, {"off-by-one", 0.5}, {"sum", 2.0 / 3.0}, {"no-compile", 0.0}}))
        << r.out;
}

// /run_code requests (SandboxFusion's shape) through the real batch: the
// translated lines are accepted and run, and their output lines come back as
// the responses their clients score.
TEST(Batch, RunCodeRequestsRunAndComeBackInTheirShape) {
    using tessimar::RunCodeCall;
    using tessimar::run_code_response;
    using tessimar::translate_run_code;
    struct Case {
        std::string body;
        const char* status;
        const char* run_status;  // nullptr: run_result is null
        json return_code;
    };
    std::vector<Case> cases = {
        {R"j({"code":"read x; echo $((x * 2))","language":"bash","stdin":"21\n","run_timeout":5.5,"memory_limit_MB":-1})j",
         "Success", "Finished", 0},
        {R"({"code":"kill -SEGV $$","language":"bash","stdin":null,"compile_timeout":10,"run_timeout":10})", "Failed",
         "Finished", -11},
        {R"({"code":"exec sleep 30","language":"bash","run_timeout":0.3})", "Failed", "TimeLimitExceeded", -9},
    };
    if (have("/usr/bin/gcc"))
        cases.push_back({R"({"code":"int main( {","language":"c","compile_timeout":30,"run_timeout":5})", "Failed",
                         nullptr, nullptr});
    std::string input;
    std::vector<bool> compiles;
    for (const Case& c : cases) {
        const RunCodeCall call = translate_run_code(c.body);
        ASSERT_EQ(call.kind, RunCodeCall::Kind::Run) << c.body << ": " << call.text;
        input += call.batch_request + "\n";
        compiles.push_back(call.has_compile_phase);
    }
    const ProcessResult r = run_process(batch_of({"--batch", "-", "--jobs", "2"}, input));
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), cases.size()) << r.out;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const json answer = json::parse(run_code_response(lines[i], compiles[i]));
        EXPECT_EQ(answer["status"], cases[i].status) << cases[i].body << "\n  " << answer.dump();
        if (cases[i].run_status == nullptr) {
            EXPECT_TRUE(answer["run_result"].is_null()) << answer.dump();
            EXPECT_EQ(answer["compile_result"]["status"], "Finished") << answer.dump();
            EXPECT_NE(answer["compile_result"]["return_code"], 0) << answer.dump();
            EXPECT_NE(answer["compile_result"]["stderr"].get<std::string>().find("error"), std::string::npos);
            continue;
        }
        EXPECT_TRUE(answer["compile_result"].is_null()) << answer.dump();
        EXPECT_EQ(answer["run_result"]["status"], cases[i].run_status) << answer.dump();
        EXPECT_EQ(answer["run_result"]["return_code"], cases[i].return_code) << answer.dump();
    }
    EXPECT_EQ(json::parse(run_code_response(lines[0], false))["run_result"]["stdout"], "42\n");
}
