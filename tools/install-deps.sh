#!/usr/bin/env bash
# Installs every package the client, its tests and its benchmarks need on Debian 12.
set -euo pipefail

packages=(
    build-essential cmake ninja-build ccache pkg-config clang clang-format
    libtorrent-rasterbar-dev libboost-all-dev libssl-dev
    libcrypto++-dev libspdlog-dev libfmt-dev librapidxml-dev libmaxminddb-dev
    libmaxmind-db-writer-perl
    liblzf-dev nlohmann-json3-dev libsqlite3-dev sqlite3
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    python3-libtorrent opentracker iproute2 util-linux mktorrent bc
    chromium xdg-utils shared-mime-info zenity locales
)

sudo_if_needed() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
command -v npm >/dev/null || packages+=(nodejs npm)
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    sudo_if_needed apt-get update -qq
    DEBIAN_FRONTEND=noninteractive sudo_if_needed apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Display-text tests run under these locales too.
for l in de_DE fr_FR; do
    locale -a 2>/dev/null | grep -qx "$l.utf8" || sudo_if_needed localedef -i "$l" -f UTF-8 "$l.UTF-8" || true
done

# Browser tests drive Debian's chromium through playwright-core (no browser download).
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ ! -d "$root/tests/browser/node_modules/playwright-core" ]; then
    (cd "$root/tests/browser" && npm install --no-audit --no-fund --silent)
fi
