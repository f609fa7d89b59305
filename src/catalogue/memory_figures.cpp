#include "catalogue/memory_figures.hpp"

namespace tessimar {
namespace {

// Allowances are the least RLIMIT_DATA the row's hello world needed on the
// reference host, plus a margin, so that the runtime's own memory never
// counts against the program; reserves are the address space the runtime
// maps beyond its data. docs/languages.md lists the measured figures.
struct RowFigures {
    std::string_view name;
    MemoryProfile profile;
};

constexpr PhaseMemory phase(std::uint64_t allowance_mb, std::uint64_t reserve_mb) {
    return PhaseMemory{allowance_mb, reserve_mb};
}

// A native program: libc's own few MiB, and room for the allocation that
// crosses the limit to succeed, so that the crossing is seen in the peak.
constexpr PhaseMemory kNative = phase(32, 256);
// gcc, g++ and gfortran: a program that includes all of <bits/stdc++.h>
// needs 192 MiB of data in cc1plus.
constexpr PhaseMemory kGccCompile = phase(512, 512);

// Rows whose runtime cannot be had on the reference host (mojo, swift, zig,
// csharp, gleam, haskell): compilers and runtimes of that kind, generously.
constexpr PhaseMemory kUnmeasured = phase(1024, 0);

constexpr RowFigures kFigures[] = {
    {"python3", {phase(24, 256), {}, HeapHint::None}},
    {"node", {phase(80, 0), {}, HeapHint::NodeOldSpace}},
    {"bun", {phase(300, 0), {}, HeapHint::None}},
    {"deno", {phase(600, 0), {}, HeapHint::DenoV8}},
    {"typescript", {phase(600, 0), {}, HeapHint::DenoV8}},
    {"ruby", {phase(64, 256), {}, HeapHint::None}},
    {"php", {phase(24, 256), {}, HeapHint::PhpMemory}},
    {"perl", {kNative, {}, HeapHint::None}},
    {"lua", {kNative, {}, HeapHint::None}},
    {"tcl", {kNative, {}, HeapHint::None}},
    {"r", {phase(64, 512), {}, HeapHint::None}},
    {"elixir", {phase(128, 0), {}, HeapHint::None}},
    {"erlang", {phase(128, 0), {}, HeapHint::None}},
    {"bash", {kNative, {}, HeapHint::None}},
    {"zsh", {kNative, {}, HeapHint::None}},
    {"c", {kNative, kGccCompile, HeapHint::None}},
    {"cpp", {kNative, kGccCompile, HeapHint::None}},
    {"c++", {kNative, kGccCompile, HeapHint::None}},
    {"rust", {kNative, phase(1024, 0), HeapHint::None}},
    {"go", {phase(128, 0), {}, HeapHint::GoMemLimit}},
    {"fortran", {kNative, kGccCompile, HeapHint::None}},
    {"java", {phase(96, 0), {}, HeapHint::Jvm}},
    {"kotlin", {phase(96, 0), phase(1024, 0), HeapHint::Jvm}},
    {"sqlite", {kNative, {}, HeapHint::None}},
    {"jq", {kNative, {}, HeapHint::None}},
    {"awk", {kNative, {}, HeapHint::None}},
};

}  // namespace

MemoryProfile memory_profile_of(std::string_view name) {
    for (const RowFigures& row : kFigures)
        if (row.name == name) return row.profile;
    return MemoryProfile{kUnmeasured, kUnmeasured, HeapHint::None};
}

}  // namespace tessimar
