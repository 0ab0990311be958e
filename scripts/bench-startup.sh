#!/usr/bin/env bash
# Start-up time to the idle point of the main window and of the tray instance ("/tray") against a
# minimal Win32 window program built the same way, all under Wine on an Xvfb screen of their own,
# in a prefix of their own. ARCH is x86_64 or i686 (the shipped build, run under WoW64).
#   scripts/bench-startup.sh [RUNS [ARCH]]   (default 15 x86_64)
# QV_LOADDLL=1 also prints the DLLs each program loads on its way to the idle point.
# QV_BENCH_BASELINE=PATH also times that Quenvar.exe (another build of the same architecture, such
# as an older commit's) in the same rounds, for a paired before and after.
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
exe="$bin/Quenvar.exe"
baseline=()
if [ -n "${QV_BENCH_BASELINE:-}" ]; then
    baseline=("Z:$(realpath "$QV_BENCH_BASELINE")")
fi
"$QV_ROOT/cmake/wine-run.sh" "$bin/StartupBench.exe" "$runs" "Z:$exe" "Z:$bin/MinimalWindow.exe" "${baseline[@]}"

if [ "${QV_LOADDLL:-}" = 1 ]; then
    # Each program once more with Wine's loader trace on, ended 4 s after its start (long past its
    # idle point): the DLLs it loaded, by name. Other processes of the prefix that start meanwhile
    # (Wine's explorer.exe) are counted too.
    for what in ${QV_BENCH_BASELINE:+"$(realpath "$QV_BENCH_BASELINE") (baseline)" "$(realpath "$QV_BENCH_BASELINE") /tray (baseline)"} \
        "$exe" "$exe /tray" "$bin/MinimalWindow.exe"; do
        log=$(mktemp)
        # shellcheck disable=SC2086
        WINEDEBUG=+loaddll WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 ${what% (baseline)} 2>"$log" &
        pid=$!
        sleep 4
        # A Quenvar ends as /stop ends it, taking its tray icon away (see StartupBench.cpp).
        "$QV_ROOT/cmake/wine-run.sh" "$exe" /stop >/dev/null 2>&1 || true
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        dlls=$(grep -o 'Loaded L"[^"]*"' "$log" | sed 's/.*\\//; s/"$//' | tr 'A-Z' 'a-z' | sort -u)
        echo "${what##*/} loads $(echo "$dlls" | wc -l) modules: $(echo $dlls)"
        rm -f "$log"
    done
fi
