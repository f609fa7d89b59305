#include "phase/contain.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/landlock.h>
#include <linux/magic.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <algorithm>

#include "common/text.hpp"
#include "phase/run_user.hpp"

// Headers older than the running kernel lack the later ABIs' names; the
// values are part of the kernel's interface and never change.
#ifndef SYS_landlock_create_ruleset
#define SYS_landlock_create_ruleset 444
#endif
#ifndef SYS_landlock_add_rule
#define SYS_landlock_add_rule 445
#endif
#ifndef SYS_landlock_restrict_self
#define SYS_landlock_restrict_self 446
#endif
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#endif
#ifndef LANDLOCK_ACCESS_NET_CONNECT_TCP
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif
#ifndef PR_CAP_AMBIENT
#define PR_CAP_AMBIENT 47
#define PR_CAP_AMBIENT_CLEAR_ALL 4
#endif

namespace tessimar {
namespace {

// The ruleset attribute in its latest layout; older kernels get the prefix
// their ABI knows.
struct RulesetAttr {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;
    std::uint64_t scoped;
};

constexpr std::uint64_t kExecute = LANDLOCK_ACCESS_FS_EXECUTE;
constexpr std::uint64_t kRead = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr std::uint64_t kReadExec = kRead | kExecute;
// The rights a rule on a file (not a directory) may carry.
constexpr std::uint64_t kFileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                      LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE;

// Every file-system right of `abi`, device ioctls left out: the only devices
// a child reaches are the few character devices allowed below.
std::uint64_t handled_fs(int abi) {
    std::uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // ABI 1: execute .. make_sym
    if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3) rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
    return rights;
}

std::size_t attr_size(int abi) {
    if (abi >= 6) return sizeof(RulesetAttr);
    if (abi >= 4) return offsetof(RulesetAttr, scoped);
    return offsetof(RulesetAttr, handled_access_net);
}

bool refused(int err) { return err == ENOSYS || err == EPERM || err == EOPNOTSUPP; }

// Entries of /etc (and of its mixed subdirectories) that hold secrets or
// credentials: never given to a child.
constexpr const char* kEtcSecrets[] = {
    "shadow",      "gshadow",       "sudoers",   "sudoers.d",         "ssh",    "krb5.keytab",
    "ipsec.secrets", "ipsec.d",     "letsencrypt", "wireguard",       "credstore", "credstore.encrypted",
    "NetworkManager", "ppp",        "openvpn",   "libvirt",           "docker", "containerd",
    "kubernetes",  "pki",
};

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

enum class Kind { Unknown, Dir, NotDir };

// Adds rules to a ruleset. The descriptors a rule needs are closed in
// batches, one close_range per run of consecutive numbers: a plan opens a
// few hundred of them, and each system call counts on every run.
class Rules {
public:
    Rules(int ruleset, std::uint64_t handled) : ruleset_(ruleset), handled_(handled) { held_.reserve(kBatch); }
    Rules(const Rules&) = delete;
    Rules& operator=(const Rules&) = delete;
    ~Rules() { flush(); }

    // 0 or the errno of the failed call. A rule is narrowed to what its
    // inode can carry: a file takes no directory rights.
    int add_fd(int fd, std::uint64_t access, Kind kind = Kind::Unknown) {
        if (kind == Kind::Unknown) {
            struct stat st;
            if (fstat(fd, &st) != 0) return errno;
            kind = S_ISDIR(st.st_mode) ? Kind::Dir : Kind::NotDir;
        }
        if (kind == Kind::NotDir) access &= kFileRights;
        access &= handled_;
        if (access == 0) return 0;
        struct landlock_path_beneath_attr attr{};
        attr.allowed_access = access;
        attr.parent_fd = fd;
        if (syscall(SYS_landlock_add_rule, ruleset_, LANDLOCK_RULE_PATH_BENEATH, &attr, 0) != 0) return errno;
        return 0;
    }

    // A missing path, or one the runner cannot open, simply gets no rule.
    void add_path(const char* path, std::uint64_t access, Kind kind = Kind::Unknown, int dir_fd = AT_FDCWD) {
        const int fd = retry_eintr([&] { return openat(dir_fd, path, O_PATH | O_CLOEXEC); });
        if (fd < 0) return;
        (void)add_fd(fd, access, kind);
        hold(fd);
    }

    // One rule per entry of `dir`, leaving out those `skip` names. Links
    // are followed, but never into /proc (where one would name the runner's
    // own entry). Plain entries cost one open: their type comes from the
    // listing.
    template <typename Skip>
    void add_entries(const char* dir, std::uint64_t access, Skip skip) {
        const int fd = retry_eintr([&] { return open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
        if (fd < 0) return;
        std::unique_ptr<DIR, DirCloser> listing(fdopendir(fd));
        if (!listing) {
            close(fd);
            return;
        }
        while (const struct dirent* e = readdir(listing.get())) {
            const char* name = e->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 || skip(std::string_view(name)))
                continue;
            const bool plain = e->d_type == DT_DIR || e->d_type == DT_REG;
            const int entry = retry_eintr([&] { return openat(fd, name, O_PATH | O_CLOEXEC | (plain ? O_NOFOLLOW : 0)); });
            if (entry < 0) continue;
            struct statfs fs;
            if (plain)
                (void)add_fd(entry, access, e->d_type == DT_DIR ? Kind::Dir : Kind::NotDir);
            else if (fstatfs(entry, &fs) == 0 && fs.f_type != PROC_SUPER_MAGIC)
                (void)add_fd(entry, access);
            hold(entry);  // after its rule: holding may close a full batch
        }
    }

private:
    static constexpr std::size_t kBatch = 64;  // well under any sane descriptor limit

    void hold(int fd) {
        held_.push_back(fd);
        if (held_.size() >= kBatch) flush();
    }

    void flush() {
        std::sort(held_.begin(), held_.end());
        for (std::size_t i = 0; i < held_.size();) {
            std::size_t j = i;
            while (j + 1 < held_.size() && held_[j + 1] == held_[j] + 1) ++j;
            if (syscall(SYS_close_range, static_cast<unsigned>(held_[i]), static_cast<unsigned>(held_[j]), 0U) != 0)
                for (std::size_t k = i; k <= j; ++k) close(held_[k]);
            i = j + 1;
        }
        held_.clear();
    }

    int ruleset_;
    std::uint64_t handled_;
    std::vector<int> held_;
};

// What runtimes read in /proc besides their own entry: processor count and
// features, memory, load, the kernel's version and settings, cgroup and
// pressure figures. Other processes' entries are never named, nor the
// links (self, thread-self, mounts, net) that would lead into the runner's.
constexpr const char* kProcEntries[] = {
    "cpuinfo", "meminfo", "stat",    "loadavg", "uptime", "version", "filesystems", "sys",
    "cgroups", "swaps",   "vmstat", "zoneinfo", "pressure", "crypto",
};

void add_system_rules(Rules& rules) {
    for (const char* tree : {"/usr", "/bin", "/sbin", "/opt"}) rules.add_path(tree, kReadExec, Kind::Dir);
    // /lib, /lib32, /lib64, /libx32 and whatever else the host keeps there.
    rules.add_entries("/", kReadExec, [](std::string_view n) { return n.substr(0, 3) != "lib"; });

    rules.add_entries("/etc", kRead, [](std::string_view n) {
        for (const char* secret : kEtcSecrets)
            if (n == secret) return true;
        // Backups the account tools leave ("shadow-", "passwd-"), and the
        // two trees that mix secrets with what programs need.
        return n.ends_with('-') || n == "ssl" || n == "security";
    });
    rules.add_entries("/etc/ssl", kRead, [](std::string_view n) { return n == "private"; });
    rules.add_entries("/etc/security", kRead, [](std::string_view n) { return n == "opasswd" || n.ends_with('-'); });

    rules.add_path("/sys", kRead, Kind::Dir);
    // The child adds its own /proc entry itself.
    UniqueFd proc(retry_eintr([] { return open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC); }));
    if (proc.valid())
        for (const char* entry : kProcEntries) rules.add_path(entry, kRead, Kind::Unknown, proc.get());

    rules.add_path("/dev/null", kRead | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_TRUNCATE, Kind::NotDir);
    for (const char* dev : {"/dev/zero", "/dev/random", "/dev/urandom"}) rules.add_path(dev, kRead, Kind::NotDir);
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path.front() == '/') return path;
    const std::string cwd = current_dir();
    return cwd.empty() ? path : join_path(cwd, path);
}

std::string parent_of(const std::string& path) {
    std::string parent, name;
    split_parent(path, parent, name);
    return parent;
}

// A private directory in the scratch directory, created if missing; a link
// or anything else planted at its name is refused.
Result<std::string> private_dir(int scratch_fd, const std::string& scratch_abs, const char* name) {
    if (mkdirat(scratch_fd, name, 0700) != 0 && errno != EEXIST) return Error{os_error_text(errno)};
    UniqueFd fd(retry_eintr(
        [&] { return openat(scratch_fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!fd.valid()) return Error{os_error_text(errno)};
    return join_path(scratch_abs, name);
}

bool runner_has_capabilities() {
    struct __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return geteuid() == 0;
    return data[0].permitted != 0 || data[1].permitted != 0;
}

int last_capability() {
    UniqueFd fd(retry_eintr([] { return open("/proc/sys/kernel/cap_last_cap", O_RDONLY | O_CLOEXEC); }));
    char buf[16] = {};
    if (fd.valid() && retry_eintr([&] { return read(fd.get(), buf, sizeof buf - 1); }) > 0) {
        const int n = std::atoi(buf);
        if (n > 0 && n < 64) return n;
    }
    return 63;  // the child stops at the first capability the kernel does not know
}

struct BaseRuleset {
    int abi = 0;
    int error = 0;  // errno of a failed creation
    UniqueFd fd;    // invalid without Landlock
};

BaseRuleset build_base(bool no_net) {
    BaseRuleset base;
    base.abi = landlock_abi();
    if (base.abi == 0) return base;
    RulesetAttr attr{};
    attr.handled_access_fs = handled_fs(base.abi);
    if (base.abi >= 4 && no_net)
        attr.handled_access_net = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
    if (base.abi >= 6) attr.scoped = LANDLOCK_SCOPE_SIGNAL | LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET;
    const long ruleset = syscall(SYS_landlock_create_ruleset, &attr, attr_size(base.abi), 0);
    if (ruleset < 0) {
        if (refused(errno))
            base.abi = 0;
        else
            base.error = errno;
        return base;
    }
    base.fd.reset(static_cast<int>(ruleset));
    (void)fcntl(base.fd.get(), F_SETFD, FD_CLOEXEC);
    Rules rules(base.fd.get(), attr.handled_access_fs);
    add_system_rules(rules);
    return base;
}

// The part of a ruleset that is the same for every phase of an invocation:
// system directories, /etc, the /proc entries and devices. A few hundred
// rules, built once (per network setting, which decides what the ruleset
// handles) and shared by every phase and every case; each phase gets a
// descriptor of its own. A child enforces a copy taken at that moment, so
// what a later phase adds widens nothing an earlier child holds. Each
// child's rule for its own /proc entry stays in the shared ruleset: it names
// the inode of a process that has ended, which no later process reaches,
// even one given the same pid.
BaseRuleset base_ruleset(bool no_net) {
    static std::optional<BaseRuleset> shared[2];
    std::optional<BaseRuleset>& slot = shared[no_net ? 1 : 0];
    if (!slot || slot->error != 0) slot = build_base(no_net);
    BaseRuleset copy{slot->abi, slot->error, UniqueFd()};
    if (slot->fd.valid()) {
        copy.fd.reset(fcntl(slot->fd.get(), F_DUPFD_CLOEXEC, 3));
        if (!copy.fd.valid()) copy.error = errno;
    }
    return copy;
}

}  // namespace

int landlock_abi() {
    static const int abi = [] {
        const long v = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
        return v > 0 ? static_cast<int>(v) : 0;
    }();
    return abi;
}

ToolchainView derive_toolchains(const ChildEnv& env, const std::vector<std::string>& never_roots) {
    ToolchainView view;
    // Never "/" and never a directory that holds a home, the runs' temporary
    // base or this run's work directory.
    const auto allowed = [&](const std::string& p) {
        if (p.empty() || p.front() != '/' || p == "/") return false;
        for (const std::string& n : never_roots)
            if (n == p || n.rfind(p + "/", 0) == 0) return false;
        for (const std::string& r : view.roots)
            if (r == p) return false;
        return true;
    };
    const auto add = [&](const std::string& p) {
        if (allowed(p)) view.roots.push_back(p);
    };
    const auto lookup = [&](const std::string& name) -> const std::string* {
        const auto it = env.find(name);
        if (it != env.end()) return &it->second;
        for (const auto& [n, v] : view.set)
            if (n == name) return &v;
        return nullptr;
    };

    const auto path = env.find("PATH");
    for (std::string entry : split_colons(path == env.end() ? std::string() : path->second)) {
        while (entry.size() > 1 && entry.back() == '/') entry.pop_back();
        if (entry.empty() || entry.front() != '/') continue;
        add(entry);
        std::string parent, base;
        split_parent(entry, parent, base);
        // A toolchain's bin (or shims) directory leads to the toolchain.
        if (base == "bin" || base == "shims") add(parent);
        if (base != "bin") continue;
        // rustup's proxies find their toolchains through the home directory.
        std::string grandparent, parent_name;
        split_parent(parent, grandparent, parent_name);
        if (parent_name == ".cargo" && access((entry + "/rustup").c_str(), X_OK) == 0) {
            if (lookup("CARGO_HOME") == nullptr) view.set.emplace_back("CARGO_HOME", parent);
            if (lookup("RUSTUP_HOME") == nullptr) view.set.emplace_back("RUSTUP_HOME", grandparent + "/.rustup");
        }
    }
    for (const char* name : {"CARGO_HOME", "RUSTUP_HOME", "JAVA_HOME", "GOMODCACHE"})
        if (const std::string* v = lookup(name)) add(*v);
    if (const std::string* v = lookup("GOPATH"))
        for (const std::string& p : split_colons(*v)) add(p);
    return view;
}

Result<ContainPlan> plan_contain(const RunLimits& limits, const std::string& scratch_dir, ChildEnv& env) {
    ContainPlan plan;
    if (!limits.contain) return plan;
    plan.requested = true;
    plan.no_net = limits.no_net;

    UniqueFd scratch(retry_eintr(
        [&] { return open(scratch_dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!scratch.valid()) return Error{os_error_text(errno)};
    const std::string scratch_abs = absolute(scratch_dir);
    Result<std::string> home = private_dir(scratch.get(), scratch_abs, "home");
    if (!home) return Error{home.error()};
    Result<std::string> tmp = private_dir(scratch.get(), scratch_abs, "tmp");
    if (!tmp) return Error{tmp.error()};

    std::vector<std::string> never = {parent_of(scratch_abs)};
    if (const auto h = env.find("HOME"); h != env.end() && !h->second.empty()) never.push_back(h->second);
    const auto t = env.find("TMPDIR");
    never.push_back(t != env.end() && !t->second.empty() ? t->second : "/tmp");
    const ToolchainView toolchains = derive_toolchains(env, never);
    for (const auto& [name, value] : toolchains.set) env[name] = value;
    env["HOME"] = home.value();
    env["TMPDIR"] = tmp.value();

    plan.drop_caps = runner_has_capabilities();
    plan.last_cap = last_capability();
    BaseRuleset base = base_ruleset(limits.no_net);
    plan.abi = base.abi;
    if (base.error != 0) return Error{os_error_text(base.error)};
    if (!base.fd.valid()) return plan;  // no Landlock here: the note says so
    plan.ruleset = std::move(base.fd);

    // What is the run's own: its toolchains, the preloaded shim, its work
    // directory. Added to the shared ruleset, the same rules in every phase.
    Rules rules(plan.ruleset.get(), handled_fs(plan.abi));
    for (const std::string& root : toolchains.roots) rules.add_path(root.c_str(), kReadExec);
    // The network shim the runner itself preloads (--no-net without seccomp).
    if (const auto preload = env.find("LD_PRELOAD"); preload != env.end())
        rules.add_path(preload->second.c_str(), kReadExec, Kind::NotDir);

    // Every right in the run's own work directory (the scratch directory's
    // parent), which holds the private home and temporary directory.
    UniqueFd work(retry_eintr([&] { return openat(scratch.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC); }));
    if (!work.valid()) return Error{os_error_text(errno)};
    if (const int err = rules.add_fd(work.get(), handled_fs(plan.abi))) return Error{os_error_text(err)};

    plan.proc_dir.reset(retry_eintr([] { return open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC); }));
    // Its own entry also takes writes (coredump_filter, oom_score_adj):
    // the kernel's own checks still apply to each file.
    plan.proc_access = kRead | LANDLOCK_ACCESS_FS_WRITE_FILE;
    return plan;
}

int apply_contain_in_child(const ChildContain& p) {
    if (p.ruleset_fd >= 0 && p.proc_fd >= 0) {
        // The child's own /proc entry, which no rule could name before it
        // existed; /proc/self and /proc/thread-self lead into it.
        char name[24];
        char digits[24];
        int n = 0;
        for (unsigned long v = static_cast<unsigned long>(getpid()); v != 0 || n == 0; v /= 10)
            digits[n++] = static_cast<char>('0' + v % 10);
        for (int i = 0; i < n; ++i) name[i] = digits[n - 1 - i];
        name[n] = '\0';
        int fd;
        do {
            fd = openat(p.proc_fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) return errno;
        struct landlock_path_beneath_attr attr{};
        attr.allowed_access = p.proc_access;
        attr.parent_fd = fd;
        const long rc = syscall(SYS_landlock_add_rule, p.ruleset_fd, LANDLOCK_RULE_PATH_BENEATH, &attr, 0);
        const int err = errno;
        close(fd);
        if (rc != 0) return err;
    }
    if (p.drop_caps) {
        // No capability survives, not even through exec: root's child is
        // held by permission checks and by the ptrace scoping like any user.
        for (int cap = 0; cap <= p.last_cap; ++cap)
            if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
                // Past the kernel's last capability; or, for a user other
                // than root (whom exec cannot give capabilities back under
                // no_new_privs), no right to change the bounding set.
                if (errno == EINVAL || (errno == EPERM && geteuid() != 0)) break;
                return errno;
            }
        if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) return errno;
        // The run's own id, while the capabilities to take it are still held.
        if (p.switch_user)
            if (const int err = take_run_user(p.uid, p.gid)) return err;
        struct __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        struct __user_cap_data_struct data[2]{};
        if (syscall(SYS_capset, &header, data) != 0) return errno;
    } else if (p.switch_user) {
        if (const int err = take_run_user(p.uid, p.gid)) return err;
    }
    // A set-user-ID program must not take the run's id back to root.
    if (p.ruleset_fd < 0) return p.switch_user && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ? errno : 0;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
    if (syscall(SYS_landlock_restrict_self, p.ruleset_fd, 0) != 0) return errno;
    close(p.ruleset_fd);
    return 0;
}

void contain_notes(const ContainPlan& plan, NoteList& unenforced) {
    if (!plan.requested) return;
    if (plan.abi == 0) {
        unenforced.push_back("contain_unavailable");
        return;
    }
    if (plan.abi < 6) unenforced.push_back("contain_signals_not_scoped");
    if (plan.no_net && plan.abi < 4) unenforced.push_back("contain_tcp_not_restricted");
}

}  // namespace tessimar
