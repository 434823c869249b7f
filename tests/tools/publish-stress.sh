#!/usr/bin/env bash
# Runs corvane-publish many times on a small tree and counts the runs that did not exit 0.
# A publish that succeeds must also end cleanly: a crash on the way out (exit 139 and the like)
# makes scripts take a good publish for a failed one.
#
#   tests/tools/publish-stress.sh [publisher binary] [runs]
#   defaults: build/bin/corvane-publish, 300 runs. Runs with low priority.
# With a sanitizer build (build-asan/bin/corvane-publish) crypto state left on a pool worker at
# exit shows up every few runs as a LeakSanitizer report (exit 1), long before it crashes.
set -euo pipefail

publisher=${1:-build/bin/corvane-publish}
runs=${2:-300}
[[ -x $publisher ]] || { echo "publish-stress: no publisher at $publisher" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A copy, so that a rebuild during the runs does not count as failures.
cp "$publisher" "$work/corvane-publish"
publisher=$work/corvane-publish

# A few files of mixed content, so that every run hashes, compresses and stores on the pool.
mkdir -p "$work/source/bin" "$work/source/data"
printf '#!/bin/sh\necho client\n' >"$work/source/bin/client"
chmod +x "$work/source/bin/client"
seq 1 20000 >"$work/source/data/table.txt"
head -c 300000 /dev/urandom >"$work/source/data/texture.bin"
: >"$work/source/data/empty.dat"

failures=0
crashes=0
declare -A codes=()
for ((run = 1; run <= runs; run++)); do
    # Every other run starts from an empty output, the others republish into the last one.
    ((run % 2)) && rm -rf "$work/out"
    status=0
    nice -n 19 "$publisher" package --source "$work/source" --out "$work/out" \
        --version "1.$run" --executable bin/client >/dev/null 2>"$work/stderr" || status=$?
    if ((status != 0)); then
        failures=$((failures + 1))
        ((status >= 128)) && crashes=$((crashes + 1))
        codes[$status]=$((${codes[$status]:-0} + 1))
        echo "run $run: exit $status: $(head -c 300 "$work/stderr")" >&2
    fi
done

echo "publish-stress: $runs runs, $failures failed, $crashes crashed"
for code in "${!codes[@]}"; do
    echo "  exit $code: ${codes[$code]} runs"
done
((failures == 0))
