#!/usr/bin/env bash
# Load benchmark of the vendor's service with wrk on 127.0.0.1: daily hits with valid tokens (made
# by the project's token code) from 16 connections, against SQLite (synchronous FULL, the
# default, and NORMAL), PostgreSQL with one instance and PostgreSQL with two instances on one
# database; then the statistics page over a million stored reports in both stores. Each load is
# run several times and the medians are printed, with a check that every answered report is stored.
#   scripts/bench-service.sh [RUNS] [SECONDS] [STATS_REPORTS]   (defaults 3, 10, 1000000)
set -euo pipefail
. "$(dirname "$0")/common.sh"
. "$QV_ROOT/service/tests/pg-cluster.sh"

runs=${1:-3}
seconds=${2:-10}
stats_reports=${3:-1000000}
qv_install_deps
qv_build_service >/dev/null
service="$QV_ROOT/build/service/qvservice"
bench="$QV_ROOT/build/service/qvservice-bench"

work=$(mktemp -d /tmp/qv-bench-service.XXXXXX)
# The cluster lives in a folder of its own, which its server user can reach.
pg_dir=$(mktemp -d /tmp/qv-pg.XXXXXX)
pids=()
stop_all() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    pids=()
}
cleanup() {
    stop_all
    qv_pg_stop "$pg_dir"
    rm -rf "$work"
}
trap cleanup EXIT

"$bench" tokens 200000 >"$work/tokens"
cat >"$work/hit.lua" <<'LUA'
-- Daily hits as the client sends them. Each wrk thread takes its own share of the clients (args:
-- TOKENS SHARES FIRST-SHARE), so no two connections send one client's hit at the same moment.
local shares, first = 1, 0
local thread_index = 0
function setup(thread)
    thread:set("index", thread_index)
    thread_index = thread_index + 1
end
local bodies = {}
local next = 0
function init(args)
    shares, first = tonumber(args[2]) or 1, tonumber(args[3]) or 0
    local mine, n = first + index, 0
    for line in io.lines(args[1]) do
        if n % shares == mine then bodies[#bodies + 1] = "CR=" .. line end
        n = n + 1
    end
end
function request()
    next = next % #bodies + 1
    return wrk.format("POST", "/api/client.asmx/SendLog",
        { ["Content-Type"] = "application/x-www-form-urlencoded" }, bodies[next])
end
LUA

# start NAME ARGS...: starts the service and waits until it listens; its port is then in $port.
start() {
    local name=$1
    shift
    rm -f "$work/$name.port"
    "$service" "$@" --port 0 --port-file "$work/$name.port" --offer-version 1.0.0.2 \
        --offer-url http://updates.example/Quenvar-1.0.0.2.cab >/dev/null 2>"$work/$name.log" &
    pids+=($!)
    local i
    for i in $(seq 1 200); do
        [ -s "$work/$name.port" ] && break
        sleep 0.05
    done
    [ -s "$work/$name.port" ] || {
        cat "$work/$name.log" >&2
        exit 1
    }
    port=$(cat "$work/$name.port")
}

# load OUT PORT CONNECTIONS [SHARES FIRST-SHARE]: one wrk run with two threads; OUT gets
# "requests reports_per_s p50_ms p99_ms errors".
load() {
    wrk -t2 -c"$3" -d"${seconds}s" --latency -s "$work/hit.lua" "http://127.0.0.1:$2/" -- "$work/tokens" \
        "${4:-2}" "${5:-0}" >"$1.wrk"
    awk '
        function ms(v) {
            if (v ~ /us$/) return v / 1000
            if (v ~ /ms$/) return v + 0
            if (v ~ /s$/) return v * 1000
            return v
        }
        $1 == "50%" { p50 = ms($2) }
        $1 == "99%" { p99 = ms($2) }
        / requests in / { requests = $1 }
        /^Requests\/sec:/ { rate = $2 }
        /Non-2xx or 3xx responses:/ { errors = $5 }
        /Socket errors:/ { for (i = 3; i <= NF; i++) { gsub(",", "", $i); if ($i ~ /^[0-9]+$/) errors += $i } }
        END { printf "%d %.0f %.2f %.2f %d\n", requests, rate, p50, p99, errors }' "$1.wrk" >"$1"
}

# CPU time, so the figure per core holds on a machine shared with other work.
clock_ticks=$(getconf CLK_TCK)
ticks() { # PID... -> the user and system CPU ticks they used, with their waited-for children
    local total=0 pid
    for pid in "$@"; do
        [ -r "/proc/$pid/stat" ] && total=$((total + $(awk '{ print $14 + $15 + $16 + $17 }' "/proc/$pid/stat")))
    done
    echo "$total"
}
server_pids() { # the PostgreSQL server's processes
    local postmaster
    postmaster=$(head -1 "$pg_dir/data/postmaster.pid")
    echo "$postmaster $(pgrep -P "$postmaster" | tr '\n' ' ')"
}
cpu_start() { # PID...: starts counting the CPU time of the service's processes and these
    cpu_pids="${pids[*]} $*"
    cpu_before=$(ticks $cpu_pids)
}
cpu_end() { # RUN-FILE...: appends reports per CPU-second (service and database) to the summed run
    local used requests
    used=$(($(ticks $cpu_pids) - cpu_before))
    requests=$(cat "$@" | awk '{ s += $1 } END { print s }')
    awk -v r="$requests" -v u="$used" -v c="$clock_ticks" '{ printf "%s %.0f\n", $0, (u > 0 ? r * c / u : 0) }' \
        "$1" >"$1.cpu"
    mv "$1.cpu" "$1"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column() { awk -v c="$1" '{ print $c }' "$2"; }

# report LABEL FILES...: the medians of the runs in FILES.
report() {
    local label=$1
    shift
    cat "$@" >"$work/all"
    printf "%-30s %6s reports/s  p50 %5s ms  p99 %6s ms  %5s per CPU-second  non-200 %s\n" "$label" \
        "$(column 2 "$work/all" | median)" "$(column 3 "$work/all" | median)" "$(column 4 "$work/all" | median)" \
        "$(column 6 "$work/all" | median)" "$(column 5 "$work/all" | awk '{ s += $1 } END { print s }')"
}

# check DATABASE ANSWERED: every report answered with 200 is stored.
check() {
    local stored
    stored=$("$bench" count "$1")
    if [ "$stored" -lt "$2" ]; then
        echo "LOST REPORTS: $2 answered, $stored stored" >&2
        exit 1
    fi
    echo "    stored $stored reports for $2 answered (the rest were in flight when wrk stopped)"
}

echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg) at the start (other work shares the machine)"
echo "load: wrk -t2 -c16 -d${seconds}s, daily hits of distinct clients with valid tokens, median of $runs runs;"
echo "per CPU-second: reports per second of CPU used by the service and the database server (not wrk)"

for sync in full normal; do
    answered=0
    files=()
    start "sqlite-$sync" --db "$work/$sync.db" --sync "$sync"
    for run in $(seq 1 "$runs"); do
        cpu_start
        load "$work/sqlite-$sync.$run" "$port" 16
        cpu_end "$work/sqlite-$sync.$run"
        answered=$((answered + $(column 1 "$work/sqlite-$sync.$run")))
        files+=("$work/sqlite-$sync.$run")
    done
    stop_all
    report "SQLite, synchronous=$sync" "${files[@]}"
    check "$work/$sync.db" "$answered"
done

qv_pg_start "$pg_dir" >/dev/null
for instances in 1 2; do
    files=()
    for run in $(seq 1 "$runs"); do
        qv_pg_createdb "load$instances$run"
        db="$QV_PG_URL/load$instances$run"
        if [ "$instances" -eq 1 ]; then
            start pg1 --db "$db"
            cpu_start $(server_pids)
            load "$work/pg1.$run" "$port" 16
            cpu_end "$work/pg1.$run"
        else
            start pg2a --db "$db"
            port_a=$port
            start pg2b --db "$db"
            port_b=$port
            cpu_start $(server_pids)
            # Eight connections to each instance at the same time, as behind a load balancer.
            load "$work/pg2a.$run" "$port_a" 8 4 0 &
            wrk_a=$!
            load "$work/pg2b.$run" "$port_b" 8 4 2
            wait "$wrk_a"
            paste -d' ' "$work/pg2a.$run" "$work/pg2b.$run" | awk '{
                printf "%d %.0f %.2f %.2f %d\n", $1 + $6, $2 + $7, ($3 > $8 ? $3 : $8), ($4 > $9 ? $4 : $9), $5 + $10
            }' >"$work/pg2.$run"
            cpu_end "$work/pg2.$run"
        fi
        stop_all
        files+=("$work/pg$instances.$run")
        check "$db" "$(column 1 "$work/pg$instances.$run")"
    done
    report "PostgreSQL, $instances instance(s)" "${files[@]}"
done

echo "statistics page, default range (30 days) over $stats_reports reports spread over 30 days:"
stats_time() { # PORT PATH -> median seconds of 5 requests
    local i
    for i in 1 2 3 4 5; do
        curl -s -o /dev/null -w '%{time_total}\n' -H "Authorization: Bearer bench-token" "http://127.0.0.1:$1$2"
    done | median
}
fill_start=$(date +%s.%N)
"$bench" fill "$work/stats.db" "$stats_reports" 30
echo "    SQLite filled in $(awk -v a="$fill_start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"
start stats-sqlite --db "$work/stats.db" --admin-token bench-token
echo "    SQLite:     /stats $(stats_time "$port" /stats) s, /stats.json $(stats_time "$port" /stats.json) s"
stop_all
qv_pg_createdb stats
fill_start=$(date +%s.%N)
"$bench" fill "$QV_PG_URL/stats" "$stats_reports" 30
# As autovacuum would soon after the load: the visibility map lets the queries read the index alone.
qv_pg_as_owner "$QV_PG_BIN/vacuumdb" -q -z -h 127.0.0.1 -p "$QV_PG_PORT" -U qv stats
echo "    PostgreSQL filled and vacuumed in" \
    "$(awk -v a="$fill_start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"
start stats-pg --db "$QV_PG_URL/stats" --admin-token bench-token
echo "    PostgreSQL: /stats $(stats_time "$port" /stats) s, /stats.json $(stats_time "$port" /stats.json) s"
stop_all
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
