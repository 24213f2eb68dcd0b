#!/usr/bin/env python3
"""One line per kernel family from benchmark output: the bandwidth ratio (last
column of each table row: against the X pass for gates, against a copy for
density families), best and worst over the family's cases and modes.

  bench_ratios.py LOG...   (each LOG the output of one bench/ script)
"""

import os
import sys


def rows(text):
    for line in text.splitlines():
        parts = line.split()
        if len(parts) < 4 or line.startswith(("#", "-", " #")):
            continue
        numbers = []
        for p in parts[1:]:
            try:
                numbers.append(float(p.rstrip("B")))
            except ValueError:
                pass
        if len(numbers) >= 3:
            try:
                yield parts[0], float(parts[-1])
            except ValueError:
                continue


def main(paths):
    for path in paths:
        families = {}
        with open(path, errors="replace") as f:
            for family, ratio in rows(f.read()):
                families.setdefault(family, []).append(ratio)
        name = os.path.basename(path)
        for family, ratios in families.items():
            print(
                f"{name}: {family:<14} ratio best {max(ratios):6.2f} worst {min(ratios):6.2f} " f"({len(ratios)} rows)"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
