#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   1. the language runtimes, best effort and only as root (a runtime that
#      cannot be had makes the language matrix skip its rows, never fail);
#   2. the whole CTest suite (unit, end-to-end, language matrix, attacks);
#   3. scripts/slurm-batch.sh on a throwaway one-node Slurm cluster (as root;
#      skips and says why otherwise);
#   4. the installed layout and the Debian package (scripts/package-check.sh);
#   5. every libFuzzer target on its kept corpus and a fixed-seed run (the
#      same result every time; scripts/fuzz.sh 600 searches at random);
#   6. the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer
#      (last, so that the output ends with CTest's summary).
# Extra arguments go to the first ctest run (e.g. "-L unit").
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
step() { echo; echo "== $* ($(( $(date +%s) - started ))s)"; }

scripts/setup.sh --fuzz
if [ "$(id -u)" -eq 0 ]; then
  step "language runtimes"
  scripts/install-runtimes.sh --best-effort || echo "runtime installer failed; missing rows are skipped" >&2
fi

step "build and test"
# Every option the build relies on is named, so that a directory configured
# otherwise before (for example without tests) is set right again.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIMAR_TESTS=ON \
  -DTESSIMAR_SANITIZE=OFF -DTESSIMAR_FUZZ=OFF >/dev/null
cmake --build build -j"$(nproc)"
scripts/check-tests-built.sh build
ctest --test-dir build --output-on-failure --no-tests=error -j2 "$@"

step "install and package"
scripts/package-check.sh build

step "batch recipe on a one-node Slurm cluster"
tests/slurm/run.sh build/tessimar-exec

step "fuzz, fixed seeds and the kept corpus"
scripts/fuzz.sh --fixed

step "sanitizer build and test"
scripts/sanitize.sh build-asan
