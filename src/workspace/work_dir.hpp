// The directory a run is rooted in, and the files the runner writes there.
#pragma once

#include <optional>
#include <string>

#include "catalogue/language_spec.hpp"
#include "common/dir_identity.hpp"
#include "common/result.hpp"

namespace tessimar {

// The fixed JavaScript text of the node sibling shim.
extern const char* const NODE_SIBLING_SHIM_JS;
inline constexpr const char* kShimFileName = "_tessimar_node_sibling_shim.js";

// TMPDIR when set (even empty), otherwise "/tmp".
std::string temporary_base();

// Makes a fresh work directory under the temporary base.
Result<std::string> create_work_dir();

struct RunFiles {
    std::string source_path;
    std::string exe_path;
    std::string shim_path;
};

// Writes "main.<ext>" and the shim into the scratch directory, exclusively.
Result<RunFiles> write_run_files(const std::string& scratch_dir, const LanguageSpec& spec,
                                 const std::string& program_text);

// End-of-run removal of a work directory this run created. With an identity,
// a directory that no longer matches it is left alone and one line is
// written to standard error. Removal errors are not reported.
void remove_dir_guarded(const std::string& work_dir, const std::optional<DirIdentity>& identity);

}  // namespace tessimar
