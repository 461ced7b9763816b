#!/usr/bin/env bash
# A throwaway PostgreSQL server for tests and benchmarks.
#
#   pg-test-server.sh start STATE_FILE [durable]
#       initdb in a new temporary folder, start the server there (a Unix
#       socket in that folder, TCP on 127.0.0.1 at a free port, user "tally"
#       with password "tally" over TCP, trusted over the socket) and write
#       "DIR PORT" to STATE_FILE. Without "durable" the server skips fsync.
#   pg-test-server.sh stop STATE_FILE     stops it and removes its folder
#   pg-test-server.sh pause STATE_FILE    stops it, keeping its folder
#   pg-test-server.sh resume STATE_FILE   starts it again on the same port
#
# Runs the server as "nobody" when started as root (PostgreSQL refuses root).
set -euo pipefail

bindir=$(pg_config --bindir 2>/dev/null || true)
[ -x "$bindir/initdb" ] || bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1)
[ -x "$bindir/initdb" ] || { echo "pg-test-server: initdb not found (install postgresql)" >&2; exit 1; }

as_server=()
[ "$(id -u)" -eq 0 ] && as_server=(runuser -u nobody --)

cmd=${1:?start, stop, pause or resume}
state=${2:?state file}

server_options() {   # dir port durable
  local o="-k $1 -p $2 -c listen_addresses=127.0.0.1 -c max_connections=200 -c shared_buffers=32MB"
  o="$o -c shared_preload_libraries=pg_stat_statements"   # rows read per statement, for tests
  [ "$3" = durable ] || o="$o -c fsync=off -c full_page_writes=off -c synchronous_commit=off"
  echo "$o"
}

case "$cmd" in
  start)
    dir=$(mktemp -d /tmp/tallypg.XXXXXX)
    chmod 700 "$dir"
    echo tally > "$dir/pw"
    [ "$(id -u)" -eq 0 ] && chown -R nobody "$dir"
    "${as_server[@]}" "$bindir/initdb" -D "$dir/data" -U tally --pwfile="$dir/pw" -E UTF8 --locale=C \
      --auth-local=trust --auth-host=scram-sha-256 -N > "$dir/initdb.log" 2>&1 ||
      { cat "$dir/initdb.log" >&2; exit 1; }
    for attempt in 1 2 3 4 5 6 7 8; do
      port=$(( 20000 + (RANDOM * 32768 + RANDOM) % 40000 ))
      if "${as_server[@]}" "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
           -o "$(server_options "$dir" "$port" "${3:-}")" start > /dev/null 2>&1; then
        echo "$dir $port ${3:-}" > "$state"
        exit 0
      fi
    done
    cat "$dir/server.log" >&2
    exit 1
    ;;
  stop|pause)
    [ -f "$state" ] || exit 0
    read -r dir port durable < "$state"
    "${as_server[@]}" "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop > /dev/null 2>&1 || true
    if [ "$cmd" = stop ]; then rm -rf "$dir"; rm -f "$state"; fi
    ;;
  resume)
    read -r dir port durable < "$state"
    "${as_server[@]}" "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "$(server_options "$dir" "$port" "${durable:-}")" start > /dev/null
    ;;
  *)
    echo "pg-test-server: unknown command $cmd" >&2
    exit 2
    ;;
esac
