#!/usr/bin/env bash
# End to end against the vendor's service: a copy of Quenvar.exe configured with QVConfig to
# report to a service on 127.0.0.1 runs INSTALL and UNINSTALL under Wine; the service's database
# must then hold the install and removal reports with the UID the client stored. A copy pointed
# at a port where nothing listens must still do everything else and exit 0.
#   ServiceEndToEnd.sh BIN_DIR SERVICE_EXE WINE_RUN   (WINEPREFIX set)
set -euo pipefail
bin=$1
service=$2
wine_run=$3

work=$(mktemp -d /tmp/qv-e2e.XXXXXX)
service_pid=
cleanup() {
    if [ -n "$service_pid" ]; then
        kill "$service_pid" 2>/dev/null || true
        wait "$service_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*" >&2
    exit 1
}

"$service" --db "$work/reports.db" --port 0 --port-file "$work/port" >"$work/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 1 100); do
    [ -s "$work/port" ] && break
    sleep 0.05
done
[ -s "$work/port" ] || fail "the service did not start"
port=$(cat "$work/port")

winpath() { echo "Z:${1//\//\\}"; }
reg_value() { # KEY NAME -> data, empty when absent
    "$wine_run" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v n="$2" '$1 == n { print $3 }'
}
reports() { "$service" --db "$work/reports.db" --dump | tail -n +2; }
# Columns of a report line: 3 operation, 4 action, 5 accepted, 7 cfg, 8 uid, 11 subid, 13 peer.
columns() { echo "$1" | awk -F'\t' '{ print $3, $4, $5, $7, $8, $11, $13 }'; }
store='HKCU\Software\Quenvar'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'

mkdir -p "$work/app" "$work/offline"
"$wine_run" "$bin/QVConfig.exe" write "$(winpath "$bin/Quenvar.exe")" "$(winpath "$work/app/Quenvar.exe")" 10 \
    "http://127.0.0.1:$port/api/client.asmx/" || fail "QVConfig write"

"$wine_run" reg delete "$store" /f >/dev/null 2>&1 || true
"$wine_run" "$work/app/Quenvar.exe" INSTALL || fail "INSTALL exit code $?"
uid=$(reg_value "$store" UID)
[ -n "$uid" ] || fail "INSTALL stored no UID"
rows=$(reports)
[ "$(echo "$rows" | wc -l)" -eq 1 ] || fail "expected one report after INSTALL, got: $rows"
[ "$(columns "$rows")" = "GetXML 1 1 10 $uid 0 127.0.0.1" ] ||
    fail "install report: $rows (UID $uid)"

"$wine_run" "$work/app/Quenvar.exe" UNINSTALL || fail "UNINSTALL exit code $?"
rows=$(reports)
[ "$(echo "$rows" | wc -l)" -eq 2 ] || fail "expected two reports after UNINSTALL, got: $rows"
[ "$(columns "$(echo "$rows" | tail -1)")" = "GetXML 2 1 10 $uid 0 127.0.0.1" ] || fail "removal report: $rows (UID $uid)"
[ -z "$(reg_value "$store" UID)" ] || fail "UNINSTALL left the settings store"

# Nothing listens on the port of a socket that was bound and released.
offline_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$wine_run" "$bin/QVConfig.exe" write "$(winpath "$bin/Quenvar.exe")" "$(winpath "$work/offline/Quenvar.exe")" 10 \
    "http://127.0.0.1:$offline_port/api/client.asmx/" || fail "QVConfig write (offline)"
"$wine_run" "$work/offline/Quenvar.exe" INSTALL || fail "offline INSTALL exit code $?"
[ -n "$(reg_value "$store" UID)" ] || fail "offline INSTALL stored no UID"
case "$(reg_value "$run_key" Quenvar)" in
*offline*) ;;
*) fail "offline INSTALL wrote no Run value" ;;
esac
"$wine_run" "$work/offline/Quenvar.exe" UNINSTALL || fail "offline UNINSTALL exit code $?"
[ -z "$(reg_value "$store" UID)" ] || fail "offline UNINSTALL left the settings store"
[ -z "$(reg_value "$run_key" Quenvar)" ] || fail "offline UNINSTALL left the Run value"
[ "$(reports | wc -l)" -eq 2 ] || fail "the offline runs reached the service"
echo "passed: install and removal reports recorded with UID $uid"
