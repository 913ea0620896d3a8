#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the normal build, then the
# AddressSanitizer+UBSan and ThreadSanitizer builds. Usage: scripts/test.sh [preset...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(debug asan tsan)

# The database tests run against a PostgreSQL server of their own on loopback: in a
# directory of this run, on a port nothing else holds (another checkout testing at the same
# time has its own), stopped and removed however the run ends.
pg_root=$(mktemp -d /tmp/tarvell-pg-XXXXXX)
chmod 0755 "$pg_root" # the server runs as the user postgres when we are root
pg_port=""
stop_postgres() {
    if [ -n "$pg_port" ]; then
        bash scripts/postgres.sh stop --port "$pg_port" --dir "$pg_root/$pg_port" || true
    fi
    rm -rf "$pg_root"
}
trap stop_postgres EXIT
for _ in $(seq 20); do
    # A port that is taken makes the start fail; the next attempt takes another.
    port=$((20000 + RANDOM % 40000))
    if settings=$(bash scripts/postgres.sh start --port "$port" --dir "$pg_root/$port"); then
        pg_port=$port
        eval "$settings"
        break
    fi
    bash scripts/postgres.sh destroy --port "$port" --dir "$pg_root/$port" || true
done
[ -n "$pg_port" ] || echo "test.sh: no PostgreSQL server could be started; its cases are skipped"

status=0
for preset in "${presets[@]}"; do
    echo "=== $preset ==="
    bash scripts/build.sh "$preset"
    if ! ctest --preset "$preset" -j2; then
        status=1
    fi
done

# The decoders of server input under libFuzzer for a short while (the corpus and past
# crashers are replayed as ordinary tests in every build above).
if [ $# -eq 0 ]; then
    echo "=== fuzz smoke ==="
    if ! bash scripts/fuzz-smoke.sh 8; then
        status=1
    fi
fi
exit $status
