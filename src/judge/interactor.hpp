// Interactive judging: the program talks to an interactor, the problem
// author's program, which reads the case's input and answer and decides.
// The interactor is trusted like a checker: not confined, no data limit,
// ended with all it started when the case ends.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/check_result.hpp"
#include "common/phase_outcome.hpp"
#include "judge/judge.hpp"
#include "judge/judge_settings.hpp"
#include "phase/exchange.hpp"
#include "phase/launch.hpp"
#include "report/run_report.hpp"

namespace tessimar {

// The names of the interactor's files in the scratch directory; its own
// standard error is the phase file "interactor.err".
inline constexpr const char* kInteractorPhase = "interactor";
inline constexpr const char* kInteractorInputName = "_tessimar_interactor_input";
inline constexpr const char* kInteractorAnswerName = "_tessimar_interactor_answer";
inline constexpr const char* kInteractorOutputName = "_tessimar_interactor_output";

// The most of an exchange a transcript keeps, whatever --transcript-kb asks:
// the runner holds it in memory.
inline constexpr std::uint64_t kMaxTranscriptBytes = std::uint64_t{64} << 20;

struct InteractiveRun {
    ExchangeOutcome exchange;
    CheckResult interactor;  // what the interactor's end means, protocol applied
    std::optional<std::string> message;  // the interactor's own message
    bool failed_to_start = false;        // the exchange could not be set up
};

// Runs one exchange. `program` is the run phase's request (its standard
// input unused); `judged` holds the case's input and answer.
InteractiveRun run_interactive(const JudgeSettings& settings, PhaseRequest program, const JudgeCase& judged,
                               const std::string& scratch_dir, const std::string& python_path);

// Judges an exchange in `report`, the program's run report built from
// exchange.program, in this order, the first that applies deciding:
//   1. the interactor failed (crashed, was killed by a signal the runner did
//      not send, overstayed, or said so by its status): "FAIL";
//   2. the interactor ended first with a wrong answer: "WA";
//   3. the program's own verdict when it is not "OK" (a program killed by
//      SIGPIPE after the interactor ended is left to the interactor);
//   4. the interactor's verdict; when it accepts, `check_output` (when
//      given: a checker of the interactor's output) has the last word.
// Adds "interactor", and "transcript" with "transcript_truncated" when a
// relay kept one; "stdout_bytes" is what the program sent, or null.
void judge_exchange(Json& report, const InteractiveRun& run, const std::function<CheckResult()>& check_output);

// A checker's judgement of what an accepting interactor wrote to its output
// file (the contest protocol's practice), with the case's input and answer.
CheckResult check_interactor_output(const JudgeSettings& settings, const JudgeCase& judged,
                                    const std::string& scratch_dir, const std::string& python_path,
                                    const RunLimits& limits);

}  // namespace tessimar
