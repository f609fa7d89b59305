#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in a
# separate build directory and runs the whole CTest suite there.
#
#   scripts/sanitize.sh [build-dir] [extra ctest args...]
#
# The first argument is taken as the build directory unless it starts with
# "-"; everything else goes to ctest unchanged (e.g. "-L unit").
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build_dir=build-asan
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  build_dir=$1
  shift
fi

# LeakSanitizer stops the process and inspects it with ptrace; where ptrace is
# refused (some containers) it dies with "LeakSanitizer has encountered a
# fatal error" instead of reporting. Probe once and switch it off only then.
detect_leaks=1
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
if command -v "${CXX:-c++}" >/dev/null 2>&1; then
  printf 'int main() { return 0; }\n' >"$probe_dir/p.cpp"
  if "${CXX:-c++}" -fsanitize=address "$probe_dir/p.cpp" -o "$probe_dir/p" 2>/dev/null; then
    if ! ASAN_OPTIONS=detect_leaks=1 "$probe_dir/p" >/dev/null 2>&1; then
      echo "sanitize.sh: LeakSanitizer cannot run here (ptrace refused?); leak checks off" >&2
      detect_leaks=0
    fi
  fi
fi

# abort_on_error: a report ends the process by SIGABRT, which the tests (and
# CTest) see as a crash rather than an ordinary exit status.
# The runner's children are uninstrumented programs; only the runner and the
# test binaries carry the sanitizer runtime, so no option is needed for them.
export ASAN_OPTIONS="detect_leaks=${detect_leaks}:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-}"

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIMAR_TESTS=ON \
  -DTESSIMAR_SANITIZE=ON -DTESSIMAR_FUZZ=OFF >/dev/null
cmake --build "$build_dir" -j2
scripts/check-tests-built.sh "$build_dir"
ctest --test-dir "$build_dir" --output-on-failure --no-tests=error -j2 "$@"
