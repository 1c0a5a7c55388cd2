#!/usr/bin/env bash
# make-installer packs any folder (nested, non-ASCII and spaced names, an
# empty folder), and the installer puts it back exactly as it was.
source "$(dirname "$0")/lib.sh"
R=$T/game-res
mkdir -p "$R/maps/第一章" "$R/empty dir"
head -c 70000 /dev/urandom >"$R/maps/第一章/level 1.dat"
printf 'hello' >"$R/readme.txt"
check "builds from a folder" $MAKE --settings "$SAMPLE/setting.ini" --client "$CLIENT" --res "$R" --stats-host 127.0.0.1 -o "$T/custom.exe"
new_prefix
check "the installer runs" run_installer "$T/custom.exe"
D=$(install_dir)
check "the folder is installed as it was" diff -r "$R" "$D/res"
check "the empty folder is there" test -d "$D/res/empty dir"
finish
