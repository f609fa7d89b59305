#include "phase/spawn.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "common/fd.hpp"

namespace tessimar {
namespace {

// The child shares the runner's memory until it execs and runs meanwhile on
// a stack of its own: a fork would copy the runner's page tables, and every
// page the runner wrote afterwards would fault once to be unshared, about a
// millisecond a phase on a virtual machine.
//
// Its cost: at exec the kernel takes the peak resident size of the memory
// the child leaves as the child's own starting peak, and here that memory is
// the runner's, peak included (the whole of a large input it has since
// released). So before each start the runner resets its peak to its present
// size through /proc/self/clear_refs; where that file cannot be written, it
// forks, whose copy starts from the runner's present size anyway.
//
// The address sanitizer's runtime expects each thread on the stack it knows:
// on another it writes a warning into the child's standard error and may
// report false errors, so sanitized builds always fork.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kShareMemory = false;
#else
constexpr bool kShareMemory = true;
#endif

// Deep enough for the child's checklist and the C library calls it makes;
// below it, a page that faults instead of overwriting the runner's memory.
constexpr std::size_t kStackSize = 256 * 1024;
constexpr std::size_t kGuardSize = 4096;

int g_peak_reset_fd = -1;

class ChildStack {
public:
    ~ChildStack() {
        if (base_ != nullptr) (void)munmap(base_, kGuardSize + kStackSize);
    }
    // The top of the stack (it grows down), or null when it cannot be had.
    char* top() {
        if (base_ == nullptr) {
            void* p = mmap(nullptr, kGuardSize + kStackSize, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
            if (p == MAP_FAILED) return nullptr;
            if (mprotect(p, kGuardSize, PROT_NONE) != 0) {
                (void)munmap(p, kGuardSize + kStackSize);
                return nullptr;
            }
            base_ = static_cast<char*>(p);
        }
        return base_ + kGuardSize + kStackSize;
    }

private:
    char* base_ = nullptr;
};

int run_child(void* plan) { child_main(*static_cast<ChildPlan*>(plan)); }

bool reset_peak() {
    if (g_peak_reset_fd < 0) return false;
    const ssize_t n = retry_eintr([] { return write(g_peak_reset_fd, "5", 1); });
    return n == 1;
}

}  // namespace

void prepare_spawn() {
    if (!kShareMemory || g_peak_reset_fd >= 0) return;
    const int fd = retry_eintr([] { return open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC); });
    if (fd >= 0) g_peak_reset_fd = move_above(fd, 2);
}

pid_t spawn_child(ChildPlan& plan) {
    // One stack per thread that starts children; the runner uses one.
    thread_local ChildStack stack;
    if (kShareMemory && reset_peak())
        if (char* top = stack.top())
            return clone(run_child, top, CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
    const pid_t pid = fork();
    if (pid == 0) child_main(plan);
    return pid;
}

}  // namespace tessimar
