// Placeholder expansion of one command-template argument.
#pragma once

#include <string>
#include <string_view>

namespace tessimar {

// Replaces "{file}", then "{exe}", then "{work}", each pass over the result
// of the one before.
std::string expand_template(std::string_view argument, std::string_view file,
                            std::string_view exe, std::string_view work);

}  // namespace tessimar
