// Lines of a descriptor, read as they are needed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessimar {

class LineReader {
public:
    LineReader() = default;
    // `limit` bounds the bytes read in all (the complete lines of a file cut
    // short); the descriptor stays the caller's.
    LineReader(int fd, std::uint64_t limit) : fd_(fd), left_(limit) {}

    // The next line without its line feed, from what has been read; a last
    // line without a line feed counts once the end is reached.
    std::optional<std::string> next();

    // One read(); false on a read error (errno set).
    bool fill();

    // The end was read and every line taken.
    bool exhausted() const { return end_ && start_ >= buf_.size(); }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::uint64_t left_ = 0;
    std::string buf_;
    std::size_t start_ = 0;
    bool end_ = false;
};

}  // namespace tessimar
