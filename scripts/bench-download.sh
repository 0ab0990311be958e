#!/usr/bin/env bash
# Download benchmark: THTTPGet with a TFileWriter (x86_64 build under Wine) against curl, both
# fetching the same file from the vendor's service on 127.0.0.1 in the same run. Prints the
# throughput of each, their ratio, and the client's peak memory for a small and a large file
# (peak memory must not grow with the file size).
#   scripts/bench-download.sh [SIZE_MB]   (default 200)
set -euo pipefail
. "$(dirname "$0")/common.sh"

size_mb=${1:-200}
qv_install_deps
qv_build_service >/dev/null
qv_build x86_64 DownloadBench >/dev/null

work=$(mktemp -d /tmp/qv-bench.XXXXXX)
prefix="$QV_ROOT/build/x86_64/wineprefix"
service_pid=
cleanup() {
    if [ -n "$service_pid" ]; then
        kill "$service_pid" 2>/dev/null || true
        wait "$service_pid" 2>/dev/null || true
    fi
    WINEPREFIX="$prefix" "$QV_ROOT/cmake/wine-run.sh" --stop
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/files"
head -c $((size_mb * 1024 * 1024)) /dev/urandom >"$work/files/large.bin"
head -c $((20 * 1024 * 1024)) /dev/urandom >"$work/files/small.bin"
"$QV_ROOT/build/service/qvservice" --db "$work/reports.db" --port 0 --port-file "$work/port" \
    --files "$work/files" >/dev/null &
service_pid=$!
for _ in $(seq 1 100); do
    [ -s "$work/port" ] && break
    sleep 0.05
done
port=$(cat "$work/port")
WINEPREFIX="$prefix" "$QV_ROOT/cmake/wine-run.sh" --setup

bench() { # FILE-NAME -> the key=value line of DownloadBench
    WINEPREFIX="$prefix" "$QV_ROOT/cmake/wine-run.sh" "$QV_ROOT/build/x86_64/bin/DownloadBench.exe" \
        "http://127.0.0.1:$port/files/$1" "Z:${work//\//\\}\\out-$1"
}
value() { echo "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }

small=$(bench small.bin)
large=$(bench large.bin)
cmp -s "$work/files/large.bin" "$work/out-large.bin" || {
    echo "the client's download differs from the file" >&2
    exit 1
}
curl_bps=$(curl -s -o "$work/curl-large.bin" -w '%{speed_download}' "http://127.0.0.1:$port/files/large.bin")
cmp -s "$work/files/large.bin" "$work/curl-large.bin" || {
    echo "curl's download differs from the file" >&2
    exit 1
}

client_mbps=$(value "$large" mbps)
curl_mbps=$(awk -v b="$curl_bps" 'BEGIN { printf "%.1f", b / 1e6 }')
echo "file: ${size_mb} MiB from 127.0.0.1:$port"
echo "THTTPGet+TFileWriter: $client_mbps MB/s ($(value "$large" seconds) s)"
echo "curl:                 $curl_mbps MB/s"
awk -v a="$client_mbps" -v b="$curl_mbps" 'BEGIN { printf "ratio client/curl:    %.2f\n", a / b }'
echo "client peak working set: 20 MiB file $(value "$small" peak_working_set_kb) KiB," \
    "${size_mb} MiB file $(value "$large" peak_working_set_kb) KiB"
echo "client peak private:     20 MiB file $(value "$small" peak_private_kb) KiB," \
    "${size_mb} MiB file $(value "$large" peak_private_kb) KiB"
