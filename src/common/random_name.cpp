#include "common/random_name.hpp"

#include <sys/random.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "common/fd.hpp"

namespace tessimar {

std::string random_hex() {
    static std::uint64_t counter = 0;
    std::uint64_t bits = 0;
    if (retry_eintr([&] { return getrandom(&bits, sizeof bits, GRND_NONBLOCK); }) != sizeof bits)
        bits = static_cast<std::uint64_t>(getpid()) << 32 ^ ++counter;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(bits));
    return hex;
}

}  // namespace tessimar
