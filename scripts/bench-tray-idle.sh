#!/usr/bin/env bash
# Idle cost of the tray instance with its registry watch armed: starts "Quenvar.exe /tray" (x86_64
# build under Wine) at Maximum protection, lets it settle for a minute, then prints the CPU time
# and the context switches (wake-ups) of its Wine process and of wineserver over the next MINUTES.
#   scripts/bench-tray-idle.sh [MINUTES]   (default 10)
set -euo pipefail
. "$(dirname "$0")/common.sh"

minutes=${1:-10}
qv_install_deps
qv_build x86_64 Quenvar >/dev/null
# A prefix of its own: the test prefix is never left at a level.
prefix="$QV_ROOT/build/x86_64/bench-prefix"
export WINEPREFIX="$prefix"
run="$QV_ROOT/cmake/wine-run.sh"
exe="$QV_ROOT/build/x86_64/bin/Quenvar.exe"
cleanup() {
    "$run" "$exe" /stop >/dev/null 2>&1 || true
    "$run" --stop
    qv_stop_xvfb
}
trap cleanup EXIT
unset DISPLAY
qv_start_xvfb
"$run" --setup
"$run" "$exe" /setlevel 2 >/dev/null 2>&1
"$run" "$exe" /tray >/dev/null 2>&1 &
sleep 60
pid=$(pgrep -f 'Quenvar.exe /tray' | head -n 1)
# The wineserver of this prefix: the one with files of the prefix open (other prefixes may have their own).
server=
for p in $(pgrep wineserver); do
    if ls -l "/proc/$p/fd" 2>/dev/null | grep -q -F "$prefix/"; then
        server=$p
    fi
done
# utime+stime in clock ticks, and voluntary+involuntary switches summed over every thread.
sample() {
    local p=$1 ticks switches
    ticks=$(awk '{print $14 + $15}' "/proc/$p/stat")
    switches=$(cat /proc/"$p"/task/*/status | awk '/ctxt_switches/ {s += $2} END {print s}')
    echo "$ticks $switches"
}
read -r t0 s0 < <(sample "$pid")
read -r w0 v0 < <(sample "$server")
sleep $((minutes * 60))
read -r t1 s1 < <(sample "$pid")
read -r w1 v1 < <(sample "$server")
hz=$(getconf CLK_TCK)
awk -v m="$minutes" -v t=$((t1 - t0)) -v s=$((s1 - s0)) -v w=$((w1 - w0)) -v v=$((v1 - v0)) -v hz="$hz" 'BEGIN {
    printf "tray instance over %d idle minutes: CPU %.2f s, %d context switches (%.2f per second)\n", m, t / hz, s, s / (m * 60)
    printf "wineserver over the same time:      CPU %.2f s, %d context switches\n", w / hz, v
}'
