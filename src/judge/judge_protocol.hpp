// How a problem's own judging program (a checker, or an interactor) is
// called and read. Two conventions:
//
//  - testlib: `PROGRAM INPUT OUTPUT ANSWER [ARG ...]`. Exit 0 passes; 1 is a
//    wrong answer, 2 a presentation error, 4 extra output and 8 an
//    unexpected end of file, all wrong answers; 7 gives points: the message
//    starts "points X" with X in [0, 1], the case's score; X = 1 passes,
//    less is a wrong answer with that score. 3 and anything else fail.
//  - kattis: `PROGRAM INPUT ANSWER FEEDBACK_DIR/ [ARG ...]`, the output on
//    its standard input. Exit 42 passes, 43 is a wrong answer, anything else
//    (0 included) fails. Its message is FEEDBACK_DIR/judgemessage.txt; an
//    accepting one's FEEDBACK_DIR/score.txt, when it wrote one, is the
//    case's score.
//
// A signal, a start failure or running past the timeout always fails.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/check_result.hpp"
#include "common/dir_identity.hpp"
#include "common/fd.hpp"
#include "common/phase_outcome.hpp"
#include "common/result.hpp"
#include "common/run_limits.hpp"

namespace tessimar {

enum class JudgeProtocol { Testlib, Kattis };

inline constexpr int kKattisAccepted = 42;
inline constexpr int kKattisWrongAnswer = 43;
inline constexpr int kTestlibPoints = 7;

// "testlib" or "kattis", exactly; nullopt for anything else.
std::optional<JudgeProtocol> parse_judge_protocol(std::string_view name);

// What a checker or interactor said: its judge message when it wrote one,
// else its standard error, trimmed at the end; empty when it said nothing.
std::string judge_program_message(const PhaseOutcome& outcome, const std::optional<std::string>& judge_message);

// What a finished judging program's outcome means under `protocol`.
// `limits` names the timeout in its message; `judge_message` (the feedback
// directory's judgemessage.txt, when there is one) is preferred to the
// program's standard error as the message; `who` is "checker" or
// "interactor". Pure: no files, no processes.
CheckResult judge_program_result(JudgeProtocol protocol, const PhaseOutcome& outcome, const RunLimits& limits,
                                 const std::optional<std::string>& judge_message, std::string_view who);

// `result` with the score an accepting kattis program left in `feedback`;
// a bad score.txt turns it into a failure naming the file. Any other
// result is returned as it is.
class FeedbackDir;
CheckResult with_feedback_score(CheckResult result, const FeedbackDir& feedback);

// The kattis feedback directory of one judging program: a fresh directory
// (mode 0700) named "_tessimar_feedback_…" in the scratch directory,
// removed with everything in it when the owner goes. What the program
// wrote there is read and removed without following a link.
class FeedbackDir {
public:
    // `scratch_fd` is the scratch directory open at `scratch_dir` (an
    // absolute path); it is duplicated, so the caller may close it.
    static Result<FeedbackDir> create(int scratch_fd, const std::string& scratch_dir);

    FeedbackDir(FeedbackDir&& other) noexcept;
    FeedbackDir& operator=(FeedbackDir&&) = delete;
    FeedbackDir(const FeedbackDir&) = delete;
    FeedbackDir& operator=(const FeedbackDir&) = delete;
    ~FeedbackDir();

    // Absolute, with a trailing slash: the argument the program is given.
    const std::string& path() const { return path_; }

    // judgemessage.txt, trimmed at its end and cut to 1 KiB of valid UTF-8;
    // nullopt when it is missing, empty, not a regular file or unreadable.
    std::optional<std::string> judge_message() const;

    // score.txt: a finite decimal, whitespace around it allowed; nullopt
    // when there is none. Anything else there (a link, not a regular file,
    // more than 256 bytes, not such a number) is an error naming the file.
    Result<std::optional<double>> score() const;

private:
    FeedbackDir(UniqueFd parent, UniqueFd dir, std::string name, std::string path, DirIdentity identity);

    UniqueFd parent_;  // the scratch directory
    UniqueFd dir_;
    std::string name_;
    std::string path_;
    DirIdentity identity_;
};

}  // namespace tessimar
