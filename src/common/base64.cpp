#include "common/base64.hpp"

#include <cstdint>

namespace tessimar {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of an alphabet character, or -1.
int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                                static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                                static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 0) return out;
    std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
    return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        // Padding only in the last group: "xx==" or "xxx=".
        std::size_t pad = 0;
        if (last && text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
        int s[4] = {0, 0, 0, 0};
        for (std::size_t k = 0; k < 4 - pad; ++k)
            if ((s[k] = sextet(text[i + k])) < 0) return std::nullopt;
        const std::uint32_t v = static_cast<std::uint32_t>(s[0]) << 18 | static_cast<std::uint32_t>(s[1]) << 12 |
                                static_cast<std::uint32_t>(s[2]) << 6 | static_cast<std::uint32_t>(s[3]);
        out += static_cast<char>(v >> 16);
        if (pad == 2) {
            if ((v & 0xFFFF) != 0) return std::nullopt;  // bits the encoder never sets
        } else {
            out += static_cast<char>((v >> 8) & 0xFF);
            if (pad == 1) {
                if ((v & 0xFF) != 0) return std::nullopt;
            } else {
                out += static_cast<char>(v & 0xFF);
            }
        }
    }
    return out;
}

}  // namespace tessimar
