// The long string values of a request line's top-level members, taken out
// of the line before the line is parsed: each is decoded into a string of
// its own and its place in the line becomes "", so that the parse never
// holds it again (a JSON parser keeps a string's token and its decoded
// text while it reads it). Pure functions; no processes, no files.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessimar {

struct LongString {
    std::size_t member = 0;  // the member's place among the object's members, from 0
    std::string text;        // the decoded value
};

struct TakenStrings {
    std::vector<LongString> strings;
    // Where the line was shortened: the offset just after each "" left in
    // place, and the bytes taken out there.
    std::vector<std::pair<std::size_t, std::size_t>> cuts;
};

// Takes every string value of at least `min_length` bytes (as written)
// that is a member of the line's top-level object out of `line`, in place.
// A value that is not a valid JSON string is left where it is, for the
// parser to report; so is everything of a line that is not an object.
TakenStrings take_long_strings(std::string& line, std::size_t min_length);

// The offset in the line as it was before `take_long_strings` of an offset
// in the shortened line.
std::size_t offset_before_taking(const TakenStrings& taken, std::size_t offset);

// The text of a JSON string's contents (between its quotes), with the
// acceptance rules of the parser: escapes as in RFC 8259, surrogates only in
// pairs, no control characters, well-formed UTF-8. Nullopt when invalid.
std::optional<std::string> decode_json_string(std::string_view contents);

}  // namespace tessimar
