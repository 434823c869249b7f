#!/usr/bin/env bash
# The launcher for 64-bit Windows, built and run on Debian: cross-builds the launcher, the tools,
# the demo client and the test suite with MinGW-w64 against the libraries of windows-deps.sh,
# stages and zips the bundle a player gets, runs the test suite under Wine, and runs the main job
# under Wine on a virtual display: the Linux publisher publishes a signed 1.0.0 and then 1.0.1
# with deltas, nginx serves them on 127.0.0.1, and the Windows launcher installs (--first-launch),
# updates (--patch) and plays (--show-ui and the Play button). Ends with one summary.
#
#     scripts/windows-deps.sh && scripts/windows.sh [--no-tests] [--no-job]
#
# Environment: CORVANE_WINDOWS_PREFIX (the libraries, default ~/.cache/corvane-windows),
# WINDOWS_BUILD (build directory, default build-windows), WINEPREFIX (default a fresh one below
# /tmp), WINDOWS_JOBS (parallel tests, default 2), WINDOWS_SIZE_MB (demo game size, default 48),
# CORVANE_TRUSTED_KEYS (public keys the bundled launcher trusts; default none: a development build).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
# shellcheck source=../bench/lib.sh
source bench/lib.sh

run_tests=1 run_job=1
for argument in "$@"; do
    case $argument in
    --no-tests) run_tests=0 ;;
    --no-job) run_job=0 ;;
    *) echo "usage: $0 [--no-tests] [--no-job]" >&2; exit 2 ;;
    esac
done

prefix=${CORVANE_WINDOWS_PREFIX:-$HOME/.cache/corvane-windows}
build=$repo/${WINDOWS_BUILD:-build-windows}
host_build=$repo/build
mingw=x86_64-w64-mingw32
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX=${WINEPREFIX:-/tmp/corvane-wine-$(id -u)}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -e "$prefix/stamps/qtbase" ]; then
    echo "no Windows libraries in $prefix: run scripts/windows-deps.sh first" >&2
    exit 1
fi

# The main job's server, virtual display and screenshot tools (already there on a CI machine).
if [ $run_job -eq 1 ]; then
    ./scripts/install-deps.sh >/dev/null
fi

started=$(date +%s)
elapsed() { echo $(($(date +%s) - started)); }
summary=()
note() { summary+=("$(printf '  %-20s %s' "$1" "$2")"); }

cleanup() {
    local status=$?
    lib_stop_all
    "$wineserver" -k 2>/dev/null || true
    [ $status -eq 0 ] || echo "windows.sh failed (exit $status)" >&2
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Directories the DLLs of the bundle come from: Qt, the other libraries, the MinGW runtime.
dll_dirs=("$prefix/qt/bin" "$prefix/bin" "$prefix/lib" "/usr/lib/gcc/$mingw/12-posix" "/usr/$mingw/lib")
find_dll() {
    local dir
    for dir in "${dll_dirs[@]}"; do
        [ -f "$dir/$1" ] && { printf '%s\n' "$dir/$1"; return 0; }
    done
    return 1
}
# The DLLs the given executables and libraries load, recursively, except those of Windows itself.
dll_closure() { # FILE...
    local -A seen=()
    local queue=("$@") file dll path
    while [ ${#queue[@]} -gt 0 ]; do
        file=${queue[0]}
        queue=("${queue[@]:1}")
        for dll in $($mingw-objdump -p "$file" | awk '/DLL Name:/ { print $3 }'); do
            [ -z "${seen[${dll,,}]:-}" ] || continue
            seen[${dll,,}]=1
            path=$(find_dll "$dll") || continue
            printf '%s\n' "$path"
            queue+=("$path")
        done
    done
}

lib_log "building for Windows in $build"
build_started=$(date +%s)
launcher=()
if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$repo}
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
mkdir -p "$build"
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja --toolchain "$repo/cmake/windows-mingw.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCORVANE_WINDOWS_PREFIX="$prefix" "${launcher[@]}" \
        ${CORVANE_TRUSTED_KEYS:+-DCORVANE_TRUSTED_KEYS="$CORVANE_TRUSTED_KEYS"} >"$build/configure.log" 2>&1 ||
        { tail -n 40 "$build/configure.log" >&2; exit 1; }
fi
cmake --build "$build" -j "$(nproc)" >"$build/build.log" 2>&1 || { grep -B2 -A12 -m5 'error' "$build/build.log" >&2; exit 1; }
# The publisher of the main job is the studio's Linux one.
if [ $run_job -eq 1 ]; then
    [ -f "$host_build/build.ninja" ] || cmake -S . -B "$host_build" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
    cmake --build "$host_build" -j "$(nproc)" --target corvane-publish >"$build/host-build.log" 2>&1 ||
        { tail -n 40 "$build/host-build.log" >&2; exit 1; }
fi
note build "$(($(date +%s) - build_started)) s"

lib_log "staging the bundle"
bundle=$build/bundle/CorvaneLauncher
rm -rf "$build/bundle"
mkdir -p "$bundle/platforms" "$bundle/styles" "$bundle/imageformats"
cp "$build/bin/CorvaneLauncher.exe" "$bundle/"
cp "$prefix/qt/plugins/platforms/qwindows.dll" "$prefix/qt/plugins/platforms/qoffscreen.dll" "$bundle/platforms/"
cp "$prefix"/qt/plugins/styles/*.dll "$bundle/styles/" 2>/dev/null || rmdir "$bundle/styles"
for format in qjpeg qgif qico; do
    cp "$prefix/qt/plugins/imageformats/$format.dll" "$bundle/imageformats/" 2>/dev/null || true
done
rmdir "$bundle/imageformats" 2>/dev/null || true
# OpenSSL is loaded by Qt at run time for TLS, so no import names it: it goes in by name.
mapfile -t dlls < <({ dll_closure "$bundle/CorvaneLauncher.exe" "$bundle"/*/*.dll \
    "$prefix"/bin/libssl-3-x64.dll "$prefix"/bin/libcrypto-3-x64.dll
    printf '%s\n' "$prefix"/bin/libssl-3-x64.dll "$prefix"/bin/libcrypto-3-x64.dll; } | sort -u)
cp "${dlls[@]}" "$bundle/"
cp "$build/bin/launcher.en.qm" "$bundle/"
cp resources/settings/launchersettings.ini "$bundle/launchersettings.example.ini"
$mingw-strip --strip-unneeded "$bundle"/*.exe
(cd "$build/bundle" && rm -f CorvaneLauncher-windows-x64.zip &&
    python3 -c 'import shutil; shutil.make_archive("CorvaneLauncher-windows-x64", "zip", ".", "CorvaneLauncher")')
zip_bytes=$(stat -c %s "$build/bundle/CorvaneLauncher-windows-x64.zip")
bundle_bytes=$(du -sb --apparent-size "$bundle" | cut -f1)
note bundle "$(lib_mib "$zip_bytes") zipped ($(lib_mib "$bundle_bytes") unpacked, $(find "$bundle" -type f | wc -l) files): $build/bundle/CorvaneLauncher-windows-x64.zip"

if [ ! -d "$WINEPREFIX/drive_c" ]; then
    lib_log "creating the Wine prefix $WINEPREFIX"
    "$wine" wineboot -i >/dev/null 2>&1
    "$wineserver" -w
fi

tests_status=0
if [ $run_tests -eq 1 ]; then
    lib_log "test suite under Wine"
    # Test programs find the libraries through Wine's PATH; the bundle carries its own.
    WINEPATH=$(IFS=';'; echo "${dll_dirs[*]}")
    export WINEPATH QT_PLUGIN_PATH=Z:$prefix/qt/plugins QT_FORCE_STDERR_LOGGING=1
    tests_started=$(date +%s)
    # Wine's sockets and timers under load are less steady than a real Windows: a program that
    # fails runs once more, and the summary names every failed attempt.
    (cd "$build" && ctest -j "${WINDOWS_JOBS:-2}" -V --repeat until-pass:2) >"$build/ctest.log" 2>&1 ||
        tests_status=$?
    unset WINEPATH QT_PLUGIN_PATH
    "$wineserver" -k 2>/dev/null || true
    # Qt Test prints one "Totals:" line per test program.
    read -r passed failed skipped < <(sed -n 's/.*Totals: \([0-9]*\) passed, \([0-9]*\) failed, \([0-9]*\) skipped.*/\1 \2 \3/p' \
        "$build/ctest.log" | awk '{ p += $1; f += $2; s += $3 } END { print p + 0, f + 0, s + 0 }')
    programs=$(grep -E '^ *[0-9]+/[0-9]+ Test +#' "$build/ctest.log" | sed 's/.*Test *#[0-9]*: \([^ ]*\).*/\1/' |
        sort -u | wc -l || true)
    failing=$(grep -E '^ *[0-9]+/[0-9]+ Test +#.*(Failed|Timeout|Exception)' "$build/ctest.log" |
        sed 's/.*Test *#[0-9]*: \([^ ]*\).*/\1/' | tr '\n' ' ' || true)
    note tests "$passed passed, $failed failed, $skipped skipped in $programs programs, $(($(date +%s) - tests_started)) s"
    [ -z "$failing" ] || note "failed attempts" "$failing"
    # The failing cases with their first line of reason, so a CI log names them.
    while read -r line; do summary+=("      $line"); done < <(grep -A1 -E '^[0-9: ]*FAIL!  : ' "$build/ctest.log" |
        grep -vE '^--$' | sed 's/^[0-9]*: //' | cut -c1-200 | head -n 20 || true)
    # Why cases were skipped, one line per reason.
    grep -oE 'SKIP   : .*' "$build/ctest.log" | sed 's/^SKIP   : [A-Za-z_0-9:]*([^)]*) //' | sort | uniq -c |
        sort -rn >"$build/skips.txt" || true
    while read -r line; do summary+=("      skip $line"); done <"$build/skips.txt"
fi

job_status=0
if [ $run_job -eq 1 ]; then
    # shellcheck source=windows-job.sh
    source scripts/windows-job.sh
    windows_main_job || job_status=$?
fi

cat <<SUMMARY

Corvane launcher for Windows, under Wine ($("$wine" --version 2>/dev/null))
$(printf '%s\n' "${summary[@]}")
  total time           $(elapsed) s
SUMMARY
[ $tests_status -eq 0 ] || { echo "tests failed under Wine (log: $build/ctest.log)" >&2; exit 1; }
[ $job_status -eq 0 ] || { echo "the main job failed under Wine" >&2; exit 1; }
