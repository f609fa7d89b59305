// Traps laid in a work directory for the next run, or in the created work
// directory for its removal: links, FIFOs, sockets and devices, a scratch
// directory that is itself a link, a work directory swapped for a link,
// trees too deep or too wide to walk naively, and directories without any
// permission bits.
#include <dirent.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include "attack_support.hpp"

using namespace attack;
using testing_support::exists;
using testing_support::list_dir;
using testing_support::open_up;
using testing_support::read_file;
using testing_support::run_exec;
using testing_support::write_file;

namespace {

const std::string kDash = "\u2014";

std::string not_plain_message(const std::string& s) {
    return "refusing to use " + s + " as the runner scratch directory: it already exists and is not a plain directory";
}

std::string tampered_message(const std::string& entry) {
    return "refusing to run: " + entry +
           " inside the runner scratch directory is not a plain file or directory (symlink, device, FIFO or "
           "socket) " + kDash + " this session's own workspace may have been tampered with between calls";
}

// Everything below `dir`: relative path, type, mode and (for files and
// links) content, so that any change to a victim shows.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    std::vector<std::string> todo = {""};
    while (!todo.empty()) {
        const std::string rel = todo.back();
        todo.pop_back();
        for (const std::string& name : list_dir(rel.empty() ? dir : dir + "/" + rel)) {
            const std::string r = rel.empty() ? name : rel + "/" + name;
            const std::string full = dir + "/" + r;
            struct stat st;
            if (lstat(full.c_str(), &st) != 0) continue;
            std::string desc = std::to_string(st.st_mode) + ":" + std::to_string(st.st_ino);
            if (S_ISREG(st.st_mode)) desc += ":" + read_file(full);
            if (S_ISLNK(st.st_mode)) {
                char buf[4096];
                const ssize_t n = readlink(full.c_str(), buf, sizeof buf);
                desc += ":" + std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
            }
            out[r] = desc;
            if (S_ISDIR(st.st_mode)) todo.push_back(r);
        }
    }
    return out;
}

// A directory of precious things that no run may touch.
struct Victim {
    Victim() {
        write_file(dir / "precious.txt", "do not delete\n");
        mkdir((dir / "sub").c_str(), 0755);
        write_file(dir / "sub" + "/deep.txt", "deep\n");
        before = snapshot(dir.path());
    }
    void expect_untouched() const { EXPECT_EQ(snapshot(dir.path()), before) << "the victim directory changed"; }
    TempDir dir;
    std::map<std::string, std::string> before;
};

void make_socket(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
    close(fd);
}

// ------------------------------------------------ the scratch path itself

struct ScratchKind {
    const char* name;
    void (*make)(const std::string& s, const std::string& victim);
};
void PrintTo(const ScratchKind& v, std::ostream* os) { *os << v.name; }

class ScratchPathTrap : public ::testing::TestWithParam<ScratchKind> {};

TEST_P(ScratchPathTrap, IsRefusedAndNothingIsTouched) {
    TempDir tmp, work;
    Victim victim;
    const std::string s = work / ".tessimar-run";
    GetParam().make(s, victim.dir.path());
    if (IsSkipped() || HasFatalFailure()) return;
    const auto work_before = snapshot(work.path());
    const ProcessResult r = run_exec(run_of("bash", "echo ran\n", tmp.path(), {"--workdir", work.path()}));
    const json j = checked_report(r);
    EXPECT_EQ(j, (json{{"error", not_plain_message(s)}, {"ok", false}})) << r.out;
    EXPECT_EQ(snapshot(work.path()), work_before);
    victim.expect_untouched();
    expect_empty_dir(tmp.path());
}

INSTANTIATE_TEST_SUITE_P(
    Attack, ScratchPathTrap,
    ::testing::Values(
        ScratchKind{"LinkToVictim", [](const std::string& s, const std::string& v) { ASSERT_EQ(symlink(v.c_str(), s.c_str()), 0); }},
        ScratchKind{"DanglingLink", [](const std::string& s, const std::string&) { ASSERT_EQ(symlink("/nonexistent/dir", s.c_str()), 0); }},
        ScratchKind{"RegularFile", [](const std::string& s, const std::string&) { write_file(s, "x"); }},
        ScratchKind{"Fifo", [](const std::string& s, const std::string&) { ASSERT_EQ(mkfifo(s.c_str(), 0644), 0); }},
        ScratchKind{"Socket", [](const std::string& s, const std::string&) { make_socket(s); }},
        ScratchKind{"CharDevice", [](const std::string& s, const std::string&) {
            if (geteuid() != 0) GTEST_SKIP() << "mknod needs root";
            ASSERT_EQ(mknod(s.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
        }}),
    [](const auto& info) { return std::string(info.param.name); });

// ----------------------------------------------- entries inside the scratch

struct EntryKind {
    const char* name;
    void (*make)(const std::string& at, const std::string& victim);
};
void PrintTo(const EntryKind& v, std::ostream* os) { *os << v.name; }

class ScratchEntryTrap : public ::testing::TestWithParam<std::tuple<EntryKind, bool>> {};

TEST_P(ScratchEntryTrap, IsRefusedWithThePathAndNothingIsRemoved) {
    const auto& [kind, nested] = GetParam();
    TempDir tmp, work;
    Victim victim;
    const std::string s = work / ".tessimar-run";
    ASSERT_EQ(mkdir(s.c_str(), 0755), 0);
    write_file(s + "/main.sh", "old\n");
    std::string dir = s;
    if (nested) {
        for (const char* part : {"/a", "/b", "/c"}) {
            dir += part;
            ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        }
        write_file(dir + "/plain.txt", "plain\n");
    }
    const std::string trap = dir + "/trap";
    kind.make(trap, victim.dir.path());
    if (IsSkipped() || HasFatalFailure()) return;
    const auto work_before = snapshot(work.path());
    const ProcessResult r = run_exec(run_of("bash", "echo ran\n", tmp.path(), {"--workdir", work.path()}));
    const json j = checked_report(r);
    EXPECT_EQ(j, (json{{"error", tampered_message(trap)}, {"ok", false}})) << r.out;
    EXPECT_EQ(snapshot(work.path()), work_before) << "a refused scratch directory was changed";
    victim.expect_untouched();
    expect_empty_dir(tmp.path());
}

INSTANTIATE_TEST_SUITE_P(
    Attack, ScratchEntryTrap,
    ::testing::Combine(
        ::testing::Values(
            EntryKind{"LinkToVictimDir", [](const std::string& at, const std::string& v) { ASSERT_EQ(symlink(v.c_str(), at.c_str()), 0); }},
            EntryKind{"LinkToVictimFile", [](const std::string& at, const std::string& v) {
                ASSERT_EQ(symlink((v + "/precious.txt").c_str(), at.c_str()), 0);
            }},
            EntryKind{"LinkToWorkdir", [](const std::string& at, const std::string&) { ASSERT_EQ(symlink("../..", at.c_str()), 0); }},
            EntryKind{"Fifo", [](const std::string& at, const std::string&) { ASSERT_EQ(mkfifo(at.c_str(), 0644), 0); }},
            EntryKind{"Socket", [](const std::string& at, const std::string&) { make_socket(at); }},
            EntryKind{"CharDevice", [](const std::string& at, const std::string&) {
                if (geteuid() != 0) GTEST_SKIP() << "mknod needs root";
                ASSERT_EQ(mknod(at.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
            }},
            EntryKind{"BlockDevice", [](const std::string& at, const std::string&) {
                if (geteuid() != 0) GTEST_SKIP() << "mknod needs root";
                ASSERT_EQ(mknod(at.c_str(), S_IFBLK | 0600, makedev(7, 0)), 0);
            }}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_Nested" : "_Top");
    });

// A hard link is a regular file: the reset unlinks the name, and the
// victim's own name and content stay.
TEST(ScratchEntryTrap, HardLinkToAVictimFileIsUnlinkedOnly) {
    TempDir tmp, work;
    // Hard links need the same file system: the victim lives beside the work dir.
    const std::string victim = work / "victim.txt";
    write_file(victim, "precious\n");
    const std::string s = work / ".tessimar-run";
    ASSERT_EQ(mkdir(s.c_str(), 0755), 0);
    ASSERT_EQ(link(victim.c_str(), (s + "/hard").c_str()), 0);
    const ProcessResult r = run_exec(run_of("bash", "echo ran\n", tmp.path(), {"--workdir", work.path()}));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("stdout", ""), "ran\n") << r.out;
    EXPECT_FALSE(exists(s + "/hard"));
    EXPECT_EQ(read_file(victim), "precious\n");
    expect_empty_dir(tmp.path());
}

// A run plants a link to the victim as its own scratch directory; the next
// run in the same work directory is refused, and the victim never sees a file.
TEST(ScratchEntryTrap, ProgramReplacingItsScratchDirWithALinkIsRefusedNextTime) {
    TempDir tmp, work;
    Victim victim;
    const std::string program = "mv .tessimar-run moved\nln -s '" + victim.dir.path() + "' .tessimar-run\necho planted\n";
    const ProcessResult first = run_exec(run_of("bash", program, tmp.path(), {"--workdir", work.path()}));
    const json j1 = checked_report(first, Expect{kDefaultCap, false});
    // The capture files now resolve into the victim, where they do not exist.
    EXPECT_TRUE(j1.at("output_error").is_string()) << first.out;
    EXPECT_FALSE(j1.value("ok", true));
    victim.expect_untouched();

    const ProcessResult second = run_exec(run_of("bash", "echo again\n", tmp.path(), {"--workdir", work.path()}));
    const json j2 = checked_report(second);
    EXPECT_EQ(j2, (json{{"error", not_plain_message(work / ".tessimar-run")}, {"ok", false}})) << second.out;
    victim.expect_untouched();
    expect_empty_dir(tmp.path());
}

// ------------------------------------------- the created work dir swapped

TEST(CreatedWorkdirTrap, ReplacedByALinkToAVictimIsNotDeleted) {
    TempDir tmp;
    Victim victim;
    const std::string program = "w=$PWD\ncd /\nmv \"$w\" \"$w.moved\"\nln -s '" + victim.dir.path() +
                                "' \"$w\"\necho \"$w\"\n";
    const ProcessResult r = run_exec(run_of("bash", program, tmp.path(), {"--timeout", "5"}));
    const json j = checked_report(r);
    const std::string w = j.value("workdir", "");
    ASSERT_FALSE(w.empty()) << r.out;
    // The capture files are read back by path, which now leads into the
    // victim, where they do not exist: the report says so, nothing is read.
    EXPECT_TRUE(j.at("output_error").is_string()) << r.out;
    EXPECT_EQ(j.value("stdout", "x"), "") << r.out;
    EXPECT_FALSE(j.value("ok", true));
    EXPECT_EQ(r.err, "tessimar-exec: refusing to delete " + w + " " + kDash + " it is not the directory this run created\n");
    victim.expect_untouched();
    struct stat st;
    ASSERT_EQ(lstat(w.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the planted link was replaced";
    // What is left is only what the program itself put there.
    EXPECT_EQ(list_dir(tmp.path()), (std::vector<std::string>{w.substr(tmp.path().size() + 1),
                                                                 w.substr(tmp.path().size() + 1) + ".moved"}));
}

TEST(CreatedWorkdirTrap, ReplacedByAnotherDirectoryIsNotDeleted) {
    TempDir tmp;
    const std::string program = "w=$PWD\ncd /\nmv \"$w\" \"$w.moved\"\nmkdir \"$w\"\necho decoy > \"$w/decoy\"\n";
    const ProcessResult r = run_exec(run_of("bash", program, tmp.path(), {"--timeout", "5"}));
    const json j = checked_report(r);
    const std::string w = j.value("workdir", "");
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(r.err, "tessimar-exec: refusing to delete " + w + " " + kDash + " it is not the directory this run created\n");
    EXPECT_EQ(read_file(w + "/decoy"), "decoy\n");
}

// Links to the victim left anywhere inside the work directory, the scratch
// directory itself among them, are removed as links.
TEST(CreatedWorkdirTrap, LinksInsideTheWorkdirAreRemovedNotFollowed) {
    TempDir tmp;
    Victim victim;
    const std::string v = victim.dir.path();
    const std::string program = "ln -s '" + v + "' dirlink\nln -s '" + v + "/precious.txt' filelink\n"
                                "mkdir -p x/y && ln -s '" + v + "' x/y/inner\n"
                                "ln -s '" + v + "/sub' .tessimar-run/sublink\n"
                                "mkfifo fifo\npython3 -c \"import socket; socket.socket(socket.AF_UNIX).bind('sock')\"\n"
                                "mv .tessimar-run scratch.old && ln -s '" + v + "' .tessimar-run\n";
    const ProcessResult r = run_exec(run_of("bash", program, tmp.path(), {"--timeout", "5"}));
    checked_report(r, Expect{kDefaultCap, false});
    EXPECT_EQ(r.err, "");
    victim.expect_untouched();
    expect_empty_dir(tmp.path());
}

// ------------------------------------------------ deep and wide leftovers

// Builds `depth` nested directories "d" below `root` without ever forming
// the long path; returns the descriptor of the deepest one.
int build_deep(const std::string& root, int depth) {
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < depth && fd >= 0; ++i) {
        if (mkdirat(fd, "d", 0755) != 0) {
            close(fd);
            return -1;
        }
        const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    return fd;
}

TEST(DeepScratch, TenThousandLevelsAreReset) {
    TempDir tmp, work;
    const std::string s = work / ".tessimar-run";
    ASSERT_EQ(mkdir(s.c_str(), 0755), 0);
    const int bottom = build_deep(s, 10000);
    ASSERT_GE(bottom, 0);
    ASSERT_EQ(mknodat(bottom, "file", S_IFREG | 0644, 0), 0);
    close(bottom);
    const ProcessResult r = run_exec(run_of("bash", "ls -A .tessimar-run | sort | tr '\\n' ' '\n", tmp.path(),
                                            {"--workdir", work.path(), "--timeout", "10"}));
    const json j = checked_report(r);
    if (j.contains("error")) {
        // Refusing is allowed; crashing or leaving half a line is not.
        EXPECT_EQ(j.at("error").get<std::string>().rfind("refusing to reset runner scratch directory", 0), 0u) << r.out;
    } else {
        EXPECT_EQ(j.value("stdout", ""), "_tessimar_node_sibling_shim.js main.sh run.err run.in run.out ") << head(r.out);
        EXPECT_FALSE(exists(s + "/d"));
    }
    expect_empty_dir(tmp.path());
}

TEST(DeepScratch, FifoAtTheBottomOfTenThousandLevelsIsFound) {
    TempDir tmp, work;
    const std::string s = work / ".tessimar-run";
    ASSERT_EQ(mkdir(s.c_str(), 0755), 0);
    const int bottom = build_deep(s, 10000);
    ASSERT_GE(bottom, 0);
    ASSERT_EQ(mkfifoat(bottom, "fifo", 0644), 0);
    close(bottom);
    const ProcessResult r = run_exec(run_of("bash", "echo ran\n", tmp.path(), {"--workdir", work.path()}));
    const json j = checked_report(r);
    std::string expected_path = s;
    for (int i = 0; i < 10000; ++i) expected_path += "/d";
    expected_path += "/fifo";
    EXPECT_EQ(j, (json{{"error", tampered_message(expected_path)}, {"ok", false}})) << head(r.out, 300);
    const int again = open(s.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_GE(again, 0);
    struct stat st;
    EXPECT_EQ(fstatat(again, "d", &st, AT_SYMLINK_NOFOLLOW), 0) << "a refused tree was removed";
    close(again);
    expect_empty_dir(tmp.path());
}

TEST(WideScratch, HundredThousandEntriesAreReset) {
    TempDir tmp, work;
    const std::string s = work / ".tessimar-run";
    ASSERT_EQ(mkdir(s.c_str(), 0755), 0);
    const int fd = open(s.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 100000; ++i) {
        const std::string name = "f" + std::to_string(i);
        ASSERT_EQ(mknodat(fd, name.c_str(), S_IFREG | 0644, 0), 0);
    }
    close(fd);
    const ProcessResult r = run_exec(run_of("bash", "ls -A .tessimar-run | wc -l\n", tmp.path(),
                                            {"--workdir", work.path(), "--timeout", "10"}));
    const json j = checked_report(r);
    if (j.contains("error")) {
        EXPECT_EQ(j.at("error").get<std::string>().rfind("refusing to reset runner scratch directory", 0), 0u) << r.out;
    } else {
        EXPECT_EQ(j.value("stdout", ""), "5\n") << head(r.out);
    }
    expect_empty_dir(tmp.path());
}

// A program can leave a created work directory that reaches 10,000 levels
// down; its removal does not crash the runner and takes everything.
TEST(DeepScratch, ProgramLeavingADeepTreeInTheCreatedWorkdir) {
    TempDir tmp;
    const std::string program =
        "import os\n"
        "fd = os.open('.', os.O_RDONLY)\n"
        "for i in range(10000):\n"
        "    os.mkdir('d', dir_fd=fd)\n"
        "    n = os.open('d', os.O_RDONLY, dir_fd=fd)\n"
        "    os.close(fd)\n"
        "    fd = n\n"
        "open('/proc/self/fd/%d/leaf' % fd, 'w').close()\n"
        "print('built')\n";
    const ProcessResult r = run_exec(run_of("python3", program, tmp.path(), {"--timeout", "20"}));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("stdout", ""), "built\n") << head(r.out);
    expect_empty_dir(tmp.path());
}

// ------------------------------------------------ no permission bits left

TEST(LockedDirectories, OrdinaryUsersChmod000TreeIsStillRemoved) {
    if (geteuid() != 0 || !have("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
    TempDir tmp;
    open_up(tmp.path());
    const std::string program =
        "mkdir -p a/b/c x/y .tessimar-run/inner/deeper\n"
        "echo data > a/b/c/f\necho data > .tessimar-run/inner/deeper/g\n"
        "chmod 000 a/b/c/f a/b/c a/b a x/y x .tessimar-run/inner/deeper .tessimar-run/inner\n"
        "chmod 000 .tessimar-run/run.out 2>/dev/null\n"
        "chmod 000 .\n"
        "echo locked\n";
    Invocation inv = run_of("bash", program, tmp.path(), {"--timeout", "5"});
    inv.wrapper = kAsNobody;
    const ProcessResult r = run_exec(inv);
    const json j = checked_report(r, Expect{kDefaultCap, false});
    EXPECT_EQ(j.value("phase", ""), "run") << head(r.out);
    EXPECT_EQ(r.err, "");
    expect_empty_dir(tmp.path());
}

}  // namespace
