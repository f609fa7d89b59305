// Unpredictable names for entries the runner creates beside what another
// process may have put there (the caller retries with a new one on EEXIST).
#pragma once

#include <string>

namespace tessimar {

// 16 hex digits from the kernel's random source; when that is not ready,
// the process id and a counter (still unique within this process).
std::string random_hex();

}  // namespace tessimar
