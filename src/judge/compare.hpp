// The comparison modes: a program's output against the expected answer,
// both as bytes. Each says whether the output passes and, when it does not,
// where the first difference is.
#pragma once

#include <string>
#include <string_view>

#include "common/check_result.hpp"
#include "judge/judge_settings.hpp"

namespace tessimar {

inline constexpr std::size_t kMaxCheckMessage = 1024;

// Passed, or WrongAnswer with a message of at most kMaxCheckMessage bytes of
// valid UTF-8. Memory beyond the two texts stays constant.
CheckResult compare_output(std::string_view expected, std::string_view output, const JudgeSettings& settings);

// A piece of output in a message: at most a few dozen bytes, valid UTF-8,
// quoted, with quotes and control characters escaped.
std::string quote_bytes(std::string_view bytes);

// Cut to kMaxCheckMessage bytes without splitting a UTF-8 sequence; the
// text is made valid UTF-8 first.
std::string bounded_message(std::string_view text);

}  // namespace tessimar
