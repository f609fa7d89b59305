// A process's real user id as the kernel gives it through a pidfd (Linux
// 6.13 and later), without rendering the process's status file. The status
// file stays the reference wherever this is not available.
#pragma once

#include <cstdint>

namespace tessimar {

struct PidfdUid {
    enum class Result { Known, Gone, Unavailable };
    Result result = Result::Unavailable;
    std::uint32_t ruid = 0;  // in the runner's user namespace, as /proc shows it
};

// Known with the real uid; Gone when no such process exists (any more);
// Unavailable when the kernel, or a seccomp profile, offers no answer.
PidfdUid pidfd_real_uid(int pid);

// Whether the process ids listed in the /proc directory `proc_fd` are those
// of the runner's own pid namespace: its "self" link names the runner.
bool proc_lists_own_pids(int proc_fd);

}  // namespace tessimar
