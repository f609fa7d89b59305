#include "driver/cached_build.hpp"

#include <fcntl.h>

#include "cache/build_key.hpp"
#include "common/fd.hpp"
#include "common/text.hpp"
#include "driver/run_driver.hpp"
#include "phase/contain.hpp"
#include "workspace/work_dir.hpp"

namespace tessimar {
namespace {

void note(const std::string& text) {
    const std::string line = "tessimar-exec: " + text + "\n";
    (void)write_all(2, line.data(), line.size());
}

UniqueFd open_scratch(const PreparedRun& run) {
    return UniqueFd(retry_eintr(
        [&] { return open(run.scratch_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
}

}  // namespace

CachedBuild open_cached_build(const LanguageSpec& spec, std::string_view program_text, const RunLimits& limits,
                              bool callers_files) {
    CachedBuild build;
    if (!limits.build_cache || !spec.compile_template || callers_files) return build;
    Result<std::string> key = build_key_for(spec, program_text);
    if (!key) return build;  // the compile reports the missing compiler
    Result<BuildCache> cache = BuildCache::open(*limits.build_cache, limits.build_cache_mb);
    if (!cache) {
        note(cache.error());
        return build;
    }
    build.cache.emplace(std::move(cache.value()));
    build.key = std::move(key.value());
    return build;
}

bool restore_build(CachedBuild& build, const PreparedRun& run) {
    if (!build.cache) return false;
    const UniqueFd scratch = open_scratch(run);
    if (!scratch.valid()) return false;
    std::string why;
    const CacheLookup found = build.cache->restore(build.key, scratch.get(), run.user, why);
    if (found == CacheLookup::Rejected) note("build cache " + display_path(build.cache->path()) + ": " + why);
    return found == CacheLookup::Hit;
}

void store_build(CachedBuild& build, const PreparedRun& run) {
    if (!build.cache) return;
    const UniqueFd scratch = open_scratch(run);
    if (!scratch.valid()) return;
    // The run's own files, written afresh by every run, the compile's
    // captured streams and its private directory are not the build.
    const std::vector<std::string> skip = {"main." + run.spec.extension, kShimFileName, "compile.in",
                                           "compile.out", "compile.err", kPrivateDirName};
    if (const Status stored = build.cache->store(build.key, scratch.get(), skip); !stored)
        note("build cache " + display_path(build.cache->path()) + ": nothing stored: " + stored.error());
}

}  // namespace tessimar
