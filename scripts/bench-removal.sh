#!/usr/bin/env bash
# Time of "Quenvar.exe /uninstall" with the vendor's service out of reach, in a prefix of its own:
# the service URL points at a local listener that accepts every connection and never answers (a
# closed port would refuse at once, and an address that silently drops packets cannot be counted
# on everywhere). For comparison, the same program configured for a port that refuses at once shows
# what the removal costs with no network wait at all. ARCH is x86_64 or i686 (run under WoW64).
#   scripts/bench-removal.sh [RUNS [ARCH]]   (default 3 x86_64)
# QV_BENCH_BASELINE=PATH also times that Quenvar.exe (another build, such as an older commit's),
# configured the same way, in the same rounds.
set -euo pipefail
. "$(dirname "$0")/common.sh"

runs=${1:-3}
arch=${2:-x86_64}
qv_install_deps
qv_build "$arch" Quenvar QVConfig >/dev/null
export WINEPREFIX="$QV_ROOT/build/$arch/bench-prefix"
work=$(mktemp -d /tmp/qv-bench-removal.XXXXXX)
listener=
cleanup() {
    [ -n "$listener" ] && kill "$listener" 2>/dev/null
    "$QV_ROOT/cmake/wine-run.sh" --stop
    rm -rf "$work"
}
trap cleanup EXIT
"$QV_ROOT/cmake/wine-run.sh" --setup

python3 -c '
import os, socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(64)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(s.getsockname()[1]))
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
held = []
while True:
    held.append(s.accept()[0])
' "$work/port" &
listener=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
silent="http://127.0.0.1:$(cat "$work/port")/api/client.asmx/"
refused="http://127.0.0.1:$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')/api/client.asmx/"

bin="$QV_ROOT/build/$arch/bin"
configure() { # SOURCE NAME URL: a copy of SOURCE configured for the service at URL
    "$QV_ROOT/cmake/wine-run.sh" "$bin/QVConfig.exe" write "Z:$(realpath "$1")" "Z:$work/$2" 10 "$3" >/dev/null
    echo "$work/$2"
}
programs=("$(configure "$bin/Quenvar.exe" Quenvar.exe "$silent")" "$(configure "$bin/Quenvar.exe" Refused.exe "$refused")")
[ -n "${QV_BENCH_BASELINE:-}" ] && programs+=("$(configure "$QV_BENCH_BASELINE" Baseline.exe "$silent")")
for round in $(seq "$runs"); do
    for exe in "${programs[@]}"; do
        start=$(date +%s.%N)
        "$QV_ROOT/cmake/wine-run.sh" "Z:$exe" /uninstall
        awk -v r="$round" -v n="$(basename "$exe")" -v s="$start" -v e="$(date +%s.%N)" \
            'BEGIN { printf "round %d  %-12s /uninstall %.2f s\n", r, n, e - s }'
    done
done
