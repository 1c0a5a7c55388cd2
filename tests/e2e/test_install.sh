#!/usr/bin/env bash
# The sample installer in a fresh prefix installs the game exactly, starts
# the client once, and a second run replaces everything.
source "$(dirname "$0")/lib.sh"
new_prefix
ARCHIVE=$QV_BUILD_DIR/sample-res.qvz

check "installer exits 0" run_installer "$QV_SAMPLE_INSTALLER"
D=$(install_dir)
check "installation folder exists" test -d "$D"
# Before anything reads the files: reading moves their access times.
tree_stat "$D/res" >"$T/installed.stat"
archive_stat "$ARCHIVE" >"$T/archive.stat"
check "res carries the archive's sizes, attributes and times" diff "$T/archive.stat" "$T/installed.stat"
check "setting.ini is the embedded settings file" cmp "$SAMPLE/setting.ini" "$D/setting.ini"
check "client has its final name" cmp "$CLIENT" "$D/$GAME_NAME.exe"
check "res holds the resource files" diff -r "$SAMPLE/res" "$D/res"
check "no temp.exe left" test ! -e "$D/temp.exe"
check "no res.zip left" test ! -e "$D/res.zip"
check "no settings copy left in the base folder" test -z "$(ls -A "$(appdata)" | grep -i -e '^setting.ini$' -e '^qvs.*\.tmp$')"
check "zero-byte file extracted" test -f "$D/res/ui/empty.dat" -a ! -s "$D/res/ui/empty.dat"

n=$(client_starts "$D/starts.log" 1)
check "client started once (got $n)" test "$n" -eq 1
line=$(head -1 "$D/starts.log" | tr -d '\r')
cmdline=${line#*cmdline=}; cmdline=${cmdline%%$'\t'*}
cwd=${line##*cwd=}
# ShellExecuteEx gives the program's path, quoted or not, and nothing else.
exe_win="C:\\users\\$(basename "$(dirname "$(dirname "$(appdata)")")")\\AppData\\Roaming\\$GAME_NAME\\$GAME_NAME.exe"
check "client got no arguments ($cmdline)" test "$cmdline" = "$exe_win" -o "$cmdline" = "\"$exe_win\"" -o "$cmdline" = "\"$exe_win\" "
check "client runs in the installation folder ($cwd)" test "${cwd%\\}" = "${exe_win%\\*}"

# Second run over the first: damaged or missing files come back.
echo changed >"$D/res/bk.png"
rm -f "$D/res/title.png"
echo "[game]" >"$D/setting.ini"
check "second run exits 0" run_installer "$QV_SAMPLE_INSTALLER"
check "second run restores setting.ini" cmp "$SAMPLE/setting.ini" "$D/setting.ini"
check "second run restores res" diff -r "$SAMPLE/res" "$D/res"
check "second run replaces the client" cmp "$CLIENT" "$D/$GAME_NAME.exe"
check "second run leaves no temp.exe or res.zip" test ! -e "$D/temp.exe" -a ! -e "$D/res.zip"
n=$(client_starts "$D/starts.log" 2)
check "client started once more (got $n)" test "$n" -eq 2
finish
