#!/usr/bin/env bash
# Installs what is missing, builds, and runs one program through the runner.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIMAR_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target tessimar-exec blocknet >/dev/null
echo 'print("hi")' | build/tessimar-exec --lang python3
