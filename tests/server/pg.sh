# A PostgreSQL server of a test's or a benchmark's own, in a folder of its
# own, run by an unprivileged user (PostgreSQL refuses root), on a private
# port; stopped by pg_stop. Source this file, then:
#   pg_start DIR [PORT]   -> sets PG_URL (postgresql://...), returns 0 once it answers;
#                            again after pg_stop, the same database
#   pg_stop
PG_BIN=${PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)}
PG_USER=${QV_TEST_USER:-qvplayer}
PG_DIR=

pg_as() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid="$PG_USER" --regid="$(id -g "$PG_USER")" --clear-groups env HOME="$PG_DIR" "$@"
  else
    "$@"
  fi
}

pg_start() {
  PG_DIR=$1
  local port=${2:-5432}
  [ -x "$PG_BIN/initdb" ] || { echo "no PostgreSQL server binaries (Debian's postgresql package)"; return 1; }
  mkdir -p "$PG_DIR"
  [ "$(id -u)" -ne 0 ] || chown "$PG_USER:" "$PG_DIR"
  chmod 700 "$PG_DIR"
  # Started again after pg_stop, the same database.
  [ -d "$PG_DIR/data" ] ||
    pg_as "$PG_BIN/initdb" -D "$PG_DIR/data" -U postgres --auth=trust -E UTF8 --locale=C.UTF-8 >"$PG_DIR/initdb.log" 2>&1 ||
    { cat "$PG_DIR/initdb.log"; return 1; }
  pg_as "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -p $port -k $PG_DIR -c max_connections=100" start >/dev/null ||
    { cat "$PG_DIR/server.log"; return 1; }
  PG_URL="postgresql://postgres@127.0.0.1:$port/postgres"
  export PG_URL
}

pg_stop() {
  [ -n "$PG_DIR" ] && [ -d "$PG_DIR/data" ] || return 0
  pg_as "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -m fast -w stop >/dev/null 2>&1 || true
}

# The server and every backend of it, stopped where they stand (SIGSTOP) or
# let go again: a database that neither answers nor refuses.
pg_pids() {
  local postmaster
  postmaster=$(head -1 "$PG_DIR/data/postmaster.pid")
  echo "$postmaster" $(pgrep -P "$postmaster")
}
pg_freeze() { kill -STOP $(pg_pids); }
pg_thaw() { kill -CONT $(pg_pids); }
