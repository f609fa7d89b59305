// Bytes a check needs after the program has run (the expected answer, the
// input a checker is given), kept where the program cannot reach them: in an
// anonymous memory file of the runner, not in the workspace and not in the
// runner's own resident memory, which a forked child would count as its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/fd.hpp"
#include "common/result.hpp"

namespace tessimar {

// Expected answers, like case inputs, are at most 64 MiB.
inline constexpr std::uint64_t kMaxExpectedBytes = std::uint64_t{64} << 20;

struct MemFile {
    UniqueFd fd;
    std::uint64_t size = 0;
};

// Copies what `fd` yields to its end, refusing more than `limit` bytes
// (EFBIG). Errors are OS error numbers.
Result<MemFile> mem_file_from_fd(int fd, std::uint64_t limit, int& error);

Result<MemFile> mem_file_from_bytes(std::string_view bytes);

// An empty file: the answer a checker gets when there is none.
Result<MemFile> empty_mem_file();

Result<std::string> read_mem_file(const MemFile& file);

// Writes the bytes to a new file `name` in the directory `dir_fd` (mode
// 0600), replacing whatever entry had that name without following it.
Status write_mem_file_at(const MemFile& file, int dir_fd, const std::string& name);

}  // namespace tessimar
