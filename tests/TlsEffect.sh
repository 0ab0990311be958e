#!/usr/bin/env bash
# Starts two native openssl servers on 127.0.0.1, one speaking only TLS 1.1 and one only TLS 1.2,
# and a TLS 1.2 server that sends data with its last handshake flight (TlsGreeter.py), with a
# throwaway self-signed certificate, and runs TlsEffectTest against them under Wine.
#   TlsEffect.sh BIN_DIR WINE_RUN   (WINEPREFIX set)
set -euo pipefail
bin=$1
wine_run=$2

work=$(mktemp -d /tmp/qv-tls.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 1 \
    -subj /CN=localhost >/dev/null 2>&1

# start_server NAME OPTIONS...: the server's port, read from its "ACCEPT host:port" line.
start_server() {
    local name=$1
    shift
    # -www answers without reading standard input, so the server stays up for every probe.
    openssl s_server -accept 127.0.0.1:0 -cert "$work/cert.pem" -key "$work/key.pem" -www "$@" \
        >"$work/$name.log" 2>&1 </dev/null &
    pids+=($!)
    local i
    for i in $(seq 1 100); do
        grep -q '^ACCEPT' "$work/$name.log" 2>/dev/null && break
        sleep 0.05
    done
    sed -n 's/^ACCEPT .*:\([0-9]*\)$/\1/p' "$work/$name.log" | head -n 1
}

# OpenSSL 3 allows TLS 1.1 only at security level 0.
QV_TLS11_PORT=$(start_server tls11 -tls1_1 -cipher 'DEFAULT:@SECLEVEL=0')
QV_TLS12_PORT=$(start_server tls12 -tls1_2)
[ -n "$QV_TLS11_PORT" ] && [ -n "$QV_TLS12_PORT" ] || { echo "FAILED: the openssl servers did not start" >&2; exit 1; }
python3 "$(dirname "$0")/TlsGreeter.py" "$work/cert.pem" "$work/key.pem" >"$work/greeter.log" 2>&1 </dev/null &
pids+=($!)
for i in $(seq 1 100); do
    [ -s "$work/greeter.log" ] && break
    sleep 0.05
done
QV_GREETER_PORT=$(head -n 1 "$work/greeter.log")
[ -n "$QV_GREETER_PORT" ] || { echo "FAILED: the greeting server did not start" >&2; exit 1; }
export QV_TLS11_PORT QV_TLS12_PORT QV_GREETER_PORT
"$wine_run" "$bin/TlsEffectTest.exe"
