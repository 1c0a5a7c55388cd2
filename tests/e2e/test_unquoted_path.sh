#!/usr/bin/env bash
# Started through an unquoted command line whose folder holds " -update ",
# as some launchers start programs: the path is no option, so this is an
# ordinary installation, and it starts the client.
source "$(dirname "$0")/lib.sh"
new_prefix
dir="$T/my games -update now"
mkdir -p "$dir"
cp "$QV_SAMPLE_INSTALLER" "$dir/setup.exe"
codes=$(wine_run "$QV_BUILD_DIR/qvrun.exe" --unquoted 1 "$(winpath "$dir/setup.exe")" | tr -d '\r')
check "the installer exits 0 ($codes)" test "$codes" = "0 "
D=$(install_dir)
check "the game is installed" cmp -s "$CLIENT" "$D/$GAME_NAME.exe"
check "the client starts" test "$(client_starts "$D/starts.log" 1)" -ge 1
finish
