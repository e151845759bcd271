#!/usr/bin/env bash
# The kernel the VM boots: Debian's own (linux-image-amd64), unpacked from its
# package into a folder of its own without installing it as this machine's
# kernel, with its module index made by depmod.
#
#   bash tests/vm/kernel.sh install   fetch and unpack it unless it is there (root)
#   bash tests/vm/kernel.sh path      print the unpacked kernel's folder, or fail
#
# The folder is $TEVUIO_VM_KERNEL_DIR, by default /var/cache/tevuio-vm.
set -euo pipefail
source "$(dirname "$0")/../../scripts/tools.sh"

cache=${TEVUIO_VM_KERNEL_DIR:-/var/cache/tevuio-vm}

# The newest unpacked kernel: a folder holding boot/vmlinuz-VERSION and
# lib/modules/VERSION/modules.dep.
kernel_path() {
    local d
    for d in $(ls -d "$cache"/linux-* 2>/dev/null | sort -V -r); do
        if ls "$d"/boot/vmlinuz-* >/dev/null 2>&1 && ls "$d"/lib/modules/*/modules.dep >/dev/null 2>&1; then
            echo "$d"
            return 0
        fi
    done
    return 1
}

resolve_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | sed -n 1p
}

install_kernel() {
    # The versioned package that linux-image-amd64 stands for today.
    local package
    package=$(resolve_package)
    if [ -z "$package" ]; then
        apt-get update -qq
        package=$(resolve_package)
    fi
    if [ -z "$package" ]; then
        echo "vm kernel: apt-cache does not resolve linux-image-amd64 (run apt-get update)" >&2
        return 1
    fi
    local target="$cache/$package"
    if [ -d "$target" ] && kernel_path >/dev/null; then
        echo "vm kernel: $package present"
        return 0
    fi
    mkdir -p "$cache"
    local work
    work=$(mktemp -d "$cache/.fetch.XXXXXX")
    # apt-get download writes into the current folder as the _apt user when it can.
    chmod 0777 "$work"
    (cd "$work" && apt-get download -qq "$package")
    mkdir -p "$work/tree"
    dpkg-deb -x "$work"/"$package"_*.deb "$work/tree"
    local version
    version=$(ls "$work/tree/lib/modules")
    depmod -b "$work/tree" "$version"
    rm -rf "$target"
    mv "$work/tree" "$target"
    rm -rf "$work"
    echo "vm kernel: $package unpacked in $target"
}

case "${1:-}" in
install) install_kernel ;;
path) kernel_path ;;
*)
    echo "usage: $0 install|path" >&2
    exit 2
    ;;
esac
