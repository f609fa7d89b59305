#include "workspace/work_dir.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/fd.hpp"
#include "common/text.hpp"
#include "workspace/tree.hpp"

namespace tessimar {

const char* const NODE_SIBLING_SHIM_JS =
    "// Written by tessimar-exec into the scratch directory of every run.\n"
    "// It lets a relative require() that fails fall back to the work directory (see README).\n"
    "const Module = require(\"module\");\n"
    "const path = require(\"path\");\n"
    "const originalResolve = Module._resolveFilename;\n"
    "Module._resolveFilename = function (request, parent, isMain, options) {\n"
    "  try {\n"
    "    return originalResolve.call(this, request, parent, isMain, options);\n"
    "  } catch (err) {\n"
    "    const root = process.env.TESSIMAR_WORKDIR_ROOT;\n"
    "    if (root && (request.startsWith(\"./\") || request.startsWith(\"../\"))) {\n"
    "      try {\n"
    "        const alt = path.resolve(root, request);\n"
    "        return originalResolve.call(this, alt, parent, isMain, options);\n"
    "      } catch (_fallbackErr) {\n"
    "        // fall through to the original error below \u2014 the fallback failed too\n"
    "      }\n"
    "    }\n"
    "    throw err;\n"
    "  }\n"
    "};\n";

namespace {

std::atomic<std::uint64_t> g_name_counter{0};

std::string hex(std::uint64_t value) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(value));
    return buf;
}

int write_new_file(const std::string& path, const std::string& content) {
    UniqueFd fd(retry_eintr([&] {
        return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    }));
    if (!fd.valid()) return errno;
    if (const int err = write_all(fd.get(), content.data(), content.size())) return err;
    if (close(fd.release()) != 0 && errno != EINTR) return errno;
    return 0;
}

}  // namespace

std::string temporary_base() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr ? std::string(tmp) : std::string("/tmp");
}

Result<std::string> create_work_dir() {
    const std::string base = temporary_base();
    for (int attempt = 0; attempt < 64; ++attempt) {
        const std::uint64_t count = g_name_counter.fetch_add(1);
        struct timespec now{};
        std::uint64_t nanos = 0;
        if (clock_gettime(CLOCK_REALTIME, &now) == 0 && now.tv_sec >= 0)
            nanos = static_cast<std::uint64_t>(now.tv_nsec);
        const std::string name =
            "tessimar-" + std::to_string(getpid()) + "-" + hex(count ^ nanos);
        const std::string path = join_path(base, name);
        if (mkdir(path.c_str(), 0777) == 0) return path;
        if (errno != EEXIST)
            return Error{"cannot create a work directory in " + display_path(base) + ": " +
                         os_error_text(errno)};
    }
    return Error{"cannot create a work directory in " + display_path(temporary_base()) + ": " +
                 std::to_string(64) + " name collisions in a row"};
}

Result<RunFiles> write_run_files(const std::string& scratch_dir, const LanguageSpec& spec,
                                 const std::string& program_text) {
    RunFiles files;
    files.source_path = join_path(scratch_dir, "main." + spec.extension);
    files.exe_path = join_path(scratch_dir, "a.out");
    files.shim_path = join_path(scratch_dir, kShimFileName);
    if (const int err = write_new_file(files.source_path, program_text))
        return Error{"failed to write source to " + display_path(files.source_path) + ": " +
                     os_error_text(err)};
    if (const int err = write_new_file(files.shim_path, NODE_SIBLING_SHIM_JS))
        return Error{"failed to write " + display_path(files.shim_path) + ": " + os_error_text(err)};
    return files;
}

void remove_dir_guarded(const std::string& work_dir, const std::optional<DirIdentity>& identity) {
    if (identity) {
        const std::optional<DirIdentity> now = dir_identity(work_dir);
        if (!now || !(*now == *identity)) {
            const std::string line = "tessimar-exec: refusing to delete " + display_path(work_dir) +
                                     " \u2014 it is not the directory this run created\n";
            (void)write_all(2, line.data(), line.size());
            return;
        }
    }
    RemoveOptions options;
    options.expected = identity;
    options.repair_owner_permissions = true;
    (void)remove_tree(work_dir, options);
}

}  // namespace tessimar
