#!/usr/bin/env python3
"""Runs clang-tidy (the checks of .clang-tidy) over the units of a build's
compile_commands.json and compares the findings with tools/clang_tidy_baseline.txt.

A finding is its file (relative to the repository), check and message; line
numbers are left out so that edits elsewhere in a file do not disturb the
baseline. Exits 1 when a finding is not in the baseline (as often as it occurs
there); findings of the baseline that are gone are listed, so that the file can
be tightened with --update.

    python3 tools/clang_tidy_check.py build/host               # every unit
    python3 tools/clang_tidy_check.py build/host --changed main  # units changed since main
    python3 tools/clang_tidy_check.py build/host --update        # rewrite the baseline
"""

import argparse
import collections
import concurrent.futures
import json
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BASELINE = os.path.join(ROOT, "tools", "clang_tidy_baseline.txt")
FINDING = re.compile(r"^(?P<path>/[^:]+):\d+:\d+: warning: (?P<message>.*) \[(?P<check>[\w.,-]+)\]$")


def findings_of(unit, build_dir, clang_tidy):
    run = subprocess.run([clang_tidy, "-p", build_dir, "--quiet", unit], capture_output=True, text=True)
    found = []
    for line in run.stdout.splitlines():
        m = FINDING.match(line)
        if not m:
            continue
        path = os.path.relpath(os.path.realpath(m["path"]), ROOT)
        if path.startswith(".."):
            continue  # a system or third-party header
        found.append(f"{path}: [{m['check']}] {m['message']}")
    if run.returncode != 0 and not found:
        found.append(f"{os.path.relpath(unit, ROOT)}: [clang-tidy-error] {run.stderr.strip().splitlines()[-1:]}")
    return found


def changed_units(units, rev):
    out = subprocess.run(
        ["git", "-C", ROOT, "diff", "--name-only", rev, "--"], capture_output=True, text=True, check=True
    )
    changed = {os.path.join(ROOT, p) for p in out.stdout.split()}
    # A changed header may reach any unit.
    if any(p.endswith((".h", ".cuh")) for p in changed):
        return units
    return [u for u in units if u in changed]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build_dir")
    ap.add_argument("--changed", metavar="REV", help="only the units changed since REV (all when a header changed)")
    ap.add_argument("--update", action="store_true", help="write the findings as the new baseline")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--clang-tidy", default="clang-tidy")
    args = ap.parse_args()

    with open(os.path.join(args.build_dir, "compile_commands.json")) as f:
        units = sorted({os.path.realpath(os.path.join(e["directory"], e["file"])) for e in json.load(f)})
    units = [u for u in units if u.startswith(ROOT + os.sep)]
    every_unit = list(units)
    if args.changed:
        units = changed_units(units, args.changed)
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        results = list(pool.map(lambda u: findings_of(u, args.build_dir, args.clang_tidy), units))
    # A header's findings repeat in every unit that includes it: count them once.
    found = collections.Counter()
    for unit_findings in results:
        for item, count in collections.Counter(unit_findings).items():
            found[item] = max(found[item], count)

    if args.update:
        with open(BASELINE, "w") as f:
            f.write("# Findings of tools/clang_tidy_check.py accepted when the checks were introduced.\n")
            f.writelines(item + "\n" for item in sorted(found.elements()))
        print(f"clang-tidy: {sum(found.values())} findings written to {os.path.relpath(BASELINE, ROOT)}")
        return 0

    baseline = collections.Counter()
    if os.path.exists(BASELINE):
        with open(BASELINE) as f:
            baseline.update(line.rstrip("\n") for line in f if line.strip() and not line.startswith("#"))
    if units != every_unit:
        # Only the units that ran are compared, headers left out.
        files = {os.path.relpath(u, ROOT) for u in units}
        baseline = collections.Counter({k: v for k, v in baseline.items() if k.split(":")[0] in files})
        found = collections.Counter({k: v for k, v in found.items() if k.split(":")[0] in files})
    new = found - baseline
    gone = baseline - found
    for item in sorted(gone.elements()):
        print(f"fixed (drop from the baseline): {item}")
    for item in sorted(new.elements()):
        print(f"NEW: {item}")
    print(f"clang-tidy: {len(units)} units, {sum(found.values())} findings, {sum(new.values())} new")
    return 1 if new else 0


if __name__ == "__main__":
    sys.exit(main())
