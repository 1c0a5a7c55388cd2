#!/usr/bin/env bash
# Edges of the archive and of the sequence: the archive format's worked
# example decoded and installed, names with two leading separators, an
# installer whose own path is 259 characters long, language-neutral
# resources, and an installation folder blocked by a file.
source "$(dirname "$0")/lib.sh"
new_prefix
PATCH="python3 $QV_SOURCE_DIR/tests/e2e/patch_archive.py"
make() {  # make OUT ARCHIVE
  $MAKE --settings "$QV_SOURCE_DIR/samples/game/setting.ini" \
    --client "$QV_BUILD_DIR/sample_client.exe" --archive "$2" --stats-host 127.0.0.1 -o "$1" 2>/dev/null
}

# The worked example: four entries at offsets 2279, 2279, 47769 and 65311.
python3 "$QV_SOURCE_DIR/tests/e2e/worked_example.py" "$T/example.qvz" >"$T/example.tsv"
check "the worked example decodes to its table" diff "$T/example.tsv" <("$QV_QVPACK" list --tsv "$T/example.qvz")
check "installer with the worked example built" make "$T/example.exe" "$T/example.qvz"
check "it installs" run_installer "$T/example.exe"
D=$(install_dir)
check "res holds the three files with their sizes, attributes and times" \
  diff <(archive_stat "$T/example.qvz") <(tree_stat "$D/res")
check "res.zip removed after the extraction" test ! -e "$D/res.zip"

# Two leading separators other than two backslashes are dropped by the join.
$PATCH "$T/example.qvz" "$T/lead1.qvz" name 1 '//bk.png'
$PATCH "$T/lead1.qvz" "$T/lead.qvz" name 3 '\/title.png'
remove_tree "$D"
check "installer with //bk.png and \\/title.png built" make "$T/lead.exe" "$T/lead.qvz"
check "it installs" run_installer "$T/lead.exe"
check "//bk.png lands inside res" test -f "$D/res/bk.png"
check "\\/title.png lands inside res" test -f "$D/res/title.png"
check "nothing at the root of a drive" test ! -e "$PREFIX/drive_c/bk.png" -a ! -e "$PREFIX/drive_c/title.png" -a ! -e /bk.png -a ! -e /title.png
check "the client was given its name" test -f "$D/$GAME_NAME.exe"

# Resources carry no language: Windows finds them whatever its language.
langs=$(python3 "$QV_SOURCE_DIR/tests/e2e/pe_resources.py" "$QV_SAMPLE_INSTALLER" | cut -f3 | sort -u | tr '\n' ' ')
check "every resource is language-neutral ($langs)" test "$langs" = "0x0000 "

# The installer's own path at 259 characters, the most Windows allows.
base=$(winpath "$T/long")
need=$((259 - ${#base} - 10))   # "\setup.exe" is 10 characters
deep=$T/long
while [ "$need" -gt 0 ]; do
  n=$((need > 101 ? 100 : need - 1))
  [ "$need" -gt 101 ] && [ $((need - 101)) -lt 2 ] && n=98   # the last folder needs a character
  deep=$deep/$(head -c "$n" /dev/zero | tr '\0' d)
  need=$((need - n - 1))
done
mkdir -p "$deep"
cp "$QV_SAMPLE_INSTALLER" "$deep/setup.exe"
own=$(winpath "$deep/setup.exe")
remove_tree "$D"
check "the installer's own path is ${#own} characters" test "${#own}" -eq 259
check "it installs from there" run_installer "$deep/setup.exe"
check "client in place" cmp "$QV_BUILD_DIR/sample_client.exe" "$D/$GAME_NAME.exe"
check "res complete" diff -r "$QV_SOURCE_DIR/samples/game/res" "$D/res"

# A file where the installation folder should be.
remove_tree "$D"
remove_tree "$(desktop_dir)/$GAME_NAME.lnk"
remove_tree "$(programs_dir)/$GAME_NAME"
printf 'not a folder' >"$D"
check "with a file named like the game: exits 0" run_installer "$QV_SAMPLE_INSTALLER"
check "  the file is untouched" test "$(cat "$D")" = "not a folder"
check "  no shortcuts" test -z "$(find "$PREFIX/drive_c/users" -name '*.lnk')"
check "  no settings copy left in the base folder" test -z "$(ls -A "$(appdata)" | grep -i -e '^setting.ini$' -e '^qvs.*\.tmp$')"
finish
