#!/usr/bin/env bash
# Main job: builds the native Linux tree, starts the virtual controller
# tevu-vctl playing a short demo (touches, the test button, a game button,
# releases) and runs the real tevutest against it. What tevutest prints is
# shown as it happens; the demo's own remarks go to stderr, marked
# "tevu-vctl:". When the demo ends, tevutest is stopped with SIGINT (as Ctrl+C
# would) and the job checks that it printed what the demo should cause.
# Needs no hardware and ends by itself.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/tools.sh

if [ "${TEVUIO_SKIP_DEPS:-0}" != 1 ]; then
    bash scripts/install-deps.sh
fi

jobs=${TEVUIO_JOBS:-$(nproc)}
build=${TEVUIO_BUILD_DIR:-build/linux}
cmake --preset linux -B "$build"
cmake --build "$build" -j "$jobs"

vctl="$root/$build/tools/tevu-vctl"
tool="$root/$build/tevutest"
work=$(mktemp -d /tmp/tevu-main-job.XXXXXX)
vctl_pid=""
tool_pid=""

cleanup() {
    for pid in $tool_pid $vctl_pid; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cat >"$work/demo.txt" <<'EOF'
# The demo the controller plays once tevutest has opened it.
wait host
wait 500
echo touching cell 4
touch 4
wait 300
echo touching cell 5 as well
touch 5
wait 300
echo releasing both
release 4 5
wait 300
echo pressing the test button
button test down
wait 300
button test up
wait 300
echo pressing game button 1
button 1 down
wait 300
button 1 up
wait 300
echo demo done
quit
EOF

echo "=== starting the virtual controller in $work"
# Bounded: the demo takes about 3 s once a host is connected.
timeout 60 "$vctl" --dir "$work" --script "$work/demo.txt" --no-display --quiet \
    --log "$work/reports.log" &
vctl_pid=$!
for _ in $(seq 100); do
    [ -S "$work/0f0d-7001-00.tevu-vctl" ] && break
    sleep 0.05
done

echo "=== running tevutest (its own output follows)"
# A background job of a script ignores SIGINT; give the tool the default
# handling back so that SIGINT ends it as Ctrl+C does at a console.
(cd "$work" && TEVUIO_VIRTUAL_HID_DIR="$work" exec env --default-signal=INT "$tool") \
    > >(tee "$work/tool.out") &
tool_pid=$!

vctl_status=0
wait "$vctl_pid" || vctl_status=$?
vctl_pid=""

tool_ended=0
if kill -0 "$tool_pid" 2>/dev/null; then
    kill -INT "$tool_pid"
    for _ in $(seq 50); do
        if ! kill -0 "$tool_pid" 2>/dev/null; then
            tool_ended=1
            break
        fi
        sleep 0.1
    done
fi
tool_status=0
if [ "$tool_ended" = 1 ]; then
    wait "$tool_pid" || tool_status=$?
    tool_pid=""
fi
sleep 0.2 # let tee finish

echo
echo "=== summary"
out=$(cat "$work/tool.out")
reports=$(wc -l <"$work/reports.log" 2>/dev/null || echo 0)
echo "virtual controller: exit status $vctl_status, $reports light reports taken"
echo "tevutest: ended by SIGINT: $([ "$tool_ended" = 1 ] && echo "yes (status $tool_status)" || echo no)"

ok=1
expect() { # text description
    if grep -qF -- "$1" <<<"$out"; then
        echo "  ok: $2"
    else
        echo "  MISSING: $2"
        ok=0
    fi
}
expect "tevu_io_jvs_init() : OK" "the library found the controller"
expect "00 00 00 00 c8 00 00" "touching cell 4 printed c8 at cell 4"
expect "00 00 00 00 c8 c8 00" "touching cell 5 as well printed both"
expect "opbtn changed!" "the test button printed opbtn"
expect "buttons changed!" "game button 1 printed gamebtn"
[ "$vctl_status" = 0 ] || ok=0
[ "$tool_ended" = 1 ] || ok=0
if [ "$ok" = 1 ]; then
    echo "main job: passed"
else
    echo "main job: FAILED"
    exit 1
fi
