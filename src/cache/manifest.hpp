// The manifest of a build cache entry: its key and, in the order they are
// restored (a directory before what it holds), every directory and file
// stored, each file with its size and SHA-256. Pure text handling; an entry
// is used only when every file it restores matches its line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessimar {

// Limits of what one entry holds: a compile leaves a program or a few files.
inline constexpr std::size_t kMaxManifestItems = 4096;
inline constexpr std::size_t kMaxManifestDepth = 32;
inline constexpr std::size_t kMaxManifestBytes = std::size_t{1} << 20;

struct ManifestItem {
    bool dir = false;
    std::uint32_t mode = 0;  // permission bits (at most 0777) the compile gave it
    std::uint64_t size = 0;  // files only
    std::string sha256;      // files only: 64 lower-case hexadecimal digits
    std::string path;        // relative, components joined by '/'
};

struct Manifest {
    std::string key;
    std::vector<ManifestItem> items;
};

// Whether `name` may be a component of a stored path: 1 to 255 bytes of
// letters, digits, '.', '_', '+' and '-', and neither "." nor "..".
bool storable_name(std::string_view name);

// Whether `text` is 64 lower-case hexadecimal digits (a key, a digest).
bool is_hex_digest(std::string_view text);

std::string manifest_text(const Manifest& manifest);

// Nullopt for anything manifest_text would not write: an unknown first
// line, a bad key or digest, a path with a bad component, deeper than
// kMaxManifestDepth, listed twice or under a directory not listed before
// it, or more than kMaxManifestItems items.
std::optional<Manifest> parse_manifest(std::string_view text);

}  // namespace tessimar
