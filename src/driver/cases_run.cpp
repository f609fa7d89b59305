#include "driver/cases_run.hpp"

#include <cerrno>

#include "catalogue/resolve.hpp"
#include "common/text.hpp"
#include "driver/case_line.hpp"
#include "driver/run_driver.hpp"
#include "judge/judge.hpp"
#include "phase/termination.hpp"
#include "report/run_report.hpp"
#include "workspace/case_dir.hpp"

namespace tessimar {
namespace {

struct CasesState {
    const CompiledProgram& program;
    const CaseDir& dir;
    const Judging& judging;
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
Json case_report(const CasesState& st, const CaseFile& file) {
    const PreparedRun& run = st.program.run;
    const RunLimits& limits = st.program.limits;
    const std::uint64_t compile_ms = st.program.compile.compile_ms;
    std::optional<JudgeCase> judged;
    const JudgeSettings& settings = st.judging.settings;
    const auto unstarted = [&](const std::string& message) {
        return judged_run_report(run, not_started(message, run), compile_ms, limits, settings,
                                 judged ? &*judged : nullptr);
    };
    Result<std::string> input = read_case(st.dir, file);
    if (!input) return unstarted(input.error());
    if (file.has_answer() || settings.checker || settings.interactor) judged = judge_case_of(st, file, input.value());
    if (Status s = st.program.reset_for_case(); !s) return unstarted(s.error());
    if (settings.interactor) return interactive_report(run, *judged, compile_ms, limits, settings);
    TimedOutcome r = run_step(run, std::move(input.value()), limits);
    return judged_run_report(run, std::move(r), compile_ms, limits, settings, judged ? &*judged : nullptr);
}

// The cases of the compiled program, put on `line`, and the top level.
CasesTop run_the_cases(const CompiledProgram& program, const CaseDir& dir, const Judging& judging, Line& line) {
    CompileStep& compile = program.compile;
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
        return CasesTop{std::move(*compile.failure), true};
    }

    const CasesState st{program, dir, judging};
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
        Json report = case_report(st, file);
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
    return CasesTop{std::move(top), true};
}

}  // namespace

bool run_cases(const std::string& language, std::string program_text, const std::string& cases_dir,
               const RunLimits& limits, const std::optional<std::string>& workdir, const Judging& judging,
               const LineSink& sink) {
    return write_cases_line(sink, [&](Line& line) {
        Result<LanguageSpec> spec = resolve_language(language);
        if (!spec) return CasesTop{build_setup_error_report(spec.error())};
        Result<CaseDir> dir = open_case_dir(cases_dir);
        if (!dir) return CasesTop{build_setup_error_report(dir.error())};
        // Held from before the first phase until the work directory is
        // removed or given back.
        Result<RunUser> user = claim_run_user(limits);
        if (!user) return CasesTop{build_setup_error_report(user.error())};
        return compile_for_cases(spec.value(), std::move(program_text), limits, workdir, user.value(), line,
                                 [&](const CompiledProgram& program) {
                                     return run_the_cases(program, dir.value(), judging, line);
                                 });
    });
}

}  // namespace tessimar
