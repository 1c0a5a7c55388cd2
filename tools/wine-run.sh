#!/usr/bin/env bash
# Runs one Windows program under Wine with settings safe for tests:
#   wine-run.sh prog.exe [args...]   -> the program's exit code
# It is the cross build's CMAKE_CROSSCOMPILING_EMULATOR. The prefix comes from
# WINEPREFIX, else a per-user one under /tmp; never ~/.wine. It is created on
# first use as a 32-bit prefix with the null graphics driver.
set -euo pipefail
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/qv-wine-$(id -u)/prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d}"
unset DISPLAY WAYLAND_DISPLAY
# Wine names host files in the host locale's charset; under C/POSIX every
# non-ASCII name fails. Keep the language (it picks the ANSI code page) but
# make the charset UTF-8.
if [ "$(locale charmap 2>/dev/null)" != "UTF-8" ]; then
  if [ -n "${LC_ALL:-}" ]; then export LC_ALL=C.UTF-8; else export LC_CTYPE=C.UTF-8; fi
fi

mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"          # ctest -j and test discovery race here
flock 9
if [ ! -e "$WINEPREFIX/.qv-ready" ]; then
  WINEARCH=win32 wineboot -i </dev/null >/dev/null 2>&1
  # wineboot links Desktop, Documents, ... to the real $HOME: a shortcut
  # test would write there. Make them plain folders inside the prefix.
  find "$WINEPREFIX/drive_c/users" -type l -lname '/*' | while read -r link; do
    rm "$link" && mkdir -p "$link"
  done
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
  wineserver -k || true   # the desktop process read the driver at boot
  wineserver -w || true
  touch "$WINEPREFIX/.qv-ready"
fi
# When this call starts the server, start Wine's service processes now with
# stdio on /dev/null; started by a test they would hold ctest's pipe open.
if wineserver -p"${WINE_PERSIST_S:-60}" </dev/null >/dev/null 2>&1; then
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
fi
flock -u 9
exec 9>&-
# A Windows program's own crash ends in an exception code, never a Unix
# signal: a SIGSEGV here is Wine's loader failing to set up the process
# (seen now and then under load), before any of the program ran.
rc=0
wine "$@" || rc=$?
if [ "$rc" -eq 139 ]; then
  echo "wine-run: Wine's loader crashed (SIGSEGV) before $1 ran; once more" >&2
  rc=0
  wine "$@" || rc=$?
fi
exit "$rc"
