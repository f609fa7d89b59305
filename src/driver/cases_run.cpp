#include "driver/cases_run.hpp"

#include <exception>

#include "catalogue/resolve.hpp"
#include "common/text.hpp"
#include "driver/case_line.hpp"
#include "driver/cached_build.hpp"
#include "driver/run_driver.hpp"
#include "judge/judge.hpp"
#include "phase/termination.hpp"
#include "report/run_report.hpp"
#include "workspace/case_dir.hpp"
#include "workspace/case_reset.hpp"
#include "workspace/tree.hpp"
#include "workspace/work_dir.hpp"

namespace tessimar {
namespace {

// A top-level report's members and closing brace: what follows `"cases":[...],`.
std::string members_after_cases(const Json& report) { return to_json_line(report).substr(1); }

struct CasesState {
    const PreparedRun& run;
    const CaseDir& dir;
    const RunLimits& limits;
    const Judging& judging;
    std::optional<DirIdentity> scratch_id;
    bool created_work_dir = false;
    std::optional<DirIdentity> work_id;
};

// The expected answer of a case, copied before its program runs.
JudgeCase judge_case_of(const CasesState& st, const CaseFile& file, std::string_view input) {
    std::optional<MemFile> answer;
    if (file.has_answer()) {
        Result<UniqueFd> fd = open_answer(st.dir, file);
        if (!fd) return JudgeCase{std::nullopt, std::nullopt, fd.error()};
        int err = 0;
        Result<MemFile> copy = mem_file_from_fd(fd.value().get(), kMaxCaseBytes, err);
        if (!copy)
            return JudgeCase{std::nullopt, std::nullopt,
                             "cannot read expected answer " + display_path(join_path(st.dir.path, file.answer_name)) +
                                 ": " + (err == EFBIG ? std::string("larger than 64 MiB") : copy.error())};
        answer = std::move(copy.value());
    }
    return prepare_judge_case(st.judging.settings, std::move(answer), input);
}

// A case's report: one run of the program, or with an interactor one
// exchange. A case that cannot be set up is reported like a start failure.
Json case_report(const CasesState& st, const CaseFile& file, std::uint64_t compile_ms) {
    std::optional<JudgeCase> judged;
    const JudgeSettings& settings = st.judging.settings;
    const auto unstarted = [&](const std::string& message) {
        return judged_run_report(st.run, not_started(message, st.run), compile_ms, st.limits, settings,
                                 judged ? &*judged : nullptr);
    };
    Result<std::string> input = read_case(st.dir, file);
    if (!input) return unstarted(input.error());
    if (file.has_answer() || settings.checker || settings.interactor) judged = judge_case_of(st, file, input.value());
    if (!st.scratch_id)
        return unstarted("cannot replace the phase files in " + display_path(st.run.scratch_dir) +
                         ": its identity could not be read");
    if (Status s = remove_phase_files(st.run.scratch_dir, *st.scratch_id, "run"); !s) return unstarted(s.error());
    if (st.created_work_dir) {
        if (!st.work_id)
            return unstarted("cannot empty the work directory " + display_path(st.run.work_dir) +
                             ": its identity could not be read");
        if (Status s = empty_work_dir(st.run.work_dir, *st.work_id); !s) return unstarted(s.error());
    }
    if (settings.interactor) return interactive_report(st.run, *judged, compile_ms, st.limits, settings);
    TimedOutcome r = run_step(st.run, std::move(input.value()), st.limits);
    return judged_run_report(st.run, std::move(r), compile_ms, st.limits, settings, judged ? &*judged : nullptr);
}

// Everything up to the end of the "cases" array; returns the top-level
// report, or a setup error object when nothing was written yet.
struct Body {
    Json report;
    bool cases_written = false;  // `{"cases":[...]` is out, `],` is not
};

Body run_body(const LanguageSpec& spec, const CaseDir& dir, std::string program_text,
              const RunLimits& limits, const std::optional<std::string>& workdir, const Judging& judging,
              const RunUser& user,
              Line& line, bool& streaming) {
    std::string w;
    CreatedDir guard;  // removes a created work directory before the line ends
    if (workdir) {
        w = *workdir;
    } else {
        Result<std::string> created = create_work_dir();
        if (!created) return Body{build_setup_error_report(created.error())};
        w = created.value();
        guard = CreatedDir(w, dir_identity(w));
    }
    CachedBuild build = open_cached_build(spec, program_text, limits, workdir.has_value());
    Result<PreparedRun> prepared = prepare_run(spec, w, program_text, user.child());
    std::string().swap(program_text);  // written to its file
    if (!prepared) return Body{build_setup_error_report(prepared.error())};
    const PreparedRun& run = prepared.value();
    std::optional<WorkDirReturn> give_back;  // a caller's work directory, after the last case
    if (workdir) give_back.emplace(user, run);

    CompileStep compile = compile_step(run, limits, &build);
    streaming = true;
    line.put("{\"cases\":[");
    // Judged: every case object and the top level carry the check keys.
    const bool every_case = judging.settings.checker || judging.settings.interactor;
    const bool judged_dir = every_case || dir.judged_cases() > 0;
    const std::size_t cases_judged = every_case ? dir.cases.size() : dir.judged_cases();
    std::size_t cases_passed = 0;
    // The cases' scores: a case's own, else 1 when it passed and 0 when not.
    // Reported only when some case had one of its own.
    double score_sum = 0;
    bool scored = false;
    const auto add_counts = [&](Json& top) {
        if (top.is_object()) top.erase("score");  // the deciding case's own
        if (scored) top["score"] = score_sum;
        if (!judged_dir) return;
        top["cases_judged"] = cases_judged;
        top["cases_passed"] = cases_passed;
    };
    if (compile.failure) {
        if (judged_dir) add_check_result(*compile.failure, CheckResult{});
        add_counts(*compile.failure);
        return Body{std::move(*compile.failure), true};
    }

    const CasesState st{run, dir, limits, judging, dir_identity(run.scratch_dir), !workdir, guard.identity()};
    Json top;
    bool settled = false;  // the first case that is not "OK" decides the top level
    // A termination signal ends the case that runs; no other starts.
    for (std::size_t i = 0; i < dir.cases.size() && line.ok() && termination_signal() == 0; ++i) {
        const CaseFile& file = dir.cases[i];
        if (i > 0) line.put(",");
        if (settled && judging.stop_at_first_failure) {
            Json skipped = build_skipped_case_object(file.name(), judged_dir);
            if (judging.settings.interactor) skipped["interactor"] = nullptr;  // it never ran
            line.put(compact(skipped));
            continue;
        }
        Json report = case_report(st, file, compile.compile_ms);
        if (judged_dir && !report.contains("passed")) add_check_result(report, CheckResult{});
        const bool passed = report.value("passed", Json(nullptr)) == Json(true);
        if (passed) ++cases_passed;
        if (const auto score = report.find("score"); score != report.end() && score->is_number()) {
            scored = true;
            score_sum += score->get<double>();
        } else if (passed) {
            score_sum += 1;
        }
        line.put(compact(build_case_object(file.name(), report)));
        if (!settled) {
            settled = report.value("verdict", "") != "OK";
            top = std::move(report);
        }
    }
    add_counts(top);
    if (compile.cached) top["build_cached"] = true;
    return Body{std::move(top), true};
}

}  // namespace

bool run_cases(const std::string& language, std::string program_text, const std::string& cases_dir,
               const RunLimits& limits, const std::optional<std::string>& workdir, const Judging& judging,
               const LineSink& sink) {
    // As for a single run: a termination signal unwinds, and the work
    // directory goes with the rest.
    const TerminationDeferred deferred;
    Line line(sink);
    bool streaming = false;  // `{"cases":[` written
    bool closed = false;     // `],` written
    try {
        Result<LanguageSpec> spec = resolve_language(language);
        if (!spec) {
            line.put(to_json_line(build_setup_error_report(spec.error())));
            return line.ok();
        }
        Result<CaseDir> dir = open_case_dir(cases_dir);
        if (!dir) {
            line.put(to_json_line(build_setup_error_report(dir.error())));
            return line.ok();
        }
        // Held from before the first phase until the work directory is
        // removed or given back.
        Result<RunUser> user = claim_run_user(limits);
        if (!user) {
            line.put(to_json_line(build_setup_error_report(user.error())));
            return line.ok();
        }
        Body body = run_body(spec.value(), dir.value(), std::move(program_text), limits, workdir, judging,
                             user.value(), line, streaming);
        if (!body.cases_written) {
            line.put(to_json_line(body.report));
            return line.ok();
        }
        line.put("],");
        closed = true;
        line.put(members_after_cases(body.report));
    } catch (const std::exception&) {
        // Close the line as an error object, whatever part of it is out.
        const std::string tail = std::string("\"error\":\"") + kOutOfMemory + "\",\"ok\":false}\n";
        if (!streaming) line.put(to_json_line(build_setup_error_report(kOutOfMemory)));
        else if (!closed) line.put("]," + tail);
        else line.put(tail);
    }
    return line.ok();
}

}  // namespace tessimar
