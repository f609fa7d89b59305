#include "phase/run_user.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>

#include "common/text.hpp"
#include "report/process_accounting.hpp"

namespace tessimar {
namespace {

// Where the locks live: /run, which only root may write, and a directory in
// /tmp where /run cannot be written (a container without it).
constexpr const char* kLockDirs[] = {"/run/tessimar-exec", "/tmp/tessimar-exec-uids", nullptr};

std::optional<std::uint32_t> parse_id(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v == 0 || v >= 0xFFFFFFFFull) return std::nullopt;  // root, and (uid_t)-1
    return static_cast<std::uint32_t>(v);
}

Result<IdRange> id_range_from_env() {
    const char* value = std::getenv(kIdRangeVariable);
    if (value == nullptr) return kDefaultIdRange;
    return parse_id_range(value);
}

bool fixed_process_limit() {
    const char* value = std::getenv("TESSIMAR_MAX_PROCESSES");
    return value != nullptr && is_valid_utf8(value) && parse_u64(value).has_value();
}

}  // namespace

Result<IdRange> parse_id_range(std::string_view text) {
    const std::size_t dash = text.find('-');
    const auto first = dash == std::string_view::npos ? std::nullopt : parse_id(text.substr(0, dash));
    const auto last = dash == std::string_view::npos ? std::nullopt : parse_id(text.substr(dash + 1));
    if (!first || !last || *first > *last)
        return Error{"invalid " + std::string(kIdRangeVariable) + " value \"" + utf8_lossy(text) +
                     "\": expected FIRST-LAST, two user ids with 0 < FIRST <= LAST < 4294967295"};
    return IdRange{*first, *last};
}

Result<UniqueFd> open_lock_dir(const char* const* candidates) {
    std::string tried;
    for (const char* const* c = candidates; *c != nullptr; ++c) {
        const char* path = *c;
        if (mkdir(path, 0700) != 0 && errno != EEXIST) {
            const int err = errno;
            // Not writable here: the next place.
            if (err == EACCES || err == EPERM || err == EROFS || err == ENOENT) {
                tried = path;
                continue;
            }
            return Error{"cannot keep the run's user id locks in " + display_path(path) + ": " + os_error_text(err)};
        }
        UniqueFd fd(retry_eintr([&] { return open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
        if (!fd.valid())
            return Error{"cannot keep the run's user id locks in " + display_path(path) + ": " + os_error_text(errno)};
        struct stat st;
        if (fstat(fd.get(), &st) != 0)
            return Error{"cannot keep the run's user id locks in " + display_path(path) + ": " + os_error_text(errno)};
        // Anyone else who could change it could take an id from a run.
        if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            return Error{"cannot keep the run's user id locks in " + display_path(path) +
                         ": it is not a directory of the runner's user that only that user can write"};
        return fd;
    }
    return Error{"cannot keep the run's user id locks in " + display_path(tried) + ": " + os_error_text(EACCES)};
}

int become_run_user(std::uint32_t uid, std::uint32_t gid) {
    // Raw system calls: the C library's wrappers would pass the change on to
    // every thread they know, and a child sharing the runner's memory would
    // reach the runner's.
    if (syscall(SYS_setgroups, 0, nullptr) != 0) return errno;
    if (syscall(SYS_setresgid, gid, gid, gid) != 0) return errno;
    if (syscall(SYS_setresuid, uid, uid, uid) != 0) return errno;
    return 0;
}

int kill_processes_of(std::uint32_t uid, std::uint32_t gid) {
    // The helper borrows the runner's memory until it exits; it makes only
    // system calls, and reports a failed switch in its exit status.
    const pid_t pid = vfork();
    if (pid < 0) return errno;
    if (pid == 0) _exit(take_run_user(uid, gid) & 0xff);
    int status = 0;
    if (retry_eintr([&] { return waitpid(pid, &status, 0); }) < 0) return errno;
    if (!WIFEXITED(status)) return EIO;
    return WEXITSTATUS(status);
}

int take_run_user(std::uint32_t uid, std::uint32_t gid) {
    if (const int err = become_run_user(uid, gid)) return err;
    // kill(-1) as that user reaches every other process of it that the
    // kernel lists at that moment, in one pass under the lock that a fork
    // must also take: nothing forks past it.
    (void)syscall(SYS_kill, -1, SIGKILL);
    return 0;
}

namespace {

bool has_setid_capabilities() {
    struct __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    const std::uint32_t wanted = (1U << CAP_SETUID) | (1U << CAP_SETGID);
    return (data[0].effective & wanted) == wanted;
}

// Whether `id` is mapped in the user namespace's map file `path` ("inside
// outside count" per line). A map that cannot be read counts as the initial
// namespace's, which maps every id; the child's switch then says otherwise.
bool mapped(const char* path, std::uint32_t id) {
    UniqueFd fd(retry_eintr([&] { return open(path, O_RDONLY | O_CLOEXEC); }));
    std::string text;
    if (!fd.valid() || append_to_end(fd.get(), text, 1 << 16) != 0) return true;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        unsigned long long inside = 0, outside = 0, count = 0;
        if (std::sscanf(text.substr(pos, end - pos).c_str(), "%llu %llu %llu", &inside, &outside, &count) == 3 &&
            id >= inside && id - inside < count)
            return true;
        pos = end + 1;
    }
    return false;
}

// setgroups is refused in a user namespace whose creator denied it.
bool setgroups_allowed() {
    UniqueFd fd(retry_eintr([] { return open("/proc/self/setgroups", O_RDONLY | O_CLOEXEC); }));
    char buf[8] = {};
    if (!fd.valid() || retry_eintr([&] { return read(fd.get(), buf, sizeof buf - 1); }) <= 0) return true;
    return std::string_view(buf).substr(0, 4) != "deny";
}

// Whether a child can switch to the id: the runner holds the capabilities
// to, and its user namespace maps the id and allows setgroups.
bool can_take(std::uint32_t uid, std::uint32_t gid) {
    return has_setid_capabilities() && mapped("/proc/self/uid_map", uid) && mapped("/proc/self/gid_map", gid) &&
           setgroups_allowed();
}

}  // namespace

Result<RunUser> RunUser::claim(const RunLimits& limits) {
    RunUser held;
    if (!limits.contain || geteuid() != 0) return held;
    Result<IdRange> range = id_range_from_env();
    if (!range) return Error{range.error()};
    Result<UniqueFd> dir = open_lock_dir(kLockDirs);
    if (!dir) return Error{dir.error()};

    const IdRange r = range.value();
    for (std::uint64_t id = r.first; id <= r.last; ++id) {
        const std::string name = std::to_string(id);
        UniqueFd lock(retry_eintr([&] {
            return openat(dir.value().get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        }));
        if (!lock.valid())
            return Error{"cannot lock user id " + name + " for the run: " + os_error_text(errno)};
        if (retry_eintr([&] { return flock(lock.get(), LOCK_EX | LOCK_NB); }) != 0) {
            if (errno == EWOULDBLOCK) continue;  // another run holds it
            return Error{"cannot lock user id " + name + " for the run: " + os_error_text(errno)};
        }
        const auto uid = static_cast<std::uint32_t>(id);
        if (!can_take(uid, uid)) {
            // A user namespace that maps no such id, or a root without the
            // capabilities to switch: the children stay uid 0.
            held.user_.unavailable = true;
            return held;
        }
        held.user_.active = true;
        held.user_.uid = uid;
        held.user_.gid = uid;
        if (const int read_err = append_to_end(lock.get(), held.left_note_, 1 << 16))
            return Error{"cannot read the lock of user id " + name + ": " + os_error_text(read_err)};
        // Held from here until the run ends: a runner killed meanwhile
        // leaves the file without the mark.
        const bool left_clean = fremovexattr(lock.get(), kIdLeftCleanAttr) == 0;
        held.lock_ = std::move(lock);
        // The processes of the id, counted as for any user unless the limit
        // is fixed. Unless the last holder marked the id clean and none is
        // listed, whatever runs under it (a killed runner's leftovers) is
        // killed before any child of this run starts. kill(-1) walks every
        // process of the host: paid only when there may be something to end.
        std::optional<std::uint64_t> tasks;
        if (left_clean || !fixed_process_limit()) tasks = tasks_of_uid(uid);
        if (!left_clean || tasks.value_or(1) != 0) held.kill_leftovers();
        if (!fixed_process_limit()) held.user_.tasks = tasks.value_or(0);
        return held;
    }
    return Error{"no free user id for the run: every id of " + std::string(kIdRangeVariable) + " (" +
                 std::to_string(r.first) + "-" + std::to_string(r.last) + ") is in use"};
}

void RunUser::note(const std::string& text) const {
    if (!lock_.valid()) return;
    note_pending_ = !text.empty();
    // Best effort: a note that cannot be written only leaves less to settle,
    // and a clean mark that is not written only costs the next holder a kill.
    if (ftruncate(lock_.get(), 0) != 0) {
        note_pending_ = true;
        return;
    }
    if (!text.empty()) (void)retry_eintr([&] { return pwrite(lock_.get(), text.data(), text.size(), 0); });
}

RunUser::~RunUser() {
    // A note still pending (a work directory not given back) keeps the next
    // holder clearing the id; so does a run left by an exception, which may
    // have left a phase before its sweep.
    if (!lock_.valid() || note_pending_ || std::uncaught_exceptions() > 0) return;
    (void)fsetxattr(lock_.get(), kIdLeftCleanAttr, "", 0, 0);
}

void RunUser::kill_leftovers() const {
    if (user_.active) (void)kill_processes_of(user_.uid, user_.gid);
}

int hand_over(const ChildUser& user, const int* fds, std::size_t fd_count) {
    if (!user.active) return 0;
    for (std::size_t i = 0; i < fd_count; ++i)
        if (fds[i] >= 0 && fchownat(fds[i], "", user.uid, user.gid, AT_EMPTY_PATH) != 0) return errno;
    return 0;
}

}  // namespace tessimar
