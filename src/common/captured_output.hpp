// One capture file read back under the output cap.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessimar {

struct CapturedOutput {
    std::string text;                   // valid UTF-8, marker appended when cut
    std::optional<std::string> error;   // why the file could not be opened or read
    bool truncated = false;
    std::optional<std::uint64_t> size;  // full size from stat, before reading
};

}  // namespace tessimar
