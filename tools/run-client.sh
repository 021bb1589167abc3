#!/usr/bin/env bash
# Installs what is missing, builds the release preset and starts the client.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
exec ./build/release/src/host/velmora "$@"
