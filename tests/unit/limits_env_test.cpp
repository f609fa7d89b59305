// What a phase's child is given: its environment, its resource limits, the
// exec paths tried for its program and the network filter program.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "phase/child_env.hpp"
#include "phase/child_exec.hpp"
#include "phase/data_limit.hpp"
#include "phase/limits.hpp"
#include "phase/network.hpp"
#include "report/process_accounting.hpp"
#include "test_support.hpp"

using namespace tessimar;
using testing_support::clear_child_inputs;
using testing_support::kPassThroughNames;
using testing_support::ScopedEnv;

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// The value plan_limits must pick for a resource given the runner's hard limit.
std::uint64_t under_hard(int resource, std::uint64_t wanted) {
    struct rlimit rl;
    if (getrlimit(resource, &rl) == 0 && rl.rlim_max != RLIM_INFINITY && rl.rlim_max < wanted)
        return rl.rlim_max;
    return wanted;
}

RunLimits limits_with(std::uint64_t timeout, std::uint64_t cpu, std::uint64_t mem, std::uint64_t out) {
    RunLimits l;
    l.timeout_secs = timeout;
    l.max_cpu_secs = cpu;
    l.max_memory_mb = mem;
    l.max_output_kb = out;
    return l;
}

}  // namespace

// ---- child environment ----

TEST(ChildEnv, OnlyListedVariablesPassThrough) {
    ScopedEnv env;
    clear_child_inputs(env);
    for (const std::string& name : kPassThroughNames) env.set(name, "v_" + name);
    env.set("FOO", "1");
    env.set("LD_PRELOAD", "/evil.so");
    env.set("TESSIMAR_RUNTIME_PATH", "/rt/bin");
    env.set("TESSIMAR_MAX_PROCESSES", "9");

    const ChildEnv child = build_child_env("/work", {});
    ChildEnv want;
    for (const std::string& name : kPassThroughNames) want[name] = "v_" + name;
    want["PATH"] = "/rt/bin";
    want["PYTHONUNBUFFERED"] = "1";
    want["PYTHONPATH"] = "/work";
    EXPECT_EQ(child, want);
    EXPECT_EQ(child.size(), 24u);  // 23 pass-through names plus PYTHONPATH
}

TEST(ChildEnv, MinimalEnvironment) {
    ScopedEnv env;
    clear_child_inputs(env);
    const ChildEnv child = build_child_env("/w", {});
    EXPECT_EQ(child, (ChildEnv{{"PATH", "/usr/local/bin:/usr/bin:/bin"},
                               {"PYTHONPATH", "/w"},
                               {"PYTHONUNBUFFERED", "1"}}));
    EXPECT_STREQ(kDefaultSearchPath, "/usr/local/bin:/usr/bin:/bin");
}

TEST(ChildEnv, PathRule) {
    ScopedEnv env;
    clear_child_inputs(env);

    env.set("PATH", "/only/path");
    EXPECT_EQ(build_child_env("/w", {}).at("PATH"), "/only/path");

    env.set("TESSIMAR_RUNTIME_PATH", "");
    EXPECT_EQ(build_child_env("/w", {}).at("PATH"), "/only/path");

    env.set("TESSIMAR_RUNTIME_PATH", "/runtime");
    EXPECT_EQ(build_child_env("/w", {}).at("PATH"), "/runtime");

    env.set("TESSIMAR_RUNTIME_PATH", "/bad\xFF");  // not valid UTF-8: not present
    EXPECT_EQ(build_child_env("/w", {}).at("PATH"), "/only/path");

    env.set("PATH", "");
    env.unset("TESSIMAR_RUNTIME_PATH");
    EXPECT_EQ(build_child_env("/w", {}).at("PATH"), kDefaultSearchPath);

    env.set("PATH", "/p\xFF");
    EXPECT_EQ(build_child_env("/w", {}).at("PATH"), kDefaultSearchPath);

    env.unset("PATH");
    EXPECT_EQ(build_child_env("/w", {}).at("PATH"), kDefaultSearchPath);

    env.set("TESSIMAR_RUNTIME_PATH", "/runtime");
    const ChildEnv child = build_child_env("/w", {});
    EXPECT_EQ(child.at("PATH"), "/runtime");
    EXPECT_EQ(child.count("TESSIMAR_RUNTIME_PATH"), 0u);
}

TEST(ChildEnv, PresenceMeansSetAndValidUtf8) {
    ScopedEnv env;
    clear_child_inputs(env);
    env.set("HOME", "");
    env.set("LANG", "C.UTF-8");
    env.set("LC_ALL", "bad\xC3");
    env.set("TMPDIR", "/t\xC3\xA9");
    env.set("PYTHONUNBUFFERED", "0");
    const ChildEnv child = build_child_env("/w", {});
    ASSERT_EQ(child.count("HOME"), 1u);
    EXPECT_EQ(child.at("HOME"), "");
    EXPECT_EQ(child.at("LANG"), "C.UTF-8");
    EXPECT_EQ(child.count("LC_ALL"), 0u);
    EXPECT_EQ(child.at("TMPDIR"), "/t\xC3\xA9");
    EXPECT_EQ(child.at("PYTHONUNBUFFERED"), "1");
}

TEST(ChildEnv, PythonPathAndExtraPairs) {
    ScopedEnv env;
    clear_child_inputs(env);
    env.set("HOME", "/root");
    const ChildEnv child = build_child_env("/w\xFF/x", {{"NODE_OPTIONS", "--require /w/shim.js"},
                                                        {"TESSIMAR_WORKDIR_ROOT", "/w"},
                                                        {"HOME", "/replaced"},
                                                        {"PYTHONPATH", "/from-extra"},
                                                        {"NODE_OPTIONS", "second"}});
    EXPECT_EQ(child.at("NODE_OPTIONS"), "second");
    EXPECT_EQ(child.at("TESSIMAR_WORKDIR_ROOT"), "/w");
    EXPECT_EQ(child.at("HOME"), "/replaced");
    EXPECT_EQ(child.at("PYTHONPATH"), "/from-extra");

    const ChildEnv plain = build_child_env("/w\xFF/x", {});
    EXPECT_EQ(plain.at("PYTHONPATH"), "/w\xFF/x");  // byte for byte
}

TEST(ChildEnv, BlockIsSortedByName) {
    ScopedEnv env;
    clear_child_inputs(env);
    env.set("windir", "w");
    env.set("SystemRoot", "s");
    env.set("SYSTEMROOT", "S");
    env.set("LANG", "C");
    env.set("LC_ALL", "C");
    env.set("HOME", "/h");
    const std::vector<std::string> block = env_block(build_child_env("/w", {{"A_B", "1"}, {"AB", "2"}}));
    EXPECT_EQ(block, (std::vector<std::string>{
                         "AB=2", "A_B=1", "HOME=/h", "LANG=C", "LC_ALL=C",
                         "PATH=/usr/local/bin:/usr/bin:/bin", "PYTHONPATH=/w", "PYTHONUNBUFFERED=1",
                         "SYSTEMROOT=S", "SystemRoot=s", "windir=w"}));
    EXPECT_TRUE(env_block({}).empty());
    EXPECT_EQ(env_block({{"K", "a=b"}}), std::vector<std::string>{"K=a=b"});
}

// ---- resource limits ----

TEST(PlanLimits, Defaults) {
    NoteList notes;
    const LimitPlan p = plan_limits(RunLimits{}, notes, true);
    EXPECT_EQ(p.cpu_secs, under_hard(RLIMIT_CPU, 18));
    EXPECT_EQ(p.file_size_bytes, under_hard(RLIMIT_FSIZE, 268435456));
    EXPECT_EQ(p.open_files, under_hard(RLIMIT_NOFILE, 256));
    EXPECT_EQ(p.address_space_bytes, under_hard(RLIMIT_AS, 2199023255552ull));
    EXPECT_EQ(kMaxFileSizeBytes, 268435456u);
    EXPECT_EQ(kDefaultAddressSpace, 2199023255552ull);
}

TEST(PlanLimits, CpuSeconds) {
    NoteList n;
    EXPECT_EQ(plan_limits(limits_with(10, 3, 0, 0), n, true).cpu_secs, under_hard(RLIMIT_CPU, 3));
    EXPECT_EQ(plan_limits(limits_with(0, 0, 0, 0), n, true).cpu_secs, under_hard(RLIMIT_CPU, 8));
    EXPECT_EQ(plan_limits(limits_with(100, 0, 0, 0), n, true).cpu_secs, under_hard(RLIMIT_CPU, 108));
    EXPECT_EQ(plan_limits(limits_with(kMax, 0, 0, 0), n, true).cpu_secs, under_hard(RLIMIT_CPU, kMax));
    EXPECT_EQ(plan_limits(limits_with(kMax - 3, 0, 0, 0), n, true).cpu_secs, under_hard(RLIMIT_CPU, kMax));
    EXPECT_EQ(plan_limits(limits_with(5, kMax, 0, 0), n, true).cpu_secs, under_hard(RLIMIT_CPU, kMax));
}

TEST(PlanLimits, FileSizeFollowsTheOutputCap) {
    const auto fsize = [](std::uint64_t kb, bool caps) {
        NoteList n;
        return plan_limits(limits_with(10, 0, 0, kb), n, caps).file_size_bytes;
    };
    EXPECT_EQ(fsize(1, true), under_hard(RLIMIT_FSIZE, 4096));
    EXPECT_EQ(fsize(2, true), under_hard(RLIMIT_FSIZE, 8192));
    EXPECT_EQ(fsize(65535, true), under_hard(RLIMIT_FSIZE, 268431360));
    EXPECT_EQ(fsize(65536, true), under_hard(RLIMIT_FSIZE, 268435456));
    EXPECT_EQ(fsize(100000, true), under_hard(RLIMIT_FSIZE, 268435456));
    EXPECT_EQ(fsize(kMax, true), under_hard(RLIMIT_FSIZE, 268435456));
    EXPECT_EQ(fsize(0, true), under_hard(RLIMIT_FSIZE, 268435456));
    // The compile phase's products are not output: always the upper bound.
    EXPECT_EQ(fsize(1, false), under_hard(RLIMIT_FSIZE, 268435456));
    EXPECT_EQ(fsize(100000, false), under_hard(RLIMIT_FSIZE, 268435456));
    EXPECT_EQ(fsize(0, false), under_hard(RLIMIT_FSIZE, 268435456));
}

TEST(PlanLimits, AddressSpace) {
    const auto as = [](std::uint64_t mb) {
        NoteList n;
        return plan_limits(limits_with(10, 0, mb, 0), n, true).address_space_bytes;
    };
    EXPECT_EQ(as(256), under_hard(RLIMIT_AS, 268435456));
    EXPECT_EQ(as(1), under_hard(RLIMIT_AS, 1048576));
    EXPECT_EQ(as(0), under_hard(RLIMIT_AS, 2199023255552ull));
    EXPECT_EQ(as(kMax), under_hard(RLIMIT_AS, kMax));
    EXPECT_EQ(as(1ull << 44), under_hard(RLIMIT_AS, kMax));  // 2^64 bytes saturates
}

TEST(DataLimit, AllowanceBackstopBudgetAndHints) {
    RunLimits limits;
    const MemoryProfile jvm{{96, 0}, {1024, 512}, HeapHint::Jvm};
    EXPECT_EQ(plan_data_limit(limits, jvm, false).data_mb, 0u);  // off: nothing changes

    limits.max_data_mb = 256;
    DataLimitPlan run = plan_data_limit(limits, jvm, false);
    EXPECT_EQ(run.data_mb, 352u);
    EXPECT_EQ(run.backstop_mb, 0u);  // none for a runtime that reserves tens of GiB
    EXPECT_EQ(run.budget_kb, 256u * 1024);
    EXPECT_EQ(with_backstop(limits, run).max_memory_mb, 0u);
    std::vector<std::string> argv = {"java", "{file}"};
    ChildEnv env;
    apply_heap_hint(run, argv, env);
    ASSERT_GT(argv.size(), 3u);
    EXPECT_EQ(argv[0], "java");
    EXPECT_EQ(argv[1], "-Xmx192m");  // three quarters
    EXPECT_EQ(argv.back(), "{file}");
    EXPECT_TRUE(env.empty());  // nothing the JVM would announce

    // The compiler: its own allowance and backstop, no hint, its whole limit as budget.
    const DataLimitPlan compile = plan_data_limit(limits, jvm, true);
    EXPECT_EQ(compile.data_mb, 1280u);
    EXPECT_EQ(compile.backstop_mb, 1792u);
    EXPECT_EQ(compile.budget_kb, 1280u * 1024);
    EXPECT_EQ(compile.hint, HeapHint::None);
    EXPECT_EQ(with_backstop(limits, compile).max_memory_mb, 1792u);
    limits.max_memory_mb = 300;  // asked for: kept as asked
    EXPECT_EQ(with_backstop(limits, compile).max_memory_mb, 300u);

    const DataLimitPlan node = plan_data_limit(limits, {{80, 0}, {}, HeapHint::NodeOldSpace}, false);
    env = {{"NODE_OPTIONS", "--require=shim.js"}};
    argv = {"node", "main.js"};
    apply_heap_hint(node, argv, env);
    EXPECT_EQ(env["NODE_OPTIONS"], "--require=shim.js --max-old-space-size=192");
    EXPECT_EQ(argv.size(), 2u);

    limits.max_data_mb = ~0ull;  // saturates, never wraps
    EXPECT_EQ(plan_data_limit(limits, jvm, true).data_mb, ~0ull);
    EXPECT_EQ(plan_data_limit(limits, jvm, false).heap_mb, 1u << 20);  // a heap the runtimes accept
}

TEST(PlanLimits, ProcessLimitAndItsNotes) {
    ScopedEnv env;
    env.set("TESSIMAR_MAX_PROCESSES", "77");
    NoteList notes;
    const LimitPlan p = plan_limits(RunLimits{}, notes, true);
    EXPECT_EQ(p.processes, under_hard(RLIMIT_NPROC, 77));
    NoteList direct;
    EXPECT_EQ(compute_process_limit(direct), p.processes);
    // On a host with unlimited hard limits the notes are exactly the accounting's.
    struct rlimit rl;
    bool unlimited = true;
    for (int r : {RLIMIT_CPU, RLIMIT_FSIZE, RLIMIT_AS, RLIMIT_NPROC})
        if (getrlimit(r, &rl) == 0 && rl.rlim_max != RLIM_INFINITY) unlimited = false;
    if (unlimited) {
        EXPECT_EQ(std::vector<std::string>(notes.begin(), notes.end()),
                  std::vector<std::string>(direct.begin(), direct.end()));
    }
    if (geteuid() == 0) {
        EXPECT_NE(std::find_if(notes.begin(), notes.end(),
                               [](const char* n) {
                                   return std::string(n) == "process_limit_not_enforced_for_uid_0";
                               }),
                  notes.end());
    }
}

TEST(PlanLimits, ClampsToHardLimitsWithNotesInOrder) {
    // Lowered hard limits cannot always be raised again: do it in a child.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        (void)count_user_tasks();  // measure before any limit is lowered
        unsetenv("TESSIMAR_MAX_PROCESSES");
        setenv("TESSIMAR_PROCESS_HEADROOM", "512", 1);
        const auto lower = [](int resource, rlim_t v) {
            struct rlimit rl{v, v};
            if (setrlimit(resource, &rl) != 0) _exit(2);
        };
        lower(RLIMIT_CPU, 1000);
        lower(RLIMIT_FSIZE, 1048576);
        lower(RLIMIT_NOFILE, 100);
        lower(RLIMIT_NPROC, 50);
        lower(RLIMIT_AS, rlim_t(1) << 49);
        NoteList notes;
        const LimitPlan p = plan_limits(limits_with(5000, 0, 1ull << 30, 0), notes, true);
        std::string out = std::to_string(p.cpu_secs) + " " + std::to_string(p.file_size_bytes) + " " +
                          std::to_string(p.open_files) + " " + std::to_string(p.processes) + " " +
                          std::to_string(p.address_space_bytes);
        for (const char* n : notes) out += std::string(" ") + n;
        (void)!write(fds[1], out.data(), out.size());
        _exit(0);
    }
    close(fds[1]);
    std::string got;
    char buf[1024];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string want = "1000 1048576 100 50 " + std::to_string(1ull << 49) +
                       " cpu_limit_clamped_to_hard_rlimit file_size_limit_clamped_to_hard_rlimit"
                       " process_limit_clamped_to_hard_rlimit";
    if (!count_user_tasks()) want += " process_limit_is_a_fixed_ceiling_not_measured";
    if (geteuid() == 0) want += " process_limit_not_enforced_for_uid_0";
    want += " memory_limit_clamped_to_hard_rlimit";
    EXPECT_EQ(got, want);
}

TEST(ClampToHard, Values) {
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    ASSERT_NE(rl.rlim_max, RLIM_INFINITY);
    const Clamped above = clamp_to_hard(RLIMIT_NOFILE, static_cast<std::uint64_t>(rl.rlim_max) + 1);
    EXPECT_EQ(above.value, static_cast<std::uint64_t>(rl.rlim_max));
    EXPECT_TRUE(above.lowered);
    const Clamped equal = clamp_to_hard(RLIMIT_NOFILE, rl.rlim_max);
    EXPECT_EQ(equal.value, static_cast<std::uint64_t>(rl.rlim_max));
    EXPECT_FALSE(equal.lowered);
    const Clamped below = clamp_to_hard(RLIMIT_NOFILE, 1);
    EXPECT_EQ(below.value, 1u);
    EXPECT_FALSE(below.lowered);
    const Clamped bad = clamp_to_hard(-1, 42);  // a failing query keeps the wanted value
    EXPECT_EQ(bad.value, 42u);
    EXPECT_FALSE(bad.lowered);
}

// ---- exec candidates ----

TEST(ExecCandidates, SearchPathEntries) {
    using V = std::vector<std::string>;
    EXPECT_EQ(exec_candidates("python3", "/usr/local/bin:/usr/bin:/bin"),
              (V{"/usr/local/bin/python3", "/usr/bin/python3", "/bin/python3"}));
    EXPECT_EQ(exec_candidates("gcc", "/opt/x"), (V{"/opt/x/gcc"}));
    // Empty entries name the current directory, as execvp treats them.
    EXPECT_EQ(exec_candidates("p", "/a::/b"), (V{"/a/p", "p", "/b/p"}));
    EXPECT_EQ(exec_candidates("p", ":/a"), (V{"p", "/a/p"}));
    EXPECT_EQ(exec_candidates("p", "/a:"), (V{"/a/p", "p"}));
    EXPECT_EQ(exec_candidates("p", ""), (V{"p"}));
}

TEST(ExecCandidates, ProgramWithSlashIsUsedAsIs) {
    using V = std::vector<std::string>;
    EXPECT_EQ(exec_candidates("/tmp/w/.tessimar-run/a.out", "/usr/bin"),
              (V{"/tmp/w/.tessimar-run/a.out"}));
    EXPECT_EQ(exec_candidates("./a.out", "/usr/bin:/bin"), (V{"./a.out"}));
    EXPECT_EQ(exec_candidates("sub/tool", "/usr/bin"), (V{"sub/tool"}));
}

// ---- network filter ----

// The table of the network ban, with AF_PACKET refused beside AF_INET and
// AF_INET6 (raw frames carry IP as well).
TEST(NetworkFilter, InstructionsAsDesigned) {
    struct Insn {
        unsigned code, jt, jf;
        std::uint32_t k;
    };
    const std::vector<Insn> want = {
        {0x20, 0, 0, 4},           {0x15, 0, 14, 0xC000003E}, {0x20, 0, 0, 0},
        {0x35, 12, 0, 0x40000000}, {0x15, 8, 0, 425},         {0x15, 7, 0, 426},
        {0x15, 6, 0, 427},         {0x15, 0, 7, 41},          {0x20, 0, 0, 16},
        {0x15, 4, 0, 2},           {0x15, 3, 0, 10},          {0x15, 2, 0, 17},
        {0x06, 0, 0, 0x7FFF0000},  {0x06, 0, 0, 0x00050026},  {0x06, 0, 0, 0x0005000D},
        {0x06, 0, 0, 0x7FFF0000},  {0x06, 0, 0, 0x80000000},
    };
    const std::vector<sock_filter>& got = build_network_filter();
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("instruction " + std::to_string(i));
        EXPECT_EQ(got[i].code, want[i].code);
        EXPECT_EQ(got[i].jt, want[i].jt);
        EXPECT_EQ(got[i].jf, want[i].jf);
        EXPECT_EQ(got[i].k, want[i].k);
    }
}

TEST(NetworkFilter, JumpsStayInsideTheProgram) {
    const std::vector<sock_filter>& prog = build_network_filter();
    ASSERT_FALSE(prog.empty());
    for (std::size_t i = 0; i < prog.size(); ++i) {
        if ((prog[i].code & 0x07) == 0x05) {  // BPF_JMP
            EXPECT_LT(i + 1 + prog[i].jt, prog.size()) << i;
            EXPECT_LT(i + 1 + prog[i].jf, prog.size()) << i;
        }
    }
    EXPECT_EQ(prog.back().code, 0x06);  // ends with a return
}
