// expand_template against a character-level model of the three passes, plus
// the structural invariants of the expansion.
//
// Input layout: byte 0 picks the mode; the rest is split at 0xFF into the
// argument and the three values (file, exe, work).
//   mode even: raw bytes everywhere.
//   mode odd:  the argument is read as tokens: bytes 0x01, 0x02, 0x03 stand
//              for {file}, {exe}, {work}; braces in literal text and in the
//              values are dropped, so the expected result is known exactly.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "catalogue/template.hpp"
#include "fuzz_support.hpp"

namespace {

// One pass: every non-overlapping occurrence, leftmost first. Written as a
// plain index walk so it shares nothing with the code under test.
std::string model_pass(const std::string& text, const std::string& needle,
                       const std::string& value, std::size_t& count) {
    std::string out;
    count = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        bool match = i + needle.size() <= text.size();
        for (std::size_t k = 0; match && k < needle.size(); ++k) match = text[i + k] == needle[k];
        if (match) {
            out += value;
            i += needle.size();
            ++count;
        } else {
            out += text[i];
            ++i;
        }
    }
    return out;
}

bool has_placeholder(std::string_view s) {
    return s.find("{file}") != std::string_view::npos || s.find("{exe}") != std::string_view::npos ||
           s.find("{work}") != std::string_view::npos;
}

std::string without_braces(std::string_view s) {
    std::string out;
    for (const char c : s)
        if (c != '{' && c != '}') out += c;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool tokens = (data[0] & 1) != 0;
    std::array<std::string, 4> part;  // argument, file, exe, work
    std::size_t which = 0;
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0xFF && which < 3) {
            ++which;
            continue;
        }
        part[which] += static_cast<char>(data[i]);
    }

    if (!tokens) {
        const std::string& arg = part[0];
        const std::string out = tessimar::expand_template(arg, part[1], part[2], part[3]);
        std::size_t n_file = 0, n_exe = 0, n_work = 0;
        std::string expected = model_pass(arg, "{file}", part[1], n_file);
        expected = model_pass(expected, "{exe}", part[2], n_exe);
        expected = model_pass(expected, "{work}", part[3], n_work);
        FUZZ_CHECK(out == expected);
        // Each replacement changes the length by the value's length minus the
        // placeholder's.
        const auto delta = [](std::size_t count, std::size_t value, std::size_t key) {
            return static_cast<long long>(count) * (static_cast<long long>(value) - static_cast<long long>(key));
        };
        FUZZ_CHECK(static_cast<long long>(out.size()) ==
                   static_cast<long long>(arg.size()) + delta(n_file, part[1].size(), 6) +
                       delta(n_exe, part[2].size(), 5) + delta(n_work, part[3].size(), 6));
        // Nothing to replace leaves the argument as it was.
        if (!has_placeholder(arg)) FUZZ_CHECK(out == arg);
        // Without braces anywhere there is nothing to replace at all.
        if (arg.find('{') == std::string::npos) FUZZ_CHECK(out == arg);
        return 0;
    }

    // Token mode: placeholders only where the tokens say, no other braces.
    const std::string file = without_braces(part[1]);
    const std::string exe = without_braces(part[2]);
    const std::string work = without_braces(part[3]);
    std::string arg, expected;
    std::size_t placeholders = 0;
    for (const char c : part[0]) {
        switch (c) {
            case '\x01': arg += "{file}"; expected += file; ++placeholders; break;
            case '\x02': arg += "{exe}"; expected += exe; ++placeholders; break;
            case '\x03': arg += "{work}"; expected += work; ++placeholders; break;
            case '{': case '}': break;
            default: arg += c; expected += c; break;
        }
    }
    const std::string out = tessimar::expand_template(arg, file, exe, work);
    FUZZ_CHECK(out == expected);
    FUZZ_CHECK(!has_placeholder(out));
    FUZZ_CHECK(out.find('{') == std::string::npos && out.find('}') == std::string::npos);
    FUZZ_CHECK(out.size() + 6 * placeholders >= arg.size());
    return 0;
}
