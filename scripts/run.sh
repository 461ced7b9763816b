#!/usr/bin/env bash
# Installs what is missing, builds, and starts the listener on its default
# SQLite database (~/.local/share/tallyhost/test.mdb, port 28000). Without a
# display it runs headless; Ctrl+C stops it and saves its connections.
# Arguments are passed to the listener (maxcon=N logout=0|1 cfgfile=NAME headless=1).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target tallyhost tallycore tallyfeed tallysend
exec build/bin/tallyhost "$@"
