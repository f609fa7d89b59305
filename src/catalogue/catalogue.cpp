#include "catalogue/catalogue.hpp"

#include "catalogue/memory_figures.hpp"

namespace tessimar {
namespace {

using Args = std::vector<std::string>;

LanguageSpec interpreted(const char* name, const char* ext, Args run) {
    return LanguageSpec{name, ext, std::move(run), std::nullopt, memory_profile_of(name)};
}

LanguageSpec compiled(const char* name, const char* ext, Args run, Args compile) {
    return LanguageSpec{name, ext, std::move(run), std::move(compile), memory_profile_of(name)};
}

Args gcc_like(const char* compiler) {
    return {compiler, "-O2", "-I{work}/..", "-o", "{exe}", "{file}"};
}

std::vector<LanguageSpec> build_catalogue() {
    return {
        interpreted("python3", "py", {"python3", "{file}"}),
        interpreted("node", "js", {"node", "{file}"}),
        interpreted("bun", "ts", {"bun", "run", "{file}"}),
        interpreted("deno", "ts", {"deno", "run", "{file}"}),
        interpreted("typescript", "ts", {"deno", "run", "{file}"}),
        interpreted("ruby", "rb", {"ruby", "{file}"}),
        interpreted("php", "php", {"php", "{file}"}),
        interpreted("perl", "pl", {"perl", "{file}"}),
        interpreted("lua", "lua", {"lua", "{file}"}),
        interpreted("tcl", "tcl", {"tclsh", "{file}"}),
        interpreted("r", "R", {"Rscript", "{file}"}),
        interpreted("elixir", "exs", {"elixir", "{file}"}),
        interpreted("erlang", "erl", {"escript", "{file}"}),
        interpreted("bash", "sh", {"bash", "{file}"}),
        interpreted("zsh", "zsh", {"zsh", "{file}"}),
        interpreted("mojo", "mojo", {"mojo", "run", "{file}"}),
        interpreted("swift", "swift", {"swift", "{file}"}),
        compiled("c", "c", {"{exe}"}, gcc_like("gcc")),
        compiled("cpp", "cpp", {"{exe}"}, gcc_like("g++")),
        compiled("c++", "cpp", {"{exe}"}, gcc_like("g++")),
        compiled("rust", "rs", {"{exe}"}, {"rustc", "-O", "-o", "{exe}", "{file}"}),
        interpreted("go", "go", {"go", "run", "{file}"}),
        compiled("fortran", "f90", {"{exe}"}, gcc_like("gfortran")),
        interpreted("zig", "zig", {"zig", "run", "{file}"}),
        interpreted("java", "java", {"java", "{file}"}),
        compiled("kotlin", "kt", {"java", "-jar", "{work}/out.jar"},
                 {"kotlinc", "{file}", "-include-runtime", "-d", "{work}/out.jar"}),
        interpreted("csharp", "cs", {"dotnet", "run", "{file}"}),
        interpreted("gleam", "gleam",
                    {"bash", "-c",
                     "gleam new \"$2/proj\" --name prog --skip-git && cp \"$1\" "
                     "\"$2/proj/src/prog.gleam\" && cd \"$2/proj\" && gleam run",
                     "tessimar", "{file}", "{work}"}),
        interpreted("haskell", "hs",
                    {"bash", "-c",
                     "f=$(printf %q \"$1\"); e=$(printf %q \"$3\"); nix-shell -p ghc --run "
                     "\"ghc -O2 -o $e $f && $e\"",
                     "tessimar", "{file}", "{work}", "{exe}"}),
        interpreted("sqlite", "sql", {"sqlite3", ":memory:", ".read {file}"}),
        interpreted("jq", "jq", {"jq", "-n", "-f", "{file}"}),
        interpreted("awk", "awk", {"awk", "-f", "{file}"}),
    };
}

}  // namespace

const std::vector<LanguageSpec>& catalogue() {
    static const std::vector<LanguageSpec> rows = build_catalogue();
    return rows;
}

const std::vector<std::pair<std::string_view, std::string_view>>& language_aliases() {
    static const std::vector<std::pair<std::string_view, std::string_view>> aliases = {
        {"python", "python3"}, {"py", "python3"},     {"python3.14", "python3"},
        {"python3.12", "python3"}, {"js", "node"},    {"javascript", "node"},
        {"nodejs", "node"},    {"ts", "typescript"},  {"cxx", "c++"},
        {"rscript", "r"},      {"sh", "bash"},        {"shell", "bash"},
        {"cs", "csharp"},      {"c#", "csharp"},      {"dotnet", "csharp"},
        {"ghc", "haskell"},    {"hs", "haskell"},
    };
    return aliases;
}

std::string catalogue_names_joined() {
    std::string out;
    for (const LanguageSpec& row : catalogue()) {
        if (!out.empty()) out += ", ";
        out += row.name;
    }
    return out;
}

}  // namespace tessimar
