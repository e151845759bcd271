#!/usr/bin/env bash
# Installs everything the builds and tests need on a fresh Debian 12 machine.
# Run as root (or with sudo available).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

packages=(
    build-essential cmake ninja-build pkg-config git ca-certificates procps
    clang clang-tidy clang-format cppcheck libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libhidapi-dev liblzf-dev
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 zip unzip
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"
