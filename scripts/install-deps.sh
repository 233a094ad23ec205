#!/usr/bin/env bash
# Installs every Debian package that building Lorvane and running its tests needs. Safe to run again:
# packages already present are left alone and apt is only asked when something is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    clang clang-format libclang-rt-14-dev llvm-14
    qt6-base-dev qt6-base-dev-tools libgl-dev
    xorriso genisoimage libarchive-tools python3 python3-pycdlib
    xvfb xauth
    qemu-system-x86 linux-image-amd64 busybox-static cpio
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
