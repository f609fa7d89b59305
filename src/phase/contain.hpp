// Confining a child and its descendants with the kernel's Landlock LSM: a
// ruleset built in the runner before the fork, enforced by the child as one
// step before exec. Files: read and execute where programs live, full rights
// in the run's work directory only. Signals and abstract unix sockets are
// scoped to the child's own descendants, and with --no-net TCP bind and
// connect are refused as well, as far as the kernel's ABI offers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/child_user.hpp"
#include "common/fd.hpp"
#include "common/phase_outcome.hpp"
#include "common/result.hpp"
#include "common/run_limits.hpp"
#include "phase/child_env.hpp"

namespace tessimar {

// The child's private directory (its HOME and TMPDIR) in the scratch
// directory.
inline constexpr const char* kPrivateDirName = "home";

// The Landlock ABI version of the running kernel, asked once; 0 when the
// kernel has none or a refused call (ENOSYS, EPERM, EOPNOTSUPP) says no.
int landlock_abi();

// Whether an entry directly in /etc is the configuration of a runtime that
// keeps one per version, by its name alone: "java-*" (a JDK's), "python3"
// and "python3.*". A child may read what such an entry holds.
bool etc_runtime_entry(std::string_view name);

// Whether an entry of /etc/php names a PHP version (it starts with a digit);
// its cli and mods-available directories are readable.
bool php_version_entry(std::string_view name);

// What the child does with a prepared ruleset: plain values only, so that
// it runs between fork and exec.
struct ChildContain {
    int ruleset_fd = -1;       // -1: nothing to enforce
    int proc_fd = -1;          // /proc, for the child's own entry
    std::uint64_t proc_access = 0;
    bool drop_caps = false;    // the runner holds capabilities: the child gives them up
    bool switch_user = false;  // a root runner's child becomes the run's own id
    std::uint32_t uid = 0, gid = 0;
};

struct ContainPlan {
    bool requested = false;
    int abi = 0;
    bool no_net = false;
    UniqueFd ruleset;
    UniqueFd proc_dir;
    std::uint64_t proc_access = 0;
    bool drop_caps = false;
    UniqueFd private_dir;  // O_PATH: the child's HOME and TMPDIR

    ChildContain child() const {
        return ChildContain{ruleset.get(), proc_dir.get(), proc_access, drop_caps};
    }
};

// The exact directories (and files) a child's PATH and toolchain variables
// lead to, never a parent that holds other things, and the variables to set
// so that a toolchain found through the real home still finds itself when
// HOME moves. Pure apart from checking PATH entries for rustup and pyenv.
struct ToolchainView {
    std::vector<std::string> roots;  // read and execute
    EnvPairs set;                    // variables the child gets
};
ToolchainView derive_toolchains(const ChildEnv& env, const std::vector<std::string>& never_roots);

// Runner side, before the fork. Does nothing without `limits.contain`.
// Creates the private directory in `scratch_dir`, points both HOME and
// TMPDIR there, and builds the ruleset for a child that runs as `user`. An
// error is an OS error text for a start failure.
Result<ContainPlan> plan_contain(const RunLimits& limits, const std::string& scratch_dir, ChildEnv& env,
                                 const ChildUser& user);

// Child side, async-signal-safe: allows the child's own /proc entry, gives
// up capabilities, sets no_new_privs and enforces the ruleset. Returns 0 or
// the errno of the first step that failed.
int apply_contain_in_child(const ChildContain& plan);

// After the child: what the kernel could not enforce.
void contain_notes(const ContainPlan& plan, NoteList& unenforced);

}  // namespace tessimar
