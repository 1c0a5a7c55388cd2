#!/usr/bin/env bash
# The sample installer under Wine posts to the real statistics server on
# 127.0.0.1:80: one verified report with the right game, version, system
# and identifier is stored; a second installation on the same machine
# gives the machine 2 reports and the day 1 new machine.
source "$(dirname "$0")/lib.sh"
[ -x "${QV_QVSTATS:-}" ] || { echo "needs QV_QVSTATS, the server of the native tree (scripts/test sets it)"; exit 1; }
new_prefix
"$QV_QVSTATS" serve --db "sqlite:$T/stats.db" --listen 127.0.0.1:80 --dashboard 127.0.0.1:8080 >"$T/qvstats.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true; wait $server 2>/dev/null || true; cleanup' EXIT
for _ in $(seq 200); do (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null && break; sleep 0.05; done
db() { python3 -c 'import sqlite3, sys
for row in sqlite3.connect(sys.argv[1]).execute(sys.argv[2]): print("\t".join(map(str, row)))' "$T/stats.db" "$1"; }
IFS=$'\t' read -r major minor _ < <(wine_run "$QV_BUILD_DIR/qvver.exe" | tr -d '\r')

check "installer exits 0" run_installer "$QV_SAMPLE_INSTALLER"
check "one report stored ($(db 'SELECT COUNT(*) FROM reports'))" test "$(db 'SELECT COUNT(*) FROM reports')" = 1
row=$(db 'SELECT game_id, version, osmajor, osminor, guid, system FROM reports')
IFS=$'\t' read -r game version os_major os_minor guid system <<<"$row"
check "game 3, version 1.0.0.0" test "$game/$version" = 3/1.0.0.0
check "the Windows version Wine reports ($major.$minor)" test "$os_major.$os_minor" = "$major.$minor"
check "a machine identifier ending in the install date ($guid)" grep -Eq '^[0-9a-f]{0,12}.*[0-9]{14}$' <<<"$guid"
check "the system description ($system)" grep -q '^Microsoft Windows' <<<"$system"
check "nothing refused ($(db 'SELECT reason, n FROM rejects' | tr '\n' ' '))" test -z "$(db 'SELECT * FROM rejects')"

check "second installation exits 0" run_installer "$QV_SAMPLE_INSTALLER"
check "two reports ($(db 'SELECT COUNT(*) FROM reports'))" test "$(db 'SELECT COUNT(*) FROM reports')" = 2
check "the machine has 2 reports" test "$(db 'SELECT reports FROM machines')" = 2
check "and counts as 1 new machine" test "$(db 'SELECT new_machines FROM daily')" = 1
kill -TERM $server
rc=0; wait $server || rc=$?
check "the server stops on SIGTERM with 0" test $rc -eq 0
finish
