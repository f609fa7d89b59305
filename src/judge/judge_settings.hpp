// How a run's output is judged: a comparison mode or a checker program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace tessimar {

enum class CheckMode { Exact, Lines, Tokens, Floats };

struct JudgeSettings {
    CheckMode mode = CheckMode::Tokens;
    double tolerance = 1e-6;
    bool ignore_case = false;
    std::optional<std::string> checker;  // an absolute path, checked executable
    // --interactor: an absolute path, checked executable. The program then
    // talks to it instead of reading its input and writing its output.
    std::optional<std::string> interactor;
    std::optional<std::uint64_t> transcript_kb;  // --transcript-kb: the exchange goes through a relay
};

// The options as given on the command line, before they are checked.
struct JudgeOptions {
    std::optional<std::string> check;
    std::optional<std::string> float_tolerance;
    bool ignore_case = false;
    std::optional<std::string> checker;
    std::optional<std::string> interactor;
    std::optional<std::uint64_t> transcript_kb;
};

// A finite decimal number: optional sign, digits with an optional fraction
// (or a fraction alone), an optional exponent. Locale-independent.
std::optional<double> parse_decimal(std::string_view token);

// Every value checked; a bad one is an error naming the option and the value.
Result<JudgeSettings> make_judge_settings(const JudgeOptions& options);

}  // namespace tessimar
