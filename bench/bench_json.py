"""Rows of a benchmark run as JSON, for bench/plot.py and for comparing runs.

Every script in bench/ takes ``--json FILE``. Wire a script in with one line
before ``parser.parse_args()`` and one call per printed row:

    record = bench_json.Rows(parser, "fusion")        # adds --json FILE
    ...
    record.add(n=n, mode="fused", seconds=t)

The file is written when the script ends (also after an error, with the rows
measured so far), and only when --json was given:

    {"bench": "fusion",
     "meta": {"argv": [...], "python": "3.11.7", "machine": "x86_64", "cpus": 2,
              "date": "2026-12-09T02:00:00Z", ...what the script adds to rows.meta},
     "rows": [{"bench": "fusion", "n": 20, "mode": "fused", "seconds": 0.0012}, ...]}

Each row carries "bench" itself, so rows of several files can be concatenated.
Values must be JSON numbers, strings, booleans or null (NumPy scalars are
converted); infinities and NaN are written as null.
"""

import argparse
import atexit
import datetime
import json
import math
import os
import platform
import sys


class Rows:
    def __init__(self, parser, bench):
        self.bench = bench
        self.path = None
        self.rows = []
        self.meta = {
            "argv": sys.argv[1:],
            "python": platform.python_version(),
            "machine": platform.machine(),
            "cpus": os.cpu_count(),
            "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%dT%H:%M:%SZ"),
        }
        rows = self

        class _Path(argparse.Action):
            def __call__(self, parser, namespace, value, option_string=None):
                setattr(namespace, self.dest, value)
                rows.path = value

        parser.add_argument("--json", metavar="FILE", action=_Path, help="also write the rows to FILE as JSON")
        atexit.register(self.write)

    def add(self, **fields):
        row = {"bench": self.bench}
        row.update({key: _plain(value) for key, value in fields.items()})
        self.rows.append(row)
        return row

    def write(self):
        if not self.path:
            return
        directory = os.path.dirname(os.path.abspath(self.path))
        os.makedirs(directory, exist_ok=True)
        with open(self.path, "w") as f:
            json.dump({"bench": self.bench, "meta": self.meta, "rows": self.rows}, f, indent=1)
            f.write("\n")


def _plain(value):
    if hasattr(value, "item") and not isinstance(value, (list, tuple, dict)):
        value = value.item()  # NumPy scalar
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def load(path):
    """The rows of one file written by Rows (or a bare list of rows)."""
    with open(path) as f:
        data = json.load(f)
    return data["rows"] if isinstance(data, dict) else data
