#!/usr/bin/env bash
# The Windows builds against a real USB controller through wine's own HID
# stack, in the VM (tests/vm/run.sh): tevu-vctl plays the controller as a USB
# gadget, the udev daemon runs as on a desktop, and wine's winebus hands the
# controller's hidraw nodes to setupapi, hid.dll and hidclass; no stand-in DLL.
# The 32-bit product (the release zip's stripped files) runs under the 32-bit
# loader in WoW64 mode, the 64-bit twin under wine64 (tests/vm/wine-guest.sh
# says what each runs).
#
# usage: tests/vm/wine-lane.sh FILES32 FILES64 HARNESS
#   FILES32, FILES64: folders holding tevuio.dll and tevutest.exe of each
#   build; HARNESS: the folder with win32/ and win64/ usb_lane.exe.
# Prints "PASS usb-vm ..." / "FAIL usb-vm ..." lines and "INFO" figures; the
# caller counts them. Exits non-zero when the lane could not run at all.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
source "$root/scripts/tools.sh" # wine64, wine32, wineserver
files32=$1 files64=$2 harness=$3
start=$SECONDS

# The controller program, built for this machine.
vctl=$root/build/linux/tools/tevu-vctl
if ! { cmake --preset linux -S "$root" -B "$root/build/linux" >/dev/null &&
    cmake --build "$root/build/linux" --target tevu-vctl -j2 >/dev/null; }; then
    echo "FAIL usb-vm: build tevu-vctl (cmake --build build/linux --target tevu-vctl)"
    exit 1
fi

# The share: a folder of this machine the guest writes to (not under /tmp,
# which the guest's own tmpfs hides).
share=$root/build/wine-vm
rm -rf "$share"
mkdir -p "$share"
for b in win32 win64; do
    mkdir -p "$share/$b"
    [ $b = win32 ] && files=$files32 || files=$files64
    cp "$files/tevuio.dll" "$files/tevutest.exe" "$harness/$b/usb_lane.exe" "$share/$b/" || exit 1
done
echo "$wine32" >"$share/win32/loader"
echo "$wine64" >"$share/win64/loader"

# The WoW64 prefix, made here (inside the VM it takes minutes). winebus goes
# straight to its udev bus rather than trying SDL first.
export WINEPREFIX=$share/prefix WINEDEBUG=-all
if ! { timeout 180 "$wine64" wineboot -i >"$share/wineboot.log" 2>&1 &&
    timeout 60 "$wine64" reg add 'HKLM\System\CurrentControlSet\Services\winebus' \
        /v 'Enable SDL' /t REG_DWORD /d 0 /f >>"$share/wineboot.log" 2>&1 &&
    timeout 60 "$wineserver" -w; }; then
    echo "FAIL usb-vm: wine prefix created (see $share/wineboot.log)"
    "$wineserver" -k 2>/dev/null
    exit 1
fi
echo "INFO usb-vm: prefix made in $((SECONDS - start)) s"

vm_start=$SECONDS
bash "$here/run.sh" --timeout 1200 --share "$share" -- \
    bash "$here/wine-guest.sh" "$share" "$vctl" win32 win64
status=$?
echo "INFO usb-vm: the VM ran $((SECONDS - vm_start)) s; the lane $((SECONDS - start)) s"
case $status in
0) ;;
124) echo "FAIL usb-vm: the VM ended within 1200 s" ;;
125) echo "FAIL usb-vm: the VM could not run (see above; scripts/install-deps.sh installs" \
    "qemu-system-x86 and unpacks the kernel)" ;;
*) echo "FAIL usb-vm: the guest's script ended with status $status" ;;
esac
exit 0
