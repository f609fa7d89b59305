#include "judge/default_validator.hpp"

#include <charconv>
#include <cmath>

#include "common/text.hpp"
#include "judge/compare.hpp"
#include "judge/judge_settings.hpp"

namespace tessimar {
namespace {

// An error of exactly the tolerance passes although the decimal values are
// rounded to binary ("0.300001" against "0.3" at 1e-6), as in --check floats.
constexpr double kRoundingSlack = 1e-15;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_text(std::string_view a, std::string_view b, bool case_sensitive) {
    if (a.size() != b.size()) return false;
    if (case_sensitive) return a == b;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::string number_text(double v) {
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

// One text read from the front: whitespace runs and tokens in turn, with
// the line and the token within it of the last token taken.
class Tokens {
public:
    explicit Tokens(std::string_view text) : text_(text) {}

    std::string_view space() {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && is_space(text_[pos_]))
            if (text_[pos_++] == '\n') {
                ++line_;
                in_line_ = 0;
            }
        return text_.substr(start, pos_ - start);
    }
    bool at_end() const { return pos_ == text_.size(); }
    std::string_view token() {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !is_space(text_[pos_])) ++pos_;
        ++taken_;
        ++in_line_;
        return text_.substr(start, pos_ - start);
    }
    // The tokens from here to the end, counted without keeping them.
    std::size_t remaining() const {
        Tokens rest = *this;
        std::size_t n = 0;
        while (rest.space(), !rest.at_end()) {
            rest.token();
            ++n;
        }
        return n;
    }
    std::size_t taken() const { return taken_; }
    std::string place() const {
        return "line " + std::to_string(line_) + ", token " + std::to_string(in_line_ + 1) + ": ";
    }
    std::string place_of_last() const {
        return "line " + std::to_string(line_) + ", token " + std::to_string(in_line_) + ": ";
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
    std::size_t in_line_ = 0;
    std::size_t taken_ = 0;
};

std::string tolerance_text(const DefaultValidatorFlags& f) {
    std::string t;
    if (f.float_absolute_tolerance) t = "absolute tolerance " + number_text(*f.float_absolute_tolerance);
    if (f.float_relative_tolerance)
        t += (t.empty() ? "" : ", ") + std::string("relative tolerance ") + number_text(*f.float_relative_tolerance);
    return t;
}

// Why `out` does not stand for `ans`; nullopt when it does.
std::optional<std::string> token_difference(std::string_view ans, std::string_view out,
                                            const DefaultValidatorFlags& f) {
    if (same_text(ans, out, f.case_sensitive)) return std::nullopt;
    if (f.float_absolute_tolerance || f.float_relative_tolerance) {
        if (const std::optional<double> a = parse_decimal(ans)) {
            const std::optional<double> s = parse_decimal(out);
            if (!s) return "expected the number " + quote_bytes(ans) + ", got " + quote_bytes(out);
            const double diff = std::fabs(*s - *a);
            if (f.float_absolute_tolerance && diff <= *f.float_absolute_tolerance + kRoundingSlack)
                return std::nullopt;
            if (f.float_relative_tolerance && diff <= (*f.float_relative_tolerance + kRoundingSlack) * std::fabs(*a))
                return std::nullopt;
            return "expected " + quote_bytes(ans) + ", got " + quote_bytes(out) + " (difference " +
                   number_text(diff) + ", " + tolerance_text(f) + ")";
        }
    }
    return "expected " + quote_bytes(ans) + ", got " + quote_bytes(out);
}

CheckResult wrong(const std::string& message) {
    return CheckResult{CheckVerdict::WrongAnswer, bounded_message(message), std::nullopt};
}

}  // namespace

Result<DefaultValidatorFlags> parse_default_validator_flags(const std::vector<std::string>& words) {
    DefaultValidatorFlags f;
    bool both_given = false;  // float_tolerance
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "case_sensitive") {
            f.case_sensitive = true;
            continue;
        }
        if (w == "space_change_sensitive") {
            f.space_change_sensitive = true;
            continue;
        }
        const bool absolute = w == "float_absolute_tolerance", relative = w == "float_relative_tolerance";
        const bool both = w == "float_tolerance";
        if (!absolute && !relative && !both)
            return Error{"unknown default validator flag '" + utf8_lossy(w) +
                         "': use case_sensitive, space_change_sensitive, float_tolerance, "
                         "float_absolute_tolerance or float_relative_tolerance"};
        if (i + 1 == words.size()) return Error{"default validator flag '" + utf8_lossy(w) + "' needs a number after it"};
        const std::string& value = words[++i];
        const std::optional<double> eps = parse_decimal(value);
        if (!eps || value.front() == '-')
            return Error{"invalid value '" + utf8_lossy(value) + "' of default validator flag '" + utf8_lossy(w) +
                         "': a finite, non-negative decimal number is needed"};
        if (both_given || (both && (f.float_absolute_tolerance || f.float_relative_tolerance)) ||
            (absolute && f.float_absolute_tolerance) || (relative && f.float_relative_tolerance))
            return Error{"default validator flag '" + utf8_lossy(w) +
                         "' repeats a tolerance: give each tolerance once, and float_tolerance only alone"};
        if (absolute || both) f.float_absolute_tolerance = *eps;
        if (relative || both) f.float_relative_tolerance = *eps;
        both_given = both;
    }
    return f;
}

CheckResult default_validate(std::string_view answer, std::string_view output, const DefaultValidatorFlags& f) {
    Tokens ans(answer), out(output);
    while (true) {
        const std::string_view ans_space = ans.space();
        const std::string_view out_space = out.space();
        if (f.space_change_sensitive && ans_space != out_space)
            return wrong(out.place() + "expected the whitespace " + quote_bytes(ans_space) + ", got " +
                         quote_bytes(out_space) + " (space_change_sensitive)");
        if (ans.at_end() || out.at_end()) break;
        const std::string_view a = ans.token();
        const std::string_view o = out.token();
        if (std::optional<std::string> d = token_difference(a, o, f)) return wrong(out.place_of_last() + *d);
    }
    if (ans.at_end() && out.at_end()) return CheckResult{CheckVerdict::Passed, std::nullopt, std::nullopt};
    const std::size_t pairs = out.taken();
    if (out.at_end()) {
        const std::size_t total = pairs + ans.remaining();
        const std::string_view next = ans.token();
        return wrong("token " + std::to_string(pairs + 1) + ": expected " + quote_bytes(next) +
                     ", but the output ends after " + std::to_string(pairs) + " tokens (the answer has " +
                     std::to_string(total) + ")");
    }
    const std::size_t total = pairs + out.remaining();
    const std::string where = out.place();
    const std::string_view extra = out.token();
    return wrong(where + "expected the end of the output, got " + quote_bytes(extra) + " (the output has " +
                 std::to_string(total) + " tokens, the answer " + std::to_string(pairs) + ")");
}

}  // namespace tessimar
