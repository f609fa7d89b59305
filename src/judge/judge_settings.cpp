#include "judge/judge_settings.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cmath>

#include "common/fd.hpp"
#include "common/text.hpp"

namespace tessimar {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The length of the run of digits at `i`.
std::size_t digits_at(std::string_view s, std::size_t i) {
    std::size_t n = 0;
    while (i + n < s.size() && is_digit(s[i + n])) ++n;
    return n;
}

bool has_decimal_form(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const std::size_t whole = digits_at(s, i);
    i += whole;
    std::size_t fraction = 0;
    if (i < s.size() && s[i] == '.') {
        fraction = digits_at(s, i + 1);
        i += 1 + fraction;
    }
    if (whole == 0 && fraction == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        const std::size_t exponent = digits_at(s, i);
        if (exponent == 0) return false;
        i += exponent;
    }
    return i == s.size();
}

Error checker_error(const std::string& path, const std::string& reason) {
    return Error{"cannot use --checker " + display_path(path) + ": " + reason};
}

Result<std::string> checked_checker(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos)
        return checker_error(path, os_error_text(ENOENT));
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return checker_error(path, os_error_text(errno));
    if (!S_ISREG(st.st_mode)) return checker_error(path, "not a regular file");
    if (faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0)
        return checker_error(path, "not executable: " + os_error_text(errno));
    // The checker runs in the scratch directory: a relative path is made
    // absolute here.
    if (path.front() == '/') return path;
    const std::string cwd = current_dir();
    if (cwd.empty()) return checker_error(path, "the current directory cannot be read");
    return join_path(cwd, path);
}

}  // namespace

std::optional<double> parse_decimal(std::string_view token) {
    if (!has_decimal_form(token)) return std::nullopt;
    if (token.front() == '+') token.remove_prefix(1);  // from_chars takes no "+"
    double value = 0;
    const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (ec != std::errc() || end != token.data() + token.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

Result<JudgeSettings> make_judge_settings(const JudgeOptions& o) {
    JudgeSettings s;
    s.ignore_case = o.ignore_case;
    if (o.check) {
        const std::string& m = *o.check;
        if (m == "exact") s.mode = CheckMode::Exact;
        else if (m == "lines") s.mode = CheckMode::Lines;
        else if (m == "tokens") s.mode = CheckMode::Tokens;
        else if (m == "floats") s.mode = CheckMode::Floats;
        else return Error{"unknown --check mode '" + utf8_lossy(m) + "': use exact, lines, tokens or floats"};
    }
    if (o.float_tolerance) {
        const std::optional<double> eps = parse_decimal(*o.float_tolerance);
        if (!eps || *eps < 0 || o.float_tolerance->front() == '-')
            return Error{"invalid --float-tolerance '" + utf8_lossy(*o.float_tolerance) +
                         "': a finite, non-negative decimal number is needed"};
        s.tolerance = *eps;
    }
    if (o.checker) {
        Result<std::string> path = checked_checker(*o.checker);
        if (!path) return Error{path.error()};
        s.checker = std::move(path.value());
    }
    return s;
}

}  // namespace tessimar
