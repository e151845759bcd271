#!/usr/bin/env bash
# Static analysis: cppcheck and clang-tidy over the library's sources, and
# clang-tidy over the tools (tevutest and the virtual controller), using the
# compile commands of a native build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/tools.sh
build=${1:-build/linux}

sources=(src/tevuio/*.cpp src/lzf/*.cpp src/platform/linux/*.cpp)

cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ \
    --enable=warning,performance,portability --inline-suppr \
    --suppress=missingIncludeSystem -I src "${sources[@]}"

tool_sources=(src/tevutest/*.cpp tools/vctl/*.cpp)

# The compile commands may come from GCC: its -Wlogical-op is unknown to clang.
clang-tidy --quiet -p "$build" --extra-arg=-Wno-unknown-warning-option --warnings-as-errors='*' "${sources[@]}" "${tool_sources[@]}" \
    2>/dev/null
# Under pipefail a reader that stops early (grep -q, head) can end the writer
# with SIGPIPE, and the pipeline then fails only now and then.
early_readers=$(grep -l pipefail scripts/*.sh tests/*/*.sh .ci/run |
    xargs grep -nE '[|][[:space:]]*(grep[[:space:]]+-[a-zA-Z]*q[a-zA-Z]*|head)([[:space:]]|$)' || true)
if [ -n "$early_readers" ]; then
    echo "lint: a pipeline under pipefail ends in a reader that stops early:" >&2
    echo "$early_readers" >&2
    exit 1
fi
echo "lint: clean"
