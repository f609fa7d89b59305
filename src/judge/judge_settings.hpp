// How a run's output is judged: a comparison mode or a checker program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "judge/default_validator.hpp"
#include "judge/judge_protocol.hpp"

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
    JudgeProtocol protocol = JudgeProtocol::Testlib;  // how the checker is called and read
    std::vector<std::string> judge_args;  // after the protocol's own arguments, in order
    // Set: the output is compared by the package format's default output
    // validator with these flags, in place of `mode`.
    std::optional<DefaultValidatorFlags> default_validator;
};

// The options as given on the command line, before they are checked.
struct JudgeOptions {
    std::optional<std::string> check;
    std::optional<std::string> float_tolerance;
    bool ignore_case = false;
    std::optional<std::string> checker;
    std::optional<std::string> interactor;
    std::optional<std::uint64_t> transcript_kb;
    std::optional<std::string> judge_protocol;
    std::vector<std::string> judge_args;  // every --judge-arg, in order
};

// A finite decimal number: optional sign, digits with an optional fraction
// (or a fraction alone), an optional exponent. Locale-independent.
std::optional<double> parse_decimal(std::string_view token);

// Every value checked; a bad one is an error naming the option and the value.
Result<JudgeSettings> make_judge_settings(const JudgeOptions& options);

}  // namespace tessimar
