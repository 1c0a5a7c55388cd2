#!/usr/bin/env bash
# The sample installer posts exactly one signed report, writes the same
# body to the debugger output, and an unreachable or misbehaving server
# changes nothing in the installation.
source "$(dirname "$0")/lib.sh"
trap 'stop_listener; cleanup' EXIT
new_prefix
start_listener ok
t0=$(date +%s)
rc=0
WINEDEBUG=-all,warn+seh timeout 120 "$QV_WINE_RUN" "$QV_SAMPLE_INSTALLER" </dev/null >"$T/debug.txt" 2>&1 || rc=$?
t1=$(date +%s)
check "installer exits 0" test $rc -eq 0
check "exactly one request ($(requests))" test "$(requests)" -eq 1
req=$(ls "$T/requests"/*.req | head -1)
IFS=$'\t' read -r major minor _ < <(wine_run "$QV_BUILD_DIR/qvver.exe" | tr -d '\r')
# The body, checked field by field and signed again independently.
check "report body" python3 - "$req" "$t0" "$t1" "$major" "$minor" "$T/debug.txt" <<'PY'
import hashlib, re, sys, time
req, t0, t1, major, minor, debug = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5], sys.argv[6]
head, body = open(req, "rb").read().split(b"\r\n\r\n", 1)
problems = []
def want(cond, what):
    if not cond:
        problems.append(what)
want(head.split(b"\r\n")[0] == b"POST /micro_stats HTTP/1.0", "request line %r" % head.split(b"\r\n")[0])
text = body.decode("gbk")
pairs = [p.split("=", 1) for p in text.split("&")]
names = [p[0] for p in pairs]
want(names == ["game_id", "version", "guid", "time", "sign", "osmajor", "osminor", "system", "flash"], "names %r" % names)
f = dict(pairs)
want(f.get("game_id") == "3", "game_id %r" % f.get("game_id"))
want(f.get("version") == "1.0.0.0", "version %r" % f.get("version"))
want(re.fullmatch(r"[0-9a-f]{0,12}.*[0-9]{14}", f.get("guid", "")) is not None, "guid %r" % f.get("guid"))
want(t0 <= int(f.get("time", "0")) <= t1, "time %r not in [%d, %d]" % (f.get("time"), t0, t1))
signed = (f["game_id"] + f["guid"] + f["time"] + "pR4vNd8sYk").encode("gbk")
want(f.get("sign") == hashlib.md5(signed).hexdigest().upper(), "sign %r" % f.get("sign"))
want(f.get("osmajor") == major and f.get("osminor") == minor, "os %r.%r, Wine reports %s.%s" % (f.get("osmajor"), f.get("osminor"), major, minor))
want(text in open(debug, "rb").read().decode("gbk", "replace"), "body not in the debugger output")
for p in problems:
    print("  " + p)
sys.exit(1 if problems else 0)
PY
D=$(install_dir)
check "installed" cmp "$QV_BUILD_DIR/sample_client.exe" "$D/$GAME_NAME.exe"

# No server, then servers that fail: the installation is the same.
for mode in none silent 404 clhuge; do
  stop_listener
  [ $mode = none ] || start_listener $mode
  remove_tree "$D"
  check "$mode: installer exits 0" run_installer "$QV_SAMPLE_INSTALLER"
  check "$mode: installation complete" diff -r "$QV_SOURCE_DIR/samples/game/res" "$D/res"
  check "$mode: client in place" test -f "$D/$GAME_NAME.exe" -a ! -e "$D/temp.exe"
done
finish
