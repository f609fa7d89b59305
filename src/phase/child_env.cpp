#include "phase/child_env.hpp"

#include <cstdlib>

#include "common/text.hpp"

namespace tessimar {
namespace {

constexpr const char* kPassThrough[] = {
    "PATH",         "HOME",         "LANG",         "LC_ALL",     "TMPDIR",
    "PYTHONUNBUFFERED", "JAVA_HOME", "CARGO_HOME",  "RUSTUP_HOME", "GOPATH",
    "GOMODCACHE",   "SystemRoot",   "SYSTEMROOT",   "windir",     "COMSPEC",
    "PATHEXT",      "TEMP",         "TMP",          "USERPROFILE", "APPDATA",
    "LOCALAPPDATA", "NUMBER_OF_PROCESSORS", "PROCESSOR_ARCHITECTURE",
};

// A variable counts only when set and valid UTF-8.
const char* present(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && is_valid_utf8(value) ? value : nullptr;
}

}  // namespace

ChildEnv build_child_env(const std::string& python_path, const EnvPairs& extra_env) {
    ChildEnv env;
    for (const char* name : kPassThrough)
        if (const char* value = present(name)) env[name] = value;

    const char* runtime_path = present("TESSIMAR_RUNTIME_PATH");
    const char* path = present("PATH");
    if (runtime_path != nullptr && *runtime_path != '\0')
        env["PATH"] = runtime_path;
    else if (path != nullptr && *path != '\0')
        env["PATH"] = path;
    else
        env["PATH"] = kDefaultSearchPath;

    env["PYTHONUNBUFFERED"] = "1";
    env["PYTHONPATH"] = python_path;
    for (const auto& [name, value] : extra_env) env[name] = value;
    return env;
}

std::vector<std::string> env_block(const ChildEnv& env) {
    std::vector<std::string> block;
    block.reserve(env.size());
    for (const auto& [name, value] : env) block.push_back(name + "=" + value);
    return block;
}

}  // namespace tessimar
