#!/usr/bin/env bash
# Cabinet extraction benchmark: one MSZIP cabinet (many small files and one large file) extracted
# by TArchive::DecompressToDir (tools/CabBench.cpp), by Wine's extrac32.exe and expand.exe over the
# same cabinet.dll in the same prefix, and by the native cabextract. Peak memory is compared for
# two cabinet sizes: extracting to a folder must not grow with the cabinet.
#   scripts/bench-cab.sh [MEGABYTES] [SMALL_MEGABYTES]     (defaults 200 and 50)
# QV_CABBENCH_BASELINE=path/to/CabBench.exe (say, built from an earlier commit) is measured over the
# same cabinet right after this tree's CabBench, for a before/after comparison in one run.
set -euo pipefail
. "$(dirname "$0")/common.sh"

size=${1:-200}
small=${2:-50}
qv_install_deps
qv_build x86_64 CabBench >/dev/null

export WINEPREFIX="$QV_ROOT/build/x86_64/wineprefix"
run="$QV_ROOT/cmake/wine-run.sh"
bench="$QV_ROOT/build/x86_64/bin/CabBench.exe"
work=$(mktemp -d /tmp/qvcabbench.XXXXXX)
cleanup() {
    rm -rf "$work"
    "$run" --stop
}
trap cleanup EXIT
"$run" --setup

win() { printf 'Z:%s' "$1" | tr / '\\'; }

# Wall seconds and peak resident size (MiB) of one command.
measure() {
    local label=$1
    shift
    /usr/bin/time -f "%e %M" -o "$work/time" "$@" >"$work/out" 2>&1 || {
        cat "$work/out"
        echo "$label failed"
        exit 1
    }
    read -r secs kb <"$work/time"
    printf '%-34s %7.2f s  peak RSS %7.1f MiB\n' "$label" "$secs" "$(echo "$kb / 1024" | bc -l)"
    echo "$secs" >"$work/last"
}

for mb in "$small" "$size"; do
    src="$work/src$mb"
    "$run" "$bench" generate "$(win "$src")" "$mb" >/dev/null
    (cd "$src" && find . -type f | sed 's|^\./||' | sort >"$work/list" && gcab -c -z "$work/bench$mb.cab" $(cat "$work/list"))
    cab="$work/bench$mb.cab"
    echo "== cabinet of $(du -m "$cab" | cut -f1) MB, $(wc -l <"$work/list") files, $(du -sm "$src" | cut -f1) MB unpacked"
    mkdir -p "$work/ours$mb" "$work/extrac32_$mb" "$work/cabextract$mb"
    measure "TArchive.DecompressToDir" "$run" "$bench" extract "$(win "$cab")" "$(win "$work/ours$mb")"
    ours=$(cat "$work/last")
    echo "   in-process: $(cat "$work/out")"
    diff -r -q "$src" "$work/ours$mb" >/dev/null && echo "   output identical to the sources"
    rm -rf "$work/ours$mb"
    if [ -n "${QV_CABBENCH_BASELINE:-}" ]; then
        mkdir -p "$work/base$mb"
        measure "baseline DecompressToDir" "$run" "$QV_CABBENCH_BASELINE" extract "$(win "$cab")" "$(win "$work/base$mb")"
        base=$(cat "$work/last")
        echo "   in-process: $(cat "$work/out")"
        rm -rf "$work/base$mb"
    fi
    measure "extrac32.exe /E /L (Wine)" "$run" extrac32.exe /Y /E /L "$(win "$work/extrac32_$mb")" "$(win "$cab")"
    extrac=$(cat "$work/last")
    rm -rf "$work/extrac32_$mb"
    # Wine's expand.exe writes every entry of a cabinet to the one output file named.
    measure "expand.exe (Wine, one output file)" "$run" expand.exe "$(win "$cab")" "$(win "$work/expand$mb.bin")"
    expand=$(cat "$work/last")
    rm -f "$work/expand$mb.bin"
    measure "cabextract (native)" cabextract -q -d "$work/cabextract$mb" "$cab"
    native=$(cat "$work/last")
    rm -rf "$work/cabextract$mb" "$src"
    printf '   ratio TArchive/extrac32 %.2f, TArchive/expand %.2f, TArchive/cabextract %.2f\n' \
        "$(echo "$ours / $extrac" | bc -l)" "$(echo "$ours / $expand" | bc -l)" "$(echo "$ours / $native" | bc -l)"
    if [ -n "${QV_CABBENCH_BASELINE:-}" ]; then
        printf '   ratio baseline/extrac32 %.2f, TArchive/baseline %.2f\n' \
            "$(echo "$base / $extrac" | bc -l)" "$(echo "$ours / $base" | bc -l)"
    fi
    rm -f "$cab"
done
