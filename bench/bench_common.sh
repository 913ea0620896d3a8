# Shared by the load drivers of bench/: the programs of the release build, a work directory
# that goes with the script's end, and a fresh KDX database (SQLite, or PostgreSQL on the
# server of scripts/postgres.sh). Sourced from the repository's top directory; the caller
# sets tarvell (empty: this build's), postgres (0 or 1) and keep (1 keeps the directory).

# tarvell, sim, dump and kdxdb: the programs, built first when they are missing.
bench_programs() {
    if [ -z "$tarvell" ]; then
        bash scripts/build.sh release >/dev/null
        tarvell=build/release/src/app/tarvell
    fi
    sim=build/release/tools/xfer-sim/xfer-sim
    dump=build/release/tools/xfer-dump/xfer-dump
    kdxdb=build/release/tools/kdx-db/kdx-db
    [ -x "$sim" ] && [ -x "$dump" ] && [ -x "$kdxdb" ] || bash scripts/build.sh release >/dev/null
}

# dir: a new directory /tmp/tarvell-NAME.*; pids: the processes to stop at the end. The
# end also drops a PostgreSQL database the script made.
bench_workdir() {
    dir=$(mktemp -d "/tmp/tarvell-$1.XXXXXX")
    pids=()
    dbname=""
    trap bench_cleanup EXIT
}

bench_cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if [ -n "$dbname" ]; then
        PGPASSWORD="$TARVELL_PG_PASSWORD" psql -X -q -h "$TARVELL_PG_HOST" \
            -p "$TARVELL_PG_PORT" -U "$TARVELL_PG_USER" -d postgres \
            -c "DROP DATABASE IF EXISTS $dbname" >/dev/null 2>&1 || true
    fi
    [ "$keep" -eq 1 ] || rm -rf "$dir"
}

# A fresh KDX database with the data source KDX in $dir; login: the options kdx-db needs
# for it; database: its name for the tables.
bench_create_database() {
    if [ "$postgres" -eq 1 ]; then
        eval "$(bash scripts/postgres.sh start)"
        dbname="bench_$$"
        eval "$("$kdxdb" create --postgres --dir "$dir" --host "$TARVELL_PG_HOST" \
            --port "$TARVELL_PG_PORT" --database "$dbname" --user "$TARVELL_PG_USER" \
            --password "$TARVELL_PG_PASSWORD")"
        login=(--user "$TARVELL_PG_USER" --password "$TARVELL_PG_PASSWORD")
        database=PostgreSQL
    else
        eval "$("$kdxdb" create --dir "$dir")"
        login=()
        database=SQLite
    fi
}

# The lines of the program INI that name the database, for its [DATABASE] section.
bench_database_ini() {
    echo "ODBC=KDX"
    if [ "$postgres" -eq 1 ]; then
        echo "USER=$TARVELL_PG_USER"
        echo "PASSWORD=$TARVELL_PG_PASSWORD"
    fi
}

# Runs one SQL query in the database and prints its result without decoration.
bench_query() {
    if [ "$postgres" -eq 1 ]; then
        PGPASSWORD="$TARVELL_PG_PASSWORD" psql -X -q -t -A -h "$TARVELL_PG_HOST" \
            -p "$TARVELL_PG_PORT" -U "$TARVELL_PG_USER" -d "$dbname" -c "$1"
    else
        sqlite3 "$dir/kdx.db" "$1"
    fi
}
