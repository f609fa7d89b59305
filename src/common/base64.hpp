// Base64 with the standard alphabet and padding (RFC 4648, section 4).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessimar {

// The padded encoding of `bytes`.
std::string base64_encode(std::string_view bytes);

// The bytes of a padded encoding. Strict: nullopt for a character outside
// the alphabet (line breaks and spaces included), a length that is not a
// multiple of 4, padding anywhere but at the end, and a last group whose
// unused bits are not zero (so every byte string has one encoding).
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace tessimar
