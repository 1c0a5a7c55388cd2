#!/usr/bin/env bash
# DLLs planted beside the installer and in its working folder under the
# names of system libraries are never loaded, and everything works as
# without them. Wine prefers its built-in DLLs; the overrides make it
# search the application folder first, as Windows does: a naive program
# then falls for the planted copies, which shows that this test can fail.
source "$(dirname "$0")/lib.sh"
trap 'stop_listener; cleanup' EXIT
new_prefix
PLANTED=$QV_BUILD_DIR/planted
BASE_OVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
OVERRIDES="$BASE_OVERRIDES;version,wininet,iphlpapi,netapi32=n,b"
# Wine's own advapi32 imports version.dll, which the advapi32 of Windows (a
# known DLL, whose imports come from the system folder) does not: with
# version=n,b every program that imports advapi32 fails to start on the
# planted copy. The installer runs with the other three preferred native;
# the planted version.dll stays beside it all the same.
INSTALLER_OVERRIDES="$BASE_OVERRIDES;wininet,iphlpapi,netapi32=n,b"
mkdir -p "$T/downloads" "$T/cwd" "$T/naive"
cp "$QV_SAMPLE_INSTALLER" "$T/downloads/setup.exe"
cp "$QV_NAIVE" "$T/naive/naive.exe"
for dir in downloads cwd naive; do cp "$PLANTED"/*.dll "$T/$dir/"; done
markers() { find "$T/downloads" "$T/cwd" "$T/naive" -name '*.loaded' -printf '%P ' 2>/dev/null; }

# The imports: only libraries that Windows always takes from the system folder.
imports=$(i686-w64-mingw32-objdump -p "$QV_SAMPLE_INSTALLER" | awk '/DLL Name/ { print tolower($3) }' | sort | tr '\n' ' ')
echo "imports: $imports"
allowed=" kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll oleaut32.dll msvcrt.dll comdlg32.dll "
bad=""
for dll in $imports; do [[ $allowed == *" $dll "* ]] || bad="$bad $dll"; done
check "the installer imports only known system DLLs${bad:+ (not:$bad)}" test -z "$bad"

start_listener ok
rc=0
(cd "$T/cwd" && WINEDLLOVERRIDES=$INSTALLER_OVERRIDES timeout 120 "$QV_WINE_RUN" "$T/downloads/setup.exe" </dev/null >/dev/null 2>&1) || rc=$?
check "installer exits 0" test $rc -eq 0
check "no planted DLL was loaded ($(markers))" test -z "$(markers)"
D=$(install_dir)
check "installed" cmp "$QV_BUILD_DIR/sample_client.exe" "$D/$GAME_NAME.exe"
check "resources extracted" diff -r "$QV_SOURCE_DIR/samples/game/res" "$D/res"
n=$(client_starts "$D/starts.log" 1)
check "client started ($n)" test "$n" -eq 1
count=$(find "$PREFIX/drive_c/users" -name '*.lnk' | wc -l)
check "three shortcuts ($count)" test "$count" -eq 3
stop_listener
check "one report ($(requests))" test "$(requests)" -eq 1
req=$(ls "$T/requests"/*.req 2>/dev/null | head -1)
check "the report carries the system description" grep -qa 'system=Microsoft' "$req"

# The naive program in the same place does load them.
(cd "$T/naive" && WINEDLLOVERRIDES=$OVERRIDES timeout 60 "$QV_WINE_RUN" "$T/naive/naive.exe" </dev/null >/dev/null 2>&1) || true
check "a naive program loads the planted version.dll ($(markers))" test -e "$T/naive/version.loaded"
rm -f "$T"/naive/*.loaded
(cd "$T/naive" && WINEDLLOVERRIDES=$INSTALLER_OVERRIDES timeout 60 "$QV_WINE_RUN" "$T/naive/naive.exe" </dev/null >/dev/null 2>&1) || true
check "and, with the installer's overrides, the planted wininet.dll ($(markers))" test -e "$T/naive/wininet.loaded"
finish
