#include "phase/network.hpp"

#include <linux/audit.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/text.hpp"

namespace tessimar {

bool seccomp_available() { return prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0; }

const std::vector<sock_filter>& build_network_filter() {
    // x86_64 only; x32 calls and other architectures kill the process. The
    // io_uring calls fail with ENOSYS (they could bypass the socket check);
    // socket() for AF_INET, AF_INET6 and AF_PACKET (raw frames carry IP just
    // as well) fails with EACCES. Everything else is allowed.
    static const std::vector<sock_filter> program = {
        /*  0 */ {0x20, 0, 0, 4},            // load architecture
        /*  1 */ {0x15, 0, 14, 0xC000003E},  // not x86_64: kill
        /*  2 */ {0x20, 0, 0, 0},            // load syscall number
        /*  3 */ {0x35, 12, 0, 0x40000000},  // x32 calls: kill
        /*  4 */ {0x15, 8, 0, 425},          // io_uring_setup
        /*  5 */ {0x15, 7, 0, 426},          // io_uring_enter
        /*  6 */ {0x15, 6, 0, 427},          // io_uring_register
        /*  7 */ {0x15, 0, 7, 41},           // socket, else allow
        /*  8 */ {0x20, 0, 0, 16},           // load address family
        /*  9 */ {0x15, 4, 0, 2},            // AF_INET
        /* 10 */ {0x15, 3, 0, 10},           // AF_INET6
        /* 11 */ {0x15, 2, 0, 17},           // AF_PACKET
        /* 12 */ {0x06, 0, 0, 0x7FFF0000},   // allow
        /* 13 */ {0x06, 0, 0, 0x00050026},   // ENOSYS
        /* 14 */ {0x06, 0, 0, 0x0005000D},   // EACCES
        /* 15 */ {0x06, 0, 0, 0x7FFF0000},   // allow
        /* 16 */ {0x06, 0, 0, 0x80000000},   // kill process
    };
    return program;
}

int install_network_filter(const sock_fprog& program) {
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) != 0) return errno;
    return 0;
}

std::string executable_dir() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

NetPlan plan_network(bool no_net, ChildEnv& env) {
    NetPlan plan;
    if (!no_net) return plan;
    plan.requested = true;
    const std::string candidate = join_path(executable_dir(), "blocknet.so");
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        env["LD_PRELOAD"] = candidate;
        plan.shim_path = candidate;
    }
    plan.filter = seccomp_available();
    return plan;
}

void network_notes(const NetPlan& plan, NoteList& unenforced) {
    if (!plan.requested || plan.filter) return;
    unenforced.push_back(plan.shim_path ? "no_net_best_effort_shim"
                                        : "no_net_requested_but_no_shim_available");
}

}  // namespace tessimar
