#!/usr/bin/env bash
# Builds the libFuzzer targets (clang) in build-fuzz and runs each one for the
# given number of seconds, keeping a corpus per target. Fails when any target
# finds a crash, a leak, a timeout or a failed invariant.
#
#   scripts/fuzz.sh [seconds-per-target] [target ...]
#
# Crashing inputs are kept under build-fuzz/artifacts/<target>/; replay one
# with: build-fuzz/fuzz/<target> build-fuzz/artifacts/<target>/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --fuzz

seconds=${1:-60}
shift || true
all_targets=(fuzz_options fuzz_resolve fuzz_template fuzz_utf8 fuzz_capture fuzz_report)
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all_targets[@]}"); fi

build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
cc=${CC:-}
cxx=${CXX:-}
if [ -z "$cxx" ]; then
  for candidate in clang++-14 clang++; do
    if command -v "$candidate" >/dev/null 2>&1; then cxx=$candidate; break; fi
  done
fi
if [ -z "$cc" ]; then
  for candidate in clang-14 clang; do
    if command -v "$candidate" >/dev/null 2>&1; then cc=$candidate; break; fi
  done
fi
if [ -z "$cxx" ] || [ -z "$cc" ]; then
  echo "fuzz.sh: clang is needed (apt-get install clang)" >&2
  exit 1
fi

CC=$cc CXX=$cxx cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSIMAR_FUZZ=ON -DTESSIMAR_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j2 --target "${targets[@]}"

# LeakSanitizer needs ptrace; where it is refused, leak checks are off.
detect_leaks=1
if ! ASAN_OPTIONS=detect_leaks=1 "$build_dir/fuzz/${targets[0]}" -runs=0 >/dev/null 2>&1; then
  echo "fuzz.sh: LeakSanitizer cannot run here; leak checks off" >&2
  detect_leaks=0
fi
export ASAN_OPTIONS="detect_leaks=${detect_leaks}:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

failed=()
for target in "${targets[@]}"; do
  corpus="$build_dir/corpus/$target"
  artifacts="$build_dir/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  extra=()
  dict="fuzz/${target#fuzz_}.dict"
  [ -f "$dict" ] && extra+=("-dict=$dict")
  case $target in
    fuzz_capture) extra+=(-max_len=12000) ;;   # above the small limits it picks
    *) extra+=(-max_len=4096) ;;
  esac
  echo "== $target: ${seconds}s"
  if "$build_dir/fuzz/$target" "$corpus" -max_total_time="$seconds" -timeout=60 \
      -artifact_prefix="$artifacts/" -print_final_stats=1 "${extra[@]}" \
      >"$build_dir/$target.log" 2>&1; then
    grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$build_dir/$target.log" || true
  else
    echo "!! $target failed; log: $build_dir/$target.log" >&2
    tail -n 40 "$build_dir/$target.log" >&2
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: failures in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz.sh: no crashes"
