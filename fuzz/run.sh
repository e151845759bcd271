#!/usr/bin/env bash
# Builds the fuzz targets (fuzz preset, clang) into build/fuzz and fuzzes the
# LZF compressor for a bounded time: fuzz/run.sh SECONDS (default 60).
# Fails when the fuzzer finds a crash, an overrun or a difference.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/tools.sh
seconds=${1:-60}
jobs=${TEVUIO_JOBS:-2}

cmake --preset fuzz -B build/fuzz >/dev/null
cmake --build build/fuzz -j "$jobs" --target lzf_fuzz

corpus=build/fuzz/corpus/lzf
mkdir -p "$corpus"
# Starting points: mode 0, room 62 (0x3E 0x00), then a frame.
{ printf '\000\076\000'; head -c 96 /dev/zero; } >"$corpus/black_frame"
{ printf '\000\076\000'; for _ in $(seq 32); do printf '\177\043\000'; done; } >"$corpus/one_colour"
{ printf '\000\014\000'; for _ in $(seq 32); do printf '\177\043\000'; done; } >"$corpus/tight_room"
{ printf '\000\076\000'; head -c 90 /dev/zero; printf '\377\377\377\001\002\003'; } >"$corpus/lit_cells"

build/fuzz/fuzz/lzf_fuzz -max_total_time="$seconds" -max_len=12000 -print_final_stats=1 \
    -artifact_prefix=build/fuzz/ "$corpus"
