// The runner's own termination (SIGTERM, SIGINT, SIGHUP): the running
// children's groups are killed at once, and a run in progress unwinds,
// removing what it made, before the runner exits.
#pragma once

#include <sys/types.h>

namespace tessimar {

// Installs the handler for SIGTERM, SIGINT and SIGHUP (idempotent). Outside
// a TerminationDeferred scope the handler kills the recorded children's
// groups and exits with 128 + the signal.
void install_termination_handler();

// While one of these lives, the handler kills the recorded children's
// groups and records the signal instead of exiting: the waits see their
// children end, no new child starts, and the run unwinds to its caller,
// which asks termination_signal() and exits. Only for code whose every
// blocking wait ends when its children do.
class TerminationDeferred {
public:
    TerminationDeferred();
    ~TerminationDeferred();
    TerminationDeferred(const TerminationDeferred&) = delete;
    TerminationDeferred& operator=(const TerminationDeferred&) = delete;
};

// The first termination signal received inside a deferred scope, or 0.
int termination_signal();

// Records the running child (0 when none); returns the previous value.
pid_t exchange_child_pid(pid_t pid);

// The same for a second child running beside the first (an interactor).
pid_t exchange_peer_pid(pid_t pid);

}  // namespace tessimar
