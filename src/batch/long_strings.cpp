#include "batch/long_strings.hpp"

#include <cstdint>
#include <cstring>

#include "common/text.hpp"

namespace tessimar {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits of a \u escape at `p`; -1 when they are not.
long hex4(std::string_view s, std::size_t p) {
    if (p + 4 > s.size()) return -1;
    long v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const int d = hex_digit(s[p + i]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

// The length of the well-formed UTF-8 sequence at `p` (lead byte 0x80 or
// above), or 0 (the Unicode Standard's table 3-7).
std::size_t utf8_length(std::string_view s, std::size_t p) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[p + i]); };
    const auto in = [&](std::size_t i, unsigned lo, unsigned hi) { return p + i < s.size() && at(i) >= lo && at(i) <= hi; };
    const unsigned c = at(0);
    if (c >= 0xC2 && c <= 0xDF) return in(1, 0x80, 0xBF) ? 2 : 0;
    if (c == 0xE0) return in(1, 0xA0, 0xBF) && in(2, 0x80, 0xBF) ? 3 : 0;
    if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) return in(1, 0x80, 0xBF) && in(2, 0x80, 0xBF) ? 3 : 0;
    if (c == 0xED) return in(1, 0x80, 0x9F) && in(2, 0x80, 0xBF) ? 3 : 0;
    if (c == 0xF0) return in(1, 0x90, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
    if (c >= 0xF1 && c <= 0xF3) return in(1, 0x80, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
    if (c == 0xF4) return in(1, 0x80, 0x8F) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
    return 0;
}

// The offset of the quote that closes the string opened at `open`, or npos.
std::size_t closing_quote(const std::string& line, std::size_t open) {
    for (std::size_t i = open + 1; i < line.size(); ++i) {
        if (line[i] == '\\') ++i;
        else if (line[i] == '"') return i;
    }
    return std::string::npos;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

std::optional<std::string> decode_json_string(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == '"') return std::nullopt;
        if (c >= 0x80) {
            const std::size_t n = utf8_length(s, i);
            if (n == 0) return std::nullopt;
            out.append(s.data() + i, n);
            i += n;
            continue;
        }
        if (c != '\\') {
            // A run of plain ASCII at once.
            std::size_t j = i + 1;
            while (j < s.size()) {
                const unsigned char d = static_cast<unsigned char>(s[j]);
                if (d < 0x20 || d >= 0x80 || d == '\\' || d == '"') break;
                ++j;
            }
            out.append(s.data() + i, j - i);
            i = j;
            continue;
        }
        if (i + 1 >= s.size()) return std::nullopt;
        const char e = s[i + 1];
        i += 2;
        switch (e) {
            case '"': out += '"'; continue;
            case '\\': out += '\\'; continue;
            case '/': out += '/'; continue;
            case 'b': out += '\b'; continue;
            case 'f': out += '\f'; continue;
            case 'n': out += '\n'; continue;
            case 'r': out += '\r'; continue;
            case 't': out += '\t'; continue;
            case 'u': break;
            default: return std::nullopt;
        }
        const long first = hex4(s, i);
        if (first < 0 || (first >= 0xDC00 && first <= 0xDFFF)) return std::nullopt;
        i += 4;
        std::uint32_t cp = static_cast<std::uint32_t>(first);
        if (first >= 0xD800 && first <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i] != '\\' || s[i + 1] != 'u') return std::nullopt;
            const long second = hex4(s, i + 2);
            if (second < 0xDC00 || second > 0xDFFF) return std::nullopt;
            i += 6;
            cp = 0x10000 + ((static_cast<std::uint32_t>(first) - 0xD800) << 10) +
                 (static_cast<std::uint32_t>(second) - 0xDC00);
        }
        append_utf8(out, cp);
    }
    return out;
}

TakenStrings take_long_strings(std::string& line, std::size_t min_length) {
    TakenStrings taken;
    std::size_t r = 0, w = 0;  // read and write offsets: the line shrinks in place
    int depth = 0;
    bool object = false;        // the top-level value is an object
    bool started = false;       // the top-level value has begun
    bool member_value = false;  // the next value at depth 1 is a member's
    std::size_t members = 0;
    const auto keep = [&](std::size_t n) {
        if (w != r) std::memmove(line.data() + w, line.data() + r, n);
        w += n;
        r += n;
    };
    while (r < line.size()) {
        const char c = line[r];
        if (c == '"') {
            const std::size_t close = closing_quote(line, r);
            if (close == std::string::npos) {
                keep(line.size() - r);
                break;
            }
            const std::size_t length = close - r - 1;
            if (object && depth == 1 && member_value && length >= min_length) {
                if (std::optional<std::string> text = decode_json_string(std::string_view(line).substr(r + 1, length))) {
                    taken.strings.push_back({members - 1, std::move(*text)});
                    line[w++] = '"';
                    line[w++] = '"';
                    taken.cuts.emplace_back(w, length);
                    r = close + 1;
                    member_value = false;
                    continue;
                }
            }
            member_value = false;
            keep(close + 1 - r);
            continue;
        }
        if (!is_space(c)) {
            member_value = c == ':' && depth == 1;
            if (member_value) ++members;
            if (c == '{' || c == '[') {
                if (depth == 0 && !started) object = c == '{';
                ++depth;
            } else if ((c == '}' || c == ']') && depth > 0) {
                --depth;
            }
            started = true;
        }
        keep(1);
    }
    line.resize(w);
    if (!taken.strings.empty()) line.shrink_to_fit();
    return taken;
}

std::size_t offset_before_taking(const TakenStrings& taken, std::size_t offset) {
    std::size_t before = offset;
    for (const auto& [at, length] : taken.cuts)
        if (at <= offset) before += length;
    return before;
}

}  // namespace tessimar
