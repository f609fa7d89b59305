#include "judge/compare.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

#include "common/text.hpp"

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
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i], ignore_case) != fold(b[i], ignore_case)) return false;
    return true;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

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

CheckResult compare_exact(std::string_view exp, std::string_view out, bool ignore_case) {
    std::size_t i = 0;
    std::size_t line = 1;
    while (i < exp.size() && i < out.size() && fold(exp[i], ignore_case) == fold(out[i], ignore_case)) {
        if (out[i] == '\n') ++line;
        ++i;
    }
    if (i == exp.size() && i == out.size()) return passed();
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

// Walks the whitespace-separated tokens of a text, knowing the line of each
// and its place in that line.
class TokenReader {
public:
    explicit TokenReader(std::string_view text) : text_(text) {}
    bool next(std::string_view& token) {
        while (pos_ < text_.size() && is_space(text_[pos_])) {
            if (text_[pos_] == '\n') {
                ++line_;
                in_line_ = 0;
            }
            ++pos_;
        }
        if (pos_ == text_.size()) return false;
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !is_space(text_[pos_])) ++pos_;
        token = text_.substr(start, pos_ - start);
        ++count_;
        ++in_line_;
        return true;
    }
    std::size_t count() const { return count_; }
    std::string where() const {
        return "line " + std::to_string(line_) + ", token " + std::to_string(in_line_) + ": ";
    }
    // The count once every remaining token is read.
    std::size_t total() {
        std::string_view t;
        while (next(t)) {
        }
        return count_;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t count_ = 0, line_ = 1, in_line_ = 0;
};

// Within the tolerance, absolute or relative, with the rounding slack.
bool close_enough(double expected, double got, double eps) {
    const double diff = std::fabs(got - expected);
    return diff <= eps + kRoundingSlack || diff <= (eps + kRoundingSlack) * std::fabs(expected);
}

std::optional<std::string> token_difference(std::string_view exp, std::string_view out, const JudgeSettings& s) {
    if (s.mode == CheckMode::Floats) {
        if (const std::optional<double> e = parse_decimal(exp)) {
            const std::optional<double> o = parse_decimal(out);
            if (!o) return "expected the number " + quote_bytes(exp) + ", got " + quote_bytes(out);
            if (close_enough(*e, *o, s.tolerance)) return std::nullopt;
            return "expected " + quote_bytes(exp) + ", got " + quote_bytes(out) + " (difference " +
                   number_text(std::fabs(*o - *e)) + ", tolerance " + number_text(s.tolerance) + ")";
        }
    }
    if (same(exp, out, s.ignore_case)) return std::nullopt;
    return "expected " + quote_bytes(exp) + ", got " + quote_bytes(out);
}

CheckResult compare_tokens(std::string_view exp, std::string_view out, const JudgeSettings& s) {
    TokenReader re(exp), ro(out);
    std::string_view a, b;
    while (true) {
        const bool has_a = re.next(a);
        const bool has_b = ro.next(b);
        if (!has_a && !has_b) return passed();
        if (has_a && has_b) {
            if (std::optional<std::string> d = token_difference(a, b, s)) return wrong(ro.where() + *d);
            continue;
        }
        if (has_a) {
            const std::size_t got = ro.count();
            const std::size_t n = re.count();
            return wrong("token " + std::to_string(n) + ": expected " + quote_bytes(a) +
                         ", but the output ends after " + std::to_string(got) + " tokens (the answer has " +
                         std::to_string(re.total()) + ")");
        }
        const std::string where = ro.where();
        const std::size_t answer = re.count();
        return wrong(where + "expected the end of the output, got " + quote_bytes(b) + " (the output has " +
                     std::to_string(ro.total()) + " tokens, the answer " + std::to_string(answer) + ")");
    }
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
    switch (s.mode) {
        case CheckMode::Exact: return compare_exact(expected, output, s.ignore_case);
        case CheckMode::Lines: return compare_lines(expected, output, s.ignore_case);
        case CheckMode::Tokens:
        case CheckMode::Floats: break;
    }
    return compare_tokens(expected, output, s);
}

}  // namespace tessimar
