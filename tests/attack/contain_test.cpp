// --contain against programs that reach for what is not theirs: the
// caller's home, other runs, system secrets, other processes, sockets of
// the host. Each attack runs once without the option, to show it is real,
// and once with it, where it must be refused; as root and as an ordinary user.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "attack_support.hpp"

using namespace attack;
using testing_support::run_exec;

namespace {

bool contain_available() {
    Invocation inv = run_of("bash", "true\n", "/tmp", {"--contain"});
    const json j = testing_support::report_of(run_exec(inv));
    for (const auto& n : j.value("unenforced", json::array()))
        if (n == "contain_unavailable") return false;
    return true;
}

#define SKIP_UNLESS_CONTAIN()                                                        \
    do {                                                                             \
        if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";                 \
        if (!contain_available()) GTEST_SKIP() << "the kernel offers no Landlock";   \
    } while (0)

// A process of the user, waiting to be signalled.
class Victim {
public:
    explicit Victim(bool as_nobody) {
        token_ = sleep_token();
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<std::string> argv;
            if (as_nobody) argv = kAsNobody;
            argv.push_back("/bin/sleep");
            argv.push_back(token_);
            std::vector<char*> c;
            for (auto& a : argv) c.push_back(a.data());
            c.push_back(nullptr);
            execv(c[0], c.data());
            _exit(127);
        }
        EXPECT_TRUE(appears_within(token_, 10));
    }
    ~Victim() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            int status;
            waitpid(pid_, &status, 0);
        }
    }
    pid_t pid() const { return pid_; }
    bool alive() const { return testing_support::process_with_token_alive(token_); }

private:
    pid_t pid_ = -1;
    std::string token_;
};

// An abstract unix socket the test listens on.
class AbstractListener {
public:
    AbstractListener() : name_(unique_token("abstract")) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path + 1, name_.data(), name_.size());
        const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name_.size());
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), len), 0);
        EXPECT_EQ(listen(fd_, 8), 0);
    }
    ~AbstractListener() { close(fd_); }
    const std::string& name() const { return name_; }

private:
    int fd_;
    std::string name_;
};

class Contain : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_UNLESS_CONTAIN();
        home = tmp / "home";
        other = tmp / "tessimar-other-run";
        ASSERT_EQ(mkdir(home.c_str(), 0777), 0);
        ASSERT_EQ(mkdir(other.c_str(), 0777), 0);
        testing_support::write_file(home + "/secret.h", "int secret_value = 42;\n");
        testing_support::write_file(other + "/work.txt", "theirs\n");
        for (const std::string& d : {tmp.path(), home, other}) testing_support::open_up(d);
        tmp_target = "/tmp/" + unique_token("planted");
    }
    void TearDown() override {
        unlink(tmp_target.c_str());
        EXPECT_TRUE(gone_within(tmp.path()));
    }

    Invocation invocation(const std::string& lang, const std::string& program, bool nobody,
                          std::vector<std::string> extra) {
        Invocation inv = run_of(lang, program, tmp.path(), extra);
        inv.set["HOME"] = home;
        if (nobody) inv.wrapper = kAsNobody;
        return inv;
    }

    // The attacks, one line each: "<name> ok" or "<name> denied".
    std::string attacks(pid_t victim, const std::string& abstract, bool root) const {
        std::string p =
            "import os, signal, socket\n"
            "def attempt(name, f):\n"
            "    try:\n"
            "        f()\n"
            "        print(name, 'ok')\n"
            "    except OSError as e:\n"
            "        print(name, 'denied' if e.errno in (1, 13) else 'errno=%d' % e.errno)\n"
            "def read(p):\n"
            "    with open(p, 'rb') as f: f.read(1)\n"
            "def write(p):\n"
            "    with open(p, 'w') as f: f.write('x')\n"
            "def abstract():\n"
            "    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
            "    s.connect('\\0" + abstract + "')\n";
        p += "attempt('home_secret', lambda: read('" + home + "/secret.h'))\n";
        p += "attempt('other_run_read', lambda: read('" + other + "/work.txt'))\n";
        p += "attempt('other_run_write', lambda: write('" + other + "/planted'))\n";
        p += "attempt('home_create', lambda: write('" + home + "/planted'))\n";
        p += "attempt('tmp_create', lambda: write('" + tmp_target + "'))\n";
        p += "attempt('signal_other', lambda: os.kill(" + std::to_string(victim) + ", signal.SIGTERM))\n";
        p += "attempt('abstract_connect', abstract)\n";
        if (root) {
            p += "attempt('shadow', lambda: read('/etc/shadow'))\n";
            p += "attempt('environ', lambda: read('/proc/" + std::to_string(getpid()) + "/environ'))\n";
        }
        return p;
    }

    static std::string all(const std::string& verdict, bool root) {
        std::string out;
        for (const char* n : {"home_secret", "other_run_read", "other_run_write", "home_create", "tmp_create",
                              "signal_other", "abstract_connect"})
            out += std::string(n) + " " + verdict + "\n";
        if (root) out += "shadow " + verdict + "\nenviron " + verdict + "\n";
        return out;
    }

    void attack_as(bool nobody) {
        const bool root = !nobody;
        AbstractListener listener;
        {
            Victim victim(nobody);
            const json j = checked_report(run_exec(
                invocation("python3", attacks(victim.pid(), listener.name(), root), nobody, {"--contain"})));
            EXPECT_EQ(j.value("stdout", ""), all("denied", root)) << j.dump();
            EXPECT_TRUE(victim.alive());
        }
        EXPECT_FALSE(exists(home + "/planted"));
        EXPECT_FALSE(exists(other + "/planted"));
        EXPECT_FALSE(exists(tmp_target));
        {
            Victim victim(nobody);
            const json j = checked_report(
                run_exec(invocation("python3", attacks(victim.pid(), listener.name(), root), nobody, {})));
            EXPECT_EQ(j.value("stdout", ""), all("ok", root)) << j.dump();
        }
    }

    static bool exists(const std::string& p) { return testing_support::exists(p); }

    TempDir tmp;
    std::string home, other, tmp_target;
};

TEST_F(Contain, RootChildIsRefusedWhatTheRunnerCouldReach) { attack_as(false); }

TEST_F(Contain, OrdinaryUsersChildIsRefusedWhatTheRunnerCouldReach) {
    if (geteuid() != 0 || !have("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
    attack_as(true);
}

TEST_F(Contain, ChildCannotSignalTheRunner) {
    const std::string program =
        "import os, signal\n"
        "try:\n"
        "    os.kill(os.getppid(), signal.SIGTERM)\n"
        "    print('sent')\n"
        "except PermissionError:\n"
        "    print('denied')\n";
    const json j = checked_report(run_exec(invocation("python3", program, false, {"--contain"})));
    EXPECT_EQ(j.value("stdout", ""), "denied\n") << j.dump();
    const ProcessResult plain = run_exec(invocation("python3", program, false, {}));
    EXPECT_TRUE(plain.exited() && plain.exit_code() == 143) << plain.status << " " << plain.out;
}

TEST_F(Contain, CompilerAndCompiledProgramAreBothConfined) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    const std::string program = "#include <stdio.h>\n#include \"" + home +
                                "/secret.h\"\nint main(void) { printf(\"%d\\n\", secret_value); }\n";
    const json contained = checked_report(run_exec(invocation("c", program, false, {"--contain"})));
    EXPECT_EQ(contained.value("phase", ""), "compile") << contained.dump();
    EXPECT_NE(contained.value("stderr", "").find("Permission denied"), std::string::npos) << contained.dump();
    const json plain = checked_report(run_exec(invocation("c", program, false, {})));
    EXPECT_EQ(plain.value("stdout", ""), "42\n") << plain.dump();

    // The run phase of a compiled program is held as tightly as its
    // compiler was, and still reaches its own /proc entry.
    const std::string reader =
        "#include <stdio.h>\nint main(void) {\n"
        "  printf(\"%d %d\\n\", fopen(\"" + home + "/secret.h\", \"r\") != NULL,\n"
        "         fopen(\"/proc/self/status\", \"r\") != NULL);\n}\n";
    const json run = checked_report(run_exec(invocation("c", reader, false, {"--contain"})));
    EXPECT_EQ(run.value("stdout", ""), "0 1\n") << run.dump();
    const json open_run = checked_report(run_exec(invocation("c", reader, false, {})));
    EXPECT_EQ(open_run.value("stdout", ""), "1 1\n") << open_run.dump();
}

// --no-net refuses creating internet sockets; with --contain a TCP socket
// the program did not create cannot connect either.
TEST_F(Contain, PassedInTcpSocketCannotConnect) {
    const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(tcp, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(tcp, 8), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(tcp, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string port = std::to_string(ntohs(addr.sin_port));

    const std::string path = tmp / "pass.sock";
    const int unix_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    std::memcpy(un.sun_path, path.data(), path.size());
    ASSERT_EQ(bind(unix_fd, reinterpret_cast<sockaddr*>(&un), sizeof un), 0);
    ASSERT_EQ(listen(unix_fd, 8), 0);
    testing_support::open_up(path);

    // Hands one fresh TCP socket to each program that connects.
    std::atomic<bool> stop{false};
    std::thread giver([&] {
        while (!stop) {
            pollfd p{unix_fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const int conn = accept4(unix_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            const int given = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            char byte = 'x';
            iovec iov{&byte, 1};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &given, sizeof(int));
            (void)sendmsg(conn, &msg, MSG_NOSIGNAL);
            close(given);
            close(conn);
        }
    });
    const std::string program =
        "import socket\n"
        "u = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
        "u.connect('" + path + "')\n"
        "_, fds, _, _ = socket.recv_fds(u, 1, 1)\n"
        "t = socket.socket(fileno=fds[0])\n"
        "try:\n"
        "    t.connect(('127.0.0.1', " + port + "))\n"
        "    print('tcp_connect ok')\n"
        "except OSError as e:\n"
        "    print('tcp_connect', 'denied' if e.errno in (1, 13) else e.errno)\n";
    const json contained = checked_report(run_exec(invocation("python3", program, false, {"--no-net", "--contain"})));
    const json plain = checked_report(run_exec(invocation("python3", program, false, {"--no-net"})));
    stop = true;
    giver.join();
    close(unix_fd);
    close(tcp);
    EXPECT_EQ(contained.value("stdout", ""), "tcp_connect denied\n") << contained.dump();
    // The network shim the runner preloads stays loadable.
    EXPECT_EQ(contained.value("stderr", ""), "") << contained.dump();
    EXPECT_EQ(plain.value("stdout", ""), "tcp_connect ok\n") << plain.dump();
}

// What a program needs keeps working: its files in the work directory and
// the private temporary directory, and signals to its own children.
TEST_F(Contain, WorkDirectoryPrivateTmpAndOwnChildrenStillWork) {
    const std::string program =
        "set -e\n"
        "for d in . \"$TMPDIR\" \"$HOME\"; do\n"
        "  echo data > \"$d/f\"; : > \"$d/f\"; [ ! -s \"$d/f\" ]; echo more >> \"$d/f\"; truncate -s 1 \"$d/f\"\n"
        "  mkdir \"$d/sub\"; mv \"$d/f\" \"$d/sub/g\"; rm \"$d/sub/g\"; rmdir \"$d/sub\"\n"
        "done\n"
        "echo \"$HOME $TMPDIR\"\n"
        "sleep 30 & kill -TERM $!; wait $! || echo \"child $?\"\n";
    const json j = checked_report(run_exec(invocation("bash", program, false, {"--contain"})));
    const std::string scratch = j.value("workdir", "") + "/.tessimar-run";
    EXPECT_EQ(j.value("stdout", ""), scratch + "/home " + scratch + "/home\nchild 143\n") << j.dump();
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
}

// rustup's proxies on PATH give their own directory, never ~/.cargo with
// the registry token beside them; as an ordinary user, who owns that token.
TEST_F(Contain, CargoCredentialsStayUnreadableWithRustupOnPath) {
    const bool nobody = geteuid() == 0 && have("/usr/bin/setpriv");
    for (const char* d : {"/.cargo", "/.cargo/bin", "/.rustup"}) ASSERT_EQ(mkdir((home + d).c_str(), 0755), 0);
    testing_support::write_file(home + "/.cargo/bin/rustup", "#!/bin/sh\necho proxy\n", 0755);
    testing_support::write_file(home + "/.cargo/credentials.toml", "token = \"cio-secret\"\n", 0644);
    testing_support::write_file(home + "/.rustup/settings.toml", "version = \"12\"\n", 0644);
    const std::string program = "rustup; cat \"$CARGO_HOME/credentials.toml\" 2>/dev/null || echo denied\n";
    const auto run = [&](std::vector<std::string> extra) {
        Invocation inv = invocation("bash", program, nobody, std::move(extra));
        inv.set["PATH"] = home + "/.cargo/bin:" + kSearchPath;
        inv.set["CARGO_HOME"] = home + "/.cargo";
        return checked_report(run_exec(inv));
    };
    const json contained = run({"--contain"});
    EXPECT_EQ(contained.value("stdout", ""), "proxy\ndenied\n") << contained.dump();
    const json plain = run({});
    EXPECT_EQ(plain.value("stdout", ""), "proxy\ntoken = \"cio-secret\"\n") << plain.dump();
}

// A directory with one file, planted by root in a system tree for one test
// and removed even when the test fails.
struct Planted {
    std::string dir, file;
    Planted(const std::string& parent, const std::string& content, int mode)
        : dir(parent + "/" + unique_token("planted")), file(dir + "/file") {
        EXPECT_EQ(mkdir(dir.c_str(), 0755), 0);
        testing_support::write_file(file, content, mode);
    }
    ~Planted() {
        unlink(file.c_str());
        rmdir(dir.c_str());
    }
};

// A file a service keeps in a directory of its own under /etc, 0600 and
// root's: a root child keeps uid 0, so only the allow-list stops it.
TEST_F(Contain, NewSecretUnderEtcStaysUnreadableForARootChild) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    const Planted secret("/etc", "password = hunter2\n", 0600);
    const std::string program = "cat '" + secret.file + "' 2>/dev/null || echo denied\n";
    const json contained = checked_report(run_exec(invocation("bash", program, false, {"--contain"})));
    EXPECT_EQ(contained.value("stdout", ""), "denied\n") << contained.dump();
    const json plain = checked_report(run_exec(invocation("bash", program, false, {})));
    EXPECT_EQ(plain.value("stdout", ""), "password = hunter2\n") << plain.dump();
}

// Directories and files made under /etc for one test and removed, newest
// first, even when the test fails; a directory that was there before stays.
struct EtcPlants {
    std::vector<std::string> made;
    void dir(const std::string& path) {
        if (mkdir(path.c_str(), 0755) == 0)
            made.push_back(path);
        else
            EXPECT_EQ(errno, EEXIST) << path;
    }
    void file(const std::string& path, const std::string& content) {
        testing_support::write_file(path, content, 0644);
        made.push_back(path);
    }
    ~EtcPlants() {
        for (auto it = made.rbegin(); it != made.rend(); ++it)
            if (unlink(it->c_str()) != 0) rmdir(it->c_str());
    }
};

// A runtime release no list names yet: its /etc directory is readable by
// the family's name (java-*, python3.*, php/<version>/cli), while a
// neighbour that only looks like one, and the rest of a PHP version
// directory, stay closed even to a world-readable file.
TEST_F(Contain, EtcRuntimeFamiliesAreMatchedByNameAndNothingBeside) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    const std::string tag = unique_token("etc");
    const std::vector<std::pair<std::string, std::string>> dirs = {
        {"/etc/python3.99-" + tag, "python3.99"}, {"/etc/java-" + tag, "java"},
        {"/etc/python3-" + tag, "python3-other"}, {"/etc/pythonX-" + tag, "pythonX"},
        {"/etc/php/99." + tag + "/cli", "php-cli"}, {"/etc/php/99." + tag + "/fpm", "php-fpm"}};
    EtcPlants plants;
    plants.dir("/etc/php");
    plants.dir("/etc/php/99." + tag);
    std::string program, plain_expected;
    for (const auto& [dir, word] : dirs) {
        plants.dir(dir);
        plants.file(dir + "/file", word + "\n");
        program += "cat '" + dir + "/file' 2>/dev/null || echo denied\n";
        plain_expected += word + "\n";
    }
    const json contained = checked_report(run_exec(invocation("bash", program, false, {"--contain"})));
    EXPECT_EQ(contained.value("stdout", ""), "python3.99\njava\ndenied\ndenied\nphp-cli\ndenied\n") << contained.dump();
    const json plain = checked_report(run_exec(invocation("bash", program, false, {})));
    EXPECT_EQ(plain.value("stdout", ""), plain_expected) << plain.dump();
}

// A PATH entry that starts in a system tree but leads out of it, through a
// link (as /usr/local/cuda does) or "..", names a directory the tree's rule
// does not cover: it keeps its own.
TEST_F(Contain, PathEntryLeadingOutOfASystemTreeStillRuns) {
    if (geteuid() != 0 || access("/usr/local", W_OK) != 0) GTEST_SKIP() << "needs root and /usr/local";
    const std::string linked = tmp / "linked", dotted = tmp / "dotted";
    for (const std::string& d : {linked, dotted}) {
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
        testing_support::write_file(d + "/tool-" + d.substr(d.rfind('/') + 1),
                                    "#!/bin/sh\necho " + d.substr(d.rfind('/') + 1) + "\n", 0755);
    }
    const std::string link = "/usr/local/" + unique_token("linked");
    ASSERT_EQ(symlink(linked.c_str(), link.c_str()), 0);
    Invocation inv = invocation("bash", "tool-linked; tool-dotted\n", false, {"--contain"});
    inv.set["PATH"] = link + ":/usr/.." + dotted + ":" + kSearchPath;
    const json j = checked_report(run_exec(inv));
    unlink(link.c_str());
    EXPECT_EQ(j.value("stdout", ""), "linked\ndotted\n") << j.dump();
}

// A runner whose HOME lies in a system tree: the tree is given entry by
// entry, the home left out, its neighbours still readable.
TEST_F(Contain, SystemTreeHoldingTheHomeIsNotGivenWhole) {
    if (geteuid() != 0 || access("/opt", F_OK) != 0) GTEST_SKIP() << "needs root and /opt";
    const Planted runner_home("/opt", "secret\n", 0644);
    const Planted neighbour("/opt", "tool\n", 0644);
    const std::string program = "for f in '" + runner_home.file + "' '" + neighbour.file +
                                "'; do cat \"$f\" 2>/dev/null || echo denied; done\n";
    Invocation inv = invocation("bash", program, false, {"--contain"});
    inv.set["HOME"] = runner_home.dir;
    const json contained = checked_report(run_exec(inv));
    EXPECT_EQ(contained.value("stdout", ""), "denied\ntool\n") << contained.dump();
}

// The PATH entry of a rustup or pyenv installation, when the host has one.
std::string toolchain_entry(const std::string& probe) {
    const char* path = std::getenv("PATH");
    std::string rest = path == nullptr ? "" : path;
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string dir = rest.substr(0, colon);
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
        if (!dir.empty() && dir.front() == '/' && have((dir + probe).c_str())) return dir;
    }
    return "";
}

// The real toolchains, found through their PATH entries only.
TEST_F(Contain, RustAndPythonStillBuildAndRunWithRustupAndPyenvOnPath) {
    const std::string cargo_bin = toolchain_entry("/rustup");
    const std::string pyenv_shims = toolchain_entry("/../libexec/pyenv");
    if (cargo_bin.empty() || pyenv_shims.empty() || !have((pyenv_shims + "/python3").c_str()))
        GTEST_SKIP() << "needs rustup and pyenv on PATH";
    const auto run = [&](const std::string& lang, const std::string& program, std::vector<std::string> extra) {
        extra.insert(extra.end(), {"--timeout", "120"});
        Invocation inv = invocation(lang, program, false, std::move(extra));
        // A root runner's contained child takes a user id of its own, which
        // cannot pass a private home (/root is 0700); in a user namespace that
        // maps root alone it stays root, and the rules alone decide.
        if (geteuid() == 0) inv.wrapper = {"unshare", "--user", "--map-root-user"};
        inv.set["PATH"] = cargo_bin + ":" + pyenv_shims + ":" + kSearchPath;
        inv.set["HOME"] = std::getenv("HOME") == nullptr ? "/nonexistent" : std::getenv("HOME");
        return checked_report(run_exec(inv));
    };
    const json rust = run("rust", "fn main() { println!(\"rust ok\"); }\n", {"--contain"});
    EXPECT_EQ(rust.value("stdout", ""), "rust ok\n") << rust.dump();
    // The same interpreter as without the option: the one pyenv picks.
    const std::string python = "import sys\nprint('python ok', sys.prefix)\n";
    const json contained = run("python3", python, {"--contain"});
    const json plain = run("python3", python, {});
    EXPECT_EQ(contained.value("stdout", ""), plain.value("stdout", "")) << contained.dump();
    EXPECT_EQ(plain.value("stdout", "").rfind("python ok /", 0), 0u) << plain.dump();
}

// A kernel that refuses Landlock (here a seccomp filter answers ENOSYS):
// the run goes on unconfined and says so; HOME and TMPDIR are still private.
TEST_F(Contain, RefusedLandlockIsReportedNotFatal) {
    const char* const refuse_landlock =
        "import ctypes, os, struct, sys\n"
        "libc = ctypes.CDLL(None, use_errno=True)\n"
        "code = b''.join(struct.pack('HBBI', *i) for i in [\n"
        "    (0x20, 0, 0, 0), (0x15, 0, 1, 444), (0x06, 0, 0, 0x50026), (0x06, 0, 0, 0x7fff0000)])\n"
        "buf = ctypes.create_string_buffer(code)\n"
        "prog = struct.pack('HxxxxxxQ', 4, ctypes.addressof(buf))\n"
        "assert libc.prctl(38, 1, 0, 0, 0) == 0\n"
        "assert libc.prctl(22, 2, ctypes.c_char_p(prog), 0, 0) == 0\n"
        "os.execv(sys.argv[1], sys.argv[1:])\n";
    Invocation inv = invocation("bash", "cat \"" + home + "/secret.h\"; echo \"$HOME\"\n", false, {"--contain"});
    inv.wrapper = {"/usr/bin/python3", "-c", refuse_landlock};
    const json j = checked_report(run_exec(inv));
    const std::string scratch = j.value("workdir", "") + "/.tessimar-run";
    EXPECT_EQ(j.value("stdout", ""), "int secret_value = 42;\n" + scratch + "/home\n") << j.dump();
    const json notes = j.value("unenforced", json::array());
    ASSERT_FALSE(notes.empty()) << j.dump();
    EXPECT_EQ(notes.back(), "contain_unavailable") << j.dump();
}

}  // namespace

// As root a contained run has an id of its own, which a 0700 TMPDIR (or a
// --workdir below one) shuts out: that is the caller's setup, named before
// anything runs, never the program's runtime error; a batch says so once.
TEST_F(Contain, WorkDirectoryItsOwnIdCannotReachIsASetupError) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    const std::string closed = tmp / "closed";
    ASSERT_EQ(mkdir(closed.c_str(), 0700), 0);
    const std::string given = closed + "/given";
    ASSERT_EQ(mkdir(given.c_str(), 0755), 0);
    const auto expect_named = [&](const json& j) {
        if (j.contains("unenforced") && j.dump().find("contain_uid_unavailable") != std::string::npos) return;
        EXPECT_FALSE(j.contains("verdict")) << j.dump();
        EXPECT_EQ(j.value("ok", true), false);
        EXPECT_NE(j.value("error", "").find(closed + " (mode 0700, owner uid 0)"), std::string::npos) << j.dump();
    };
    Invocation inv = invocation("bash", "echo ran\n", false, {"--contain"});
    inv.set["TMPDIR"] = closed;
    expect_named(checked_report(run_exec(inv)));
    expect_named(checked_report(run_exec(invocation("bash", "echo ran\n", false, {"--contain", "--workdir", given}))));
    // The caller's directory is left as it was: not lent, nothing made in it.
    struct stat st;
    ASSERT_EQ(stat(given.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(testing_support::list_dir(given).size(), 0u);

    inv = run_of("bash", "", closed);
    inv.args = {"--batch", "-", "--contain"};
    inv.input = "{\"lang\":\"bash\",\"program\":\"echo ran\"}\n{\"lang\":\"bash\",\"program\":\"echo ran\"}\n";
    const ProcessResult batch = run_exec(inv);
    EXPECT_EQ(batch.exit_code(), 0) << batch.err;
    EXPECT_EQ(batch.out.find("\"verdict\""), std::string::npos) << batch.out;
    const std::size_t first = batch.err.find("TMPDIR " + closed);
    EXPECT_NE(first, std::string::npos) << batch.err;
    EXPECT_EQ(batch.err.find("TMPDIR " + closed, first + 1), std::string::npos) << "said more than once";
    EXPECT_EQ(testing_support::list_dir(closed).size(), 1u) << "only the caller's directory stays";
}
