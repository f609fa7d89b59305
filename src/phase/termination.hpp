// Forwarding the runner's own termination to the running child's group.
#pragma once

#include <sys/types.h>

namespace tessimar {

// Installs the handler for SIGTERM, SIGINT and SIGHUP (idempotent).
void install_termination_handler();

// Records the running child (0 when none); returns the previous value.
pid_t exchange_child_pid(pid_t pid);

// The same for a second child running beside the first (an interactor).
pid_t exchange_peer_pid(pid_t pid);

}  // namespace tessimar
