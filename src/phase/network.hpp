// Keeping a child off IPv4 and IPv6: a seccomp filter when the kernel has
// one, the preload library beside the runner as a fallback.
#pragma once

#include <linux/filter.h>

#include <optional>
#include <string>
#include <vector>

#include "common/phase_outcome.hpp"
#include "phase/child_env.hpp"

namespace tessimar {

bool seccomp_available();

const std::vector<sock_filter>& build_network_filter();

// Child side, async-signal-safe. Returns 0 or the errno of the first prctl
// that failed.
int install_network_filter(const sock_fprog& program);

struct NetPlan {
    bool requested = false;
    std::optional<std::string> shim_path;
    bool filter = false;
};

// The directory holding the running executable, or "." when unknown.
std::string executable_dir();

// Finds the shim (and sets LD_PRELOAD), decides on the filter.
NetPlan plan_network(bool no_net, ChildEnv& env);

void network_notes(const NetPlan& plan, NoteList& unenforced);

}  // namespace tessimar
