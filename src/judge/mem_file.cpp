#include "judge/mem_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>

#include <new>

#include "common/text.hpp"

namespace tessimar {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

Result<MemFile> fresh() {
    UniqueFd fd(memfd_create("tessimar-judge", MFD_CLOEXEC));
    if (!fd.valid()) return Error{os_error_text(errno)};
    return MemFile{std::move(fd), 0};
}

// Copies `file` from offset 0 to `out`; 0 or an errno.
int copy_out(const MemFile& file, int out) {
    char buf[kChunk];
    std::uint64_t off = 0;
    while (off < file.size) {
        const ssize_t n = retry_eintr([&] { return pread(file.fd.get(), buf, sizeof buf, static_cast<off_t>(off)); });
        if (n < 0) return errno;
        if (n == 0) return EIO;
        if (const int err = write_all(out, buf, static_cast<std::size_t>(n))) return err;
        off += static_cast<std::uint64_t>(n);
    }
    return 0;
}

}  // namespace

Result<MemFile> mem_file_from_fd(int fd, std::uint64_t limit, int& error) {
    error = 0;
    UniqueFd memfd(memfd_create("tessimar-judge", MFD_CLOEXEC));
    if (!memfd.valid()) {
        error = errno;
        return Error{os_error_text(error)};
    }
    Result<MemFile> made = MemFile{std::move(memfd), 0};
    MemFile& f = made.value();
    // Copied in the kernel while the source allows it (a regular file);
    // otherwise (a pipe, a terminal) through a buffer.
    bool in_kernel = true;
    char buf[kChunk];
    while (true) {
        const std::uint64_t room = limit - f.size + 1;  // one more byte tells a file that is too large
        const std::size_t want = static_cast<std::size_t>(room < kChunk * 16 ? room : kChunk * 16);
        ssize_t n = -1;
        if (in_kernel) {
            n = retry_eintr([&] { return sendfile(f.fd.get(), fd, nullptr, want); });
            if (n < 0 && (errno == EINVAL || errno == ENOSYS) && f.size == 0) {
                in_kernel = false;
                continue;
            }
        } else {
            n = retry_eintr([&] { return read(fd, buf, want < sizeof buf ? want : sizeof buf); });
            if (n > 0)
                if (const int err = write_all(f.fd.get(), buf, static_cast<std::size_t>(n))) {
                    error = err;
                    return Error{os_error_text(error)};
                }
        }
        if (n < 0) {
            error = errno;
            return Error{os_error_text(error)};
        }
        if (n == 0) break;
        f.size += static_cast<std::uint64_t>(n);
        if (f.size > limit) {
            error = EFBIG;
            return Error{os_error_text(error)};
        }
    }
    return made;
}

Result<MemFile> mem_file_from_bytes(std::string_view bytes) {
    Result<MemFile> made = fresh();
    if (!made) return made;
    if (const int err = write_all(made.value().fd.get(), bytes.data(), bytes.size()))
        return Error{os_error_text(err)};
    made.value().size = bytes.size();
    return made;
}

Result<MemFile> empty_mem_file() { return fresh(); }

Result<std::string> read_mem_file(const MemFile& file) {
    std::string data;
    try {
        data.resize(static_cast<std::size_t>(file.size));
    } catch (const std::bad_alloc&) {
        return Error{os_error_text(ENOMEM)};
    }
    std::size_t off = 0;
    while (off < data.size()) {
        const ssize_t n = retry_eintr(
            [&] { return pread(file.fd.get(), data.data() + off, data.size() - off, static_cast<off_t>(off)); });
        if (n < 0) return Error{os_error_text(errno)};
        if (n == 0) return Error{os_error_text(EIO)};
        off += static_cast<std::size_t>(n);
    }
    return data;
}

Status write_mem_file_at(const MemFile& file, int dir_fd, const std::string& name) {
    if (unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) return Error{os_error_text(errno)};
    UniqueFd out(retry_eintr([&] {
        return openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }));
    if (!out.valid()) return Error{os_error_text(errno)};
    if (const int err = copy_out(file, out.get())) return Error{os_error_text(err)};
    return Status::success();
}

}  // namespace tessimar
