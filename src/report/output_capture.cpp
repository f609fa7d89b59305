#include "report/output_capture.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "common/fd.hpp"
#include "common/text.hpp"

namespace tessimar {

std::uint64_t output_limit_bytes(std::uint64_t max_output_kb) {
    return max_output_kb == 0 ? 65536 : sat_mul(max_output_kb, 1024);
}

CapturedOutput read_captured_output(const std::string& path, std::uint64_t max_output_kb) {
    CapturedOutput out;
    const std::uint64_t limit = output_limit_bytes(max_output_kb);
    const std::uint64_t want = limit == UINT64_MAX ? limit : limit + 1;

    struct stat st;
    if (stat(path.c_str(), &st) == 0) out.size = static_cast<std::uint64_t>(st.st_size);

    // The program may have replaced the file. O_NONBLOCK: a FIFO planted in
    // its place must not hang the runner. O_NOFOLLOW: a planted link must not
    // make the runner read, with its own rights, a file the program could not
    // (the runner's /proc/self/environ, a descriptor it inherited) and hand
    // it out in the report.
    UniqueFd fd(retry_eintr([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW); }));
    if (!fd.valid()) {
        out.error = "open " + display_path(path) + " failed: " + os_error_text(errno);
        return out;
    }

    std::string buffer;
    std::uint64_t chunk = 32;  // probe first, then 8192 doubling while reads fill
    bool probed = false;
    while (buffer.size() < want) {
        const std::uint64_t room = want - buffer.size();
        const std::size_t request = static_cast<std::size_t>(std::min(chunk, room));
        const std::size_t old_size = buffer.size();
        try {
            buffer.resize(old_size + request);
        } catch (const std::bad_alloc&) {
            buffer.resize(old_size);
            out.error = "read " + display_path(path) + " failed after " + std::to_string(old_size) +
                        " bytes: " + os_error_text(ENOMEM);
            break;
        }
        const ssize_t n = retry_eintr([&] { return read(fd.get(), buffer.data() + old_size, request); });
        if (n < 0) {
            const int err = errno;
            buffer.resize(old_size);
            if (err == EAGAIN) break;  // an empty FIFO: no more data is coming from it
            out.error = "read " + display_path(path) + " failed after " + std::to_string(old_size) +
                        " bytes: " + os_error_text(err);
            break;
        }
        buffer.resize(old_size + static_cast<std::size_t>(n));
        if (n == 0) break;
        if (!probed) {
            probed = true;
            chunk = 8192;
        } else if (static_cast<std::size_t>(n) == request && chunk < (UINT64_MAX / 2)) {
            chunk *= 2;
        }
    }
    fd.reset();

    if (buffer.size() > limit) {
        out.truncated = true;
        buffer.resize(static_cast<std::size_t>(limit));
        buffer += kTruncationMarker;
    }
    out.text = utf8_lossy(buffer);
    return out;
}

}  // namespace tessimar
