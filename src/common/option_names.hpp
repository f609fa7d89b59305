// The names of the run options, shared by the option scan and by batch mode,
// which passes them on to its runners.
#pragma once

#include <span>
#include <string_view>

namespace tessimar {

// The run options that take the next argument as their value.
bool is_value_option(std::string_view arg);

// All of them, in no particular order.
std::span<const std::string_view> value_option_names();

}  // namespace tessimar
