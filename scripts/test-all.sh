#!/usr/bin/env bash
# Builds everything and runs every test: native GCC and Clang builds, the
# tests under AddressSanitizer+UBSan and again under ThreadSanitizer, static
# analysis, the Windows product checks and the wine tests, and a bounded
# fuzzing run. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/tools.sh

if [ "${TEVUIO_SKIP_DEPS:-0}" != 1 ]; then
    bash scripts/install-deps.sh
fi

jobs=${TEVUIO_JOBS:-$(nproc)}
fuzz_seconds=${TEVUIO_FUZZ_SECONDS:-60}
start=$(date +%s)

# One wine prefix for the whole run, shared by every test that runs wine.
TEVUIO_WINEPREFIX=$(mktemp -d /tmp/tevu-wineprefix.XXXXXX)
export TEVUIO_WINEPREFIX
cleanup() {
    WINEPREFIX=$TEVUIO_WINEPREFIX timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
    rm -rf "$TEVUIO_WINEPREFIX"
}
trap cleanup EXIT
step() { printf '\n=== %s (%ss)\n' "$1" "$(( $(date +%s) - start ))"; }

build() { # preset
    cmake --preset "$1" -B "build/$1" >/dev/null
    cmake --build "build/$1" -j "$jobs"
}

step "format check"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

step "Linux, GCC: all tests"
build linux
ctest --test-dir build/linux --output-on-failure -j "$jobs"

step "Linux, Clang, AddressSanitizer + UBSan: all tests but the wine ones"
build linux-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/linux-asan --output-on-failure -j "$jobs" -LE wine

step "Linux, ThreadSanitizer: all tests but the wine ones (the threaded ones are *Threads*)"
build linux-tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/linux-tsan --output-on-failure -j "$jobs" -LE wine

step "static analysis of the library"
bash scripts/lint.sh build/linux

step "the controller as a real USB device in the VM: the Linux build through the kernel's HID stack"
bash tests/vm/usb-lane.sh build/linux

step "Windows: product checks and the twin under wine"
bash tests/wine/run.sh

step "fuzzing the compressor for ${fuzz_seconds}s"
bash fuzz/run.sh "$fuzz_seconds"

step "all tests passed"
