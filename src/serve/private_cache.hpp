// The service's own build cache when its command line names none: a
// private directory under the temporary base, passed to every runner with
// --build-cache and removed when the service ends.
#pragma once

#include <string>
#include <vector>

#include "common/result.hpp"

namespace tessimar {

class PrivateBuildCache {
public:
    PrivateBuildCache() = default;
    PrivateBuildCache(const PrivateBuildCache&) = delete;
    PrivateBuildCache& operator=(const PrivateBuildCache&) = delete;
    PrivateBuildCache(PrivateBuildCache&& other) noexcept;
    PrivateBuildCache& operator=(PrivateBuildCache&& other) noexcept;
    ~PrivateBuildCache();

    // Nothing when `defaults` already has --build-cache; otherwise makes the
    // directory (mode 0700) and appends "--build-cache DIR" to `defaults`.
    static Result<PrivateBuildCache> add_to(std::vector<std::string>& defaults);

private:
    std::string path_;
};

}  // namespace tessimar
