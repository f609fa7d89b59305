#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages) when run as
# root; otherwise names what is missing.
#
#   scripts/setup.sh           the build and the test suite
#   scripts/setup.sh --fuzz    also clang and its libFuzzer/sanitizer runtimes
set -euo pipefail
# scdoc makes the manual page; python3-jsonschema checks the output schema;
# dpkg-dev (dpkg-shlibdeps), file and groff-base serve the package check.
# yaml-cpp reads problem packages; Boost.Beast (header-only) serves HTTP.
# libssl-dev: libcrypto's SHA-256 for the build cache.
needed=(cmake g++ make nlohmann-json3-dev libgtest-dev python3 util-linux
        scdoc python3-jsonschema dpkg-dev file gzip groff-base
        libyaml-cpp-dev libboost-dev libssl-dev)
if [ "${1:-}" = --fuzz ]; then needed+=(clang libclang-rt-14-dev); fi
missing=()
for pkg in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -eq 0 ]; then exit 0; fi
if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
else
  echo "missing Debian packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
