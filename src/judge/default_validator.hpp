// The problem package format's default output validator: the output and
// the answer compared token by token, as the format defines it.
//
//  - Tokens are split by runs of space, tab, line feed, carriage return,
//    vertical tab and form feed; their numbers must agree.
//  - Letters compare without regard to ASCII case unless case_sensitive.
//  - space_change_sensitive: every run of whitespace, leading and trailing
//    ones included, must be the answer's, byte for byte.
//  - With a float tolerance set, an answer token that is a decimal number
//    (sign, digits with an optional point, optional exponent; integers
//    included) takes any number within the absolute tolerance
//    (|out - ans| <= abs) or the relative one (|out - ans| <= rel * |ans|);
//    either suffices. An output token there that is no number is wrong.
//    Without a tolerance such tokens compare as text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/check_result.hpp"
#include "common/result.hpp"

namespace tessimar {

struct DefaultValidatorFlags {
    bool case_sensitive = false;
    bool space_change_sensitive = false;
    std::optional<double> float_absolute_tolerance;
    std::optional<double> float_relative_tolerance;
};

// The validator's flag words as the format writes them ("case_sensitive",
// "space_change_sensitive", "float_relative_tolerance", "1e-6",
// "float_absolute_tolerance", "1e-6", "float_tolerance", "1e-6"). An unknown
// word, a missing or bad number (not a finite, non-negative decimal), a
// tolerance given twice, or float_tolerance beside another tolerance is an
// error naming it.
Result<DefaultValidatorFlags> parse_default_validator_flags(const std::vector<std::string>& words);

// Passed, or WrongAnswer with the first difference in a message of at most
// 1 KiB of valid UTF-8. Memory beyond the two texts stays constant.
CheckResult default_validate(std::string_view answer, std::string_view output, const DefaultValidatorFlags& flags);

}  // namespace tessimar
