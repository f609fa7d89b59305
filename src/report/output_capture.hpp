// Reading a capture file back under the output cap.
#pragma once

#include <cstdint>
#include <string>

#include "common/captured_output.hpp"

namespace tessimar {

inline constexpr const char* kTruncationMarker = "\n...[truncated]";

// max_output_kb * 1024, or 65536 when 0.
std::uint64_t output_limit_bytes(std::uint64_t max_output_kb);

// Never reads more than the limit + 1 bytes, never blocks on a FIFO, and
// carries every problem in `error`.
CapturedOutput read_captured_output(const std::string& path, std::uint64_t max_output_kb);

}  // namespace tessimar
