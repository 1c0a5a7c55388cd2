#!/usr/bin/env bash
# Runs a command where qv-db.test is ::1 and 127.0.0.1 (the hosts file;
# glibc puts ::1 first) and the name server takes every other query and
# never answers; in a mount namespace of its own, inside netns-run.sh:
#   with_silent_dns.sh COMMAND [ARGS...]
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '127.0.0.1 localhost\n::1 qv-db.test\n127.0.0.1 qv-db.test\n' >"$work/hosts"
printf 'nameserver 127.0.0.1\noptions timeout:30 attempts:2\n' >"$work/resolv.conf"
printf 'hosts: files dns\n' >"$work/nsswitch.conf"
cat >"$work/sink.py" <<'PY'
import socket
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp.bind(("127.0.0.1", 53))
tcp = socket.socket()
tcp.bind(("127.0.0.1", 53))
tcp.listen(16)
print("ready", flush=True)
while True:
    udp.recvfrom(4096)  # and no answer
PY
unshare --mount -- bash -c '
  set -euo pipefail
  work=$1; shift
  for file in hosts resolv.conf nsswitch.conf; do mount --bind "$work/$file" "/etc/$file"; done
  python3 -u "$work/sink.py" >"$work/sink.out" &
  sink=$!
  for _ in $(seq 100); do grep -q ready "$work/sink.out" 2>/dev/null && break; sleep 0.05; done
  grep -q ready "$work/sink.out" || { echo "with_silent_dns.sh: the name server did not start"; exit 1; }
  export QV_SILENT_DNS=1
  status=0
  "$@" || status=$?
  kill $sink
  exit $status' with-silent-dns "$work" "$@"
