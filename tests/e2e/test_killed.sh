#!/usr/bin/env bash
# Whatever ends a run, nothing is left outside the game's folder for good:
# the Wine session killed while res.zip is written and while it is being
# extracted leaves nothing new in %APPDATA% but that folder; a settings copy
# that a run killed at its very start left is taken over and removed by the
# next run, even while a scanner holds it; a file of another program under
# the same name is not touched. The reruns' installations are complete.
source "$(dirname "$0")/lib.sh"
new_prefix
# Many files, so that extraction lasts.
mkdir -p "$T/big"
for i in $(seq 400); do head -c $((256 * 1024)) /dev/urandom >"$T/big/part$i.dat"; done
$MAKE --settings "$SAMPLE/setting.ini" --client "$CLIENT" --res "$T/big" --stats-host 127.0.0.1 -o "$T/big.exe" 2>/dev/null
wine_run cmd /c exit 0 >/dev/null 2>&1 || true   # the profile's folders
A=$(appdata)
D=$A/$GAME_NAME
before=$(ls -A "$A" | sort | tr '\n' '/')
left() { ls -A "$A" | sort | grep -vx "$GAME_NAME" | tr '\n' '/'; }

kill_when() {  # kill_when TEST: starts the installer, kills the Wine session once TEST holds; false if it never did
  "$QV_WINE_RUN" "$T/big.exe" </dev/null >/dev/null 2>&1 &
  local i seen=1
  for i in $(seq 3000); do eval "$1" && { seen=0; break; }; sleep 0.01; done
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  wait 2>/dev/null || true
  return $seen
}
check "the session is killed while res.zip is written" kill_when '[ -e "$D/res.zip" ]'
check "  nothing new but the game folder ($(left))" test "$(left)" = "$before"
remove_tree "$D"
check "the session is killed while extracting" \
  kill_when '[ -e "$D/res.zip" ] && [ "$(ls "$D/res" 2>/dev/null | wc -l)" -gt 20 ]'
check "  nothing new but the game folder ($(left))" test "$(left)" = "$before"

# What a run killed right after making its settings copy leaves.
copy=$A/$(python3 -c 'import hashlib, sys; print("qvs" + hashlib.md5(open(sys.argv[1], "rb").read()).hexdigest()[:4].upper() + ".tmp")' "$SAMPLE/setting.ini")
cp "$SAMPLE/setting.ini" "$copy"
check "the rerun exits 0" run_installer "$T/big.exe"
check "  the copy left before is gone, nothing new ($(left))" test "$(left)" = "$before"
check "  the installation is complete" diff -rq "$T/big" "$D/res"
check "  with the client" cmp -s "$CLIENT" "$D/$GAME_NAME.exe"

# Left again, and held by a scanner (read sharing only) as the run starts:
# the delete is tried again until the scanner lets go.
cp "$SAMPLE/setting.ini" "$copy"
"$QV_WINE_RUN" "$QV_QVHOLD" "$(winpath "$copy")" 1 </dev/null >"$T/hold.out" 2>/dev/null &
for _ in $(seq 500); do grep -q held "$T/hold.out" 2>/dev/null && break; sleep 0.01; done
check "with the copy held by a scanner, a run exits 0" run_installer "$T/big.exe"
wait
check "  the copy is gone all the same ($(left))" test "$(left)" = "$before"

# Another program's file under that name keeps its place and its bytes,
# and this run installs in full with a copy of another name.
printf 'not ours' >"$copy"
remove_tree "$D"
check "with another program's file under the copy's name, a run exits 0" run_installer "$T/big.exe"
check "  that file is untouched" test "$(cat "$copy")" = "not ours"
check "  the installation is complete" diff -rq "$T/big" "$D/res"
check "  with its settings" cmp -s "$SAMPLE/setting.ini" "$D/setting.ini"
rm -f "$copy"
check "  and nothing else is left ($(left))" test "$(left)" = "$before"
finish
