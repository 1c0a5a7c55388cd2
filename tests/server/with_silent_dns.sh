#!/usr/bin/env bash
# Runs a command where qv-db.test is 127.0.0.2 and 127.0.0.1 (the hosts
# file) and the name server takes every other query and never answers;
# in a mount namespace of its own, inside netns-run.sh:
#   with_silent_dns.sh COMMAND [ARGS...]
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '127.0.0.1 localhost\n127.0.0.2 qv-db.test\n127.0.0.1 qv-db.test\n' >"$work/hosts"
printf 'nameserver 127.0.0.1\noptions timeout:30 attempts:2\n' >"$work/resolv.conf"
cat >"$work/sink.py" <<'PY'
import socket, sys, time
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp.bind(("127.0.0.1", 53))
tcp = socket.socket()
tcp.bind(("127.0.0.1", 53))
tcp.listen(16)
print("ready", flush=True)
while True:
    udp.recvfrom(4096)  # and no answer
PY
exec unshare --mount -- bash -c '
  set -euo pipefail
  work=$1; shift
  mount --bind "$work/hosts" /etc/hosts
  mount --bind "$work/resolv.conf" /etc/resolv.conf
  export QV_SILENT_DNS=1
  python3 -u "$work/sink.py" >"$work/sink.out" &
  sink=$!
  for _ in $(seq 100); do grep -q ready "$work/sink.out" 2>/dev/null && break; sleep 0.05; done
  status=0
  "$@" || status=$?
  kill $sink
  exit $status' with-silent-dns "$work" "$@"
