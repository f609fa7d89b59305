#include "batch/line_reader.hpp"

#include <unistd.h>

#include <algorithm>

#include "common/fd.hpp"

namespace tessimar {
namespace {
constexpr std::size_t kChunk = 65536;
}  // namespace

std::optional<std::string> LineReader::next() {
    const std::size_t nl = buf_.find('\n', start_);
    std::string line;
    if (nl != std::string::npos) {
        line.assign(buf_, start_, nl - start_);
        start_ = nl + 1;
    } else if (end_ && start_ < buf_.size()) {
        line.assign(buf_, start_, std::string::npos);
        start_ = buf_.size();
    } else {
        return std::nullopt;
    }
    // Taken lines are dropped now and then, not on every line.
    if (start_ > kChunk && start_ * 2 > buf_.size()) {
        buf_.erase(0, start_);
        start_ = 0;
    }
    return line;
}

bool LineReader::fill() {
    char chunk[kChunk];
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, left_));
    if (want == 0) {
        end_ = true;
        return true;
    }
    const ssize_t n = retry_eintr([&] { return read(fd_, chunk, want); });
    if (n < 0) return false;
    if (n == 0) end_ = true;
    buf_.append(chunk, static_cast<std::size_t>(n));
    left_ -= static_cast<std::uint64_t>(n);
    return true;
}

}  // namespace tessimar
