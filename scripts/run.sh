#!/usr/bin/env bash
# Installs what is missing, builds and starts the connector. Without a display it starts the
# program under Xvfb against the demo provider, saves a screenshot and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release
cmake --build --preset release -j "$(nproc)" --target vpn vpnctl

if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
    exec build/release/app/vpn "$@"
fi
exec scripts/screenshot.sh build/release/app/vpn build/release/screenshot.png
