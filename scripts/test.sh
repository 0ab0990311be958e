#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test under Wine.
# Every test runs on the x86_64 build. The tests that start the executable or install its package
# (ctest label "exe": levels, status, install and uninstall, updates, the MSI) then run again on
# the shipped i686 build, with its i686 test programs and package, in a prefix of its own: Wine
# runs them under WoW64 (wine32:i386), as 64-bit Windows runs the shipped program. The unit tests
# run on x86_64 only. An i686 program that cannot start prints a loader error and may exit 0; the
# ExeArchitecture test, which every Wine test of a tree requires, fails then.
set -euo pipefail
. "$(dirname "$0")/common.sh"

qv_install_deps
# The service runs natively; its own tests run first, and the Windows tests talk to it.
qv_build_service
ctest --test-dir "$QV_ROOT/build/service" --output-on-failure
# Every fuzz target briefly, from its seeds: a regression in the code that reads foreign bytes
# shows up here. scripts/fuzz.sh SECONDS runs them longer.
"$QV_ROOT/scripts/fuzz.sh" 20
qv_build x86_64
qv_build i686

prefixes=("$QV_ROOT/build/x86_64/wineprefix" "$QV_ROOT/build/i686/wineprefix")
cleanup() {
    local prefix
    for prefix in "${prefixes[@]}"; do
        WINEPREFIX="$prefix" "$QV_ROOT/cmake/wine-run.sh" --stop
    done
    qv_stop_xvfb
}
trap cleanup EXIT
# A fresh prefix every run: no registry state survives from an earlier run. The tests run on an
# Xvfb screen of their own, of a known size, whatever display the caller has.
rm -rf "${prefixes[@]}"
unset DISPLAY
qv_start_xvfb
ctest --test-dir "$QV_ROOT/build/x86_64" --output-on-failure -j2
# WoW64 needs a machine that runs 32-bit x86 code; wine32's own loader is such a program. Without
# wine32 the set-up above failed; with it, a kernel built without IA32 emulation (some virtual
# machines) refuses every 32-bit program, and the i686 run cannot take place there: said plainly,
# since a 32-bit program that cannot start leaves only a loader error behind.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "NOT RUN: the i686 end-to-end tests. /usr/lib/wine/wine (wine32:i386) does not start on this" \
        "machine: its kernel runs no 32-bit x86 code (IA32 emulation off). Run scripts/test.sh on a" \
        "machine that does to test the shipped 32-bit build." >&2
    exit 0
fi
# The x86_64 run's wineserver is stopped by its wine_stop test; the i686 tree's set-up makes its own.
ctest --test-dir "$QV_ROOT/build/i686" --output-on-failure -j2 -L exe
