// The three discovery requests through the real binary, with search paths
// made of directories that the tests fill with stand-in programs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "test_support.hpp"

using namespace testing_support;

namespace {

const std::string kLanguagesLine =
    "[\"python3\",\"node\",\"bun\",\"deno\",\"typescript\",\"ruby\",\"php\",\"perl\",\"lua\",\"tcl\","
    "\"r\",\"elixir\",\"erlang\",\"bash\",\"zsh\",\"mojo\",\"swift\",\"c\",\"cpp\",\"c++\",\"rust\","
    "\"go\",\"fortran\",\"zig\",\"java\",\"kotlin\",\"csharp\",\"gleam\",\"haskell\",\"sqlite\","
    "\"jq\",\"awk\"]\n";

// Each probe key with the programs that must all be installed for it, in the
// order the keys are printed.
const std::vector<std::pair<std::string, std::vector<std::string>>> kProbeNeeds = {
    {"awk", {"awk"}},
    {"bash", {"bash"}},
    {"bun", {"bun"}},
    {"c", {"gcc"}},
    {"c++", {"g++"}},
    {"cpp", {"g++"}},
    {"csharp", {"dotnet"}},
    {"deno", {"deno"}},
    {"elixir", {"elixir"}},
    {"erlang", {"escript"}},
    {"fortran", {"gfortran"}},
    {"gleam", {"gleam", "bash"}},
    {"go", {"go"}},
    {"haskell", {"nix-shell", "bash"}},
    {"java", {"java"}},
    {"jq", {"jq"}},
    {"kotlin", {"java"}},
    {"lua", {"lua"}},
    {"mojo", {"mojo"}},
    {"node", {"node"}},
    {"perl", {"perl"}},
    {"php", {"php"}},
    {"python3", {"python3"}},
    {"r", {"Rscript"}},
    {"ruby", {"ruby"}},
    {"rust", {"rustc"}},
    {"sqlite", {"sqlite3"}},
    {"swift", {"swift"}},
    {"tcl", {"tclsh"}},
    {"typescript", {"deno"}},
    {"zig", {"zig"}},
    {"zsh", {"zsh"}},
};

// The exact probe line when exactly the programs in `installed` are found.
std::string probe_line(const std::set<std::string>& installed) {
    std::string line = "{";
    bool first = true;
    for (const auto& [key, needs] : kProbeNeeds) {
        bool ok = true;
        for (const std::string& p : needs) ok = ok && installed.count(p) != 0;
        if (!first) line += ",";
        first = false;
        line += "\"" + key + "\":" + (ok ? "true" : "false");
    }
    return line + "}\n";
}

void fake_program(const std::string& path, int mode = 0755) { write_file(path, "#!/bin/sh\nexit 0\n", mode); }

// --probe with exactly PATH (or no PATH at all) in the runner's environment.
ProcessResult probe_with_path(const std::optional<std::string>& path,
                              const std::optional<std::string>& cwd = std::nullopt) {
    Invocation inv;
    inv.args = {"--probe"};
    inv.clear_env = true;
    if (path) inv.set["PATH"] = *path;
    inv.cwd = cwd;
    return run_exec(inv);
}

}  // namespace

TEST(Discovery, LanguagesLineIsFixed) {
    Invocation inv;
    inv.args = {"--languages"};
    const ProcessResult r = run_exec(inv);
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, kLanguagesLine);
    EXPECT_EQ(r.err, "");

    // The list does not depend on what is installed.
    inv.clear_env = true;
    const ProcessResult bare = run_exec(inv);
    EXPECT_EQ(bare.out, kLanguagesLine);
}

TEST(Discovery, ProbeWithoutPathIsAllFalse) {
    const ProcessResult r = probe_with_path(std::nullopt);
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, probe_line({}));
    EXPECT_EQ(r.err, "");
    // An empty PATH finds nothing either.
    EXPECT_EQ(probe_with_path(std::string("")).out, probe_line({}));
    EXPECT_EQ(probe_with_path(std::string(":::")).out, probe_line({}));
}

TEST(Discovery, ProbeKeysFollowTheirPrograms) {
    TempDir bin;
    TempDir cwd;
    for (const char* p : {"python3", "deno", "gcc", "java", "gleam", "tclsh", "escript", "sqlite3"})
        fake_program(bin / p);
    // In the runner's current directory only: empty PATH entries do not
    // stand for it.
    fake_program(cwd / "ruby");
    fake_program(cwd / "bash");

    const std::set<std::string> found = {"python3", "deno", "gcc", "java", "gleam", "tclsh", "escript", "sqlite3"};
    const ProcessResult r = probe_with_path(":" + bin.path() + ":", cwd.path());
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, probe_line(found));
    const auto j = r.json();
    EXPECT_EQ(j["typescript"], j["deno"]);
    EXPECT_EQ(j["kotlin"], true);   // kotlinc is not looked up
    EXPECT_EQ(j["c"], true);        // only gcc is
    EXPECT_EQ(j["cpp"], false);
    EXPECT_EQ(j["gleam"], false);   // gleam without bash
    EXPECT_EQ(j["ruby"], false);

    // "." as an explicit entry does search the current directory.
    std::set<std::string> with_dot = found;
    with_dot.insert("ruby");
    with_dot.insert("bash");
    EXPECT_EQ(probe_with_path(bin.path() + ":.", cwd.path()).out, probe_line(with_dot));

    // gleam needs bash as well; haskell needs nix-shell and bash.
    fake_program(bin / "bash");
    fake_program(bin / "nix-shell");
    std::set<std::string> more = found;
    more.insert("bash");
    more.insert("nix-shell");
    const ProcessResult r2 = probe_with_path(bin.path(), cwd.path());
    EXPECT_EQ(r2.out, probe_line(more));
    EXPECT_EQ(r2.json()["gleam"], true);
    EXPECT_EQ(r2.json()["haskell"], true);

    // A later entry is searched when the earlier one lacks the program.
    TempDir second;
    fake_program(second / "g++");
    more.insert("g++");
    EXPECT_EQ(probe_with_path(bin.path() + "::" + second.path(), cwd.path()).out, probe_line(more));
}

TEST(Discovery, ProbeNeedsAnExecutableRegularFile) {
    TempDir bin;
    TempDir targets;
    // No execute bit at all: not installed.
    fake_program(bin / "python3", 0644);
    EXPECT_EQ(probe_with_path(bin.path()).out, probe_line({}));

    // Any one execute bit is enough.
    fake_program(bin / "perl", 0601);
    fake_program(bin / "lua", 0610);
    fake_program(bin / "php", 0700);
    // A symbolic link to an executable counts; a dangling one and a link to
    // a non-executable file do not.
    fake_program(targets / "real-node");
    ASSERT_EQ(symlink((targets / "real-node").c_str(), (bin / "node").c_str()), 0);
    ASSERT_EQ(symlink((targets / "missing").c_str(), (bin / "ruby").c_str()), 0);
    fake_program(targets / "plain-awk", 0644);
    ASSERT_EQ(symlink((targets / "plain-awk").c_str(), (bin / "awk").c_str()), 0);
    // A directory is not a program, whatever its mode.
    ASSERT_EQ(mkdir((bin / "jq").c_str(), 0755), 0);
    // Nor is a FIFO.
    ASSERT_EQ(mkfifo((bin / "zsh").c_str(), 0755), 0);
    chmod((bin / "zsh").c_str(), 0755);

    const ProcessResult r = probe_with_path(bin.path());
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, probe_line({"perl", "lua", "php", "node"}));
}

TEST(Discovery, CapabilitiesReportsKernelEnforcement) {
    Invocation inv;
    inv.args = {"--capabilities"};
    const ProcessResult r = run_exec(inv);
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, "{\"data_limit\":true,\"no_net_kernel_enforcement\":true}\n");
    EXPECT_EQ(r.err, "");

    // Other options, even a run language, change nothing.
    inv.args = {"--lang", "python3", "--no-net", "--capabilities", "--timeout", "x"};
    inv.input = "print('never run')\n";
    const ProcessResult again = run_exec(inv);
    EXPECT_EQ(again.exit_code(), 0);
    EXPECT_EQ(again.out, "{\"data_limit\":true,\"no_net_kernel_enforcement\":true}\n");
}

TEST(Discovery, DiscoveryCreatesNoWorkDirectory) {
    TempDir base;
    for (const char* mode : {"--probe", "--languages", "--capabilities"}) {
        Invocation inv;
        inv.args = {mode, "--lang", "python3"};
        inv.set["TMPDIR"] = base.path();
        inv.input = "print('x')\n";
        const ProcessResult r = run_exec(inv);
        EXPECT_EQ(r.exit_code(), 0) << mode;
        EXPECT_EQ(list_dir(base.path()), std::vector<std::string>{}) << mode;
    }
}
