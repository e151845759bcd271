#!/usr/bin/env bash
# Windows checks: the 32-bit product (build/win32) under wine's 32-bit loader
# in WoW64 mode and its 64-bit twin (build/win64) under wine64, each checked
# statically and run against a simulated controller; and the release zip's
# files as users get them, loaded by a host program as a game loads them.
#
# Where this machine's kernel cannot run 32-bit programs (or with
# TEVUIO_WIN32_IN_VM=1) the 32-bit pass runs in the VM of tests/vm/run.sh,
# whose kernel can. Last, both builds run against a real USB controller
# through wine's own HID stack, in the VM (tests/vm/wine-lane.sh).
#
# Prints one line per check and ends with "N passed, M failed"; exits non-zero
# on any failure.
# Usage: bash tests/wine/run.sh  (from anywhere)
#        bash tests/wine/run.sh --win32-pass DIR  (inside the VM: only the
#        32-bit pass, the programs built already, prefix and files in DIR)
set -u
vm_pass=""
[ "${1:-}" = --win32-pass ] && vm_pass=$2

root=$(cd "$(dirname "$0")/../.." && pwd)
here="$root/tests/wine"
out="$root/build/wine-harness"
source "$root/scripts/tools.sh" # wine32, wine64, wineserver
run_timeout=60
# How long the simulator runs before the tool starts, so that its pipes are
# there when the tool searches.
sim_head_start=1
if [ -n "$vm_pass" ]; then
    # Under qemu's TCG a 32-bit wine process takes 5-50 s to start, and the
    # 1,000 inits in a row would take many minutes: 100 show a leak as well.
    run_timeout=300
    sim_head_start=40
    export TEVU_SCENARIO_INITS=100
fi

passed=0
failed=0
pass() { echo "PASS $*"; passed=$((passed + 1)); }
fail() { echo "FAIL $*"; failed=$((failed + 1)); }
check() { # check NAME COMMAND...
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit $?
}

if ! tools_check; then
    fail "every tool is installed (see scripts/install-deps.sh)"
    finish
fi

if [ -z "$vm_pass" ]; then
# --- Build -------------------------------------------------------------------
build_preset() { # build_preset PRESET
    local dir="$root/build/$1"
    if ! { cmake --preset "$1" -S "$root" -B "$dir" >"$dir.configure.log" 2>&1 &&
        cmake --build "$dir" -j2 >"$dir.build.log" 2>&1; }; then
        fail "build $1 (see $dir.build.log)"
        tail -n 20 "$dir.build.log" 2>/dev/null
        return 1
    fi
    pass "build $1"
}
mkdir -p "$root/build"
build_preset win32
build_preset win64

mkdir -p "$out"
flags="-std=c++17 -O1 -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Wlogical-op -Werror -I$root/src -I$root/src/tevuio -I$root/tests/support -I$root/tests/lzf -I$here"
kit="$root/src/lzf/lzf_decode.cpp"
# build_harness BUILD COMPILER: the stand-in DLLs, the probe, the scenarios, the
# simulator and the host program for one build, in $out/BUILD beside that
# build's tevuio.dll and tevutest.exe.
build_harness() {
    local dir="$out/$1" cxx="$2 $flags"
    # The stand-ins export the plain names of the system DLLs; on i686 the
    # stdcall fixup maps them to the decorated definitions (Name@N).
    local dll="-shared -static-libgcc -static-libstdc++ -Wl,--enable-stdcall-fixup"
    mkdir -p "$dir" &&
        cp "$root/build/$1/tevuio.dll" "$root/build/$1/tevutest.exe" "$dir/" &&
        $cxx $dll -o "$dir/setupapi.dll" "$here/fake_setupapi.cpp" "$here/fake_setupapi.def" &&
        $cxx $dll -o "$dir/hid.dll" "$here/fake_hid.cpp" "$here/fake_hid.def" &&
        $cxx -o "$dir/platform_probe.exe" "$here/platform_probe.cpp" "$here/sim.cpp" "$kit" \
            "$root/src/platform/platform_win32.cpp" -static -lsetupapi -lhid -lwinmm &&
        $cxx -o "$dir/scenarios.exe" "$here/scenarios.cpp" "$here/sim.cpp" "$kit" -static \
            -L"$dir" -l:tevuio.dll &&
        $cxx -o "$dir/simctl.exe" "$here/simctl.cpp" "$here/sim.cpp" "$kit" -static &&
        $cxx -o "$dir/host_load.exe" "$here/host_load.cpp" "$here/sim.cpp" "$kit" -static &&
        $cxx -o "$dir/usb_lane.exe" "$here/usb_lane.cpp" "$kit" -static -lsetupapi -lhid
}
harness_verdict() { # harness_verdict BUILD STATUS
    if [ "$2" = 0 ]; then
        pass "$1 build test DLLs, simulator and test programs"
    else
        fail "$1 build test DLLs, simulator and test programs (see $out/build-$1.log)"
        tail -n 30 "$out/build-$1.log"
    fi
}
# Both at once, one compiler each.
build_harness win32 i686-w64-mingw32-g++-win32 >"$out/build-win32.log" 2>&1 &
job32=$!
build_harness win64 x86_64-w64-mingw32-g++-win32 >"$out/build-win64.log" 2>&1
status64=$?
wait "$job32"
status32=$?
harness_verdict win32 "$status32"
harness_verdict win64 "$status64"
[ "$status32" = 0 ] && [ "$status64" = 0 ] || finish

# --- Static checks of both builds ---------------------------------------------
system_dll='^(kernel32|msvcrt|setupapi|hid|user32|advapi32|ntdll|ws2_32|winmm)\.dll$'
exports_of() { $1 -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^\s*\[ *[0-9]*\] //p' | sort; }
imports_of() { $1 -p "$2" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u; }
expected_exports=$(printf '%s\n' tevu_io_get_api_version tevu_io_jvs_init tevu_io_jvs_poll \
    tevu_io_jvs_read_coin_counter tevu_io_slider_init tevu_io_slider_set_leds \
    tevu_io_slider_start tevu_io_slider_stop | sort)
static_checks() { # static_checks PRESET OBJDUMP FORMAT
    local dir="$root/build/$1" dump=$2 format=$3 f
    for f in tevuio.dll tevutest.exe; do
        check "$1 $f is $format" bash -c "$dump -f '$dir/$f' | grep -q 'file format $format'"
    done
    check "$1 tevuio.dll exports exactly the eight names, undecorated" \
        test "$(exports_of "$dump" "$dir/tevuio.dll")" = "$expected_exports"
    check "$1 tevuio.dll imports only system DLLs" \
        bash -c "! $dump -p '$dir/tevuio.dll' | sed -n 's/^\s*DLL Name: //p' | tr A-Z a-z |
            grep -Evq '$system_dll'"
    check "$1 tevutest.exe imports only system DLLs and tevuio.dll" \
        bash -c "! $dump -p '$dir/tevutest.exe' | sed -n 's/^\s*DLL Name: //p' | tr A-Z a-z |
            grep -Ev '^tevuio\.dll$' | grep -Evq '$system_dll'"
    local nm=${dump%objdump}nm platform_obj="$dir/CMakeFiles/tevuio.dir/src/platform/platform_win32.cpp.obj"
    check "$1 the platform file keeps one piece of mutable state" \
        test "$($nm -C "$platform_obj" | grep -cE ' [bBdD] [^.]')" = 1
    check "$1 tevutest.exe imports tevuio.dll by name" \
        bash -c "$dump -p '$dir/tevutest.exe' | grep -q 'DLL Name: tevuio.dll'"
    local names
    names=$($dump -p "$dir/tevutest.exe" | sed -n '/DLL Name: tevuio.dll/,/^$/p' |
        awk 'NR > 2 && NF >= 3 { print $NF }' | sort)
    check "$1 tevutest.exe imports the library's functions by name" \
        bash -c "[ -n '$names' ] && ! grep -qv '^tevu_io_' <<<'$names'"
}
static_checks win32 i686-w64-mingw32-objdump pei-i386
# The routine handed to _beginthreadex must be stdcall (it removes its one
# argument from the stack) as that call expects. The 32-bit runs below would
# not catch a wrong one: wine runs it without complaint.
check "win32 tevuio.dll thread entry uses the stdcall convention" \
    bash -c "i686-w64-mingw32-objdump -d '$root/build/win32/tevuio.dll' |
        awk '/thread_trampolineEPv@4>:\$/ { on = 1; next } on && /^\$/ { exit } on' |
        grep -q 'ret  *\\\$0x4'"
static_checks win64 x86_64-w64-mingw32-objdump pei-x86-64

# --- The release zip -------------------------------------------------------------
work=$(mktemp -d /tmp/tevu-wine-work.XXXXXX)
pkg="$work/package"
if bash "$root/scripts/package-windows.sh" "$pkg" >"$work/package.log" 2>&1 &&
    (mkdir -p "$pkg/x" && cd "$pkg/x" && unzip -q ../tevuio-windows-x86.zip); then
    pass "package: scripts/package-windows.sh builds the zip"
    check "package: holds exactly tevuio.dll, tevutest.exe, morvantel.ini, README.txt" \
        test "$(ls "$pkg/x" | sort | tr '\n' ' ')" = "README.txt morvantel.ini tevuio.dll tevutest.exe "
    check "package: tevuio.dll is PE32 and exports exactly the eight names" \
        bash -c "i686-w64-mingw32-objdump -f '$pkg/x/tevuio.dll' | grep -q 'pei-i386' &&
            [ \"\$(i686-w64-mingw32-objdump -p '$pkg/x/tevuio.dll' |
                sed -n '/\[Ordinal\/Name Pointer\] Table/,/^\$/p' |
                sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)\" = '$expected_exports' ]"
    check "package: tevutest.exe is PE32 and imports tevuio.dll" \
        bash -c "i686-w64-mingw32-objdump -p '$pkg/x/tevutest.exe' | grep -q 'DLL Name: tevuio.dll'"
    for f in morvantel.ini README.txt; do
        check "package: $f has Windows line ends" \
            bash -c "[ \$(grep -c \$'\\r\$' '$pkg/x/$f') = \$(wc -l <'$pkg/x/$f') ]"
    done
    # Every key of the configuration, each with its default.
    keys="hid_offset=0 test=0x31 service=0x32 coin=0x33 key1=0x27 key2=0x28 key3=0x25
        key4=0x26 key5=0x20 cell1=0x51 cell2=0x57 cell3=0x45 cell4=0x52 cell5=0x55 cell6=0x49
        cell7=0x4F cell8=0x50"
    missing=""
    for kv in $keys; do
        tr -d '\r ' <"$pkg/x/morvantel.ini" | grep -qx "$kv" || missing="$missing $kv"
    done
    check "package: morvantel.ini sets every key to its default${missing:+ (missing:$missing)}" \
        test -z "$missing"
else
    fail "package: scripts/package-windows.sh builds the zip (see $work/package.log)"
    cat "$work/package.log"
fi

else
    work=$vm_pass/work
    pkg=$vm_pass/package
    mkdir -p "$work"
fi

# --- Wine ----------------------------------------------------------------------
export WINEDEBUG=-all
# The whole test run shares one prefix when the caller provides it.
if [ -n "$vm_pass" ]; then
    WINEPREFIX=$vm_pass/prefix
    own_prefix=0
elif [ -n "${TEVUIO_WINEPREFIX:-}" ]; then
    WINEPREFIX=$TEVUIO_WINEPREFIX
    own_prefix=0
else
    WINEPREFIX=$(mktemp -d /tmp/tevu-wine.XXXXXX)
    own_prefix=1
fi
export WINEPREFIX
cleanup() {
    "$wineserver" -k >/dev/null 2>&1
    if [ "$own_prefix" = 1 ]; then
        rm -rf "$WINEPREFIX"
    fi
    [ -n "$vm_pass" ] || rm -rf "$work"
}
trap cleanup EXIT
# One server for the whole suite: later runs start without re-booting wine.
"$wineserver" -p >/dev/null 2>&1
if [ -z "$vm_pass" ]; then
    if ! timeout 180 "$wine64" wineboot -i >"$work/wineboot.log" 2>&1; then
        fail "wine prefix created"
        finish
    fi
    pass "wine prefix created"
fi
# The test setupapi.dll and hid.dll beside the programs replace wine's own.
export WINEDLLOVERRIDES="setupapi,hid=n,b"

# run_wine LOADER DIR STDOUT STDERR PROGRAM ARGS...: runs in DIR, bounded;
# prints the exit status.
run_wine() {
    local loader=$1 dir=$2 stdout=$3 stderr=$4
    shift 4
    (cd "$dir" && timeout -k 5 "$run_timeout" "$loader" "$@" >"$stdout" 2>"$stderr")
    echo $?
}
# Verdict lines of a test program ("PASS x" / "FAIL x: why"), with a prefix.
report_lines() { # report_lines PREFIX STDERR_FILE
    local line
    while IFS= read -r line; do
        line=${line%$'\r'} # the programs' stderr is in text mode
        case $line in
        "PASS "*) pass "$1: ${line#PASS }" ;;
        "FAIL "*) fail "$1: ${line#FAIL }" ;;
        "INFO "*) echo "     $1: ${line#INFO }" ;;
        esac
    done <"$2"
}
same_bytes() { # same_bytes EXPECTED ACTUAL
    if cmp -s "$1" "$2"; then return 0; fi
    echo "     expected: $(od -An -c "$1" | tr -s ' ' | head -c 400)"
    echo "     actual:   $(od -An -c "$2" | tr -s ' ' | head -c 400)"
    return 1
}

# in_game_folder NAME LOADER FILES HARNESS: a game's folder holding tevuio.dll
# and tevutest.exe from the folder FILES, and the host program and the
# stand-in DLLs from HARNESS. There the host loads the library as a game does
# and drives a session, and the tool runs without a controller.
in_game_folder() {
    local g="$work/game-${1// /-}" rc
    mkdir -p "$g"
    cp "$3/tevuio.dll" "$3/tevutest.exe" "$4/host_load.exe" "$4/setupapi.dll" "$4/hid.dll" "$g/"
    rc=$(run_wine "$2" "$g" "$g/host.stdout" "$g/host.stderr" "$g/host_load.exe")
    report_lines "$1 host" "$g/host.stderr"
    check "$1 host: ran to its end with status 0" \
        bash -c "[ '$rc' = 0 ] && grep -q '^DONE 0' '$g/host.stderr'"
    check "$1 host: the library printed nothing" test ! -s "$g/host.stdout"

    rc=$(TEVU_SIM_PATHS="" run_wine "$2" "$g" "$g/none.stdout" "$g/none.stderr" "$g/tevutest.exe")
    check "$1 tevutest without controller: exit status -1 (255)" test "$rc" = 255
    printf 'tevuTEST\r\n---------\r\ntevu_io_jvs_init() : ERROR\r\n' >"$g/none.expected"
    check "$1 tevutest without controller: output, byte for byte" \
        same_bytes "$g/none.expected" "$g/none.stdout"

    rc=$(TEVU_SIM_PATHS="" run_wine "$2" "$g" "$g/doctor.stdout" "$g/doctor.stderr" \
        "$g/tevutest.exe" --doctor)
    check "$1 tevutest --doctor without controller: exit status 2 and its verdict" \
        test "$rc $(tail -n 1 "$g/doctor.stdout")" = \
        $'2 Verdict: the controller cannot be used: no controller found (is it plugged in?).\r'
}

# run_build BUILD LOADER: every scenario and the tool checks on one build: the
# programs in $out/BUILD, run by LOADER. Check names start with the build.
run_build() {
    local b=$1 loader=$2 bin="$out/$1" d rc s want

    # The platform layer on its own.
    d="$work/$b/probe"
    mkdir -p "$d"
    rc=$(run_wine "$loader" "$d" "$d/stdout" "$d/stderr" "$bin/platform_probe.exe")
    report_lines "$b platform" "$d/stderr"
    check "$b platform: probe ran to its end" grep -q '^DONE' "$d/stderr"
    check "$b platform: probe exit status 0" test "$rc" = 0
    printf 'line 231 err = e7\r\nno newline translation\n' >"$d/expected"
    check "$b platform: output bytes as formatted, no text-mode translation" \
        same_bytes "$d/expected" "$d/stdout"

    # The library through its exports. Scenarios that end in the library's exit
    # say so with "EXPECT-EXIT status".
    for s in no-controller no-device-list two-interfaces open-fails queue-refused lamp-offset \
        unplug stops init-handles keys sample-ini host-write-stop init-running \
        keyboard-pace; do
        d="$work/$b/$s"
        mkdir -p "$d"
        [ "$s" = sample-ini ] && cp "$pkg/x/morvantel.ini" "$d/" 2>/dev/null
        rc=$(run_wine "$loader" "$d" "$d/stdout" "$d/stderr" "$bin/scenarios.exe" "$s")
        report_lines "$b $s" "$d/stderr"
        want=$(tr -d '\r' <"$d/stderr" | sed -n 's/^EXPECT-EXIT //p' | tail -n 1)
        if [ -n "$want" ]; then
            check "$b $s: process ends with status $want" test "$rc" = "$want"
            check "$b $s: ends before DONE" bash -c "! grep -q '^DONE' '$d/stderr'"
        else
            check "$b $s: ran to its end with status 0" \
                bash -c "[ '$rc' = 0 ] && grep -q '^DONE 0' '$d/stderr'"
        fi
        touch "$d/expected_stdout.bin"
        check "$b $s: library output, byte for byte" same_bytes "$d/expected_stdout.bin" "$d/stdout"
    done

    in_game_folder "$b" "$loader" "$bin" "$bin"

    # The test tool with a controller: the simulator runs as a process of its
    # own and plays a script (touches, buttons, keys), checking the light reports.
    d="$work/$b/tevutest-sim"
    mkdir -p "$d"
    local paths='\\.\pipe\hid#vid_0f0d&pid_0092&mi_00#tool;\\.\pipe\hid#vid_0f0d&pid_0092&mi_01#tool'
    (cd "$d" && timeout -k 5 "$run_timeout" "$loader" "$bin/simctl.exe" "$paths" \
        expected >"$d/sim.stdout" 2>"$d/sim.stderr") &
    local sim_pid=$!
    sleep "$sim_head_start"
    # exec: the job is timeout itself, which passes the Ctrl+C (SIGINT) on to wine.
    (cd "$d" && TEVU_SIM_PATHS="$paths" exec timeout -k 5 "$run_timeout" "$loader" \
        "$bin/tevutest.exe" >"$d/stdout" 2>"$d/stderr") &
    local tool_pid=$!
    wait "$sim_pid"
    local sim_rc=$?
    sleep 0.5
    local started=$SECONDS
    kill -INT "$tool_pid" 2>/dev/null
    wait "$tool_pid"
    local tool_rc=$?
    check "$b tevutest with controller: Ctrl+C ends it (status $tool_rc)" \
        test "$tool_rc" != 124 -a $((SECONDS - started)) -lt 30
    report_lines "$b tevutest with controller" "$d/sim.stderr"
    check "$b tevutest with controller: simulator ran its script (status $sim_rc)" \
        test "$sim_rc" = 0
    touch "$d/expected"
    check "$b tevutest with controller: output, byte for byte" same_bytes "$d/expected" "$d/stdout"
    check "$b tevutest with controller: every line ends in exactly CR LF" \
        bash -c "! grep -q \$'\\r\\r' '$d/stdout' && [ \$(grep -c \$'\\r\$' '$d/stdout') = \$(wc -l <'$d/stdout') ]"
}
# The 32-bit product in WoW64 mode, as a 32-bit game runs on 64-bit Windows,
# and the files users get, from the release zip.
win32_pass() {
    run_build win32 "$wine32"
    in_game_folder "win32 package" "$wine32" "$pkg/x" "$out/win32"
}
if [ -n "$vm_pass" ]; then
    win32_pass
    finish
fi

# count_lines: reads check lines and counts them as this runner's own.
count_lines() {
    local line
    while IFS= read -r line; do
        case $line in
        "PASS "*) pass "${line#PASS }" ;;
        "FAIL "*) fail "${line#FAIL }" ;;
        *" passed, "*" failed") ;;
        *) echo "     $line" ;;
        esac
    done
}

# The 32-bit pass in the VM, for a kernel built or booted without support for
# 32-bit programs: the same runs, this runner inside, the prefix made here.
win32_in_vm() { # win32_in_vm REASON
    local share=$root/build/wine-vm32 started=$SECONDS status
    echo "     win32: the 32-bit pass runs in the VM ($1)"
    rm -rf "$share"
    mkdir -p "$share/package"
    cp -r "$pkg/x" "$share/package/x"
    if ! { WINEPREFIX=$share/prefix timeout 180 "$wine64" wineboot -i >"$share/wineboot.log" 2>&1 &&
        WINEPREFIX=$share/prefix timeout 60 "$wineserver" -w; }; then
        fail "win32 in the VM: wine prefix created (see $share/wineboot.log)"
        return
    fi
    bash "$root/tests/vm/run.sh" --timeout 1800 --share "$share" -- \
        bash "$here/run.sh" --win32-pass "$share" >"$share/vm.out" 2>&1
    status=$?
    count_lines <"$share/vm.out"
    # Without its closing line the pass did not run to its end.
    check "win32 in the VM: the 32-bit pass ran to its end (status $status; see $share/vm.out)" \
        grep -Eq '^[0-9]+ passed, [0-9]+ failed$' "$share/vm.out"
    echo "     win32: the 32-bit pass in the VM took $((SECONDS - started)) s"
}

# A kernel without 32-bit support cannot start the 32-bit loader (bash reports
# status 126; timeout would hand the file to sh instead).
timeout 30 bash -c '"$0" --version' "$wine32" >/dev/null 2>&1
loader32=$?
if [ "$loader32" = 126 ]; then
    win32_in_vm "this kernel cannot run 32-bit programs"
elif [ "${TEVUIO_WIN32_IN_VM:-0}" = 1 ]; then
    win32_in_vm "TEVUIO_WIN32_IN_VM=1"
else
    check "win32 loader starts" test "$loader32" = 0
    win32_pass
fi
run_build win64 "$wine64"

# Both builds against a real USB controller, through wine's own HID stack
# (TEVUIO_WINE_USB_LANE=0 leaves it out, for a quick run).
if [ "${TEVUIO_WINE_USB_LANE:-1}" = 1 ]; then
    count_lines < <(bash "$root/tests/vm/wine-lane.sh" "$pkg/x" "$root/build/win64" "$out")
fi

finish
