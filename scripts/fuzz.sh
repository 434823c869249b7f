#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (in build-fuzz) and runs each one for a
# while on a scratch copy of its seed corpus; fails when a target crashes or breaks an invariant.
# The repository is never written to: new corpus entries and crash inputs stay in build-fuzz/run.
# Usage: scripts/fuzz.sh [seconds per target, default 60] [target names...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=build-fuzz
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(blobcontainer packageconfiguration launcherconfiguration hints cdntrace
             filepathindirectory)
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCORVANE_FUZZ=ON -DCORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target corvane_fuzz -j 2

# Leaks count as findings, except in the targets that parse JSON: Qt 5.15's JSON parser itself
# leaks on some documents (a repeated key whose first value is an array or object, garbage after
# a container), and its frames carry no symbols to suppress precisely.
json_targets=" packageconfiguration launcherconfiguration hints "
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen

run="$build/run"
rm -rf "$run"
failed=()
for target in "${targets[@]}"; do
    binary="$build/bin/fuzz_$target"
    seeds="tests/fuzz/corpus/$target"
    work="$run/$target"
    mkdir -p "$work/corpus" "$work/crashes"
    cp -r "$seeds/." "$work/corpus/"
    dictionary=()
    [ -f "tests/fuzz/$target.dict" ] && dictionary=(-dict="tests/fuzz/$target.dict")
    leaks=1
    [[ "$json_targets" == *" $target "* ]] && leaks=0
    export ASAN_OPTIONS=abort_on_error=1:detect_leaks=$leaks
    echo "== fuzz_$target: ${seconds}s"
    # Every seed must pass on its own first: they are the regression inputs of earlier findings.
    if "$binary" "${dictionary[@]}" -runs=0 "$work/corpus" >"$work/seeds.log" 2>&1 &&
        "$binary" "${dictionary[@]}" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=3072 \
            -max_len=65536 -print_final_stats=1 -artifact_prefix="$work/crashes/" \
            "$work/corpus" >"$work/fuzz.log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$work/fuzz.log" | tr '\n' ' '
        echo "corpus $(ls "$work/corpus" | wc -l) (from $(ls "$seeds" | wc -l) seeds)"
    else
        echo "fuzz_$target FAILED; log and inputs in $work" >&2
        tail -n 40 "$work/fuzz.log" "$work/seeds.log" 2>/dev/null >&2 || true
        failed+=("$target")
    fi
done
if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz targets that failed: ${failed[*]}" >&2
    exit 1
fi
