#!/usr/bin/env bash
# Installers whose archive or game name cannot be used: nothing is started,
# nothing lands outside the installation folder, and the exit code is 0.
source "$(dirname "$0")/lib.sh"
new_prefix
PATCH="python3 $QV_SOURCE_DIR/tests/e2e/patch_archive.py"

make() {  # make OUT SETTINGS ARCHIVE, unchecked: the installer itself must cope
  $MAKE --settings "$2" --client "$CLIENT" \
    --archive "$3" --stats-host 127.0.0.1 -o "$1" --unchecked-settings --unchecked-archive 2>/dev/null
}
shortcut_free() { ! find "$PREFIX/drive_c/users" -name '*.lnk' | grep -q .; }

# Damaged archives: extraction fails, temp.exe and res.zip stay.
$PATCH "$QV_BUILD_DIR/sample-res.qvz" "$T/cut.qvz" cut-in-file 1
head -c 100 "$QV_BUILD_DIR/sample-res.qvz" >"$T/header-only.qvz"
$PATCH "$QV_BUILD_DIR/sample-res.qvz" "$T/escape.qvz" name 2 '..\..\..\escaped.png'
$PATCH "$QV_BUILD_DIR/sample-res.qvz" "$T/device.qvz" name 2 'ui\NUL.png'
for damaged in cut header-only escape device; do
  D=$(install_dir)
  remove_tree "$D"
  check "$damaged: installer built" make "$T/$damaged.exe" "$SAMPLE/setting.ini" "$T/$damaged.qvz"
  check "$damaged: exits 0" run_installer "$T/$damaged.exe"
  check "$damaged: temp.exe stays" test -f "$D/temp.exe"
  check "$damaged: res.zip stays" cmp "$T/$damaged.qvz" "$D/res.zip"
  check "$damaged: client not given its name" test ! -e "$D/$GAME_NAME.exe"
  check "$damaged: nothing started" test ! -e "$D/starts.log"
  check "$damaged: no shortcuts" shortcut_free
  if [ $damaged = cut ]; then check "cut: first file complete" cmp "$SAMPLE/res/bk.png" "$D/res/bk.png"; fi
done
D=$(install_dir)
remove_tree "$D"
run_installer "$T/escape.exe" || true
check "escape: nothing written outside the installation folder" \
  test -z "$(find "$PREFIX/drive_c" -name escaped.png)"
check "escape: nothing extracted at all" test ! -e "$D/res"

# Game names that are no plain file name: nothing is installed and the
# settings file is taken back from the base folder.
# The last is a plain name, but too long for the client's path.
names=('..\evil' 'CON' 'a\b' 'trailing.' '' 'c:evil' '..' "$(printf 'L%.0s' $(seq 218))")
i=0
for name in "${names[@]}"; do
  i=$((i + 1))
  empty_folder "$(appdata)"
  NAME=$name python3 -c 'import os, sys
lines = open(sys.argv[1], "rb").read().split(b"\r\n")
lines = [b"name=" + os.environ["NAME"].encode("gbk") if l.startswith(b"name=") else l for l in lines]
open(sys.argv[2], "wb").write(b"\r\n".join(lines))' "$SAMPLE/setting.ini" "$T/bad$i.ini"
  check "name '$name': installer built" make "$T/bad$i.exe" "$T/bad$i.ini" "$QV_BUILD_DIR/sample-res.qvz"
  before=$(find "$PREFIX/drive_c" | wc -l)
  check "name '$name': exits 0" run_installer "$T/bad$i.exe"
  check "name '$name': base folder left empty" test -z "$(ls -A "$(appdata)")"
  after=$(find "$PREFIX/drive_c" | wc -l)
  check "name '$name': nothing written anywhere ($before -> $after entries)" test "$before" -eq "$after"
done
# A game named "temp": its client is already at its final name.
empty_folder "$(appdata)"
NAME=temp python3 -c 'import os, sys
lines = open(sys.argv[1], "rb").read().split(b"\r\n")
lines = [b"name=temp" if l.startswith(b"name=") else l for l in lines]
open(sys.argv[2], "wb").write(b"\r\n".join(lines))' "$SAMPLE/setting.ini" "$T/temp.ini"
make "$T/temp.exe" "$T/temp.ini" "$QV_BUILD_DIR/sample-res.qvz"
check "name 'temp': exits 0" run_installer "$T/temp.exe"
check "name 'temp': the client stays" cmp "$CLIENT" "$(appdata)/temp/temp.exe"
finish
