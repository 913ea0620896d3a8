#!/usr/bin/env bash
# Builds the Debian package tarvell_<version>_<arch>.deb from the release build and prints
# its path. The package goes to build/package/, or to the directory given as the argument.
#   bash scripts/package.sh && sudo apt install ./build/package/tarvell_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/package}")

bash scripts/install-deps.sh
bash scripts/build.sh release
mkdir -p "$out"
cpack --config build/release/CPackConfig.cmake -B "$out" >&2
rm -rf "$out/_CPack_Packages"
ls "$out"/tarvell_*.deb
