#!/usr/bin/env bash
# Installs the language runtimes that the catalogue rows start, as far as this
# host can have them, and prints one line per row saying what happened.
#
#   scripts/install-runtimes.sh [--best-effort]
#
# As root it installs what is missing:
#   - Debian packages with apt-get (--no-install-recommends);
#   - bun and deno from the npm registry into /opt/tessimar-runtimes/npm; both
#     packages ship their native executable, which is then linked into
#     /usr/local/bin (bun, deno), so that it is on the default search path that
#     the runner hands its children ("/usr/local/bin:/usr/bin:/bin") as well as
#     on any ordinary PATH;
#   - a `lua` command in /usr/local/bin when Debian's alternatives do not provide
#     one (the catalogue runs `lua`, the package installs `lua5.4`).
# As another user it installs nothing and prints the commands it would run.
#
# Running it again is cheap: present packages and working binaries are left as
# they are. Without --best-effort a failed download or a runtime that does not
# work afterwards makes the script exit 1 (after the table); with --best-effort
# it always exits 0 and the table says what happened.
set -uo pipefail

best_effort=0
for arg in "$@"; do
  case "$arg" in
    --best-effort) best_effort=1 ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) echo "install-runtimes.sh: unknown argument $arg" >&2; exit 2 ;;
  esac
done

npm_prefix=/opt/tessimar-runtimes/npm
link_dir=/usr/local/bin
started=$(date +%s)
failures=()

# Debian packages and the command each one must leave on the PATH.
apt_packages=(ruby php-cli lua5.4 zsh golang-go gawk erlang-base elixir r-base-core
              kotlin default-jdk-headless sqlite3 jq gfortran gcc g++ tcl nodejs)
declare -A apt_command=(
  [ruby]=ruby [php-cli]=php [lua5.4]=lua5.4 [zsh]=zsh [golang-go]=go [gawk]=gawk
  [erlang-base]=escript [elixir]=elixir [r-base-core]=Rscript [kotlin]=kotlinc
  [default-jdk-headless]=java [sqlite3]=sqlite3 [jq]=jq [gfortran]=gfortran
  [gcc]=gcc [g++]=g++ [tcl]=tclsh [nodejs]=node
)

# Catalogue rows in catalogue order: name, then the commands the row needs
# (first one is what the runner starts), or "-" for rows this host cannot have.
rows=(
  "python3:python3" "node:node" "bun:bun" "deno:deno" "typescript:deno" "ruby:ruby"
  "php:php" "perl:perl" "lua:lua" "tcl:tclsh" "r:Rscript" "elixir:elixir"
  "erlang:escript" "bash:bash" "zsh:zsh" "mojo:-" "swift:-" "c:gcc" "cpp:g++"
  "c++:g++" "rust:rustc" "go:go" "fortran:gfortran" "zig:-" "java:java"
  "kotlin:java,kotlinc" "csharp:-" "gleam:-" "haskell:-" "sqlite:sqlite3" "jq:jq"
  "awk:awk"
)
declare -A unavailable_reason=(
  [mojo]="no Debian or npm package ships mojo"
  [swift]="no swift toolchain package in this Debian release"
  [zig]="no zig package in this Debian release"
  [csharp]="dotnet is not packaged by Debian"
  [gleam]="gleam is not packaged by Debian"
  [haskell]="the row runs nix-shell -p ghc, which needs the nix binary cache (not reachable)"
)

have() { command -v "$1" >/dev/null 2>&1; }

# A command counts as present when it is on the PATH and, for the npm-installed
# ones, actually runs (a wrapper that would download on first use does not).
works() {
  case "$1" in
    bun|deno) have "$1" && "$1" --version >/dev/null 2>&1 ;;
    *) have "$1" ;;
  esac
}

declare -A before
for row in "${rows[@]}"; do
  IFS=, read -ra cmds <<<"${row#*:}"
  for c in "${cmds[@]}"; do [ "$c" = - ] || before[$c]=$(works "$c" && echo 1 || echo 0); done
done

# The native executable of an npm-installed bun or deno: where npm's bin link
# ends up once the postinstall step has replaced the JavaScript launcher, or,
# if that step did not run, inside the platform package (nested or hoisted).
native_executable() {
  local t=$1 cand platform
  cand=$(readlink -f "$npm_prefix/bin/$t" 2>/dev/null || true)
  if [ -n "$cand" ] && [ -f "$cand" ] && [ "$(head -c4 "$cand" | od -An -c | tr -d ' ')" = '177ELF' ]; then
    echo "$cand"; return
  fi
  case "$t" in
    bun) platform=@oven/bun-linux-x64/bin/bun ;;
    deno) platform=@deno/linux-x64-glibc/deno ;;
  esac
  for cand in "$npm_prefix/lib/node_modules/$t/node_modules/$platform" \
              "$npm_prefix/lib/node_modules/$platform"; do
    if [ -f "$cand" ]; then echo "$cand"; return; fi
  done
}

pkg_installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

missing_packages=()
for p in "${apt_packages[@]}"; do
  # nodejs may come from another repository (or be built by hand): a working
  # node is enough.
  if [ "$p" = nodejs ] && have node; then continue; fi
  pkg_installed "$p" || missing_packages+=("$p")
done
# The distribution's rustc only when no rustc is on the PATH (rustup's is fine).
have rustc || pkg_installed rustc || missing_packages+=(rustc)
# npm itself, needed for bun and deno (Debian's nodejs ships it separately).
have npm || missing_packages+=(npm)

npm_wanted=()
works bun || npm_wanted+=(bun)
works deno || npm_wanted+=(deno)

is_root=0
[ "$(id -u)" = 0 ] && is_root=1

apt_seconds=0
npm_seconds=0

if [ "$is_root" = 0 ]; then
  echo "Not running as root: nothing is installed. As root this script would run:"
  if [ ${#missing_packages[@]} -gt 0 ]; then
    echo "  apt-get update"
    echo "  apt-get install -y --no-install-recommends ${missing_packages[*]}"
  fi
  if [ ${#npm_wanted[@]} -gt 0 ]; then
    echo "  npm install -g --prefix $npm_prefix ${npm_wanted[*]}"
    for t in "${npm_wanted[@]}"; do echo "  ln -sfn <native $t executable> $link_dir/$t"; done
  fi
  have lua || echo "  ln -sfn \$(command -v lua5.4) $link_dir/lua   (when no lua alternative exists)"
  echo
else
  export DEBIAN_FRONTEND=noninteractive
  if [ ${#missing_packages[@]} -gt 0 ]; then
    t0=$(date +%s)
    echo "== apt-get install ${missing_packages[*]}"
    apt-get update -qq || echo "apt-get update failed; trying the lists already present" >&2
    if ! apt-get install -y -qq --no-install-recommends "${missing_packages[@]}" >/tmp/tessimar-apt.log 2>&1; then
      # One bad package must not keep the others out: retry them one by one.
      echo "apt-get install of the whole set failed (see /tmp/tessimar-apt.log); retrying one by one" >&2
      for p in "${missing_packages[@]}"; do
        if ! apt-get install -y -qq --no-install-recommends "$p" >>/tmp/tessimar-apt.log 2>&1; then
          failures+=("apt:$p")
          echo "  cannot install Debian package $p" >&2
        fi
      done
    fi
    apt_seconds=$(( $(date +%s) - t0 ))
  fi

  # Debian's lua5.4 registers /usr/bin/lua through the lua-interpreter
  # alternative; make sure a `lua` exists either way.
  if ! have lua && have lua5.4; then
    ln -sfn "$(command -v lua5.4)" "$link_dir/lua"
  fi

  if [ ${#npm_wanted[@]} -gt 0 ]; then
    if have npm; then
      t0=$(date +%s)
      echo "== npm install -g --prefix $npm_prefix ${npm_wanted[*]}"
      mkdir -p "$npm_prefix"
      # The packages' postinstall step puts the platform executable in place
      # of the JavaScript launcher; the executable itself comes from the
      # platform package (an optional dependency), so nothing is fetched
      # from outside the registry.
      if ! npm install -g --prefix "$npm_prefix" --no-fund --no-audit "${npm_wanted[@]}" \
          >/tmp/tessimar-npm.log 2>&1; then
        echo "npm install failed (see /tmp/tessimar-npm.log)" >&2
      fi
      npm_seconds=$(( $(date +%s) - t0 ))
    else
      echo "npm is not available: bun and deno cannot be installed" >&2
    fi
    for t in "${npm_wanted[@]}"; do
      exe=$(native_executable "$t")
      if [ -n "$exe" ] && "$exe" --version >/dev/null 2>&1; then
        ln -sfn "$exe" "$link_dir/$t"
      else
        failures+=("npm:$t")
        echo "  no working native $t executable after the npm install" >&2
      fi
    done
  fi
fi

# The table. Status per row: "already there" when every command the row needs
# was present before this run, "installed now" when it is present now, and
# otherwise "cannot be had here" (with the reason) or "missing".
printf '\n%-11s | %-18s | %s\n' row status detail
printf '%s\n' "------------+--------------------+---------------------------------------------"
for row in "${rows[@]}"; do
  name=${row%%:*}
  IFS=, read -ra cmds <<<"${row#*:}"
  if [ "${cmds[0]}" = - ]; then
    printf '%-11s | %-18s | %s\n' "$name" "cannot be had here" "${unavailable_reason[$name]}"
    continue
  fi
  all_before=1; all_now=1; missing=""
  for c in "${cmds[@]}"; do
    [ "${before[$c]}" = 1 ] || all_before=0
    if ! works "$c"; then all_now=0; missing+="$c "; fi
  done
  where=$(command -v "${cmds[0]}" 2>/dev/null || true)
  if [ "$all_before" = 1 ]; then
    printf '%-11s | %-18s | %s\n' "$name" "already there" "$where"
  elif [ "$all_now" = 1 ]; then
    printf '%-11s | %-18s | %s\n' "$name" "installed now" "$where"
  elif [ "$is_root" = 0 ]; then
    printf '%-11s | %-18s | %s\n' "$name" "missing" "needs: ${missing% } (run as root)"
  else
    printf '%-11s | %-18s | %s\n' "$name" "cannot be had here" "install failed: ${missing% }"
    failures+=("row:$name")
  fi
done

total=$(( $(date +%s) - started ))
echo
echo "apt-get: ${apt_seconds}s, npm: ${npm_seconds}s, total: ${total}s"

if [ ${#failures[@]} -gt 0 ]; then
  echo "failed: ${failures[*]}"
  [ "$best_effort" = 1 ] || exit 1
fi
exit 0
