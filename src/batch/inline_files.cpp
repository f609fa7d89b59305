#include "batch/inline_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <utility>

#include "common/fd.hpp"
#include "common/text.hpp"
#include "workspace/tree.hpp"
#include "workspace/work_dir.hpp"

namespace tessimar {
namespace {

// Creates `name` in the directory and writes `content`; 0 or an errno.
int write_file_at(int dir_fd, const std::string& name, const std::string& content) {
    UniqueFd fd(retry_eintr([&] {
        return openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    }));
    if (!fd.valid()) return errno;
    return write_all(fd.get(), content.data(), content.size());
}

// Creates the file `path` (relative, plain components) below the directory,
// with the directories on its way; 0 or an errno.
int write_path_at(int dir_fd, const std::string& path, const std::string& content) {
    UniqueFd dir(fcntl(dir_fd, F_DUPFD_CLOEXEC, 3));
    if (!dir.valid()) return errno;
    std::size_t start = 0;
    for (std::size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
        const std::string part = path.substr(start, slash - start);
        if (mkdirat(dir.get(), part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
        dir.reset(retry_eintr([&] { return openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
        if (!dir.valid()) return errno;
    }
    return write_file_at(dir.get(), path.substr(start), content);
}

// Lets a string's memory go, not only its contents.
void release(std::string& s) { std::string().swap(s); }

}  // namespace

InlineFiles::InlineFiles(InlineFiles&& other) noexcept
    : dir_(std::exchange(other.dir_, std::string())), identity_(std::exchange(other.identity_, std::nullopt)) {}

InlineFiles& InlineFiles::operator=(InlineFiles&& other) noexcept {
    if (this != &other) {
        remove();
        dir_ = std::exchange(other.dir_, std::string());
        identity_ = std::exchange(other.identity_, std::nullopt);
    }
    return *this;
}

InlineFiles::~InlineFiles() { remove(); }

void InlineFiles::remove() {
    if (dir_.empty()) return;
    // A runner's program may have reached the directory (it runs as the same
    // user): the removal follows no link and leaves a replaced one alone.
    RemoveOptions options;
    options.expected = identity_;
    options.repair_owner_permissions = true;
    (void)remove_tree(dir_, options);
    dir_.clear();
}

Result<InlineFiles> InlineFiles::write(BatchRun& run) {
    InlineFiles files;
    if (run.tests.empty() && !run.expected && !run.files_given) return files;
    std::string pattern = join_path(temporary_base(), "tessimar-batch-XXXXXX");
    if (pattern.find('\0') != std::string::npos) return Error{os_error_text(EINVAL)};
    if (mkdtemp(pattern.data()) == nullptr) return Error{"cannot create " + display_path(pattern) + ": " + os_error_text(errno)};
    files.dir_ = pattern;
    files.identity_ = dir_identity(pattern);
    UniqueFd dir(retry_eintr([&] { return open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!dir.valid() || !files.identity_) return Error{"cannot open " + display_path(pattern) + ": " + os_error_text(errno)};

    const auto failed = [&](const std::string& name, int err) {
        return Error{"cannot write " + display_path(join_path(pattern, name)) + ": " + os_error_text(err)};
    };
    if (run.expected) {
        if (const int err = write_file_at(dir.get(), "expected", *run.expected)) return failed("expected", err);
        run.expected.reset();
        run.args.emplace_back("--expect-file");
        run.args.push_back(join_path(pattern, "expected"));
    }
    if (run.files_given) {
        const std::string sub = "files";
        if (mkdirat(dir.get(), sub.c_str(), 0700) != 0) return failed(sub, errno);
        UniqueFd files_dir(retry_eintr([&] { return openat(dir.get(), sub.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
        if (!files_dir.valid()) return failed(sub, errno);
        for (RequestFile& file : run.files) {
            if (const int err = write_path_at(files_dir.get(), file.path, file.content))
                return failed(sub + "/" + file.path, err);
            release(file.content);
        }
        run.files.clear();
        run.files.shrink_to_fit();
        run.args.emplace_back("--files");
        run.args.push_back(join_path(pattern, sub));
    }
    if (!run.tests.empty()) {
        for (InlineTest& test : run.tests) {
            const std::string in = test.name + ".in";
            if (const int err = write_file_at(dir.get(), in, test.stdin_text)) return failed(in, err);
            release(test.stdin_text);
            if (!test.expected) continue;
            const std::string out = test.name + ".out";
            if (const int err = write_file_at(dir.get(), out, *test.expected)) return failed(out, err);
            test.expected.reset();
        }
        run.tests.clear();
        run.tests.shrink_to_fit();
        run.args.emplace_back("--cases");
        run.args.push_back(pattern);
    }
    return files;
}

}  // namespace tessimar
