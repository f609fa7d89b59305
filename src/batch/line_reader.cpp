#include "batch/line_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/fd.hpp"

namespace tessimar {
namespace {
constexpr std::size_t kChunk = 65536;
}  // namespace

std::optional<ReadLine> LineReader::next() {
    if (dropped_) {
        dropped_ = false;
        return ReadLine{{}, true};
    }
    if (dropping_) return std::nullopt;
    const std::size_t nl = buf_.find('\n', scan_);
    const std::size_t end = nl != std::string::npos ? nl : buf_.size();
    if (nl == std::string::npos && !(end_ && start_ < buf_.size())) {
        if (buf_.size() - start_ > max_line_) {
            // Over the limit before its end: the rest is dropped as it comes,
            // and what is held already is let go now.
            dropping_ = true;
            buf_.clear();
            buf_.shrink_to_fit();
            start_ = scan_ = 0;
        } else {
            scan_ = buf_.size();
        }
        return std::nullopt;
    }
    const std::size_t length = end - start_;
    const std::size_t next_start = nl != std::string::npos ? nl + 1 : buf_.size();
    ReadLine line;
    if (length > max_line_) {
        line.too_long = true;
    } else if (length >= kChunk && length >= buf_.size() - next_start) {
        // A long line leaves with the buffer itself; the few bytes after it
        // are what gets copied.
        line.text = std::move(buf_);
        buf_.assign(line.text, next_start, std::string::npos);
        line.text.resize(end);
        line.text.erase(0, start_);
        start_ = scan_ = 0;
        return line;
    } else {
        line.text.assign(buf_, start_, length);
    }
    start_ = scan_ = next_start;
    // Taken lines are dropped now and then, not on every line.
    if (start_ > kChunk && start_ * 2 > buf_.size()) {
        buf_.erase(0, start_);
        start_ = scan_ = 0;
    }
    return line;
}

// A line being dropped ends with the input too.
void LineReader::reach_end() {
    end_ = true;
    if (dropping_) {
        dropping_ = false;
        dropped_ = true;
    }
}

bool LineReader::fill() {
    char chunk[kChunk];
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, left_));
    if (want == 0) {
        reach_end();
        return true;
    }
    const ssize_t n = retry_eintr([&] { return read(fd_, chunk, want); });
    if (n < 0) return false;
    left_ -= static_cast<std::uint64_t>(n);
    std::size_t from = 0;
    if (n == 0) {
        reach_end();
    } else if (dropping_) {
        const void* nl = std::memchr(chunk, '\n', static_cast<std::size_t>(n));
        if (nl == nullptr) return true;
        dropping_ = false;
        dropped_ = true;
        from = static_cast<std::size_t>(static_cast<const char*>(nl) - chunk) + 1;
    }
    buf_.append(chunk + from, static_cast<std::size_t>(n) - from);
    return true;
}

}  // namespace tessimar
