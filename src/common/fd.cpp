#include "common/fd.hpp"

namespace tessimar {

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
