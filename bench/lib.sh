# Sourced by the benchmarks: the build directory, the tools they need, and
# the runner built there when it is missing.

bench_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$bench_dir/.." && pwd)"

# The build directory from the first argument (default build/), absolute.
bench_build_dir() {
    local b="${1:-$repo/build}"
    case "$b" in /*) ;; *) b="$PWD/$b" ;; esac
    printf '%s\n' "$b"
}

# Each tool on PATH; as root a missing one is installed from Debian's
# package of the same name, otherwise the benchmark stops and says so.
bench_need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null && continue
        if [ "$(id -u)" -eq 0 ]; then
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$tool" >/dev/null
        else
            echo "$tool is needed (apt-get install $tool)" >&2
            exit 1
        fi
    done
}

# tessimar-exec in the build directory $1, and any further targets, built
# when the runner is missing.
bench_runner() {
    local b="$1"
    shift
    [ -x "$b/tessimar-exec" ] && return 0
    echo "building tessimar-exec in $b" >&2
    cmake -S "$repo" -B "$b" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$b" -j2 --target tessimar-exec "$@" >/dev/null
}
