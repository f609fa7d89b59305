// Everything the child needs between fork and exec, prepared in the runner,
// and the one function that runs there.
#pragma once

#include <linux/filter.h>
#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "phase/contain.hpp"
#include "phase/limits.hpp"

namespace tessimar {

// What the child reports over the error pipe when a step fails.
struct ChildFailure {
    int stage;
    int error;
};

struct ChildPlan {
    int stdin_fd = -1, stdout_fd = -1, stderr_fd = -1;
    int error_fd = -1;             // write end, close-on-exec
    const char* cwd = nullptr;
    char* const* argv = nullptr;   // argv[0] is replaced per candidate for scripts
    char* const* envp = nullptr;
    const char* const* candidates = nullptr;  // exec paths to try, in order, null-terminated
    char** script_argv = nullptr;  // room for "/bin/sh", path, argv[1..], null
    LimitPlan limits;
    pid_t runner_pid = 0;
    const sock_fprog* filter = nullptr;  // null: no network filter
    ChildContain contain;                // ruleset_fd -1 and no drop_caps: nothing to do
};

// The exec paths execvp would try for `program` with this PATH value.
std::vector<std::string> exec_candidates(const std::string& program, const std::string& path_value);

// Never returns: either execs or reports {stage, errno} and exits.
[[noreturn]] void child_main(const ChildPlan& plan);

}  // namespace tessimar
