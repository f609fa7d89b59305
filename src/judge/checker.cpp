#include "judge/checker.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "common/text.hpp"
#include "judge/compare.hpp"
#include "phase/launch.hpp"

namespace tessimar {
namespace {

CheckResult failed(const std::string& message) {
    return CheckResult{CheckVerdict::CheckerFailed, bounded_message(message)};
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
    return judge_program_result(JudgeProtocol::Testlib, o, limits, std::nullopt, "checker");
}

CheckResult run_checker(CheckerRequest r, const MemFile& input, const MemFile& answer) {
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
    const std::string input_path = join_path(r.scratch_dir, kCheckerInputName);
    const std::string answer_path = join_path(r.scratch_dir, kCheckerAnswerName);
    std::optional<FeedbackDir> feedback;
    std::vector<std::string> argv;
    std::string stdin_bytes;
    if (r.protocol == JudgeProtocol::Kattis) {
        Result<FeedbackDir> created = FeedbackDir::create(r.scratch_fd, r.scratch_dir);
        if (!created) {
            remove_checker_files(r.scratch_fd);
            return failed(created.error());
        }
        feedback.emplace(std::move(created.value()));
        argv = {r.checker, input_path, answer_path, feedback->path()};
        stdin_bytes = std::move(r.output);
    } else {
        argv = {r.checker, input_path, join_path(r.scratch_dir, r.output_name), answer_path};
    }
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    PhaseRequest request{kCheckerPhase, std::move(argv), r.scratch_dir, r.scratch_dir, std::move(stdin_bytes),
                         limits,        r.python_path,   {},            {},            {}};
    const PhaseOutcome outcome = run_phase(std::move(request));
    const std::optional<std::string> message = feedback ? feedback->judge_message() : std::nullopt;
    CheckResult result = judge_program_result(r.protocol, outcome, limits, message, "checker");
    if (feedback) result = with_feedback_score(std::move(result), *feedback);
    feedback.reset();
    remove_checker_files(r.scratch_fd);
    return result;
}

}  // namespace tessimar
