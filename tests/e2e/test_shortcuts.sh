#!/usr/bin/env bash
# The three shortcuts after an installation, as the shell reads them, and
# replaced (not duplicated) by a second run.
source "$(dirname "$0")/lib.sh"
new_prefix
check "installer exits 0" run_installer "$QV_SAMPLE_INSTALLER"
exe=$(client_winpath)
folder=${exe%\\*}\\
desktop=$(desktop_dir)/$GAME_NAME.lnk
menu=$(programs_dir)/$GAME_NAME/$GAME_NAME.lnk
uninstall=$(programs_dir)/$GAME_NAME/卸载$GAME_NAME.lnk
expect() {  # expect LINK ARGUMENTS
  printf 'target=%s\narguments=%s\nworkdir=%s\nicon=%s,0\ndescription=%s\n' "$exe" "$2" "$folder" "$exe" "$GAME_NAME"
}
for link in "$desktop" "$menu" "$uninstall"; do
  check "exists: ${link#"$PREFIX"/}" test -f "$link"
done
check "desktop shortcut starts the client" diff <(expect "$desktop" "") <(read_link "$desktop")
check "start-menu shortcut starts the client" diff <(expect "$menu" "") <(read_link "$menu")
check "uninstall shortcut passes -uninstall" diff <(expect "$uninstall" "-uninstall") <(read_link "$uninstall")

check "second run exits 0" run_installer "$QV_SAMPLE_INSTALLER"
count=$(find "$PREFIX/drive_c/users" -name '*.lnk' | wc -l)
check "still exactly three shortcuts ($count)" test "$count" -eq 3
check "uninstall shortcut still right" diff <(expect "$uninstall" "-uninstall") <(read_link "$uninstall")
finish
