#include "phase/contain.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/landlock.h>
#include <linux/openat2.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
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
#ifndef SYS_openat2
#define SYS_openat2 437
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

// The entries of /etc a child may read, relative to /etc; nothing else
// there is named. Found by tracing the runner under --contain (strace -f -e
// trace=%file) through every language of the catalogue installed on a
// Debian host (a hello world, a program reading standard input, a runtime
// error and, for compiled languages, a compile error), keeping each entry
// the programs opened directly or through a link (R's and Java's
// configuration, the locale aliases), plus the rest of the same families
// that programs commonly read: users and groups, the name service and
// resolver, hosts, services and protocols, the time zone, the dynamic
// loader, the certificate authorities and the TLS libraries'
// configuration, MIME types and fonts. The runtimes that keep one
// directory per version (the JDKs, PHP, Python) are matched by name
// instead, see add_etc_rules. Missing entries get no rule. Left out on
// purpose, though programs may look for them: configuration that can carry
// credentials (npmrc, pip.conf, gitconfig, maven, a PHP-FPM pool), the
// account databases' secrets and anything below ssl/private.
constexpr const char* kEtcAllowed[] = {
    // Users, groups, the name service and the resolver.
    "passwd", "group", "nsswitch.conf", "host.conf", "hosts", "resolv.conf", "gai.conf", "services", "protocols",
    // Time zone and locale.
    "localtime", "timezone", "locale.alias",
    // The dynamic loader. (Not the alternatives: Landlock checks the file a
    // link leads to, never the link, so /etc/alternatives/java needs only
    // the JDK's own rule.)
    "ld.so.cache", "ld.so.preload",
    // Certificate authorities and the TLS libraries' configuration.
    "ssl/certs", "ssl/openssl.cnf", "gnutls", "pki/tls/certs", "pki/ca-trust", "crypto-policies",
    // What the host is, MIME types, file magic and fonts.
    "os-release", "lsb-release", "mime.types", "magic", "fonts",
    // Runtimes' own configuration without a version in its name: R's, zsh's.
    "R", "zsh",
};

// What each PHP version directory may show: the command line's
// configuration and the module snippets it links to, not the FPM pools.
constexpr const char* kPhpVersionAllowed[] = {"cli", "mods-available"};

enum class Kind { Unknown, Dir, NotDir };

// Adds rules to a ruleset. The descriptors a rule needs are closed in
// batches, one close_range per run of consecutive numbers: a plan opens
// about a hundred of them, and each system call counts on every run.
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

    // A rule for `path` under `dir_fd`, links followed, but never into
    // /proc (where one would name the runner's own entry). A missing path,
    // or one the runner cannot open, gets no rule.
    void add_followed(int dir_fd, const char* path, std::uint64_t access) {
        const int fd = retry_eintr([&] { return openat(dir_fd, path, O_PATH | O_CLOEXEC); });
        if (fd < 0) return;
        add_unless_proc(fd, access);
        hold(fd);
    }

private:
    static constexpr std::size_t kBatch = 64;  // well under any sane descriptor limit

    // One fstat gives both the kind of the inode and whether a link led
    // into /proc.
    void add_unless_proc(int fd, std::uint64_t access) {
        static const dev_t proc_dev = [] {
            struct stat st;
            return stat("/proc", &st) == 0 ? st.st_dev : static_cast<dev_t>(-1);
        }();
        struct stat st;
        if (fstat(fd, &st) == 0 && st.st_dev != proc_dev)
            (void)add_fd(fd, access, S_ISDIR(st.st_mode) ? Kind::Dir : Kind::NotDir);
    }

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

// Calls `each` with the name of every entry of the directory `dir_fd`
// (opened for reading, left open), "." and ".." left out. Listed through a
// duplicate of the descriptor, so the names are those of the directory
// already opened, whatever its path leads to meanwhile. A directory that
// cannot be listed, or whose listing fails part way, yields what was read:
// fewer rules, never more.
template <typename F>
void for_each_entry(int dir_fd, F each) {
    const int fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return;
    DIR* listing = fdopendir(fd);
    if (listing == nullptr) {
        close(fd);
        return;
    }
    while (const struct dirent* e = readdir(listing))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) each(e->d_name);
    closedir(listing);
}

// Read rules for the entries of kEtcAllowed, and for the runtimes that keep
// a directory per version, by the pattern of their names: a JDK's
// java-<version>-<vendor>, python3.<minor> (and python3), and in each
// php/<version> only what kPhpVersionAllowed names. /etc and /etc/php are
// listed once each (a few getdents calls), so the next release of a
// runtime needs no new entry here.
void add_etc_rules(Rules& rules) {
    UniqueFd etc(retry_eintr([] { return open("/etc", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!etc.valid()) return;
    for (const char* entry : kEtcAllowed) rules.add_followed(etc.get(), entry, kRead);
    for_each_entry(etc.get(), [&](const char* name) {
        if (etc_runtime_entry(name)) rules.add_followed(etc.get(), name, kRead);
    });
    UniqueFd php(retry_eintr([&] { return openat(etc.get(), "php", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!php.valid()) return;
    for_each_entry(php.get(), [&](const char* version) {
        if (!php_version_entry(version)) return;
        for (const char* part : kPhpVersionAllowed)
            rules.add_followed(php.get(), (std::string(version) + "/" + part).c_str(), kRead);
    });
}

// True when `dir` is one of `paths` or holds one.
bool is_or_holds(const std::string& dir, const std::vector<std::string>& paths) {
    for (const std::string& p : paths)
        if (p == dir || p.rfind(dir + "/", 0) == 0) return true;
    return false;
}

// A system tree, whole; or, when it is or holds one of `never` (a home
// under /opt, say), entry by entry down to it, leaving out the path that
// leads there. Walked with a list of pending directories, not recursion.
void add_tree(Rules& rules, const char* tree, const std::vector<std::string>& never) {
    std::vector<std::string> pending{tree};
    while (!pending.empty()) {
        const std::string dir = std::move(pending.back());
        pending.pop_back();
        if (!is_or_holds(dir, never)) {
            if (dir == tree)
                rules.add_path(tree, kReadExec, Kind::Dir);
            else
                rules.add_followed(AT_FDCWD, dir.c_str(), kReadExec);
            continue;
        }
        if (std::find(never.begin(), never.end(), dir) != never.end()) continue;
        const int fd = retry_eintr([&] { return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
        DIR* listing = fd < 0 ? nullptr : fdopendir(fd);
        if (listing == nullptr) {
            if (fd >= 0) close(fd);
            continue;
        }
        // Links are left out: what one leads to in the tree has a rule of its
        // own, and one that leads to the home must not give it.
        while (const struct dirent* e = readdir(listing))
            if (e->d_type != DT_LNK && std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                pending.push_back(dir + "/" + e->d_name);
        closedir(listing);
    }
}

// The system trees a child reads and runs from. /bin, /sbin and the /lib
// trees are links into /usr on a merged host, directories of their own
// elsewhere.
constexpr const char* kSystemTrees[] = {"/usr", "/bin", "/sbin", "/opt", "/lib", "/lib32", "/lib64", "/libx32"};

// Whether `path` is `dir` or lies below it with no link on the way, so that
// a rule on `dir` covers it.
bool covered_by(const std::string& path, const std::string& dir) {
    if (path == dir) return true;
    if (path.rfind(dir + "/", 0) != 0) return false;
    // "/usr/../home/x/bin" is not below /usr.
    for (std::size_t at = path.find("/.."); at != std::string::npos; at = path.find("/..", at + 1))
        if (at + 3 == path.size() || path[at + 3] == '/') return false;
    struct open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    const long fd = retry_eintr([&] { return syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how); });
    if (fd < 0) return false;  // a link on the way, a kernel without openat2: a rule of its own
    close(static_cast<int>(fd));
    return true;
}

// Whether a directory already lies in a system tree given whole (PATH lists
// /usr/bin, /usr/local/bin, /bin...): each rule costs every run its share in
// building, merging and freeing the ruleset. A tree opened the same way
// names the same inode.
bool in_whole_tree(const std::string& path, const std::vector<std::string>& never) {
    for (const char* tree : kSystemTrees)
        if (!is_or_holds(tree, never) && covered_by(path, tree)) return true;
    return false;
}

// `never`: the runner's HOME and TMPDIR, which no tree may hand over whole.
void add_system_rules(Rules& rules, const std::vector<std::string>& never) {
    for (const char* tree : kSystemTrees) {
        // /bin, /lib and the rest as links into /usr on a merged host: the
        // rule on /usr already covers where they lead.
        char target[PATH_MAX];
        const ssize_t n = readlink(tree, target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            const std::string led = target[0] == '/' ? std::string(target) : std::string("/") + target;
            if (in_whole_tree(led, never)) continue;
        }
        add_tree(rules, tree, never);
    }

    add_etc_rules(rules);
    rules.add_path("/sys", kRead, Kind::Dir);
    // The child adds its own /proc entry itself.
    UniqueFd proc(retry_eintr([] { return open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC); }));
    if (proc.valid())
        for (const char* entry : kProcEntries) {
            const bool dir = std::strcmp(entry, "sys") == 0 || std::strcmp(entry, "pressure") == 0;
            rules.add_path(entry, kRead, dir ? Kind::Dir : Kind::NotDir, proc.get());
        }

    rules.add_path("/dev/null", kRead | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_TRUNCATE, Kind::NotDir);
    for (const char* dev : {"/dev/zero", "/dev/random", "/dev/urandom"}) rules.add_path(dev, kRead, Kind::NotDir);
}

// Whether a child running as `user` (no supplementary groups) can pass every
// directory on the way to `path` by its mode. A home of mode 0700 holding a
// toolchain, say: a rule there would only cost. A directory with an access
// control list, or one that cannot be looked at, counts as passable.
class Reach {
public:
    explicit Reach(const ChildUser& user) : user_(user) {}

    bool passable(const std::string& path) {
        if (!user_.active) return true;
        for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
            if (!dir_passable(path.substr(0, slash))) return false;
        return true;
    }

private:
    bool dir_passable(const std::string& dir) {
        for (const auto& [d, ok] : seen_)
            if (d == dir) return ok;
        bool ok = true;
        struct stat st;
        if (lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            const mode_t x = st.st_uid == user_.uid ? S_IXUSR : st.st_gid == user_.gid ? S_IXGRP : S_IXOTH;
            ok = (st.st_mode & x) != 0 || lgetxattr(dir.c_str(), "system.posix_acl_access", nullptr, 0) >= 0;
        }
        seen_.emplace_back(dir, ok);
        return ok;
    }

    const ChildUser& user_;
    std::vector<std::pair<std::string, bool>> seen_;
};

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

// The child's private directory in the scratch directory, its HOME and its
// TMPDIR in one: created by the phase that first needs it, it goes with
// the scratch directory. A link or anything else planted at its name is
// refused.
struct PrivateDir {
    std::string path;
    UniqueFd fd;  // O_PATH
};

Result<PrivateDir> private_dir(int scratch_fd, const std::string& scratch_abs) {
    constexpr const char* name = kPrivateDirName;
    if (mkdirat(scratch_fd, name, 0700) != 0 && errno != EEXIST) return Error{os_error_text(errno)};
    UniqueFd fd(retry_eintr(
        [&] { return openat(scratch_fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!fd.valid()) return Error{os_error_text(errno)};
    return PrivateDir{join_path(scratch_abs, name), std::move(fd)};
}

bool runner_has_capabilities() {
    struct __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return geteuid() == 0;
    return data[0].permitted != 0 || data[1].permitted != 0;
}

struct BaseRuleset {
    int abi = 0;
    int error = 0;  // errno of a failed creation
    UniqueFd fd;    // invalid without Landlock
};

BaseRuleset build_base(bool no_net, const std::vector<std::string>& never) {
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
    add_system_rules(rules, never);
    return base;
}

// The part of a ruleset that is the same for every phase of an invocation:
// system directories, /etc, the /proc entries and devices. About seventy
// rules, built once (per network setting, which decides what the ruleset
// handles) and shared by every phase and every case; each phase gets a
// descriptor of its own. A child enforces a copy taken at that moment, so
// what a later phase adds widens nothing an earlier child holds. Each
// child's rule for its own /proc entry stays in the shared ruleset: it names
// the inode of a process that has ended, which no later process reaches,
// even one given the same pid.
BaseRuleset base_ruleset(bool no_net, const std::vector<std::string>& never) {
    static std::optional<BaseRuleset> shared[2];
    std::optional<BaseRuleset>& slot = shared[no_net ? 1 : 0];
    if (!slot || slot->error != 0) slot = build_base(no_net, never);
    BaseRuleset copy{slot->abi, slot->error, UniqueFd()};
    if (slot->fd.valid()) {
        copy.fd.reset(fcntl(slot->fd.get(), F_DUPFD_CLOEXEC, 3));
        if (!copy.fd.valid()) copy.error = errno;
    }
    return copy;
}

}  // namespace

bool etc_runtime_entry(std::string_view name) {
    const auto starts = [&](std::string_view prefix) {
        return name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix;
    };
    return starts("java-") || name == "python3" || starts("python3.");
}

bool php_version_entry(std::string_view name) { return !name.empty() && name.front() >= '0' && name.front() <= '9'; }

int landlock_abi() {
    static const int abi = [] {
        const long v = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
        return v > 0 ? static_cast<int>(v) : 0;
    }();
    return abi;
}

ToolchainView derive_toolchains(const ChildEnv& env, const std::vector<std::string>& never_roots) {
    ToolchainView view;
    // Never "/" and never a directory that is or holds a home, the runs'
    // temporary base or this run's work directory.
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
    const auto executable = [](const std::string& p) { return access(p.c_str(), X_OK) == 0; };

    // Each PATH entry is a toolchain's own directory of programs; its parent
    // may hold anything (a home, a credentials file), so it is never given
    // on that account.
    const auto path = env.find("PATH");
    for (std::string entry : split_colons(path == env.end() ? std::string() : path->second)) {
        while (entry.size() > 1 && entry.back() == '/') entry.pop_back();
        if (entry.empty() || entry.front() != '/') continue;
        add(entry);
        std::string parent, base;
        split_parent(entry, parent, base);
        // rustup's proxies in ~/.cargo/bin find their toolchains through the
        // home directory, which the child no longer has: name both homes.
        std::string grandparent, parent_name;
        split_parent(parent, grandparent, parent_name);
        if (base == "bin" && parent_name == ".cargo" && executable(entry + "/rustup")) {
            if (lookup("CARGO_HOME") == nullptr) view.set.emplace_back("CARGO_HOME", parent);
            if (lookup("RUSTUP_HOME") == nullptr) view.set.emplace_back("RUSTUP_HOME", grandparent + "/.rustup");
        }
        // pyenv's shims run its libexec/pyenv, which reads the global version
        // file, picks the version from versions/, and runs every hook of
        // pyenv.d and of each plugin (plugins/*/etc/pyenv.d), whose commands
        // it also looks for in plugins/*/bin. The plugins directory holds
        // only pyenv's own scripts; the rest of the root (its sources, a git
        // checkout) is not given.
        if (base == "shims" && executable(parent + "/libexec/pyenv"))
            for (const char* part : {"/shims", "/libexec", "/versions", "/version", "/pyenv.d", "/plugins"})
                add(parent + part);
    }
    // rustup: the proxies (and tools cargo installed) in CARGO_HOME/bin, and
    // the toolchains and the settings file (the default toolchain) under
    // RUSTUP_HOME. Nothing else of CARGO_HOME: it keeps the registry tokens
    // (credentials.toml) and configuration beside the proxies.
    if (const std::string* v = lookup("CARGO_HOME")) add(*v + "/bin");
    if (const std::string* v = lookup("RUSTUP_HOME")) {
        add(*v + "/toolchains");
        add(*v + "/settings.toml");
    }
    // A JDK directory, and a module cache, hold only the toolchain.
    for (const char* name : {"JAVA_HOME", "GOMODCACHE"})
        if (const std::string* v = lookup(name)) add(*v);
    // A GOPATH entry also holds the user's own sources (src): only the
    // installed commands and the module cache.
    if (const std::string* v = lookup("GOPATH"))
        for (const std::string& p : split_colons(*v)) {
            add(p + "/bin");
            add(p + "/pkg/mod");
        }
    return view;
}

Result<ContainPlan> plan_contain(const RunLimits& limits, const std::string& scratch_dir, ChildEnv& env,
                                 const ChildUser& user) {
    ContainPlan plan;
    if (!limits.contain) return plan;
    plan.requested = true;
    plan.no_net = limits.no_net;

    UniqueFd scratch(retry_eintr(
        [&] { return open(scratch_dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!scratch.valid()) return Error{os_error_text(errno)};
    const std::string scratch_abs = absolute(scratch_dir);
    Result<PrivateDir> home = private_dir(scratch.get(), scratch_abs);
    if (!home) return Error{home.error()};

    // The runner's HOME and TMPDIR (the same in every phase), and this
    // run's work directory.
    std::vector<std::string> never;
    if (const auto h = env.find("HOME"); h != env.end() && !h->second.empty()) never.push_back(h->second);
    const auto t = env.find("TMPDIR");
    never.push_back(t != env.end() && !t->second.empty() ? t->second : "/tmp");
    const std::vector<std::string> system_never = never;
    never.push_back(parent_of(scratch_abs));
    const ToolchainView toolchains = derive_toolchains(env, never);
    for (const auto& [name, value] : toolchains.set) env[name] = value;
    env["HOME"] = home.value().path;
    env["TMPDIR"] = home.value().path;
    plan.private_dir = std::move(home.value().fd);

    plan.drop_caps = runner_has_capabilities();
    BaseRuleset base = base_ruleset(limits.no_net, system_never);
    plan.abi = base.abi;
    if (base.error != 0) return Error{os_error_text(base.error)};
    if (!base.fd.valid()) return plan;  // no Landlock here: the note says so
    plan.ruleset = std::move(base.fd);

    // What is the run's own: its toolchains, the preloaded shim, its work
    // directory. Added to the shared ruleset, the same rules in every phase.
    Rules rules(plan.ruleset.get(), handled_fs(plan.abi));
    Reach reach(user);
    for (std::size_t i = 0; i < toolchains.roots.size(); ++i) {
        const std::string& root = toolchains.roots[i];
        if (in_whole_tree(root, system_never) || !reach.passable(root)) continue;
        // Below another of the run's toolchain directories (a pyenv plugin's
        // shims below its plugins directory).
        bool nested = false;
        for (std::size_t j = 0; j < toolchains.roots.size() && !nested; ++j)
            nested = j != i && covered_by(root, toolchains.roots[j]);
        if (!nested) rules.add_followed(AT_FDCWD, root.c_str(), kReadExec);
    }
    // The network shim the runner itself preloads (--no-net without seccomp).
    if (const auto preload = env.find("LD_PRELOAD"); preload != env.end())
        rules.add_followed(AT_FDCWD, preload->second.c_str(), kReadExec);

    // Every right in the run's own work directory (the scratch directory's
    // parent), which holds the private directory.
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
    // The run's own id, taken while the capabilities to take it are held.
    if (p.switch_user)
        if (const int err = become_run_user(p.uid, p.gid)) return err;
    if (p.drop_caps) {
        // No capability survives, not even through exec: emptying the
        // permitted and inheritable sets empties the ambient set with them,
        // and under no_new_privs exec grants nothing beyond what was held
        // (a root child's full set, a set-user-ID program, file
        // capabilities), so the bounding set need not be walked. Root's
        // child is held by permission checks and by the ptrace scoping like
        // any user.
        struct __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        struct __user_cap_data_struct data[2]{};
        if (syscall(SYS_capset, &header, data) != 0) return errno;
    }
    // Landlock asks for it, and whatever the child gave up it must not take
    // back through a set-user-ID program, with or without Landlock.
    const bool gave_up = p.drop_caps || p.switch_user;
    if ((gave_up || p.ruleset_fd >= 0) && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
    if (p.ruleset_fd < 0) return 0;
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
