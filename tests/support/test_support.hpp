// Helpers for tests that start real processes and make real files.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace testing_support {

struct ProcessResult {
    std::string out;
    std::string err;
    int status = 0;  // raw wait status
    long max_rss_kb = 0;  // ru_maxrss from wait4: the largest of the process and its reaped children
    bool exited() const;
    int exit_code() const;
    nlohmann::json json() const;  // parses `out` (one line)
};

struct Invocation {
    std::vector<std::string> args;  // without argv[0]
    std::string input;              // standard input bytes
    // Environment: by default the test's own, with `set` applied and `unset` removed.
    std::map<std::string, std::string> set;
    std::vector<std::string> unset;
    bool clear_env = false;
    std::optional<std::string> cwd;
    // Prefix command, e.g. {"setpriv", "--reuid=65534", ...} or {"prlimit", ...}.
    std::vector<std::string> wrapper;
};

// Runs the built runner (or `program` when given) and collects its output.
ProcessResult run_process(const Invocation& inv, const std::string& program = "");
ProcessResult run_exec(const Invocation& inv);

// The search path the tests give the runner.
inline constexpr const char* kSearchPath = "/usr/local/bin:/usr/bin:/bin";

// Whether the runner under test carries the sanitizer runtime, which
// reserves terabytes of address space and so cannot start at all under a
// small RLIMIT_AS of its own.
constexpr bool kRunnerSanitized =
#ifdef TESSIMAR_SANITIZED
    true;
#else
    false;
#endif

#define SKIP_IF_RUNNER_NEEDS_ITS_ADDRESS_SPACE()                                                   \
    do {                                                                                            \
        if (testing_support::kRunnerSanitized)                                                      \
            GTEST_SKIP() << "the sanitized runner cannot start under a small address-space limit"; \
    } while (0)

// A python program that tries IPv4, IPv6 and local sockets and prints, for
// each, "<name> ok" or "<name> <errno>".
extern const char* const kSocketProbePy;

// Whether an executable exists at `path`.
bool have(const char* path);

// A run of the binary with a predictable search path and no inherited knobs.
Invocation run_of(const std::string& lang, const std::string& program, std::vector<std::string> extra = {});

// The one JSON line of a run that exited with status 0 (a test failure otherwise).
nlohmann::json report_of(const ProcessResult& r);

// A fresh directory under /tmp, removed (without following links) on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

protected:
    struct InMemory {};
    explicit TempDir(InMemory);

private:
    std::string path_;
};

// The same on a memory file system (/dev/shm) when the host has one: deep
// trees are slow to build and remove on a journalled disk. Falls back to /tmp.
class FastTempDir : public TempDir {
public:
    FastTempDir() : TempDir(InMemory{}) {}
};

// Sets or unsets environment variables for one test and restores them after.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv();
    void set(const std::string& name, const std::string& value);
    void unset(const std::string& name);

private:
    void save(const std::string& name);
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The variables a child may inherit from the runner, in their listed order.
extern const std::vector<std::string> kPassThroughNames;

// Unsets every variable the child environment reads from the runner.
void clear_child_inputs(ScopedEnv& env);

void write_file(const std::string& path, const std::string& content, int mode = 0644);
std::string read_file(const std::string& path);
bool exists(const std::string& path);
// Entries of a directory (names), sorted.
std::vector<std::string> list_dir(const std::string& path);
// Whether any process has `token` in its command line.
bool process_with_token_alive(const std::string& token);
// Makes a directory readable and writable by everyone (for setpriv cases).
void open_up(const std::string& path);

extern const char* const kExec;

}  // namespace testing_support
