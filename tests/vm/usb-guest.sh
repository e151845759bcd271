#!/usr/bin/env bash
# Inside the VM (tests/vm/usb-lane.sh runs it): the Linux build of BUILD_DIR
# against tevu-vctl as a real USB gadget. Prints one "PASS name" or
# "FAIL name: why" line per check, and "INFO" lines with figures.
#
# usage: usb-guest.sh BUILD_DIR [SCENARIO...]   (default: all of them)
set -u
build=$1
shift
scenarios=${*:-"e2e cycles stops signals keys load access"}
vctl="$build/tools/tevu-vctl"
tool="$build/tevutest"
cd /tmp || exit 1

# "PASS x" / "FAIL x" / "INFO x" lines of a program, under a name.
relay() { # relay NAME
    local line
    while IFS= read -r line; do
        case $line in
        "PASS "* | "FAIL "* | "INFO "*) echo "${line%% *} $1: ${line#* }" ;;
        *) echo "     $line" ;;
        esac
    done
}

# The end-to-end suite through the gadget: tevutest's exact output, touches,
# buttons, lamps, LEDs, unplug and plug, stops. The tests of the socket
# transport itself are left out.
e2e() {
    TEVU_E2E_TRANSPORT=gadget "$build/tests/e2e/e2e_tests" \
        --gtest_filter='-*ControllerRefusesABadScript*:*ControllerSkipsABadPipedLine*:*ControllerAcknowledges*:*ControllerUnplugsAndPlugsAgain:*SecondController*:*Doctor*' \
        2>&1 | sed -n -e 's/^\[       OK \] EndToEnd\.\([A-Za-z0-9_]*\).*/PASS \1/p' \
        -e 's/^\[  FAILED  \] EndToEnd\.\([A-Za-z0-9_]*\) (.*/FAIL \1/p' \
        -e 's/^\[  SKIPPED \] EndToEnd\.\([A-Za-z0-9_]*\) (.*/FAIL \1: skipped/p' \
        -e '/Failure$/,+4p' | relay e2e
}

# A user without access to the controller's nodes gets the permission line
# and a clean failure; with the access the udev rule gives, it works.
access() {
    "$vctl" --gadget --no-display --script - 2>/tmp/access-vctl.err </dev/null &
    local vctl_pid=$! nodes="" n
    for _ in $(seq 300); do
        nodes=$(grep -l 'HID_ID=0003:00000F0D:' /sys/class/hidraw/*/device/uevent 2>/dev/null |
            sed 's|/sys/class/hidraw/\([^/]*\)/.*|/dev/\1|' | sort)
        [ "$(echo "$nodes" | grep -c hidraw)" = 2 ] && break
        sleep 0.1
    done
    local first=${nodes%%$'\n'*} work
    work=$(mktemp -d /tmp/access.XXXXXX)
    chmod 0755 "$work"
    local as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    (cd "$work" && timeout 60 "${as_user[@]}" "$tool" >"$work/denied.out" 2>&1)
    local status=$?
    printf '%s\r\n' "tevuTEST" "---------" \
        "tevu_io_jvs_init() : Permission denied opening $first; install packaging/linux/70-tevuio.rules (see README, Linux device access)." \
        "Could not open detected device (err = d)." >"$work/denied.expected"
    # Interface 0 is refused, then the search for any interface meets it again;
    # the line is printed once per node.
    printf '%s\r\n' "Could not open detected device (err = d)." "ERROR" >>"$work/denied.expected"
    if [ "$status" = 255 ] && cmp -s "$work/denied.expected" "$work/denied.out"; then
        echo "PASS without access: the permission line, exit status 255"
    else
        echo "FAIL without access: the permission line, exit status 255: status $status, output:"
        sed 's/^/     /' "$work/denied.out"
    fi
    # What the rule's uaccess tag gives the user at the seat: read and write
    # through an ACL on each of the controller's nodes.
    for n in $nodes; do setfacl -m u:nobody:rw "$n"; done
    (cd "$work" && exec timeout -s INT 8 "${as_user[@]}" "$tool" >"$work/granted.out" 2>&1)
    if grep -q 'tevu_io_slider_start() : OK' "$work/granted.out"; then
        echo "PASS with the rule's access: init opens the controller"
    else
        echo "FAIL with the rule's access: init opens the controller:"
        sed 's/^/     /' "$work/granted.out"
    fi
    kill -INT "$vctl_pid"
    wait "$vctl_pid"
}

for s in $scenarios; do
    start=$(date +%s)
    case $s in
    e2e) e2e ;;
    access) access 2>&1 | relay "access" ;;
    *) "$build/tests/vm/usb_scenarios" "$s" 2>&1 | relay "$s" ;;
    esac
    echo "INFO $s: $(($(date +%s) - start)) s"
done
