// Lines of a descriptor, read as they are needed, each at most a given
// length: the bytes of a longer line are dropped as they are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tessimar {

// One line without its line feed, or the mark of a line that was longer
// than the reader's limit (its bytes are gone).
struct ReadLine {
    std::string text;
    bool too_long = false;
};

class LineReader {
public:
    LineReader() = default;
    // `limit` bounds the bytes read in all (the complete lines of a file cut
    // short); `max_line` the bytes of one line, its line feed not counted.
    // The descriptor stays the caller's.
    LineReader(int fd, std::uint64_t limit, std::size_t max_line = SIZE_MAX)
        : fd_(fd), left_(limit), max_line_(max_line) {}

    // The next line from what has been read; a last line without a line
    // feed counts once the end is reached. A line is handed over, not kept.
    std::optional<ReadLine> next();

    // One read(); false on a read error (errno set).
    bool fill();

    // The end was read and every line taken.
    bool exhausted() const { return end_ && !dropping_ && !dropped_ && start_ >= buf_.size(); }
    int fd() const { return fd_; }

private:
    void reach_end();

    int fd_ = -1;
    std::uint64_t left_ = 0;
    std::size_t max_line_ = SIZE_MAX;
    std::string buf_;
    std::size_t start_ = 0;  // the first byte not yet taken
    std::size_t scan_ = 0;   // bytes from start_ on known to hold no line feed
    bool end_ = false;
    bool dropping_ = false;  // inside a line over the limit: reads are dropped up to its line feed
    bool dropped_ = false;   // such a line has ended and is not yet reported
};

}  // namespace tessimar
