#include "driver/run_driver.hpp"

#include <unistd.h>

#include <chrono>
#include <functional>

#include "catalogue/resolve.hpp"
#include "catalogue/template.hpp"
#include "common/base64.hpp"
#include "common/fd.hpp"
#include "common/text.hpp"
#include "driver/cached_build.hpp"
#include "judge/interactor.hpp"
#include "phase/launch.hpp"
#include "phase/termination.hpp"
#include "report/output_capture.hpp"
#include "workspace/file_fetch.hpp"
#include "workspace/file_import.hpp"
#include "workspace/reach.hpp"
#include "workspace/scratch_dir.hpp"
#include "workspace/tree.hpp"
#include "workspace/work_dir.hpp"

namespace tessimar {
namespace {

PhasePaths paths_for(const std::string& scratch_base, const std::string& python_path,
                     const std::string& extension) {
    return PhasePaths{join_path(scratch_base, "main." + extension), join_path(scratch_base, "a.out"),
                      scratch_base, join_path(scratch_base, kShimFileName), python_path};
}

std::vector<std::string> expand(const std::vector<std::string>& tmpl, const PhasePaths& p) {
    std::vector<std::string> argv;
    for (const std::string& arg : tmpl) argv.push_back(expand_template(arg, p.file, p.exe, p.work));
    return argv;
}

EnvPairs extra_env(const PhasePaths& p, const std::string& work_dir) {
    return {{"NODE_OPTIONS", "--require=" + p.shim}, {"TESSIMAR_WORKDIR_ROOT", work_dir}};
}

// The report of a run that was ended by the runner's own termination: it is
// never printed (see termination_signal).
Json interrupted_report() { return build_setup_error_report("interrupted"); }

// The phases of a prepared run, up to the report (judged when it has an
// answer, a checker or an interactor).
Json run_phases(const PreparedRun& p, std::string stdin_text, const RunLimits& limits, Judging& judging,
                CachedBuild& build) {
    const LanguageSpec& spec = p.spec;
    const std::string& w = p.work_dir;
    const bool judged = judging.expected || judging.settings.checker || judging.settings.interactor;
    CompileStep compile = compile_step(p, limits, &build);
    if (termination_signal() != 0) return interrupted_report();
    if (compile.failure) {
        if (judged) add_check_result(*compile.failure, CheckResult{});
        return std::move(*compile.failure);
    }
    const std::uint64_t compile_ms = compile.compile_ms;
    // A compile with a budget of its own leaves the run its whole timeout;
    // otherwise the run gets what the compile left of the one budget.
    RunLimits run_limits = limits;
    if (compile_ms > 0 && !limits.compile_timeout_ms) {
        const std::uint64_t budget = wall_timeout_ms(limits);
        const std::uint64_t elapsed = ms_since(p.t0);
        if (budget <= elapsed) {
            Json report = build_budget_exhausted_report(spec.name, compile_ms, elapsed, w);
            if (judged) add_check_result(report, CheckResult{});
            return report;
        }
        const std::uint64_t left = budget - elapsed;
        if (limits.timeout_ms)
            run_limits = with_timeout_ms(limits, left);
        else  // a limit in seconds stays in seconds: rounded up, without overflow
            run_limits.timeout_secs = left / 1000 + (left % 1000 != 0 ? 1 : 0);
    }

    // What the output is checked against is taken before the program runs.
    std::optional<JudgeCase> judge_case;
    if (judged) judge_case = prepare_judge_case(judging.settings, std::move(judging.expected), stdin_text);
    Json report;
    if (judging.settings.interactor) {  // the input is the interactor's, never the program's
        report = interactive_report(p, *judge_case, compile_ms, run_limits, judging.settings);
    } else {
        TimedOutcome r = run_step(p, std::move(stdin_text), run_limits);
        if (termination_signal() != 0) return interrupted_report();
        report = judged_run_report(p, std::move(r), compile_ms, limits, judging.settings,
                                   judge_case ? &*judge_case : nullptr);
    }
    if (compile.cached) report["build_cached"] = true;
    return report;
}

// The files --fetch names, read back into the report: "files", and
// "files_too_large" when some were over the output cap.
void add_fetched_files(Json& report, const PreparedRun& p, const std::optional<DirIdentity>& work_id,
                       const FileTransfer& transfer, const RunLimits& limits) {
    if (transfer.fetch.empty()) return;
    std::optional<DirIdentity> expected = work_id;
    if (!expected && p.loan.active) expected = p.loan.id;
    FetchedFiles fetched =
        fetch_files(p.work_dir, expected, transfer.fetch, output_limit_bytes(limits.max_output_kb));
    Json files = Json::object();
    for (auto& [path, content] : fetched.files) files[path] = base64_encode(content);
    report["files"] = std::move(files);
    if (!fetched.too_large.empty()) report["files_too_large"] = fetched.too_large;
}

// `callers_dir`: the work directory is the caller's, given back after the
// run; `work_id`: the identity of a work directory the run created.
Json run_in(const LanguageSpec& spec, const std::string& w, std::string program_text, std::string stdin_text,
            const RunLimits& limits, Judging& judging, const FileTransfer& transfer, const RunUser& user,
            bool callers_dir, const std::optional<DirIdentity>& work_id) {
    // Files the caller adds (headers the source may include) are not part
    // of the build's key: such a run is not cached.
    CachedBuild build = open_cached_build(spec, program_text, limits, callers_dir || transfer.files_dir.has_value());
    Result<PreparedRun> prepared = prepare_run(spec, w, program_text, user.child());
    std::string().swap(program_text);  // written to its file
    if (!prepared) return build_setup_error_report(prepared.error());
    const PreparedRun& p = prepared.value();
    std::optional<WorkDirReturn> give_back;
    if (callers_dir) give_back.emplace(user, p);
    if (transfer.files_dir) {
        if (Status copied = import_files(*transfer.files_dir, w, p.user); !copied)
            return build_setup_error_report("--files: " + copied.error());
        prepared.value().t0 = RunClock::now();  // the copy is not the program's time
    }

    Json report = run_phases(p, std::move(stdin_text), limits, judging, build);
    if (termination_signal() != 0) return interrupted_report();
    add_fetched_files(report, p, work_id, transfer, limits);
    return report;
}

}  // namespace

std::uint64_t ms_since(RunClock::time_point start) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(RunClock::now() - start).count();
    return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

CreatedDir::~CreatedDir() {
    if (active_) remove_dir_guarded(path_, id_);
}

WorkDirReturn::WorkDirReturn(const RunUser& user, const PreparedRun& run) : user_(user), run_(run) {
    if (!run_.loan.active) return;
    std::string path = run_.work_dir;
    if (path.empty() || path.front() != '/') path = join_path(current_dir(), path);
    user_.note(describe_loan(path, run_.loan));
}

WorkDirReturn::~WorkDirReturn() {
    if (!run_.loan.active) return;
    user_.kill_leftovers();
    if (return_work_dir(run_.work_dir, run_.loan) == 0) user_.note("");
}

Result<RunUser> claim_run_user(const RunLimits& limits) {
    Result<RunUser> user = RunUser::claim(limits);
    if (!user || user.value().left_note().empty()) return user;
    // Nothing of the id runs while it is given back: claiming killed it.
    if (const std::optional<DescribedLoan> left = parse_loan(user.value().left_note()))
        (void)return_work_dir(left->work_dir, left->loan);
    user.value().note("");
    return user;
}

Result<PreparedRun> prepare_run(const LanguageSpec& spec, const std::string& w,
                                const std::string& program_text, const ChildUser& user) {
    // Found now, not as a start failure charged to the program.
    if (user.active)
        if (const std::optional<std::string> closed = closed_on_the_way(w, user.uid, user.gid))
            return Error{unreachable_work_dir_message(w, user.uid, *closed)};
    Result<std::string> scratch = prepare_scratch_dir(w);
    if (!scratch) return Error{scratch.error()};
    const std::string& s = scratch.value();
    Result<RunFiles> files = write_run_files(s, spec, program_text);
    if (!files) return Error{files.error()};

    // A relative work directory: the compile child gets absolute paths, the
    // run child paths relative to the work directory it runs in.
    PhasePaths compile_paths = paths_for(s, w, spec.extension);
    PhasePaths run_paths = compile_paths;
    if (!w.empty() && w.front() != '/') {
        if (const std::string cwd = current_dir(); !cwd.empty()) {
            const std::string abs_w = join_path(cwd, w);
            compile_paths = paths_for(join_path(abs_w, kScratchDirName), abs_w, spec.extension);
        }
        run_paths = paths_for(std::string("./") + kScratchDirName, ".", spec.extension);
    }
    WorkDirLoan loan;
    if (user.active) {
        Result<WorkDirLoan> lent = lend_work_dir(w, s, files.value(), user.uid, user.gid);
        if (!lent) return Error{lent.error()};
        loan = lent.value();
    }
    return PreparedRun{spec, w, s, std::move(compile_paths), std::move(run_paths), RunClock::now(), user, loan};
}

CompileStep compile_step(const PreparedRun& p, const RunLimits& limits, CachedBuild* build) {
    CompileStep step;
    if (!p.spec.compile_template) return step;
    if (build != nullptr && restore_build(*build, p)) {
        step.cached = true;
        return step;
    }
    const RunLimits compile_limits =
        limits.compile_timeout_ms ? with_timeout_ms(limits, *limits.compile_timeout_ms) : limits;
    PhaseRequest compile{"compile", expand(*p.spec.compile_template, p.compile_paths), p.scratch_dir,
                         p.scratch_dir, "", compile_limits, p.compile_paths.python_path,
                         extra_env(p.compile_paths, p.work_dir), p.spec.memory, p.user};
    PhaseOutcome outcome = run_phase(std::move(compile));
    step.compile_ms = ms_since(p.t0);
    if (outcome.timed_out || outcome.signaled || outcome.exit_code != 0)
        step.failure = build_compile_failure_report(p.spec.name, std::move(outcome), step.compile_ms,
                                                    ms_since(p.t0), p.work_dir, limits.max_memory_mb);
    else if (build != nullptr)  // before the program runs and could touch it
        store_build(*build, p);
    return step;
}

PhaseRequest run_request(const PreparedRun& p, std::string stdin_bytes, const RunLimits& limits) {
    return PhaseRequest{"run", expand(p.spec.run_template, p.run_paths), p.scratch_dir, p.work_dir,
                        std::move(stdin_bytes), limits, p.run_paths.python_path, extra_env(p.run_paths, p.work_dir),
                        p.spec.memory, p.user};
}

TimedOutcome run_step(const PreparedRun& p, std::string stdin_bytes, const RunLimits& limits) {
    PhaseRequest run = run_request(p, std::move(stdin_bytes), limits);
    const RunClock::time_point t1 = RunClock::now();
    TimedOutcome r{run_phase(std::move(run)), 0, 0};
    r.duration_ms = ms_since(t1);
    r.total_ms = ms_since(p.t0);
    return r;
}

Json interactive_report(const PreparedRun& p, const JudgeCase& judged, std::uint64_t compile_ms,
                        const RunLimits& limits, const JudgeSettings& settings) {
    const RunClock::time_point t1 = RunClock::now();
    InteractiveRun x = run_interactive(settings, run_request(p, "", limits), judged, p.scratch_dir,
                                       p.compile_paths.python_path);
    const std::uint64_t duration_ms = ms_since(t1);
    Json report = build_run_report(p.spec.name, x.exchange.program, duration_ms, compile_ms, ms_since(p.t0),
                                   p.work_dir, limits.max_memory_mb);
    std::function<CheckResult()> check_output;
    if (settings.checker)
        check_output = [&] {
            return check_interactor_output(settings, judged, p.scratch_dir, p.compile_paths.python_path, limits);
        };
    judge_exchange(report, x, check_output);
    return report;
}

Json judged_run_report(const PreparedRun& p, TimedOutcome r, std::uint64_t compile_ms, const RunLimits& limits,
                       const JudgeSettings& settings, const JudgeCase* judged) {
    Json report = build_run_report(p.spec.name, std::move(r.outcome), r.duration_ms, compile_ms, r.total_ms,
                                   p.work_dir, limits.max_memory_mb);
    if (!judged) return report;
    CheckResult result;
    if (report.value("verdict", "") == "OK")
        result = judge_output(settings, *judged, p.scratch_dir, p.compile_paths.python_path, limits);
    add_check_result(report, result);
    return report;
}

Json run(const std::string& language, std::string program_text, std::string stdin_text,
         const RunLimits& limits, const std::optional<std::string>& workdir, Judging judging,
         const FileTransfer& transfer) {
    // From here a termination signal ends the run's children and unwinds:
    // the work directory and the rest go as on every other path.
    const TerminationDeferred deferred;
    Result<LanguageSpec> spec = resolve_language(language);
    if (!spec) return build_setup_error_report(spec.error());

    // Held from before the first phase until the work directory is removed
    // or given back.
    Result<RunUser> user = claim_run_user(limits);
    if (!user) return build_setup_error_report(user.error());

    if (workdir)
        return run_in(spec.value(), *workdir, std::move(program_text), std::move(stdin_text), limits, judging,
                      transfer, user.value(), true, std::nullopt);

    Result<std::string> created = create_work_dir();
    if (!created) return build_setup_error_report(created.error());
    // Removed on every path from here, after the result is built.
    CreatedDir guard(created.value(), dir_identity(created.value()));
    return run_in(spec.value(), created.value(), std::move(program_text), std::move(stdin_text), limits, judging,
                  transfer, user.value(), false, guard.identity());
}

}  // namespace tessimar
