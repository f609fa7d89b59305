// Shared pieces of the attack suite: a per-test temporary base, unique
// command-line tokens for the processes an attack starts, the check that a
// report line is one consistent JSON object, and waiting for leftovers.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "test_support.hpp"

namespace attack {

using nlohmann::json;
using testing_support::Invocation;
using testing_support::ProcessResult;
using testing_support::TempDir;

using testing_support::kSearchPath;
inline constexpr const char* kMarker = "\n...[truncated]";
inline constexpr std::size_t kMarkerSize = 15;
inline constexpr std::size_t kDefaultCap = 65536;
inline const std::vector<std::string> kAsNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                                   "--clear-groups", "--"};

using testing_support::have;

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A word nobody else has in a command line: "tok-<tag>-<pid>-<n>-<random>".
inline std::string unique_token(const std::string& tag) {
    static std::atomic<unsigned> counter{0};
    static std::mt19937_64 rng{std::random_device{}()};
    return "tok-" + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(rng() % 1000000000ULL);
}

// A sleep argument that is just as unique: "300.<digits>".
inline std::string sleep_token() {
    static std::atomic<unsigned> counter{0};
    static std::mt19937_64 rng{std::random_device{}()};
    return "300." + std::to_string(getpid()) + std::to_string(100 + counter++) +
           std::to_string(100000 + rng() % 900000ULL);
}

// Polls until no live process carries `token`, for at most `secs` seconds.
inline bool gone_within(const std::string& token, double secs = 3.0) {
    const auto start = std::chrono::steady_clock::now();
    while (testing_support::process_with_token_alive(token)) {
        if (seconds_since(start) > secs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return true;
}

inline bool appears_within(const std::string& token, double secs) {
    const auto start = std::chrono::steady_clock::now();
    while (!testing_support::process_with_token_alive(token)) {
        if (seconds_since(start) > secs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

inline std::string head(const std::string& s, std::size_t n = 600) { return s.size() <= n ? s : s.substr(0, n) + "..."; }

// One run of the binary: a predictable search path, no inherited knobs, and
// TMPDIR pointing at the test's own base directory.
inline Invocation run_of(const std::string& lang, const std::string& program, const std::string& tmpdir,
                         std::vector<std::string> extra = {}) {
    Invocation inv;
    inv.args = {"--lang", lang};
    inv.args.insert(inv.args.end(), extra.begin(), extra.end());
    inv.input = program;
    inv.set["PATH"] = kSearchPath;
    inv.set["TMPDIR"] = tmpdir;
    inv.set["HOME"] = "/nonexistent";
    inv.unset = {"TESSIMAR_RUNTIME_PATH", "TESSIMAR_MAX_PROCESSES", "TESSIMAR_PROCESS_HEADROOM", "LD_PRELOAD",
                 "PYTHONSTARTUP", "BASH_ENV", "ENV"};
    return inv;
}

// What the report check may rely on.
struct Expect {
    std::uint64_t cap = kDefaultCap;  // output limit of the run, in bytes
    // The capture files were regular files the child wrote into, so the
    // measured sizes bound what was kept. Attacks that swap the files clear it.
    bool sizes_bound_text = true;
};

// The runner ended by itself with status 0 and printed exactly one line that
// is a consistent report (or a setup error object). Returns the object, or
// an empty object after recording the failure.
inline json checked_report(const ProcessResult& r, const Expect& e = {}) {
    const std::string ctx = "stdout: " + head(r.out) + "\nstderr: " + head(r.err);
    EXPECT_TRUE(WIFEXITED(r.status)) << "runner died, status " << r.status << "\n" << ctx;
    EXPECT_EQ(r.exit_code(), 0) << ctx;
    if (r.out.empty() || r.out.back() != '\n') {
        ADD_FAILURE() << "no complete line\n" << ctx;
        return json::object();
    }
    if (r.out.find('\n') != r.out.size() - 1) {
        ADD_FAILURE() << "more than one line\n" << ctx;
        return json::object();
    }
    json j;
    try {
        j = json::parse(r.out.substr(0, r.out.size() - 1));
    } catch (const std::exception& ex) {
        ADD_FAILURE() << "not JSON: " << ex.what() << "\n" << ctx;
        return json::object();
    }
    if (!j.is_object()) {
        ADD_FAILURE() << "not an object\n" << ctx;
        return json::object();
    }
    // Compact form, keys in order: serialising again gives the same bytes.
    EXPECT_EQ(j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n", r.out) << "not in compact key order";

    if (j.contains("error") && j.size() == 2) {
        EXPECT_TRUE(j.at("error").is_string());
        EXPECT_EQ(j.at("ok"), false);
        return j;
    }
    for (const char* key : {"compile_ms", "cpu_ms", "duration_ms", "exit_code", "language", "ok", "output_error",
                            "output_truncated", "peak_memory_kb", "phase", "platform", "stderr", "stderr_bytes",
                            "stdout", "stdout_bytes", "timed_out", "total_ms", "unenforced", "verdict", "workdir"})
        if (!j.contains(key)) {
            ADD_FAILURE() << "missing key " << key << "\n" << ctx;
            return json::object();
        }
    EXPECT_EQ(j.at("platform"), "linux");
    const std::string phase = j.at("phase").get<std::string>();
    EXPECT_TRUE(phase == "run" || phase == "compile") << phase;
    const bool timed_out = j.at("timed_out").get<bool>();
    const bool truncated = j.at("output_truncated").get<bool>();
    const json& code = j.at("exit_code");
    const std::string verdict = j.at("verdict").get<std::string>();
    const std::string out = j.at("stdout").get<std::string>();
    const std::string err = j.at("stderr").get<std::string>();

    // Verdict against the fields it is derived from.
    if (timed_out) {
        EXPECT_EQ(verdict, "TLE") << ctx;
        if (!code.is_null()) {
            EXPECT_EQ(code, -9) << "a timed-out child is killed with SIGKILL\n" << ctx;
        }
    } else if (truncated) {
        EXPECT_EQ(verdict, "OLE") << ctx;
    } else if (code.is_null()) {
        EXPECT_EQ(verdict, "RTE") << ctx;
    } else if (code.get<std::int64_t>() == 0) {
        EXPECT_EQ(verdict, "OK") << ctx;
    } else if (code.get<std::int64_t>() < 0 && code.get<std::int64_t>() != -2) {
        EXPECT_TRUE(verdict == "RTE" || verdict == "MLE") << ctx;
    } else {
        EXPECT_EQ(verdict, "RTE") << ctx;
    }
    if (code.is_null()) {
        EXPECT_TRUE(j.contains("spawn_error") && j.at("spawn_error").is_string()) << ctx;
    }
    if (j.contains("spawn_error") && j.at("spawn_error").is_string()) {
        EXPECT_TRUE(code.is_null()) << ctx;
        EXPECT_EQ(j.value("error", ""), j.at("spawn_error").get<std::string>()) << ctx;
    }
    const bool ok_expected = phase == "run" && code.is_number_integer() && code.get<std::int64_t>() == 0 &&
                             !timed_out && j.at("output_error").is_null();
    EXPECT_EQ(j.at("ok").get<bool>(), ok_expected) << ctx;

    // The cap: each stream holds at most the limit (each byte may have become
    // a three-byte U+FFFD) plus the marker.
    for (const auto& [text, size_key] : {std::pair{&out, "stdout_bytes"}, std::pair{&err, "stderr_bytes"}}) {
        EXPECT_LE(text->size(), 3 * e.cap + kMarkerSize) << size_key;
        const bool cut = truncated && ends_with(*text, kMarker);
        const std::size_t kept = cut ? text->size() - kMarkerSize : text->size();
        const bool replaced = text->find("\xEF\xBF\xBD") != std::string::npos;
        if (!replaced) {
            EXPECT_LE(kept, e.cap) << size_key;
        }
        const json& size = j.at(size_key);
        if (e.sizes_bound_text && !replaced && size.is_number_unsigned() && !(timed_out && text == &err)) {
            EXPECT_GE(size.get<std::uint64_t>(), kept) << size_key << "\n" << ctx;
            if (cut) {
                EXPECT_GT(size.get<std::uint64_t>(), e.cap) << size_key;
            }
        }
    }
    if (truncated) {
        EXPECT_TRUE(ends_with(out, kMarker) || ends_with(err, kMarker)) << "truncated without a marker\n" << ctx;
    }
    return j;
}

// The base directory a test gives as TMPDIR holds nothing after the runs.
inline void expect_empty_dir(const std::string& dir) {
    const std::vector<std::string> left = testing_support::list_dir(dir);
    std::string names;
    for (const auto& n : left) names += n + " ";
    EXPECT_TRUE(left.empty()) << "left in " << dir << ": " << names;
}

// A python program that prints the descriptors it holds (its listing
// descriptor left out) as "fds=0,1,2".
inline const char* const kFdProbePy =
    "import os\n"
    "names = os.listdir('/proc/self/fd')\n"
    "# the descriptor of the listing itself is closed by now\n"
    "fds = sorted(int(n) for n in names if os.path.lexists('/proc/self/fd/' + n))\n"
    "print('fds=' + ','.join(map(str, fds)))\n";

// The runner started by hand: fork and exec with the given descriptors
// inherited, waited for with wait4 so that its own rusage is seen.
struct Direct {
    int status = 0;
    struct rusage usage{};
    std::string out;
    std::string err;
};

// `keep` are descriptors of this process that the runner inherits as they
// are (close-on-exec cleared in the child before exec). stdout and stderr go
// to files, so a flood never blocks on a pipe.
inline Direct run_direct(const std::vector<std::string>& args, const std::string& input,
                         const std::vector<std::pair<std::string, std::string>>& env,
                         const std::vector<int>& keep = {}, const std::vector<std::string>& wrapper = {}) {
    Direct d;
    char out_tmpl[] = "/tmp/tessimar-attack-out-XXXXXX";
    char err_tmpl[] = "/tmp/tessimar-attack-err-XXXXXX";
    char in_tmpl[] = "/tmp/tessimar-attack-in-XXXXXX";
    const int out_fd = mkostemp(out_tmpl, O_CLOEXEC);
    const int err_fd = mkostemp(err_tmpl, O_CLOEXEC);
    const int in_fd = mkostemp(in_tmpl, O_CLOEXEC);
    if (out_fd < 0 || err_fd < 0 || in_fd < 0) {
        ADD_FAILURE() << "mkostemp";
        return d;
    }
    unlink(out_tmpl);
    unlink(err_tmpl);
    unlink(in_tmpl);
    for (std::size_t off = 0; off < input.size();) {
        const ssize_t n = write(in_fd, input.data() + off, input.size() - off);
        if (n <= 0) break;
        off += static_cast<std::size_t>(n);
    }
    lseek(in_fd, 0, SEEK_SET);

    std::vector<std::string> argv = wrapper;
    argv.push_back(testing_support::kExec);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        for (const int fd : keep) fcntl(fd, F_SETFD, 0);
        for (const char* n : {"TESSIMAR_RUNTIME_PATH", "TESSIMAR_MAX_PROCESSES", "TESSIMAR_PROCESS_HEADROOM",
                              "LD_PRELOAD"})
            unsetenv(n);
        for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
        signal(SIGPIPE, SIG_DFL);
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    while (wait4(pid, &d.status, 0, &d.usage) < 0 && errno == EINTR) {
    }
    auto slurp = [](int fd) {
        std::string s;
        lseek(fd, 0, SEEK_SET);
        char buf[65536];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<std::size_t>(n));
        close(fd);
        return s;
    };
    d.out = slurp(out_fd);
    d.err = slurp(err_fd);
    close(in_fd);
    return d;
}

inline ProcessResult as_result(const Direct& d) {
    ProcessResult r;
    r.out = d.out;
    r.err = d.err;
    r.status = d.status;
    return r;
}

}  // namespace attack
