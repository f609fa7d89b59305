// Each row's figures under --max-data-mb, measured on the reference host
// and listed with the figures they came from in docs/languages.md.
#pragma once

#include <string_view>

#include "common/memory_profile.hpp"

namespace tessimar {

// The profile of a catalogue row by its name; a row without figures of its
// own (its runtime could not be measured) gets a generous allowance, no
// backstop and no hint.
MemoryProfile memory_profile_of(std::string_view name);

}  // namespace tessimar
