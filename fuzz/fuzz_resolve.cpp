// resolve_language, trim_unicode_space and unicode_lower on arbitrary bytes,
// checked against the language and alias tables written out here and a
// separate list of the Unicode White_Space characters.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalogue/catalogue.hpp"
#include "catalogue/resolve.hpp"
#include "common/text.hpp"
#include "fuzz_support.hpp"

namespace {

constexpr std::string_view kNames[] = {
    "python3", "node",   "bun",     "deno",   "typescript", "ruby",    "php",   "perl",
    "lua",     "tcl",    "r",       "elixir", "erlang",     "bash",    "zsh",   "mojo",
    "swift",   "c",      "cpp",     "c++",    "rust",       "go",      "fortran", "zig",
    "java",    "kotlin", "csharp",  "gleam",  "haskell",    "sqlite",  "jq",    "awk"};

constexpr std::pair<std::string_view, std::string_view> kAliases[] = {
    {"python", "python3"}, {"py", "python3"},   {"python3.14", "python3"},
    {"python3.12", "python3"}, {"js", "node"},  {"javascript", "node"},
    {"nodejs", "node"},    {"ts", "typescript"}, {"cxx", "c++"},
    {"rscript", "r"},      {"sh", "bash"},      {"shell", "bash"},
    {"cs", "csharp"},      {"c#", "csharp"},    {"dotnet", "csharp"},
    {"ghc", "haskell"},    {"hs", "haskell"}};

std::string joined_names() {
    std::string out;
    for (const std::string_view n : kNames) {
        if (!out.empty()) out += ", ";
        out += n;
    }
    return out;
}

// The catalogue name a lower-cased, trimmed key means, or empty.
std::string_view model_lookup(std::string_view key) {
    for (const std::string_view n : kNames)
        if (n == key) return n;
    for (const auto& [alias, target] : kAliases)
        if (alias == key) return target;
    return {};
}

bool white_space(char32_t c) {
    // PropList.txt, White_Space.
    static constexpr char32_t kList[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,
                                         0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002,
                                         0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                                         0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F,
                                         0x3000};
    return std::find(std::begin(kList), std::end(kList), c) != std::end(kList);
}

// Code points of valid UTF-8 text, with the byte offset where each starts.
std::vector<std::pair<char32_t, std::size_t>> code_points(std::string_view s) {
    std::vector<std::pair<char32_t, std::size_t>> out;
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        const int n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        char32_t c = n == 1 ? b : (b & (0x7F >> n));
        for (int k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out.emplace_back(c, i);
        i += static_cast<std::size_t>(n);
    }
    return out;
}

std::string model_trim(std::string_view text) {
    const auto cps = code_points(text);
    std::size_t b = 0, e = cps.size();
    while (b < e && white_space(cps[b].first)) ++b;
    while (e > b && white_space(cps[e - 1].first)) --e;
    if (b == e) return {};
    const std::size_t from = cps[b].second;
    const std::size_t to = e == cps.size() ? text.size() : cps[e].second;
    return std::string(text.substr(from, to - from));
}

bool ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string text = tessimar::utf8_lossy(input);

    // Trimming.
    const std::string trimmed = tessimar::trim_unicode_space(input);
    FUZZ_CHECK(tessimar::is_valid_utf8(trimmed));
    FUZZ_CHECK(trimmed == model_trim(text));
    FUZZ_CHECK(tessimar::trim_unicode_space(trimmed) == trimmed);
    FUZZ_CHECK(text.find(trimmed) != std::string::npos);

    // Lower-casing.
    const std::string lower = tessimar::unicode_lower(input);
    FUZZ_CHECK(tessimar::is_valid_utf8(lower));
    const auto in_cps = code_points(text);
    const auto out_cps = code_points(lower);
    std::size_t dotted = 0;  // U+0130 lower-cases to two code points
    for (const auto& [c, at] : in_cps) dotted += c == 0x0130;
    FUZZ_CHECK(out_cps.size() == in_cps.size() + dotted);
    for (std::size_t i = 0, j = 0; i < in_cps.size(); ++i, ++j) {
        const char32_t c = in_cps[i].first;
        const char32_t l = out_cps[j].first;
        if (c < 0x80) FUZZ_CHECK(l == ((c >= 'A' && c <= 'Z') ? c + 32 : c));
        if (c == 0x0130) {
            FUZZ_CHECK(l == U'i' && out_cps[j + 1].first == 0x0307);
            ++j;
        }
        FUZZ_CHECK(!(l >= 0xD800 && l <= 0xDFFF) && l <= 0x10FFFF);
    }
    if (ascii(text)) {
        std::string expected = text;
        for (char& c : expected)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        FUZZ_CHECK(lower == expected);
    }
    FUZZ_CHECK(tessimar::unicode_lower(lower) == lower);

    // Resolving.
    const auto resolved = tessimar::resolve_language(input);
    const std::string key = tessimar::unicode_lower(trimmed);
    const std::string_view expected_name = model_lookup(key);
    if (resolved.ok()) {
        const std::string& name = resolved.value().name;
        FUZZ_CHECK(std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames));
        FUZZ_CHECK(name == expected_name);
        bool in_catalogue = false;
        for (const auto& row : tessimar::catalogue()) {
            if (row.name != name) continue;
            in_catalogue = true;
            FUZZ_CHECK(row.extension == resolved.value().extension);
            FUZZ_CHECK(row.run_template == resolved.value().run_template);
            FUZZ_CHECK(row.compile_template == resolved.value().compile_template);
        }
        FUZZ_CHECK(in_catalogue);
    } else {
        FUZZ_CHECK(expected_name.empty());
        FUZZ_CHECK(resolved.error() ==
                   "unknown language '" + std::string(input) + "'. Available: " + joined_names());
    }
    // An ASCII text resolves exactly as the tables say after ASCII trimming.
    if (ascii(text)) {
        std::string core = text;
        const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
        while (!core.empty() && space(core.front())) core.erase(core.begin());
        while (!core.empty() && space(core.back())) core.pop_back();
        for (char& c : core)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        FUZZ_CHECK(resolved.ok() == !model_lookup(core).empty());
    }
    return 0;
}
