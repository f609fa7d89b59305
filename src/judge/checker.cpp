#include "judge/checker.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "common/text.hpp"
#include "judge/compare.hpp"
#include "phase/launch.hpp"

namespace tessimar {
namespace {

CheckResult failed(const std::string& message) {
    return CheckResult{CheckVerdict::CheckerFailed, bounded_message(message)};
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

// Removes the checker's files; whatever cannot be removed goes with the
// scratch directory.
void remove_checker_files(int dir_fd) {
    for (const std::string& name : {std::string(kCheckerInputName), std::string(kCheckerAnswerName),
                                   std::string(kCheckerPhase) + ".in", std::string(kCheckerPhase) + ".out",
                                   std::string(kCheckerPhase) + ".err"})
        (void)unlinkat(dir_fd, name.c_str(), 0);
}

}  // namespace

CheckResult checker_result(const PhaseOutcome& o, const RunLimits& limits) {
    if (o.spawn_error) return failed("the checker could not be started: " + *o.spawn_error);
    if (o.timed_out)
        return failed("the checker ran past the timeout of " + describe_timeout(limits));
    const std::string text = trimmed(o.stderr_text);
    if (o.signaled)
        return failed(text.empty() ? "the checker was killed by signal " + std::to_string(o.signal) : text);
    if (o.exit_code == 0) return CheckResult{CheckVerdict::Passed, std::nullopt};
    const std::string status = "the checker exited with status " + std::to_string(o.exit_code);
    if (o.exit_code == 1)
        return CheckResult{CheckVerdict::WrongAnswer,
                           bounded_message(text.empty() ? status + " (wrong answer)" : text)};
    if (o.exit_code == 2)
        return CheckResult{CheckVerdict::WrongAnswer,
                           bounded_message(text.empty() ? status + " (presentation error)"
                                                        : "presentation error: " + text)};
    return failed(text.empty() ? status : text);
}

CheckResult run_checker(const CheckerRequest& r, const MemFile& input, const MemFile& answer) {
    remove_checker_files(r.scratch_fd);
    if (Status s = write_mem_file_at(input, r.scratch_fd, kCheckerInputName); !s)
        return failed("cannot write the checker's input file: " + s.error());
    if (Status s = write_mem_file_at(answer, r.scratch_fd, kCheckerAnswerName); !s)
        return failed("cannot write the checker's answer file: " + s.error());

    RunLimits limits = r.limits;
    limits.contain = false;
    limits.no_net = false;
    // The data limit and its verdict are sized for the program's runtime,
    // not for whatever the checker is written in.
    limits.max_data_mb = 0;
    PhaseRequest request{kCheckerPhase,
                         {r.checker, join_path(r.scratch_dir, kCheckerInputName),
                          join_path(r.scratch_dir, r.output_name), join_path(r.scratch_dir, kCheckerAnswerName)},
                         r.scratch_dir,
                         r.scratch_dir,
                         "",
                         limits,
                         r.python_path,
                         {},
                         {},
                         {}};
    const PhaseOutcome outcome = run_phase(std::move(request));
    CheckResult result = checker_result(outcome, limits);
    remove_checker_files(r.scratch_fd);
    return result;
}

}  // namespace tessimar
