# Shared by the scripts: where things are, and how the build is made.
QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QV_DEFAULT_BUILD=${QV_DEFAULT_BUILD:-$QV_ROOT/build/win}

# Installs what a purpose needs (scripts/setup server|installers|tests;
# tests, everything, by default).
qv_setup() {
  bash "$QV_ROOT/scripts/setup" "${1:-tests}" >&2
}

# Debian packages a benchmark needs beyond a purpose of scripts/setup.
qv_install() {
  local p missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  local sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

# The unprivileged user the tests and benchmarks run PostgreSQL (and Wine,
# where read-only must hold) as; made when running as root.
qv_player() {
  if [ "$(id -u)" -eq 0 ] && ! id qvplayer >/dev/null 2>&1; then
    useradd --system --no-create-home --shell /usr/sbin/nologin qvplayer
  fi
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
