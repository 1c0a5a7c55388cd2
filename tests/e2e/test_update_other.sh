#!/usr/bin/env bash
# Spellings of -update that do not wait, and, outside update mode, a locked
# old client that stays and is the one started.
source "$(dirname "$0")/lib.sh"
new_prefix
update_setup

# Spellings that do not wait: a long-running stand-in stays up meanwhile.
before=$(starts)
standin 60
await_image "$GAME_NAME.exe" || true
for option in "-update:${GAME_NAME}.exe" "-update" "-update:" "-update=" "-update:other"; do
  mark
  t0=$(date +%s)
  check "$option: exits 0" run_installer "$QV_SAMPLE_INSTALLER" "$option"
  check "$option: did not wait ($(($(date +%s) - t0)) s)" test $(($(date +%s) - t0)) -lt 20
  check "$option: reinstalled" restored
  check "$option: update mode, client not started" test "$(starts)" -eq "$before"
done
# Letter case differs only in ASCII here: an upper-case copy of the name.
cp "$QV_QVHOLD" "$T/standin/GAMEX.exe"
"$QV_WINE_RUN" "$T/standin/GAMEX.exe" - 60 </dev/null >/dev/null 2>&1 &
await_image GAMEX.exe || true
t0=$(date +%s)
check "-update:gamex while GAMEX.exe runs does not wait" run_installer "$QV_SAMPLE_INSTALLER" "-update:gamex"
check "  (took $(($(date +%s) - t0)) s)" test $(($(date +%s) - t0)) -lt 20

WINEPREFIX=$PREFIX wineserver -k 2>/dev/null || true   # end the stand-ins
WINEPREFIX=$PREFIX wineserver -w 2>/dev/null || true

# A hyphen in the installer's folder or file name is no option: saved as a
# browser's second download, in a folder my-games, it starts the client.
mkdir -p "$T/my-games"
cp "$QV_SAMPLE_INSTALLER" "$T/my-games/$GAME_NAME-update (1).exe"
before=$(starts)
check "saved as my-games/$GAME_NAME-update (1).exe: exits 0" run_installer "$T/my-games/$GAME_NAME-update (1).exe"
n=$(client_starts "$D/starts.log" $((before + 1)))
check "  and starts the client ($before -> $n)" test "$n" -eq $((before + 1))

# Outside update mode, the old client is held open without delete sharing.
printf 'OLD-CLIENT-MARKER' >>"$D/$GAME_NAME.exe"
cp "$D/$GAME_NAME.exe" "$T/old.exe"
"$QV_WINE_RUN" "$QV_QVHOLD" "$(winpath "$D/$GAME_NAME.exe")" 8 </dev/null >/dev/null 2>&1 &
sleep 2
before=$(starts)
check "install over a locked client exits 0" run_installer "$QV_SAMPLE_INSTALLER"
check "the new temp.exe is discarded" test ! -e "$D/temp.exe"
check "the old client stays" cmp "$T/old.exe" "$D/$GAME_NAME.exe"
n=$(client_starts "$D/starts.log" $((before + 1)))
check "the old client is the one started ($before -> $n)" test "$n" -eq $((before + 1))
wait
leftovers() { ps -eo args= | awk -v t="$T/" 'index($0, t) && !/^(awk|bash|ps) /'; }
sleep 1
check "no test process left behind" test -z "$(leftovers)"
finish
