#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test under Wine.
# The x86_64 build is what the tests run (only 64-bit Wine installs on Debian 12); the shipped
# i686 build is compiled too, so a 32-bit breakage fails here, but never run: a 32-bit exe under
# 64-bit-only Wine prints a loader error and exits 0, which would look like a pass.
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

prefix="$QV_ROOT/build/x86_64/wineprefix"
cleanup() {
    WINEPREFIX="$prefix" "$QV_ROOT/cmake/wine-run.sh" --stop
    qv_stop_xvfb
}
trap cleanup EXIT
# A fresh prefix every run: no registry state survives from an earlier run. The tests run on an
# Xvfb screen of their own, of a known size, whatever display the caller has.
rm -rf "$prefix"
unset DISPLAY
qv_start_xvfb
ctest --test-dir "$QV_ROOT/build/x86_64" --output-on-failure -j2
