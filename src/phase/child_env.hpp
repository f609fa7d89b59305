// The exact environment a phase's child receives.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tessimar {

// Names map to values, both bytes; std::map keeps them in byte order and
// each name once.
using ChildEnv = std::map<std::string, std::string>;
using EnvPairs = std::vector<std::pair<std::string, std::string>>;

inline constexpr const char* kDefaultSearchPath = "/usr/local/bin:/usr/bin:/bin";

ChildEnv build_child_env(const std::string& python_path, const EnvPairs& extra_env);

// "NAME=VALUE" strings in ascending byte order of the names.
std::vector<std::string> env_block(const ChildEnv& env);

}  // namespace tessimar
