// Null-terminated pointer arrays over strings, as exec wants them; built
// before a fork so that the child only reads them.
#pragma once

#include <string>
#include <vector>

namespace tessimar {

// Points into `strings`, which must outlive the result and not change.
inline std::vector<char*> c_pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (std::string& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace tessimar
