// Text helpers shared by every subsystem: UTF-8 checks and lossy decoding,
// the display form of a path, the OS error text and the strict number rule.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <string_view>

namespace tessimar {

// True when the bytes are well-formed UTF-8 (no surrogates, no overlongs).
bool is_valid_utf8(std::string_view bytes);

// Decodes bytes as UTF-8, replacing each maximal ill-formed subpart by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// A path as it appears in messages and the report.
inline std::string display_path(std::string_view path) { return utf8_lossy(path); }

// "No such file or directory (os error 2)".
std::string os_error_text(int errnum);

// An unsigned decimal that fits 64 bits: an optional single "+", then one or
// more ASCII digits, nothing else.
std::optional<std::uint64_t> parse_u64(std::string_view text);

// Joins a relative component to a directory path with one separator; an
// absolute component replaces the base, an empty base yields the component.
std::string join_path(std::string_view base, std::string_view component);

// The directory part and the last component of a path ("/a/b" -> "/a", "b";
// "b" -> ".", "b"). Trailing slashes are ignored.
void split_parent(const std::string& path, std::string& parent, std::string& name);

// The entries of a colon-separated list (PATH and the like), empty ones
// included, in order.
std::vector<std::string> split_colons(std::string_view list);

// Replaces every occurrence of `needle` scanning left to right, without overlap.
std::string replace_all(std::string_view text, std::string_view needle, std::string_view value);

// Saturating arithmetic on unsigned 64-bit values.
// Appends the UTF-8 form of a code point (at most U+10FFFF).
void append_utf8(std::string& out, char32_t cp);

std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b);
std::uint64_t sat_add(std::uint64_t a, std::uint64_t b);

}  // namespace tessimar
