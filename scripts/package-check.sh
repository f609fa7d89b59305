#!/usr/bin/env bash
# Checks the installed layout and the Debian package of a build:
#   1. `cmake --install` into a temporary prefix: the layout, the manual page
#      (groff without warnings), and a program run through P/bin/tessimar-exec;
#   2. `cpack -G DEB`: Depends computed, `dpkg-deb -x` into a temporary
#      directory, the same checks through the unpacked runner; lintian when it
#      is installed (it is not required).
# Both runners must answer --capabilities as the build tree's runner does, and
# find blocknet.so beside their own executable through the bin/ link.
#
#   scripts/package-check.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
build_dir=$(cd "$build_dir" && pwd)
python=/usr/bin/python3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "package-check.sh: $*" >&2; failures=$((failures + 1)); }

cmake --build "$build_dir" -j2 --target tessimar-exec blocknet man_page package_changelog >/dev/null
capabilities=$("$build_dir/tessimar-exec" --capabilities)

# A field of a one-line JSON object.
field() { "$python" -c 'import json,sys; print(json.loads(sys.stdin.read())[sys.argv[1]])' "$1"; }

# check_tree ROOT: ROOT/bin, ROOT/libexec and ROOT/share as installed.
check_tree() {
  local root=$1 what=$2 runner=$1/bin/tessimar-exec out
  [ -L "$runner" ] || fail "$what: bin/tessimar-exec is not a link"
  [ "$(readlink "$runner")" = ../libexec/tessimar-exec/tessimar-exec ] \
    || fail "$what: bin/tessimar-exec links to $(readlink "$runner")"
  [ -x "$root/libexec/tessimar-exec/tessimar-exec" ] || fail "$what: no libexec/tessimar-exec/tessimar-exec"
  [ -f "$root/libexec/tessimar-exec/blocknet.so" ] || fail "$what: no libexec/tessimar-exec/blocknet.so"
  if find "$root/bin" -name '*.so*' | grep -q .; then fail "$what: a shared library in bin/"; fi
  for f in README.md tessimar-exec.schema.json; do
    [ -f "$root/share/doc/tessimar-exec/$f" ] || fail "$what: no share/doc/tessimar-exec/$f"
  done
  local page=$root/share/man/man1/tessimar-exec.1.gz
  if [ -f "$page" ]; then
    out=$(zcat "$page" | groff -ww -z -man 2>&1) || fail "$what: groff failed on the manual page"
    [ -z "$out" ] || fail "$what: groff warns on the manual page: $out"
  else
    fail "$what: no share/man/man1/tessimar-exec.1.gz"
  fi

  out=$(echo 'print("hi")' | env -i PATH=/usr/local/bin:/usr/bin:/bin "$runner" --lang python3)
  [ "$(field verdict <<<"$out")" = OK ] && [ "$(field stdout <<<"$out")" = hi ] \
    || fail "$what: python3 run gave $out"
  # With --no-net the preload library is named to the child: the one beside
  # the resolved executable, not beside the link.
  out=$(echo 'printf %s "$LD_PRELOAD"' | env -i PATH=/usr/local/bin:/usr/bin:/bin "$runner" --lang bash --no-net)
  [ "$(field stdout <<<"$out")" = "$(cd "$root/libexec/tessimar-exec" && pwd -P)/blocknet.so" ] \
    || fail "$what: --no-net run gave $out"
  [ "$("$runner" --capabilities)" = "$capabilities" ] || fail "$what: --capabilities differs from the build tree's"
  "$runner" --version | grep -qx 'tessimar-exec [0-9][0-9.]*' || fail "$what: --version"
  echo "$what: layout, manual page, a python3 run, --no-net, --capabilities and --version checked"
}

echo "== cmake --install"
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
check_tree "$work/prefix" "installed tree"

echo "== cpack -G DEB"
rm -f "$build_dir"/tessimar-exec_*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
deb=$(ls "$build_dir"/tessimar-exec_*.deb)
echo "$(basename "$deb"): Depends: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "Depends does not name libc6"
dpkg-deb -c "$deb" | awk '{print $1, $6}' | grep -v '^d' | grep -q 'usr/share/man/man1/tessimar-exec.1.gz' \
  || fail "the package has no manual page"
dpkg-deb -x "$deb" "$work/unpacked"
check_tree "$work/unpacked/usr" "unpacked package"

if command -v lintian >/dev/null 2>&1; then
  if lintian --fail-on error,warning "$deb"; then echo "lintian: clean"; else fail "lintian"; fi
else
  echo "lintian is not installed: skipped"
fi

if [ "$failures" -gt 0 ]; then
  echo "package-check.sh: $failures failure(s)" >&2
  exit 1
fi
echo "package-check.sh: install and package checked"
