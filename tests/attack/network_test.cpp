// --no-net against programs that try every door: internet and packet
// sockets through libc and through raw system calls, io_uring, the x32 and
// 32-bit system-call ABIs. Local sockets keep working.
#include "attack_support.hpp"

using namespace attack;
using testing_support::run_exec;

namespace {

const char* const kSocketProbe =
    "#define _GNU_SOURCE\n"
    "#include <errno.h>\n#include <stdio.h>\n#include <sys/socket.h>\n#include <sys/syscall.h>\n"
    "#include <unistd.h>\n#include <linux/if_ether.h>\n#include <arpa/inet.h>\n"
    "static void show(const char *name, long rc) {\n"
    "  if (rc >= 0) printf(\"%s ok\\n\", name); else printf(\"%s errno=%d\\n\", name, errno);\n"
    "}\n"
    "int main(void) {\n"
    "  int sv[2];\n"
    "  show(\"inet\", socket(AF_INET, SOCK_STREAM, 0));\n"
    "  show(\"inet_udp\", socket(AF_INET, SOCK_DGRAM, 0));\n"
    "  show(\"inet6\", socket(AF_INET6, SOCK_STREAM, 0));\n"
    "  show(\"raw_syscall_inet\", syscall(SYS_socket, AF_INET, SOCK_STREAM, 0));\n"
    "  show(\"high_bits_inet\", syscall(SYS_socket, 0x100000000L | AF_INET, SOCK_STREAM, 0));\n"
    "  show(\"packet\", socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL)));\n"
    "  show(\"io_uring_setup\", syscall(425, 8, (void *)0));\n"
    "  show(\"io_uring_enter\", syscall(426, 0, 0, 0, 0, (void *)0, 0));\n"
    "  show(\"io_uring_register\", syscall(427, 0, 0, (void *)0, 0));\n"
    "  show(\"unix\", socket(AF_UNIX, SOCK_STREAM, 0));\n"
    "  show(\"unix_dgram\", socket(AF_UNIX, SOCK_DGRAM, 0));\n"
    "  show(\"socketpair\", socketpair(AF_UNIX, SOCK_STREAM, 0, sv));\n"
    "  return 0;\n"
    "}\n";

json run_c(const std::string& program, const std::string& tmp, bool no_net) {
    std::vector<std::string> extra = {"--timeout", "10"};
    if (no_net) extra.push_back("--no-net");
    const ProcessResult r = run_exec(run_of("c", program, tmp, extra));
    json j = checked_report(r);
    EXPECT_EQ(j.value("phase", ""), "run") << head(r.out);
    return j;
}

class NoNet : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    }
    void TearDown() override {
        EXPECT_TRUE(gone_within(tmp.path()));
        expect_empty_dir(tmp.path());
    }
    TempDir tmp;
};

TEST_F(NoNet, InternetPacketAndIoUringAreRefusedLocalSocketsWork) {
    const json j = run_c(kSocketProbe, tmp.path(), true);
    const std::string expected =
        "inet errno=13\ninet_udp errno=13\ninet6 errno=13\nraw_syscall_inet errno=13\nhigh_bits_inet errno=13\n"
        "packet errno=13\nio_uring_setup errno=38\nio_uring_enter errno=38\nio_uring_register errno=38\n"
        "unix ok\nunix_dgram ok\nsocketpair ok\n";
    EXPECT_EQ(j.value("stdout", ""), expected);
    EXPECT_EQ(j.value("verdict", ""), "OK");
    for (const auto& n : j.value("unenforced", json::array()))
        EXPECT_TRUE(n != "no_net_best_effort_shim" && n != "no_net_requested_but_no_shim_available") << n;
}

TEST_F(NoNet, WithoutTheOptionInternetSocketsOpen) {
    const json j = run_c(kSocketProbe, tmp.path(), false);
    const std::string out = j.value("stdout", "");
    EXPECT_NE(out.find("inet ok\n"), std::string::npos) << out;
    EXPECT_NE(out.find("raw_syscall_inet ok\n"), std::string::npos) << out;
}

TEST_F(NoNet, PythonSocketsAreRefused) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    const std::string program =
        "import socket\n"
        "for fam in (socket.AF_INET, socket.AF_INET6):\n"
        "    try:\n"
        "        socket.socket(fam, socket.SOCK_STREAM)\n"
        "        print('open')\n"
        "    except OSError as e:\n"
        "        print('refused', e.errno)\n"
        "try:\n"
        "    socket.create_connection(('127.0.0.1', 9), timeout=1)\n"
        "except OSError as e:\n"
        "    print('connect', e.errno)\n"
        "a, b = socket.socketpair()\n"
        "a.send(b'x')\n"
        "print('pair', b.recv(1))\n";
    const ProcessResult r = run_exec(run_of("python3", program, tmp.path(), {"--no-net", "--timeout", "5"}));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("stdout", ""), "refused 13\nrefused 13\nconnect 13\npair b'x'\n") << head(r.out);
}

// An x32 system call (number with bit 30 set) kills the process.
TEST_F(NoNet, X32SystemCallKillsTheChild) {
    const std::string program =
        "#include <stdio.h>\n#include <unistd.h>\n#include <sys/syscall.h>\n"
        "int main(void) {\n"
        "  long rc = syscall(39 | 0x40000000);\n"
        "  printf(\"survived %ld\\n\", rc);\n"
        "  return 0;\n"
        "}\n";
    const json j = run_c(program, tmp.path(), true);
    EXPECT_EQ(j.value("exit_code", 0), -31) << j.dump();
    EXPECT_EQ(j.value("verdict", ""), "RTE");
    EXPECT_EQ(j.value("stdout", ""), "");
}

// A 32-bit system call through int 0x80 is of another architecture: killed.
TEST_F(NoNet, Int80SystemCallKillsTheChild) {
    const std::string program =
        "#include <stdio.h>\n"
        "int main(void) {\n"
        "  long r;\n"
        "  __asm__ volatile(\"int $0x80\" : \"=a\"(r) : \"a\"(20L) : \"memory\");\n"
        "  printf(\"survived %ld\\n\", r);\n"
        "  return 0;\n"
        "}\n";
    const json plain = run_c(program, tmp.path(), false);
    if (plain.value("stdout", "").rfind("survived ", 0) != 0)
        GTEST_SKIP() << "this kernel runs no 32-bit system calls: " << plain.value("exit_code", 0);
    const json j = run_c(program, tmp.path(), true);
    EXPECT_EQ(j.value("exit_code", 0), -31) << j.dump();
    EXPECT_EQ(j.value("verdict", ""), "RTE");
    EXPECT_EQ(j.value("stdout", ""), "");
}

// The filter is inherited across fork and exec: a grandchild started
// through the shell is refused as well.
TEST_F(NoNet, DescendantsAreRefusedToo) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    const ProcessResult r = run_exec(run_of(
        "bash",
        "bash -c 'python3 - <<EOF\n"
        "import socket\n"
        "try:\n"
        "    socket.socket()\n"
        "    print(\"open\")\n"
        "except OSError as e:\n"
        "    print(e.errno)\n"
        "EOF'\n",
        tmp.path(), {"--no-net", "--timeout", "5"}));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("stdout", ""), "13\n") << head(r.out);
}

}  // namespace
