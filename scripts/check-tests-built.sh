#!/usr/bin/env bash
# Fails unless a build directory holds every test binary and CTest knows tests
# of every label, so that a build configured without tests (or with a test
# binary missing) can never pass as "nothing failed".
#
#   scripts/check-tests-built.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
status=0
for binary in unit_tests e2e_tests matrix_tests attack_tests; do
  if [ ! -x "$build_dir/tests/$binary" ]; then
    echo "check-tests-built.sh: missing test binary $build_dir/tests/$binary" >&2
    status=1
  fi
done
for label in unit e2e matrix attack; do
  count=$(ctest --test-dir "$build_dir" -N -L "^${label}\$" 2>/dev/null | sed -n 's/^Total Tests: //p')
  if [ -z "$count" ] || [ "$count" -eq 0 ]; then
    echo "check-tests-built.sh: no tests labelled $label in $build_dir" >&2
    status=1
  fi
done
exit "$status"
