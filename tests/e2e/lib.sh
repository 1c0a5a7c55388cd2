# Helpers for the end-to-end tests. ctest passes QV_SOURCE_DIR, QV_BUILD_DIR,
# QV_WINE_RUN, QV_SAMPLE_INSTALLER, QV_QVSTAT and QV_QVPACK.
set -euo pipefail

GAME_NAME=星辰物语
SAMPLE=$QV_SOURCE_DIR/samples/game
CLIENT=$QV_BUILD_DIR/sample_client.exe
MAKE="env QV_BUILD_DIR=$QV_BUILD_DIR bash $QV_SOURCE_DIR/scripts/make-installer"
T=$(mktemp -d "$QV_BUILD_DIR/e2e-$(basename "$0" .sh)-XXXXXX")
PREFIX=$T/prefix
export WINEPREFIX=$PREFIX
failures=0

cleanup() {
  if [ -d "$PREFIX" ]; then
    WINEPREFIX=$PREFIX wineserver -k 2>/dev/null || true
    WINEPREFIX=$PREFIX wineserver -w 2>/dev/null || true
  fi
  if [ "$failures" -eq 0 ]; then rm -rf -- "${T:?}"; else echo "kept for inspection: $T"; fi
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
finish() {
  if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
  echo "all checks passed"
}

# A booted prefix is copied for each test: booting one takes seconds. Its
# half a gigabyte of system libraries, which nothing writes to, are hard
# links to the template's; everything else is a copy of the test's own.
new_prefix() {
  local template=$QV_BUILD_DIR/_wine/template
  mkdir -p "$(dirname "$template")"
  (
    flock 8
    if [ ! -e "$template/.qv-ready" ]; then
      WINEPREFIX=$template "$QV_WINE_RUN" cmd /c exit 0 </dev/null >/dev/null 2>&1
    fi
    WINEPREFIX=$template wineserver -k 2>/dev/null || true
    WINEPREFIX=$template wineserver -w 2>/dev/null || true
    cp -al "$template" "$PREFIX"
    (cd "$template" && find . -type f ! -iname '*.dll' ! -iname '*.exe' ! -iname '*.drv' ! -iname '*.sys' \
       ! -iname '*.ocx' ! -iname '*.acm' ! -iname '*.cpl' ! -iname '*.tlb' ! -iname '*.msstyles' ! -iname '*.nls' \
       ! -iname '*.vxd' -print0) |
      (cd "$template" && xargs -0 -I{} cp -a --remove-destination {} "$PREFIX/{}")
  ) 8>"$template.copy-lock"
}

winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }
wine_run() { "$QV_WINE_RUN" "$@" </dev/null; }

appdata() {
  local d
  for d in "$PREFIX"/drive_c/users/*/AppData/Roaming; do
    case $d in */Public/*) continue ;; esac
    echo "$d"; return 0
  done
  return 1
}
install_dir() { local a; a=$(appdata) || return 1; echo "$a/$GAME_NAME"; }

# rm -rf only ever of something inside this test's own folder.
remove_tree() {
  local path=${1:?remove_tree: no path}
  case $path in
    "$T"/?*) rm -rf -- "$path" ;;
    *) echo "refusing to remove '$path': not inside $T"; exit 1 ;;
  esac
}
# Everything inside a folder, the folder itself kept.
empty_folder() {
  local dir=${1:?empty_folder: no folder} entry
  for entry in "$dir"/* "$dir"/.[!.]*; do [ -e "$entry" ] && remove_tree "$entry"; done
  return 0
}

# Runs an installer and returns its exit code (which must be 0).
run_installer() {
  local exe=$1; shift
  local rc=0
  timeout 120 "$QV_WINE_RUN" "$exe" "$@" </dev/null >"$T/installer.out" 2>&1 || rc=$?
  return $rc
}

# The number of lines the sample client has logged, after waiting up to
# WAIT seconds for at least EXPECT of them (the client starts detached).
client_starts() {
  local log=$1 expect=${2:-1} wait=${3:-15} n=0 i
  for ((i = 0; i < wait * 10; i++)); do
    n=$( [ -f "$log" ] && grep -c '^start' "$log" || echo 0)
    [ "$n" -ge "$expect" ] && break
    sleep 0.1
  done
  sleep 0.5
  [ -f "$log" ] && grep -c '^start' "$log" || echo 0
}

# The tree below a folder as Windows reports it, one sorted line per entry:
# path, type, size, attributes, last access and last write time. Folders get
# no times from the archive, and Wine keeps no creation time of its own (it
# reports the write time), so those are left out.
tree_stat() {
  wine_run "$QV_QVSTAT" "$(winpath "$1")" | tr -d '\r' | awk -F'\t' '{
      if ($2 == "d") { $6 = "-"; $7 = "-" }
      printf "%s\t%s\t%s\t%s\t%s\t%s\n", $1, $2, $3, $4, $6, $7 }' | sort
}

# What the archive says the same tree must look like, in tree_stat's format.
archive_stat() {
  "$QV_QVPACK" list --tsv "$1" | awk -F'\t' '$3 != "\\" {
      type = ($2 == 1) ? "d" : "f"; attr = ($2 == 1) ? "0x10" : $6
      a = $8; w = $9; if (type == "d") { a = "-"; w = "-" }
      printf "%s\t%s\t%s\t%s\t%s\t%s\n", $3, type, $5, attr, a, w }' | sort
}

user_dir() { dirname "$(dirname "$(appdata)")"; }
desktop_dir() { echo "$(user_dir)/Desktop"; }
programs_dir() { echo "$(appdata)/Microsoft/Windows/Start Menu/Programs"; }
# The Windows path of the installed client.
client_winpath() { echo "C:\\users\\$(basename "$(user_dir)")\\AppData\\Roaming\\$GAME_NAME\\$GAME_NAME.exe"; }
# A shortcut as the shell reads it: target=, arguments=, workdir=, icon=, description=
read_link() { wine_run "$QV_QVLNK" "$(winpath "$1")" | tr -d '\r'; }

# A listener on 127.0.0.1:80 recording into $T/requests; stopped on exit.
start_listener() {  # start_listener [DEFAULT_MODE]
  remove_tree "$T/requests"; remove_tree "$T/listener.ready"
  python3 "$QV_SOURCE_DIR/tests/http/listener.py" --port 80 --record "$T/requests" --default "${1:-ok}" \
    --ready "$T/listener.ready" --lifetime 280 &
  LISTENER=$!
  local i
  for ((i = 0; i < 100; i++)); do [ -e "$T/listener.ready" ] && return 0; sleep 0.05; done
  echo "listener did not start"; return 1
}
stop_listener() {
  if [ -n "${LISTENER:-}" ]; then kill "$LISTENER" 2>/dev/null || true; wait "$LISTENER" 2>/dev/null || true; fi
  LISTENER=
}
requests() { ls "$T/requests" 2>/dev/null | wc -l; }

# For the update tests: a first installation in $D, and stand-in clients.
update_setup() {
  check "first install exits 0" run_installer "$QV_SAMPLE_INSTALLER"
  D=$(install_dir)
  client_starts "$D/starts.log" 1 >/dev/null
  mkdir -p "$T/standin"
  cp "$QV_QVHOLD" "$T/standin/$GAME_NAME.exe"
}
standin() { "$QV_WINE_RUN" "$T/standin/$GAME_NAME.exe" - "$1" </dev/null >/dev/null 2>&1 & }
starts() { grep -c '^start' "$D/starts.log"; }
# Waits until a process of that image is in Wine's process list.
await_image() {
  local i
  for ((i = 0; i < 100; i++)); do pgrep -f "standin/$1" >/dev/null && return 0; sleep 0.1; done
  return 1
}
mark() { echo tampered >"$D/res/title.png"; rm -f "$(desktop_dir)/$GAME_NAME.lnk"; }
restored() { cmp -s "$QV_SOURCE_DIR/samples/game/res/title.png" "$D/res/title.png"; }
