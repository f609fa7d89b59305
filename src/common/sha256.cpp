#include "common/sha256.hpp"

// The one-call digest interface (EVP) of the library pulls its provider and
// configuration machinery, and with it dlopen and the resolver, into a
// static runner; the plain SHA-256 functions are one object file.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <new>

namespace tessimar {
namespace {

static_assert(sizeof(SHA256_CTX) <= 128, "the context must fit the room kept for it");

SHA256_CTX* context(unsigned char* state) { return std::launder(reinterpret_cast<SHA256_CTX*>(state)); }

}  // namespace

Sha256::Sha256() { SHA256_Init(new (state_) SHA256_CTX); }

void Sha256::update(const void* data, std::size_t size) {
    if (size > 0) SHA256_Update(context(state_), data, size);
}

std::string Sha256::hex_digest() {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256_Final(digest, context(state_));
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * sizeof digest);
    for (const unsigned char b : digest) {
        out += kHex[b >> 4];
        out += kHex[b & 0x0F];
    }
    return out;
}

std::string sha256_hex(std::string_view bytes) {
    Sha256 h;
    h.update(bytes);
    return h.hex_digest();
}

}  // namespace tessimar
