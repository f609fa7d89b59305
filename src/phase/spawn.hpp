// Starting a phase's child without copying the runner.
#pragma once

#include <sys/types.h>

#include "phase/child_exec.hpp"

namespace tessimar {

// Opens what spawn_child needs from /proc/self. Call it before the runner
// makes itself non-dumpable, which hands /proc/self to root; without it,
// spawn_child forks.
void prepare_spawn();

// Starts a child that runs child_main(plan) and returns once it has exec'd
// or exited: its pid, or -1 with errno set.
pid_t spawn_child(ChildPlan& plan);

}  // namespace tessimar
