#include "cache/build_cache.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "cache/manifest.hpp"
#include "common/sha256.hpp"
#include "common/text.hpp"
#include "workspace/dir_walk.hpp"
#include "workspace/tree.hpp"

namespace tessimar {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// O_NONBLOCK: a FIFO planted in place of a file must not hold the runner.
constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr int kNewFileFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t kChunk = 64 * 1024;
// What an interrupted store or removal left behind is removed once this old.
constexpr time_t kStaleSecs = 3600;

std::atomic<std::uint64_t> g_counter{0};

// A name of the form "tmp.<what>.<pid>.<unique>", never a key.
std::string temp_name(const char* what) {
    struct timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    char unique[17];
    std::snprintf(unique, sizeof unique, "%llx",
                  static_cast<unsigned long long>(g_counter.fetch_add(1) ^ static_cast<std::uint64_t>(now.tv_nsec)));
    return std::string("tmp.") + what + "." + std::to_string(getpid()) + "." + unique;
}

UniqueFd open_dir_at(int parent, const std::string& name) {
    return UniqueFd(retry_eintr([&] { return openat(parent, name.c_str(), kDirFlags); }));
}

// The directory `path` ('/'-separated components, "" for `root` itself)
// below `root`, opened component by component without following a link.
UniqueFd open_below(int root, std::string_view path) {
    UniqueFd dir = open_dir_at(root, ".");
    std::size_t start = 0;
    while (dir.valid() && start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        dir = open_dir_at(dir.get(), std::string(path.substr(start, end - start)));
        start = end + 1;
    }
    return dir;
}

// Copies `src` to `dst` to its end, hashing what passes. Returns 0 or an
// errno: EFBIG once more than `limit` bytes came.
int copy_hashed(int src, int dst, std::uint64_t limit, std::uint64_t& bytes, std::string& digest) {
    std::vector<char> buffer(kChunk);
    Sha256 h;
    bytes = 0;
    while (true) {
        const ssize_t n = retry_eintr([&] { return read(src, buffer.data(), buffer.size()); });
        if (n < 0) return errno;
        if (n == 0) break;
        if (static_cast<std::uint64_t>(n) > limit - bytes) return EFBIG;
        bytes += static_cast<std::uint64_t>(n);
        h.update(buffer.data(), static_cast<std::size_t>(n));
        if (const int err = write_all(dst, buffer.data(), static_cast<std::size_t>(n))) return err;
    }
    digest = h.hex_digest();
    return 0;
}

int write_new(int dir, const char* name, const std::string& text) {
    UniqueFd fd(retry_eintr([&] { return openat(dir, name, kNewFileFlags, 0600); }));
    if (!fd.valid()) return errno;
    return write_all(fd.get(), text.data(), text.size());
}

bool owned_regular(const struct stat& st) { return S_ISREG(st.st_mode) && st.st_uid == geteuid(); }

void split_rel(const std::string& rel, std::string& parent, std::string& name) {
    const std::size_t slash = rel.rfind('/');
    parent = slash == std::string::npos ? std::string() : rel.substr(0, slash);
    name = slash == std::string::npos ? rel : rel.substr(slash + 1);
}

// A directory's entry names in byte order, so an entry's manifest does not
// depend on the order of a listing.
int sorted_names(int dir, std::vector<std::string>& names) {
    const int err = list_names_at(dir, kMaxManifestItems + 1, [](const char*) { return true; }, names);
    std::sort(names.begin(), names.end());
    return err;
}

}  // namespace

Result<BuildCache> BuildCache::open(const std::string& given, std::uint64_t bound_mb) {
    const auto refuse = [&](const std::string& why) {
        return Error{"build cache " + display_path(given) + " not used: " + why};
    };
    // A trailing slash would make the kernel follow a link at the last component.
    std::string path = given;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path.empty()) return refuse("the path is empty");
    UniqueFd fd(retry_eintr([&] { return ::open(path.c_str(), kDirFlags); }));
    if (!fd.valid() && errno == ENOENT) {
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return refuse("it cannot be created: " + os_error_text(errno));
        fd.reset(retry_eintr([&] { return ::open(path.c_str(), kDirFlags); }));
    }
    struct stat st;
    if (!fd.valid()) {
        const int err = errno;
        if ((err == ELOOP || err == ENOTDIR) && lstat(path.c_str(), &st) == 0) {
            if (S_ISLNK(st.st_mode)) return refuse("it is a symbolic link");
            if (!S_ISDIR(st.st_mode)) return refuse("it is not a directory");
        }
        return refuse("it cannot be opened: " + os_error_text(err));
    }
    if (fstat(fd.get(), &st) != 0) return refuse("it cannot be inspected: " + os_error_text(errno));
    if (st.st_uid != geteuid())
        return refuse("it is owned by uid " + std::to_string(st.st_uid) + ", not by the runner's uid " +
                      std::to_string(geteuid()));
    if ((st.st_mode & 022) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return refuse(std::string("it is writable by ") + ((st.st_mode & 002) != 0 ? "others" : "its group") +
                      " (mode " + mode + ")");
    }
    const std::uint64_t mb = bound_mb != 0 ? bound_mb : kDefaultBuildCacheMb;
    return BuildCache(given, std::move(fd), sat_mul(mb, std::uint64_t{1} << 20));
}

void BuildCache::discard(const std::string& name) {
    // Renamed first: a reader sees the whole entry or nothing under its key.
    const std::string gone = temp_name("gone");
    if (renameat(fd_.get(), name.c_str(), fd_.get(), gone.c_str()) != 0) return;
    (void)remove_tree_at(fd_.get(), gone, RemoveOptions{});
}

CacheLookup BuildCache::restore(const std::string& key, int dest_fd, const ChildUser& owner, std::string& why) {
    if (!is_hex_digest(key)) return CacheLookup::Miss;
    UniqueFd entry = open_dir_at(fd_.get(), key);
    if (!entry.valid()) {
        if (errno != ELOOP && errno != ENOTDIR) return CacheLookup::Miss;
        why = "the entry " + key + " is not a directory";
        discard(key);
        return CacheLookup::Rejected;
    }
    std::vector<std::string> made;  // top-level names created in `dest_fd`
    const auto undo = [&] {
        for (const std::string& name : made) (void)remove_tree_at(dest_fd, name, RemoveOptions{});
    };
    const auto reject = [&](const std::string& what) {
        undo();
        why = "the entry " + key + " was removed: " + what;
        discard(key);
        return CacheLookup::Rejected;
    };
    // A file gone from the entry: another runner removed the whole entry
    // (a miss), unless the key still names this very directory (a broken
    // entry).
    const auto gone = [&](const std::string& what) {
        struct stat now, held;
        if (fstatat(fd_.get(), key.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && fstat(entry.get(), &held) == 0 &&
            now.st_dev == held.st_dev && now.st_ino == held.st_ino)
            return reject(what + " is missing");
        undo();
        return CacheLookup::Miss;
    };
    struct stat st;
    if (fstat(entry.get(), &st) != 0) return CacheLookup::Miss;
    if (st.st_uid != geteuid()) return reject("it is not owned by the runner's uid");

    UniqueFd mf(retry_eintr([&] { return openat(entry.get(), "manifest", kReadFlags); }));
    if (!mf.valid()) return errno == ENOENT ? gone("its manifest") : reject("its manifest cannot be opened");
    if (fstat(mf.get(), &st) != 0 || !owned_regular(st) || static_cast<std::uint64_t>(st.st_size) > kMaxManifestBytes)
        return reject("its manifest is not a plain file of the runner's");
    std::string text;
    if (append_to_end(mf.get(), text, kMaxManifestBytes) != 0) return CacheLookup::Miss;
    const std::optional<Manifest> manifest = parse_manifest(text);
    if (!manifest || manifest->key != key) return reject("its manifest cannot be read");
    UniqueFd tree = open_dir_at(entry.get(), "tree");
    if (!tree.valid()) return errno == ENOENT ? gone("its tree") : reject("its tree is not a directory");

    std::string held_parent = "\n";  // never a stored path
    UniqueFd src_parent, dst_parent;
    for (const ManifestItem& item : manifest->items) {
        std::string parent, name;
        split_rel(item.path, parent, name);
        if (parent != held_parent) {
            src_parent = open_below(tree.get(), parent);
            if (!src_parent.valid()) return errno == ENOENT ? gone(parent) : reject(parent + " is not a directory");
            dst_parent = open_below(dest_fd, parent);
            if (!dst_parent.valid()) {
                undo();
                return CacheLookup::Miss;
            }
            held_parent = parent;
        }
        if (fstatat(src_parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? gone(item.path) : reject(item.path + " cannot be inspected");
        if (item.dir) {
            if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return reject(item.path + " is not a directory");
            if (mkdirat(dst_parent.get(), name.c_str(), 0700) != 0) {
                undo();
                return CacheLookup::Miss;
            }
            if (parent.empty()) made.push_back(name);
            UniqueFd made_dir = open_dir_at(dst_parent.get(), name);
            if (!made_dir.valid() || fchmod(made_dir.get(), item.mode | 0700) != 0 ||
                (owner.active && fchown(made_dir.get(), owner.uid, owner.gid) != 0)) {
                undo();
                return CacheLookup::Miss;
            }
            continue;
        }
        UniqueFd src(retry_eintr([&] { return openat(src_parent.get(), name.c_str(), kReadFlags); }));
        if (!src.valid()) return errno == ENOENT ? gone(item.path) : reject(item.path + " cannot be opened");
        if (fstat(src.get(), &st) != 0 || !owned_regular(st)) return reject(item.path + " is not a plain file");
        if (static_cast<std::uint64_t>(st.st_size) != item.size) return reject(item.path + " has another size");
        UniqueFd dst(retry_eintr([&] { return openat(dst_parent.get(), name.c_str(), kNewFileFlags, 0600); }));
        if (!dst.valid()) {
            undo();
            return CacheLookup::Miss;
        }
        if (parent.empty()) made.push_back(name);
        std::uint64_t bytes = 0;
        std::string digest;
        const int err = copy_hashed(src.get(), dst.get(), item.size, bytes, digest);
        if (err == EFBIG || (err == 0 && bytes != item.size)) return reject(item.path + " has another size");
        if (err == 0 && digest != item.sha256) return reject(item.path + " does not match its digest");
        if (err != 0 || fchmod(dst.get(), item.mode) != 0 ||
            (owner.active && fchown(dst.get(), owner.uid, owner.gid) != 0)) {
            undo();
            return CacheLookup::Miss;
        }
    }
    (void)utimensat(entry.get(), "used", nullptr, AT_SYMLINK_NOFOLLOW);
    return CacheLookup::Hit;
}

Status BuildCache::store(const std::string& key, int src_fd, const std::vector<std::string>& skip) {
    if (!is_hex_digest(key)) return Error{"not a build key: " + key};
    const std::string tmp = temp_name("new");
    const std::string tmp_path = display_path(join_path(path_, tmp));
    if (mkdirat(fd_.get(), tmp.c_str(), 0700) != 0)
        return Error{"cannot create " + tmp_path + ": " + os_error_text(errno)};
    // Whatever happens from here, the temporary entry does not stay.
    struct Remover {
        int dir;
        const std::string& name;
        ~Remover() { (void)remove_tree_at(dir, name, RemoveOptions{}); }
    } remover{fd_.get(), tmp};
    const auto failed = [&](const std::string& what, int err) {
        return Error{what + (err != 0 ? ": " + os_error_text(err) : std::string())};
    };

    UniqueFd entry = open_dir_at(fd_.get(), tmp);
    if (!entry.valid()) return failed("cannot open " + tmp_path, errno);
    if (mkdirat(entry.get(), "tree", 0700) != 0) return failed("cannot create the tree in " + tmp_path, errno);

    struct Frame {
        UniqueFd src, dst;
        std::string rel;
        std::vector<std::string> names;
        std::size_t next = 0;
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{open_dir_at(src_fd, "."), open_dir_at(entry.get(), "tree"), "", {}, 0});
    if (!stack.back().src.valid() || !stack.back().dst.valid()) return failed("cannot open the build", errno);
    if (const int err = sorted_names(stack.back().src.get(), stack.back().names))
        return failed("cannot list the build", err);

    Manifest manifest{key, {}};
    std::uint64_t total = 0;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.names.size()) {
            stack.pop_back();
            continue;
        }
        const std::string name = top.names[top.next++];
        if (stack.size() == 1 && std::find(skip.begin(), skip.end(), name) != skip.end()) continue;
        const std::string rel = top.rel.empty() ? name : top.rel + "/" + name;
        if (!storable_name(name)) return failed("the build holds a name that is not stored: " + display_path(rel), 0);
        if (manifest.items.size() >= kMaxManifestItems)
            return failed("the build holds more than " + std::to_string(kMaxManifestItems) + " entries", 0);
        struct stat st;
        if (fstatat(top.src.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return failed("cannot inspect " + display_path(rel), errno);
        if (S_ISDIR(st.st_mode)) {
            if (stack.size() >= kMaxManifestDepth)
                return failed("the build is deeper than " + std::to_string(kMaxManifestDepth) + " levels", 0);
            Frame child{open_dir_at(top.src.get(), name), UniqueFd(), rel, {}, 0};
            if (!child.src.valid()) return failed("cannot open " + display_path(rel), errno);
            if (mkdirat(top.dst.get(), name.c_str(), 0700) != 0) return failed("cannot store " + display_path(rel), errno);
            child.dst = open_dir_at(top.dst.get(), name);
            if (!child.dst.valid()) return failed("cannot store " + display_path(rel), errno);
            if (const int err = sorted_names(child.src.get(), child.names))
                return failed("cannot list " + display_path(rel), err);
            manifest.items.push_back(ManifestItem{true, static_cast<std::uint32_t>(st.st_mode & 0777), 0, "", rel});
            stack.push_back(std::move(child));  // `top` is not used past this point
            continue;
        }
        if (!S_ISREG(st.st_mode))
            return failed("the build holds " + display_path(rel) + ", neither a file nor a directory", 0);
        UniqueFd src(retry_eintr([&] { return openat(top.src.get(), name.c_str(), kReadFlags); }));
        if (!src.valid()) return failed("cannot open " + display_path(rel), errno);
        if (fstat(src.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return failed("the build holds " + display_path(rel) + ", neither a file nor a directory", 0);
        const mode_t stored_mode = (st.st_mode & 0111) != 0 ? 0700 : 0600;
        UniqueFd dst(retry_eintr([&] { return openat(top.dst.get(), name.c_str(), kNewFileFlags, stored_mode); }));
        if (!dst.valid()) return failed("cannot store " + display_path(rel), errno);
        ManifestItem item{false, static_cast<std::uint32_t>(st.st_mode & 0777), 0, "", rel};
        const int err = copy_hashed(src.get(), dst.get(), bound_bytes_ - std::min(total, bound_bytes_), item.size,
                                    item.sha256);
        if (err == EFBIG) return failed("the build is larger than the cache's bound", 0);
        if (err != 0) return failed("cannot store " + display_path(rel), err);
        if (fchmod(dst.get(), stored_mode) != 0) return failed("cannot store " + display_path(rel), errno);
        total += item.size;
        manifest.items.push_back(std::move(item));
    }

    const std::string text = manifest_text(manifest);
    total += text.size();
    if (total > bound_bytes_) return failed("the build is larger than the cache's bound", 0);
    if (const int err = write_new(entry.get(), "manifest", text)) return failed("cannot write the manifest", err);
    if (const int err = write_new(entry.get(), "used", std::to_string(total)))
        return failed("cannot write the use stamp", err);
    if (renameat2(fd_.get(), tmp.c_str(), fd_.get(), key.c_str(), RENAME_NOREPLACE) != 0) {
        int err = errno;
        if (err == EINVAL)  // a file system without the flag: a non-empty entry is still never replaced
            err = renameat(fd_.get(), tmp.c_str(), fd_.get(), key.c_str()) == 0 ? 0 : errno;
        // Another runner stored the same build first.
        if (err == EEXIST || err == ENOTEMPTY) return Status::success();
        if (err != 0) return failed("cannot put the entry in place", err);
    }
    evict(key);
    return Status::success();
}

void BuildCache::evict(const std::string& keep) {
    std::vector<std::string> names;
    (void)list_names_at(fd_.get(), std::size_t{1} << 20, [](const char*) { return true; }, names);
    struct Entry {
        std::string name;
        struct timespec used;
        std::uint64_t size;
    };
    std::vector<Entry> entries;
    std::uint64_t total = 0;
    struct timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    for (const std::string& name : names) {
        struct stat st;
        if (name.rfind("tmp.", 0) == 0) {
            if (fstatat(fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                now.tv_sec - st.st_mtim.tv_sec > kStaleSecs)
                (void)remove_tree_at(fd_.get(), name, RemoveOptions{});
            continue;
        }
        if (!is_hex_digest(name)) continue;  // not the cache's: left alone
        UniqueFd entry = open_dir_at(fd_.get(), name);
        if (!entry.valid()) continue;
        UniqueFd used(retry_eintr([&] { return openat(entry.get(), "used", kReadFlags); }));
        std::string text;
        if (!used.valid() || fstat(used.get(), &st) != 0 || !owned_regular(st) ||
            append_to_end(used.get(), text, 32) != 0)
            continue;
        const std::optional<std::uint64_t> size = parse_u64(text);
        if (!size) continue;
        entries.push_back(Entry{name, st.st_mtim, *size});
        total = sat_add(total, *size);
    }
    if (total <= bound_bytes_) return;
    std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
        if ((a.name == keep) != (b.name == keep)) return b.name == keep;
        if (a.used.tv_sec != b.used.tv_sec) return a.used.tv_sec < b.used.tv_sec;
        return a.used.tv_nsec < b.used.tv_nsec;
    });
    for (const Entry& e : entries) {
        if (total <= bound_bytes_) break;
        discard(e.name);
        total -= e.size;
    }
}

}  // namespace tessimar
