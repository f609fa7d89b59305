// utf8_lossy and is_valid_utf8 against a decoder written independently: the
// longest prefix of a well-formed sequence is found from the range of code
// points that the bytes seen so far can still lead to.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/text.hpp"
#include "fuzz_support.hpp"

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Number of bytes that a lead byte announces (2..4), or 0 when it is not the
// lead of any multi-byte form. Lead bytes of overlong forms (C0, C1) and of
// values above U+10FFFF (F5..FF) are excluded by the range test below, not here.
int announced_length(unsigned char b) {
    if ((b & 0xE0) == 0xC0) return 2;
    if ((b & 0xF0) == 0xE0) return 3;
    if ((b & 0xF8) == 0xF0) return 4;
    return 0;
}

// Whether some code point in [lo, hi] is a scalar value that needs exactly
// `n` bytes.
bool range_has_scalar(std::uint32_t lo, std::uint32_t hi, int n) {
    std::uint32_t min = 0, max = 0;
    switch (n) {
        case 2: min = 0x80; max = 0x7FF; break;
        case 3: min = 0x800; max = 0xFFFF; break;
        default: min = 0x10000; max = 0x10FFFF; break;
    }
    if (lo < min) lo = min;
    if (hi > max) hi = max;
    if (lo > hi) return false;
    // Everything left may be surrogates only.
    if (lo >= 0xD800 && hi <= 0xDFFF) return false;
    return true;
}

// Length of the longest prefix of bytes[i..] that can start a well-formed
// sequence of the announced length, given `k` bytes of it.
bool prefix_possible(std::string_view s, std::size_t i, int n, int k) {
    std::uint32_t value = static_cast<unsigned char>(s[i]) & (0x7F >> n);
    for (int j = 1; j < k; ++j) {
        const unsigned char c = static_cast<unsigned char>(s[i + j]);
        if ((c & 0xC0) != 0x80) return false;
        value = (value << 6) | (c & 0x3F);
    }
    const int missing_bits = 6 * (n - k);
    const std::uint32_t lo = value << missing_bits;
    const std::uint32_t hi = lo | ((1u << missing_bits) - 1);
    return range_has_scalar(lo, hi, n);
}

std::string reference_lossy(std::string_view s, bool& valid) {
    std::string out;
    valid = true;
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        const int n = announced_length(b);
        int k = 0;  // longest possible prefix length
        if (n != 0) {
            for (int len = 1; len <= n && i + len <= s.size(); ++len) {
                if (!prefix_possible(s, i, n, len)) break;
                k = len;
            }
        }
        if (n != 0 && k == n) {
            out.append(s.substr(i, static_cast<std::size_t>(n)));
            i += static_cast<std::size_t>(n);
        } else {
            valid = false;
            out += kReplacement;
            i += k == 0 ? 1 : static_cast<std::size_t>(k);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    bool ref_valid = false;
    const std::string expected = reference_lossy(input, ref_valid);
    const std::string lossy = tessimar::utf8_lossy(input);
    const bool valid = tessimar::is_valid_utf8(input);

    FUZZ_CHECK(valid == ref_valid);
    FUZZ_CHECK(lossy == expected);
    FUZZ_CHECK(tessimar::is_valid_utf8(lossy));
    if (valid) FUZZ_CHECK(lossy == input);
    else FUZZ_CHECK(lossy.find(kReplacement) != std::string::npos);
    // Decoding text is the identity.
    FUZZ_CHECK(tessimar::utf8_lossy(lossy) == lossy);
    // Each input byte yields at most one replacement (3 bytes).
    FUZZ_CHECK(lossy.size() <= 3 * input.size());
    // The display form of a path is the same decoding.
    FUZZ_CHECK(tessimar::display_path(input) == lossy);
    return 0;
}
