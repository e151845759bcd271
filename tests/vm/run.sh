#!/usr/bin/env bash
# Runs one command in a virtual machine: Debian's own kernel (tests/vm/kernel.sh)
# under qemu, always with TCG (no KVM), booted from a small initramfs made of
# busybox-static and the kernel's own modules (virtio and 9p for the file
# systems; dummy_hcd, configfs, libcomposite, usb_f_hid and usb_f_fs for USB gadgets;
# usbhid and hid-generic for the host side). Its root is this machine's root
# file system, read-only; /tmp, /run and /dev/shm are its own tmpfs. No network.
#
# usage: tests/vm/run.sh [options] [--] COMMAND [ARGS...]
#   --timeout S   end the VM after S seconds (default 300): status 124
#   --share DIR   a writable folder of this machine, at the same path inside
#   --ro DIR      a further read-only folder at the same path inside (for
#                 folders under /tmp, which the guest's own /tmp hides); the
#                 repository is added so when it lies under /tmp
#   --cpus N, --mem MB   (default 2 and 2048)
#
# The command runs as root under bash, in the caller's folder when the guest
# has it (else /), with PATH, HOME=/root, TEVU_IN_VM=1 and every TEVU*
# variable of the caller. Its output (stdout and stderr) is printed as it
# comes; the runner exits with its status, 124 when the time ran out, 125
# when the VM could not run it (what the kernel printed is shown then).
# Nothing is left running: qemu ends with the command, or is killed.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
source "$root/scripts/tools.sh"

timeout_s=300
cpus=2
mem=2048
share=""
ro_dirs=()
while [ $# -gt 0 ]; do
    case $1 in
    --timeout) timeout_s=$2; shift 2 ;;
    --share) share=$(cd "$2" && pwd) || exit 125; shift 2 ;;
    --ro) ro_dirs+=("$(cd "$2" && pwd)") || exit 125; shift 2 ;;
    --cpus) cpus=$2; shift 2 ;;
    --mem) mem=$2; shift 2 ;;
    --) shift; break ;;
    -*) echo "vm: unknown option $1" >&2; exit 125 ;;
    *) break ;;
    esac
done
if [ $# -eq 0 ]; then
    echo "usage: tests/vm/run.sh [--timeout S] [--share DIR] [--ro DIR] [--] COMMAND [ARGS...]" >&2
    exit 125
fi

# What the VM needs, each with the step that installs it.
qemu=qemu-system-x86_64
if ! command -v "$qemu" >/dev/null; then
    echo "vm: $qemu is missing: run scripts/install-deps.sh (Debian package qemu-system-x86)" >&2
    exit 125
fi
if [ ! -x /bin/busybox ] || ! /bin/busybox --list 2>/dev/null | grep -x insmod >/dev/null; then
    echo "vm: /bin/busybox is missing: run scripts/install-deps.sh (Debian package busybox-static)" >&2
    exit 125
fi
if ! kernel=$(bash "$here/kernel.sh" path); then
    echo "vm: no kernel unpacked: run scripts/install-deps.sh (it calls tests/vm/kernel.sh install," \
        "which unpacks Debian's linux-image-amd64)" >&2
    exit 125
fi
version=$(basename "$(ls -d "$kernel"/lib/modules/*)")
modules_dir="$kernel/lib/modules/$version"

work=$(mktemp -d /tmp/tevu-vm.XXXXXX)
qemu_pid=""
cleanup() {
    if [ -n "$qemu_pid" ]; then
        kill -KILL "$qemu_pid" 2>/dev/null
        wait "$qemu_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- The initramfs ---------------------------------------------------------------
# Modules in load order: each after the ones it depends on (modules.dep).
wanted="virtio_pci 9pnet_virtio 9p dummy_hcd usb_f_hid usb_f_fs usbhid hid_generic evdev uinput"
declare -A module_path=() loaded=()
while IFS= read -r line; do
    name=${line%%.ko:*}
    name=${name##*/}
    module_path[${name//-/_}]=$line
done <"$modules_dir/modules.dep"
order=()
load_order() { # load_order NAME
    local name=${1//-/_} line deps dep i
    [ -n "${loaded[$name]:-}" ] && return 0
    line=${module_path[$name]:-}
    if [ -z "$line" ]; then
        grep -q "/$1.ko\$" "$modules_dir/modules.builtin" 2>/dev/null && return 0
        echo "vm: module $1 not in $modules_dir" >&2
        return 1
    fi
    loaded[$name]=1
    read -r -a deps <<<"${line#*:}"
    # modules.dep lists a module's dependencies, the last one loaded first.
    for ((i = ${#deps[@]} - 1; i >= 0; i--)); do
        dep=${deps[$i]##*/}
        load_order "${dep%.ko}" || return 1
    done
    order+=("${line%%:*}")
}
for m in $wanted; do
    load_order "$m" || exit 125
done

init="$work/initramfs"
mkdir -p "$init"/{bin,modules,proc,sys,dev,new}
cp /bin/busybox "$init/bin/busybox"
for file in "${order[@]}"; do
    cp "$modules_dir/$file" "$init/modules/"
    basename "$file" >>"$init/modules/order"
done

# The folders the guest mounts over 9p beside its root: tag, path, mode.
ctl="$work/ctl"
mkdir -p "$ctl"
mounts=("ctl $ctl rw")
virtfs=(-virtfs "local,path=$ctl,mount_tag=ctl,security_model=passthrough,multidevs=remap")
add_folder() { # add_folder PATH MODE
    local tag="f${#mounts[@]}" opts="local,path=$1,mount_tag=f${#mounts[@]},security_model=passthrough,multidevs=remap"
    [ "$2" = ro ] && opts="$opts,readonly=on"
    mounts+=("$tag $1 $2")
    virtfs+=(-virtfs "$opts")
}
[ -n "$share" ] && add_folder "$share" rw
case $root/ in /tmp/*) ro_dirs+=("$root") ;; esac
for d in "${ro_dirs[@]}"; do
    add_folder "$d" ro
done
printf '%s\n' "${mounts[@]}" >"$init/mounts"

cat >"$init/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in $(cat /modules/order); do
    insmod "/modules/$m" || echo "vm: cannot load $m"
done
p9="trans=virtio,version=9p2000.L,msize=512000"
mount -t 9p -o "$p9,ro,cache=loose" hostroot /new || echo "vm: cannot mount the root"
mount -t tmpfs -o mode=1777 tmpfs /new/tmp
mount -t tmpfs -o mode=0755 tmpfs /new/run
mount -t devtmpfs devtmpfs /new/dev
mkdir -p /new/dev/pts /new/dev/shm
mount -t devpts devpts /new/dev/pts
mount -t tmpfs -o mode=1777 tmpfs /new/dev/shm
mount -t proc proc /new/proc
mount -t sysfs sysfs /new/sys
mount -t configfs configfs /new/sys/kernel/config
while read -r tag path mode; do
    mkdir -p "/new$path" 2>/dev/null
    mount -t 9p -o "$p9,$mode" "$tag" "/new$path" || echo "vm: cannot mount $path"
done </mounts
ctl=$(sed -n 's/^ctl \(.*\) rw$/\1/p' /mounts)
hostname tevu-vm
chroot /new /bin/bash "$ctl/cmd.sh" >"/new$ctl/output" 2>&1
echo $? >"/new$ctl/status"
sync
echo o >/proc/sysrq-trigger
sleep 10
EOF
chmod +x "$init/init"
(cd "$init" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd" || exit 125

# --- The command ------------------------------------------------------------------
{
    echo 'export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TEVU_IN_VM=1'
    while IFS='=' read -r name _; do
        case $name in TEVU*) printf 'export %s=%q\n' "$name" "${!name}" ;; esac
    done < <(env)
    printf 'cd %q 2>/dev/null || cd /\n' "$(pwd)"
    printf 'exec'
    printf ' %q' "$@"
    printf '\n'
} >"$ctl/cmd.sh"
: >"$ctl/output"

# --- The VM -------------------------------------------------------------------------
# qemu64 with the SSE levels that programs expect; -cpu max makes wine's
# processes fault in the guest.
timeout -k 5 "$timeout_s" "$qemu" -accel tcg -cpu qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt \
    -smp "$cpus" -m "$mem" -nodefaults -no-user-config -display none -no-reboot -net none \
    -kernel "$(ls "$kernel"/boot/vmlinuz-*)" -initrd "$work/initrd" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3 rdinit=/init" \
    -serial "file:$work/console.log" \
    -virtfs "local,path=/,mount_tag=hostroot,security_model=passthrough,readonly=on,multidevs=remap" \
    "${virtfs[@]}" >"$work/qemu.log" 2>&1 &
qemu_pid=$!
tail -n +1 -s 0.2 -F --pid="$qemu_pid" "$ctl/output" 2>/dev/null
wait "$qemu_pid"
qemu_status=$?
qemu_pid=""

if [ -s "$ctl/status" ]; then
    exit "$(cat "$ctl/status")"
fi
if [ "$qemu_status" = 124 ] || [ "$qemu_status" = 137 ]; then
    echo "vm: the command did not end within ${timeout_s} s" >&2
    exit 124
fi
echo "vm: the VM ended without the command's status (qemu status $qemu_status)" >&2
tail -n 30 "$work/qemu.log" "$work/console.log" >&2
exit 125
