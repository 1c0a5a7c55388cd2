#!/usr/bin/env bash
# Runs a command in a network namespace of its own with only loopback up,
# so that 127.0.0.1:80 and every other port are the command's alone:
#   netns-run.sh COMMAND [ARGS...]
# Root gets a plain network namespace; anyone else a user namespace too.
# QV_OWN_NETNS=1 tells the command that its network settings are its own.
set -euo pipefail
if [ "$(id -u)" -eq 0 ]; then
  exec unshare --net -- sh -c 'ip link set lo up && QV_OWN_NETNS=1 exec "$@"' netns-run "$@"
fi
exec unshare --user --map-root-user --net -- sh -c 'ip link set lo up && QV_OWN_NETNS=1 exec "$@"' netns-run "$@"
