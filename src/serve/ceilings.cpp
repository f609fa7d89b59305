#include "serve/ceilings.hpp"

#include "common/text.hpp"

namespace tessimar {
namespace {

std::string with_unit(std::uint64_t value, const char* unit) { return std::to_string(value) + " " + unit; }

// 0 stands for "no limit" in these: the largest of all.
std::uint64_t unlimited_as_max(std::uint64_t v) { return v == 0 ? UINT64_MAX : v; }

std::uint64_t compile_limit(const RequestLimits& l) { return l.compile_ms != 0 ? l.compile_ms : l.wall_ms; }

}  // namespace

std::optional<std::string> exceeds_ceilings(const RequestLimits& server, const RequestLimits& request) {
    const auto path_key = [](const char* key) {
        return std::string("'") + key + "' names a path on the server, which requests over HTTP cannot use";
    };
    if (request.workdir != server.workdir) return path_key("workdir");
    if (request.cases != server.cases) return path_key("cases");
    if (request.checker != server.checker) return path_key("checker");
    if (request.interactor != server.interactor) return path_key("interactor");
    if (request.problem != server.problem) return path_key("problem");
    if (server.contain && !request.contain)
        return std::string("'contain': false is refused: the service runs every program with --contain");
    if (server.no_net && !request.no_net)
        return std::string("'no_net': false is refused: the service runs every program with --no-net");
    const auto over = [](const char* keys, const std::string& asked, const std::string& limit) {
        return std::string(keys) + " asks for " + asked + ", more than the service's limit of " + limit;
    };
    if (request.wall_ms > server.wall_ms)
        return over("'timeout'/'timeout_ms'", with_unit(request.wall_ms, "ms"), with_unit(server.wall_ms, "ms"));
    if (compile_limit(request) > compile_limit(server))
        return over("'compile_timeout'/'compile_timeout_ms'", with_unit(compile_limit(request), "ms"),
                    with_unit(compile_limit(server), "ms"));
    if (request.cpu_secs > server.cpu_secs)
        return over("'max_cpu'", with_unit(request.cpu_secs, "s"), with_unit(server.cpu_secs, "s"));
    if (unlimited_as_max(request.memory_mb) > unlimited_as_max(server.memory_mb))
        return over("'max_memory_mb'", request.memory_mb == 0 ? "no limit" : with_unit(request.memory_mb, "MiB"),
                    with_unit(server.memory_mb, "MiB"));
    if (unlimited_as_max(request.data_mb) > unlimited_as_max(server.data_mb))
        return over("'max_data_mb'", request.data_mb == 0 ? "no limit" : with_unit(request.data_mb, "MiB"),
                    with_unit(server.data_mb, "MiB"));
    if (request.output_kb > server.output_kb)
        return over("'max_output_kb'", with_unit(request.output_kb, "KiB"), with_unit(server.output_kb, "KiB"));
    if (request.transcript_kb > server.transcript_kb)
        return over("'transcript_kb'", with_unit(request.transcript_kb, "KiB"),
                    server.transcript_kb == 0 ? std::string("none") : with_unit(server.transcript_kb, "KiB"));
    return std::nullopt;
}

std::uint64_t start_budget_ms(const RequestLimits& request) {
    return sat_add(sat_add(request.compile_ms, request.wall_ms), 10000);
}

}  // namespace tessimar
