#include "common/fd.hpp"

#include <climits>

namespace tessimar {

std::string current_dir() {
    std::string buf(PATH_MAX, '\0');
    if (getcwd(buf.data(), buf.size()) == nullptr) return {};
    buf.resize(std::char_traits<char>::length(buf.c_str()));
    return buf;
}

int write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = retry_eintr([&] { return ::write(fd, data, size); });
        if (n < 0) return errno;
        if (n == 0) return EIO;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace tessimar
