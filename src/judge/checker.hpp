// A checker program, run after the program with the runner's environment
// and limits but without the program's confinement, called and read by its
// judge protocol (judge_protocol.hpp): `CHECKER INPUT OUTPUT ANSWER [ARG ...]`
// for testlib, `CHECKER INPUT ANSWER FEEDBACK_DIR/ [ARG ...] < OUTPUT` for
// kattis.
#pragma once

#include <string>
#include <vector>

#include "common/check_result.hpp"
#include "common/phase_outcome.hpp"
#include "common/run_limits.hpp"
#include "judge/judge_protocol.hpp"
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
    JudgeProtocol protocol = JudgeProtocol::Testlib;
    std::vector<std::string> args;  // --judge-arg values, after the protocol's own
    std::string output;  // kattis: the program's output, the checker's standard input
};

// Takes the request by value: a kattis checker's input is let go once it
// is written to the phase's file.
CheckResult run_checker(CheckerRequest request, const MemFile& input, const MemFile& answer);

// What a finished testlib checker's outcome means.
CheckResult checker_result(const PhaseOutcome& outcome, const RunLimits& limits);

}  // namespace tessimar
