// What judging made of one run's output.
#pragma once

#include <optional>
#include <string>

namespace tessimar {

enum class CheckVerdict {
    NotChecked,     // judged, but the run's own verdict was not "OK"
    Passed,
    WrongAnswer,    // "WA"
    CheckerFailed,  // "FAIL": the checker, or the runner's own reading, failed
};

struct CheckResult {
    CheckVerdict verdict = CheckVerdict::NotChecked;
    std::optional<std::string> message;  // at most 1 KiB of valid UTF-8
    // A checker's `points X` (testlib exit 7: X in [0, 1]) or a kattis
    // validator's score.txt when it accepts; none otherwise.
    std::optional<double> score = std::nullopt;
};

}  // namespace tessimar
