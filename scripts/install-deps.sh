#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; quiet and idempotent.
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools qttools5-dev-tools
    liblzma-dev libssl-dev xz-utils
    xvfb xauth imagemagick nginx-light curl
    fonts-liberation
)
if [ "${1:-}" = "--ci" ]; then
    packages+=(g++-mingw-w64-x86-64-posix clang libclang-rt-14-dev)
fi
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
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
