#!/usr/bin/env bash
# The main window's start-up time to visible against a minimal Win32 window program built the same
# way, both under Wine on an Xvfb screen of their own, in a prefix of their own.
#   scripts/bench-startup.sh [RUNS]   (default 15)
set -euo pipefail
. "$(dirname "$0")/common.sh"

qv_install_deps
qv_build x86_64 StartupBench >/dev/null
export WINEPREFIX="$QV_ROOT/build/x86_64/bench-prefix"
cleanup() {
    "$QV_ROOT/cmake/wine-run.sh" --stop
    qv_stop_xvfb
}
trap cleanup EXIT
unset DISPLAY
qv_start_xvfb
"$QV_ROOT/cmake/wine-run.sh" --setup
bin="$QV_ROOT/build/x86_64/bin"
"$QV_ROOT/cmake/wine-run.sh" "$bin/StartupBench.exe" "${1:-15}" "Z:$bin/Quenvar.exe" "Z:$bin/MinimalWindow.exe"
