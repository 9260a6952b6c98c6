#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for tests and benchmarks: created in a fresh
# temporary directory, listening only on 127.0.0.1 (and a Unix socket inside
# that directory), trust authentication for loopback only, removed whole by
# "stop".
#
#   pg-test-server.sh start           -> prints the cluster directory
#   pg-test-server.sh conninfo DIR    -> prints the libpq connection string
#   pg-test-server.sh halt DIR        -> stops the server, keeps the cluster
#   pg-test-server.sh resume DIR      -> starts a halted cluster again, same port
#   pg-test-server.sh stop DIR        -> stops the server and removes DIR
#                                        (idempotent; a missing DIR is fine)
#
# The server refuses to run as root, so when called by root every server
# command runs as the "postgres" system user (or "nobody" where there is
# none) and the directory belongs to that user. A normal user runs it as
# themselves. fsync stays on; nothing here trades durability for speed, so a
# persistent message that a test puts really is on disk.
set -euo pipefail

die() { echo "pg-test-server: $*" >&2; exit 1; }

find_bindir() {
  local d
  if command -v pg_config >/dev/null 2>&1; then
    d="$(pg_config --bindir 2>/dev/null || true)"
    [ -x "$d/initdb" ] && [ -x "$d/pg_ctl" ] && { echo "$d"; return; }
  fi
  # Debian keeps the server binaries per major version; take the newest.
  for d in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -t/ -k5 -V -r); do
    [ -x "$d/initdb" ] && [ -x "$d/pg_ctl" ] && { echo "$d"; return; }
  done
  d="$(dirname "$(command -v initdb 2>/dev/null || echo /nonexistent/x)")"
  [ -x "$d/initdb" ] && [ -x "$d/pg_ctl" ] && { echo "$d"; return; }
  die "no PostgreSQL server binaries found (initdb, pg_ctl)"
}

# The user the server runs as, and a prefix that runs a command as that user.
RUNAS=()
SERVER_USER="$(id -un)"
if [ "$(id -u)" -eq 0 ]; then
  if id postgres >/dev/null 2>&1; then SERVER_USER=postgres; else SERVER_USER=nobody; fi
  RUNAS=(runuser -u "$SERVER_USER" --)
fi

as_server() { "${RUNAS[@]}" "$@"; }

port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

pick_port() {
  local p tries=0
  while [ $tries -lt 200 ]; do
    p=$(( 20000 + (RANDOM * 32768 + RANDOM) % 40000 ))
    port_in_use "$p" || { echo "$p"; return; }
    tries=$((tries + 1))
  done
  die "no free port found"
}

start_server() {
  local dir="$1" port="$2" bindir
  bindir="$(find_bindir)"
  as_server "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories='$dir'" \
    start >/dev/null
}

cmd_start() {
  local bindir dir port attempt
  bindir="$(find_bindir)"
  # A directory every server user can reach, whatever TMPDIR root has.
  local base="${TMPDIR:-/tmp}"
  [ "$(id -u)" -eq 0 ] && base=/tmp
  dir="$(mktemp -d "$base/krsoap-pg.XXXXXX")"
  chmod 0700 "$dir"
  [ ${#RUNAS[@]} -gt 0 ] && chown "$SERVER_USER" "$dir"
  if ! as_server "$bindir/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --no-sync \
        --locale=C.UTF-8 --no-instructions >"$dir/initdb.log" 2>&1; then
    cat "$dir/initdb.log" >&2
    rm -rf "$dir"
    die "initdb failed"
  fi
  # Loopback only, trust for loopback and the private socket directory only.
  as_server tee "$dir/data/pg_hba.conf" >/dev/null <<'EOF'
local   all all                 trust
host    all all 127.0.0.1/32    trust
EOF
  as_server tee -a "$dir/data/postgresql.conf" >/dev/null <<'EOF'
# throwaway test cluster
max_connections = 200
shared_buffers = 128MB
fsync = on
synchronous_commit = on
logging_collector = off
EOF
  # The chosen port can be taken between the check and the start: try again.
  for attempt in 1 2 3 4 5; do
    port="$(pick_port)"
    if start_server "$dir" "$port" 2>>"$dir/start.log"; then
      echo "$port" >"$dir/port"
      printf 'postgresql://postgres@127.0.0.1:%s/postgres\n' "$port" >"$dir/conninfo"
      echo "$dir"
      return 0
    fi
  done
  cat "$dir/server.log" >&2 2>/dev/null || true
  cmd_stop "$dir"
  die "the server did not start"
}

check_dir() {
  case "$1" in
    */krsoap-pg.*) ;;
    *) die "not a cluster directory made by this script: $1" ;;
  esac
}

cmd_conninfo() {
  check_dir "$1"
  cat "$1/conninfo"
}

cmd_halt() {
  local dir="$1" bindir
  check_dir "$dir"
  bindir="$(find_bindir)"
  if [ -f "$dir/data/postmaster.pid" ]; then
    as_server "$bindir/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null 2>&1 || true
  fi
}

cmd_resume() {
  local dir="$1"
  check_dir "$dir"
  start_server "$dir" "$(cat "$dir/port")"
}

cmd_stop() {
  local dir="$1" bindir pid
  check_dir "$dir"
  [ -d "$dir" ] || return 0
  bindir="$(find_bindir)"
  if [ -f "$dir/data/postmaster.pid" ]; then
    as_server "$bindir/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
    # pg_ctl gave up: make sure no postmaster is left behind.
    if [ -f "$dir/data/postmaster.pid" ]; then
      pid="$(head -1 "$dir/data/postmaster.pid" 2>/dev/null || true)"
      case "$pid" in ''|*[!0-9]*) ;; *) kill -9 "$pid" 2>/dev/null || true ;; esac
    fi
  fi
  rm -rf "$dir"
}

case "${1:-}" in
  start) cmd_start ;;
  conninfo) [ $# -eq 2 ] || die "usage: $0 conninfo DIR"; cmd_conninfo "$2" ;;
  halt) [ $# -eq 2 ] || die "usage: $0 halt DIR"; cmd_halt "$2" ;;
  resume) [ $# -eq 2 ] || die "usage: $0 resume DIR"; cmd_resume "$2" ;;
  stop) [ $# -eq 2 ] || die "usage: $0 stop DIR"; cmd_stop "$2" ;;
  *) die "usage: $0 start | conninfo DIR | halt DIR | resume DIR | stop DIR" ;;
esac
