#include "common/option_names.hpp"

namespace tessimar {

bool is_value_option(std::string_view a) {
    for (const std::string_view name : value_option_names())
        if (a == name) return true;
    return false;
}

std::span<const std::string_view> value_option_names() {
    static constexpr std::string_view kValueOptions[] = {
        "--lang",          "--timeout",     "--timeout-ms",   "--compile-timeout", "--compile-timeout-ms",
        "--max-cpu",       "--max-memory-mb", "--max-output-kb", "--max-data-mb",  "--stdin",
        "--stdin-file",    "--workdir",     "--cases",        "--expect-file",     "--check",
        "--float-tolerance", "--checker", "--interactor", "--transcript-kb", "--judge-protocol", "--judge-arg",
        "--build-cache", "--build-cache-mb",
        "--files",         "--fetch",
    };
    return kValueOptions;
}

}  // namespace tessimar
