"""Time SWAP, GLOBAL_PHASE and UNITARY gates on one DeviceState.

Each row runs R copies of one gate in a single run_circuit_device list
(PairAuto) and then copy_to_numpy into a preallocated array, which waits for
the device; the time of copy_to_numpy alone is subtracted. The best of
--trials runs is kept.

Effective bandwidth = bytes the gate must read and write / time per gate:
every amplitude whose value the gate changes is read once and written once
(a SWAP changes half of the amplitudes where its controls hold, GLOBAL_PHASE
and UNITARY all of them). The baseline is an uncontrolled X on qubit n-1,
which reads and writes the whole state once.

    QUILLMARCH_BUILD_DIR=build/host python3 bench/bench_gates_multi.py --n 18
    python3 bench/bench_gates_multi.py --n 28 --dtype complex64     (GPU)
    ... --json FILE   also writes the rows as JSON (bench/bench_json.py)
"""

import argparse
import os
import sys

import numpy as np

_build = os.environ.get("QUILLMARCH_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))  # shared helpers

import bench_json  # noqa: E402
from bench_timing import best_of  # noqa: E402
import vorlent  # noqa: E402
from gate_helpers import gate  # noqa: E402
from sv_reference import random_unitary  # noqa: E402


def rows(n, rng):
    """(label, gate, amplitudes the gate changes)."""
    full = 1 << n
    mid, top = n // 2, n - 1
    out = [
        ("X baseline (target n-1)", gate("x", [top]), full),
        ("SWAP no_control", gate("swap", [mid, top]), full // 2),
        ("SWAP control_scan", gate("swap", [mid, top], [1], [1]), full // 4),
        ("SWAP target0_no_control", gate("swap", [0, top]), full // 2),
        ("SWAP target0_compact", gate("swap", [top, 0], [1], [1]), full // 4),
        ("GLOBAL_PHASE", gate("gp", [], parameter=[0.3]), full),
        ("GLOBAL_PHASE 1 control", gate("gp", [], [mid], [1], [0.3]), full // 2),
    ]
    for k in range(1, 7):
        m = random_unitary(rng, 1 << k)
        out.append((f"UNITARY k={k} low", gate("unitary", range(k), matrix=m), full))
        out.append((f"UNITARY k={k} high", gate("unitary", range(n - k, n), matrix=m), full))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default_n = 18 if vorlent.backend == "host" else 28
    parser.add_argument("--n", type=int, default=default_n, help=f"qubits (default {default_n} on this backend)")
    parser.add_argument("--dtype", default="complex64", choices=["complex64", "complex128"])
    parser.add_argument(
        "--reps", type=int, default=10 if vorlent.backend == "host" else 50, help="gates per timed list (R)"
    )
    parser.add_argument("--trials", type=int, default=3, help="timed runs per row; the best is kept")
    parser.add_argument("--device", default="cuda:0")
    record = bench_json.Rows(parser, "gates_multi")
    args = parser.parse_args()

    n, reps = args.n, args.reps
    elem = np.dtype(args.dtype).itemsize
    dev = vorlent.DeviceState.zero_state(n, args.dtype, args.device)
    host = np.empty(1 << n, dtype=args.dtype)
    copy_time = best_of(lambda: dev.copy_to_numpy(host), args.trials + 2)

    print(
        f"backend={vorlent.backend} n={n} dtype={args.dtype} R={reps} trials={args.trials} "
        f"state={(1 << n) * elem / 2**20:.1f} MiB copy_to_numpy={copy_time * 1e3:.3f} ms"
    )
    header = f"{'gate':<26}{'ms/gate':>11}{'MB moved':>11}{'GB/s':>10}{'time/X':>9}{'bw/X':>8}"
    print(header)
    print("-" * len(header))

    mode = vorlent.KernelMode.PairAuto
    baseline = None
    for label, g, changed in rows(n, np.random.default_rng(2024)):
        gates = [g] * reps
        vorlent.run_circuit_device(dev, gates[:1], mode=mode)  # warm-up

        def timed():
            vorlent.run_circuit_device(dev, gates, mode=mode)
            dev.copy_to_numpy(host)

        per_gate = max(best_of(timed, args.trials) - copy_time, 0.0) / reps
        moved = 2 * changed * elem
        bandwidth = moved / per_gate / 1e9 if per_gate > 0 else float("inf")
        if baseline is None:
            baseline = (per_gate, bandwidth)
        record.add(
            backend=vorlent.backend,
            n=n,
            dtype=args.dtype,
            gate=label,
            mode=mode.name,
            seconds=per_gate,
            gbps=bandwidth,
            baseline_gbps=baseline[1],
            ratio=bandwidth / baseline[1],
        )
        print(
            f"{label:<26}{per_gate * 1e3:>11.4f}{moved / 1e6:>11.2f}{bandwidth:>10.2f}"
            f"{per_gate / baseline[0]:>9.2f}{bandwidth / baseline[1]:>8.2f}"
        )


if __name__ == "__main__":
    main()
