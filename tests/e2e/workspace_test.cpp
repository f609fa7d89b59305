// The work directory and its scratch directory through the real binary:
// what a run leaves behind, what it refuses to touch, and how it cleans up.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "workspace/tree.hpp"

using namespace testing_support;

namespace {

const std::vector<std::string> kUnprivileged = {"setpriv", "--reuid=65534", "--regid=65534",
                                                "--clear-groups"};

const std::vector<std::string> kShimBody = {
    "const Module = require(\"module\");",
    "const path = require(\"path\");",
    "const originalResolve = Module._resolveFilename;",
    "Module._resolveFilename = function (request, parent, isMain, options) {",
    "  try {",
    "    return originalResolve.call(this, request, parent, isMain, options);",
    "  } catch (err) {",
    "    const root = process.env.TESSIMAR_WORKDIR_ROOT;",
    "    if (root && (request.startsWith(\"./\") || request.startsWith(\"../\"))) {",
    "      try {",
    "        const alt = path.resolve(root, request);",
    "        return originalResolve.call(this, alt, parent, isMain, options);",
    "      } catch (_fallbackErr) {",
    "        // fall through to the original error below \u2014 the fallback failed too",
    "      }",
    "    }",
    "    throw err;",
    "  }",
    "};",
};

const std::vector<std::string> kRunFiles = {"_tessimar_node_sibling_shim.js", "main.py", "run.err",
                                            "run.in", "run.out"};

std::string error_line(const std::string& message) {
    return "{\"error\":\"" + message + "\",\"ok\":false}\n";
}

std::string not_plain_dir(const std::string& s) {
    return "refusing to use " + s +
           " as the runner scratch directory: it already exists and is not a plain directory";
}

std::string tampered(const std::string& entry) {
    return "refusing to run: " + entry +
           " inside the runner scratch directory is not a plain file or directory (symlink, device, "
           "FIFO or socket) \u2014 this session's own workspace may have been tampered with between calls";
}

std::string reset_refused(const std::string& s) {
    return "refusing to reset runner scratch directory " + s +
           ": its identity changed between being scanned and being removed";
}

ProcessResult run_in_workdir(const std::string& w, const std::string& lang, const std::string& program,
                             const std::vector<std::string>& wrapper = {}) {
    Invocation inv;
    inv.args = {"--lang", lang, "--workdir", w};
    inv.input = program;
    inv.wrapper = wrapper;
    if (!wrapper.empty()) inv.set["TESSIMAR_RUNTIME_PATH"] = "/usr/bin:/bin";
    return run_exec(inv);
}

std::string link_target(const std::string& path) {
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

bool is_symlink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool is_dir(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void make_dir(const std::string& path, int mode = 0755) {
    ASSERT_EQ(mkdir(path.c_str(), mode), 0) << path;
    chmod(path.c_str(), mode);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

}  // namespace

// ---------------------------------------------------------------------------
// A caller's work directory

TEST(Workspace, FreshWorkdirGetsTheRunFilesAndKeepsOtherEntries) {
    TempDir w;
    write_file(w / "keep.txt", "caller data\n");
    make_dir(w / "sub");
    write_file(w / "sub/inner", "inner\n");

    Invocation inv;
    inv.args = {"--lang", "python3", "--workdir", w.path(), "--stdin", "line one\n"};
    inv.input = "import os, sys\nprint(os.getcwd())\nprint(open('keep.txt').read(), end='')\nsys.stdout.write(sys.stdin.read())\n";
    const ProcessResult r = run_exec(inv);
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    const auto j = r.json();
    EXPECT_EQ(j["verdict"], "OK") << r.out;
    EXPECT_EQ(j["stdout"], w.path() + "\ncaller data\nline one\n");
    EXPECT_EQ(j["workdir"], w.path());
    EXPECT_EQ(r.err, "");

    EXPECT_EQ(list_dir(w.path()), (std::vector<std::string>{".tessimar-run", "keep.txt", "sub"}));
    EXPECT_EQ(read_file(w / "keep.txt"), "caller data\n");
    EXPECT_EQ(list_dir(w / "sub"), std::vector<std::string>{"inner"});
    EXPECT_EQ(read_file(w / "sub/inner"), "inner\n");

    const std::string s = w / ".tessimar-run";
    EXPECT_EQ(list_dir(s), kRunFiles);
    EXPECT_EQ(read_file(s + "/main.py"), inv.input);
    EXPECT_EQ(read_file(s + "/run.in"), "line one\n");
    EXPECT_EQ(read_file(s + "/run.out"), w.path() + "\ncaller data\nline one\n");
    EXPECT_EQ(read_file(s + "/run.err"), "");

    const std::string shim = read_file(s + "/_tessimar_node_sibling_shim.js");
    ASSERT_FALSE(shim.empty());
    EXPECT_EQ(shim.back(), '\n');
    const std::vector<std::string> lines = lines_of(shim);
    ASSERT_EQ(lines.size(), 21u) << shim;
    EXPECT_EQ(lines[0].rfind("//", 0), 0u);
    EXPECT_EQ(lines[1].rfind("//", 0), 0u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), kShimBody);
}

TEST(Workspace, LeftoverScratchContentIsReset) {
    TempDir w;
    const std::string s = w / ".tessimar-run";
    make_dir(s);
    write_file(s + "/main.py", "print('old')\n");
    write_file(s + "/run.out", "old output\n");
    write_file(s + "/stale.txt", "stale\n");
    make_dir(s + "/build");
    make_dir(s + "/build/deeper");
    write_file(s + "/build/deeper/obj.o", "obj");
    make_dir(s + "/empty");
    // A read-only leftover file is removed too.
    write_file(s + "/readonly", "r", 0400);

    const ProcessResult r = run_in_workdir(w.path(), "python3", "print('new')\n");
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.json()["stdout"], "new\n") << r.out;
    EXPECT_EQ(list_dir(s), kRunFiles);
    EXPECT_EQ(read_file(s + "/main.py"), "print('new')\n");

    // The next run in the same place resets it again.
    const ProcessResult again = run_in_workdir(w.path(), "python3", "print('third')\n");
    ASSERT_EQ(again.exit_code(), 0) << again.err;
    EXPECT_EQ(again.json()["stdout"], "third\n");
    EXPECT_EQ(list_dir(s), kRunFiles);
}

TEST(Workspace, ScratchPathThatIsNotADirectoryIsRefused) {
    TempDir w;
    TempDir target;
    write_file(target / "precious", "keep me\n");
    const std::string s = w / ".tessimar-run";

    ASSERT_EQ(symlink(target.path().c_str(), s.c_str()), 0);
    const ProcessResult linked = run_in_workdir(w.path(), "python3", "print('x')\n");
    EXPECT_EQ(linked.exit_code(), 0);
    EXPECT_EQ(linked.out, error_line(not_plain_dir(s)));
    EXPECT_EQ(linked.err, "");
    EXPECT_TRUE(is_symlink(s));
    EXPECT_EQ(link_target(s), target.path());
    EXPECT_EQ(list_dir(target.path()), std::vector<std::string>{"precious"});
    EXPECT_EQ(read_file(target / "precious"), "keep me\n");

    ASSERT_EQ(unlink(s.c_str()), 0);
    write_file(s, "a file\n");
    const ProcessResult file = run_in_workdir(w.path(), "python3", "print('x')\n");
    EXPECT_EQ(file.exit_code(), 0);
    EXPECT_EQ(file.out, error_line(not_plain_dir(s)));
    EXPECT_EQ(read_file(s), "a file\n");

    ASSERT_EQ(unlink(s.c_str()), 0);
    ASSERT_EQ(mkfifo(s.c_str(), 0644), 0);
    const ProcessResult fifo = run_in_workdir(w.path(), "python3", "print('x')\n");
    EXPECT_EQ(fifo.out, error_line(not_plain_dir(s)));
    struct stat st;
    ASSERT_EQ(lstat(s.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(Workspace, NonPlainEntryInsideScratchRefusesTheRun) {
    TempDir w;
    const std::string s = w / ".tessimar-run";
    make_dir(s);
    make_dir(s + "/a");
    make_dir(s + "/a/b");
    make_dir(s + "/a/b/c");
    write_file(s + "/keep", "k");
    write_file(s + "/a/b/file", "f");
    ASSERT_EQ(mkfifo((s + "/a/b/c/f").c_str(), 0644), 0);

    const ProcessResult r = run_in_workdir(w.path(), "python3", "print('x')\n");
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, error_line(tampered(s + "/a/b/c/f")));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(list_dir(s), (std::vector<std::string>{"a", "keep"}));
    EXPECT_EQ(list_dir(s + "/a/b"), (std::vector<std::string>{"c", "file"}));
    EXPECT_EQ(list_dir(s + "/a/b/c"), std::vector<std::string>{"f"});
    EXPECT_FALSE(exists(s + "/main.py"));
}

TEST(Workspace, SymlinkInsideScratchPointingIntoWorkdirIsRefused) {
    TempDir w;
    write_file(w / "precious", "caller file\n");
    make_dir(w / "data");
    write_file(w / "data/x", "x");
    const std::string s = w / ".tessimar-run";
    make_dir(s);
    make_dir(s + "/sub");
    ASSERT_EQ(symlink(w.path().c_str(), (s + "/sub/back").c_str()), 0);

    const ProcessResult r = run_in_workdir(w.path(), "python3", "print('x')\n");
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, error_line(tampered(s + "/sub/back")));
    EXPECT_EQ(link_target(s + "/sub/back"), w.path());
    EXPECT_EQ(read_file(w / "precious"), "caller file\n");
    EXPECT_EQ(list_dir(w / "data"), std::vector<std::string>{"x"});
    EXPECT_EQ(list_dir(w.path()), (std::vector<std::string>{".tessimar-run", "data", "precious"}));

    // A link to a file outside is refused as well, and the file survives.
    TempDir outside;
    write_file(outside / "victim", "v");
    ASSERT_EQ(unlink((s + "/sub/back").c_str()), 0);
    ASSERT_EQ(symlink((outside / "victim").c_str(), (s + "/main.py").c_str()), 0);
    const ProcessResult r2 = run_in_workdir(w.path(), "python3", "print('x')\n");
    EXPECT_EQ(r2.out, error_line(tampered(s + "/main.py")));
    EXPECT_EQ(read_file(outside / "victim"), "v");
}

TEST(Workspace, MissingWorkdirCannotHoldTheScratchDirectory) {
    TempDir t;
    const std::string w = t / "nonexistent";
    const ProcessResult r = run_in_workdir(w, "python3", "print('x')\n");
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, error_line("cannot create runner scratch directory " + w +
                                "/.tessimar-run: No such file or directory (os error 2)"));
    EXPECT_FALSE(exists(w));

    struct stat st;
    if (lstat("/nonexistent", &st) != 0) {
        const ProcessResult root = run_in_workdir("/nonexistent", "python3", "print('x')\n");
        EXPECT_EQ(root.out, error_line("cannot create runner scratch directory /nonexistent/.tessimar-run: "
                                       "No such file or directory (os error 2)"));
    }
}

TEST(Workspace, RLanguageWritesMainWithUpperCaseExtension) {
    TempDir w;
    TempDir empty_bin;
    Invocation inv;
    inv.args = {"--lang", "r", "--workdir", w.path()};
    inv.input = "cat('x')\n";
    inv.set["TESSIMAR_RUNTIME_PATH"] = empty_bin.path();
    const ProcessResult r = run_exec(inv);
    ASSERT_EQ(r.exit_code(), 0);
    const auto j = r.json();
    EXPECT_EQ(j["language"], "r");
    EXPECT_EQ(j["spawn_error"],
              "runtime unavailable for the run phase: Rscript not found (No such file or directory (os error 2))");
    const std::string s = w / ".tessimar-run";
    EXPECT_TRUE(exists(s + "/main.R"));
    EXPECT_FALSE(exists(s + "/main.r"));
    EXPECT_EQ(read_file(s + "/main.R"), "cat('x')\n");
    EXPECT_TRUE(exists(s + "/_tessimar_node_sibling_shim.js"));
}

// ---------------------------------------------------------------------------
// Permission failures, as an ordinary user

TEST(WorkspaceUnprivileged, UnlistableScratchDirectoryCannotBeInspected) {
    TempDir w;
    const std::string s = w / ".tessimar-run";

    // Owned by the runner's user, but mode 000.
    make_dir(s, 0755);
    ASSERT_EQ(chown(s.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(s.c_str(), 0), 0);
    const ProcessResult own = run_in_workdir(w.path(), "python3", "print('x')\n", kUnprivileged);
    EXPECT_EQ(own.exit_code(), 0) << own.err;
    EXPECT_EQ(own.out, error_line("cannot inspect runner scratch directory " + s +
                                  ": Permission denied (os error 13)"));
    EXPECT_EQ(own.err, "");
    EXPECT_TRUE(is_dir(s));

    // Owned by someone else, mode 000.
    ASSERT_EQ(chown(s.c_str(), 0, 0), 0);
    const ProcessResult foreign = run_in_workdir(w.path(), "python3", "print('x')\n", kUnprivileged);
    EXPECT_EQ(foreign.out, error_line("cannot inspect runner scratch directory " + s +
                                      ": Permission denied (os error 13)"));
    EXPECT_TRUE(is_dir(s));
    chmod(s.c_str(), 0755);
}

TEST(WorkspaceUnprivileged, SubdirectoryThatCannotBeEmptiedRefusesTheReset) {
    TempDir w;
    const std::string s = w / ".tessimar-run";
    make_dir(s, 0755);
    make_dir(s + "/locked", 0755);
    write_file(s + "/locked/inside", "i");
    for (const std::string& p : {s, s + "/locked", s + "/locked/inside"})
        ASSERT_EQ(lchown(p.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod((s + "/locked").c_str(), 0555), 0);

    const ProcessResult r = run_in_workdir(w.path(), "python3", "print('x')\n", kUnprivileged);
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, error_line(reset_refused(s)));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(s + "/locked/inside"), "i");
    EXPECT_FALSE(exists(s + "/main.py"));
    chmod((s + "/locked").c_str(), 0755);
}

TEST(WorkspaceUnprivileged, OrdinaryUserRunsInAnOpenWorkdir) {
    TempDir w;
    open_up(w.path());
    const ProcessResult first = run_in_workdir(w.path(), "python3", "import os\nprint(os.getuid())\n",
                                               kUnprivileged);
    ASSERT_EQ(first.exit_code(), 0) << first.err;
    EXPECT_EQ(first.json()["stdout"], "65534\n") << first.out;
    const ProcessResult second = run_in_workdir(w.path(), "python3", "print('again')\n", kUnprivileged);
    EXPECT_EQ(second.json()["stdout"], "again\n") << second.out;
    EXPECT_EQ(list_dir(w / ".tessimar-run"), kRunFiles);
}

// ---------------------------------------------------------------------------
// Paths that are not valid UTF-8

TEST(Workspace, InvalidUtf8WorkdirIsShownWithReplacementCharacter) {
    TempDir t;
    const std::string w = t / "w\xff\xfe";
    const std::string shown = t / "w\xEF\xBF\xBD\xEF\xBF\xBD";
    make_dir(w);
    write_file(w + "/.tessimar-run", "not a dir");
    const ProcessResult refused = run_in_workdir(w, "python3", "print('x')\n");
    EXPECT_EQ(refused.exit_code(), 0);
    EXPECT_EQ(refused.out, error_line(not_plain_dir(shown + "/.tessimar-run")));

    // A fresh directory with such a name still runs the program.
    const std::string w2 = t / "fresh\xff";
    make_dir(w2);
    const ProcessResult r = run_in_workdir(w2, "python3", "print('hello world')\n");
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    const auto j = r.json();
    EXPECT_EQ(j["verdict"], "OK") << r.out;
    EXPECT_EQ(j["stdout"], "hello world\n");
    EXPECT_EQ(j["workdir"], t / "fresh\xEF\xBF\xBD");
    EXPECT_TRUE(exists(w2 + "/.tessimar-run/main.py"));
}

// ---------------------------------------------------------------------------
// Work directories the run creates

TEST(WorkspaceCreated, CreatedUnderTmpdirAndRemovedAfterTheRun) {
    TempDir base;
    Invocation inv;
    inv.args = {"--lang", "python3"};
    inv.set["TMPDIR"] = base.path();
    inv.input =
        "import os\nprint(os.getppid())\nprint(os.getcwd())\nprint(os.environ['TESSIMAR_WORKDIR_ROOT'])\n"
        "print(sorted(os.listdir('.tessimar-run')))\n";
    const ProcessResult r = run_exec(inv);
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    const auto j = r.json();
    ASSERT_EQ(j["verdict"], "OK") << r.out;
    const std::string workdir = j["workdir"];

    std::istringstream lines(j["stdout"].get<std::string>());
    std::string ppid, cwd, root, listing;
    std::getline(lines, ppid);
    std::getline(lines, cwd);
    std::getline(lines, root);
    std::getline(lines, listing);

    // "<base>/tessimar-<pid>-<tag>", the tag in lower-case hexadecimal.
    const std::string prefix = base.path() + "/tessimar-";
    ASSERT_EQ(workdir.rfind(prefix, 0), 0u) << workdir;
    const std::string name = workdir.substr(prefix.size());
    const std::size_t dash = name.find('-');
    ASSERT_NE(dash, std::string::npos) << workdir;
    const std::string pid = name.substr(0, dash);
    const std::string tag = name.substr(dash + 1);
    ASSERT_FALSE(pid.empty());
    ASSERT_FALSE(tag.empty());
    EXPECT_EQ(pid.find_first_not_of("0123456789"), std::string::npos) << workdir;
    EXPECT_EQ(tag.find_first_not_of("0123456789abcdef"), std::string::npos) << workdir;
    EXPECT_EQ(pid, ppid);  // the runner is the program's parent
    EXPECT_TRUE(tag == "0" || tag[0] != '0') << tag;
    EXPECT_LE(tag.size(), 16u);
    EXPECT_EQ(cwd, workdir);
    EXPECT_EQ(root, workdir);
    EXPECT_EQ(listing, "['_tessimar_node_sibling_shim.js', 'main.py', 'run.err', 'run.in', 'run.out']");

    EXPECT_FALSE(exists(workdir));
    EXPECT_EQ(list_dir(base.path()), std::vector<std::string>{});
    EXPECT_EQ(r.err, "");
}

TEST(WorkspaceCreated, MissingTmpdirIsReported) {
    TempDir t;
    const std::string base = t / "missing";
    Invocation inv;
    inv.args = {"--lang", "python3"};
    inv.set["TMPDIR"] = base;
    inv.input = "print('x')\n";
    const ProcessResult r = run_exec(inv);
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, error_line("cannot create a work directory in " + base +
                                ": No such file or directory (os error 2)"));
    EXPECT_FALSE(exists(base));
    EXPECT_EQ(list_dir(t.path()), std::vector<std::string>{});
}

TEST(WorkspaceCreated, UnwritableTmpdirIsReported) {
    TempDir base;  // owned by root, mode 0755
    Invocation inv;
    inv.args = {"--lang", "python3"};
    inv.set["TMPDIR"] = base.path();
    inv.wrapper = kUnprivileged;
    inv.input = "print('x')\n";
    const ProcessResult r = run_exec(inv);
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.out, error_line("cannot create a work directory in " + base.path() +
                                ": Permission denied (os error 13)"));
    EXPECT_EQ(list_dir(base.path()), std::vector<std::string>{});
}

TEST(WorkspaceCreated, UnknownLanguageCreatesNothing) {
    TempDir base;
    Invocation inv;
    inv.args = {"--lang", "nope"};
    inv.set["TMPDIR"] = base.path();
    inv.input = "x";
    const ProcessResult r = run_exec(inv);
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.json()["ok"], false);
    EXPECT_EQ(list_dir(base.path()), std::vector<std::string>{});
}

TEST(WorkspaceCreated, WorkdirReplacedByALinkIsNotDeleted) {
    TempDir base;
    TempDir victim;
    write_file(victim / "precious", "keep me\n");
    make_dir(victim / "dir");
    write_file(victim / "dir/f", "f");

    Invocation inv;
    inv.args = {"--lang", "bash"};
    inv.set["TMPDIR"] = base.path();
    inv.input = "cd /\nmv \"$TESSIMAR_WORKDIR_ROOT\" \"$TESSIMAR_WORKDIR_ROOT.moved\"\nln -s " +
                victim.path() + " \"$TESSIMAR_WORKDIR_ROOT\"\n";
    const ProcessResult r = run_exec(inv);
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    const auto j = r.json();
    const std::string workdir = j["workdir"];
    ASSERT_EQ(workdir.rfind(base.path() + "/tessimar-", 0), 0u) << workdir;
    EXPECT_EQ(j["exit_code"], 0) << r.out;

    EXPECT_EQ(r.err, "tessimar-exec: refusing to delete " + workdir +
                         " \u2014 it is not the directory this run created\n");
    EXPECT_TRUE(is_symlink(workdir));
    EXPECT_EQ(link_target(workdir), victim.path());
    EXPECT_EQ(read_file(victim / "precious"), "keep me\n");
    EXPECT_EQ(list_dir(victim.path()), (std::vector<std::string>{"dir", "precious"}));
    EXPECT_EQ(read_file(victim / "dir/f"), "f");
    // The moved original is left where the program put it.
    EXPECT_TRUE(is_dir(workdir + ".moved"));
}

// ---------------------------------------------------------------------------
// Deep trees

TEST(Workspace, VeryDeepLeftoverTreeIsReset) {
    FastTempDir w;
    const std::string s = w / ".tessimar-run";
    make_dir(s);
    int fd = open(s.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    constexpr int kDepth = 10000;
    for (int i = 0; i < kDepth; ++i) {
        ASSERT_EQ(mkdirat(fd, "d", 0755), 0) << "depth " << i;
        if (i % 1000 == 0) {
            const int file = openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (file >= 0) close(file);
        }
        const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        ASSERT_GE(next, 0) << "depth " << i;
        fd = next;
    }
    close(fd);

    const ProcessResult r = run_in_workdir(w.path(), "python3", "print('deep')\n");
    ASSERT_TRUE(r.exited()) << "signal " << -r.exit_code();
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    const auto j = r.json();
    EXPECT_EQ(j["verdict"], "OK") << r.out;
    EXPECT_EQ(j["stdout"], "deep\n");
    EXPECT_EQ(list_dir(s), kRunFiles);
}

// ------------------------------------------------ files in, files back out

// --files copies the tree before the first phase; --fetch reads back regular
// files only, never through a link, and lists those over the output cap.
TEST(WorkspaceFiles, CopiedInAndFetchedBackWithoutFollowingLinks) {
    TempDir in, tmp;
    ASSERT_EQ(mkdir((in / "sub").c_str(), 0755), 0);
    write_file(in / "a.txt", "hello\n");
    write_file(in / "sub/b.bin", std::string("x\0y", 3), 0755);
    const std::string program =
        "cat a.txt; test -x sub/b.bin && echo exec\n"
        "printf 'out' > o.txt; head -c 2049 /dev/zero > big; head -c 2048 /dev/zero > fits\n"
        "ln -s /etc/hostname link; ln -s /etc dir; mkdir d; mkfifo d/fifo\n";
    // With openat2, and with the component walk that replaces it where the
    // kernel (here a filter: ENOSYS for openat2) has none.
    for (const bool walk : {false, true}) {
        SCOPED_TRACE(walk ? "component walk" : "openat2");
        Invocation inv = run_of("bash", program,
                                {"--files", in.path(), "--max-output-kb", "2", "--fetch", "o.txt", "--fetch",
                                 "sub/b.bin", "--fetch", "./big", "--fetch", "fits", "--fetch", "link", "--fetch",
                                 "dir/hostname", "--fetch", "d", "--fetch", "d/fifo", "--fetch", "missing"});
        inv.set["TMPDIR"] = tmp.path();
        if (walk) inv.wrapper = {"/usr/bin/python3", TESSIMAR_TEST_SUPPORT_DIR "/deny_syscalls.py", "38", "437", "--"};
        const nlohmann::json j = report_of(run_exec(inv));
        EXPECT_EQ(j.value("stdout", ""), "hello\nexec\n") << j.dump();
        EXPECT_EQ(j.at("files"), (nlohmann::json{{"o.txt", "b3V0"}, {"sub/b.bin", "eAB5"},
                                                 {"fits", std::string(2728, 'A') + "AAA="}}))
            << j.dump();
        EXPECT_EQ(j.at("files_too_large"), nlohmann::json::array({"./big"}));
        EXPECT_TRUE(list_dir(tmp.path()).empty()) << "the work directory is removed as always";
    }

    // Without --fetch the report has neither key.
    Invocation plain = run_of("bash", "cat a.txt\n", {"--files", in.path()});
    plain.set["TMPDIR"] = tmp.path();
    const nlohmann::json k = report_of(run_exec(plain));
    EXPECT_EQ(k.value("stdout", ""), "hello\n");
    EXPECT_FALSE(k.contains("files") || k.contains("files_too_large")) << k.dump();
}

TEST(WorkspaceFiles, RefusalsNameTheOptionAndNothingRuns) {
    TempDir in, cases, tmp;
    write_file(cases / "1.in", "");
    const std::string marker = tmp / "ran";
    const auto refused = [&](std::vector<std::string> extra) {
        Invocation inv = run_of("bash", "touch " + marker + "\n", std::move(extra));
        inv.set["TMPDIR"] = tmp.path();
        const ProcessResult r = run_exec(inv);
        EXPECT_FALSE(exists(marker)) << r.out;
        EXPECT_TRUE(list_dir(tmp.path()).empty()) << r.out;
        return r.out;
    };
    ASSERT_EQ(symlink("/etc/hostname", (in / "link").c_str()), 0);
    EXPECT_EQ(refused({"--files", in.path()}),
              error_line("--files: " + in.path() + "/link is a symbolic link; links are not copied"));
    ASSERT_EQ(unlink((in / "link").c_str()), 0);
    ASSERT_EQ(mkfifo((in / "fifo").c_str(), 0644), 0);
    EXPECT_EQ(refused({"--files", in.path()}),
              error_line("--files: " + in.path() + "/fifo is neither a regular file nor a directory"));
    EXPECT_EQ(refused({"--fetch", "x", "--cases", cases.path()}),
              error_line("--fetch is for a single run: it cannot be used with --cases"));
    EXPECT_EQ(refused({"--files", in.path(), "--interactor", "/bin/true"}),
              error_line("--files is for a single run: it cannot be used with --interactor"));
    EXPECT_EQ(refused({"--fetch", "/etc/hostname"}),
              error_line("--fetch '/etc/hostname' is absolute: give a path relative to the work directory"));
    EXPECT_EQ(refused({"--fetch", "a/../../b"}),
              error_line("--fetch 'a/../../b' has a '..' component: give a path relative to the work directory"));
}
