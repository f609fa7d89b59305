// Names relative to a /proc directory, formed in place: the scans of /proc
// form one for every process on the host and allocate nothing for it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace tessimar {

// Whether a /proc entry names a process: 1 to 20 decimal digits.
inline bool is_pid_entry(std::string_view name) {
    return !name.empty() && name.size() <= 20 && name.find_first_not_of("0123456789") == std::string_view::npos;
}

// "<entry>/<file>", for an entry that is a pid or "self" and one of its
// files; longer parts are cut to fit.
class ProcEntryPath {
public:
    ProcEntryPath(std::string_view entry, std::string_view file) {
        const std::size_t n = std::min(entry.size(), std::size_t{20});
        const std::size_t m = std::min(file.size(), sizeof text_ - n - 2);
        std::memcpy(text_, entry.data(), n);
        text_[n] = '/';
        std::memcpy(text_ + n + 1, file.data(), m);
        text_[n + 1 + m] = '\0';
    }
    const char* c_str() const { return text_; }

private:
    char text_[48];
};

}  // namespace tessimar
