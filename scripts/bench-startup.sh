#!/usr/bin/env bash
# Start-up time to the idle point of the main window and of the tray instance ("/tray") against a
# minimal Win32 window program built the same way, all under Wine on an Xvfb screen of their own,
# in a prefix of their own. ARCH is x86_64 or i686 (the shipped build, run under WoW64).
#   scripts/bench-startup.sh [RUNS [ARCH]]   (default 15 x86_64)
# QV_LOADDLL=1 also prints the DLLs each program loads on its way to the idle point.
# QV_BENCH_EXE=PATH times that Quenvar.exe instead of this build's (another build of the same
# architecture, such as an older commit's), against this build's minimal window.
set -euo pipefail
. "$(dirname "$0")/common.sh"

runs=${1:-15}
arch=${2:-x86_64}
qv_install_deps
qv_build "$arch" StartupBench >/dev/null
export WINEPREFIX="$QV_ROOT/build/$arch/bench-prefix"
cleanup() {
    "$QV_ROOT/cmake/wine-run.sh" --stop
    qv_stop_xvfb
}
trap cleanup EXIT
unset DISPLAY
qv_start_xvfb
"$QV_ROOT/cmake/wine-run.sh" --setup
bin="$QV_ROOT/build/$arch/bin"
exe=$(realpath "${QV_BENCH_EXE:-$bin/Quenvar.exe}")
"$QV_ROOT/cmake/wine-run.sh" "$bin/StartupBench.exe" "$runs" "Z:$exe" "Z:$bin/MinimalWindow.exe"

if [ "${QV_LOADDLL:-}" = 1 ]; then
    # Each program once more with Wine's loader trace on, ended 4 s after its start (long past its
    # idle point): the DLLs it loaded, by name.
    for what in "$exe" "$exe /tray" "$bin/MinimalWindow.exe"; do
        log=$(mktemp)
        # shellcheck disable=SC2086
        WINEDEBUG=+loaddll WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 $what 2>"$log" &
        pid=$!
        sleep 4
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        dlls=$(grep -o 'Loaded L"[^"]*"' "$log" | sed 's/.*\\//; s/"$//' | tr 'A-Z' 'a-z' | sort -u)
        echo "${what##*/} loads $(echo "$dlls" | wc -l) modules: $(echo $dlls)"
        rm -f "$log"
    done
fi
