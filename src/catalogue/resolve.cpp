#include "catalogue/resolve.hpp"

#include <locale.h>
#include <wctype.h>

#include <vector>

#include "catalogue/catalogue.hpp"
#include "common/text.hpp"

namespace tessimar {
namespace {

// Decodes valid UTF-8 (callers hold text, never raw bytes) into code points.
std::vector<char32_t> decode(std::string_view text) {
    const std::string valid = utf8_lossy(text);
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < valid.size();) {
        const unsigned char b = static_cast<unsigned char>(valid[i]);
        std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
        for (std::size_t k = 1; k < n; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(valid[i + k]) & 0x3F);
        out.push_back(cp);
        i += n;
    }
    return out;
}

bool is_unicode_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 ||
           cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

locale_t utf8_locale() {
    static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return loc;
}

}  // namespace

std::string trim_unicode_space(std::string_view text) {
    const std::vector<char32_t> cps = decode(text);
    std::size_t begin = 0, end = cps.size();
    while (begin < end && is_unicode_space(cps[begin])) ++begin;
    while (end > begin && is_unicode_space(cps[end - 1])) --end;
    std::string out;
    for (std::size_t i = begin; i < end; ++i) append_utf8(out, cps[i]);
    return out;
}

std::string unicode_lower(std::string_view text) {
    std::string out;
    for (const char32_t cp : decode(text)) {
        if (cp < 0x80) {
            append_utf8(out, cp >= 'A' && cp <= 'Z' ? cp + 32 : cp);
        } else if (cp == 0x0130) {
            // The full mapping of LATIN CAPITAL LETTER I WITH DOT ABOVE is two
            // code points; the C library only knows the single-character one.
            append_utf8(out, U'i');
            append_utf8(out, 0x0307);
        } else {
            char32_t lower = cp;
            if (const locale_t loc = utf8_locale(); loc != static_cast<locale_t>(0))
                lower = static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), loc));
            append_utf8(out, lower);
        }
    }
    return out;
}

Result<LanguageSpec> resolve_language(std::string_view text) {
    const std::string key = unicode_lower(trim_unicode_space(text));
    for (const LanguageSpec& row : catalogue())
        if (row.name == key) return row;
    for (const auto& [alias, target] : language_aliases()) {
        if (alias != key) continue;
        for (const LanguageSpec& row : catalogue())
            if (row.name == target) return row;
    }
    return Error{"unknown language '" + std::string(text) + "'. Available: " +
                 catalogue_names_joined()};
}

}  // namespace tessimar
