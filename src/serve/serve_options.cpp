#include "serve/serve_options.hpp"

#include <arpa/inet.h>

#include "batch/batch_options.hpp"
#include "common/option_names.hpp"
#include "common/text.hpp"

namespace tessimar {
namespace {

bool is_serve_option(std::string_view a) {
    return a == "--serve" || a == "--jobs" || a == "--queue" || a == "--max-request-mb";
}

bool is_address(const std::string& host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// A whole number from `low` to `high`, or the message naming the option.
Result<std::uint64_t> bounded(const std::string& option, const std::string& value, std::uint64_t low,
                              std::uint64_t high, const char* unit) {
    const auto n = parse_u64(value);
    if (n && *n >= low && *n <= high) return *n;
    return Error{option + " must be a whole number" + unit + " from " + std::to_string(low) + " to " +
                 std::to_string(high) + ", not '" + utf8_lossy(value) + "'"};
}

}  // namespace

Result<std::pair<std::string, std::uint16_t>> parse_listen_address(const std::string& text) {
    const auto bad = [&](const std::string& why) {
        return Error{"--serve '" + utf8_lossy(text) + "': " + why};
    };
    std::string host = "127.0.0.1";
    std::string port = text;
    if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        if (!is_address(host)) return bad("the host must be an IPv4 address or a bracketed IPv6 address");
    }
    const auto n = parse_u64(port);
    if (!n || *n > 65535 || port.empty() || port[0] == '+')
        return bad("the port must be a whole number from 0 to 65535 (0: any free port)");
    return std::pair<std::string, std::uint16_t>(host, static_cast<std::uint16_t>(*n));
}

std::optional<Result<ServeOptions>> scan_serve_options(const std::vector<std::string>& args) {
    ServeOptions o;
    bool serve = false;
    std::optional<Error> error;
    const auto keep = [&](Result<std::uint64_t> r, auto apply) {
        if (r) apply(r.value());
        else if (!error) error = Error{r.error()};
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool own = is_serve_option(a);
        if (!own && !is_value_option(a)) {
            if (a == "--batch" && !error) error = Error{"--serve and --batch cannot be given together"};
            o.defaults.push_back(a);
            continue;
        }
        if (i + 1 >= args.size()) {
            if (a == "--serve") serve = true;
            if (own && !error) error = Error{a + " needs a value"};
            break;
        }
        const std::string& v = args[++i];
        if (a == "--serve") {
            serve = true;
            Result<std::pair<std::string, std::uint16_t>> address = parse_listen_address(v);
            if (!address) {
                if (!error) error = Error{address.error()};
            } else {
                o.host = address.value().first;
                o.port = address.value().second;
            }
        } else if (a == "--jobs") {
            keep(bounded(a, v, 1, kMaxJobs, ""), [&](std::uint64_t n) { o.jobs = static_cast<unsigned>(n); });
        } else if (a == "--queue") {
            keep(bounded(a, v, 0, kMaxQueue, ""), [&](std::uint64_t n) { o.queue = static_cast<std::size_t>(n); });
        } else if (a == "--max-request-mb") {
            keep(bounded(a, v, 1, kMaxRequestMbLimit, " of MiB"), [&](std::uint64_t n) { o.max_request_mb = n; });
        } else {
            o.defaults.push_back(a);
            o.defaults.push_back(v);
        }
    }
    if (!serve) return std::nullopt;
    if (error) return Result<ServeOptions>(std::move(*error));
    return Result<ServeOptions>(std::move(o));
}

}  // namespace tessimar
