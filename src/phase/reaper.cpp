#include "phase/reaper.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "common/fd.hpp"
#include "common/proc_path.hpp"
#include "common/text.hpp"

namespace tessimar {
namespace {

using Clock = std::chrono::steady_clock;

// Reads a small /proc file whole; false when it cannot be opened or read.
bool read_small(int dir_fd, const char* name, std::string& out) {
    UniqueFd fd(retry_eintr([&] { return openat(dir_fd, name, O_RDONLY | O_CLOEXEC); }));
    if (!fd.valid()) return false;
    out.clear();
    return append_to_end(fd.get(), out) == 0;
}

void parse_pids(std::string_view text, std::vector<pid_t>& out) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = std::min(text.find(' ', pos), text.size());
        if (const auto v = parse_u64(text.substr(pos, end - pos)); v && *v > 1 && *v < 0x7fffffff)
            out.push_back(static_cast<pid_t>(*v));
        pos = end + 1;
    }
}

// The runner's live children. The kernel lists them per thread; the runner
// has one. Where that list is not offered, every process's parent is read.
std::vector<pid_t> children_of_self() {
    std::vector<pid_t> pids;
    std::string text;
    const pid_t self = getpid();
    char name[64];
    std::snprintf(name, sizeof name, "/proc/self/task/%d/children", static_cast<int>(self));
    if (read_small(AT_FDCWD, name, text)) {
        parse_pids(text, pids);
        return pids;
    }
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    while (const dirent* e = readdir(proc)) {
        const std::string_view entry = e->d_name;
        if (!is_pid_entry(entry)) continue;
        if (!read_small(dirfd(proc), ProcEntryPath(entry, "stat").c_str(), text)) continue;
        // "pid (comm) state ppid ...": comm may hold anything, so the
        // fields are counted from its last closing parenthesis.
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos || close + 4 > text.size()) continue;
        const std::string_view rest = std::string_view(text).substr(close + 4);
        const auto ppid = parse_u64(rest.substr(0, rest.find(' ')));
        if (ppid && *ppid == static_cast<std::uint64_t>(self)) parse_pids(entry, pids);
    }
    closedir(proc);
    return pids;
}

}  // namespace

bool become_subreaper() {
    static const bool done = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
    return done;
}

SweepResult sweep_descendants(std::chrono::milliseconds bound) {
    SweepResult result;
    const Clock::time_point give_up = Clock::now() + bound;
    while (true) {
        pid_t w;
        int status;
        struct rusage usage;
        // wait4 reports each one's peak with it: the measure of a descendant
        // costs nothing beyond the reaping itself.
        while ((w = retry_eintr([&] { return wait4(-1, &status, WNOHANG, &usage); })) > 0) {
            if (usage.ru_maxrss > 0)
                result.peak_memory_kb = std::max(result.peak_memory_kb, static_cast<std::uint64_t>(usage.ru_maxrss));
        }
        if (w < 0) return result;  // ECHILD: nothing is left
        // Some child is still running: kill it and its group (an escapee
        // usually leads a group of its own), then look again.
        const std::vector<pid_t> alive = children_of_self();
        bool all_refused = !alive.empty();
        for (const pid_t pid : alive) {
            const bool killed = kill(pid, SIGKILL) == 0;
            const int err = errno;
            (void)killpg(pid, SIGKILL);
            if (killed) ++result.killed;
            all_refused = all_refused && !killed && err == EPERM;
        }
        // Children that refuse SIGKILL (another user's set-user-ID program)
        // cannot be ended from here; waiting for them would only hold the run.
        if (all_refused || Clock::now() >= give_up) {
            result.complete = false;
            return result;
        }
        struct timespec pause{0, 1'000'000};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
}

}  // namespace tessimar
