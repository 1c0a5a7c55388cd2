#!/usr/bin/env bash
# -update:<name> waits for every running <name>.exe, then reinstalls
# without starting the client; shortcuts still follow. The installer does
# not count itself.
source "$(dirname "$0")/lib.sh"
new_prefix
update_setup
untouched() { grep -q tampered "$D/res/title.png"; }

# One stand-in for 4 s: nothing is touched meanwhile. The installer runs
# from a folder and under a name with hyphens, which are no options.
mkdir -p "$T/my-games"
cp "$QV_SAMPLE_INSTALLER" "$T/my-games/$GAME_NAME-update (1).exe"
mark
before=$(starts)
standin 4
check "stand-in is running" await_image "$GAME_NAME.exe"
t0=$(date +%s.%N)
"$QV_WINE_RUN" "$T/my-games/$GAME_NAME-update (1).exe" "-update:$GAME_NAME" </dev/null >/dev/null 2>&1 &
installer=$!
sleep 2
check "installation untouched while the client runs" untouched
check "installer still waiting" kill -0 $installer
wait "%1" 2>/dev/null || true   # the stand-in
t_exit=$(date +%s.%N)
rc=0; wait $installer || rc=$?
t_done=$(date +%s.%N)
check "update exits 0" test $rc -eq 0
lag=$(awk -v a="$t_exit" -v b="$t_done" 'BEGIN { printf "%.1f", b - a }')
check "finished ${lag} s after the client exited (about a second)" awk -v l="$lag" 'BEGIN { exit !(l < 3.0) }'
check "reinstalled after the wait" restored
check "shortcuts still created" test -f "$(desktop_dir)/$GAME_NAME.lnk"
sleep 1
check "client not started in update mode" test "$(starts)" -eq "$before"

# Two stand-ins: the wait lasts until the last one has gone.
mark
standin 2
standin 5
await_image "$GAME_NAME.exe" || true
t0=$(date +%s)
check "update with two clients exits 0" run_installer "$QV_SAMPLE_INSTALLER" "-update:$GAME_NAME"
waited=$(($(date +%s) - t0))
check "waited for the second client (${waited} s)" test "$waited" -ge 3
check "reinstalled" restored
wait

# The installer's own process is not counted, even under the client's name.
mkdir -p "$T/self"
cp "$QV_SAMPLE_INSTALLER" "$T/self/$GAME_NAME.exe"
WINEPREFIX=$PREFIX wineserver -k 2>/dev/null || true   # end the stand-ins
WINEPREFIX=$PREFIX wineserver -w 2>/dev/null || true
mark
check "installer named like the client exits 0 without waiting" run_installer "$T/self/$GAME_NAME.exe" "-update:$GAME_NAME"
check "  and reinstalled" restored

finish
