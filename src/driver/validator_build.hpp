// A judging program (output validator or interactor) built from source and
// kept in a cache, so that a problem's many runs build it once.
#pragma once

#include <string>

#include "common/result.hpp"
#include "common/run_limits.hpp"

namespace tessimar {

// `source` is an absolute path: a directory (C or C++ files compiled
// together with its headers; a Python program; a `build` script that makes a
// `run` executable, or a `run` script) or a single source file (.c, .cc,
// .cpp, .cxx, .py). Returns the absolute path of an executable to call as
// checker/interactor, built once and kept in `cache_root` (created 0700 if
// missing) under a key of the sources and the compiler; a later call with
// the same sources returns the cached one without compiling. The sources
// are read without following links (a link is an error naming it). An
// error names the file and the compiler's message (bounded).
//
// C and C++ are compiled with the catalogue's compilers (gcc, g++ -O2,
// C++ as gnu++20), as found on the runner's search path; Python runs with
// the python3 found there. The compile or the `build` script runs under
// `limits` without confinement, with the compile budget as its wall clock
// (the timeout when there is none).
Result<std::string> build_validator(const std::string& source, const std::string& cache_root, const RunLimits& limits);

}  // namespace tessimar
