#!/bin/sh
# A throw-away PostgreSQL server for the tests and benchmarks, in a folder of
# its own: a Unix socket in that folder and a loopback TCP port, trust
# authentication for the user "stampwell", nothing else on the machine
# touched. Under root it runs as the unprivileged user "nobody" (the server
# refuses to run as root).
#
#   pg_test_server.sh init DIR            make DIR/data (initdb)
#   pg_test_server.sh start DIR PORT [durable]
#                                         start it (fsync off unless durable)
#   pg_test_server.sh stop DIR            stop it now (pg_ctl stop -m immediate)
#   pg_test_server.sh remove DIR          stop it if running, delete DIR
set -eu

bindir=${STAMPWELL_PG_BINDIR:-}
if [ -z "$bindir" ]; then
    for d in /usr/lib/postgresql/*/bin; do
        [ -x "$d/initdb" ] && bindir=$d
    done
fi
if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
    echo "pg_test_server: no PostgreSQL server found (install postgresql-15)" >&2
    exit 3
fi

as_owner() {
    if [ "$(id -u)" = 0 ]; then
        runuser -u nobody -- "$@"
    else
        "$@"
    fi
}

cmd=${1:?command}
dir=${2:?directory}
case $cmd in
init)
    mkdir -p "$dir"
    [ "$(id -u)" = 0 ] && chown nobody "$dir"
    as_owner "$bindir/initdb" -D "$dir/data" -A trust -U stampwell -E UTF8 --locale=C \
        --no-sync >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    ;;
start)
    port=${3:?port}
    fsync=off
    [ "${4:-}" = durable ] && fsync=on
    as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 -o \
        "-c listen_addresses=127.0.0.1 -p $port -k $dir -c fsync=$fsync -c max_connections=200" \
        start >/dev/null || { tail -20 "$dir/server.log" >&2; exit 1; }
    ;;
stop)
    as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null
    ;;
remove)
    if [ -f "$dir/data/postmaster.pid" ]; then
        as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
    ;;
*)
    echo "pg_test_server: unknown command $cmd" >&2
    exit 2
    ;;
esac
