#include "cache/manifest.hpp"

#include <set>

#include "common/text.hpp"

namespace tessimar {
namespace {

constexpr std::string_view kFirstLine = "tessimar-exec build cache entry 1";

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (true) {
        const std::size_t at = text.find(sep, start);
        if (at == std::string_view::npos) {
            out.push_back(text.substr(start));
            return out;
        }
        out.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

std::optional<std::uint32_t> parse_mode(std::string_view text) {
    if (text.size() != 4 || text[0] != '0') return std::nullopt;
    std::uint32_t mode = 0;
    for (const char c : text.substr(1)) {
        if (c < '0' || c > '7') return std::nullopt;
        mode = mode * 8 + static_cast<std::uint32_t>(c - '0');
    }
    return mode;
}

std::string mode_text(std::uint32_t mode) {
    std::string out = "0";
    for (int shift = 6; shift >= 0; shift -= 3) out += static_cast<char>('0' + ((mode >> shift) & 7));
    return out;
}

}  // namespace

bool storable_name(std::string_view name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '+' || c == '-';
        if (!ok) return false;
    }
    return true;
}

bool is_hex_digest(std::string_view text) {
    if (text.size() != 64) return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string manifest_text(const Manifest& m) {
    std::string out = std::string(kFirstLine) + "\nkey " + m.key + "\n";
    for (const ManifestItem& item : m.items) {
        if (item.dir)
            out += "d " + mode_text(item.mode) + " " + item.path + "\n";
        else
            out += "f " + mode_text(item.mode) + " " + std::to_string(item.size) + " " + item.sha256 + " " +
                   item.path + "\n";
    }
    return out;
}

std::optional<Manifest> parse_manifest(std::string_view text) {
    if (text.empty() || text.back() != '\n') return std::nullopt;
    text.remove_suffix(1);
    const std::vector<std::string_view> lines = split(text, '\n');
    if (lines.size() < 2 || lines[0] != kFirstLine) return std::nullopt;
    if (lines[1].substr(0, 4) != "key " || !is_hex_digest(lines[1].substr(4))) return std::nullopt;
    if (lines.size() - 2 > kMaxManifestItems) return std::nullopt;
    Manifest m;
    m.key = std::string(lines[1].substr(4));
    std::set<std::string_view> dirs, seen;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const std::vector<std::string_view> f = split(lines[i], ' ');
        ManifestItem item;
        std::string_view path;
        if (f.size() == 3 && f[0] == "d") {
            item.dir = true;
            path = f[2];
        } else if (f.size() == 5 && f[0] == "f") {
            const std::optional<std::uint64_t> size = parse_u64(f[2]);
            if (!size || f[2].front() == '+' || !is_hex_digest(f[3])) return std::nullopt;
            item.size = *size;
            item.sha256 = std::string(f[3]);
            path = f[4];
        } else {
            return std::nullopt;
        }
        const std::optional<std::uint32_t> mode = parse_mode(f[1]);
        if (!mode) return std::nullopt;
        item.mode = *mode;
        const std::vector<std::string_view> parts = split(path, '/');
        if (parts.size() > kMaxManifestDepth) return std::nullopt;
        for (const std::string_view part : parts)
            if (!storable_name(part)) return std::nullopt;
        const std::size_t slash = path.rfind('/');
        if (slash != std::string_view::npos && dirs.count(path.substr(0, slash)) == 0) return std::nullopt;
        if (!seen.insert(path).second) return std::nullopt;
        if (item.dir) dirs.insert(path);
        item.path = std::string(path);
        m.items.push_back(std::move(item));
    }
    return m;
}

}  // namespace tessimar
