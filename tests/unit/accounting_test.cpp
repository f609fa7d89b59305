// Process accounting: the status-file parser, the task scan over a /proc-like
// directory, and the process limit with its environment overrides.
#include <gtest/gtest.h>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/text.hpp"
#include "report/process_accounting.hpp"
#include "test_support.hpp"

using namespace tessimar;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

std::string status_text(const std::string& uid_line, const std::optional<std::string>& threads) {
    std::string s = "Name:\tworker\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t42\nPid:\t42\n";
    s += uid_line + "\nGid:\t0\t0\t0\t0\nFDSize:\t64\n";
    if (threads) s += "Threads:\t" + *threads + "\n";
    s += "SigQ:\t0/1000\n";
    return s;
}

void add_process(const std::string& proc, const std::string& name, const std::string& status) {
    ASSERT_EQ(mkdir((proc + "/" + name).c_str(), 0755), 0) << name;
    write_file(proc + "/" + name + "/status", status);
}

// The scan in a child whose pidfd_open a seccomp filter refuses with ENOSYS,
// as an old kernel or a container's profile would; nothing when the filter
// cannot be installed.
std::optional<std::uint64_t> scan_without_pidfd_open(unsigned uid) {
#if defined(__x86_64__)
    constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
    return std::nullopt;
#endif
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    int result[2];
    if (pipe(result) != 0) return std::nullopt;
    const pid_t pid = fork();
    if (pid == 0) {
        std::uint64_t count = ~0ULL;  // the filter failed
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0)
            count = scan_user_tasks("/proc", uid).value_or(0);
        (void)!write(result[1], &count, sizeof count);
        _exit(0);
    }
    close(result[1]);
    std::uint64_t count = ~0ULL;
    const bool got = pid > 0 && read(result[0], &count, sizeof count) == static_cast<ssize_t>(sizeof count);
    close(result[0]);
    if (pid > 0) waitpid(pid, nullptr, 0);
    if (!got || count == ~0ULL) return std::nullopt;
    return count;
}

std::optional<std::uint64_t> hard_nproc() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NPROC, &rl) != 0 || rl.rlim_max == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::uint64_t>(rl.rlim_max);
}

// The limit and notes that compute_process_limit must produce for a wanted value.
void expect_limit(std::uint64_t wanted, std::uint64_t got, const NoteList& notes) {
    std::vector<std::string> want_notes;
    std::uint64_t want = wanted;
    if (const auto hard = hard_nproc(); hard && *hard < wanted) {
        want = *hard;
        want_notes.push_back("process_limit_clamped_to_hard_rlimit");
    }
    if (!count_user_tasks()) want_notes.push_back("process_limit_is_a_fixed_ceiling_not_measured");
    if (geteuid() == 0) want_notes.push_back("process_limit_not_enforced_for_uid_0");
    EXPECT_EQ(got, want);
    EXPECT_EQ(std::vector<std::string>(notes.begin(), notes.end()), want_notes);
}

}  // namespace

TEST(ParseStatusText, UidTakesTheFirstFieldOnly) {
    const StatusFields f = parse_status_text(status_text("Uid:\t1000\t0\t0\t0", "3"));
    EXPECT_EQ(f.uid, 1000u);
    EXPECT_EQ(f.threads, 3u);
    const StatusFields g = parse_status_text("Uid:   7 8 9 10\nThreads:  12  \n");
    EXPECT_EQ(g.uid, 7u);
    EXPECT_EQ(g.threads, 12u);
}

TEST(ParseStatusText, MissingThreadsLine) {
    const StatusFields f = parse_status_text(status_text("Uid:\t1000\t1000\t1000\t1000", std::nullopt));
    EXPECT_EQ(f.uid, 1000u);
    EXPECT_FALSE(f.threads.has_value());
}

TEST(ParseStatusText, CrlfLineEnds) {
    const StatusFields f = parse_status_text("Name:\tx\r\nUid:\t55\t0\t0\t0\r\nThreads:\t4\r\n");
    EXPECT_EQ(f.uid, 55u);
    EXPECT_EQ(f.threads, 4u);
    // Last line without any line end.
    const StatusFields g = parse_status_text("Uid:\t5\t5\t5\t5\nThreads:\t9");
    EXPECT_EQ(g.threads, 9u);
}

TEST(ParseStatusText, MalformedValues) {
    EXPECT_FALSE(parse_status_text("Uid:\t-1\t0\t0\t0\n").uid.has_value());
    EXPECT_FALSE(parse_status_text("Uid:\tabc\n").uid.has_value());
    EXPECT_FALSE(parse_status_text("Uid:\t4294967296\t0\n").uid.has_value());  // above 32 bits
    EXPECT_EQ(parse_status_text("Uid:\t4294967295\t0\n").uid, 4294967295u);
    EXPECT_EQ(parse_status_text("Uid:\t+12\t0\n").uid, 12u);
    EXPECT_FALSE(parse_status_text("Threads:\t3 4\n").threads.has_value());
    EXPECT_FALSE(parse_status_text("Threads:\tmany\n").threads.has_value());
    // Prefixes only count at the start of a line and with their colon.
    EXPECT_FALSE(parse_status_text("XUid:\t5\n Uid:\t6\nUid 7\n").uid.has_value());
    EXPECT_FALSE(parse_status_text("").uid.has_value());
}

TEST(ParseStatusText, StopsOnceBothValuesAreKnown) {
    const StatusFields f = parse_status_text("Uid:\t1\t0\t0\t0\nThreads:\t2\nUid:\t3\t0\t0\t0\nThreads:\t4\n");
    EXPECT_EQ(f.uid, 1u);
    EXPECT_EQ(f.threads, 2u);
}

TEST(ScanUserTasks, SumsThreadsOfMatchingProcesses) {
    TempDir proc;
    add_process(proc.path(), "100", status_text("Uid:\t1000\t0\t0\t0", "3"));
    add_process(proc.path(), "101", status_text("Uid:\t1000\t1000\t1000\t1000", std::nullopt));  // counts 1
    add_process(proc.path(), "102", status_text("Uid:\t1001\t1000\t1000\t1000", "50"));         // other user
    add_process(proc.path(), "103", "Name:\tcrlf\r\nUid:\t1000\t0\t0\t0\r\nThreads:\t5\r\n");
    add_process(proc.path(), "self", status_text("Uid:\t1000\t0\t0\t0", "100"));  // not numeric
    add_process(proc.path(), "12a", status_text("Uid:\t1000\t0\t0\t0", "100"));
    add_process(proc.path(), "-1", status_text("Uid:\t1000\t0\t0\t0", "100"));
    add_process(proc.path(), "+5", status_text("Uid:\t1000\t0\t0\t0", "100"));
    add_process(proc.path(), "\xD9\xA3", status_text("Uid:\t1000\t0\t0\t0", "100"));  // ARABIC-INDIC 3
    EXPECT_EQ(scan_user_tasks(proc.path().c_str(), 1000), 3u + 1u + 5u);
    EXPECT_EQ(scan_user_tasks(proc.path().c_str(), 1001), 50u);
    EXPECT_FALSE(scan_user_tasks(proc.path().c_str(), 4242).has_value());
}

TEST(ScanUserTasks, UnreadableEntriesAreSkipped) {
    TempDir proc;
    add_process(proc.path(), "1", status_text("Uid:\t7\t0\t0\t0", "2"));
    // A numeric directory without a status file.
    ASSERT_EQ(mkdir((proc / "2").c_str(), 0755), 0);
    // A status that is a directory: opening works, reading fails.
    ASSERT_EQ(mkdir((proc / "3").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((proc / "3/status").c_str(), 0755), 0);
    // A numeric plain file instead of a process directory.
    write_file(proc / "4", "Uid:\t7\t0\t0\t0\n");
    // A status that is a dangling link.
    ASSERT_EQ(mkdir((proc / "5").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/nonexistent/status", (proc / "5/status").c_str()), 0);
    // A status with bytes that are not UTF-8 around valid lines still counts.
    add_process(proc.path(), "6", "Name:\t\xFF\xFE\nUid:\t7\t0\t0\t0\nThreads:\t10\n");
    // A status with an unparsable uid is left out.
    add_process(proc.path(), "7", "Uid:\tseven\nThreads:\t100\n");
    EXPECT_EQ(scan_user_tasks(proc.path().c_str(), 7), 12u);
}

TEST(ScanUserTasks, EmptyOrMissingDirectoryMeasuresNothing) {
    TempDir proc;
    EXPECT_FALSE(scan_user_tasks(proc.path().c_str(), 0).has_value());
    EXPECT_FALSE(scan_user_tasks((proc / "absent").c_str(), 0).has_value());
    write_file(proc / "file", "");
    EXPECT_FALSE(scan_user_tasks((proc / "file").c_str(), 0).has_value());
}

TEST(ScanUserTasks, ThreadCountsSaturate) {
    TempDir proc;
    add_process(proc.path(), "1", status_text("Uid:\t9\t0\t0\t0", "18446744073709551615"));
    add_process(proc.path(), "2", status_text("Uid:\t9\t0\t0\t0", "5"));
    EXPECT_EQ(scan_user_tasks(proc.path().c_str(), 9), std::numeric_limits<std::uint64_t>::max());
}

TEST(ScanUserTasks, RealProcSeesThisProcess) {
    const auto n = scan_user_tasks("/proc", getuid());
    ASSERT_TRUE(n.has_value());
    EXPECT_GE(*n, 1u);
    // count_user_tasks measures once and then keeps its answer.
    const auto first = count_user_tasks();
    EXPECT_TRUE(first.has_value());
    EXPECT_EQ(count_user_tasks(), first);
}

// Processes of a user id that nothing else on the host uses: one thread,
// three threads, and a zombie. Both ways of reading the real /proc must count
// exactly these.
TEST(ScanUserTasks, PidfdAndStatusFilesCountTheSameProcesses) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to start processes of another user";
    constexpr uid_t kUid = 54321;
    ASSERT_FALSE(scan_user_tasks("/proc", kUid, ScanSource::StatusFiles).has_value()) << "uid in use";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::vector<pid_t> pids;
    for (int threads : {1, 3, 0}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ready[0]);
            for (int i = 1; i < threads; ++i) std::thread([] {
                    for (;;) pause();
                }).detach();
            // Every thread of the process takes the new ids.
            if (setresuid(kUid, kUid, kUid) != 0) _exit(1);
            if (threads == 0) _exit(0);  // left unreaped below: a zombie
            (void)!write(ready[1], "x", 1);
            for (;;) pause();
        }
        pids.push_back(pid);
    }
    close(ready[1]);
    char byte;
    for (int i = 0; i < 2; ++i) ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pids.back()), &info, WEXITED | WNOWAIT), 0);

    const auto by_status = scan_user_tasks("/proc", kUid, ScanSource::StatusFiles);
    const auto fastest = scan_user_tasks("/proc", kUid);
    const auto without_pidfd = scan_without_pidfd_open(kUid);
    for (pid_t pid : pids) {
        kill(pid, SIGKILL);
        int status;
        waitpid(pid, &status, 0);
    }
    EXPECT_EQ(info.si_status, 0);
    // 1 + 3 threads, and the zombie.
    EXPECT_EQ(by_status, 5u);
    EXPECT_EQ(fastest, by_status);
    EXPECT_EQ(without_pidfd, by_status);
}

TEST(ComputeProcessLimit, FixedValueFromTheEnvironment) {
    ScopedEnv env;
    env.set("TESSIMAR_MAX_PROCESSES", "64");
    env.set("TESSIMAR_PROCESS_HEADROOM", "100000");  // ignored
    NoteList notes;
    const std::uint64_t limit = compute_process_limit(notes);
    expect_limit(64, limit, notes);

    env.set("TESSIMAR_MAX_PROCESSES", "+0");
    NoteList zero_notes;
    expect_limit(0, compute_process_limit(zero_notes), zero_notes);
}

TEST(ComputeProcessLimit, InvalidFixedValueFallsBackToMeasuredCount) {
    const auto count = count_user_tasks();
    ASSERT_TRUE(count.has_value());
    for (const char* bad : {" 64", "abc", "64 ", "-1", "", "18446744073709551616", "6\xFF"}) {
        ScopedEnv env;
        env.set("TESSIMAR_MAX_PROCESSES", bad);
        env.unset("TESSIMAR_PROCESS_HEADROOM");
        NoteList notes;
        const std::uint64_t limit = compute_process_limit(notes);
        SCOPED_TRACE(bad);
        expect_limit(*count + 512, limit, notes);
    }
}

TEST(ComputeProcessLimit, Headroom) {
    const auto count = count_user_tasks();
    ASSERT_TRUE(count.has_value());
    ScopedEnv env;
    env.unset("TESSIMAR_MAX_PROCESSES");

    env.unset("TESSIMAR_PROCESS_HEADROOM");
    NoteList a;
    expect_limit(*count + 512, compute_process_limit(a), a);

    env.set("TESSIMAR_PROCESS_HEADROOM", "0");
    NoteList b;
    expect_limit(*count, compute_process_limit(b), b);

    env.set("TESSIMAR_PROCESS_HEADROOM", "7");
    NoteList c;
    expect_limit(*count + 7, compute_process_limit(c), c);

    env.set("TESSIMAR_PROCESS_HEADROOM", "lots");
    NoteList d;
    expect_limit(*count + 512, compute_process_limit(d), d);

    env.set("TESSIMAR_PROCESS_HEADROOM", "18446744073709551615");
    NoteList e;
    expect_limit(std::numeric_limits<std::uint64_t>::max(), compute_process_limit(e), e);
}

TEST(ComputeProcessLimit, AppendsAfterExistingNotes) {
    ScopedEnv env;
    env.set("TESSIMAR_MAX_PROCESSES", "64");
    NoteList notes = {"cpu_limit_clamped_to_hard_rlimit"};
    (void)compute_process_limit(notes);
    ASSERT_FALSE(notes.empty());
    EXPECT_STREQ(notes.front(), "cpu_limit_clamped_to_hard_rlimit");
    if (geteuid() == 0) {
        EXPECT_STREQ(notes.back(), "process_limit_not_enforced_for_uid_0");
    }
}

TEST(ComputeProcessLimit, HardLimitClampsWithNote) {
    // Lowering a hard limit is one-way for most users, so it happens in a child.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipe_fds[0]);
        struct rlimit rl;
        getrlimit(RLIMIT_NPROC, &rl);
        rl.rlim_cur = 100;
        rl.rlim_max = 100;
        if (setrlimit(RLIMIT_NPROC, &rl) != 0) _exit(2);
        setenv("TESSIMAR_MAX_PROCESSES", "812", 1);
        NoteList notes;
        const std::uint64_t limit = compute_process_limit(notes);
        std::string out = std::to_string(limit);
        for (const char* n : notes) out += std::string(" ") + n;
        (void)!write(pipe_fds[1], out.data(), out.size());
        _exit(0);
    }
    close(pipe_fds[1]);
    std::string got;
    char buf[512];
    ssize_t n;
    while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
    close(pipe_fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string want = "100 process_limit_clamped_to_hard_rlimit";
    if (!count_user_tasks()) want += " process_limit_is_a_fixed_ceiling_not_measured";
    if (geteuid() == 0) want += " process_limit_not_enforced_for_uid_0";
    EXPECT_EQ(got, want);
}
