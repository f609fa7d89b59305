// A checker program: `CHECKER INPUT OUTPUT ANSWER`, run after the program
// with the runner's environment and limits but without the program's
// confinement. Exit 0 passes, 1 or 2 (a presentation error) is a wrong
// answer; any other status, a signal or the timeout means the checker
// itself failed.
#pragma once

#include <string>

#include "common/check_result.hpp"
#include "common/phase_outcome.hpp"
#include "common/run_limits.hpp"
#include "judge/mem_file.hpp"

namespace tessimar {

// The names of the checker's files in the scratch directory; its own
// standard streams are the phase files "check.in", "check.out", "check.err".
inline constexpr const char* kCheckerPhase = "check";
inline constexpr const char* kCheckerInputName = "_tessimar_check_input";
inline constexpr const char* kCheckerAnswerName = "_tessimar_check_answer";

struct CheckerRequest {
    std::string checker;      // absolute path
    std::string scratch_dir;  // absolute: the checker's working directory
    int scratch_fd = -1;      // the same directory, open
    std::string output_name;  // the program's captured standard output, in the scratch directory
    std::string python_path;
    RunLimits limits;         // the run's own; confinement is dropped
};

CheckResult run_checker(const CheckerRequest& request, const MemFile& input, const MemFile& answer);

// What a finished checker's outcome means (separate for testing).
CheckResult checker_result(const PhaseOutcome& outcome, const RunLimits& limits);

}  // namespace tessimar
