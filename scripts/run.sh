#!/usr/bin/env bash
# Installs what is missing, builds Quenvar.exe (the x86_64 build; scripts/test.sh runs the shipped
# i686 one too) and runs it in window mode. Without a display it starts Xvfb, waits for the
# window, saves a screenshot to the path it prints and closes the program again. Arguments are
# passed to the program.
set -euo pipefail
. "$(dirname "$0")/common.sh"

qv_install_deps
qv_build x86_64 Quenvar

export WINEPREFIX="$QV_ROOT/build/run-prefix"
exe="$QV_ROOT/build/x86_64/bin/Quenvar.exe"
wine_run="$QV_ROOT/cmake/wine-run.sh"

if [ -n "${DISPLAY:-}" ]; then
    "$wine_run" "$exe" "$@"
    exit 0
fi

trap '"$wine_run" --stop; qv_stop_xvfb' EXIT
qv_start_xvfb
"$wine_run" --setup
"$wine_run" "$exe" "$@" &
app=$!
# Wait up to 20 s for the window titled "Quenvar", or for the program to end on its own.
for _ in $(seq 1 200); do
    xdotool search --name '^Quenvar$' >/dev/null 2>&1 && break
    kill -0 "$app" 2>/dev/null || break
    sleep 0.1
done
sleep 1
shot="$QV_ROOT/build/screenshot.png"
import -window root "$shot"
echo "Screenshot: $shot"
if kill -0 "$app" 2>/dev/null; then
    "$wine_run" "$exe" STOP || true
    wait "$app" || true
else
    rc=0
    wait "$app" || rc=$?
    echo "Quenvar.exe ended on its own (exit code $rc)"
fi
