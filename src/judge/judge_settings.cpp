#include "judge/judge_settings.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdint>

#include "common/fd.hpp"
#include "common/text.hpp"

namespace tessimar {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The decimal form checked in one pass, with what the fast conversion needs.
struct DecimalForm {
    bool valid = false;
    bool negative = false;
    std::uint64_t mantissa = 0;  // the significant digits, when there are at most 15
    int significant = 0;         // digits from the first non-zero one
    long long exponent = 0;      // of the last digit: value = mantissa * 10^exponent
};

DecimalForm scan_decimal(std::string_view s) {
    DecimalForm f;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) f.negative = s[i++] == '-';
    std::size_t digits = 0;
    const auto digit = [&](char c, bool fraction) {
        ++digits;
        if (f.significant > 0 || c != '0') {
            if (++f.significant <= 15) f.mantissa = f.mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            else if (!fraction) ++f.exponent;  // dropped digit of the integer part
        }
        if (fraction && f.significant <= 15) --f.exponent;
    };
    while (i < s.size() && is_digit(s[i])) digit(s[i++], false);
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) digit(s[i++], true);
    }
    if (digits == 0) return f;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool negative_exponent = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative_exponent = s[i++] == '-';
        const std::size_t first = i;
        long long e = 0;
        while (i < s.size() && is_digit(s[i])) {
            if (e < 1000000) e = e * 10 + (s[i] - '0');
            ++i;
        }
        if (i == first) return f;
        f.exponent += negative_exponent ? -e : e;
    }
    f.valid = i == s.size();
    return f;
}

Result<std::string> checked_executable(const std::string& path, const char* option) {
    const auto checker_error = [&](const std::string& p, const std::string& reason) {
        return Error{std::string("cannot use ") + option + " " + display_path(p) + ": " + reason};
    };
    // A checker or an interactor runs in the scratch directory.
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
    const DecimalForm f = scan_decimal(token);
    if (!f.valid) return std::nullopt;
    // At most 15 significant digits and a power of ten that is exact as a
    // double: one rounded multiplication or division gives the correctly
    // rounded value, the same as the full conversion below.
    if (f.significant <= 15 && f.exponent >= -22 && f.exponent <= 22) {
        const double m = static_cast<double>(f.mantissa);
        const double v = f.exponent >= 0 ? m * kPowersOfTen[f.exponent] : m / kPowersOfTen[-f.exponent];
        return f.negative ? -v : v;
    }
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
    if (o.judge_protocol) {
        const std::optional<JudgeProtocol> protocol = parse_judge_protocol(*o.judge_protocol);
        if (!protocol)
            return Error{"unknown --judge-protocol '" + utf8_lossy(*o.judge_protocol) + "': use testlib or kattis"};
        s.protocol = *protocol;
    }
    s.judge_args = o.judge_args;
    if (o.checker) {
        Result<std::string> path = checked_executable(*o.checker, "--checker");
        if (!path) return Error{path.error()};
        s.checker = std::move(path.value());
    }
    if (o.interactor) {
        Result<std::string> path = checked_executable(*o.interactor, "--interactor");
        if (!path) return Error{path.error()};
        s.interactor = std::move(path.value());
    }
    s.transcript_kb = o.transcript_kb;
    // The package format's interactor decides alone: it has no checker.
    if (s.interactor && s.checker && s.protocol == JudgeProtocol::Kattis)
        return Error{"--checker cannot be used with --interactor under --judge-protocol kattis: the interactor "
                     "decides alone"};
    return s;
}

}  // namespace tessimar
