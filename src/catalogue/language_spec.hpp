// One row of the language catalogue.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/memory_profile.hpp"

namespace tessimar {

struct LanguageSpec {
    std::string name;
    std::string extension;
    std::vector<std::string> run_template;
    std::optional<std::vector<std::string>> compile_template;
    MemoryProfile memory;  // its figures under --max-data-mb (memory_figures.cpp)
};

}  // namespace tessimar
