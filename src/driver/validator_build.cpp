#include "driver/validator_build.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "common/fd.hpp"
#include "common/text.hpp"
#include "judge/compare.hpp"
#include "phase/child_env.hpp"
#include "phase/child_exec.hpp"
#include "phase/launch.hpp"
#include "workspace/tree.hpp"

namespace tessimar {
namespace {

// What a source may hold: enough for any judging program, small enough to
// keep in memory while it is copied and compared.
constexpr std::size_t kMaxSourceBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxSourceEntries = 4096;
constexpr std::size_t kMaxSourceDepth = 32;

constexpr const char* kManifestName = "manifest";
constexpr const char* kSourceDirName = "src";
constexpr const char* kProgramName = "program";
constexpr const char* kPhaseDirName = "phase";

enum class Kind { C, Cpp, Python, Build, Run };

const char* kind_name(Kind k) {
    switch (k) {
        case Kind::C: return "c";
        case Kind::Cpp: return "cpp";
        case Kind::Python: return "python";
        case Kind::Build: return "build";
        case Kind::Run: return "run";
    }
    return "?";
}

struct SourceEntry {
    std::string path;  // relative, components joined by '/'
    bool directory = false;
    bool executable = false;
    std::string bytes;
};

std::string extension_of(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
}

bool is_cpp_name(const std::string& name) {
    const std::string e = extension_of(name);
    return e == ".cc" || e == ".cpp" || e == ".cxx" || e == ".c++" || e == ".C";
}
bool is_c_name(const std::string& name) { return extension_of(name) == ".c"; }
bool is_python_name(const std::string& name) { return extension_of(name) == ".py"; }

// The directory `rel` below `root_fd`, opened one component at a time
// without following a link.
Result<UniqueFd> open_below(int root_fd, const std::string& rel) {
    UniqueFd dir(fcntl(root_fd, F_DUPFD_CLOEXEC, 0));
    if (!dir.valid()) return Error{os_error_text(errno)};
    std::size_t start = 0;
    while (start < rel.size()) {
        std::size_t end = rel.find('/', start);
        if (end == std::string::npos) end = rel.size();
        const std::string part = rel.substr(start, end - start);
        UniqueFd next(retry_eintr([&] {
            return openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }));
        if (!next.valid()) return Error{os_error_text(errno)};
        dir = std::move(next);
        start = end + 1;
    }
    return dir;
}

std::string join_rel(const std::string& base, const std::string& name) {
    return base.empty() ? name : base + "/" + name;
}

// Reads the regular file `name` of `dir_fd` whole, refusing a link.
Result<std::string> read_regular(int dir_fd, const std::string& name, std::size_t limit, bool& executable) {
    UniqueFd fd(retry_eintr([&] {
        return openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }));
    if (!fd.valid()) return Error{errno == ELOOP ? std::string("is a symbolic link") : os_error_text(errno)};
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return Error{os_error_text(errno)};
    if (!S_ISREG(st.st_mode)) return Error{"is not a regular file"};
    executable = (st.st_mode & S_IXUSR) != 0;
    std::string bytes;
    if (const int err = append_to_end(fd.get(), bytes, limit))
        return Error{err == EFBIG ? "makes the sources larger than 64 MiB" : os_error_text(err)};
    return bytes;
}

// Every entry below the directory `root_fd`, sorted by path (a directory
// before what it holds). Walked with an explicit list of directories still
// to read, each reopened from the top without following a link.
Result<std::vector<SourceEntry>> read_tree(int root_fd, const std::string& shown) {
    std::vector<SourceEntry> out;
    std::vector<std::string> pending{""};
    std::size_t total = 0;
    while (!pending.empty()) {
        const std::string rel = std::move(pending.back());
        pending.pop_back();
        const std::string shown_dir = rel.empty() ? shown : join_path(shown, rel);
        Result<UniqueFd> dir = open_below(root_fd, rel);
        if (!dir) return Error{"cannot read " + display_path(shown_dir) + ": " + dir.error()};
        const int listing = fcntl(dir.value().get(), F_DUPFD_CLOEXEC, 0);
        if (listing < 0) return Error{"cannot read " + display_path(shown_dir) + ": " + os_error_text(errno)};
        std::unique_ptr<DIR, int (*)(DIR*)> d(fdopendir(listing), closedir);
        if (!d) {
            const int err = errno;
            close(listing);
            return Error{"cannot read " + display_path(shown_dir) + ": " + os_error_text(err)};
        }
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* e = readdir(d.get())) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
            errno = 0;
        }
        if (errno != 0) return Error{"cannot read " + display_path(shown_dir) + ": " + os_error_text(errno)};
        for (const std::string& name : names) {
            const std::string path = join_rel(rel, name);
            const std::string shown_path = display_path(join_path(shown, path));
            if (out.size() == kMaxSourceEntries)
                return Error{"cannot read " + display_path(shown) + ": more than " +
                             std::to_string(kMaxSourceEntries) + " entries"};
            struct stat st;
            if (fstatat(dir.value().get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return Error{"cannot read " + shown_path + ": " + os_error_text(errno)};
            if (S_ISLNK(st.st_mode)) return Error{"cannot use " + shown_path + ": it is a symbolic link"};
            if (S_ISDIR(st.st_mode)) {
                if (static_cast<std::size_t>(std::count(path.begin(), path.end(), '/')) + 1 >= kMaxSourceDepth)
                    return Error{"cannot use " + shown_path + ": nested too deep"};
                out.push_back(SourceEntry{path, true, false, {}});
                pending.push_back(path);
                continue;
            }
            if (!S_ISREG(st.st_mode)) return Error{"cannot use " + shown_path + ": not a regular file or directory"};
            bool executable = false;
            Result<std::string> bytes = read_regular(dir.value().get(), name, kMaxSourceBytes - total, executable);
            if (!bytes) return Error{"cannot read " + shown_path + ": " + bytes.error()};
            total += bytes.value().size();
            out.push_back(SourceEntry{path, false, executable, std::move(bytes.value())});
        }
    }
    std::sort(out.begin(), out.end(), [](const SourceEntry& a, const SourceEntry& b) { return a.path < b.path; });
    return out;
}

// A program found as the runner's children find it: on their search path.
struct Tool {
    std::string path;      // as found, used in the command
    std::string identity;  // its resolved path, size and modification time
};

Result<Tool> find_tool(const std::string& name) {
    const ChildEnv env = build_child_env("", {});
    const auto path = env.find("PATH");
    const std::string search = path != env.end() ? path->second : kDefaultSearchPath;
    for (const std::string& candidate : exec_candidates(name, search)) {
        if (candidate.empty() || candidate.front() != '/') continue;
        struct stat st;
        if (stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (faccessat(AT_FDCWD, candidate.c_str(), X_OK, AT_EACCESS) != 0) continue;
        std::unique_ptr<char, void (*)(void*)> real(realpath(candidate.c_str(), nullptr), std::free);
        const std::string identity = std::string(real ? real.get() : candidate.c_str()) + " " +
                                     std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                                     std::to_string(st.st_mtim.tv_nsec);
        return Tool{candidate, identity};
    }
    return Error{"no " + name + " on the search path " + display_path(search)};
}

// The cache key's text: the kind, the tool, and every entry with its
// bytes, each length-prefixed so that no two source sets read alike.
std::string manifest_of(Kind kind, const std::string& tool_identity, const std::vector<SourceEntry>& entries) {
    std::string m = "tessimar validator 1\n";
    m += kind_name(kind);
    m += "\n" + std::to_string(tool_identity.size()) + " " + tool_identity + "\n";
    for (const SourceEntry& e : entries) {
        m += e.directory ? "d " : (e.executable ? "x " : "f ");
        m += std::to_string(e.path.size()) + " " + e.path + " " + std::to_string(e.bytes.size()) + "\n";
        m += e.bytes;
        m += "\n";
    }
    return m;
}

// The entry's name: two 64-bit FNV-1a digests of the manifest with
// different starting values. The name only places the entry; the entry's
// stored manifest is compared byte for byte before it is used, so two
// source sets that met on one name cost a rebuild, never a wrong program.
std::string key_of(const std::string& manifest) {
    std::uint64_t a = 0xcbf29ce484222325ULL, b = 0x84222325cbf29ce4ULL;
    for (const char c : manifest) {
        a = (a ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
        b = (b ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
        b ^= b >> 29;
    }
    char hex[33];
    std::snprintf(hex, sizeof hex, "%016llx%016llx", static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
    return hex;
}

std::string random_hex() {
    static std::uint64_t counter = 0;
    std::uint64_t bits = 0;
    if (retry_eintr([&] { return getrandom(&bits, sizeof bits, GRND_NONBLOCK); }) != sizeof bits)
        bits = static_cast<std::uint64_t>(getpid()) << 32 ^ ++counter;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(bits));
    return hex;
}

// A single-quoted shell word.
std::string sh_quote(const std::string& text) { return "'" + replace_all(text, "'", "'\\''") + "'"; }

// The cache directory, created 0700 (with its missing parents) and refused
// unless it is the runner's own and no one else may write to it.
Result<UniqueFd> open_cache_root(const std::string& root) {
    const std::string shown = display_path(root);
    for (std::size_t slash = root.find('/', 1);; slash = root.find('/', slash + 1)) {
        const std::string prefix = slash == std::string::npos ? root : root.substr(0, slash);
        if (!prefix.empty() && mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return Error{"cannot create the validator cache " + shown + ": " + display_path(prefix) + ": " +
                         os_error_text(errno)};
        if (slash == std::string::npos) break;
    }
    UniqueFd fd(retry_eintr([&] { return open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!fd.valid()) return Error{"cannot open the validator cache " + shown + ": " + os_error_text(errno)};
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return Error{"cannot open the validator cache " + shown + ": " + os_error_text(errno)};
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return Error{"cannot use the validator cache " + shown +
                     ": it must belong to the runner's user and be writable by no one else"};
    return fd;
}

// Where the entry's program is, relative to the entry.
std::string program_rel(Kind kind) {
    return kind == Kind::Build || kind == Kind::Run ? std::string(kSourceDirName) + "/run" : kProgramName;
}

// Whether the entry `key` holds exactly `manifest` and a runnable program.
bool entry_matches(int root_fd, const std::string& key, const std::string& manifest, Kind kind) {
    Result<UniqueFd> entry = open_below(root_fd, key);
    if (!entry) return false;
    bool executable = false;
    Result<std::string> stored = read_regular(entry.value().get(), kManifestName, manifest.size() + 1, executable);
    if (!stored || stored.value() != manifest) return false;
    std::string dir, name;
    split_parent(program_rel(kind), dir, name);
    Result<UniqueFd> parent = dir == "." ? open_below(entry.value().get(), "") : open_below(entry.value().get(), dir);
    if (!parent) return false;
    struct stat st;
    return fstatat(parent.value().get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           (st.st_mode & S_IXUSR) != 0;
}

Status write_file_at(int dir_fd, const std::string& name, const std::string& bytes, mode_t mode) {
    UniqueFd fd(retry_eintr([&] {
        return openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    }));
    if (!fd.valid()) return Error{os_error_text(errno)};
    if (const int err = write_all(fd.get(), bytes.data(), bytes.size())) return Error{os_error_text(err)};
    if (fchmod(fd.get(), mode) != 0) return Error{os_error_text(errno)};
    return Status::success();
}

// The sources written below `dir_fd` (an empty directory of the runner's).
Status write_tree(int dir_fd, const std::vector<SourceEntry>& entries) {
    for (const SourceEntry& e : entries) {
        std::string parent, name;
        split_parent(e.path, parent, name);
        Result<UniqueFd> at = open_below(dir_fd, parent == "." ? std::string() : parent);
        if (!at) return Error{e.path + ": " + at.error()};
        if (e.directory) {
            if (mkdirat(at.value().get(), name.c_str(), 0700) != 0) return Error{e.path + ": " + os_error_text(errno)};
            continue;
        }
        if (Status s = write_file_at(at.value().get(), name, e.bytes, e.executable ? 0700 : 0600); !s)
            return Error{e.path + ": " + s.error()};
    }
    return Status::success();
}

// A directory of the cache being filled, removed unless it was renamed
// into place.
class BuildDir {
public:
    BuildDir(int root_fd, std::string name) : root_fd_(root_fd), name_(std::move(name)) {}
    BuildDir(const BuildDir&) = delete;
    BuildDir& operator=(const BuildDir&) = delete;
    ~BuildDir() {
        if (!name_.empty()) (void)remove_tree_at(root_fd_, name_, RemoveOptions{std::nullopt, true});
    }
    void release() { name_.clear(); }

private:
    int root_fd_;
    std::string name_;
};

std::string compiler_text(const PhaseOutcome& o) {
    std::string text = o.stderr_text.empty() ? o.stdout_text : o.stderr_text;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return bounded_message(text);
}

// One step of the build (the compiler, or the `build` script) in `cwd`,
// its phase files in `phase_dir`.
Status run_build_step(std::vector<std::string> argv, const std::string& phase_dir, const std::string& cwd,
                      const RunLimits& limits, const std::string& what) {
    // The problem's own program, trusted like its checker: no confinement,
    // no data limit; the compile budget is its wall clock.
    RunLimits l = limits.compile_timeout_ms ? with_timeout_ms(limits, *limits.compile_timeout_ms) : limits;
    l.contain = false;
    l.no_net = false;
    l.max_data_mb = 0;
    PhaseRequest request{"compile", std::move(argv), phase_dir, cwd, "", l, "", {}, {}, {}};
    const PhaseOutcome o = run_phase(std::move(request));
    if (o.spawn_error) return Error{what + ": it could not be started: " + *o.spawn_error};
    if (o.timed_out) return Error{what + ": it ran past the timeout of " + describe_timeout(l)};
    if (o.signaled) return Error{what + ": it was killed by signal " + std::to_string(o.signal)};
    if (o.exit_code != 0) {
        const std::string said = compiler_text(o);
        return Error{what + ": it exited with status " + std::to_string(o.exit_code) +
                     (said.empty() ? std::string() : ": " + said)};
    }
    return Status::success();
}

struct Plan {
    Kind kind;
    std::vector<std::string> compiled;  // C and C++: the files, relative to the source directory
    std::string python_main;           // Python: the file run, relative to it
};

Result<Plan> plan_of(const std::vector<SourceEntry>& entries, bool single_file, const std::string& shown) {
    std::vector<std::string> c, cpp, py;
    bool build = false, run = false;
    for (const SourceEntry& e : entries) {
        if (e.directory || e.path.find('/') != std::string::npos) continue;
        if (e.path == "build") build = true;
        else if (e.path == "run") run = true;
        else if (is_cpp_name(e.path)) cpp.push_back(e.path);
        else if (is_c_name(e.path)) c.push_back(e.path);
        else if (is_python_name(e.path)) py.push_back(e.path);
    }
    if (!single_file && build) return Plan{Kind::Build, {}, {}};
    if (!single_file && run) return Plan{Kind::Run, {}, {}};
    if (!cpp.empty()) {
        cpp.insert(cpp.end(), c.begin(), c.end());
        std::sort(cpp.begin(), cpp.end());
        return Plan{Kind::Cpp, cpp, {}};
    }
    if (!c.empty()) return Plan{Kind::C, c, {}};
    if (py.size() == 1) return Plan{Kind::Python, {}, py.front()};
    if (!py.empty()) {
        if (std::find(py.begin(), py.end(), "main.py") != py.end()) return Plan{Kind::Python, {}, "main.py"};
        return Error{"cannot build the validator " + shown +
                     ": it has several Python files and none is main.py"};
    }
    return Error{"cannot build the validator " + shown +
                 (single_file ? std::string(": not a C (.c), C++ (.cc, .cpp, .cxx) or Python (.py) file")
                              : std::string(": no C or C++ sources, Python file, build or run script in it"))};
}

}  // namespace

Result<std::string> build_validator(const std::string& source, const std::string& cache_root,
                                    const RunLimits& limits) {
    const std::string shown = display_path(source);
    UniqueFd src(retry_eintr([&] {
        return open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }));
    if (!src.valid())
        return Error{"cannot read the validator " + shown + ": " +
                     (errno == ELOOP ? std::string("it is a symbolic link") : os_error_text(errno))};
    struct stat st;
    if (fstat(src.get(), &st) != 0) return Error{"cannot read the validator " + shown + ": " + os_error_text(errno)};

    std::vector<SourceEntry> entries;
    const bool single_file = S_ISREG(st.st_mode);
    if (single_file) {
        std::string dir, name;
        split_parent(source, dir, name);
        std::string bytes;
        if (const int err = append_to_end(src.get(), bytes, kMaxSourceBytes))
            return Error{"cannot read the validator " + shown + ": " +
                         (err == EFBIG ? std::string("larger than 64 MiB") : os_error_text(err))};
        entries.push_back(SourceEntry{name, false, (st.st_mode & S_IXUSR) != 0, std::move(bytes)});
    } else if (S_ISDIR(st.st_mode)) {
        Result<std::vector<SourceEntry>> tree = read_tree(src.get(), source);
        if (!tree) return Error{tree.error()};
        entries = std::move(tree.value());
    } else {
        return Error{"cannot read the validator " + shown + ": not a regular file or directory"};
    }
    src.reset();

    Result<Plan> planned = plan_of(entries, single_file, shown);
    if (!planned) return Error{planned.error()};
    const Plan& plan = planned.value();
    std::optional<Tool> tool;
    if (plan.kind != Kind::Build && plan.kind != Kind::Run) {
        const char* name = plan.kind == Kind::C ? "gcc" : plan.kind == Kind::Cpp ? "g++" : "python3";
        Result<Tool> found = find_tool(name);
        if (!found) return Error{"cannot build the validator " + shown + ": " + found.error()};
        tool = std::move(found.value());
    }
    const std::string manifest = manifest_of(plan.kind, tool ? tool->identity : std::string(), entries);
    const std::string key = key_of(manifest);

    std::string root = cache_root;
    if (root.empty() || root.front() != '/') root = join_path(current_dir(), root);
    Result<UniqueFd> opened_root = open_cache_root(root);
    if (!opened_root) return Error{opened_root.error()};
    const int root_fd = opened_root.value().get();
    const std::string final_dir = join_path(root, key);
    const std::string program = join_path(final_dir, program_rel(plan.kind));
    if (entry_matches(root_fd, key, manifest, plan.kind)) return program;

    // Built in a fresh directory of the cache, renamed into place when whole.
    const auto cache_error = [&](const std::string& what) {
        return Error{"cannot build the validator " + shown + " in " + display_path(root) + ": " + what};
    };
    std::string tmp_name;
    for (int attempt = 0;; ++attempt) {
        tmp_name = ".build-" + random_hex();
        if (mkdirat(root_fd, tmp_name.c_str(), 0700) == 0) break;
        if (errno != EEXIST || attempt == 8) return cache_error(os_error_text(errno));
    }
    BuildDir guard(root_fd, tmp_name);
    const std::string tmp = join_path(root, tmp_name);
    const std::string tmp_src = join_path(tmp, kSourceDirName);
    const std::string phase_dir = join_path(tmp, kPhaseDirName);
    Result<UniqueFd> tmp_fd = open_below(root_fd, tmp_name);
    if (!tmp_fd) return cache_error(tmp_fd.error());
    if (mkdirat(tmp_fd.value().get(), kSourceDirName, 0700) != 0 ||
        mkdirat(tmp_fd.value().get(), kPhaseDirName, 0700) != 0)
        return cache_error(os_error_text(errno));
    {
        Result<UniqueFd> src_fd = open_below(tmp_fd.value().get(), kSourceDirName);
        if (!src_fd) return cache_error(src_fd.error());
        if (Status s = write_tree(src_fd.value().get(), entries); !s) return cache_error(s.error());
    }
    std::vector<SourceEntry>().swap(entries);  // written; the manifest holds what is compared

    const std::string what = "cannot build the validator " + shown;
    switch (plan.kind) {
        case Kind::C:
        case Kind::Cpp: {
            std::vector<std::string> argv{tool->path, "-O2"};
            if (plan.kind == Kind::Cpp) argv.push_back("-std=gnu++20");
            for (const std::string& a : {std::string("-I"), tmp_src, std::string("-o"), join_path(tmp, kProgramName)})
                argv.push_back(a);
            argv.insert(argv.end(), plan.compiled.begin(), plan.compiled.end());
            argv.push_back("-lm");
            if (Status s = run_build_step(std::move(argv), phase_dir, tmp_src, limits, what + " (" + tool->path + ")");
                !s)
                return Error{s.error()};
            break;
        }
        case Kind::Python: {
            const std::string launcher = "#!/bin/sh\nexec " + sh_quote(tool->path) + " " +
                                         sh_quote(join_path(join_path(final_dir, kSourceDirName), plan.python_main)) +
                                         " \"$@\"\n";
            if (Status s = write_file_at(tmp_fd.value().get(), kProgramName, launcher, 0700); !s)
                return cache_error(s.error());
            break;
        }
        case Kind::Build:
            if (Status s = run_build_step({"/bin/sh", join_path(tmp_src, "build")}, phase_dir, tmp_src, limits,
                                          what + " (its build script)");
                !s)
                return Error{s.error()};
            [[fallthrough]];
        case Kind::Run: {
            Result<UniqueFd> src_fd = open_below(tmp_fd.value().get(), kSourceDirName);
            if (!src_fd) return cache_error(src_fd.error());
            struct stat run_st;
            if (fstatat(src_fd.value().get(), "run", &run_st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(run_st.st_mode))
                return Error{what + ": " + (plan.kind == Kind::Build ? "its build script made no regular file run"
                                                                     : "its run script is not a regular file")};
            // A script as the format writes it: executable in this private copy.
            if (fchmodat(src_fd.value().get(), "run", 0700, 0) != 0) return cache_error(os_error_text(errno));
            break;
        }
    }
    (void)remove_tree_at(tmp_fd.value().get(), kPhaseDirName, RemoveOptions{std::nullopt, true});
    // Written last: an entry is used only once its manifest is there.
    if (Status s = write_file_at(tmp_fd.value().get(), kManifestName, manifest, 0600); !s)
        return cache_error(s.error());
    for (int attempt = 0;; ++attempt) {
        if (renameat(root_fd, tmp_name.c_str(), root_fd, key.c_str()) == 0) break;
        if ((errno != ENOTEMPTY && errno != EEXIST) || attempt == 1) return cache_error(os_error_text(errno));
        // Another runner finished the same build first, or an entry of other
        // sources holds the name: the first is used, the second replaced.
        if (entry_matches(root_fd, key, manifest, plan.kind)) return program;
        if (const int err = remove_tree_at(root_fd, key, RemoveOptions{std::nullopt, true}))
            return cache_error(os_error_text(err));
    }
    guard.release();
    return program;
}

}  // namespace tessimar
