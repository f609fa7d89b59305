#include "workspace/case_dir.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "common/text.hpp"
#include "workspace/dir_walk.hpp"

namespace tessimar {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool ends_with_in(std::string_view name) {
    return name.size() >= 3 && name.substr(name.size() - 3) == ".in";
}

// -1, 0 or 1 for the natural order alone.
int natural_compare(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && is_digit(a[ie])) ++ie;
            while (je < b.size() && is_digit(b[je])) ++je;
            std::size_t is = i, js = j;  // first significant digit (one zero stays)
            while (is + 1 < ie && a[is] == '0') ++is;
            while (js + 1 < je && b[js] == '0') ++js;
            const std::string_view da = a.substr(is, ie - is), db = b.substr(js, je - js);
            if (da.size() != db.size()) return da.size() < db.size() ? -1 : 1;
            if (const int c = da.compare(db)) return c < 0 ? -1 : 1;
            i = ie;
            j = je;
            continue;
        }
        const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[j]);
        if (ca != cb) return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    const bool a_left = i < a.size(), b_left = j < b.size();
    return a_left == b_left ? 0 : (a_left ? 1 : -1);
}

std::string entry_path(const std::string& dir, const std::string& name) {
    return display_path(join_path(dir, name));
}

Error os_failure(const char* what, const std::string& path, int err) {
    return Error{std::string(what) + " " + display_path(path) + ": " + os_error_text(err)};
}

Error not_regular(const std::string& dir, const std::string& name) {
    return Error{"case file " + entry_path(dir, name) +
                 " is not a regular file (symlink, directory, FIFO, socket or device)"};
}

Error too_large(const std::string& dir, const std::string& name) {
    return Error{"case file " + entry_path(dir, name) + " is larger than 64 MiB"};
}

Error not_regular_answer(const std::string& dir, const std::string& name) {
    return Error{"expected answer " + entry_path(dir, name) +
                 " is not a regular file (symlink, directory, FIFO, socket or device)"};
}

// Finds "<name>.out" or "<name>.ans" beside a case file.
Status find_answer(const CaseDir& dir, CaseFile& file) {
    const std::string base = file.name();
    for (const char* suffix : {".out", ".ans"}) {
        const std::string name = base + suffix;
        struct stat st;
        if (fstatat(dir.fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;
            return os_failure("cannot inspect expected answer", join_path(dir.path, name), errno);
        }
        if (!S_ISREG(st.st_mode)) return not_regular_answer(dir.path, name);
        if (static_cast<std::uint64_t>(st.st_size) > kMaxCaseBytes)
            return Error{"expected answer " + entry_path(dir.path, name) + " is larger than 64 MiB"};
        if (file.has_answer())
            return Error{"case " + base + " has two expected answers: " + entry_path(dir.path, file.answer_name) +
                         " and " + entry_path(dir.path, name)};
        file.answer_name = name;
        file.answer_device = static_cast<std::uint64_t>(st.st_dev);
        file.answer_inode = static_cast<std::uint64_t>(st.st_ino);
    }
    return Status::success();
}

// Opens a listed file without following a link or blocking on a FIFO, and
// checks that it is still the one listed.
Result<UniqueFd> open_listed(const CaseDir& dir, const std::string& name, std::uint64_t device,
                             std::uint64_t inode, const char* what) {
    UniqueFd fd(retry_eintr([&] {
        return openat(dir.fd.get(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    }));
    if (!fd.valid()) {
        if (errno == ELOOP) return Error{std::string(what) + " " + entry_path(dir.path, name) +
                                         " is not a regular file (symlink, directory, FIFO, socket or device)"};
        return os_failure((std::string("cannot read ") + what).c_str(), join_path(dir.path, name), errno);
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return os_failure((std::string("cannot read ") + what).c_str(), join_path(dir.path, name), errno);
    if (!S_ISREG(st.st_mode))
        return Error{std::string(what) + " " + entry_path(dir.path, name) +
                     " is not a regular file (symlink, directory, FIFO, socket or device)"};
    if (static_cast<std::uint64_t>(st.st_dev) != device || static_cast<std::uint64_t>(st.st_ino) != inode)
        return Error{std::string(what) + " " + entry_path(dir.path, name) + " was replaced after it was listed"};
    return fd;
}

// The names ending in ".in", at most one more than kMaxCases.
int list_names(int dir_fd, std::vector<std::string>& names) {
    return list_names_at(dir_fd, kMaxCases + 1, [](const char* name) { return ends_with_in(name); }, names);
}

}  // namespace

bool natural_less(std::string_view a, std::string_view b) {
    if (const int c = natural_compare(a, b)) return c < 0;
    return a < b;
}

Result<CaseDir> open_case_dir(const std::string& path) {
    CaseDir dir;
    dir.path = path;
    if (path.find('\0') != std::string::npos)
        return os_failure("cannot open cases directory", path, EINVAL);
    dir.fd.reset(retry_eintr([&] { return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!dir.fd.valid()) return os_failure("cannot open cases directory", path, errno);

    std::vector<std::string> names;
    if (const int err = list_names(dir.fd.get(), names))
        return os_failure("cannot read cases directory", path, err);
    if (names.empty())
        return Error{"no cases in " + display_path(path) + ": no file name ends in .in"};
    if (names.size() > kMaxCases)
        return Error{"too many cases in " + display_path(path) + ": more than " +
                     std::to_string(kMaxCases) + " file names end in .in"};
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return natural_less(a, b); });

    for (std::string& name : names) {
        if (!is_valid_utf8(name))
            return Error{"case file name " + entry_path(path, name) + " is not valid UTF-8"};
        struct stat st;
        if (fstatat(dir.fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return os_failure("cannot inspect case file", join_path(path, name), errno);
        if (!S_ISREG(st.st_mode)) return not_regular(path, name);
        if (static_cast<std::uint64_t>(st.st_size) > kMaxCaseBytes) return too_large(path, name);
        CaseFile file;
        file.file_name = std::move(name);
        file.device = static_cast<std::uint64_t>(st.st_dev);
        file.inode = static_cast<std::uint64_t>(st.st_ino);
        if (Status s = find_answer(dir, file); !s) return Error{s.error()};
        dir.cases.push_back(std::move(file));
    }
    return dir;
}

Result<UniqueFd> open_answer(const CaseDir& dir, const CaseFile& file) {
    return open_listed(dir, file.answer_name, file.answer_device, file.answer_inode, "expected answer");
}

Result<std::string> read_case(const CaseDir& dir, const CaseFile& file) {
    const std::string& name = file.file_name;
    // Non-blocking and no links: a FIFO or a link swapped in since the
    // listing is refused rather than waited on or followed.
    Result<UniqueFd> opened = open_listed(dir, name, file.device, file.inode, "case file");
    if (!opened) return Error{opened.error()};
    const UniqueFd& fd = opened.value();
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return os_failure("cannot read case file", join_path(dir.path, name), errno);

    std::string data;
    try {
        if (st.st_size > 0 && static_cast<std::uint64_t>(st.st_size) <= kMaxCaseBytes)
            data.reserve(static_cast<std::size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
        return os_failure("cannot read case file", join_path(dir.path, name), ENOMEM);
    }
    if (const int err = append_to_end(fd.get(), data, kMaxCaseBytes)) {
        if (err == EFBIG) return too_large(dir.path, name);
        return os_failure("cannot read case file", join_path(dir.path, name), err);
    }
    return data;
}

}  // namespace tessimar
