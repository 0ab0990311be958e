#!/usr/bin/env bash
# Builds and runs the security-level benchmark under Wine:
#   scripts/bench-levels.sh [in-process runs per level] [process runs per variant]
# It applies levels to the machine registry, so it runs in a Wine prefix of its own
# (build/x86_64/bench-prefix), never in the test prefix.
set -euo pipefail
. "$(dirname "$0")/common.sh"

qv_install_deps
qv_build x86_64 LevelBench Quenvar UrlRecorder

export WINEPREFIX="$QV_ROOT/build/x86_64/bench-prefix"
trap '"$QV_ROOT/cmake/wine-run.sh" --stop' EXIT
"$QV_ROOT/cmake/wine-run.sh" --setup
"$QV_ROOT/cmake/wine-run.sh" "$QV_ROOT/build/x86_64/bin/LevelBench.exe" "$@"
