// The key of a compile in the build cache: everything that decides what a
// compile leaves behind, as far as the runner can see it without running
// the compiler.
#pragma once

#include <string>
#include <string_view>

#include "catalogue/language_spec.hpp"
#include "common/result.hpp"
#include "phase/child_env.hpp"

namespace tessimar {

// The compile's inputs, in the order they are hashed.
struct BuildInputs {
    const LanguageSpec* spec = nullptr;  // the row: name, extension, both templates
    ChildEnv env;                        // the compile child's environment, without per-run paths
    std::string compiler;                // the identity text of the compiler (compiler_identity)
    std::string_view source;             // the program's bytes
};

// The identity of the program a compile template's first argument names,
// found as the child would find it through `path_value`: its resolved
// path, device, inode, size and modification time; for a rustup proxy also
// the rustup settings and each installed toolchain's rustc. An error when
// no absolute candidate is an executable regular file.
Result<std::string> compiler_identity(const std::string& program, const std::string& path_value,
                                      const ChildEnv& env);

// The environment a compile child of this runner receives, less the
// variables that name the run's own directories.
ChildEnv compile_env_for_key();

// SHA-256 of the inputs, each field length-prefixed: 64 hexadecimal digits.
std::string build_key(const BuildInputs& inputs);

// The key of compiling `source` with `spec`'s row in the runner's current
// environment; an error when the row has no compile step or its compiler
// cannot be found.
Result<std::string> build_key_for(const LanguageSpec& spec, std::string_view source);

}  // namespace tessimar
