// Paths a caller names inside a run's work directory: relative, and never
// climbing out of it by their own text. Pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace tessimar {

// The components of a relative path. An error, in words that follow the
// path in a message ("is absolute"), for an empty path, an absolute one,
// a NUL byte and a ".." component. `strict` refuses empty and "."
// components too ("a//b", "./a"); otherwise they are skipped, and a path
// that is nothing else ("." or "./") is refused as naming no file.
Result<std::vector<std::string>> split_relative_path(std::string_view path, bool strict);

}  // namespace tessimar
