# Shared by the scripts: where things are, and how the build is made.
QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QV_DEFAULT_BUILD=${QV_DEFAULT_BUILD:-$QV_ROOT/build/win}

# Installs what a purpose needs (scripts/setup server|installers|tests;
# tests, everything, by default).
qv_setup() {
  bash "$QV_ROOT/scripts/setup" "${1:-tests}" >&2
}

# Configures and builds the Windows tree in $1 (default build/win).
qv_build_win() {
  local dir=${1:-$QV_DEFAULT_BUILD}
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$QV_ROOT" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$QV_ROOT/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=MinSizeRel >&2 || return 1
  fi
  cmake --build "$dir" >&2
}

# The native release tree in $1 (default build/host): the statistics server
# and the host tools, without sanitizers. Extra arguments are targets.
QV_HOST_BUILD=${QV_HOST_BUILD:-$QV_ROOT/build/host}
qv_build_host() {
  local dir=${1:-$QV_HOST_BUILD}
  shift || true
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$QV_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >&2 || return 1
  fi
  if [ $# -gt 0 ]; then cmake --build "$dir" --target "$@" >&2; else cmake --build "$dir" >&2; fi
}
