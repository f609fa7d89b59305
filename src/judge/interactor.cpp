#include "judge/interactor.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/fd.hpp"
#include "common/text.hpp"
#include "judge/checker.hpp"
#include "judge/compare.hpp"
#include "judge/judge_protocol.hpp"

namespace tessimar {
namespace {

CheckResult failed(const std::string& message) {
    return CheckResult{CheckVerdict::CheckerFailed, bounded_message(message)};
}

void remove_interactor_files(int dir_fd) {
    for (const std::string& name :
         {std::string(kInteractorInputName), std::string(kInteractorAnswerName), std::string(kInteractorOutputName),
          std::string(kInteractorPhase) + ".in", std::string(kInteractorPhase) + ".out",
          std::string(kInteractorPhase) + ".err"})
        (void)unlinkat(dir_fd, name.c_str(), 0);
}

// A run that never got as far as an exchange: reported like a start failure
// of the program, and failed as a judgement.
InteractiveRun not_started(const std::string& message) {
    InteractiveRun run;
    run.exchange.program.stderr_text = message;
    run.exchange.program.spawn_error = message;
    run.exchange.program.exit_code = -2;
    run.interactor = failed(message);
    run.failed_to_start = true;
    return run;
}

}  // namespace

InteractiveRun run_interactive(const JudgeSettings& s, PhaseRequest program, const JudgeCase& judged,
                               const std::string& scratch_dir, const std::string& python_path) {
    if (judged.error) return not_started(*judged.error);
    if (!judged.input || !judged.answer) return not_started("the interactor's input or answer is missing");
    UniqueFd dir(retry_eintr(
        [&] { return open(scratch_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!dir.valid()) return not_started("cannot open " + display_path(scratch_dir) + ": " + os_error_text(errno));
    remove_interactor_files(dir.get());
    if (Status st = write_mem_file_at(*judged.input, dir.get(), kInteractorInputName); !st)
        return not_started("cannot write the interactor's input file: " + st.error());
    if (Status st = write_mem_file_at(*judged.answer, dir.get(), kInteractorAnswerName); !st)
        return not_started("cannot write the interactor's answer file: " + st.error());
    std::string abs_scratch = scratch_dir;
    if (abs_scratch.front() != '/') abs_scratch = join_path(current_dir(), scratch_dir);

    // The author's program: the limits of the run without its confinement,
    // its data limit and its id; the wall clock is the exchange's.
    RunLimits limits = program.limits;
    limits.contain = false;
    limits.no_net = false;
    limits.max_data_mb = 0;
    // The contest protocol: INPUT OUTPUT ANSWER. The package format's:
    // INPUT ANSWER FEEDBACK_DIR/ and the judge's arguments.
    std::optional<FeedbackDir> feedback;
    std::vector<std::string> argv{*s.interactor, join_path(abs_scratch, kInteractorInputName)};
    if (s.protocol == JudgeProtocol::Kattis) {
        Result<FeedbackDir> made = FeedbackDir::create(dir.get(), abs_scratch);
        if (!made) return not_started("cannot make the interactor's feedback directory: " + made.error());
        feedback.emplace(std::move(made.value()));
        argv.push_back(join_path(abs_scratch, kInteractorAnswerName));
        argv.push_back(feedback->path());
    } else {
        argv.push_back(join_path(abs_scratch, kInteractorOutputName));
        argv.push_back(join_path(abs_scratch, kInteractorAnswerName));
    }
    argv.insert(argv.end(), s.judge_args.begin(), s.judge_args.end());
    PhaseRequest interactor{kInteractorPhase, std::move(argv), abs_scratch, abs_scratch, "", limits, python_path,
                            {}, {}, {}};
    const int accept_status = s.protocol == JudgeProtocol::Kattis ? kKattisAccepted : 0;
    ExchangeRequest request{std::move(program), std::move(interactor), accept_status, s.transcript_kb.has_value(),
                            s.transcript_kb ? std::min(sat_mul(*s.transcript_kb, 1024), kMaxTranscriptBytes) : 0};

    InteractiveRun run;
    run.exchange = run_exchange(std::move(request));
    const ExchangeOutcome& x = run.exchange;
    // Its message: the feedback directory's judgemessage.txt, else its
    // standard error.
    const std::optional<std::string> judge_message = feedback ? feedback->judge_message() : std::nullopt;
    if (const std::string said = judge_program_message(x.interactor, judge_message); !said.empty())
        run.message = bounded_message(said);

    if (x.program.spawn_error) {
        run.interactor = CheckResult{};  // the program's own start failure decides
    } else if (x.interactor.spawn_error) {
        run.interactor = failed("the interactor could not be started: " + *x.interactor.spawn_error);
    } else if (x.interactor_overstayed) {
        run.interactor = failed("the interactor ran on for " + std::to_string(kInteractorGraceMs / 1000) +
                                " s after the program ended");
    } else if (x.interactor_killed) {
        run.interactor = CheckResult{};  // ended by the runner at the deadline: no word of its own
    } else {
        run.interactor = judge_program_result(s.protocol, x.interactor, limits, judge_message, "interactor");
        if (feedback) run.interactor = with_feedback_score(std::move(run.interactor), *feedback);
    }
    (void)unlinkat(dir.get(), kInteractorInputName, 0);
    (void)unlinkat(dir.get(), kInteractorAnswerName, 0);
    return run;
}

CheckResult check_interactor_output(const JudgeSettings& s, const JudgeCase& judged, const std::string& scratch_dir,
                                    const std::string& python_path, const RunLimits& limits) {
    UniqueFd dir(retry_eintr(
        [&] { return open(scratch_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!dir.valid()) return failed("cannot open " + display_path(scratch_dir) + ": " + os_error_text(errno));
    struct stat st;
    if (fstatat(dir.get(), kInteractorOutputName, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return failed("the interactor wrote no output file " +
                      display_path(join_path(scratch_dir, kInteractorOutputName)));
    std::string abs_scratch = scratch_dir;
    if (abs_scratch.front() != '/') abs_scratch = join_path(current_dir(), scratch_dir);
    CheckerRequest request{*s.checker, abs_scratch, dir.get(), kInteractorOutputName, python_path,
                           limits,     s.protocol,  s.judge_args, {}};
    return run_checker(std::move(request), *judged.input, *judged.answer);
}

void judge_exchange(Json& report, const InteractiveRun& run, const std::function<CheckResult()>& check_output) {
    const ExchangeOutcome& x = run.exchange;
    Json who = Json::object();
    const PhaseOutcome& i = x.interactor;
    const bool ran = !i.spawn_error && !run.failed_to_start;
    who["exit_code"] = ran && !i.signaled ? Json(i.exit_code) : Json(nullptr);
    who["signal"] = ran && i.signaled ? Json(i.signal) : Json(nullptr);
    who["exited_first"] = x.interactor_first;
    who["cpu_ms"] = i.cpu_ms;
    who["message"] = run.message ? Json(*run.message) : Json(nullptr);
    report["interactor"] = std::move(who);
    report["stdout"] = "";
    report["stdout_bytes"] = x.program_sent ? Json(*x.program_sent) : Json(nullptr);
    if (x.program_sent) {
        report["transcript"] = utf8_lossy(x.transcript);
        report["transcript_truncated"] = x.transcript_truncated;
    }

    const CheckResult& said = run.interactor;
    // 1. The interactor's own failure is never the program's.
    if (said.verdict == CheckVerdict::CheckerFailed) {
        add_check_result(report, said);
        return;
    }
    // 2. A rejection that came first stands, whatever the program did next.
    if (x.interactor_first && said.verdict == CheckVerdict::WrongAnswer) {
        add_check_result(report, said);
        return;
    }
    // 3. The program's own failure, unless it is the broken pipe of a
    // program that wrote on after the interactor had gone.
    const std::string verdict = report.value("verdict", "");
    const bool late_pipe = x.program.signaled && x.program.signal == SIGPIPE && !x.program.timed_out;
    if (verdict != "OK" && !late_pipe) {
        add_check_result(report, CheckResult{});
        return;
    }
    if (said.verdict == CheckVerdict::NotChecked) {
        add_check_result(report, CheckResult{});
        return;
    }
    // 4. The interactor's word, and a checker's after an accepting one.
    if (late_pipe) {
        report["verdict"] = "OK";
        report["ok"] = true;
    }
    if (said.verdict == CheckVerdict::Passed && check_output) {
        add_check_result(report, check_output());
        return;
    }
    add_check_result(report, said);
}

}  // namespace tessimar
