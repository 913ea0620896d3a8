#!/usr/bin/env bash
# Installs what is needed, builds the program and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh release
./build/release/src/app/tarvell --version
./build/release/src/app/tarvell --help
