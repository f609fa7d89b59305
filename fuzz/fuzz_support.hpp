// Small helpers shared by the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// A failed invariant aborts, so libFuzzer records the input as a crash.
#define FUZZ_CHECK(cond)                                                          \
    do {                                                                          \
        if (!(cond)) {                                                            \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__,       \
                         __LINE__, #cond);                                        \
            std::abort();                                                         \
        }                                                                         \
    } while (0)

namespace fuzzsupport {

// Printable form of arbitrary bytes for failure messages.
inline std::string escaped(std::string_view bytes) {
    std::string out;
    char buf[8];
    for (const unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace fuzzsupport
