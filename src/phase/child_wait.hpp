// Waiting for a phase's child until it ends or its wall-clock deadline
// passes, woken by the kernel rather than by a clock.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>

namespace tessimar {

// How the wait learns that the child ended, best first. Each is tried in
// turn when the one before it is missing or refused.
enum class WaitSource {
    Pidfd,     // poll() on a pidfd of the child
    Signalfd,  // SIGCHLD read through a signalfd
    Sleep,     // a non-blocking wait4 every 10 ms
};

struct WaitResult {
    int status = 0;
    struct rusage usage {};
    bool timed_out = false;
    int error = 0;  // errno of a failed wait4; the child has then been killed and reaped
    WaitSource source = WaitSource::Pidfd;
};

// Waits for `pid`, which must be a child of this process leading its own
// process group. When `timeout_ms` milliseconds have passed since `t0`
// the group is killed and the child reaped; a timeout of 0 kills a child
// that has not ended at the first check.
// The point `timeout_ms` after `t0`, or the clock's end where that is beyond it.
std::chrono::steady_clock::time_point deadline_of(std::chrono::steady_clock::time_point t0,
                                                  std::uint64_t timeout_ms);

// Milliseconds until `deadline`, rounded up and capped for poll().
int ms_until(std::chrono::steady_clock::time_point deadline);

WaitResult wait_for_child(pid_t pid, std::chrono::steady_clock::time_point t0, std::uint64_t timeout_ms);

}  // namespace tessimar
