#!/usr/bin/env bash
# A silent installer invites a second double-click: two copies started at
# the same moment give one complete installation and one start of the
# client, in every trial, fresh or over an installation.
source "$(dirname "$0")/lib.sh"
new_prefix
TRIALS=${QV_DOUBLE_START_TRIALS:-16}
# The sample game with a level of 24 MB: an installation lasts longer than
# the difference between two copies' start-up under Wine on a busy machine.
mkdir -p "$T/game"
cp -r "$SAMPLE/res/." "$T/game/"
head -c $((24 * 1024 * 1024)) /dev/urandom >"$T/game/level.dat"
$MAKE --settings "$SAMPLE/setting.ini" \
  --client "$QV_BUILD_DIR/sample_client.exe" --res "$T/game" --stats-host 127.0.0.1 -o "$T/game.exe" 2>/dev/null
check "first installation" run_installer "$T/game.exe"
D=$(install_dir)
client_starts "$D/starts.log" 1 >/dev/null

starts() { [ -f "$D/starts.log" ] && grep -c '^start' "$D/starts.log" || echo 0; }
links() { find "$PREFIX/drive_c/users" -name '*.lnk' | wc -l; }
for trial in $(seq "$TRIALS"); do
  if [ $((trial % 2)) -eq 1 ]; then   # odd trials install from nothing
    remove_tree "$D"
    remove_tree "$(desktop_dir)/$GAME_NAME.lnk"
    remove_tree "$(programs_dir)/$GAME_NAME"
  fi
  before=$(starts)
  codes=$(wine_run "$QV_BUILD_DIR/qvrun.exe" 2 "$(winpath "$T/game.exe")" | tr -d '\r')
  n=$(client_starts "$D/starts.log" $((before + 1)) 10)
  problems=""
  [ "$codes" = "0 0 " ] || problems+=" exit codes $codes;"
  cmp -s "$QV_BUILD_DIR/sample_client.exe" "$D/$GAME_NAME.exe" || problems+=" client missing;"
  cmp -s "$SAMPLE/setting.ini" "$D/setting.ini" || problems+=" settings missing;"
  diff -rq "$T/game" "$D/res" >/dev/null 2>&1 || problems+=" res incomplete;"
  [ ! -e "$D/temp.exe" ] && [ ! -e "$D/res.zip" ] || problems+=" temp.exe or res.zip left;"
  [ "$(links)" -eq 3 ] || problems+=" $(links) shortcuts;"
  [ "$n" -eq $((before + 1)) ] || problems+=" client started $((n - before)) times;"
  [ -z "$(ls "$(appdata)" | grep -i -e '^setting.ini$' -e '^qvs.*\.tmp$')" ] || problems+=" settings copy left in the base folder;"
  check "trial $trial ($([ $((trial % 2)) -eq 1 ] && echo fresh || echo reinstall)):${problems:- complete, client started once}" test -z "$problems"
done
finish
