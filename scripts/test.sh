#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the normal build, then the
# AddressSanitizer+UBSan and ThreadSanitizer builds. Usage: scripts/test.sh [preset...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(debug asan tsan)

if [ -x scripts/postgres.sh ]; then
    # The database tests run against a PostgreSQL server of their own on loopback.
    eval "$(bash scripts/postgres.sh start)"
fi

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
