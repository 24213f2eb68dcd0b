#!/usr/bin/env python3
"""Checks ptxas resource reports (nvcc -Xptxas=-v) against what a launch needs.

Reads the compile log and, for block sizes, the PTX of the same build
(`.maxntid` of each entry, from `__launch_bounds__`): the .ptx files nvcc
leaves with --keep --keep-dir DIR, or the PTX embedded in built binaries
(`cuobjdump -ptx`).
A kernel fails when
  - registers x block size exceeds the per-block register file (65536), or
  - it spills more than --max-spill bytes per thread (the bytes it stores to
    local memory: the spilled footprint; loads repeat them and are reported).
A kernel without a declared block size counts as launchable with 1024 threads,
the most a block may have. Prints one line per kernel and architecture with the
highest register use and every spill, and exits 1 on any failure.

  check_kernel_resources.py build.log [--ptx-dir DIR] [--binary vorlent.so ...] [--max-spill BYTES]
"""

import argparse
import os
import re
import subprocess
import sys

REGISTERS_PER_BLOCK = 65536
MAX_THREADS = 1024

ENTRY = re.compile(r"Compiling entry function '([^']+)' for '(sm_\d+\w*)'")
SPILL = re.compile(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads")
USED = re.compile(r"Used (\d+) registers")
PTX_ENTRY = re.compile(r"\.entry\s+([\w$]+)\s*\(")
MAXNTID = re.compile(r"\.maxntid\s+(\d+)\s*,\s*(\d+)\s*,\s*(\d+)")


def parse_log(text):
    """{(kernel, arch): {"registers", "spill_stores", "spill_loads", "stack"}}"""
    kernels, current = {}, None
    for line in text.splitlines():
        m = ENTRY.search(line)
        if m:
            current = kernels.setdefault(
                (m.group(1), m.group(2)), {"registers": 0, "spill_stores": 0, "spill_loads": 0, "stack": 0}
            )
            continue
        if current is None:
            continue
        m = SPILL.search(line)
        if m:
            current["stack"], current["spill_stores"], current["spill_loads"] = map(int, m.groups())
            continue
        m = USED.search(line)
        if m:
            current["registers"] = int(m.group(1))
            current = None
    return kernels


def parse_ptx(text):
    """{kernel: threads per block} for every entry with .maxntid."""
    bounds, entry = {}, None
    for line in text.splitlines():
        m = PTX_ENTRY.search(line)
        if m:
            entry = m.group(1)
            continue
        m = MAXNTID.search(line)
        if m and entry is not None:
            x, y, z = map(int, m.groups())
            bounds[entry] = x * y * z
        if line.strip() == "{":
            entry = None
    return bounds


def block_sizes(ptx_dirs, binaries, cuobjdump):
    bounds = {}
    for d in ptx_dirs:
        names = sorted(n for n in os.listdir(d) if n.endswith(".ptx"))
        if not names:
            # A kernel without PTX would count as 1024 threads and fail for no reason.
            raise SystemExit(f"no .ptx files in {d}: was it compiled with --keep, and not served by a compiler cache?")
        for name in names:
            with open(os.path.join(d, name), errors="replace") as f:
                bounds.update(parse_ptx(f.read()))
    for binary in binaries:
        out = subprocess.run([cuobjdump, "-ptx", binary], capture_output=True, text=True)
        if out.returncode != 0:
            raise SystemExit(f"{cuobjdump} -ptx {binary} failed: {out.stderr.strip()}")
        bounds.update(parse_ptx(out.stdout))
    return bounds


def check(kernels, bounds, max_spill):
    """Failure lines and report lines."""
    failures, report = [], []
    for (name, arch), k in sorted(kernels.items()):
        threads = bounds.get(name, MAX_THREADS)
        need = k["registers"] * threads
        label = f"{arch} {name}: {k['registers']} registers x {threads} threads"
        if need > REGISTERS_PER_BLOCK:
            failures.append(f"{label} = {need} > {REGISTERS_PER_BLOCK} registers per block")
        spill = k["spill_stores"]
        if spill > max_spill:
            failures.append(
                f"{arch} {name}: spills {k['spill_stores']} B stored / {k['spill_loads']} B loaded "
                f"per thread > {max_spill} B"
            )
        if spill or k["spill_loads"] or k["registers"] >= 128:
            report.append(f"{label}, spill {k['spill_stores']}/{k['spill_loads']} B")
    return failures, report


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("log", help="compile output with ptxas -v lines")
    ap.add_argument("--ptx-dir", action="append", default=[], help="folder of .ptx files (nvcc --keep-dir)")
    ap.add_argument("--binary", action="append", default=[], help="built module or object with embedded PTX")
    ap.add_argument("--cuobjdump", default="cuobjdump")
    ap.add_argument("--max-spill", type=int, default=0, help="spill store bytes per thread allowed (default 0)")
    args = ap.parse_args(argv)
    with open(args.log, errors="replace") as f:
        kernels = parse_log(f.read())
    if not kernels:
        print(f"no ptxas resource lines in {args.log} (was it compiled with -Xptxas=-v?)")
        return 1
    bounds = block_sizes(args.ptx_dir, args.binary, args.cuobjdump)
    failures, report = check(kernels, bounds, args.max_spill)
    for line in report:
        print(line)
    arches = sorted({a for _, a in kernels})
    worst = max(k["registers"] for k in kernels.values())
    print(
        f"{len(kernels)} kernel builds ({', '.join(arches)}), {len(bounds)} declared block sizes, "
        f"most registers {worst}, spill limit {args.max_spill} B"
    )
    for line in failures:
        print("FAIL", line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
