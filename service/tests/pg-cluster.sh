# Throwaway PostgreSQL clusters for the service's tests and benchmark (Debian's postgresql
# package). Sourced, not run.
#   qv_pg_start DIR   initdb in DIR/data, start on 127.0.0.1 at a free port with its socket in DIR;
#                     sets QV_PG_PORT and QV_PG_URL (postgresql://qv@127.0.0.1:PORT) and writes
#                     DIR/pgctl, which takes "stop" (an immediate shutdown, as in a crash) and "start"
#   qv_pg_createdb NAME
#   qv_pg_stop DIR    stops the server and removes DIR
# initdb leaves the new cluster's files unflushed (nothing of it must outlive a power loss); the
# server flushes its commits as usual. initdb and postgres refuse to run as root: as root they run
# as the postgres system user the package creates, in a folder it owns.

QV_PG_BIN=${QV_PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)}

qv_pg_as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

qv_pg_free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

qv_pg_start() {
    local dir=$1 attempt options
    [ -x "$QV_PG_BIN/initdb" ] || {
        echo "no PostgreSQL server programs in ${QV_PG_BIN:-/usr/lib/postgresql/*/bin}" >&2
        return 1
    }
    mkdir -p "$dir"
    [ "$(id -u)" -ne 0 ] || chown postgres: "$dir"
    if ! qv_pg_as_owner "$QV_PG_BIN/initdb" -D "$dir/data" -U qv -A trust -E UTF8 --locale=C --no-sync >"$dir/initdb.log" 2>&1; then
        cat "$dir/initdb.log" >&2
        return 1
    fi
    # A port found free can be taken by someone else before the server binds it: try a few.
    for attempt in 1 2 3 4 5; do
        QV_PG_PORT=$(qv_pg_free_port)
        options="-c listen_addresses=127.0.0.1 -p $QV_PG_PORT -k $dir"
        if qv_pg_as_owner "$QV_PG_BIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -o "$options" -w -t 60 start \
            >/dev/null; then
            QV_PG_URL="postgresql://qv@127.0.0.1:$QV_PG_PORT"
            cat >"$dir/pgctl" <<CTL
#!/bin/sh
# stop: an immediate shutdown, as in a crash of the server; start: the same server again.
case "\$1" in
stop) $(declare -f qv_pg_as_owner); qv_pg_as_owner "$QV_PG_BIN/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null ;;
start) $(declare -f qv_pg_as_owner); qv_pg_as_owner "$QV_PG_BIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -o "$options" -w -t 60 start >/dev/null ;;
*) exit 2 ;;
esac
CTL
            chmod +x "$dir/pgctl"
            return 0
        fi
        tail -5 "$dir/server.log" >&2 2>/dev/null || true
    done
    return 1
}

qv_pg_createdb() {
    qv_pg_as_owner "$QV_PG_BIN/createdb" -h 127.0.0.1 -p "$QV_PG_PORT" -U qv "$1"
}

qv_pg_stop() {
    local dir=$1
    [ -n "$dir" ] || return 0
    if [ -f "$dir/data/postmaster.pid" ]; then
        qv_pg_as_owner "$QV_PG_BIN/pg_ctl" -D "$dir/data" -m fast -w -t 30 stop >/dev/null 2>&1 ||
            qv_pg_as_owner "$QV_PG_BIN/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
}
