#!/usr/bin/env bash
# Installs everything the builds and tests need on a fresh Debian 12 machine,
# then checks that every tool the scripts call is there (scripts/tools.sh).
# Run as root (or with sudo available).
set -euo pipefail
source "$(dirname "$0")/tools.sh"
export DEBIAN_FRONTEND=noninteractive

# Libraries and other packages besides those of the tools.
mapfile -t packages < <(tools_packages)
packages+=(
    ca-certificates procps libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libhidapi-dev liblzf-dev
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "install-deps: run as root or with sudo installed" >&2
        exit 1
    fi
    sudo="sudo"
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
    echo "install-deps: all packages present"
else
    echo "install-deps: installing ${missing[*]}"
    # 32-bit packages (wine32:i386) need the i386 architecture enabled first.
    if printf '%s\n' "${missing[@]}" | grep ':i386$' >/dev/null &&
        ! dpkg --print-foreign-architectures | grep -x i386 >/dev/null; then
        $sudo dpkg --add-architecture i386
    fi
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    echo "install-deps: done"
fi
tools_check
# The kernel of the VM that plays the controller as a real USB device: Debian's
# own, unpacked beside this machine's (tests/vm/kernel.sh), not installed.
$sudo bash "$(dirname "$0")/../tests/vm/kernel.sh" install
