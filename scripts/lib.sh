# Shared by the scripts: where things are, and how the build is made.
QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QV_DEFAULT_BUILD=${QV_DEFAULT_BUILD:-$QV_ROOT/build/win}

qv_setup() {
  bash "$QV_ROOT/scripts/setup" >&2
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
