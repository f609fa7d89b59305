// The fixed table of 32 languages, in catalogue order, and the alias table.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "catalogue/language_spec.hpp"

namespace tessimar {

const std::vector<LanguageSpec>& catalogue();

// (alias, catalogue name) pairs.
const std::vector<std::pair<std::string_view, std::string_view>>& language_aliases();

// The 32 names joined with ", ", as the unknown-language message lists them.
std::string catalogue_names_joined();

}  // namespace tessimar
