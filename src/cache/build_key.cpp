#include "cache/build_key.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "common/fd.hpp"
#include "common/sha256.hpp"
#include "common/text.hpp"
#include "phase/child_exec.hpp"
#include "workspace/dir_walk.hpp"

namespace tessimar {
namespace {

// Bumped whenever what an entry holds or how the key is made changes.
constexpr std::string_view kKeyVersion = "tessimar-exec build key 1";

void field(Sha256& h, std::string_view bytes) {
    h.update(std::to_string(bytes.size()) + ":");
    h.update(bytes);
    h.update("\n", 1);
}

std::string stat_text(const struct stat& st) {
    return "dev=" + std::to_string(static_cast<unsigned long long>(st.st_dev)) +
           " ino=" + std::to_string(static_cast<unsigned long long>(st.st_ino)) +
           " size=" + std::to_string(static_cast<long long>(st.st_size)) +
           " mtime=" + std::to_string(static_cast<long long>(st.st_mtim.tv_sec)) + "." +
           std::to_string(static_cast<long long>(st.st_mtim.tv_nsec));
}

std::string resolved(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

// A rustup proxy chooses the toolchain itself: its settings file (the
// default toolchain) and each toolchain's rustc stand for the compiler.
std::string rustup_identity(const ChildEnv& env) {
    std::string home;
    if (const auto it = env.find("RUSTUP_HOME"); it != env.end() && !it->second.empty())
        home = it->second;
    else if (const auto h = env.find("HOME"); h != env.end() && !h->second.empty())
        home = join_path(h->second, ".rustup");
    if (home.empty()) return " rustup=none";
    std::string out;
    struct stat st;
    const std::string settings = join_path(home, "settings.toml");
    out += " settings=" + (stat(settings.c_str(), &st) == 0 ? stat_text(st) : std::string("none"));
    const std::string toolchains = join_path(home, "toolchains");
    UniqueFd dir(retry_eintr([&] { return open(toolchains.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!dir.valid()) return out + " toolchains=none";
    std::vector<std::string> names;
    if (list_names_at(dir.get(), 256, [](const char*) { return true; }, names) != 0)
        return out + " toolchains=unlisted";
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string rustc = join_path(join_path(toolchains, name), "bin/rustc");
        out += " " + name + "=" + (stat(rustc.c_str(), &st) == 0 ? stat_text(st) : std::string("none"));
    }
    return out;
}

}  // namespace

Result<std::string> compiler_identity(const std::string& program, const std::string& path_value,
                                      const ChildEnv& env) {
    for (const std::string& candidate : exec_candidates(program, path_value)) {
        // Relative to the scratch directory the child starts in: nothing
        // the runner could know the identity of now.
        if (candidate.empty() || candidate.front() != '/') continue;
        struct stat st;
        if (stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0111) == 0) continue;
        const std::string real = resolved(candidate);
        if (real.empty()) continue;
        std::string identity = real + " " + stat_text(st);
        std::string dir, name;
        split_parent(real, dir, name);
        if (name == "rustup") identity += rustup_identity(env);
        return identity;
    }
    return Error{"the compiler '" + utf8_lossy(program) + "' was not found in PATH"};
}

ChildEnv compile_env_for_key() {
    ChildEnv env = build_child_env("", {});
    env.erase("PYTHONPATH");
    return env;
}

std::string build_key(const BuildInputs& in) {
    Sha256 h;
    field(h, kKeyVersion);
    field(h, in.spec->name);
    field(h, in.spec->extension);
    field(h, "compile " + std::to_string(in.spec->compile_template ? in.spec->compile_template->size() : 0));
    if (in.spec->compile_template)
        for (const std::string& arg : *in.spec->compile_template) field(h, arg);
    field(h, "run " + std::to_string(in.spec->run_template.size()));
    for (const std::string& arg : in.spec->run_template) field(h, arg);
    field(h, "env " + std::to_string(in.env.size()));
    for (const auto& [name, value] : in.env) {
        field(h, name);
        field(h, value);
    }
    field(h, in.compiler);
    field(h, in.source);
    return h.hex_digest();
}

Result<std::string> build_key_for(const LanguageSpec& spec, std::string_view source) {
    if (!spec.compile_template || spec.compile_template->empty())
        return Error{"the language '" + spec.name + "' has no compile step"};
    BuildInputs in;
    in.spec = &spec;
    in.env = compile_env_for_key();
    Result<std::string> compiler = compiler_identity(spec.compile_template->front(), in.env["PATH"], in.env);
    if (!compiler) return Error{compiler.error()};
    in.compiler = std::move(compiler.value());
    in.source = source;
    return build_key(in);
}

}  // namespace tessimar
