#!/usr/bin/env python3
"""Runs the LZF benchmark and prints, per frame kind, the CPU time of our
compressor and how many times slower the straightforward form and liblzf are.

The repetitions of all benchmarks run interleaved in random order and the
fastest repetition of each counts: on a shared machine, other load only ever
adds time, so the minimum is the steadiest estimate.

Usage: bench/lzf_ratios.py [path/to/lzf_bench] [repetitions]
"""
import json
import subprocess
import sys

binary = sys.argv[1] if len(sys.argv) > 1 else "build/bench/bench/lzf_bench"
repetitions = sys.argv[2] if len(sys.argv) > 2 else "15"

report = json.loads(subprocess.run(
    [binary, "--benchmark_format=json", f"--benchmark_repetitions={repetitions}",
     "--benchmark_enable_random_interleaving=true", "--benchmark_min_time=0.05"],
    check=True, capture_output=True, text=True).stdout)

fastest = {}  # (compressor, frame kind) -> ns
for b in report["benchmarks"]:
    if b.get("run_type") != "iteration":
        continue
    compressor = b["run_name"].split("/")[0][len("bm_"):]
    key = (compressor, b["label"])
    unit = {"ns": 1.0, "us": 1e3, "ms": 1e6}[b["time_unit"]]
    ns = b["cpu_time"] * unit
    fastest[key] = min(ns, fastest.get(key, ns))

kinds = []
for b in report["benchmarks"]:
    if b["label"] not in kinds:
        kinds.append(b["label"])
kinds.sort(key=lambda k: int(next(b["run_name"].split("/")[1] for b in report["benchmarks"]
                                  if b["label"] == k)))

print("| frame | ours (ns) | straightforward / ours | liblzf / ours |")
print("|---|---|---|---|")
for kind in kinds:
    ours = fastest[("ours", kind)]
    print(f"| {kind} | {ours:.1f} | {fastest[('classic', kind)] / ours:.1f}x "
          f"| {fastest[('liblzf', kind)] / ours:.2f}x |")
