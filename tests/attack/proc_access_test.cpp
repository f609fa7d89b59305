// What a child can reach of its runner: the descriptors the runner got from
// its own caller, and the runner's /proc entries and ptrace, as an ordinary
// user. The runner is non-dumpable and hands the child only 0, 1 and 2.
#include "attack_support.hpp"

using namespace attack;
using testing_support::open_up;
using testing_support::run_exec;
using testing_support::write_file;

namespace {

// A secret reachable only through its descriptor (the file is unlinked),
// and both ends of a pipe, all without close-on-exec.
struct Inherited {
    Inherited() {
        char tmpl[] = "/tmp/tessimar-attack-secret-XXXXXX";
        secret_fd = mkstemp(tmpl);
        if (secret_fd >= 0) {
            fchmod(secret_fd, 0644);
            (void)!write(secret_fd, secret.data(), secret.size());
            lseek(secret_fd, 0, SEEK_SET);
            unlink(tmpl);
        }
        if (pipe(pipe_fds) != 0) pipe_fds[0] = pipe_fds[1] = -1;
    }
    ~Inherited() {
        for (const int fd : {secret_fd, pipe_fds[0], pipe_fds[1]})
            if (fd >= 0) close(fd);
    }
    std::vector<int> fds() const { return {secret_fd, pipe_fds[0], pipe_fds[1]}; }
    const std::string secret = unique_token("inherited-secret");
    int secret_fd = -1;
    int pipe_fds[2] = {-1, -1};
};

std::string numbers(const std::vector<int>& fds) {
    std::string s;
    for (const int fd : fds) s += (s.empty() ? "" : ", ") + std::to_string(fd);
    return s;
}

// The child looks at its own descriptors and tries the runner's.
std::string probe_program(const std::vector<int>& fds) {
    return std::string(kFdProbePy) +
           "pp = os.getppid()\n"
           "for n in (" + numbers(fds) + ",):\n"
           "    try:\n"
           "        with open('/proc/%d/fd/%d' % (pp, n), 'rb') as f:\n"
           "            print('read', n, f.read(200))\n"
           "    except OSError as e:\n"
           "        print('denied', n)\n"
           "try:\n"
           "    print('listing', sorted(os.listdir('/proc/%d/fd' % pp)))\n"
           "except OSError:\n"
           "    print('listing denied')\n";
}

TEST(InheritedDescriptors, ChildSeesOnlyItsStandardStreams) {
    TempDir tmp;
    Inherited inh;
    ASSERT_GE(inh.secret_fd, 0);
    const Direct d = run_direct({"--lang", "python3", "--timeout", "5"}, kFdProbePy,
                                {{"PATH", kSearchPath}, {"TMPDIR", tmp.path()}}, inh.fds());
    const json j = checked_report(as_result(d));
    EXPECT_EQ(j.value("stdout", ""), "fds=0,1,2\n") << head(d.out);
    expect_empty_dir(tmp.path());
}

TEST(InheritedDescriptors, CompilerSeesOnlyItsStandardStreams) {
    TempDir tmp, fake;
    Inherited inh;
    write_file(fake / "gcc", "#!/usr/bin/python3\n" + std::string(kFdProbePy) + "raise SystemExit(1)\n", 0755);
    const Direct d = run_direct({"--lang", "c", "--timeout", "5"}, "int main(void){return 0;}\n",
                                {{"PATH", kSearchPath},
                                 {"TMPDIR", tmp.path()},
                                 {"TESSIMAR_RUNTIME_PATH", fake.path() + ":" + kSearchPath}},
                                inh.fds());
    const json j = checked_report(as_result(d));
    EXPECT_EQ(j.value("phase", ""), "compile") << head(d.out);
    EXPECT_EQ(j.value("stdout", ""), "fds=0,1,2\n") << head(d.out);
    expect_empty_dir(tmp.path());
}

TEST(InheritedDescriptors, OrdinaryUserCannotReachThemThroughProc) {
    if (geteuid() != 0 || !have("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
    TempDir tmp;
    open_up(tmp.path());
    Inherited inh;
    ASSERT_GE(inh.secret_fd, 0);
    const Direct d = run_direct({"--lang", "python3", "--timeout", "5"}, probe_program(inh.fds()),
                                {{"PATH", kSearchPath}, {"TMPDIR", tmp.path()}, {"HOME", "/nonexistent"}}, inh.fds(),
                                kAsNobody);
    const json j = checked_report(as_result(d));
    const std::string out = j.value("stdout", "");
    EXPECT_EQ(out.rfind("fds=0,1,2\n", 0), 0u) << out;
    for (const int fd : inh.fds()) EXPECT_NE(out.find("denied " + std::to_string(fd) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("listing denied\n"), std::string::npos) << out;
    EXPECT_EQ(d.out.find(inh.secret), std::string::npos) << "the secret reached the report";
    expect_empty_dir(tmp.path());
}

// The runner reads the capture files back itself; a link from there to one
// of its own descriptors would hand the caller's secret to the program's
// author in the report.
TEST(InheritedDescriptors, CaptureLinkToTheRunnersDescriptorDoesNotLeakIt) {
    TempDir tmp;
    Inherited inh;
    ASSERT_GE(inh.secret_fd, 0);
    const std::string program = "rm .tessimar-run/run.out\nln -s /proc/self/fd/" + std::to_string(inh.secret_fd) +
                                " .tessimar-run/run.out\n";
    const Direct d = run_direct({"--lang", "bash", "--timeout", "5"}, program,
                                {{"PATH", kSearchPath}, {"TMPDIR", tmp.path()}}, inh.fds());
    checked_report(as_result(d), Expect{kDefaultCap, false});
    EXPECT_EQ(d.out.find(inh.secret), std::string::npos)
        << "an inherited descriptor's content reached the report:\n" << head(d.out, 300);
    expect_empty_dir(tmp.path());
}

// ------------------------------------------------------ /proc and ptrace

TEST(RunnerFromTheChild, OrdinaryUserCannotWriteReadOrTraceTheRunner) {
    if (geteuid() != 0 || !have("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
    TempDir tmp;
    open_up(tmp.path());
    const std::string secret = unique_token("runner-env");
    const std::string forged =
        "{\"compile_ms\":0,\"forged\":true,\"ok\":true,\"verdict\":\"OK\"}";
    const std::string program =
        "import ctypes, errno, os\n"
        "pp = os.getppid()\n"
        "def attempt(name, fn):\n"
        "    try:\n"
        "        fn()\n"
        "        print(name, 'succeeded')\n"
        "    except OSError as e:\n"
        "        print(name, 'failed', errno.errorcode.get(e.errno))\n"
        "def forge():\n"
        "    fd = os.open('/proc/%d/fd/1' % pp, os.O_WRONLY)\n"
        "    os.write(fd, b'" + forged + "\\n')\n"
        "def environ():\n"
        "    with open('/proc/%d/environ' % pp, 'rb') as f:\n"
        "        print(f.read())\n"
        "def mem():\n"
        "    os.open('/proc/%d/mem' % pp, os.O_RDWR)\n"
        "def cwd():\n"
        "    os.readlink('/proc/%d/cwd' % pp)\n"
        "attempt('forge', forge)\n"
        "attempt('environ', environ)\n"
        "attempt('mem', mem)\n"
        "attempt('cwd', cwd)\n"
        "libc = ctypes.CDLL(None, use_errno=True)\n"
        "rc = libc.ptrace(16, pp, None, None)\n"  // PTRACE_ATTACH
        "print('ptrace', rc, errno.errorcode.get(ctypes.get_errno()))\n"
        "rc = libc.ptrace(0x4206, pp, None, None)\n"  // PTRACE_SEIZE
        "print('seize', rc, errno.errorcode.get(ctypes.get_errno()))\n";
    Invocation inv = run_of("python3", program, tmp.path(), {"--timeout", "5"});
    inv.set["TESSIMAR_ATTACK_SECRET"] = secret;
    inv.wrapper = kAsNobody;
    const ProcessResult r = run_exec(inv);
    const json j = checked_report(r);
    const std::string out = j.value("stdout", "");
    EXPECT_NE(out.find("forge failed"), std::string::npos) << out;
    EXPECT_NE(out.find("environ failed"), std::string::npos) << out;
    EXPECT_NE(out.find("mem failed"), std::string::npos) << out;
    EXPECT_NE(out.find("cwd failed"), std::string::npos) << out;
    EXPECT_NE(out.find("ptrace -1 EPERM"), std::string::npos) << out;
    EXPECT_NE(out.find("seize -1 EPERM"), std::string::npos) << out;
    EXPECT_EQ(r.out.find(secret), std::string::npos);
    EXPECT_EQ(r.out.find("\"forged\""), std::string::npos) << "a forged line reached the runner's output";
    EXPECT_EQ(j.value("verdict", ""), "OK");
    expect_empty_dir(tmp.path());
}

// The same through a C program, which needs no interpreter's help.
TEST(RunnerFromTheChild, CProgramCannotAttachToTheRunner) {
    if (geteuid() != 0 || !have("/usr/bin/setpriv") || !have("/usr/bin/gcc")) GTEST_SKIP() << "needs root, setpriv, gcc";
    TempDir tmp;
    open_up(tmp.path());
    const std::string program =
        "#include <errno.h>\n#include <fcntl.h>\n#include <stdio.h>\n#include <string.h>\n"
        "#include <sys/ptrace.h>\n#include <unistd.h>\n"
        "int main(void) {\n"
        "  pid_t pp = getppid(); char path[64];\n"
        "  long rc = ptrace(PTRACE_ATTACH, pp, 0, 0);\n"
        "  printf(\"attach %ld %d\\n\", rc, rc < 0 ? errno : 0);\n"
        "  snprintf(path, sizeof path, \"/proc/%d/fd/1\", (int)pp);\n"
        "  int fd = open(path, O_WRONLY);\n"
        "  printf(\"open %d\\n\", fd < 0 ? -1 : fd);\n"
        "  if (fd >= 0) { const char *s = \"{\\\"forged\\\":true}\\n\"; write(fd, s, strlen(s)); }\n"
        "  return 0;\n"
        "}\n";
    Invocation inv = run_of("c", program, tmp.path(), {"--timeout", "10"});
    inv.wrapper = kAsNobody;
    const ProcessResult r = run_exec(inv);
    const json j = checked_report(r);
    EXPECT_EQ(j.value("stdout", ""), "attach -1 1\nopen -1\n") << head(r.out);
    EXPECT_EQ(r.out.find("forged"), std::string::npos);
    expect_empty_dir(tmp.path());
}

}  // namespace
