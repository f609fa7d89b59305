#include "judge/compare.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "common/text.hpp"
#include "judge/default_validator.hpp"

namespace tessimar {
namespace {

constexpr std::size_t kQuotedBytes = 48;
// What contest checkers allow for binary rounding, so that an error of
// exactly the tolerance passes ("0.300001" against "0.3" at 1e-6).
constexpr double kRoundingSlack = 1e-15;

char fold(char c, bool ignore_case) {
    return ignore_case && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same(std::string_view a, std::string_view b, bool ignore_case) {
    if (a.size() != b.size()) return false;
    if (!ignore_case) return a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i], ignore_case) != fold(b[i], ignore_case)) return false;
    return true;
}

constexpr std::array<bool, 256> kSpaces = [] {
    std::array<bool, 256> t{};
    for (const unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) t[c] = true;
    return t;
}();

bool is_space(char c) { return kSpaces[static_cast<unsigned char>(c)]; }

std::string number_text(double v) {
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

CheckResult wrong(const std::string& message) {
    return CheckResult{CheckVerdict::WrongAnswer, bounded_message(message)};
}

CheckResult passed() { return CheckResult{CheckVerdict::Passed, std::nullopt}; }

// ---- exact

// Called only when the texts differ.
CheckResult compare_exact(std::string_view exp, std::string_view out, bool ignore_case) {
    std::size_t i = 0;
    std::size_t line = 1;
    while (i < exp.size() && i < out.size() && fold(exp[i], ignore_case) == fold(out[i], ignore_case)) {
        if (out[i] == '\n') ++line;
        ++i;
    }
    const std::string where = "byte " + std::to_string(i + 1) + " (line " + std::to_string(line) + "): ";
    if (i == out.size())
        return wrong(where + "expected " + quote_bytes(exp.substr(i)) + ", got the end of the output");
    if (i == exp.size())
        return wrong(where + "expected the end of the output, got " + quote_bytes(out.substr(i)));
    return wrong(where + "expected " + quote_bytes(exp.substr(i)) + ", got " + quote_bytes(out.substr(i)));
}

// ---- lines

// Walks a text line by line: line feeds split, a carriage return before one
// is dropped, trailing spaces and tabs are stripped.
class LineReader {
public:
    explicit LineReader(std::string_view text) : text_(text) {}
    bool next(std::string_view& line) {
        if (pos_ > text_.size() || (pos_ == text_.size() && ended_)) return false;
        const std::size_t nl = text_.find('\n', pos_);
        const std::size_t end = nl == std::string_view::npos ? text_.size() : nl;
        std::size_t stop = end;
        if (nl != std::string_view::npos && stop > pos_ && text_[stop - 1] == '\r') --stop;
        while (stop > pos_ && (text_[stop - 1] == ' ' || text_[stop - 1] == '\t')) --stop;
        line = text_.substr(pos_, stop - pos_);
        if (nl == std::string_view::npos) ended_ = true;
        pos_ = nl == std::string_view::npos ? text_.size() : nl + 1;
        return true;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    bool ended_ = false;
};

// The number of lines up to the last one that is not empty.
std::size_t counted_lines(std::string_view text) {
    LineReader r(text);
    std::string_view line;
    std::size_t n = 0, last = 0;
    while (r.next(line))
        if (++n, !line.empty()) last = n;
    return last;
}

CheckResult compare_lines(std::string_view exp, std::string_view out, bool ignore_case) {
    const std::size_t exp_lines = counted_lines(exp), out_lines = counted_lines(out);
    LineReader re(exp), ro(out);
    std::string_view a, b;
    for (std::size_t n = 1; n <= exp_lines && n <= out_lines; ++n) {
        re.next(a);
        ro.next(b);
        if (!same(a, b, ignore_case))
            return wrong("line " + std::to_string(n) + ": expected " + quote_bytes(a) + ", got " + quote_bytes(b));
    }
    if (exp_lines == out_lines) return passed();
    if (out_lines < exp_lines) {
        re.next(a);
        return wrong("line " + std::to_string(out_lines + 1) + ": expected " + quote_bytes(a) +
                     ", but the output ends after " + std::to_string(out_lines) + " lines (the answer has " +
                     std::to_string(exp_lines) + ")");
    }
    ro.next(b);
    return wrong("line " + std::to_string(exp_lines + 1) + ": expected the end of the output, got " +
                 quote_bytes(b) + " (the output has " + std::to_string(out_lines) + " lines, the answer " +
                 std::to_string(exp_lines) + ")");
}

// ---- tokens and floats

// The tokens of a text from `p` on.
std::size_t count_tokens(const char* p, const char* end) {
    std::size_t n = 0;
    while (true) {
        while (p != end && is_space(*p)) ++p;
        if (p == end) return n;
        ++n;
        while (p != end && !is_space(*p)) ++p;
    }
}

const char* token_end(const char* p, const char* end) {
    while (p != end && !is_space(*p)) ++p;
    return p;
}

// "line L, token T: " of the token that starts at `token` in `text`.
std::string token_place(std::string_view text, const char* token) {
    const std::size_t at = static_cast<std::size_t>(token - text.data());
    std::size_t line = 1, line_start = 0;
    for (std::size_t i = 0; i < at; ++i)
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    const std::size_t in_line = count_tokens(text.data() + line_start, token + 1);
    return "line " + std::to_string(line) + ", token " + std::to_string(in_line) + ": ";
}

// Within the tolerance, absolute or relative, with the rounding slack.
bool close_enough(double expected, double got, double eps) {
    const double diff = std::fabs(got - expected);
    return diff <= eps + kRoundingSlack || diff <= (eps + kRoundingSlack) * std::fabs(expected);
}

std::optional<std::string> token_difference(std::string_view exp, std::string_view out, const JudgeSettings& s) {
    if (same(exp, out, s.ignore_case)) return std::nullopt;  // equal text is an equal number too
    if (s.mode == CheckMode::Floats) {
        if (const std::optional<double> e = parse_decimal(exp)) {
            const std::optional<double> o = parse_decimal(out);
            if (!o) return "expected the number " + quote_bytes(exp) + ", got " + quote_bytes(out);
            if (close_enough(*e, *o, s.tolerance)) return std::nullopt;
            return "expected " + quote_bytes(exp) + ", got " + quote_bytes(out) + " (difference " +
                   number_text(std::fabs(*o - *e)) + ", tolerance " + number_text(s.tolerance) + ")";
        }
    }
    return "expected " + quote_bytes(exp) + ", got " + quote_bytes(out);
}

// Both texts walked in step: a token pair is compared while it is read, so
// equal tokens cost one pass; only differing ones are cut out whole.
CheckResult compare_tokens(std::string_view exp, std::string_view out, const JudgeSettings& s) {
    const char *a = exp.data(), *a_end = a + exp.size();
    const char *b = out.data(), *b_end = b + out.size();
    const bool ic = s.ignore_case;
    std::size_t pairs = 0;
    while (true) {
        while (a != a_end && is_space(*a)) ++a;
        while (b != b_end && is_space(*b)) ++b;
        if (a == a_end || b == b_end) break;
        const char *a_start = a, *b_start = b;
        while (a != a_end && b != b_end && !is_space(*a) && fold(*a, ic) == fold(*b, ic)) {
            ++a;
            ++b;
        }
        ++pairs;
        const bool a_done = a == a_end || is_space(*a);
        const bool b_done = b == b_end || is_space(*b);
        if (a_done && b_done) continue;
        a = token_end(a, a_end);
        b = token_end(b, b_end);
        const std::string_view ta(a_start, static_cast<std::size_t>(a - a_start));
        const std::string_view tb(b_start, static_cast<std::size_t>(b - b_start));
        if (std::optional<std::string> d = token_difference(ta, tb, s)) return wrong(token_place(out, b_start) + *d);
    }
    if (a == a_end && b == b_end) return passed();
    if (b == b_end) {
        const std::string_view ta(a, static_cast<std::size_t>(token_end(a, a_end) - a));
        return wrong("token " + std::to_string(pairs + 1) + ": expected " + quote_bytes(ta) +
                     ", but the output ends after " + std::to_string(pairs) + " tokens (the answer has " +
                     std::to_string(pairs + count_tokens(a, a_end)) + ")");
    }
    const std::string_view tb(b, static_cast<std::size_t>(token_end(b, b_end) - b));
    return wrong(token_place(out, b) + "expected the end of the output, got " + quote_bytes(tb) +
                 " (the output has " + std::to_string(pairs + count_tokens(b, b_end)) + " tokens, the answer " +
                 std::to_string(pairs) + ")");
}

}  // namespace

std::string quote_bytes(std::string_view bytes) {
    const bool cut = bytes.size() > kQuotedBytes;
    std::string text = utf8_lossy(bytes.substr(0, cut ? kQuotedBytes : bytes.size()));
    std::string q = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            q += '\\';
            q += c;
        } else if (c == '\n') {
            q += "\\n";
        } else if (c == '\r') {
            q += "\\r";
        } else if (c == '\t') {
            q += "\\t";
        } else if (u < 0x20 || u == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", u);
            q += buf;
        } else {
            q += c;
        }
    }
    q += cut ? "\"..." : "\"";
    return q;
}

std::string bounded_message(std::string_view text) {
    std::string valid = utf8_lossy(text);
    if (valid.size() <= kMaxCheckMessage) return valid;
    std::size_t end = kMaxCheckMessage;
    while (end > 0 && (static_cast<unsigned char>(valid[end]) & 0xC0) == 0x80) --end;
    valid.resize(end);
    return valid;
}

CheckResult compare_output(std::string_view expected, std::string_view output, const JudgeSettings& s) {
    if (s.default_validator) return default_validate(expected, output, *s.default_validator);
    // Equal bytes pass in every mode.
    if (same(expected, output, s.ignore_case)) return passed();
    switch (s.mode) {
        case CheckMode::Exact: return compare_exact(expected, output, s.ignore_case);
        case CheckMode::Lines: return compare_lines(expected, output, s.ignore_case);
        case CheckMode::Tokens:
        case CheckMode::Floats: break;
    }
    return compare_tokens(expected, output, s);
}

}  // namespace tessimar
