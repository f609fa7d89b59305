// The command line of the HTTP service: --serve [HOST:]PORT, --jobs N,
// --queue N, --max-request-mb N, and the run options that become every
// request's defaults and ceilings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.hpp"

namespace tessimar {

struct ServeOptions {
    std::string host = "127.0.0.1";  // an IPv4 or IPv6 address literal
    std::uint16_t port = 0;          // 0: a free port, chosen by the system
    unsigned jobs = 0;               // 0: the CPUs this process may use
    std::size_t queue = 1024;        // requests that may wait for a free job
    std::uint64_t max_request_mb = 64;
    // The run options in their order, without a value option left dangling
    // at the end.
    std::vector<std::string> defaults;
};

inline constexpr std::size_t kMaxQueue = 1048576;
inline constexpr std::uint64_t kMaxRequestMbLimit = 4096;

// Nullopt when the arguments do not ask for the service (no "--serve" in an
// option position); an error for a command line that cannot be used.
std::optional<Result<ServeOptions>> scan_serve_options(const std::vector<std::string>& args);

// "[HOST:]PORT" as host and port; IPv6 hosts in brackets ("[::1]:8080").
Result<std::pair<std::string, std::uint16_t>> parse_listen_address(const std::string& text);

}  // namespace tessimar
