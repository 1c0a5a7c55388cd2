#!/usr/bin/env bash
# A scanner opens the fresh temp.exe with read sharing only during a
# reinstall: a working client stays in place and the shortcuts point at it;
# a later run, with nothing in the way, puts the new client in place. A
# reader holding the installed settings with delete sharing (so that a
# delete waits for it) during a reinstall: the new settings are in place
# after it lets go.
source "$(dirname "$0")/lib.sh"
new_prefix
check "first installation" run_installer "$QV_SAMPLE_INSTALLER"
D=$(install_dir)
client_starts "$D/starts.log" 1 >/dev/null

# The new version: another client, and an archive large enough that the
# scanner gets to temp.exe before the installer renames it.
cp "$QV_BUILD_DIR/sample_client.exe" "$T/new-client.exe"
printf 'NEW-CLIENT' >>"$T/new-client.exe"
mkdir -p "$T/res"
cp -r "$SAMPLE/res/." "$T/res/"
head -c $((48 * 1024 * 1024)) /dev/urandom >"$T/res/level.dat"
$MAKE --settings "$SAMPLE/setting.ini" \
  --client "$T/new-client.exe" --res "$T/res" --stats-host 127.0.0.1 -o "$T/new.exe" 2>/dev/null

"$QV_WINE_RUN" "$QV_QVHOLD" "$(winpath "$D/temp.exe")" 12 --wait </dev/null >"$T/scanner.out" 2>&1 &
scanner=$!
before=$(grep -c '^start' "$D/starts.log")
check "reinstall under the scanner exits 0" run_installer "$T/new.exe"
check "the scanner held temp.exe during the run" grep -q held "$T/scanner.out"
check "a working client is in place: the old one" cmp "$QV_BUILD_DIR/sample_client.exe" "$D/$GAME_NAME.exe"
target=$(read_link "$(desktop_dir)/$GAME_NAME.lnk" | sed -n 's/^target=//p')
check "the shortcut's target is that client ($target)" test "$target" = "$(client_winpath)"
n=$(client_starts "$D/starts.log" $((before + 1)))
check "the client was started ($before -> $n)" test "$n" -eq $((before + 1))
check "the new resources are in place" cmp "$T/res/level.dat" "$D/res/level.dat"
wait $scanner || true

check "a later run exits 0" run_installer "$T/new.exe"
check "  and puts the new client in place" cmp "$T/new-client.exe" "$D/$GAME_NAME.exe"
check "  with no temp.exe left" test ! -e "$D/temp.exe"

sed 's/^version=1.0.0.0/version=2.0.0.0/' "$SAMPLE/setting.ini" >"$T/setting2.ini"
$MAKE --settings "$T/setting2.ini" --client "$T/new-client.exe" --res "$SAMPLE/res" --stats-host 127.0.0.1 \
  -o "$T/v2.exe" 2>/dev/null
"$QV_WINE_RUN" "$QV_QVHOLD" "$(winpath "$D/setting.ini")" 4 --share-all </dev/null >"$T/reader.out" 2>&1 &
reader=$!
for _ in $(seq 500); do grep -q held "$T/reader.out" 2>/dev/null && break; sleep 0.01; done
check "a reinstall while a reader holds the settings, sharing all, exits 0" run_installer "$T/v2.exe"
check "  the reader held them meanwhile" grep -q held "$T/reader.out"
wait $reader || true
check "  and once it lets go, the new settings are in place" cmp "$T/setting2.ini" "$D/setting.ini"
check "  with no temp.ini left" test ! -e "$D/temp.ini"
finish
