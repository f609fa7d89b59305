#include "workspace/work_dir_loan.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>

#include "common/fd.hpp"
#include "common/text.hpp"
#include "workspace/dir_walk.hpp"

namespace tessimar {
namespace {

// The path of a descriptor's own file: calls made through it reach that
// file, even for O_PATH handles (which fchmod and fsetxattr refuse), and
// nothing swapped in at its name since.
std::string handle_path(int fd) {
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    return proc_path;
}

int chmod_handle(int fd, mode_t mode) { return chmod(handle_path(fd).c_str(), mode) == 0 ? 0 : errno; }

// One regular file the runner just wrote into the scratch directory.
int hand_over_file(int scratch_fd, const std::string& path, std::uint32_t uid, std::uint32_t gid) {
    std::string parent, name;
    split_parent(path, parent, name);
    UniqueFd fd(retry_eintr([&] { return openat(scratch_fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); }));
    if (!fd.valid()) return errno;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return EPERM;  // not the file just written
    return fchownat(fd.get(), "", uid, gid, AT_EMPTY_PATH) == 0 ? 0 : errno;
}

constexpr const char* kAclAccess = "system.posix_acl_access";
constexpr const char* kAclDefault = "system.posix_acl_default";

// The value of an extended attribute, or none when the file has none (or
// the file system keeps none).
Result<std::optional<std::string>> read_xattr(int fd, const char* name) {
    std::string value(256, '\0');
    while (true) {
        const ssize_t n = fgetxattr(fd, name, value.data(), value.size());
        if (n >= 0) {
            value.resize(static_cast<std::size_t>(n));
            return std::optional<std::string>(value);
        }
        if (errno == ENODATA || errno == ENOTSUP) return std::optional<std::string>();
        if (errno != ERANGE || value.size() > (1U << 20)) return Error{os_error_text(errno)};
        value.resize(value.size() * 4);
    }
}

// Sets an extended attribute of the file behind a path handle to `value`,
// or removes it.
int restore_xattr(const std::string& path, const char* name, const std::optional<std::string>& value) {
    if (value) return setxattr(path.c_str(), name, value->data(), value->size(), 0) == 0 ? 0 : errno;
    if (removexattr(path.c_str(), name) == 0 || errno == ENODATA || errno == ENOTSUP) return 0;
    return errno;
}

// Gives one entry of `dir_fd` back when the run's id owns it.
int give_back(int dir_fd, const std::string& name, const WorkDirLoan& loan) {
    UniqueFd fd(retry_eintr([&] { return openat(dir_fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); }));
    if (!fd.valid()) return errno == ENOENT ? 0 : errno;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return errno;
    if (st.st_uid != loan.to_uid && st.st_gid != loan.to_gid) return 0;
    // The owner's change also clears set-user-ID and set-group-ID bits.
    if (fchownat(fd.get(), "", loan.owner_uid, loan.owner_gid, AT_EMPTY_PATH) != 0) return errno;
    if (S_ISLNK(st.st_mode)) return 0;
    // Lists that the id gave itself or others on what it made go with it.
    const std::string path = handle_path(fd.get());
    for (const char* name : {kAclAccess, kAclDefault})
        if (const int err = restore_xattr(path, name, std::nullopt)) return err;
    if (fstat(fd.get(), &st) != 0) return errno;
    if ((st.st_mode & S_IWOTH) == 0) return 0;
    return chmod_handle(fd.get(), st.st_mode & 07777 & ~static_cast<mode_t>(S_IWOTH));
}

}  // namespace

Result<WorkDirLoan> lend_work_dir(const std::string& work_dir, const std::string& scratch_dir,
                                  const RunFiles& files, std::uint32_t uid, std::uint32_t gid) {
    const auto failed = [&](int err) {
        return Error{"cannot hand the work directory " + display_path(work_dir) + " to the run's user: " +
                     os_error_text(err)};
    };
    UniqueFd work(retry_eintr([&] { return open(work_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!work.valid()) return failed(errno);
    struct stat st;
    if (fstat(work.get(), &st) != 0) return failed(errno);
    WorkDirLoan loan;
    loan.to_uid = uid;
    loan.to_gid = gid;
    loan.owner_uid = st.st_uid;
    loan.owner_gid = st.st_gid;
    loan.mode = st.st_mode & 07777;
    loan.id = DirIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    Result<std::optional<std::string>> access = read_xattr(work.get(), kAclAccess);
    if (!access) return Error{"cannot hand the work directory " + display_path(work_dir) + " to the run's user: " +
                              access.error()};
    Result<std::optional<std::string>> defaults = read_xattr(work.get(), kAclDefault);
    if (!defaults) return Error{"cannot hand the work directory " + display_path(work_dir) + " to the run's user: " +
                                defaults.error()};
    loan.acl_access = access.value();
    loan.acl_default = defaults.value();

    UniqueFd scratch(retry_eintr(
        [&] { return open(scratch_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!scratch.valid()) return failed(errno);
    int err = 0;
    if (fchown(work.get(), uid, gid) != 0) return failed(errno);
    if (fchown(scratch.get(), uid, gid) != 0) err = errno;
    if (err == 0) err = hand_over_file(scratch.get(), files.source_path, uid, gid);
    if (err == 0) err = hand_over_file(scratch.get(), files.shim_path, uid, gid);
    if (err != 0) {
        (void)fchown(work.get(), loan.owner_uid, loan.owner_gid);
        (void)fchmod(work.get(), loan.mode);
        return failed(err);
    }
    loan.active = true;
    loan.dir = std::make_shared<UniqueFd>(std::move(work));
    return loan;
}

int return_work_dir(const std::string& work_dir, const WorkDirLoan& loan) {
    if (!loan.active) return 0;
    // The directory held since the loan; read back from a note, the caller's
    // own path, which must still lead to the directory that was lent.
    UniqueFd opened;
    if (!loan.dir || !loan.dir->valid()) {
        opened.reset(retry_eintr([&] { return open(work_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
        if (!opened.valid()) return errno;
    }
    const UniqueFd& work = opened.valid() ? opened : *loan.dir;
    DirWalk walk(DirWalk::Options{});
    if (const int err = walk.open_root(work.get(), ".", &loan.id)) return err;
    const std::uint64_t device = walk.top_identity().device;
    int first_error = 0;
    while (walk.depth() > 0) {
        const DirEntry* entry = walk.next_entry();
        if (entry == nullptr) {
            walk.pop();
            continue;
        }
        const std::string name = entry->name;
        const bool dir = entry->type == DT_DIR;
        const int fd = walk.top_fd();
        if (fd < 0) return -fd;
        if (const int err = give_back(fd, name, loan); err != 0 && first_error == 0) first_error = err;
        if (!dir) continue;
        const int err = walk.push(name);
        if (err == ELOOP || err == ENOTDIR || err == ENOENT) continue;  // not a directory any more
        if (err != 0) return err;
        if (walk.top_identity().device != device) walk.pop();  // never cross a mount
    }
    // Last the directory itself (the one the walk began at): its owner and
    // mode as they were.
    if (fchown(work.get(), loan.owner_uid, loan.owner_gid) != 0) return errno;
    const std::string path = handle_path(work.get());
    if (const int err = restore_xattr(path, kAclAccess, loan.acl_access)) return err;
    if (const int err = restore_xattr(path, kAclDefault, loan.acl_default)) return err;
    if (fchmod(work.get(), loan.mode) != 0) return errno;
    return first_error;
}

namespace {
constexpr const char* kLoanHeader = "work directory loan 2\n";
}  // namespace

namespace {

// An optional byte string as one word: "-" for none, else hexadecimal.
std::string hex_word(const std::optional<std::string>& bytes) {
    if (!bytes) return "-";
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out = "x";
    for (const unsigned char c : *bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

bool from_hex_word(const std::string& word, std::optional<std::string>& bytes) {
    if (word == "-") return true;
    if (word.empty() || word[0] != 'x' || word.size() % 2 != 1) return false;
    const auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
    std::string out;
    for (std::size_t i = 1; i < word.size(); i += 2) {
        const int hi = digit(word[i]), lo = digit(word[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    bytes = std::move(out);
    return true;
}

}  // namespace

std::string describe_loan(const std::string& work_dir, const WorkDirLoan& loan) {
    return kLoanHeader + std::to_string(loan.to_uid) + " " + std::to_string(loan.to_gid) + " " +
           std::to_string(loan.owner_uid) + " " + std::to_string(loan.owner_gid) + " " +
           std::to_string(loan.mode) + " " + std::to_string(loan.id.device) + " " +
           std::to_string(loan.id.inode) + " " + hex_word(loan.acl_access) + " " + hex_word(loan.acl_default) +
           "\n" + work_dir;
}

std::optional<DescribedLoan> parse_loan(const std::string& text) {
    const std::string header = kLoanHeader;
    if (text.compare(0, header.size(), header) != 0) return std::nullopt;
    const std::size_t end = text.find('\n', header.size());
    if (end == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(header.size(), end - header.size()));
    DescribedLoan d;
    unsigned long long mode = 0;
    std::string access, defaults;
    if (!(fields >> d.loan.to_uid >> d.loan.to_gid >> d.loan.owner_uid >> d.loan.owner_gid >> mode >>
          d.loan.id.device >> d.loan.id.inode >> access >> defaults) ||
        !from_hex_word(access, d.loan.acl_access) || !from_hex_word(defaults, d.loan.acl_default))
        return std::nullopt;
    d.loan.mode = static_cast<mode_t>(mode & 07777);
    d.work_dir = text.substr(end + 1);
    if (d.work_dir.empty() || d.work_dir.front() != '/') return std::nullopt;
    d.loan.active = true;
    return d;
}

}  // namespace tessimar
