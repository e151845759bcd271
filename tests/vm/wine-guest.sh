#!/usr/bin/env bash
# Inside the VM (tests/vm/wine-lane.sh starts it): the Windows builds under
# wine against tevu-vctl's USB gadget, through wine's own HID stack. Prints one
# line per check, "PASS usb-vm BUILD ..." or "FAIL usb-vm ...", and "INFO"
# figures.
#
# usage: wine-guest.sh SHARE VCTL BUILD...
#   SHARE holds the prefix (prefix/) and per build a game's folder (BUILD/:
#   tevuio.dll, tevutest.exe, usb_lane.exe and the loader's path in loader)
set -u
share=$1 vctl=$2
shift 2
source "$(dirname "$0")/../../scripts/tools.sh" # wineserver
export WINEPREFIX=$share/prefix WINEDEBUG=-all XDG_CACHE_HOME=/tmp
t0=$(date +%s%N)
elapsed() { echo $((($(date +%s%N) - t0) / 1000000)); }
pass() { echo "PASS usb-vm $*"; }
fail() { echo "FAIL usb-vm $*"; }
check() { # check NAME COMMAND...
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}
until_true() { # until_true SECONDS COMMAND...: polls COMMAND every 0.1 s
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.1
    done
}

# The udev daemon, as on a desktop, with the project's rule installed as users
# install it: winebus learns of every add and remove from it. (The guest runs
# in a chroot, where udevadm ignores requests unless told otherwise.)
export SYSTEMD_IGNORE_CHROOT=1
mkdir -p /run/udev/rules.d
cp "$(dirname "$0")"/../../packaging/linux/{70-tevuio,74-tevuio-wine}.rules /run/udev/rules.d/
/lib/systemd/systemd-udevd --daemon >/dev/null 2>&1
udevadm trigger --action=add >/dev/null 2>&1
udevadm settle >/dev/null 2>&1

# The controller, playing what the programs append to its script.
script=/tmp/controller.script
: >"$script"
vlog=$share/controller.log
tail -n +1 -s 0.05 -f "$script" | "$vctl" --gadget --script - --log "$vlog" --rate 125 \
    --no-display >"$share/vctl.out" 2>&1 &
say() { echo "$*" >>"$script"; }
both_nodes() { # the controller's two hidraw nodes are there
    [ "$(grep -l '^HID_ID=0003:00000F0D:' /sys/class/hidraw/hidraw*/device/uevent 2>/dev/null |
        wc -l)" = 2 ]
}
if ! until_true 20 both_nodes; then
    fail "the gadget's two hidraw nodes appear (see $share/vctl.out)"
    exit 1
fi
echo "INFO usb-vm: udev daemon and gadget up at $(elapsed) ms"

# One server for every wine process of the run.
"$wineserver" -p

for build in "$@"; do
    g=$share/$build
    loader=$(cat "$g/loader")
    cd "$g" || exit 1

    # The whole session in one process: usb_lane.exe waits for wine to list
    # the controller, then loads the library as a game does.
    start=$(elapsed)
    TEVU_LANE_LAUNCH_MS=$(($(date +%s%N) / 1000000)) \
        TEVU_LANE_SCRIPT="Z:${script//\//\\}" TEVU_LANE_LOG="Z:${vlog//\//\\}" \
        timeout -k 5 600 "$loader" usb_lane.exe >lane.stdout 2>lane.stderr
    rc=$?
    while IFS= read -r line; do
        line=${line%$'\r'}
        case $line in
        "PASS "*) pass "$build host: ${line#PASS }" ;;
        "FAIL "*) fail "$build host: ${line#FAIL }" ;;
        "INFO "*) echo "INFO usb-vm $build: ${line#INFO }" ;;
        esac
    done <lane.stderr
    check "$build host: ran to its end with status 0 ($rc)" \
        bash -c "[ $rc = 0 ] && grep -q '^DONE 0' lane.stderr"
    check "$build host: the library's output, byte for byte" cmp -s expected_stdout.bin lane.stdout
    echo "INFO usb-vm $build: the session took $(($(elapsed) - start)) ms, wine's start included"

    # tevutest.exe: touch, release, a button; then Ctrl+C.
    say "release all"
    start=$(elapsed)
    timeout -k 5 300 "$loader" tevutest.exe >tool.stdout 2>tool.stderr &
    tool=$!
    banner=$'tevuTEST\r\n---------\r\ntevu_io_jvs_init() : OK\r\ntevu_io_slider_init() : OK\r\ntevu_io_slider_start() : OK\r\nInit OK. Running input loop. Press Ctrl+C to exit.\r\n'
    zeros=$(printf '00 %.0s' {1..32})
    touched="00 00 00 00 00 c8 ${zeros:18}"
    block() { printf 'Init OK. Running input loop. Press Ctrl+C to exit.\r\nslider value changed! pressure array:\r\n%s\r\n' "$1"; }
    { printf '%s' "$banner"; block "$touched"; block "$zeros"
        printf 'buttons changed!\r\n01\r\nbuttons changed!\r\n00\r\n'; } >tool.expected
    has() { grep -qF -- "$1" tool.stdout; }
    until_true 120 has "Init OK" && echo "INFO usb-vm $build: tevutest started in $(($(elapsed) - start)) ms"
    say "touch 5"
    until_true 60 has "c8"
    say "release 5"
    until_true 60 bash -c '[ $(grep -c "slider value" tool.stdout) = 2 ]'
    say "button 1 down"
    until_true 60 has "01"$'\r'
    say "button 1 up"
    until_true 60 bash -c '[ $(grep -c "buttons changed" tool.stdout) = 2 ]'
    sleep 0.5
    kill -INT "$tool"
    wait "$tool"
    rc=$?
    check "$build tevutest: Ctrl+C ends it (status $rc)" test "$rc" != 124
    check "$build tevutest: output, byte for byte" cmp -s tool.expected tool.stdout
done
"$wineserver" -k
say quit
echo "INFO usb-vm: guest done at $(elapsed) ms"
