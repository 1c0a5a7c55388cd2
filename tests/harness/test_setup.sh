#!/usr/bin/env bash
# scripts/setup against a package mirror in the middle of a sync, with apt
# faked (nothing is installed or changed on this machine): the index update
# is tried again, then setup goes on with what apt has; an install that
# still fails says in one line why, and that trying again later helps. Each
# purpose asks only for its own packages.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
mkdir "$T/bin"
# apt-get: update fails as a mirror mid-sync does (unless FAKE_UPDATE=ok;
# FAKE_UPDATE=main fails the point release's index instead of security's);
# install fails for every package when FAKE_INSTALL is "fails", or when
# asked for the package it names (all or nothing, as apt's), except that
# with FAKE_POINT set that package is had with a preferences file (the
# point release); -s only simulates. It records what it was asked for, and
# the preferences it was given.
cat >"$T/bin/apt-get" <<'FAKE'
#!/bin/sh
echo "$*" >>"$FAKE_LOG"
case $1 in
  update)
    [ "${FAKE_UPDATE:-}" = ok ] && exit 0
    index="debian-security bookworm-security"; [ "${FAKE_UPDATE:-}" = main ] && index="debian bookworm"
    echo "Err:6 http://deb.debian.org/$index/main i386 Packages"
    echo "  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
    exit 100 ;;
  install)
    shift
    sim=0 point=0 pkgs=""
    while [ $# -gt 0 ]; do
      case $1 in
        -s) sim=1 ;;
        -o) shift
            case $1 in Dir::Etc::Preferences=*) point=1; echo "${1#*=}" >>"$FAKE_PREFS"; cat "${1#*=}" >>"$FAKE_LOG" ;; esac ;;
        -*) ;;
        *) pkgs="$pkgs $1" ;;
      esac
      shift
    done
    ok=1
    for p in $pkgs; do
      [ "${FAKE_INSTALL:-}" = fails ] && ok=0
      [ "$p" = "${FAKE_INSTALL:-}" ] && ! { [ $point = 1 ] && [ -n "${FAKE_POINT:-}" ]; } && ok=0
    done
    if [ $ok = 1 ]; then [ $sim = 1 ] || printf '%s\n' $pkgs >>"$FAKE_DONE"; exit 0; fi
    echo "E: Unable to correct problems, you have held broken packages." >&2
    exit 100 ;;
esac
FAKE
# dpkg-query: what the fake install installed.
cat >"$T/bin/dpkg-query" <<'FAKE'
#!/bin/sh
for last; do :; done
grep -qxF "$last" "$FAKE_DONE" 2>/dev/null && echo "install ok installed" || echo "unknown ok not-installed"
FAKE
cat >"$T/bin/sudo" <<'FAKE'
#!/bin/sh
exec "$@"
FAKE
chmod +x "$T/bin/"*
failed=0
check() {  # check WHAT CONDITION...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failed=$((failed + 1)); fi
}
run() {  # run PURPOSE [FAKE_INSTALL]: setup's exit code in $rc, its output in $T/out
  rm -f "$T/log" "$T/done" "$T/prefs"
  PATH="$T/bin:$PATH" FAKE_LOG="$T/log" FAKE_DONE="$T/done" FAKE_PREFS="$T/prefs" FAKE_INSTALL=${2:-} QV_APT_PAUSES="0 0" \
    FAKE_POINT=${FAKE_POINT:-} FAKE_UPDATE=${FAKE_UPDATE:-} \
    bash "$ROOT/scripts/setup" "$1" >"$T/out" 2>&1
  rc=$?
  cat "$T/out"
}

run server
check "server: goes on after a failed index update, exit 0" test "$rc" -eq 0
check "  apt-get update was tried three times" test "$(grep -c '^update' "$T/log")" -eq 3
check "  and said why, then that it goes on" grep -q "Mirror sync in progress?.*going on with what apt has" "$T/out"
install=$(grep '^install' "$T/log")
check "  the server's packages only" bash -c '[[ "$1" == *libpq-dev* && "$1" == *prometheus-cpp-dev* && "$1" != *wine* && "$1" != *chromium* && "$1" != *postgresql\ * && "$1" != *mingw* ]]' _ "$install"

run installers
install=$(grep '^install' "$T/log")
check "installers: the cross compiler, no Wine, no database" bash -c '[[ "$1" == *g++-mingw-w64-i686-win32* && "$1" != *wine* && "$1" != *libpq-dev* ]]' _ "$install"

run server fails
check "an install that fails: exit non-zero" test "$rc" -ne 0
check "  and the last line says the mirror looks mid-sync, and to try again later" \
  bash -c 'tail -1 "$1" | grep -q "^setup: cannot install .*mirror looks mid-sync or unreachable.*trying again later helps$"' _ "$T/out"
run server libpq-dev
check "one package the mirror cannot give: exit non-zero, that package named" \
  bash -c 'tail -1 "$1" | grep -q "^setup: cannot install libpq-dev: .*trying again later helps$"' _ "$T/out"
check "  and every other package installed all the same" grep -qx prometheus-cpp-dev "$T/done"
# The security pocket's index missing for one architecture: what only the
# point release can give matching comes from it, after apt's simulation
# says it resolves, with security pinned below it and nothing removed.
FAKE_POINT=1 run server libpq-dev
check "a package only the point release gives whole: installed, exit 0" test "$rc" -eq 0
check "  simulated first, then installed, both pinned and with nothing removed" bash -c \
  's=$(grep -n "^install -s .*Dir::Etc::Preferences=.*--no-remove.*libpq-dev" "$1" | cut -d: -f1 | head -1)
   i=$(grep -n "^install -y .*Dir::Etc::Preferences=.*--no-remove.*libpq-dev" "$1" | cut -d: -f1 | head -1)
   [ -n "$s" ] && [ -n "$i" ] && [ "$s" -lt "$i" ]' _ "$T/log"
check "  the preferences file is gone after" bash -c '! xargs ls <"$1" 2>/dev/null | grep -q .' _ "$T/prefs"
check "  security pinned to 100" bash -c 'grep -qx "Pin: release l=Debian-Security" "$1" && grep -qx "Pin-Priority: 100" "$1"' _ "$T/log"
check "  and it says so" grep -q "security pocket's index is incomplete; installing .*libpq-dev.* at the point release's versions" "$T/out"
check "  and every package is installed" bash -c 'grep -qx libpq-dev "$1" && grep -qx prometheus-cpp-dev "$1"' _ "$T/done"
# With every index in, or only the point release's missing, a failure is a
# failure: nothing is pinned. Nor is anything installed pinned when apt's
# simulation says it does not resolve.
FAKE_POINT=1 FAKE_UPDATE=ok run server libpq-dev
check "with every index downloaded, no point-release install is tried" bash -c '[ "$2" -ne 0 ] && ! grep -q Preferences "$1"' _ "$T/log" "$rc"
FAKE_POINT=1 FAKE_UPDATE=main run server libpq-dev
check "with the point release's index missing, none either" bash -c '[ "$2" -ne 0 ] && ! grep -q Preferences "$1"' _ "$T/log" "$rc"
run server libpq-dev
check "a pinned simulation that fails installs nothing pinned" bash -c \
  'grep -q "^install -s .*Preferences" "$1" && ! grep -q "^install -y .*Preferences" "$1"' _ "$T/log"
check "an unknown purpose: usage" bash -c 'bash "$1" frobnicate 2>&1 | grep -q usage' _ "$ROOT/scripts/setup"
echo "$failed check(s) failed"
[ "$failed" -eq 0 ]
