#include "phase/child_wait.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "common/fd.hpp"

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace tessimar {
namespace {

using Clock = std::chrono::steady_clock;

// The event the wait blocks on: readable when the child may have ended.
class Wakeup {
public:
    Wakeup(pid_t pid) {
        fd_.reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
        if (fd_.valid()) {
            source_ = WaitSource::Pidfd;
            return;
        }
        // SIGCHLD is blocked for the wait so that it queues on the signalfd;
        // any SIGCHLD generated from here on is seen, and the first wait4
        // comes after this point, so an earlier exit is not missed.
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        if (pthread_sigmask(SIG_BLOCK, &chld, &previous_) == 0) {
            masked_ = true;
            fd_.reset(signalfd(-1, &chld, SFD_CLOEXEC | SFD_NONBLOCK));
            if (fd_.valid()) {
                source_ = WaitSource::Signalfd;
                return;
            }
        }
        source_ = WaitSource::Sleep;
    }
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;
    ~Wakeup() {
        fd_.reset();
        if (masked_) {
            // A SIGCHLD still pending is dropped: its default action is to
            // ignore it, and the child has been reaped.
            sigset_t chld;
            sigemptyset(&chld);
            sigaddset(&chld, SIGCHLD);
            const struct timespec none{0, 0};
            while (sigtimedwait(&chld, nullptr, &none) == SIGCHLD) {
            }
            (void)pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        }
    }

    WaitSource source() const { return source_; }

    // Blocks until the event fires or `timeout_ms` passes.
    void wait(int timeout_ms) {
        if (source_ == WaitSource::Sleep) {
            struct timespec left{0, 10'000'000};
            if (timeout_ms < 10) left.tv_nsec = static_cast<long>(timeout_ms) * 1'000'000;
            while (nanosleep(&left, &left) != 0 && errno == EINTR) {
            }
            return;
        }
        struct pollfd p{fd_.get(), POLLIN, 0};
        (void)poll(&p, 1, timeout_ms);
        if (source_ == WaitSource::Signalfd) {
            struct signalfd_siginfo info;
            while (read(fd_.get(), &info, sizeof info) > 0) {
            }
        }
    }

private:
    UniqueFd fd_;
    WaitSource source_ = WaitSource::Sleep;
    bool masked_ = false;
    sigset_t previous_{};
};

}  // namespace

// Milliseconds until the deadline, rounded up so that a wake-up never comes
// before it; capped for poll(), the loop then simply waits again.
int ms_until(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

Clock::time_point deadline_of(Clock::time_point t0, std::uint64_t timeout_ms) {
    // Far beyond any run: treated as no deadline within the clock's range.
    const std::uint64_t max_ms = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - t0).count());
    if (timeout_ms >= max_ms) return Clock::time_point::max();
    return t0 + std::chrono::milliseconds(timeout_ms);
}

WaitResult wait_for_child(pid_t pid, Clock::time_point t0, std::uint64_t timeout_ms) {
    WaitResult r;
    Wakeup wakeup(pid);
    r.source = wakeup.source();
    const Clock::time_point deadline = deadline_of(t0, timeout_ms);
    while (true) {
        const pid_t w = wait4(pid, &r.status, WNOHANG, &r.usage);
        if (w == pid) return r;
        if (w < 0) {
            if (errno == EINTR) continue;
            r.error = errno;
            if (pid > 1) (void)killpg(pid, SIGKILL);
            int ignored;
            (void)retry_eintr([&] { return waitpid(pid, &ignored, 0); });
            return r;
        }
        if (Clock::now() >= deadline) {
            (void)killpg(pid, SIGKILL);
            (void)retry_eintr([&] { return wait4(pid, &r.status, 0, &r.usage); });
            r.timed_out = true;
            return r;
        }
        wakeup.wait(ms_until(deadline));
    }
}

}  // namespace tessimar
