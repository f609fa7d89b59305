#include "common/relative_path.hpp"

namespace tessimar {

Result<std::vector<std::string>> split_relative_path(std::string_view path, bool strict) {
    if (path.empty()) return Error{"is empty"};
    if (path.front() == '/') return Error{"is absolute"};
    if (path.find('\0') != std::string_view::npos) return Error{"contains a NUL byte"};
    std::vector<std::string> parts;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        const std::size_t end = std::min(path.find('/', pos), path.size());
        const std::string_view part = path.substr(pos, end - pos);
        if (part == "..") return Error{"has a '..' component"};
        if (part.empty() || part == ".") {
            if (strict) return Error{part.empty() ? "has an empty component" : "has a '.' component"};
        } else {
            parts.emplace_back(part);
        }
        pos = end + 1;
    }
    if (parts.empty()) return Error{"names no file"};
    return parts;
}

}  // namespace tessimar
