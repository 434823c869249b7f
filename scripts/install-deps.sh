#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; quiet and idempotent.
#     scripts/install-deps.sh [--ci] [--bench]
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools qttools5-dev-tools
    liblzma-dev libzstd-dev libssl-dev zlib1g-dev xz-utils
    xvfb xauth xdotool imagemagick nginx-light curl openssl python3 mawk
    fonts-liberation
)
# --ci adds the cross compiler and sanitizers, --bench the tools the benchmarks compare against.
for option in "$@"; do
    case "$option" in
        --ci) packages+=(g++-mingw-w64-x86-64-posix clang libclang-rt-14-dev) ;;
        --bench) packages+=(casync zsync time) ;;
    esac
done
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# Packages such as nginx would start their system service on installation; the build and the demo
# start their own servers on loopback, so no service is started while installing.
policy=/usr/sbin/policy-rc.d
log=$(mktemp)
cleanup() {
    rm -f "$log"
    [ -z "${own_policy:-}" ] || rm -f "$policy"
}
trap cleanup EXIT
if [ ! -e "$policy" ]; then
    own_policy=1
    printf '#!/bin/sh\nexit 101\n' > "$policy"
    chmod 755 "$policy"
fi
if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
    >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi
