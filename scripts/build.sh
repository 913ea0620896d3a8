#!/usr/bin/env bash
# Configures and builds one or more presets (default: debug): debug, release, asan, tsan, fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(debug)
for preset in "${presets[@]}"; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
