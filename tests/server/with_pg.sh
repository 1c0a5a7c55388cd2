#!/usr/bin/env bash
# Runs a command with a PostgreSQL server of its own, named by
# QV_TEST_PG_URL, and stops the server after it:
#   with_pg.sh COMMAND [ARGS...]
set -uo pipefail
source "$(dirname "$0")/pg.sh"
work=$(mktemp -d)
chmod 755 "$work"  # PostgreSQL runs as an unprivileged user under it
trap 'pg_stop; rm -rf "$work"' EXIT
pg_start "$work/pg" 5432 || { echo "no PostgreSQL for the test"; exit 1; }
QV_TEST_PG_URL=$PG_URL "$@"
