#!/usr/bin/env bash
# Installs what is missing, builds, and starts the listener on its default
# SQLite database (~/.local/share/tallyhost/test.mdb, port 28000). Without a
# display it runs headless; Ctrl+C stops it and saves its settings.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target tallycore tallyfeed $( [ -f listener/main.cpp ] && echo tallyhost )

if [ -x build/bin/tallyhost ]; then
  exec build/bin/tallyhost "$@"
fi

# Without the listener: feed one sample datagram into the default database.
data="${XDG_DATA_HOME:-$HOME/.local/share}/tallyhost"
mkdir -p "$data"
[ -e "$data/test.mdb" ] || : > "$data/test.mdb"
sample=$(mktemp)
printf '\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\0\0\0\0hostname "Sample server"\n$HOST_IP$ "127.0.0.1"\nport "27910"\n\0' > "$sample"
build/bin/tallyfeed --create-tables "Provider=SQLite;Data Source=$data/test.mdb" "$sample"
rm -f "$sample"
sqlite3 -header -column "$data/test.mdb" 'select Record, Log_IP, Log_Port, length(Log_Data) as Bytes, Log_Date from Logs order by Record desc limit 5;'
tail -n 2 "$data/Process.log"
