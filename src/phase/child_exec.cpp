#include "phase/child_exec.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "common/text.hpp"
#include "phase/network.hpp"

namespace tessimar {

std::vector<std::string> exec_candidates(const std::string& program, const std::string& path_value) {
    if (program.find('/') != std::string::npos) return {program};
    std::vector<std::string> out;
    // As in execvp, an empty entry names the current directory.
    for (const std::string& entry : split_colons(path_value))
        out.push_back(entry.empty() ? program : entry + "/" + program);
    return out;
}

namespace {

[[noreturn]] void fail(const ChildPlan& plan, int stage, int error) {
    const ChildFailure failure{stage, error};
    ssize_t n;
    do {
        n = write(plan.error_fd, &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    _exit(127);
}

void mark_inherited_cloexec() {
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    const long max = sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < (max > 0 && max < 65536 ? max : 65536); ++fd)
        (void)fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
}

}  // namespace

void child_main(const ChildPlan& plan) {
    if (dup2(plan.stdin_fd, 0) < 0) fail(plan, 1, errno);
    if (dup2(plan.stdout_fd, 1) < 0) fail(plan, 1, errno);
    if (dup2(plan.stderr_fd, 2) < 0) fail(plan, 1, errno);
    // Descriptors the runner inherited from its caller never reach the program.
    mark_inherited_cloexec();
    if (chdir(plan.cwd) != 0) fail(plan, 2, errno);
    if (setpgid(0, 0) != 0) fail(plan, 3, errno);
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    (void)sigaction(SIGPIPE, &dfl, nullptr);
    (void)sigaction(SIGXFSZ, &dfl, nullptr);
    if (!apply_limits_in_child(plan.limits, plan.runner_pid)) _exit(1);
    if (const int err = apply_contain_in_child(plan.contain)) fail(plan, 7, err);
    if (plan.contain.switch_user) {
        // The change of user cleared the parent-death signal: armed again,
        // and the runner looked for once more.
        (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != plan.runner_pid) _exit(1);
    }
    if (plan.filter != nullptr)
        if (const int err = install_network_filter(*plan.filter)) fail(plan, 5, err);

    // The search execvp makes, over paths formed before the fork: a missing
    // or unusable candidate moves on to the next one, any other error ends
    // the search; EACCES on the way is reported if nothing was found.
    bool saw_eacces = false;
    int last = ENOENT;
    for (const char* const* c = plan.candidates; *c != nullptr; ++c) {
        execve(*c, plan.argv, plan.envp);
        if (errno == ENOEXEC) {
            // A file without a recognised header runs as a shell script.
            plan.script_argv[1] = const_cast<char*>(*c);
            execve("/bin/sh", plan.script_argv, plan.envp);
        }
        last = errno;
        if (last == EACCES) {
            saw_eacces = true;
            continue;
        }
        if (last == ENOENT || last == ENOTDIR || last == ESTALE || last == ENODEV || last == ETIMEDOUT) continue;
        fail(plan, 6, last);
    }
    fail(plan, 6, saw_eacces ? EACCES : last);
}

}  // namespace tessimar
