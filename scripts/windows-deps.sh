#!/usr/bin/env bash
# Builds the Windows libraries the launcher links (zlib, liblzma, libzstd, OpenSSL 3 and Qt 5.15
# qtbase) for x86_64-w64-mingw32 from Debian's own source packages, into one prefix.
#     scripts/windows-deps.sh
# The prefix is $CORVANE_WINDOWS_PREFIX (default ~/.cache/corvane-windows). Each library leaves a
# stamp in the prefix; a library whose stamp is there is not built again. Needs root on a machine
# without the packages: it installs the cross compiler and Wine and adds a deb-src entry for the
# archive the machine already uses.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=${CORVANE_WINDOWS_PREFIX:-$HOME/.cache/corvane-windows}
sources=$prefix/src
host=x86_64-w64-mingw32
jobs=$(nproc)
mkdir -p "$prefix/stamps" "$sources"

log() { printf '== %s\n' "$*"; }

install_packages() {
    local packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 dpkg-dev
                    build-essential cmake ninja-build pkg-config perl python3 xz-utils)
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        [ "$(id -u)" -eq 0 ] || { echo "missing packages: ${missing[*]} (run as root)" >&2; exit 1; }
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
    # The POSIX-threads flavour provides std::thread and std::mutex, which Qt and the launcher use.
    if [ "$(id -u)" -eq 0 ]; then
        update-alternatives --set $host-gcc /usr/bin/$host-gcc-posix >/dev/null 2>&1 || true
        update-alternatives --set $host-g++ /usr/bin/$host-g++-posix >/dev/null 2>&1 || true
    fi
}

# A deb-src entry for every archive the machine already takes binary packages from.
add_source_entries() {
    local list=/etc/apt/sources.list.d/corvane-deb-src.sources
    if apt-get source --print-uris zlib >/dev/null 2>&1; then
        return
    fi
    [ "$(id -u)" -eq 0 ] || { echo "no deb-src entry; run once as root to add one" >&2; exit 1; }
    : > "$list.tmp"
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -e "$file" ] && [ "$file" != "$list" ] || continue
        # deb822 stanzas: keep those of Debian's archive, as source stanzas.
        awk -v RS= -v ORS='\n\n' '/URIs:[^\n]*debian\.org/ { sub(/Types: deb/, "Types: deb-src"); print }' \
            "$file" >> "$list.tmp"
    done
    if [ -e /etc/apt/sources.list ]; then
        sed -n 's/^deb \(.*debian\.org.*\)$/deb-src \1/p' /etc/apt/sources.list > /etc/apt/sources.list.d/corvane-deb-src.list
    fi
    mv "$list.tmp" "$list"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
}

fetch_source() { # package -> prints the unpacked directory
    local package=$1
    local dir
    dir=$(find "$sources" -maxdepth 1 -mindepth 1 -type d -name "$2-*" | head -n 1)
    if [ -z "$dir" ]; then
        # The newest version first; an archive whose mirror lacks the sources (some security
        # mirrors) is passed over for the next version that can be fetched.
        local version
        for version in "" $(apt-cache showsrc "$package" 2>/dev/null | awk '/^Version:/ { print $2 }'); do
            (cd "$sources" && apt-get source -qq "$package${version:+=$version}" >/dev/null 2>&1) && break
        done
        dir=$(find "$sources" -maxdepth 1 -mindepth 1 -type d -name "$2-*" | head -n 1)
    fi
    [ -n "$dir" ] || { echo "could not unpack the source of $package" >&2; exit 1; }
    printf '%s\n' "$dir"
}

timed() { # name command...
    local name=$1
    shift
    if [ -e "$prefix/stamps/$name" ]; then
        log "$name: already built ($(cat "$prefix/stamps/$name"))"
        return
    fi
    log "$name: building"
    local start=$SECONDS
    # In the background so that set -e holds inside the build function.
    ( "$@" ) > "$prefix/$name.log" 2>&1 &
    if ! wait $!; then
        tail -n 40 "$prefix/$name.log" >&2
        echo "$name failed; log: $prefix/$name.log" >&2
        exit 1
    fi
    local seconds=$((SECONDS - start))
    echo "${seconds} s, $(date -u +%Y-%m-%d)" > "$prefix/stamps/$name"
    log "$name: built in ${seconds} s"
    build_seconds=$((build_seconds + seconds))
}

cmake_cross() { # source directory, build directory, extra arguments
    local source=$1 build=$2
    shift 2
    rm -rf "$build"
    cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows \
        -DCMAKE_C_COMPILER=$host-gcc-posix -DCMAKE_CXX_COMPILER=$host-g++-posix \
        -DCMAKE_RC_COMPILER=$host-windres -DCMAKE_INSTALL_PREFIX="$prefix" "$@"
    cmake --build "$build" -j "$jobs"
    cmake --install "$build"
}

build_zlib() {
    # Debian's zlib source has no Windows resource files, so the DLL cannot be built from it;
    # the static library serves the tests' gzip replies (Qt uses its own bundled zlib).
    local dir
    dir=$(fetch_source zlib zlib)
    rm -rf "$dir/build-win"
    cmake -S "$dir" -B "$dir/build-win" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows \
        -DCMAKE_C_COMPILER=$host-gcc-posix -DCMAKE_RC_COMPILER=$host-windres
    cmake --build "$dir/build-win" -j "$jobs" --target zlibstatic
    mkdir -p "$prefix/include" "$prefix/lib"
    cp "$dir/zlib.h" "$dir/build-win/zconf.h" "$prefix/include/"
    cp "$dir/build-win/libzlibstatic.a" "$prefix/lib/libz.a"
}

build_xz() {
    local dir
    dir=$(fetch_source xz-utils xz-utils)
    rm -rf "$dir/build-win"
    mkdir -p "$dir/build-win"
    cd "$dir/build-win"
    ../configure --host=$host --prefix="$prefix" --enable-shared --disable-static \
        --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links \
        --disable-scripts --disable-doc --disable-nls
    make -j "$jobs"
    make install
}

build_zstd() {
    local dir
    dir=$(fetch_source libzstd libzstd)
    cmake_cross "$dir/build/cmake" "$dir/build-win" -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF \
        -DZSTD_BUILD_STATIC=OFF -DZSTD_BUILD_SHARED=ON -DZSTD_MULTITHREAD_SUPPORT=OFF -DZSTD_LEGACY_SUPPORT=OFF
}

build_openssl() {
    local dir
    dir=$(fetch_source openssl openssl)
    cd "$dir"
    make distclean >/dev/null 2>&1 || true
    ./Configure mingw64 --cross-compile-prefix=$host- --prefix="$prefix" --libdir=lib \
        shared no-tests no-legacy
    make -j "$jobs" build_libs
    make install_dev install_runtime_libs
}

# Debian's qtbase source leaves out the Wintab header (its licence forbids changes), which the
# Windows platform plugin includes for graphics tablets. The plugin is built without Wintab: pens
# still arrive through the pointer messages of Windows 8 and later.
without_wintab() { # source directory
    local windows=$1/src/plugins/platforms/windows
    [ -e "$1/src/3rdparty/wintab/wintab.h" ] && return
    sed -i 's/^qtConfig(tabletevent) {/false {/' "$windows/windows.pri"
    sed -i 's/^#if QT_CONFIG(tabletevent)$/#if 0 \/\/ no Wintab header/' "$windows/qwindowscontext.cpp"
}

build_qtbase() {
    local dir
    dir=$(fetch_source qtbase-opensource-src qtbase-opensource-src)
    # An interrupted build goes on where it stopped: qtbase is by far the longest step, and a
    # finished configure leaves its Makefile behind.
    if [ ! -e "$dir/build-win/.configured" ]; then
        rm -rf "$dir/build-win"
        mkdir -p "$dir/build-win"
    fi
    without_wintab "$dir"
    cd "$dir/build-win"
    [ -e .configured ] || ../configure -xplatform win32-g++ -device-option CROSS_COMPILE=$host- -platform linux-g++ \
        -prefix "$prefix/qt" -opensource -confirm-license -release -shared -strip \
        -nomake examples -nomake tests -no-opengl -no-dbus -no-icu \
        -no-sql-sqlite -no-sql-odbc \
        -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-freetype -qt-harfbuzz -qt-doubleconversion \
        -openssl-linked -I "$prefix/include" -L "$prefix/lib" \
        OPENSSL_LIBS="-lssl -lcrypto -lws2_32 -lgdi32 -lcrypt32"
    touch .configured
    make -j "$jobs"
    # The install rules of the pkg-config files name them relative to the source tree
    # (../../build-win/lib from src/corelib), which a shadow build below the source resolves one
    # level too deep.
    ln -sfn . build-win
    make install
}

build_seconds=0
start_all=$SECONDS
install_packages
add_source_entries
timed zlib build_zlib
timed xz build_xz
timed zstd build_zstd
timed openssl build_openssl
timed qtbase build_qtbase
log "prefix $prefix ready; built now in ${build_seconds} s, $((SECONDS - start_all)) s in all"
