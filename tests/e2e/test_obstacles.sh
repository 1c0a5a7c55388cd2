#!/usr/bin/env bash
# Objects of the wrong kind where the installation puts its own files and
# folders: removed when that is safe, so that the run completes; a link is
# removed, never followed out of the installation folder; what cannot be
# removed ends that step, and no folder is ever handed to the shell.
source "$(dirname "$0")/lib.sh"
new_prefix
check "first installation" run_installer "$QV_SAMPLE_INSTALLER"
D=$(install_dir)
client_starts "$D/starts.log" 1 >/dev/null

complete() {  # complete WHAT: the installation as it must be after a run
  local what=$1 count
  check "$what: exits 0" run_installer "$QV_SAMPLE_INSTALLER"
  check "$what: client in place" cmp "$QV_BUILD_DIR/sample_client.exe" "$D/$GAME_NAME.exe"
  check "$what: settings in place" cmp "$SAMPLE/setting.ini" "$D/setting.ini"
  check "$what: res complete" diff -r "$SAMPLE/res" "$D/res"
  check "$what: no temp.exe or res.zip left" test ! -e "$D/temp.exe" -a ! -e "$D/res.zip"
  count=$(find "$PREFIX/drive_c/users" -name '*.lnk' | wc -l)
  check "$what: three shortcuts ($count)" test "$count" -eq 3
}
# Each owned name as an object of the wrong kind.
remove_tree "$D/setting.ini"; mkdir "$D/setting.ini"
complete "setting.ini an empty folder"
mkdir "$D/temp.exe"
complete "temp.exe an empty folder"
mkdir "$D/res.zip"
complete "res.zip an empty folder"
remove_tree "$D/$GAME_NAME.exe"; mkdir "$D/$GAME_NAME.exe"
complete "the client an empty folder"
remove_tree "$D/res"; printf 'a file' >"$D/res"
complete "res a file"
remove_tree "$D/res/ui"; printf 'a file' >"$D/res/ui"
complete "a file where the archive has a folder"
remove_tree "$D/res/bk.png"; mkdir "$D/res/bk.png"
complete "an empty folder where the archive has a file"

# Links inside the installation folder that point outside it are never
# followed: Windows removes a junction itself, Wine cannot remove its links
# without following them, so there the extraction ends as for anything that
# cannot be cleared away, and what the links point to stays as it was.
mkdir -p "$T/outside/ui" "$T/elsewhere"
printf 'theirs' >"$T/outside/ui/button.png"
remove_tree "$D/res/ui"; ln -s "$T/outside/ui" "$D/res/ui"
check "res/ui a link to a folder outside: exits 0" run_installer "$QV_SAMPLE_INSTALLER"
check "  the folder outside is untouched" test "$(ls -A "$T/outside/ui")" = button.png -a "$(cat "$T/outside/ui/button.png")" = theirs
check "  the link is not replaced by what it points to" test -L "$D/res/ui"
remove_tree "$D/res"; ln -s "$T/elsewhere" "$D/res"
check "res a link to a folder outside: exits 0" run_installer "$QV_SAMPLE_INSTALLER"
check "  nothing was written there" test -z "$(ls -A "$T/elsewhere")"
remove_tree "$D/res"
complete "the links taken away again"

# An installed settings file that cannot be replaced (held open) and names
# nothing usable: the name checked at the start stands.
printf '[game]\r\nname=\r\n' >"$D/setting.ini"
"$QV_WINE_RUN" "$QV_QVHOLD" "$(winpath "$D/setting.ini")" 6 </dev/null >"$T/held" 2>&1 &
for _ in $(seq 100); do grep -q held "$T/held" 2>/dev/null && break; sleep 0.05; done
before=$(grep -c '^start' "$D/starts.log")
check "unusable installed settings, held open: exits 0" run_installer "$QV_SAMPLE_INSTALLER"
check "  the client has its name" cmp "$QV_BUILD_DIR/sample_client.exe" "$D/$GAME_NAME.exe"
check "  no temp.exe left" test ! -e "$D/temp.exe"
n=$(client_starts "$D/starts.log" $((before + 1)))
check "  the client was started ($before -> $n)" test "$n" -eq $((before + 1))
wait

# A folder with something in it where the client goes: it stays, and no
# window opens for it (Wine's shell would start an Explorer on it).
remove_tree "$D/$GAME_NAME.exe"; mkdir "$D/$GAME_NAME.exe"; printf 'x' >"$D/$GAME_NAME.exe/keep"
explorers() { ps -eo args= | grep -i 'explorer' | grep -v -e '/desktop' -e grep -e defunct || true; }
before=$(grep -c '^start' "$D/starts.log")
check "a folder with files as the client: exits 0" run_installer "$QV_SAMPLE_INSTALLER"
sleep 1
check "  the folder stays" test -f "$D/$GAME_NAME.exe/keep"
check "  no Explorer was started ($(explorers))" test -z "$(explorers)"
check "  nothing else was started" test "$(grep -c '^start' "$D/starts.log")" -eq "$before"
finish
