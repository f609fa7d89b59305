// Every catalogue row and every alias, through the real binary, with real
// programs in each language. A row whose runtime `--probe` does not find on
// this host is skipped (never passed); a row that --probe reports as available
// must run all of its programs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "test_support.hpp"

using namespace testing_support;
using nlohmann::json;

namespace {

struct Row {
    std::string name;
    int timeout = 60;        // wall-clock budget for one run (compile + run)
    std::string hello;       // prints a greeting
    std::string hello_out = "Hello, World!\n";
    std::string upper;       // reads standard input, writes it upper-cased
    std::string upper_in = "abc\n";
    std::string upper_out = "ABC\n";
    std::string crash;       // fails at run time and exits non-zero
    std::string crash_marker = "boom";  // appears in stdout or stderr of the crash
    std::optional<int> crash_exit = std::nullopt;  // exit_code the language guarantees
    std::string compile_error = "";  // compiled rows: a program the compiler rejects
};

const std::string kTsHello = "const greeting: string = \"Hello, World!\";\nconsole.log(greeting);\n";
const std::string kDenoUpper =
    "const text: string = await new Response(Deno.stdin.readable).text();\n"
    "Deno.stdout.writeSync(new TextEncoder().encode(text.toUpperCase()));\n";
const std::string kTsCrash = "const reason: string = \"boom\";\nthrow new Error(reason);\n";

const std::string kCppHello =
    "#include <iostream>\nint main() { std::cout << \"Hello, World!\" << std::endl; }\n";
const std::string kCppUpper =
    "#include <algorithm>\n#include <cctype>\n#include <iostream>\n#include <string>\n"
    "int main() {\n"
    "    std::string line;\n"
    "    std::getline(std::cin, line);\n"
    "    std::transform(line.begin(), line.end(), line.begin(),\n"
    "                   [](unsigned char c) { return std::toupper(c); });\n"
    "    std::cout << line << '\\n';\n"
    "}\n";
const std::string kCppCrash =
    "#include <stdexcept>\nint main() { throw std::runtime_error(\"boom\"); }\n";
const std::string kCppBroken = "int main() { return undeclared_name; }\n";

const std::vector<Row>& rows() {
    static const std::vector<Row> table = {
        {.name = "python3",
         .hello = "print(\"Hello, World!\")\n",
         .upper = "import sys\nsys.stdout.write(sys.stdin.read().upper())\n",
         .crash = "raise ValueError(\"boom\")\n",
         .crash_exit = 1},
        {.name = "node",
         .hello = "console.log(\"Hello, World!\");\n",
         .upper = "process.stdout.write(require(\"fs\").readFileSync(0, \"utf8\").toUpperCase());\n",
         .crash = "throw new Error(\"boom\");\n",
         .crash_exit = 1},
        {.name = "bun",
         .hello = kTsHello,
         .upper = "const text: string = await Bun.stdin.text();\n"
                  "process.stdout.write(text.toUpperCase());\n",
         .crash = kTsCrash},
        {.name = "deno", .hello = kTsHello, .upper = kDenoUpper, .crash = kTsCrash},
        {.name = "typescript", .hello = kTsHello, .upper = kDenoUpper, .crash = kTsCrash},
        {.name = "ruby",
         .hello = "puts \"Hello, World!\"\n",
         .upper = "print STDIN.read.upcase\n",
         .crash = "raise \"boom\"\n",
         .crash_exit = 1},
        {.name = "php",
         .hello = "<?php\necho \"Hello, World!\\n\";\n",
         .upper = "<?php\necho strtoupper(stream_get_contents(STDIN));\n",
         .crash = "<?php\nthrow new Exception(\"boom\");\n"},
        {.name = "perl",
         .hello = "print \"Hello, World!\\n\";\n",
         .upper = "while (my $line = <STDIN>) { print uc $line; }\n",
         .crash = "die \"boom\\n\";\n"},
        {.name = "lua",
         .hello = "print(\"Hello, World!\")\n",
         .upper = "io.write(string.upper(io.read(\"*a\")))\n",
         .crash = "error(\"boom\")\n",
         .crash_exit = 1},
        {.name = "tcl",
         .hello = "puts \"Hello, World!\"\n",
         .upper = "puts -nonewline [string toupper [read stdin]]\n",
         .crash = "error \"boom\"\n",
         .crash_exit = 1},
        {.name = "r",
         .hello = "cat(\"Hello, World!\\n\")\n",
         .upper = "con <- file(\"stdin\")\nlines <- readLines(con)\nclose(con)\n"
                  "writeLines(toupper(lines))\n",
         .crash = "stop(\"boom\")\n",
         .crash_exit = 1},
        {.name = "elixir",
         .hello = "IO.puts(\"Hello, World!\")\n",
         .upper = "IO.read(:stdio, :line) |> String.upcase() |> IO.write()\n",
         .crash = "raise \"boom\"\n",
         .crash_exit = 1},
        // escript skips the first line of the file.
        {.name = "erlang",
         .hello = "#!/usr/bin/env escript\nmain(_) ->\n    io:format(\"Hello, World!~n\").\n",
         .upper = "#!/usr/bin/env escript\nmain(_) ->\n    Line = io:get_line(\"\"),\n"
                  "    io:put_chars(string:uppercase(Line)).\n",
         .crash = "#!/usr/bin/env escript\nmain(_) ->\n    erlang:error(boom).\n"},
        {.name = "bash",
         .hello = "echo \"Hello, World!\"\n",
         .upper = "IFS= read -r line\necho \"${line^^}\"\n",
         .crash = "echo boom >&2\nexit 3\n",
         .crash_exit = 3},
        {.name = "zsh",
         .hello = "print -r -- \"Hello, World!\"\n",
         .upper = "IFS= read -r line\nprint -r -- \"${(U)line}\"\n",
         .crash = "print -u2 boom\nexit 3\n",
         .crash_exit = 3},
        {.name = "mojo",
         .hello = "def main():\n    print(\"Hello, World!\")\n",
         .upper = "def main():\n    var line = input()\n    print(line.upper())\n",
         .crash = "def main():\n    raise Error(\"boom\")\n"},
        {.name = "swift",
         .hello = "print(\"Hello, World!\")\n",
         .upper = "if let line = readLine() { print(line.uppercased()) }\n",
         .crash = "fatalError(\"boom\")\n"},
        {.name = "c",
         .hello = "#include <stdio.h>\nint main(void) { puts(\"Hello, World!\"); return 0; }\n",
         .upper = "#include <ctype.h>\n#include <stdio.h>\n"
                  "int main(void) {\n"
                  "    int c;\n"
                  "    while ((c = getchar()) != EOF) putchar(toupper(c));\n"
                  "    return 0;\n"
                  "}\n",
         // A read through a null pointer: SIGSEGV.
         .crash = "#include <stdio.h>\n"
                  "int main(void) {\n"
                  "    fputs(\"boom\\n\", stderr);\n"
                  "    int *volatile p = 0;\n"
                  "    return *p;\n"
                  "}\n",
         .crash_exit = -11,
         .compile_error = "int main(void) { return undeclared_name; }\n"},
        // An uncaught exception ends in std::terminate and abort: SIGABRT.
        {.name = "cpp",
         .hello = kCppHello,
         .upper = kCppUpper,
         .crash = kCppCrash,
         .crash_exit = -6,
         .compile_error = kCppBroken},
        {.name = "c++",
         .hello = kCppHello,
         .upper = kCppUpper,
         .crash = kCppCrash,
         .crash_exit = -6,
         .compile_error = kCppBroken},
        {.name = "rust",
         .hello = "fn main() {\n    println!(\"Hello, World!\");\n}\n",
         .upper = "use std::io::Read;\n"
                  "fn main() {\n"
                  "    let mut text = String::new();\n"
                  "    std::io::stdin().read_to_string(&mut text).unwrap();\n"
                  "    print!(\"{}\", text.to_uppercase());\n"
                  "}\n",
         .crash = "fn main() {\n    panic!(\"boom\");\n}\n",
         .crash_exit = 101,
         .compile_error = "fn main() {\n    let x: i32 = \"text\";\n}\n"},
        {.name = "go",
         .hello = "package main\n\nimport \"fmt\"\n\nfunc main() {\n\tfmt.Println(\"Hello, World!\")\n}\n",
         .upper = "package main\n\nimport (\n\t\"bufio\"\n\t\"fmt\"\n\t\"os\"\n\t\"strings\"\n)\n\n"
                  "func main() {\n"
                  "\tline, _ := bufio.NewReader(os.Stdin).ReadString('\\n')\n"
                  "\tfmt.Print(strings.ToUpper(line))\n"
                  "}\n",
         .crash = "package main\n\nfunc main() {\n\tpanic(\"boom\")\n}\n"},
        {.name = "fortran",
         .hello = "program hello\n  print '(A)', 'Hello, World!'\nend program hello\n",
         .upper = "program upper\n"
                  "  implicit none\n"
                  "  character(len=256) :: line\n"
                  "  integer :: i, c\n"
                  "  read (*, '(A)') line\n"
                  "  do i = 1, len_trim(line)\n"
                  "    c = iachar(line(i:i))\n"
                  "    if (c >= iachar('a') .and. c <= iachar('z')) line(i:i) = achar(c - 32)\n"
                  "  end do\n"
                  "  write (*, '(A)') trim(line)\n"
                  "end program upper\n",
         .crash = "program crash\n  error stop 'boom'\nend program crash\n",
         .compile_error = "program broken\n  implicit none\n  y = 1\nend program broken\n"},
        {.name = "zig",
         .hello = "const std = @import(\"std\");\n"
                  "pub fn main() !void {\n"
                  "    try std.io.getStdOut().writer().print(\"Hello, World!\\n\", .{});\n"
                  "}\n",
         .upper = "const std = @import(\"std\");\n"
                  "pub fn main() !void {\n"
                  "    var buf: [256]u8 = undefined;\n"
                  "    const line = (try std.io.getStdIn().reader().readUntilDelimiterOrEof(&buf, '\\n')) orelse \"\";\n"
                  "    const out = std.io.getStdOut().writer();\n"
                  "    for (line) |c| try out.writeByte(std.ascii.toUpper(c));\n"
                  "    try out.writeByte('\\n');\n"
                  "}\n",
         .crash = "pub fn main() !void {\n    return error.boom;\n}\n"},
        {.name = "java",
         .hello = "public class Main {\n"
                  "    public static void main(String[] args) {\n"
                  "        System.out.println(\"Hello, World!\");\n"
                  "    }\n"
                  "}\n",
         .upper = "import java.io.BufferedReader;\nimport java.io.InputStreamReader;\n\n"
                  "public class Main {\n"
                  "    public static void main(String[] args) throws Exception {\n"
                  "        BufferedReader in = new BufferedReader(new InputStreamReader(System.in));\n"
                  "        System.out.println(in.readLine().toUpperCase());\n"
                  "    }\n"
                  "}\n",
         .crash = "public class Main {\n"
                  "    public static void main(String[] args) {\n"
                  "        throw new IllegalStateException(\"boom\");\n"
                  "    }\n"
                  "}\n",
         .crash_exit = 1},
        // kotlinc is slow to start (tens of seconds on a busy machine).
        {.name = "kotlin",
         .timeout = 150,
         .hello = "fun main() {\n    println(\"Hello, World!\")\n}\n",
         .upper = "fun main() {\n"
                  "    val line = readLine() ?: \"\"\n"
                  "    println(line.map { Character.toUpperCase(it) }.joinToString(\"\"))\n"
                  "}\n",
         .crash = "fun main() {\n    throw IllegalStateException(\"boom\")\n}\n",
         .crash_exit = 1,
         .compile_error = "fun main() {\n    val x: Int = \"text\"\n}\n"},
        {.name = "csharp",
         .hello = "using System;\nConsole.WriteLine(\"Hello, World!\");\n",
         .upper = "using System;\nConsole.WriteLine((Console.ReadLine() ?? \"\").ToUpperInvariant());\n",
         .crash = "using System;\nthrow new InvalidOperationException(\"boom\");\n"},
        {.name = "gleam",
         .hello = "import gleam/io\n\npub fn main() {\n  io.println(\"Hello, World!\")\n}\n",
         .upper = "import gleam/io\nimport gleam/string\n\n"
                  "@external(erlang, \"io\", \"get_line\")\n"
                  "fn get_line(prompt: String) -> List(Int)\n\n"
                  "@external(erlang, \"unicode\", \"characters_to_binary\")\n"
                  "fn to_text(chars: List(Int)) -> String\n\n"
                  "pub fn main() {\n  io.print(string.uppercase(to_text(get_line(\"\"))))\n}\n",
         .crash = "pub fn main() {\n  panic as \"boom\"\n}\n"},
        {.name = "haskell",
         .hello = "main :: IO ()\nmain = putStrLn \"Hello, World!\"\n",
         .upper = "import Data.Char (toUpper)\n\nmain :: IO ()\nmain = interact (map toUpper)\n",
         .crash = "main :: IO ()\nmain = error \"boom\"\n",
         .crash_exit = 1},
        // sqlite3 runs the file with `.read`; standard input is reachable as
        // /dev/stdin, which `.import` reads line by line into a table.
        {.name = "sqlite",
         .hello = "SELECT 'Hello, World!';\n",
         .upper = "CREATE TABLE t(line TEXT);\n.import /dev/stdin t\nSELECT upper(line) FROM t;\n",
         .crash = "SELECT * FROM no_such_table;\n",
         .crash_marker = "no_such_table"},
        // jq runs with -n and without -r: input is read as JSON with `input`,
        // and strings are printed as JSON.
        {.name = "jq",
         .hello = "\"Hello, World!\"\n",
         .hello_out = "\"Hello, World!\"\n",
         .upper = "input | ascii_upcase\n",
         .upper_in = "\"abc\"\n",
         .upper_out = "\"ABC\"\n",
         .crash = "error(\"boom\")\n",
         .crash_exit = 5},
        {.name = "awk",
         .hello = "BEGIN { print \"Hello, World!\" }\n",
         .upper = "{ print toupper($0) }\n",
         // Fails at run time in gawk and mawk alike (mawk prints "inf" for
         // a division by zero).
         .crash = "BEGIN { print \"x\" > \"/nonexistent/boom\" }\n"},
    };
    return table;
}

const Row& row_named(const std::string& name) {
    for (const Row& r : rows())
        if (r.name == name) return r;
    throw std::runtime_error("no matrix row " + name);
}

// Test-name form of a language or alias name ("c++" -> "c_plus_plus").
std::string test_name(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c))) out += c;
        else if (c == '+') out += "_plus";
        else if (c == '#') out += "_sharp";
        else out += '_';
    }
    return out;
}

// `--probe`, asked once per test process.
const json& probe() {
    static const json answer = [] {
        Invocation inv;
        inv.args = {"--probe"};
        const ProcessResult r = run_exec(inv);
        try {
            return r.json();
        } catch (const std::exception&) {
            return json::object();
        }
    }();
    return answer;
}

bool on_runner_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    std::string rest = path;
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string dir = rest.substr(0, colon);
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

bool available(const std::string& name) {
    const json& p = probe();
    if (!(p.is_object() && p.contains(name) && p[name].is_boolean() && p[name].get<bool>())) return false;
    // The probe looks up only `java` for kotlin; its compiler is a separate
    // package, and without it the row can only fail.
    if (name == "kotlin") return on_runner_path("kotlinc");
    return true;
}

#define SKIP_UNLESS_AVAILABLE(name)                                                    \
    do {                                                                               \
        if (!available(name))                                                          \
            GTEST_SKIP() << "'" << (name) << "' is not installed on this host "        \
                         << "(--probe reports false, or kotlinc is missing); "         \
                         << "run scripts/install-runtimes.sh";                         \
    } while (0)

struct Outcome {
    json report;
    std::string raw;
};

// One run through the binary; the report must be one JSON object.
Outcome run_program(const std::string& lang, const std::string& program,
                    const std::vector<std::string>& extra, int timeout,
                    const std::vector<std::string>& wrapper = {}) {
    Invocation inv;
    inv.wrapper = wrapper;
    inv.args = {"--lang", lang, "--timeout", std::to_string(timeout)};
    inv.args.insert(inv.args.end(), extra.begin(), extra.end());
    inv.input = program;
    const ProcessResult r = run_exec(inv);
    Outcome o;
    o.raw = r.out.size() > 4000 ? r.out.substr(0, 4000) + "..." : r.out;
    EXPECT_TRUE(r.exited() && r.exit_code() == 0) << "runner status " << r.status << "\n" << r.err;
    try {
        o.report = r.json();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not one JSON line: " << e.what() << "\n" << o.raw;
        o.report = json::object();
    }
    return o;
}

// A member of the report, or null when it is missing.
const json& field(const json& j, const char* key) {
    static const json missing;
    return j.is_object() && j.contains(key) ? j.at(key) : missing;
}

std::string text_of(const json& j, const char* key) {
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// A run that started its program and ended normally with the expected output.
void expect_clean_run(const Outcome& o, const std::string& language, const std::string& out) {
    const json& j = o.report;
    EXPECT_EQ(j.value("verdict", ""), "OK") << o.raw;
    EXPECT_EQ(j.value("ok", false), true) << o.raw;
    EXPECT_EQ(j.value("phase", ""), "run") << o.raw;
    EXPECT_EQ(j.value("language", ""), language) << o.raw;
    EXPECT_EQ(field(j, "exit_code"), 0) << o.raw;
    EXPECT_TRUE(field(j, "spawn_error").is_null()) << o.raw;
    EXPECT_EQ(j.value("timed_out", true), false) << o.raw;
    EXPECT_EQ(j.value("output_truncated", true), false) << o.raw;
    EXPECT_EQ(text_of(j, "stdout"), out) << o.raw;
    EXPECT_EQ(field(j, "stdout_bytes"), out.size()) << o.raw;
}

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class LanguageRow : public ::testing::TestWithParam<Row> {};

TEST_P(LanguageRow, HelloWorld) {
    const Row& row = GetParam();
    SKIP_UNLESS_AVAILABLE(row.name);
    const Outcome o = run_program(row.name, row.hello, {}, row.timeout);
    expect_clean_run(o, row.name, row.hello_out);
    if (!row.compile_error.empty()) {
        EXPECT_GT(o.report.value("compile_ms", 0), 0) << o.raw;
    }
}

TEST_P(LanguageRow, ReadsStandardInput) {
    const Row& row = GetParam();
    SKIP_UNLESS_AVAILABLE(row.name);
    const Outcome o = run_program(row.name, row.upper, {"--stdin", row.upper_in}, row.timeout);
    expect_clean_run(o, row.name, row.upper_out);
}

// Whether an ordinary user cannot start the row's toolchain on this host
// (one installed in a home directory of mode 0700, say).
bool unreachable_for_ordinary_users(const Row& row) {
    Invocation inv;
    inv.args = {"--lang", row.name, "--timeout", std::to_string(row.timeout)};
    inv.input = row.hello;
    inv.set["TMPDIR"] = "/tmp";
    inv.wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    const ProcessResult r = run_exec(inv);
    try {
        return !field(r.json(), "spawn_error").is_null();
    } catch (const std::exception&) {
        return false;
    }
}

// Confined to its work directory, the toolchain still compiles and runs.
TEST_P(LanguageRow, HelloWorldAndInputUnderContain) {
    const Row& row = GetParam();
    SKIP_UNLESS_AVAILABLE(row.name);
    std::vector<std::string> wrapper;
    Outcome hello = run_program(row.name, row.hello, {"--contain"}, row.timeout);
    // As root the contained child is a user id of its own, which needs a
    // toolchain that ordinary users can reach. One that they cannot (in a
    // home directory of mode 0700, say) is still run under the rules alone:
    // in a user namespace that maps root only, the child stays root.
    if (geteuid() == 0 && !field(hello.report, "spawn_error").is_null() && unreachable_for_ordinary_users(row)) {
        wrapper = {"unshare", "--user", "--map-root-user"};
        hello = run_program(row.name, row.hello, {"--contain"}, row.timeout, wrapper);
        EXPECT_TRUE(std::count(field(hello.report, "unenforced").begin(), field(hello.report, "unenforced").end(),
                               json("contain_uid_unavailable")) == 1)
            << hello.raw;
    }
    expect_clean_run(hello, row.name, row.hello_out);
    const Outcome upper =
        run_program(row.name, row.upper, {"--contain", "--stdin", row.upper_in}, row.timeout, wrapper);
    expect_clean_run(upper, row.name, row.upper_out);
    for (const json& note : field(upper.report, "unenforced"))
        EXPECT_NE(note, "contain_unavailable") << upper.raw;
}

// A data limit every runtime can live with: its own needs are its row's
// allowance, not the program's 64 MiB.
TEST_P(LanguageRow, HelloWorldUnderDataLimit) {
    const Row& row = GetParam();
    SKIP_UNLESS_AVAILABLE(row.name);
    const Outcome o = run_program(row.name, row.hello, {"--max-data-mb", "64"}, row.timeout);
    expect_clean_run(o, row.name, row.hello_out);
    EXPECT_EQ(text_of(o.report, "stderr"), "") << "the runner's hints must not speak: " << o.raw;
}

// node reserves far more address space than it uses: refused at 256 MiB of
// address space, it starts under 256 MiB of data.
TEST(DataLimit, ManagedRuntimeThatAnAddressSpaceLimitStops) {
    SKIP_UNLESS_AVAILABLE("node");
    const Row& row = row_named("node");
    const Outcome as = run_program("node", row.hello, {"--max-memory-mb", "256"}, row.timeout);
    EXPECT_NE(as.report.value("verdict", ""), "OK") << as.raw;
    const Outcome data = run_program("node", row.hello, {"--max-data-mb", "256"}, row.timeout);
    expect_clean_run(data, "node", row.hello_out);
}

TEST_P(LanguageRow, RuntimeErrorIsRte) {
    const Row& row = GetParam();
    SKIP_UNLESS_AVAILABLE(row.name);
    const Outcome o = run_program(row.name, row.crash, {}, row.timeout);
    const json& j = o.report;
    EXPECT_EQ(j.value("verdict", ""), "RTE") << o.raw;
    EXPECT_EQ(j.value("ok", true), false) << o.raw;
    EXPECT_EQ(j.value("phase", ""), "run") << o.raw;  // it compiled, then failed
    EXPECT_TRUE(field(j, "spawn_error").is_null()) << "the program never ran: " << o.raw;
    EXPECT_EQ(j.value("timed_out", true), false) << o.raw;
    ASSERT_TRUE(field(j, "exit_code").is_number_integer()) << o.raw;
    EXPECT_NE(field(j, "exit_code").get<long long>(), 0) << o.raw;
    if (row.crash_exit) {
        EXPECT_EQ(field(j, "exit_code"), *row.crash_exit) << o.raw;
    }
    const std::string said = text_of(j, "stdout") + text_of(j, "stderr");
    EXPECT_NE(said.find(row.crash_marker), std::string::npos)
        << "expected '" << row.crash_marker << "' in the output: " << o.raw;
}

std::vector<Row> compiled_rows() {
    std::vector<Row> out;
    for (const Row& r : rows())
        if (!r.compile_error.empty()) out.push_back(r);
    return out;
}

class CompiledRow : public ::testing::TestWithParam<Row> {};

TEST_P(CompiledRow, CompileErrorStopsBeforeRunning) {
    const Row& row = GetParam();
    SKIP_UNLESS_AVAILABLE(row.name);
    const Outcome o = run_program(row.name, row.compile_error, {}, row.timeout);
    const json& j = o.report;
    EXPECT_EQ(j.value("phase", ""), "compile") << o.raw;
    EXPECT_EQ(j.value("verdict", ""), "RTE") << o.raw;
    EXPECT_EQ(j.value("ok", true), false) << o.raw;
    EXPECT_EQ(j.value("language", ""), row.name) << o.raw;
    EXPECT_TRUE(field(j, "spawn_error").is_null()) << "the compiler never ran: " << o.raw;
    EXPECT_EQ(j.value("timed_out", true), false) << o.raw;
    ASSERT_TRUE(field(j, "exit_code").is_number_integer()) << o.raw;
    EXPECT_NE(field(j, "exit_code").get<long long>(), 0) << o.raw;
    EXPECT_EQ(field(j, "duration_ms"), field(j, "compile_ms")) << o.raw;
    const std::string said = lower(text_of(j, "stdout") + text_of(j, "stderr"));
    EXPECT_NE(said.find("error"), std::string::npos) << "no diagnostic: " << o.raw;
}

// Rows that are also driven into the wall-clock and output limits.
struct LimitRow {
    std::string name;
    std::string endless;  // never ends on its own, writes nothing
    std::string chatty;   // writes 3000 bytes "x" to stdout and exits 0
    std::string flood;    // tries to write 1 MiB "x" to stdout
};

const std::vector<LimitRow>& limit_rows() {
    static const std::vector<LimitRow> table = {
        {"python3", "while True:\n    pass\n", "import sys\nsys.stdout.write(\"x\" * 3000)\n",
         "import sys\nsys.stdout.write(\"x\" * (1 << 20))\n"},
        {"c", "int main(void) {\n    volatile unsigned long n = 0;\n    for (;;) n++;\n}\n",
         "#include <stdio.h>\nint main(void) {\n    for (int i = 0; i < 3000; i++) putchar('x');\n"
         "    return 0;\n}\n",
         "#include <stdio.h>\nint main(void) {\n    for (int i = 0; i < (1 << 20); i++) putchar('x');\n"
         "    return 0;\n}\n"},
        {"bash", "while :; do :; done\n", "s=$(printf '%3000s' '')\nprintf '%s' \"${s// /x}\"\n",
         "head -c 1048576 /dev/zero | tr '\\0' x\n"},
        {"node", "for (;;) {}\n", "process.stdout.write(\"x\".repeat(3000));\n",
         "process.stdout.write(\"x\".repeat(1 << 20));\n"},
    };
    return table;
}

void PrintTo(const LimitRow& row, std::ostream* os) { *os << row.name; }

class LimitedRow : public ::testing::TestWithParam<LimitRow> {};

TEST_P(LimitedRow, EndlessLoopIsKilledAtTimeout) {
    const LimitRow& row = GetParam();
    SKIP_UNLESS_AVAILABLE(row.name);
    const Outcome o = run_program(row.name, row.endless, {}, 2);
    const json& j = o.report;
    EXPECT_EQ(j.value("verdict", ""), "TLE") << o.raw;
    EXPECT_EQ(j.value("timed_out", false), true) << o.raw;
    EXPECT_EQ(j.value("ok", true), false) << o.raw;
    EXPECT_EQ(text_of(j, "stderr"), "<killed: exceeded wall-clock timeout>") << o.raw;
    // On a loaded machine a compiler may itself use up the 2 s; then the report
    // is about the compile phase or the exhausted budget, still a TLE.
    if (j.value("phase", "") == "run" && field(j, "exit_code").is_number_integer()) {
        EXPECT_EQ(field(j, "exit_code"), -9) << o.raw;
    }
    // Killed after the budget, and not long after it.
    EXPECT_GE(j.value("total_ms", 0), 1900) << o.raw;
    EXPECT_LT(j.value("total_ms", 0), 30000) << o.raw;
}

std::string capped_x(std::size_t keep) { return std::string(keep, 'x') + "\n...[truncated]"; }

TEST_P(LimitedRow, OutputOverTheCapIsOle) {
    const LimitRow& row = GetParam();
    SKIP_UNLESS_AVAILABLE(row.name);
    const Outcome o = run_program(row.name, row.chatty, {"--max-output-kb", "1"}, 60);
    const json& j = o.report;
    EXPECT_EQ(j.value("verdict", ""), "OLE") << o.raw;
    EXPECT_EQ(j.value("output_truncated", false), true) << o.raw;
    // The program itself ended well: truncation alone does not clear `ok`.
    EXPECT_EQ(j.value("ok", false), true) << o.raw;
    EXPECT_EQ(field(j, "exit_code"), 0) << o.raw;
    EXPECT_EQ(text_of(j, "stdout"), capped_x(1024)) << o.raw;
    EXPECT_EQ(field(j, "stdout_bytes"), 3000) << o.raw;
}

TEST_P(LimitedRow, FloodStopsAtTheFileSizeLimit) {
    const LimitRow& row = GetParam();
    SKIP_UNLESS_AVAILABLE(row.name);
    const Outcome o = run_program(row.name, row.flood, {"--max-output-kb", "1"}, 60);
    const json& j = o.report;
    EXPECT_EQ(j.value("verdict", ""), "OLE") << o.raw;
    EXPECT_EQ(j.value("output_truncated", false), true) << o.raw;
    EXPECT_EQ(j.value("timed_out", true), false) << o.raw;
    EXPECT_EQ(text_of(j, "stdout"), capped_x(1024)) << o.raw;
    // The file-size limit is four times the output cap: the capture file
    // never grows past 4096 bytes, whether the write failed or SIGXFSZ hit.
    ASSERT_TRUE(field(j, "stdout_bytes").is_number_integer()) << o.raw;
    EXPECT_GT(field(j, "stdout_bytes").get<long long>(), 1024) << o.raw;
    EXPECT_LE(field(j, "stdout_bytes").get<long long>(), 4096) << o.raw;
}

struct Alias {
    std::string alias;
    std::string target;
};

const std::vector<Alias>& aliases() {
    static const std::vector<Alias> table = {
        {"python", "python3"}, {"py", "python3"},     {"python3.14", "python3"},
        {"python3.12", "python3"}, {"js", "node"},    {"javascript", "node"},
        {"nodejs", "node"},    {"ts", "typescript"},  {"cxx", "c++"},
        {"rscript", "r"},      {"sh", "bash"},        {"shell", "bash"},
        {"cs", "csharp"},      {"c#", "csharp"},      {"dotnet", "csharp"},
        {"ghc", "haskell"},    {"hs", "haskell"},
    };
    return table;
}

void PrintTo(const Alias& a, std::ostream* os) { *os << a.alias << " -> " << a.target; }

class AliasRow : public ::testing::TestWithParam<Alias> {};

TEST_P(AliasRow, HelloWorldThroughAlias) {
    const Alias& a = GetParam();
    SKIP_UNLESS_AVAILABLE(a.target);
    const Row& row = row_named(a.target);
    const Outcome o = run_program(a.alias, row.hello, {}, row.timeout);
    // The report names the catalogue row, not the alias.
    expect_clean_run(o, row.name, row.hello_out);
}

// The table above covers exactly the runner's catalogue, in its order, and
// the probe answers for each row.
TEST(Matrix, CoversTheWholeCatalogue) {
    Invocation inv;
    inv.args = {"--languages"};
    const ProcessResult r = run_exec(inv);
    const json names = r.json();
    ASSERT_TRUE(names.is_array()) << r.out;
    std::vector<std::string> expected;
    for (const Row& row : rows()) expected.push_back(row.name);
    EXPECT_EQ(names.get<std::vector<std::string>>(), expected);

    ASSERT_TRUE(probe().is_object());
    std::set<std::string> probed;
    for (auto it = probe().begin(); it != probe().end(); ++it) {
        probed.insert(it.key());
        EXPECT_TRUE(it.value().is_boolean()) << it.key();
    }
    EXPECT_EQ(probed, std::set<std::string>(expected.begin(), expected.end()));
    EXPECT_EQ(aliases().size(), 17u);
    for (const Alias& a : aliases()) EXPECT_NO_THROW(row_named(a.target)) << a.alias;
}

INSTANTIATE_TEST_SUITE_P(Catalogue, LanguageRow, ::testing::ValuesIn(rows()),
                         [](const auto& info) { return test_name(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Catalogue, CompiledRow, ::testing::ValuesIn(compiled_rows()),
                         [](const auto& info) { return test_name(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Catalogue, LimitedRow, ::testing::ValuesIn(limit_rows()),
                         [](const auto& info) { return test_name(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Catalogue, AliasRow, ::testing::ValuesIn(aliases()),
                         [](const auto& info) { return test_name(info.param.alias); });

}  // namespace
