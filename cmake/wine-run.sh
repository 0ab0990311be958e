#!/bin/sh
# Runs a Windows program under Wine in the test prefix (WINEPREFIX, or ./wineprefix), a 64-bit
# prefix. The 64-bit loader hands a 32-bit program to wine32's loader, which runs it under WoW64;
# when that cannot start, only a loader error is printed (and the exit code may be 0).
#   wine-run.sh --setup    create the prefix if needed and start a persistent wineserver
#   wine-run.sh --stop     stop that wineserver
#   wine-run.sh PROG ARGS  run PROG; its exit code is returned
# The first Wine process of a prefix starts wineserver and the prefix services; they inherit
# the caller's pipes, and ctest would wait for those pipes to close. So they are started here
# with every standard stream on /dev/null, and only then is the program itself exec'ed.
: "${WINEPREFIX:=$(pwd)/wineprefix}"
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
WINEARCH=win64
# Wine needs a UTF-8 locale for non-ASCII file names; the caller's environment may have none.
LC_ALL=C.UTF-8
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES WINEARCH LC_ALL
loader=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver

start_server() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        "$loader" wineboot -i </dev/null >/dev/null 2>&1
    fi
    # wineserver -p fails when a server already runs; its prefix services are up then, and
    # booting again would start the per-user Run entries as at a logon, on every call.
    if "$server" -p </dev/null >/dev/null 2>&1; then
        "$loader" wineboot </dev/null >/dev/null 2>&1
    fi
}

case "$1" in
--setup)
    start_server
    exit 0
    ;;
--stop)
    "$server" -k </dev/null >/dev/null 2>&1
    "$server" -w </dev/null >/dev/null 2>&1
    exit 0
    ;;
esac

start_server
exec "$loader" "$@"
