"""Time every gate family in each per-gate kernel mode.

For each gate kind, case and mode the script applies the gate R times in one
`run_circuit_device` call and reports the time per gate and the effective
bandwidth: the bytes the gate must read and write (every amplitude it changes,
read once and written once) divided by that time.

Timing. A run only queues kernels, so each measurement is
`run_circuit_device(state, R gates)` followed by `copy_to_numpy` into a
preallocated array, which blocks until the gates are done; the time of
`copy_to_numpy` alone, measured in the same run, is subtracted, and the rest is
divided by R. The parse of the R gate dictionaries is included (microseconds).
Each figure is the minimum over several trials.

Baseline. The module offers no device-to-device copy, so the reference column is
not a copy: it is an uncontrolled X on qubit n-1 in PairAuto mode, which reads
and writes the whole state once, as a copy would. It is labelled
"X-PairAuto pass"; "ratio" is the row's bandwidth over that pass's bandwidth.

Gate families that this build does not provide yet (they raise "... not
available ...") are listed as skipped.

    QUILLMARCH_BUILD_DIR=build/host python3 bench/bench_gates.py [--n N] [--dtype complex64|complex128] [--reps R]
        [--json FILE]
"""

import argparse
import os
import platform
import sys

import numpy as np

_build = os.environ.get("QUILLMARCH_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))

import bench_json  # noqa: E402
from bench_timing import best_of  # noqa: E402
import vorlent  # noqa: E402

MODES = [vorlent.AllState, vorlent.Pair, vorlent.PairAuto]

# name: (parameters, share of the amplitudes the gate changes when uncontrolled)
KINDS = {
    "x": ([], 1.0),
    "y": ([], 1.0),
    "z": ([], 0.5),
    "h": ([], 1.0),
    "s": ([], 0.5),
    "s_dag": ([], 0.5),
    "sqrtx": ([], 1.0),
    "sqrtx_dag": ([], 1.0),
    "sqrty": ([], 1.0),
    "sqrty_dag": ([], 1.0),
    "swap": ([], 0.5),
    "rx": ([0.3], 1.0),
    "ry": ([0.3], 1.0),
    "rz": ([0.3], 1.0),
    "phase": ([0.3], 0.5),
    "global_phase": ([0.3], 1.0),
    "u": ([0.3, 0.2, 0.1], 1.0),
    "unitary": ([], 1.0),
}

H2 = np.array([[1, 1], [1, -1]]) / np.sqrt(2)


def cases(n):
    """(label, targets, controls, control_state) per measured case."""
    out = [("t0", [0], [], []), (f"t{n - 1}", [n - 1], [], [])]
    if n >= 3:
        out.append((f"t{n - 1} c0=1", [n - 1], [0], [1]))
    return out


def gate_list(name, params, targets, controls, states, reps):
    t = targets[0]
    if name == "swap":
        targets = [t - 1, t] if t > 0 else [0, 1]
    if name == "global_phase":
        targets = []
    g = {"id": name, "target": targets, "control": controls, "control_state": states, "parameter": params}
    if name == "unitary":
        g["matrix"] = H2
    return [g] * reps


def main():
    default_n = 20 if vorlent.backend == "host" else 28
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=default_n, help=f"qubits (default {default_n} on this backend)")
    parser.add_argument("--dtype", default="complex64", choices=["complex64", "complex128"])
    parser.add_argument("--reps", type=int, default=None, help="gates per timed run (default 4 host, 50 cuda)")
    parser.add_argument("--trials", type=int, default=3, help="timed runs per row; the minimum is reported")
    parser.add_argument("--device", default="cuda:0")
    parser.add_argument("--kinds", default=",".join(KINDS), help="comma-separated gate kinds")
    record = bench_json.Rows(parser, "gates")
    args = parser.parse_args()
    reps = args.reps or (4 if vorlent.backend == "host" else 50)

    state = vorlent.DeviceState.zero_state(args.n, args.dtype, args.device)
    host = np.empty(state.num_state, dtype=args.dtype)
    amp_bytes = np.dtype(args.dtype).itemsize
    full_bytes = 2 * state.num_state * amp_bytes  # read and write every amplitude once

    copy_s = best_of(lambda: state.copy_to_numpy(host), args.trials)

    def per_gate(gates, mode):
        vorlent.run_circuit_device(state, gates[:1], mode=mode)  # warm-up; a missing family fails here
        state.copy_to_numpy(host)
        total = best_of(
            lambda: (vorlent.run_circuit_device(state, gates, mode=mode), state.copy_to_numpy(host)), args.trials
        )
        return max(total - copy_s, 0.0) / len(gates)

    base_s = per_gate(gate_list("x", [], [args.n - 1], [], [], reps), vorlent.PairAuto)
    base_bw = full_bytes / base_s

    record.meta.update(
        backend=vorlent.backend,
        n=args.n,
        dtype=args.dtype,
        reps=reps,
        baseline_seconds=base_s,
        baseline_gbps=base_bw / 1e9,
    )
    where = platform.processor() or platform.machine()
    print(
        f"# backend={vorlent.backend} device={args.device} (ordinal {state.device_id})"
        + (f" host={where} cpus={os.cpu_count()}" if vorlent.backend == "host" else "")
    )
    print(
        f"# n={args.n} dtype={args.dtype} state={state.num_state * amp_bytes / 2**20:.0f} MiB "
        f"reps={reps} trials={args.trials} copy_to_numpy={copy_s * 1e3:.2f} ms (subtracted)"
    )
    print(f"# X-PairAuto pass: {base_s * 1e3:.3f} ms, {base_bw / 1e9:.2f} GB/s")
    print(f"{'gate':<13}{'case':<12}{'mode':<10}{'ms/gate':>10}{'GB/s':>9}{'X-pass GB/s':>13}{'ratio':>7}")

    for name in args.kinds.split(","):
        params, share = KINDS[name]
        try:
            for label, targets, controls, states in cases(args.n):
                moved = full_bytes * share / 2 ** len(controls)
                for mode in MODES:
                    sec = per_gate(gate_list(name, params, targets, controls, states, reps), mode)
                    bw = moved / sec if sec > 0 else float("inf")
                    record.add(
                        backend=vorlent.backend,
                        n=args.n,
                        dtype=args.dtype,
                        gate=name,
                        case=label,
                        mode=mode.name,
                        seconds=sec,
                        gbps=bw / 1e9,
                        baseline_gbps=base_bw / 1e9,
                        ratio=bw / base_bw,
                    )
                    print(
                        f"{name:<13}{label:<12}{mode.name:<10}{sec * 1e3:>10.3f}{bw / 1e9:>9.2f}"
                        f"{base_bw / 1e9:>13.2f}{bw / base_bw:>7.2f}"
                    )
        except RuntimeError as err:
            if "not available" not in str(err):
                raise
            print(f"{name:<13}skipped: {err}")


if __name__ == "__main__":
    main()
