// The names of the run options, shared by the option scan and by batch mode,
// which passes them on to its runners.
#pragma once

#include <string_view>

namespace tessimar {

// The run options that take the next argument as their value.
bool is_value_option(std::string_view arg);

}  // namespace tessimar
