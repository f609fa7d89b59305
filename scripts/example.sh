#!/usr/bin/env bash
# Installs what is missing, builds the runner in its own build directory
# (build-example, so that it never changes the options of the test build in
# build/), and runs one program through it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-example -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIMAR_TESTS=OFF \
  -DTESSIMAR_SANITIZE=OFF -DTESSIMAR_FUZZ=OFF >/dev/null
cmake --build build-example -j"$(nproc)" --target tessimar-exec blocknet >/dev/null
echo 'print("hi")' | build-example/tessimar-exec --lang python3
