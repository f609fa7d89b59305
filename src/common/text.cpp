#include "common/text.hpp"

#include <cstring>
#include <limits>

namespace tessimar {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

// Length of the well-formed sequence starting at `i`, or 0 when the bytes there
// are ill-formed; `bad` is then the length of the maximal subpart to replace.
std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t& bad) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    bad = 1;
    if (b0 < 0x80) return 1;
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) {
            bad = k;
            return 0;
        }
        const unsigned char b = byte(i + k);
        const unsigned char l = (k == 1) ? lo : 0x80;
        const unsigned char h = (k == 1) ? hi : 0xBF;
        if (b < l || b > h) {
            bad = k;
            return 0;
        }
    }
    return need + 1;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    std::size_t i = 0, bad = 0;
    while (i < bytes.size()) {
        const std::size_t n = sequence_length(bytes, i, bad);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0, bad = 0;
    while (i < bytes.size()) {
        const std::size_t n = sequence_length(bytes, i, bad);
        if (n == 0) {
            out += kReplacement;
            i += bad;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string os_error_text(int errnum) {
    char buf[256];
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (kMax - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::string join_path(std::string_view base, std::string_view component) {
    if (!component.empty() && component.front() == '/') return std::string(component);
    if (base.empty()) return std::string(component);
    std::string out(base);
    if (out.back() != '/') out += '/';
    out += component;
    return out;
}

std::string replace_all(std::string_view text, std::string_view needle, std::string_view value) {
    std::string out;
    std::size_t pos = 0;
    while (true) {
        const std::size_t hit = text.find(needle, pos);
        if (hit == std::string_view::npos) break;
        out.append(text.substr(pos, hit - pos));
        out.append(value);
        pos = hit + needle.size();
    }
    out.append(text.substr(pos));
    return out;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

void split_parent(const std::string& path, std::string& parent, std::string& name) {
    std::string_view trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
    const std::size_t slash = trimmed.rfind('/');
    if (slash == std::string_view::npos) {
        parent.assign(1, '.');
        name = std::string(trimmed);
        return;
    }
    parent = slash == 0 ? std::string("/") : std::string(trimmed.substr(0, slash));
    name = std::string(trimmed.substr(slash + 1));
}

std::vector<std::string> split_colons(std::string_view list) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (true) {
        const std::size_t colon = list.find(':', start);
        out.emplace_back(list.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start));
        if (colon == std::string_view::npos) return out;
        start = colon + 1;
    }
}

}  // namespace tessimar
