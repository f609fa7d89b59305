#include "report/process_accounting.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <limits>
#include <mutex>
#include <string>

#include "common/fd.hpp"
#include "common/proc_path.hpp"
#include "common/text.hpp"
#include "report/pidfd_task.hpp"

namespace tessimar {
namespace {

constexpr std::uint64_t kDefaultHeadroom = 512;
constexpr std::uint64_t kUnmeasuredLimit = 4096;

std::optional<std::uint64_t> env_number(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || !is_valid_utf8(value)) return std::nullopt;
    return parse_u64(value);
}

std::string_view trim_ascii_space(std::string_view s) {
    const auto is_space = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
    };
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

StatusFields parse_status_text(std::string_view text) {
    StatusFields fields;
    std::size_t pos = 0;
    while (pos < text.size() && !(fields.uid && fields.threads)) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.starts_with("Uid:")) {
            std::string_view rest = trim_ascii_space(line.substr(4));
            const std::size_t cut = rest.find_first_of(" \t\n\r\f\v");
            if (cut != std::string_view::npos) rest = rest.substr(0, cut);
            if (const auto v = parse_u64(rest); v && *v <= 0xFFFFFFFFull)
                fields.uid = static_cast<std::uint32_t>(*v);
        } else if (line.starts_with("Threads:")) {
            if (const auto v = parse_u64(trim_ascii_space(line.substr(8)))) fields.threads = v;
        }
    }
    return fields;
}

namespace {

// The two fields of the status file of the entry `name` (a pid, or "self")
// of the /proc directory `dir_fd`, read into `buffer`; nothing when it
// cannot be read.
std::optional<StatusFields> read_status(int dir_fd, std::string_view name, std::string& buffer) {
    const ProcEntryPath path(name, "status");
    UniqueFd fd(retry_eintr([&] { return openat(dir_fd, path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd.valid()) return std::nullopt;
    std::size_t used = 0;
    while (true) {
        if (used == buffer.size()) buffer.resize(buffer.size() * 2);
        const ssize_t n = retry_eintr([&] { return read(fd.get(), buffer.data() + used, buffer.size() - used); });
        if (n < 0) return std::nullopt;
        used += static_cast<std::size_t>(n);
        // Only whole lines are parsed until the end of the file: a number
        // cut by the read must not count. The lines up to the two fields
        // are ASCII, so the bytes parse as the decoded text would.
        std::string_view seen(buffer.data(), used);
        if (n != 0) seen = seen.substr(0, seen.rfind('\n') + 1);
        const StatusFields fields = parse_status_text(seen);
        if (n == 0 || (fields.uid && fields.threads)) return fields;
    }
}

// Whether the scan would find at least one process of the runner's real
// uid, settled where possible by the runner's own entry, which the scan
// lists and which matches by definition; a full scan otherwise. Decided
// once per invocation, like the count.
bool user_has_tasks() {
    static std::once_flag once;
    static bool found = false;
    std::call_once(once, [] {
        const UniqueFd proc(retry_eintr([] { return open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC); }));
        // "self" names the runner's own entry once the check says so.
        if (proc.valid() && proc_lists_own_pids(proc.get())) {
            std::string buffer(4096, '\0');
            const std::optional<StatusFields> fields = read_status(proc.get(), "self", buffer);
            found = fields && fields->uid && *fields->uid == getuid();
        }
        if (!found) found = count_user_tasks().has_value();
    });
    return found;
}

// The scan itself; `listed` says whether the directory could be listed.
std::optional<std::uint64_t> scan(const char* proc_dir, unsigned uid, ScanSource source, bool& listed) {
    DIR* dir = opendir(proc_dir);
    listed = dir != nullptr;
    if (dir == nullptr) return std::nullopt;
    const int dir_fd = dirfd(dir);
    bool by_pidfd = source == ScanSource::Fastest && proc_lists_own_pids(dir_fd);
    // One buffer for the whole scan. A status file is about 1.5 KiB and the
    // two fields sit in its first half, so one read per process is the rule;
    // a longer file is read on only while a field is still missing.
    std::string buffer(4096, '\0');
    std::uint64_t total = 0;
    bool matched = false;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (!is_pid_entry(name)) continue;
        if (by_pidfd) {
            const std::optional<std::uint64_t> pid = parse_u64(name);
            const PidfdUid who = pid && *pid <= static_cast<std::uint64_t>(std::numeric_limits<int>::max())
                                     ? pidfd_real_uid(static_cast<int>(*pid))
                                     : PidfdUid{};
            if (who.result == PidfdUid::Result::Gone) continue;
            if (who.result == PidfdUid::Result::Known) {
                if (who.ruid != uid) continue;
                // A task directory links to itself, its parent and one
                // entry per thread: the count the status file shows as
                // "Threads:". Where /proc hides a process from the runner,
                // this fails just as opening its status file would.
                struct stat st;
                if (fstatat(dir_fd, ProcEntryPath(name, "task").c_str(), &st, 0) != 0) continue;
                total = sat_add(total, st.st_nlink >= 2 ? st.st_nlink - 2 : 0);
                matched = true;
                continue;
            }
            by_pidfd = false;  // no answer from this kernel: status files from here on
        }
        const std::optional<StatusFields> fields = read_status(dir_fd, name, buffer);
        if (!fields) continue;
        if (fields->uid && *fields->uid == uid) {
            total = sat_add(total, fields->threads.value_or(1));
            matched = true;
        }
    }
    closedir(dir);
    if (!matched) return std::nullopt;
    return total;
}

}  // namespace

std::optional<std::uint64_t> scan_user_tasks(const char* proc_dir, unsigned uid, ScanSource source) {
    bool listed = false;
    return scan(proc_dir, uid, source, listed);
}

std::optional<std::uint64_t> tasks_of_uid(unsigned uid) {
    bool listed = false;
    const std::optional<std::uint64_t> tasks = scan("/proc", uid, ScanSource::Fastest, listed);
    if (!listed) return std::nullopt;
    return tasks.value_or(0);
}

std::optional<std::uint64_t> count_user_tasks() {
    static std::once_flag once;
    static std::optional<std::uint64_t> count;
    std::call_once(once, [] { count = scan_user_tasks("/proc", getuid()); });
    return count;
}

std::uint64_t compute_process_limit(NoteList& notes, const ChildUser& user) {
    std::uint64_t limit;
    bool measured;
    if (user.active) {
        limit = env_number("TESSIMAR_MAX_PROCESSES")
                    .value_or(sat_add(user.tasks, env_number("TESSIMAR_PROCESS_HEADROOM").value_or(kDefaultHeadroom)));
        measured = true;
    } else if (const auto fixed = env_number("TESSIMAR_MAX_PROCESSES")) {
        // The count itself is not needed then, only whether there is one.
        limit = *fixed;
        measured = user_has_tasks();
    } else {
        const std::optional<std::uint64_t> count = count_user_tasks();
        const std::uint64_t headroom = env_number("TESSIMAR_PROCESS_HEADROOM").value_or(kDefaultHeadroom);
        limit = count ? sat_add(*count, headroom) : kUnmeasuredLimit;
        measured = count.has_value();
    }
    struct rlimit rl;
    if (getrlimit(RLIMIT_NPROC, &rl) == 0 && rl.rlim_max != RLIM_INFINITY && rl.rlim_max < limit) {
        limit = rl.rlim_max;
        notes.push_back("process_limit_clamped_to_hard_rlimit");
    }
    if (!measured) notes.push_back("process_limit_is_a_fixed_ceiling_not_measured");
    if (geteuid() == 0 && !user.active) notes.push_back("process_limit_not_enforced_for_uid_0");
    return limit;
}

}  // namespace tessimar
