#!/usr/bin/env bash
# Builds the libFuzzer targets (clang) in build-fuzz and runs each one.
# Fails when any target finds a crash, a leak, a timeout or a failed
# invariant.
#
#   scripts/fuzz.sh --fixed [target ...]
#       the same result on every run: each target replays its kept corpus
#       (fuzz/corpus/<target>/, every input that ever failed included) and
#       then makes a fixed number of inputs from a fixed seed, into a corpus
#       that starts empty each time. The test command runs this.
#   scripts/fuzz.sh [seconds-per-target] [target ...]
#       a random search for the given time (default 60), growing a corpus
#       per target under build-fuzz/corpus/ that is kept between runs.
#
# Crashing inputs are kept under build-fuzz/artifacts/<target>/; replay one
# with: build-fuzz/fuzz/<target> build-fuzz/artifacts/<target>/crash-...
# Copy each one into fuzz/corpus/<target>/ once it is mended, so that it
# stays a case of the fixed run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --fuzz

fixed=0
seconds=60
if [ "${1:-}" = --fixed ]; then
  fixed=1
  shift
elif [ $# -gt 0 ]; then
  seconds=$1
  shift
fi
# Inputs made per target in a fixed run, and the seed they come from.
fixed_runs=${FUZZ_FIXED_RUNS:-200000}
fixed_seed=${FUZZ_FIXED_SEED:-20261210}
all_targets=(fuzz_options fuzz_resolve fuzz_template fuzz_utf8 fuzz_capture fuzz_report fuzz_request)
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
  artifacts="$build_dir/artifacts/$target"
  kept="fuzz/corpus/$target"
  mkdir -p "$artifacts"
  extra=()
  dict="fuzz/${target#fuzz_}.dict"
  [ -f "$dict" ] && extra+=("-dict=$dict")
  case $target in
    fuzz_capture) extra+=(-max_len=12000) ;;   # above the small limits it picks
    *) extra+=(-max_len=4096) ;;
  esac
  if [ "$fixed" -eq 1 ]; then
    # New inputs go to a corpus of this run alone; the kept one is only read.
    corpus="$build_dir/fixed-corpus/$target"
    rm -rf "$corpus"
    mkdir -p "$corpus"
    extra+=(-seed="$fixed_seed" -runs="$fixed_runs" -reload=0 -use_cmp=0)
    echo "== $target: $fixed_runs inputs from seed $fixed_seed"
  else
    corpus="$build_dir/corpus/$target"
    mkdir -p "$corpus"
    extra+=(-max_total_time="$seconds")
    echo "== $target: ${seconds}s"
  fi
  # New inputs go to the first directory; the kept corpus is read after it.
  dirs=("$corpus")
  [ -d "$kept" ] && dirs+=("$kept")
  if "$build_dir/fuzz/$target" -timeout=60 -artifact_prefix="$artifacts/" -print_final_stats=1 \
      "${extra[@]}" "${dirs[@]}" \
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
