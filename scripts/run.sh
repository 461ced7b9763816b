#!/usr/bin/env bash
# Installs what is missing, builds, and starts the listener on its default
# SQLite database (~/.local/share/tallyhost/test.mdb, port 28000). Without a
# display it runs headless; Ctrl+C stops it and saves its connections.
# Arguments are passed to the listener (maxcon=N logout=0|1 cfgfile=NAME headless=1).
#
# `bash scripts/run.sh web [OPTIONS]` starts the statistics web site instead:
# tallyweb on the same default database, at http://127.0.0.1:8080/ (options
# such as --listen ADDR:PORT and --refresh SECONDS are passed on).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [ "${1:-}" = "web" ]; then
  shift
  cmake --build build -j"$(nproc)" --target tallyweb
  data="${XDG_DATA_HOME:-$HOME/.local/share}/tallyhost"
  exec build/bin/tallyweb "$@" "Provider=SQLite;Data Source=$data/test.mdb"
fi
cmake --build build -j"$(nproc)" --target tallyhost tallycore tallyfeed tallysend
exec build/bin/tallyhost "$@"
