#!/usr/bin/env bash
# Builds the fuzz targets natively with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer (build/fuzz) and runs each one for SECONDS (default 20), starting from
# its committed seeds. Fails at the first crash, leak, hang, sanitizer report or failed property;
# the input that caused it is kept in build/fuzz/artifacts/<target>/.
#   scripts/fuzz.sh [SECONDS]
#   scripts/fuzz.sh --seeds    writes tests/fuzz/corpus/ again from the project's own code
set -euo pipefail
. "$(dirname "$0")/common.sh"

qv_install_deps
dir="$QV_ROOT/build/fuzz"
cmake -S "$QV_ROOT/tests/fuzz" -B "$dir" -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null

seeds="$QV_ROOT/tests/fuzz/corpus"
if [ "${1:-}" = "--seeds" ]; then
    rm -rf "$seeds"
    "$dir/make_corpus" "$seeds"
    exit 0
fi
seconds=${1:-20}
targets="fuzz_token fuzz_params fuzz_request fuzz_form fuzz_version fuzz_url fuzz_safename fuzz_config fuzz_policyfile"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in $targets; do
    # New inputs go to a working corpus in the build folder; the committed seeds stay as they are.
    work="$dir/corpus/$target"
    artifacts="$dir/artifacts/$target"
    mkdir -p "$work" "$artifacts"
    log="$dir/$target.log"
    if ! (cd "$dir" && "./$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "$seeds/$target" >"$log" 2>&1); then
        tail -n 40 "$log" >&2
        echo "$target: failed (input in $artifacts/, log in $log)" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    figures=$(grep -E '^#[0-9]+' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
    echo "$target: $runs runs in ${seconds} s, $figures"
done
