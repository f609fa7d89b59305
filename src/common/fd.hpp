// Owning descriptor handle and small system-call helpers.
#pragma once

#include <cerrno>
#include <unistd.h>

#include <string>
#include <utility>

namespace tessimar {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // close() is never retried: on Linux the descriptor is gone even on EINTR.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Repeats a system call while it fails with EINTR.
template <typename F>
auto retry_eintr(F&& call) {
    while (true) {
        auto r = call();
        if (!(r == -1 && errno == EINTR)) return r;
    }
}

// The process's current directory, or an empty text when it cannot be had.
std::string current_dir();

// Writes all bytes; returns 0 or the errno of the failure.
int write_all(int fd, const char* data, std::size_t size);

// Appends what `fd` yields up to its end. Returns 0 or the errno that ended
// it: a read error, ENOMEM, or EFBIG once `data` would grow past `limit`.
int append_to_end(int fd, std::string& data, std::size_t limit = std::string::npos);

// A new descriptor numbered above `taken` in place of `fd` (closed), so that
// a dup2 onto 0..`taken` in a child never overwrites it; close-on-exec. A
// descriptor already above is returned as it is, -1 as -1 (errno kept).
int move_above(int fd, int taken);

}  // namespace tessimar
