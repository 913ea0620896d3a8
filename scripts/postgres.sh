#!/usr/bin/env bash
# A private PostgreSQL 15 server on loopback for the database tests (and for trying the program
# against a shared database server without touching the system's own cluster).
#
#   scripts/postgres.sh start   [--port N] [--dir DIR]   start (idempotent); prints export lines
#   scripts/postgres.sh stop    [--port N] [--dir DIR]   stop (fast shutdown); no error if not running
#   scripts/postgres.sh restart [--port N] [--dir DIR]   stop, then start
#   scripts/postgres.sh env     [--port N] [--dir DIR]   print the export lines only
#   scripts/postgres.sh destroy [--port N] [--dir DIR]   stop and remove the cluster's folder
#
# Defaults: port 55432, folder /tmp/tarvell-pg-<port>. The cluster trusts every connection on
# 127.0.0.1 (it is a test server: never open it to a network), runs without fsync, and has a
# role "tarvell" allowed to create databases, the role "KDX" of TARVELL's default login, and
# "tarvell_pw", the one role that must give its password ("right").
# Run as root, the server runs as the user "postgres": PostgreSQL refuses to run as root.
#
# stdout of start/restart/env is only the export lines, so that
#   eval "$(bash scripts/postgres.sh start)"
# sets TARVELL_PG_HOST, TARVELL_PG_PORT, TARVELL_PG_USER, TARVELL_PG_PASSWORD and
# TARVELL_PG_DIR in the calling shell. Everything else goes to stderr.
set -euo pipefail

command="${1:-}"
[ $# -gt 0 ] && shift
port=55432
dir=""
while [ $# -gt 0 ]; do
    case "$1" in
    --port) port="$2"; shift 2 ;;
    --dir) dir="$2"; shift 2 ;;
    *) echo "postgres.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
[ -n "$dir" ] || dir="/tmp/tarvell-pg-$port"
data="$dir/data"
host=127.0.0.1
role=tarvell

say() { echo "postgres.sh: $*" >&2; }

bindir=""
for candidate in /usr/lib/postgresql/15/bin /usr/lib/postgresql/*/bin; do
    if [ -x "$candidate/pg_ctl" ]; then
        bindir="$candidate"
        break
    fi
done
if [ -z "$bindir" ]; then
    say "no PostgreSQL server found (Debian package postgresql)"
    exit 1
fi

# Runs a server program as the user that owns the cluster.
as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

print_env() {
    echo "export TARVELL_PG_HOST=$host"
    echo "export TARVELL_PG_PORT=$port"
    echo "export TARVELL_PG_USER=$role"
    echo "export TARVELL_PG_PASSWORD=$role"
    echo "export TARVELL_PG_DIR=$dir"
}

running() {
    [ -f "$data/postmaster.pid" ] && as_owner "$bindir/pg_ctl" -D "$data" status >/dev/null 2>&1
}

psql_admin() {
    as_owner /usr/bin/env PGCONNECT_TIMEOUT=10 "$bindir/psql" -X -q -v ON_ERROR_STOP=1 \
        -h "$host" -p "$port" -U postgres -d postgres "$@"
}

init_cluster() {
    mkdir -p "$dir"
    if [ "$(id -u)" -eq 0 ]; then
        chown postgres: "$dir"
    fi
    chmod 700 "$dir"
    say "initialising a cluster in $data"
    as_owner "$bindir/initdb" -D "$data" -U postgres -A trust -E UTF8 --no-locale --no-sync \
        >"$dir/initdb.log" 2>&1 || {
        cat "$dir/initdb.log" >&2
        exit 1
    }
    cat >>"$data/postgresql.conf" <<EOF

# tarvell test server
listen_addresses = '$host'
port = $port
unix_socket_directories = '$dir'
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 200
# The tests drop their databases at once; an autovacuum worker busy in one (a superuser
# process the test role may not end) would make the drop fail.
autovacuum = off
EOF
    # One role that must give its password, for the tests of a wrong password; everything
    # else is trusted.
    { echo "host all tarvell_pw 127.0.0.1/32 scram-sha-256"; cat "$data/pg_hba.conf"; } \
        >"$data/pg_hba.conf.new"
    mv "$data/pg_hba.conf.new" "$data/pg_hba.conf"
    if [ "$(id -u)" -eq 0 ]; then
        chown postgres: "$data/pg_hba.conf"
    fi
}

start() {
    if ! running; then
        [ -f "$data/PG_VERSION" ] || init_cluster
        say "starting PostgreSQL on $host:$port"
        if ! as_owner "$bindir/pg_ctl" -D "$data" -l "$dir/server.log" -w -t 60 start >&2; then
            tail -n 20 "$dir/server.log" >&2 || true
            exit 1
        fi
    fi
    provision
}

# The roles the tests use, made once; settings of clusters made by older versions.
provision() {
    local state
    state=$(psql_admin -tA -c "SELECT (SELECT count(*) FROM pg_roles WHERE rolname IN
        ('$role', 'KDX', 'tarvell_pw')) || current_setting('autovacuum')")
    [ "$state" = "3off" ] && return 0
    if ! psql_admin -tA -c "SELECT 1 FROM pg_roles WHERE rolname='$role'" | grep -q 1; then
        psql_admin -c "CREATE ROLE $role LOGIN CREATEDB PASSWORD '$role'" >&2
        psql_admin -c "CREATE DATABASE $role OWNER $role" >&2
    fi
    # The login of TARVELL's built-in defaults, so that they can be tried here too, and a
    # role whose password is checked.
    if ! psql_admin -tA -c "SELECT 1 FROM pg_roles WHERE rolname='KDX'" | grep -q 1; then
        psql_admin -c "CREATE ROLE \"KDX\" LOGIN PASSWORD 'QZT'" >&2
    fi
    if ! psql_admin -tA -c "SELECT 1 FROM pg_roles WHERE rolname='tarvell_pw'" | grep -q 1; then
        psql_admin -c "CREATE ROLE tarvell_pw LOGIN PASSWORD 'right'" >&2
    fi
    if ! psql_admin -tA -c "SHOW autovacuum" | grep -q off; then
        psql_admin -c "ALTER SYSTEM SET autovacuum = off" -c "SELECT pg_reload_conf()" >/dev/null
    fi
}

stop() {
    if running; then
        say "stopping PostgreSQL on $host:$port"
        as_owner "$bindir/pg_ctl" -D "$data" -m fast -w -t 60 stop >&2
    fi
}

case "$command" in
start)
    start
    print_env
    ;;
stop) stop ;;
restart)
    stop
    start
    print_env
    ;;
env) print_env ;;
destroy)
    stop
    rm -rf "$dir"
    ;;
*)
    echo "usage: scripts/postgres.sh start|stop|restart|env|destroy [--port N] [--dir DIR]" >&2
    exit 2
    ;;
esac
