#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, AddressSanitizer+UBSan) and runs every fuzz
# target for a few seconds from its committed corpus. New inputs go to a temporary
# directory, so the corpus in the repository stays as committed. A finding fails the run and
# leaves its input in build/fuzz/findings/ (add it to tests/fuzz/crashers/<target>/ once
# fixed). Usage: scripts/fuzz-smoke.sh [seconds per target, default 8]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-8}"
targets=(decode_config decode_packet link_stream status_answer)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"

findings="build/fuzz/findings"
mkdir -p "$findings"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0
for target in "${targets[@]}"; do
    echo "=== fuzz_$target (${seconds}s) ==="
    mkdir -p "$work/$target"
    if ! "build/fuzz/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
            -artifact_prefix="$findings/$target-" "$work/$target" "tests/fuzz/corpus/$target" \
            2>"$work/$target.log"; then
        tail -n 40 "$work/$target.log"
        status=1
    else
        grep -E '^(Done|stat::number_of_executed_units)' "$work/$target.log" || true
    fi
done
exit $status
