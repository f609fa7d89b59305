// The language table, the aliases, resolution of a --lang text and the
// expansion of template arguments.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "catalogue/catalogue.hpp"
#include "catalogue/resolve.hpp"
#include "catalogue/template.hpp"

using namespace tessimar;

namespace {

using Args = std::vector<std::string>;

struct Row {
    const char* name;
    const char* extension;
    Args run;
    std::optional<Args> compile;
};

const char* const kGleamScript =
    "gleam new \"$2/proj\" --name prog --skip-git && cp \"$1\" \"$2/proj/src/prog.gleam\" && "
    "cd \"$2/proj\" && gleam run";
const char* const kHaskellScript =
    "f=$(printf %q \"$1\"); e=$(printf %q \"$3\"); nix-shell -p ghc --run \"ghc -O2 -o $e $f && $e\"";

Args gcc(const char* compiler) { return {compiler, "-O2", "-I{work}/..", "-o", "{exe}", "{file}"}; }

const std::vector<Row>& expected_rows() {
    static const std::vector<Row> rows = {
        {"python3", "py", {"python3", "{file}"}, std::nullopt},
        {"node", "js", {"node", "{file}"}, std::nullopt},
        {"bun", "ts", {"bun", "run", "{file}"}, std::nullopt},
        {"deno", "ts", {"deno", "run", "{file}"}, std::nullopt},
        {"typescript", "ts", {"deno", "run", "{file}"}, std::nullopt},
        {"ruby", "rb", {"ruby", "{file}"}, std::nullopt},
        {"php", "php", {"php", "{file}"}, std::nullopt},
        {"perl", "pl", {"perl", "{file}"}, std::nullopt},
        {"lua", "lua", {"lua", "{file}"}, std::nullopt},
        {"tcl", "tcl", {"tclsh", "{file}"}, std::nullopt},
        {"r", "R", {"Rscript", "{file}"}, std::nullopt},
        {"elixir", "exs", {"elixir", "{file}"}, std::nullopt},
        {"erlang", "erl", {"escript", "{file}"}, std::nullopt},
        {"bash", "sh", {"bash", "{file}"}, std::nullopt},
        {"zsh", "zsh", {"zsh", "{file}"}, std::nullopt},
        {"mojo", "mojo", {"mojo", "run", "{file}"}, std::nullopt},
        {"swift", "swift", {"swift", "{file}"}, std::nullopt},
        {"c", "c", {"{exe}"}, gcc("gcc")},
        {"cpp", "cpp", {"{exe}"}, gcc("g++")},
        {"c++", "cpp", {"{exe}"}, gcc("g++")},
        {"rust", "rs", {"{exe}"}, Args{"rustc", "-O", "-o", "{exe}", "{file}"}},
        {"go", "go", {"go", "run", "{file}"}, std::nullopt},
        {"fortran", "f90", {"{exe}"}, gcc("gfortran")},
        {"zig", "zig", {"zig", "run", "{file}"}, std::nullopt},
        {"java", "java", {"java", "{file}"}, std::nullopt},
        {"kotlin", "kt", {"java", "-jar", "{work}/out.jar"},
         Args{"kotlinc", "{file}", "-include-runtime", "-d", "{work}/out.jar"}},
        {"csharp", "cs", {"dotnet", "run", "{file}"}, std::nullopt},
        {"gleam", "gleam", {"bash", "-c", kGleamScript, "tessimar", "{file}", "{work}"}, std::nullopt},
        {"haskell", "hs", {"bash", "-c", kHaskellScript, "tessimar", "{file}", "{work}", "{exe}"},
         std::nullopt},
        {"sqlite", "sql", {"sqlite3", ":memory:", ".read {file}"}, std::nullopt},
        {"jq", "jq", {"jq", "-n", "-f", "{file}"}, std::nullopt},
        {"awk", "awk", {"awk", "-f", "{file}"}, std::nullopt},
    };
    return rows;
}

const char* const kNamesJoined =
    "python3, node, bun, deno, typescript, ruby, php, perl, lua, tcl, r, elixir, erlang, bash, "
    "zsh, mojo, swift, c, cpp, c++, rust, go, fortran, zig, java, kotlin, csharp, gleam, haskell, "
    "sqlite, jq, awk";

std::string resolved_name(const std::string& text) {
    const Result<LanguageSpec> r = resolve_language(text);
    return r.ok() ? r.value().name : "<unknown: " + r.error() + ">";
}

std::string unknown_message(const std::string& text) {
    return "unknown language '" + text + "'. Available: " + kNamesJoined;
}

}  // namespace

TEST(Catalogue, ThirtyTwoRowsInOrderWithExactTemplates) {
    const std::vector<LanguageSpec>& rows = catalogue();
    const std::vector<Row>& want = expected_rows();
    ASSERT_EQ(rows.size(), 32u);
    ASSERT_EQ(want.size(), 32u);
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(want[i].name);
        EXPECT_EQ(rows[i].name, want[i].name);
        EXPECT_EQ(rows[i].extension, want[i].extension);
        EXPECT_EQ(rows[i].run_template, want[i].run);
        EXPECT_EQ(rows[i].compile_template, want[i].compile);
    }
}

TEST(Catalogue, ShapeOfTheTable) {
    std::set<std::string> names;
    int compiled = 0;
    for (const LanguageSpec& row : catalogue()) {
        EXPECT_TRUE(names.insert(row.name).second) << "duplicate " << row.name;
        EXPECT_FALSE(row.run_template.empty()) << row.name;
        if (row.compile_template) {
            ++compiled;
            EXPECT_FALSE(row.compile_template->empty()) << row.name;
        }
    }
    // c, cpp, c++, rust, fortran, kotlin
    EXPECT_EQ(compiled, 6);
    EXPECT_EQ(catalogue()[10].extension, "R");
    EXPECT_EQ(catalogue()[29].run_template.size(), 3u);
    EXPECT_EQ(catalogue()[29].run_template[2], ".read {file}");
    EXPECT_EQ(catalogue()[27].run_template.size(), 6u);
    EXPECT_EQ(catalogue()[28].run_template.size(), 7u);
}

TEST(Catalogue, NamesJoined) { EXPECT_EQ(catalogue_names_joined(), kNamesJoined); }

TEST(Catalogue, SeventeenAliases) {
    const std::vector<std::pair<std::string, std::string>> want = {
        {"python", "python3"}, {"py", "python3"},     {"python3.14", "python3"},
        {"python3.12", "python3"}, {"js", "node"},    {"javascript", "node"},
        {"nodejs", "node"},    {"ts", "typescript"},  {"cxx", "c++"},
        {"rscript", "r"},      {"sh", "bash"},        {"shell", "bash"},
        {"cs", "csharp"},      {"c#", "csharp"},      {"dotnet", "csharp"},
        {"ghc", "haskell"},    {"hs", "haskell"},
    };
    const auto& aliases = language_aliases();
    ASSERT_EQ(aliases.size(), 17u);
    std::set<std::pair<std::string, std::string>> got;
    for (const auto& [a, t] : aliases) got.emplace(std::string(a), std::string(t));
    const std::set<std::pair<std::string, std::string>> want_set(want.begin(), want.end());
    EXPECT_EQ(got, want_set);
    // No alias shadows a catalogue name.
    for (const auto& [a, t] : aliases)
        for (const LanguageSpec& row : catalogue()) EXPECT_NE(row.name, a);
    for (const auto& [alias, target] : want) EXPECT_EQ(resolved_name(alias), target) << alias;
}

TEST(ResolveLanguage, EveryCatalogueNameResolvesToItsOwnRow) {
    for (const LanguageSpec& row : catalogue()) {
        const Result<LanguageSpec> r = resolve_language(row.name);
        ASSERT_TRUE(r.ok()) << row.name;
        EXPECT_EQ(r.value().name, row.name);
        EXPECT_EQ(r.value().run_template, row.run_template);
    }
}

TEST(ResolveLanguage, CaseFoldingAndTrimming) {
    EXPECT_EQ(resolved_name("python3"), "python3");
    EXPECT_EQ(resolved_name("Python3"), "python3");
    EXPECT_EQ(resolved_name("PYTHON"), "python3");
    EXPECT_EQ(resolved_name("  python3  "), "python3");
    EXPECT_EQ(resolved_name("\tpython3\n"), "python3");
    EXPECT_EQ(resolved_name("C#"), "csharp");
    EXPECT_EQ(resolved_name("cs"), "csharp");
    EXPECT_EQ(resolved_name("DotNet"), "csharp");
    EXPECT_EQ(resolved_name("JS"), "node");
    EXPECT_EQ(resolved_name("CPP"), "cpp");
    EXPECT_EQ(resolved_name("CXX"), "c++");
    EXPECT_EQ(resolved_name("Rscript"), "r");
    EXPECT_EQ(resolved_name("R"), "r");
    EXPECT_EQ(resolved_name("Shell"), "bash");
    EXPECT_EQ(resolved_name("ts"), "typescript");
    EXPECT_EQ(resolved_name("bun"), "bun");
    EXPECT_EQ(resolved_name("deno"), "deno");
}

TEST(ResolveLanguage, EveryUnicodeWhiteSpaceCharacterIsTrimmed) {
    const char* const spaces[] = {
        "\t", "\n", "\v", "\f", "\r", " ",
        "\xC2\x85",      // U+0085
        "\xC2\xA0",      // U+00A0
        "\xE1\x9A\x80",  // U+1680
        "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
        "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
        "\xE2\x80\x8A",  // U+2000..U+200A
        "\xE2\x80\xA8",  // U+2028
        "\xE2\x80\xA9",  // U+2029
        "\xE2\x80\xAF",  // U+202F
        "\xE2\x81\x9F",  // U+205F
        "\xE3\x80\x80",  // U+3000
    };
    for (const char* s : spaces) {
        const std::string sp = s;
        EXPECT_EQ(resolved_name(sp + "ruby" + sp), "ruby") << testing::PrintToString(sp);
        EXPECT_EQ(resolved_name(sp + sp + "Go"), "go") << testing::PrintToString(sp);
    }
    // All at once on both sides.
    std::string all;
    for (const char* s : spaces) all += s;
    EXPECT_EQ(resolved_name(all + "lua" + all), "lua");
}

TEST(ResolveLanguage, NonWhiteSpaceFormatCharactersAreNotTrimmed) {
    // U+200B ZERO WIDTH SPACE and U+FEFF are not White_Space.
    EXPECT_FALSE(resolve_language("\xE2\x80\x8B" "ruby").ok());
    EXPECT_FALSE(resolve_language("ruby\xEF\xBB\xBF").ok());
    // Inner spaces are kept, so the text no longer matches.
    EXPECT_FALSE(resolve_language("py thon3").ok());
}

TEST(ResolveLanguage, UnicodeLowerCaseMapping) {
    // U+212A KELVIN SIGN lower-cases to ASCII "k".
    EXPECT_EQ(resolved_name("\xE2\x84\xAA" "otlin"), "kotlin");
    EXPECT_EQ(resolved_name("\xE2\x84\xAA" "OTLIN"), "kotlin");
    EXPECT_EQ(unicode_lower("\xE2\x84\xAA"), "k");
    EXPECT_EQ(unicode_lower("ABC xyz \xC3\x89"), "abc xyz \xC3\xA9");  // É -> é
    // Lower-case letters that are not ASCII do not turn into ASCII names.
    EXPECT_FALSE(resolve_language("\xC5\xBF" "h").ok());  // LONG S + h is not "sh"
}

TEST(ResolveLanguage, UnknownNames) {
    for (const char* text : {"python3.13", "rb", "kt", "golang", "", "pyth", "c ++", "js2", "pyhton",
                             "python3.", "node.js", "c#sharp"}) {
        const Result<LanguageSpec> r = resolve_language(text);
        ASSERT_FALSE(r.ok()) << text;
        EXPECT_EQ(r.error(), unknown_message(text));
    }
}

TEST(ResolveLanguage, UnknownMessageQuotesTheTextVerbatim) {
    EXPECT_EQ(resolve_language("  Foo ").error(), unknown_message("  Foo "));
    EXPECT_EQ(resolve_language("").error(),
              "unknown language ''. Available: python3, node, bun, deno, typescript, ruby, php, "
              "perl, lua, tcl, r, elixir, erlang, bash, zsh, mojo, swift, c, cpp, c++, rust, go, "
              "fortran, zig, java, kotlin, csharp, gleam, haskell, sqlite, jq, awk");
    EXPECT_EQ(resolve_language("a\"b\\c").error(), unknown_message("a\"b\\c"));
    EXPECT_EQ(resolve_language("\xC2\xA0" "X\xE3\x80\x80").error(),
              unknown_message("\xC2\xA0" "X\xE3\x80\x80"));
}

TEST(ExpandTemplate, PlaceholdersAnywhereInAnArgument) {
    const std::string file = "/tmp/w/.tessimar-run/main.c";
    const std::string exe = "/tmp/w/.tessimar-run/a.out";
    const std::string work = "/tmp/w/.tessimar-run";
    EXPECT_EQ(expand_template("-I{work}/..", file, exe, work), "-I/tmp/w/.tessimar-run/..");
    EXPECT_EQ(expand_template("{exe}", file, exe, work), exe);
    EXPECT_EQ(expand_template(".read {file}", file, exe, work), ".read " + file);
    EXPECT_EQ(expand_template("{work}/out.jar", file, exe, work), work + "/out.jar");
    EXPECT_EQ(expand_template("{file}{file}", file, exe, work), file + file);
    EXPECT_EQ(expand_template("a{file}b{file}c", file, exe, work), "a" + file + "b" + file + "c");
    EXPECT_EQ(expand_template("{file}|{exe}|{work}", file, exe, work), file + "|" + exe + "|" + work);
    EXPECT_EQ(expand_template("{x}", file, exe, work), "{x}");
    EXPECT_EQ(expand_template("{FILE} {file", file, exe, work), "{FILE} {file");
    EXPECT_EQ(expand_template("", file, exe, work), "");
    EXPECT_EQ(expand_template("gcc", file, exe, work), "gcc");
}

TEST(ExpandTemplate, PassesRunInOrderFileExeWork) {
    // A file value holding a later placeholder is expanded by the later pass.
    EXPECT_EQ(expand_template("{file}", "/a/{work}/main.c", "E", "W"), "/a/W/main.c");
    EXPECT_EQ(expand_template("{file}", "/a/{exe}", "E", "W"), "/a/E");
    EXPECT_EQ(expand_template("{exe}", "F", "{work}/a.out", "W"), "W/a.out");
    // A value holding an earlier placeholder is left as it is.
    EXPECT_EQ(expand_template("{work}", "F", "E", "/w/{file}"), "/w/{file}");
    EXPECT_EQ(expand_template("{exe}", "F", "/e/{file}", "W"), "/e/{file}");
    EXPECT_EQ(expand_template("{work}", "F", "E", "/w/{exe}"), "/w/{exe}");
    // A placeholder assembled across a replacement boundary is found by a later pass.
    EXPECT_EQ(expand_template("{wo{file}", "rk}", "E", "W"), "W");
}

TEST(ExpandTemplate, WholeRowsExpandArgumentByArgument) {
    const LanguageSpec c = resolve_language("c").value();
    Args compile;
    for (const std::string& a : *c.compile_template)
        compile.push_back(expand_template(a, "/s/main.c", "/s/a.out", "/s"));
    EXPECT_EQ(compile, (Args{"gcc", "-O2", "-I/s/..", "-o", "/s/a.out", "/s/main.c"}));

    const LanguageSpec hs = resolve_language("hs").value();
    Args run;
    for (const std::string& a : hs.run_template)
        run.push_back(expand_template(a, "/s/main.hs", "/s/a.out", "/s"));
    EXPECT_EQ(run, (Args{"bash", "-c", kHaskellScript, "tessimar", "/s/main.hs", "/s", "/s/a.out"}));
}
