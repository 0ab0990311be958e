#!/usr/bin/env bash
# The window on screens of several sizes. For each screen: an Xvfb of that size whose task bar
# leaves the work area given below (the root window's _NET_WORKAREA, which Wine reads when its
# desktop starts, and which Xvfb keeps only with -noreset), a Wine server of its own for a copy
# of the test prefix on that display (Wine takes the screen's size and work area when its server
# session starts, so one session cannot see another screen), and LayoutFitTest.exe. Each test
# there belongs to one screen and skips itself on the others; every test must pass on its screen.
#   LayoutFit.sh BIN_DIR WINE_RUN   (WINEPREFIX: the test prefix, which is copied)
set -euo pipefail
bin=$1
wine_run=$2

# Size, then the work area as x,y,width,height.
screens=(
    "1280x1024 0,0,1280,984"
    "1366x768 0,0,1366,718"
    "1024x768 0,32,1024,736"
    "640x480 0,0,640,480"
    "2560x1600 0,0,2560,1560"
)

work=$(mktemp -d /tmp/qv-fit.XXXXXX)
xvfb_pid=
stop_session() {
    WINEPREFIX="$work/prefix" "$wine_run" --stop || true
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=
    fi
}
cleanup() {
    stop_session
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# The server of a prefix made moments ago may not have saved its registry yet: it does so every
# 30 seconds and when it ends.
for _ in $(seq 1 900); do
    [ -s "$WINEPREFIX/system.reg" ] && [ -s "$WINEPREFIX/user.reg" ] && break
    sleep 0.1
done
[ -s "$WINEPREFIX/system.reg" ] && [ -s "$WINEPREFIX/user.reg" ] || fail "the test prefix has no registry files"

# A hard-linked copy shares the registry files with the original, which wineserver rewrites in
# place: those are copied for real. A per-user Run entry another test left would start a tray
# instance with the session, so it goes.
cp -al "$WINEPREFIX" "$work/prefix"
for f in system.reg user.reg userdef.reg; do
    rm -f "$work/prefix/$f"
    if [ -f "$WINEPREFIX/$f" ]; then cp "$WINEPREFIX/$f" "$work/prefix/$f"; fi
done
sed -i '/^\[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Run\]/,/^\[/{/^"Quenvar"=/d}' "$work/prefix/user.reg"

failed=0
for screen in "${screens[@]}"; do
    size=${screen% *}
    area=${screen#* }
    n=90
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 "${size}x24" -nolisten tcp -noreset >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 1 100); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        sleep 0.1
    done
    [ -e "/tmp/.X11-unix/X$n" ] || fail "Xvfb $size did not start"
    DISPLAY=":$n" xprop -root -f _NET_WORKAREA 32c -set _NET_WORKAREA "$area"
    echo "== screen $size, work area $area (display :$n)"
    DISPLAY=":$n" WINEPREFIX="$work/prefix" "$wine_run" --setup
    if ! DISPLAY=":$n" WINEPREFIX="$work/prefix" "$wine_run" "$bin/LayoutFitTest.exe" | tee "$work/run-$size.txt"; then
        failed=1
    fi
    tr -d '\r' <"$work/run-$size.txt" | sed -n 's/^\[       OK \] \([^ ]*\).*/\1/p' >>"$work/passed.txt"
    stop_session
done
[ "$failed" -eq 0 ] || fail "tests failed; see above"

# Every test passed on its screen, and on one screen only.
listed=$(tr -d '\r' <"$work/run-${screens[0]%% *}.txt" | sed -n 's/^\[==========\] Running \([0-9]*\) tests.*/\1/p')
passed=$(sort -u "$work/passed.txt" | wc -l)
counted=$(wc -l <"$work/passed.txt")
[ "$counted" -eq "$passed" ] || fail "a test passed on more than one screen: $(sort "$work/passed.txt" | uniq -d)"
[ "$passed" -eq "$listed" ] || fail "$passed of $listed tests ran on their screen"
echo "passed: $passed tests on ${#screens[@]} screens"
