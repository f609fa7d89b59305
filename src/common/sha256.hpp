// SHA-256 digests, as lower-case hexadecimal text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessimar {

// An incremental digest: update any number of times, then take the result
// once.
class Sha256 {
public:
    Sha256();
    void update(const void* data, std::size_t size);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
    // The 64 hexadecimal digits of the digest of everything given so far.
    std::string hex_digest();

private:
    // Room for the library's context, which its header keeps to itself here.
    alignas(8) unsigned char state_[128];
};

std::string sha256_hex(std::string_view bytes);

}  // namespace tessimar
