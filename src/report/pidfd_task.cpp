#include "report/pidfd_task.hpp"

#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "common/fd.hpp"

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace tessimar {
namespace {

// The first version of the kernel's answer; later kernels accept it as it is.
struct PidfdInfo {
    std::uint64_t mask;
    std::uint64_t cgroupid;
    std::uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid, fsuid, fsgid;
    std::int32_t exit_code;
};
static_assert(sizeof(PidfdInfo) == 64);

constexpr std::uint64_t kInfoCreds = 1ULL << 1;
constexpr unsigned long kGetInfo = _IOWR(0xFF, 11, PidfdInfo);

}  // namespace

PidfdUid pidfd_real_uid(int pid) {
    PidfdUid out;
    UniqueFd fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!fd.valid()) {
        if (errno == ESRCH) out.result = PidfdUid::Result::Gone;
        return out;
    }
    PidfdInfo info{};
    info.mask = kInfoCreds;
    if (retry_eintr([&] { return ioctl(fd.get(), kGetInfo, &info); }) != 0) {
        // A process that ended and was reaped since its pidfd was opened.
        if (errno == ESRCH) out.result = PidfdUid::Result::Gone;
        return out;
    }
    if ((info.mask & kInfoCreds) == 0) return out;
    out.result = PidfdUid::Result::Known;
    out.ruid = info.ruid;
    return out;
}

bool proc_lists_own_pids(int proc_fd) {
    char link[32];
    const ssize_t n = readlinkat(proc_fd, "self", link, sizeof link);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof link) return false;
    char own[32];
    const auto [end, ec] = std::to_chars(own, own + sizeof own, getpid());
    return ec == std::errc() && static_cast<std::size_t>(end - own) == static_cast<std::size_t>(n) &&
           std::memcmp(own, link, static_cast<std::size_t>(n)) == 0;
}

}  // namespace tessimar
