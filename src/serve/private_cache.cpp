#include "serve/private_cache.hpp"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "common/text.hpp"
#include "workspace/tree.hpp"
#include "workspace/work_dir.hpp"

namespace tessimar {

PrivateBuildCache::PrivateBuildCache(PrivateBuildCache&& other) noexcept : path_(std::exchange(other.path_, {})) {}

PrivateBuildCache& PrivateBuildCache::operator=(PrivateBuildCache&& other) noexcept {
    if (this != &other) {
        PrivateBuildCache gone(std::move(*this));
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

PrivateBuildCache::~PrivateBuildCache() {
    if (!path_.empty()) (void)remove_tree(path_, RemoveOptions{});
}

Result<PrivateBuildCache> PrivateBuildCache::add_to(std::vector<std::string>& defaults) {
    const bool given = std::any_of(defaults.begin(), defaults.end(), [](const std::string& a) {
        return a == "--build-cache" || a.rfind("--build-cache=", 0) == 0;
    });
    PrivateBuildCache cache;
    if (given) return cache;
    std::string templ = join_path(temporary_base(), "tessimar-serve-cache-XXXXXX");
    if (mkdtemp(templ.data()) == nullptr)
        return Error{"cannot make the service's build cache under " + temporary_base() + ": " +
                     os_error_text(errno)};
    cache.path_ = templ;
    defaults.push_back("--build-cache");
    defaults.push_back(cache.path_);
    return cache;
}

}  // namespace tessimar
