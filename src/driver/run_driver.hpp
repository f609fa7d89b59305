// One run, from the --lang text to the finished JSON value.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/language_spec.hpp"
#include "common/child_user.hpp"
#include "common/dir_identity.hpp"
#include "common/phase_outcome.hpp"
#include "common/result.hpp"
#include "common/run_limits.hpp"
#include "judge/judge.hpp"
#include "judge/judge_settings.hpp"
#include "phase/launch.hpp"
#include "phase/run_user.hpp"
#include "report/run_report.hpp"
#include "workspace/work_dir_loan.hpp"

namespace tessimar {

// How the output of a run is judged, when it is.
struct Judging {
    JudgeSettings settings;
    std::optional<MemFile> expected;  // a single run's expected answer
    bool stop_at_first_failure = false;  // --cases: skip the cases after the first that is not "OK"
};

// Files a single run is given before its first phase and gives back after
// its last.
struct FileTransfer {
    std::optional<std::string> files_dir;  // --files: copied into the work directory
    std::vector<std::string> fetch;        // --fetch: read back into "files", in order
};

// The program and the input are taken by value and let go once they are
// written to the run's files (see run_phase). A single run is judged when
// it has an expected answer or a checker. A termination signal received
// meanwhile ends the run early (see termination_signal); its report is
// then not to be printed.
Json run(const std::string& language, std::string program_text, std::string stdin_text,
         const RunLimits& limits, const std::optional<std::string>& workdir, Judging judging = {},
         const FileTransfer& transfer = {});

// The steps of a run, shared with a run of one program over many inputs.

using RunClock = std::chrono::steady_clock;

std::uint64_t ms_since(RunClock::time_point start);

// The paths one phase's child is given. Each must resolve from that child's
// own current directory: the compile phase runs in the scratch directory,
// the run phase in the work directory.
struct PhasePaths {
    std::string file, exe, work, shim, python_path;
};

// A work directory with its scratch directory prepared and the run's files
// written; t0 is read once they are.
struct PreparedRun {
    LanguageSpec spec;
    std::string work_dir;
    std::string scratch_dir;
    PhasePaths compile_paths;
    PhasePaths run_paths;
    RunClock::time_point t0;
    ChildUser user;    // the id the children run as
    WorkDirLoan loan;  // the work directory, lent to that id
};

// With an active `user`, the work directory, the scratch directory and the
// run's files are handed over to it.
Result<PreparedRun> prepare_run(const LanguageSpec& spec, const std::string& work_dir,
                                const std::string& program_text, const ChildUser& user = ChildUser{});

// A caller's work directory lent to the run's id, given back when this goes
// away, after whatever still runs under that id is killed. Meanwhile the
// loan is noted in the id's lock file.
class WorkDirReturn {
public:
    WorkDirReturn(const RunUser& user, const PreparedRun& run);
    WorkDirReturn(const WorkDirReturn&) = delete;
    WorkDirReturn& operator=(const WorkDirReturn&) = delete;
    ~WorkDirReturn();

private:
    const RunUser& user_;
    const PreparedRun& run_;
};

// The id of the run, claimed; a work directory that an earlier holder of it
// lent and never gave back (its runner was killed) is given back first.
Result<RunUser> claim_run_user(const RunLimits& limits);

struct CompileStep {
    std::optional<Json> failure;  // the compile-failure report
    std::uint64_t compile_ms = 0;
    bool cached = false;  // taken from the build cache: no compile ran
};

struct CachedBuild;

// Compiles when the language has a compile template, with `limits` as given
// but for the wall-clock limit, which is the compile budget where one is set.
// With a build cache, a stored build takes the compile's place, and a
// successful compile is stored.
CompileStep compile_step(const PreparedRun& run, const RunLimits& limits, CachedBuild* build = nullptr);

struct TimedOutcome {
    PhaseOutcome outcome;
    std::uint64_t duration_ms = 0;
    std::uint64_t total_ms = 0;
};

// One run phase with `stdin_bytes` as its standard input.
TimedOutcome run_step(const PreparedRun& run, std::string stdin_bytes, const RunLimits& limits);

// The run phase's request: its command, directories, environment, limits.
PhaseRequest run_request(const PreparedRun& run, std::string stdin_bytes, const RunLimits& limits);

// One exchange of the program with the interactor, judged (see
// judge_exchange); `judged` holds the case's input and answer.
Json interactive_report(const PreparedRun& run, const JudgeCase& judged, std::uint64_t compile_ms,
                        const RunLimits& limits, const JudgeSettings& settings);

// The report of a finished run phase, judged when `judged` holds a case:
// the check runs only when the run's own verdict is "OK".
Json judged_run_report(const PreparedRun& run, TimedOutcome r, std::uint64_t compile_ms,
                       const RunLimits& limits, const JudgeSettings& settings, const JudgeCase* judged);

// A work directory this run created, removed (guarded) when this goes away.
class CreatedDir {
public:
    CreatedDir(std::string path, std::optional<DirIdentity> id) : path_(std::move(path)), id_(id), active_(true) {}
    CreatedDir() = default;
    CreatedDir(const CreatedDir&) = delete;
    CreatedDir& operator=(const CreatedDir&) = delete;
    CreatedDir& operator=(CreatedDir&& o) noexcept {
        path_ = std::move(o.path_);
        id_ = o.id_;
        active_ = std::exchange(o.active_, false);
        return *this;
    }
    ~CreatedDir();

    const std::optional<DirIdentity>& identity() const { return id_; }

private:
    std::string path_;
    std::optional<DirIdentity> id_;
    bool active_ = false;
};

}  // namespace tessimar
