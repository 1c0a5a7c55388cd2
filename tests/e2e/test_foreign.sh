#!/usr/bin/env bash
# %APPDATA%\setting.ini belongs to some other program: it survives every
# run byte for byte, read-only or not, beside a complete installation; and
# no copy of the installer's settings is left in %APPDATA% when a run ends,
# whether the installation folder cannot be made or the disk is full.
source "$(dirname "$0")/lib.sh"
new_prefix
A=$(appdata)
D=$(install_dir)
leftovers() { ls -A "$A" | grep -i -e '^qvs.*\.tmp$' -e '^setting\.ini$' | tr '\n' ' '; }
attributes() { wine_run "$QV_QVSTAT" "$(winpath "$A")" | tr -d '\r' | awk -F'\t' -v n="$1" '$1 == n { print $4 }'; }

printf '[other]\r\nkey=value of another program\r\n' >"$A/setting.ini"
cp "$A/setting.ini" "$T/theirs.ini"
check "with another program's setting.ini: exits 0" run_installer "$QV_SAMPLE_INSTALLER"
check "  theirs survives byte for byte" cmp "$T/theirs.ini" "$A/setting.ini"
check "  and the installation is complete" diff -r "$SAMPLE/res" "$D/res"
check "  with its own settings" cmp "$SAMPLE/setting.ini" "$D/setting.ini"
check "  and no copy of its own left ($(leftovers))" test "$(leftovers)" = "setting.ini "

wine_run attrib +r "$(winpath "$A/setting.ini")" >/dev/null 2>&1
check "theirs is read-only now ($(attributes setting.ini))" test "$(attributes setting.ini)" = 0x21
check "with a read-only one: exits 0" run_installer "$QV_SAMPLE_INSTALLER"
check "  theirs survives byte for byte" cmp "$T/theirs.ini" "$A/setting.ini"
check "  still read-only ($(attributes setting.ini))" test "$(attributes setting.ini)" = 0x21
check "  and the installation is complete" diff -r "$SAMPLE/res" "$D/res"
wine_run attrib -r "$(winpath "$A/setting.ini")" >/dev/null 2>&1
remove_tree "$A/setting.ini"

# The installation folder cannot be made: a file has the game's name.
remove_tree "$D"
printf 'a file' >"$D"
check "with a file where the folder goes: exits 0" run_installer "$QV_SAMPLE_INSTALLER"
check "  no settings copy left in the base folder ($(leftovers))" test -z "$(leftovers)"
remove_tree "$D"

# A full disk: a small file system over %APPDATA%, in a mount namespace of
# this test's own, where the Wine server of the prefix starts afresh.
WINEPREFIX=$PREFIX wineserver -k 2>/dev/null || true
WINEPREFIX=$PREFIX wineserver -w 2>/dev/null || true
for size in 8k 160k; do
  out=$(unshare --mount -- bash -c '
    mount -t tmpfs -o size='"$size"' qvfull "$1" || exit 3
    rc=0; timeout 120 "$2" "$3" </dev/null >/dev/null 2>&1 || rc=$?
    echo "rc=$rc files=$(find "$1" -mindepth 1 | sed "s|^$1/||" | tr "\n" " ")"
    WINEPREFIX="$4" wineserver -k 2>/dev/null; WINEPREFIX="$4" wineserver -w 2>/dev/null
    umount "$1"' full "$A" "$QV_WINE_RUN" "$QV_SAMPLE_INSTALLER" "$PREFIX")
  echo "  $size: $out"
  check "disk full at $size: exits 0" grep -q '^rc=0 ' <<<"$out"
  check "  no settings copy left in the base folder" bash -c '! grep -qi -e " qvs[^ ]*\.tmp" -e " setting\.ini " <<<" ${1#*files=}"' _ "$out"
done
finish
