#include "common/fd.hpp"

#include <fcntl.h>

#include <algorithm>
#include <climits>
#include <new>

namespace tessimar {

std::string current_dir() {
    std::string buf(PATH_MAX, '\0');
    if (getcwd(buf.data(), buf.size()) == nullptr) return {};
    buf.resize(std::char_traits<char>::length(buf.c_str()));
    return buf;
}

int append_to_end(int fd, std::string& data, std::size_t limit) {
    try {
        char chunk[65536];
        while (true) {
            const ssize_t n = retry_eintr([&] { return ::read(fd, chunk, sizeof chunk); });
            if (n < 0) return errno;
            if (n == 0) return 0;
            if (static_cast<std::size_t>(n) > limit - std::min(limit, data.size())) return EFBIG;
            data.append(chunk, static_cast<std::size_t>(n));
        }
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int move_above(int fd, int taken) {
    if (fd < 0 || fd > taken) return fd;
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, taken + 1);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return high;
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
