#!/usr/bin/env bash
# Installs what is missing, builds the Debug preset and runs the whole test suite.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash tools/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)"
ctest --preset dev -j 2 "$@"
