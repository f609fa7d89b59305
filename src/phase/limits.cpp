#include "phase/limits.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>

#include "common/text.hpp"
#include "report/process_accounting.hpp"

namespace tessimar {

Clamped clamp_to_hard(int resource, std::uint64_t wanted) {
    struct rlimit rl;
    if (getrlimit(resource, &rl) == 0 && rl.rlim_max != RLIM_INFINITY && rl.rlim_max < wanted)
        return {static_cast<std::uint64_t>(rl.rlim_max), true};
    return {wanted, false};
}

LimitPlan plan_limits(const RunLimits& limits, NoteList& unenforced, bool output_caps_file_size,
                      const ChildUser& user) {
    LimitPlan plan;
    const std::uint64_t cpu = limits.max_cpu_secs != 0 ? limits.max_cpu_secs : default_cpu_secs(limits);
    const Clamped c = clamp_to_hard(RLIMIT_CPU, cpu);
    plan.cpu_secs = c.value;
    if (c.lowered) unenforced.push_back("cpu_limit_clamped_to_hard_rlimit");

    std::uint64_t fsize = kMaxFileSizeBytes;
    if (output_caps_file_size && limits.max_output_kb != 0)
        fsize = std::clamp<std::uint64_t>(sat_mul(limits.max_output_kb, 4096), 4096, kMaxFileSizeBytes);
    const Clamped f = clamp_to_hard(RLIMIT_FSIZE, fsize);
    plan.file_size_bytes = f.value;
    if (f.lowered) unenforced.push_back("file_size_limit_clamped_to_hard_rlimit");

    plan.open_files = clamp_to_hard(RLIMIT_NOFILE, 256).value;

    // The process notes (clamp, not measured, uid 0) come from the accounting.
    plan.processes = compute_process_limit(unenforced, user);

    const std::uint64_t as = limits.max_memory_mb != 0 ? sat_mul(limits.max_memory_mb, 1048576)
                                                       : kDefaultAddressSpace;
    const Clamped m = clamp_to_hard(RLIMIT_AS, as);
    plan.address_space_bytes = m.value;
    if (m.lowered) unenforced.push_back("memory_limit_clamped_to_hard_rlimit");
    return plan;
}

void plan_data_bytes(LimitPlan& plan, std::uint64_t data_mb, NoteList& unenforced) {
    if (data_mb == 0) return;
    const Clamped d = clamp_to_hard(RLIMIT_DATA, sat_mul(data_mb, 1048576));
    plan.data_bytes = d.value;
    if (d.lowered) unenforced.push_back("data_limit_clamped_to_hard_rlimit");
}

namespace {

void set_both(int resource, std::uint64_t value) {
    struct rlimit rl;
    rl.rlim_cur = static_cast<rlim_t>(value);
    rl.rlim_max = static_cast<rlim_t>(value);
    (void)setrlimit(resource, &rl);
}

}  // namespace

bool apply_limits_in_child(const LimitPlan& plan, pid_t runner_pid) {
    set_both(RLIMIT_CPU, plan.cpu_secs);
    set_both(RLIMIT_AS, plan.address_space_bytes);
    if (plan.data_bytes != 0) set_both(RLIMIT_DATA, plan.data_bytes);
    set_both(RLIMIT_FSIZE, plan.file_size_bytes);
    set_both(RLIMIT_NOFILE, plan.open_files);
    set_both(RLIMIT_NPROC, plan.processes);
    set_both(RLIMIT_CORE, 0);
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Reparented already: the runner died before the death signal was armed.
    if (getppid() != runner_pid) return false;
    sigset_t empty;
    sigemptyset(&empty);
    (void)sigprocmask(SIG_SETMASK, &empty, nullptr);
    return true;
}

}  // namespace tessimar
