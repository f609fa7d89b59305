#!/usr/bin/env bash
# Checks the installed layout and the Debian package of a build:
#   1. `cmake --install` into a temporary prefix: the layout, the manual page
#      (groff without warnings), and a program run through P/bin/tessimar-exec;
#   2. `cpack -G DEB`: Depends computed, `dpkg-deb -x` into a temporary
#      directory, the same checks through the unpacked runner; lintian when it
#      is installed (it is not required).
#   3. as root, `dpkg --install` on this host: the maintainer scripts list the
#      first 64 run ids of --contain as users (an id this check takes first
#      under another name is skipped, left as it is and reported), a second
#      configure changes nothing, `dpkg --remove` keeps them and
#      `dpkg --purge` removes exactly those. The user database ends as it
#      began. Skipped where the package or one of its files is already on
#      the host.
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
# What the run users' check put on the host, taken back however it ends.
installed_here=no
held_here=no
cleanup() {
  [ "$installed_here" = no ] || dpkg --purge tessimar-exec >/dev/null 2>&1 || true
  [ "$held_here" = no ] || userdel "$held_name" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
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
  [ -f "$root/lib/systemd/system/tessimar-exec.service" ] || fail "$what: no lib/systemd/system/tessimar-exec.service"
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
  echo "$what: layout, systemd unit, manual page, a python3 run, --no-net, --capabilities and --version checked"
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
dpkg-deb -f "$deb" Depends | grep -qw 'passwd' || fail "Depends does not name passwd (useradd, userdel)"
dpkg-deb -c "$deb" | awk '{print $1, $6}' | grep -v '^d' | grep -q 'usr/share/man/man1/tessimar-exec.1.gz' \
  || fail "the package has no manual page"
dpkg-deb -x "$deb" "$work/unpacked"
check_tree "$work/unpacked/usr" "unpacked package"

if command -v lintian >/dev/null 2>&1; then
  if lintian --fail-on error,warning "$deb"; then echo "lintian: clean"; else fail "lintian"; fi
else
  echo "lintian is not installed: skipped"
fi

echo "== dpkg --install, --remove, --purge: the run users"
first_id=60578
last_id=60641
held_id=60600
held_name=tessimar-check-held
record=/var/lib/tessimar-exec/run-users

# dpkg with its output in $work/dpkg.out and .err, waiting while another
# package manager holds the lock.
dpkg_run() {
  local tries=0
  until dpkg "$@" >"$work/dpkg.out" 2>"$work/dpkg.err"; do
    grep -q 'lock' "$work/dpkg.err" && [ "$tries" -lt 120 ] || return 1
    tries=$((tries + 1))
    sleep 1
  done
}

# The user database, sorted: the check leaves it as it found it.
accounts() { cat /etc/passwd /etc/group /etc/shadow /etc/gshadow 2>/dev/null | sort; }

# Whether id $1 or its name tessimar-$1 is taken as a user or a group.
id_taken() {
  getent passwd "$1" >/dev/null || getent group "$1" >/dev/null ||
    getent passwd "tessimar-$1" >/dev/null || getent group "tessimar-$1" >/dev/null
}

# Whether the run users of `free` are all listed as the package adds them.
all_listed() {
  local id
  for id in $free; do
    [ "$(getent passwd "$id")" = "tessimar-$id:x:$id:$id::/nonexistent:/usr/sbin/nologin" ] || return 1
    [ "$(getent group "$id")" = "tessimar-$id:x:$id:" ] || return 1
  done
}

check_run_users() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "run users: not root, skipped"
    return
  fi
  if dpkg-query -W -f '${db:Status-Status}' tessimar-exec 2>/dev/null | grep -qv '^not-installed$'; then
    echo "run users: tessimar-exec is installed on this host, skipped (the check would replace and purge it)"
    return
  fi
  local f
  for f in $(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}') /var/lib/tessimar-exec; do
    if [ -e "$f" ] || [ -L "$f" ]; then
      echo "run users: $f is already on this host, skipped (the check would replace and remove it)"
      return
    fi
  done
  if id_taken "$held_id" || getent passwd "$held_name" >/dev/null; then
    echo "run users: id $held_id or the name $held_name is taken on this host, skipped"
    return
  fi

  local before id listed held_line skips
  before=$(accounts)
  useradd --system --no-user-group --gid nogroup --uid "$held_id" -K SYS_UID_MAX="$last_id" \
    --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$held_name"
  held_here=yes
  held_line=$(getent passwd "$held_id")
  # The ids the package should add: those nothing on the host holds.
  free=
  skips=0
  for id in $(seq "$first_id" "$last_id"); do
    if id_taken "$id"; then skips=$((skips + 1)); else free="$free $id"; fi
  done

  installed_here=yes
  dpkg_run --install "$deb" || fail "dpkg --install: $(cat "$work/dpkg.err")"
  all_listed || fail "after install, not every free id of $first_id-$last_id is listed as tessimar-ID"
  [ "$(getent passwd "$held_id")" = "$held_line" ] || fail "after install, id $held_id changed: $(getent passwd "$held_id")"
  grep -q "skipped user id $held_id: user id $held_id belongs to $held_name" "$work/dpkg.err" \
    || fail "install did not report id $held_id as taken: $(cat "$work/dpkg.err")"
  [ "$(grep -c 'skipped user id' "$work/dpkg.err")" = "$skips" ] \
    || fail "install reported $(grep -c 'skipped user id' "$work/dpkg.err") skipped ids, $skips were taken"
  listed=$(for id in $free; do echo "$id tessimar-$id"; done)
  [ "$(cat "$record" 2>/dev/null)" = "$listed" ] || fail "$record does not list exactly the added users"
  echo "run users: install listed $(echo "$free" | wc -w) ids; reported: $(grep 'skipped user id' "$work/dpkg.err" | tr '\n' ' ')"

  local after_install
  after_install=$(accounts)
  /var/lib/dpkg/info/tessimar-exec.postinst configure 2>"$work/reconfigure.err" || fail "a second configure failed"
  [ "$(accounts)" = "$after_install" ] && [ "$(cat "$record")" = "$listed" ] \
    || fail "a second configure changed the user database or the record"
  dpkg_run --remove tessimar-exec || fail "dpkg --remove: $(cat "$work/dpkg.err")"
  [ "$(accounts)" = "$after_install" ] || fail "dpkg --remove changed the user database"
  dpkg_run --purge tessimar-exec || fail "dpkg --purge: $(cat "$work/dpkg.err")"
  installed_here=no
  for id in $free; do
    if getent passwd "$id" >/dev/null || getent group "$id" >/dev/null; then fail "after purge, id $id is still listed"; fi
  done
  [ "$(getent passwd "$held_id")" = "$held_line" ] || fail "purge touched $held_name"
  [ ! -e /var/lib/tessimar-exec ] || fail "purge left /var/lib/tessimar-exec"
  userdel "$held_name"
  held_here=no
  [ "$(accounts)" = "$before" ] || fail "the user database differs from before the check"
  echo "run users: a second configure and dpkg --remove kept them, dpkg --purge removed exactly them"
}
check_run_users

if [ "$failures" -gt 0 ]; then
  echo "package-check.sh: $failures failure(s)" >&2
  exit 1
fi
echo "package-check.sh: install and package checked"
