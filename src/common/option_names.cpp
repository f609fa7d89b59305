#include "common/option_names.hpp"

namespace tessimar {

bool is_value_option(std::string_view a) {
    static constexpr std::string_view kValueOptions[] = {
        "--lang",       "--timeout", "--max-cpu", "--max-memory-mb", "--max-output-kb", "--max-data-mb",
        "--stdin",      "--stdin-file", "--workdir", "--cases",
        "--expect-file", "--check", "--float-tolerance", "--checker",
    };
    for (const std::string_view name : kValueOptions)
        if (a == name) return true;
    return false;
}

}  // namespace tessimar
