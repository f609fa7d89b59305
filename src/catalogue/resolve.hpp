// Which catalogue row a --lang text means.
#pragma once

#include <string>
#include <string_view>

#include "catalogue/language_spec.hpp"
#include "common/result.hpp"

namespace tessimar {

// Removes Unicode White_Space characters from both ends of UTF-8 text.
std::string trim_unicode_space(std::string_view text);

// Unicode lower-case mapping of UTF-8 text.
std::string unicode_lower(std::string_view text);

// The row for the text, or the unknown-language message (which quotes the
// text exactly as given).
Result<LanguageSpec> resolve_language(std::string_view text);

}  // namespace tessimar
