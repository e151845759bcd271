#!/usr/bin/env bash
# The Linux build against the controller as a real USB device: one VM run
# (tests/vm/run.sh) of tests/vm/usb-guest.sh, in which tevu-vctl plays a USB
# gadget that the kernel enumerates and usbhid carries, and the library reads
# and writes it through hidraw and the real libhidapi-hidraw.
#
# usage: bash tests/vm/usb-lane.sh [BUILD_DIR [SCENARIO...]]
#   BUILD_DIR: a built Linux tree (default build/linux)
# Prints one line per check, "PASS usb-vm linux ..." or "FAIL usb-vm linux ...",
# and ends with "N passed, M failed"; exits non-zero on any failure.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd) || exit 1
shift
source "$root/scripts/tools.sh"

passed=0
failed=0
verdict() { # verdict LINE
    case $1 in
    "PASS "*) echo "PASS usb-vm linux ${1#PASS }"; passed=$((passed + 1)) ;;
    "FAIL "*) echo "FAIL usb-vm linux ${1#FAIL }"; failed=$((failed + 1)) ;;
    "STATUS 0") ;;
    "STATUS "*) verdict "FAIL the VM ran the lane to its end (tests/vm/run.sh status ${1#STATUS })" ;;
    *) echo "$1" ;;
    esac
}

for program in tools/tevu-vctl tevutest tests/e2e/e2e_tests tests/vm/usb_scenarios; do
    if [ ! -x "$build/$program" ]; then
        verdict "FAIL the lane's programs are built: $build/$program is missing"
    fi
done
if [ "$failed" = 0 ]; then
    start=$SECONDS
    while IFS= read -r line; do
        verdict "$line"
    done < <(bash "$root/tests/vm/run.sh" --timeout 1200 -- \
        bash "$root/tests/vm/usb-guest.sh" "$build" "$@" 2>&1; echo "STATUS $?")
    echo "INFO usb-vm linux: the lane took $((SECONDS - start)) s"
fi
echo "$passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
