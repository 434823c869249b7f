#!/usr/bin/env bash
# Builds the launcher, its tools and tests, and runs the whole test suite.
# Usage: scripts/test.sh [build directory] [extra CMake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
./scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
cd "$build"
ctest --output-on-failure -j 2
