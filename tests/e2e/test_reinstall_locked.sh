#!/usr/bin/env bash
# A reinstall over files that the first run made read-only, hidden or
# system. Wine running as root ignores read-only, so this runs the
# installer as an unprivileged user with a prefix of that user's own.
source "$(dirname "$0")/lib.sh"
PLAYER=${QV_TEST_USER:-qvplayer}
if [ "$(id -u)" -ne 0 ] || ! id "$PLAYER" >/dev/null 2>&1; then
  echo "needs root and the user $PLAYER (scripts/setup creates it)"
  exit 1
fi
PATCH="python3 $QV_SOURCE_DIR/tests/e2e/patch_archive.py"

# Entries 1 and 2 (bk.png, game.ico): read-only, and read-only+hidden+system.
$PATCH "$QV_BUILD_DIR/sample-res.qvz" "$T/a1.qvz" attributes 1 0x21
$PATCH "$T/a1.qvz" "$T/locked.qvz" attributes 2 0x27
$MAKE --settings "$SAMPLE/setting.ini" \
  --client "$CLIENT" --archive "$T/locked.qvz" --stats-host 127.0.0.1 -o "$T/locked.exe" 2>/dev/null

chmod 755 "$T"
mkdir -p "$T/home"
chown -R "$PLAYER:" "$T/home"
PREFIX=$T/home/prefix
as_player() {
  setpriv --reuid="$PLAYER" --regid="$(id -g "$PLAYER")" --clear-groups \
    env HOME="$T/home" USER="$PLAYER" WINEPREFIX="$PREFIX" TMPDIR="$T/home" "$@"
}
run_as_player() {
  local rc=0
  timeout 180 setpriv --reuid="$PLAYER" --regid="$(id -g "$PLAYER")" --clear-groups \
    env HOME="$T/home" USER="$PLAYER" WINEPREFIX="$PREFIX" TMPDIR="$T/home" \
    "$QV_WINE_RUN" "$@" </dev/null >>"$T/installer.out" 2>&1 || rc=$?
  return $rc
}
cleanup_player() {
  as_player wineserver -k 2>/dev/null || true
  as_player wineserver -w 2>/dev/null || true
}
trap 'cleanup_player; cleanup' EXIT

check "first run as $PLAYER exits 0" run_as_player "$T/locked.exe"
D=$(install_dir)
check "first run installed" test -f "$D/$GAME_NAME.exe"
stat_line() { as_player "$QV_WINE_RUN" "$QV_QVSTAT" "$(winpath "$D/res")" </dev/null | tr -d '\r' | awk -F'\t' -v n="$1" '$1 == n { print $4 }'; }
check "bk.png is read-only after the first run" test "$(stat_line bk.png)" = 0x21
# Wine's CreateFileW keeps read-only but drops hidden and system (Windows
# keeps all three), so those two are set the way a user would. Wine keeps
# them in an extended attribute, which a read-only file cannot take, and
# its attrib takes one flag per call.
attrib() { as_player "$QV_WINE_RUN" attrib "$1" "$(winpath "$2")" </dev/null >/dev/null 2>&1; }
for flag in -r +h +s +r; do attrib $flag "$D/res/game.ico"; attrib $flag "$D/setting.ini"; done
attrs=$(stat_line game.ico)
check "game.ico is read-only, hidden and system ($attrs)" test "$attrs" = 0x27
check "the read-only file really is protected" bash -c "! setpriv --reuid=$PLAYER --regid=$(id -g "$PLAYER") --clear-groups sh -c 'echo x >> \"$D/res/bk.png\"' 2>/dev/null"

echo damaged >"$D/res/title.png"
check "second run as $PLAYER exits 0" run_as_player "$T/locked.exe"
check "second run finished the extraction" test ! -e "$D/res.zip" -a ! -e "$D/temp.exe"
check "second run restored the files" diff -r "$SAMPLE/res" "$D/res"
n=$(client_starts "$D/starts.log" 2)
check "client started after each run (got $n)" test "$n" -eq 2
finish
