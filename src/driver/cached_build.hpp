// One run's use of the build cache (--build-cache): a hit takes the place
// of the compile phase, a successful compile is stored before the program
// first runs. Every failure of the cache leaves the run as it would be
// without one, with a line on standard error at most.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cache/build_cache.hpp"
#include "catalogue/language_spec.hpp"
#include "common/run_limits.hpp"

namespace tessimar {

struct PreparedRun;

struct CachedBuild {
    std::optional<BuildCache> cache;  // absent: the run compiles as always
    std::string key;
};

// Opens the cache for a compile of `program_text` by `spec`'s row. Nothing
// without --build-cache, for a row without a compile step, or when the
// caller adds files to the work directory (its own directory, --files):
// what the caller puts there (headers the source includes) is not part of
// the key.
CachedBuild open_cached_build(const LanguageSpec& spec, std::string_view program_text, const RunLimits& limits,
                              bool callers_files);

// Copies the stored build into the run's scratch directory; true on a hit.
bool restore_build(CachedBuild& build, const PreparedRun& run);

// Stores what the run's successful compile left in its scratch directory.
void store_build(CachedBuild& build, const PreparedRun& run);

}  // namespace tessimar
