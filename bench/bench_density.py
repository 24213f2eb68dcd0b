"""Timing of every density kernel family: unitaries on 1 to 6 targets, diagonal and permutation forms, noise channels,
general Kraus operations, and measurement.

Each family is timed per operation from one run_density_operations_device call holding --ops operations (the call
synchronises the device at its end; best of --repeat calls), and shown beside the bandwidth of state.copy() measured
in the same run. The module has no raw device copy, so state.copy() (allocation, device-to-device copy of the matrix,
free) is the copy baseline; its allocation makes it a slightly pessimistic one.

Effective bandwidth = bytes read and written per operation / time, with B the matrix size in bytes:
  unitary k=1, k=2 (one fused pass)        2 B
  unitary k=3..6 (left pass, right pass)   4 B
  diagonal without controls                1 B   (only entries whose row and column differ in the target bit)
  diagonal with a control                  2 B   (every entry rewritten)
  permutation X                            2 B
  permutation SWAP                         1.5 B (entries whose row or column has exactly one of the two bits)
  channels, Kraus k=1..3                   2 B
  measurement of one qubit                 2 B   (the probability pass reads only the diagonal; the collapse
                                                  rewrites every entry)
Families whose kernels are missing from the build ("not available") are skipped and listed at the end.

Noisy-circuit rows (--rows noisy or all): --layers layers of a random rotation on every qubit, each followed by a
built-in channel on that qubit, then CNOTs on neighbouring pairs, run as one call with QUILLMARCH_DENSITY_FUSION off
and on. "passes" counts the kernel passes over the matrix (one per operation with fusion off; with fusion on one per
group pass, from a model of the planner, checked against the launch trace on the host backend); effective bandwidth
is passes x 2 B / time, shown as a ratio to the copy baseline.

    QUILLMARCH_BUILD_DIR=build/cuda python3 bench/bench_density.py
    QUILLMARCH_BUILD_DIR=build/host python3 bench/bench_density.py --qubits 7 8
    QUILLMARCH_BUILD_DIR=build/host python3 bench/bench_density.py --rows noisy --noisy-qubits 8 9 --repeat 1
    QUILLMARCH_DENSITY_FUSION=1 ... --json FILE   (rows as JSON, with "fusion": "on" or "off")
"""

import argparse
import os
import sys
import tempfile

import numpy as np

if os.environ.get("QUILLMARCH_BUILD_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["QUILLMARCH_BUILD_DIR"]))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))  # shared helpers

import bench_json  # noqa: E402
from bench_timing import best_of  # noqa: E402
import kestamire  # noqa: E402
from density_objects import Gate, KrausOp  # noqa: E402
from dm_reference import CHANNELS, channel_kraus, random_unitary  # noqa: E402
from planner_model import take_clusters  # noqa: E402

DDS = kestamire.DeviceDensityState


class Unavailable(Exception):
    pass


def kraus_set(rng, k, count):
    d = 1 << k
    v = random_unitary(rng, count * d)[:, :d]
    return [v[j * d : (j + 1) * d, :] for j in range(count)]


def families(n, rng):
    """(name, bytes per operation in units of the matrix size, operations cycling over target positions)."""
    spots = range(n)

    def block(q, k):
        return [(q + j) % n for j in range(k)]

    for k in range(1, min(n, 6) + 1):
        yield (
            f"unitary k={k}",
            2 if k <= 2 else 4,
            [Gate("unitary", block(q, k), matrix=random_unitary(rng, 1 << k)) for q in spots],
        )
    yield "diagonal (rz)", 1, [Gate("rz", [q], parameter=[0.3]) for q in spots]
    if n >= 2:
        yield "diagonal controlled (crz)", 2, [Gate("crz", [q], [(q + 1) % n], [1], [0.3]) for q in spots]
    yield "permutation X", 2, [Gate("x", [q]) for q in spots]
    if n >= 2:
        yield "permutation SWAP", 1.5, [Gate("swap", block(q, 2)) for q in spots]
    for name in CHANNELS:
        yield f"channel {name}", 2, [KrausOp([q], channel_kraus(name, 0.1), name) for q in spots]
    for k in range(1, min(n, 3) + 1):
        yield f"kraus k={k} (4 matrices)", 2, [KrausOp(block(q, k), kraus_set(rng, k, 4)) for q in spots]


def time_operations(state, n, ops, repeat):
    def action():
        try:
            kestamire.run_density_operations_device(state, n, ops)
        except RuntimeError as error:
            if "not available" in str(error):
                raise Unavailable(str(error)) from None
            raise

    return best_of(action, repeat) / len(ops)


ROTATIONS = ["rx", "ry", "rz"]


def noisy_circuit(n, layers, rng):
    """Rotations each followed by a channel on the same qubit, then CNOTs on alternating neighbour pairs."""
    ops = []
    names = list(CHANNELS)
    for layer in range(layers):
        for q in range(n):
            ops.append(Gate(ROTATIONS[(q + layer) % 3], [q], parameter=[float(rng.uniform(-np.pi, np.pi))]))
            name = names[(q + layer) % len(names)]
            ops.append(KrausOp([q], channel_kraus(name, 0.01), name))
        for q in range(layer % 2, n - 1, 2):
            ops.append(Gate("cx", [q + 1], [q], [1]))
    return ops


def fused_passes(n, ops, window=1024, min_shared=4):
    """Passes over the matrix of a fused run: a model of the density fusion planner for lists of one-qubit gates
    (rotations, CNOTs) and built-in channels, which are all groupable."""
    max_active = 5 if n > 8 else n - 4
    if max_active <= 0:
        return len(ops)
    qubits = [sum(1 << q for q in list(op.target) + list(getattr(op, "control", []))) for op in ops]
    popcount = lambda m: bin(m).count("1")  # noqa: E731
    remaining = list(range(len(ops)))
    passes = 0
    while remaining:
        sets, masks, closed = [set() for _ in range(n)], [0] * n, 0
        for o in remaining[:window]:
            mine = [q for q in range(n) if qubits[o] >> q & 1]
            joined = qubits[o]
            for q in mine:
                joined |= masks[q]
            if qubits[o] & closed or popcount(joined) > max_active:
                closed |= qubits[o]
                continue
            group = {o}.union(*(sets[q] for q in mine))
            for q in mine:
                sets[q], masks[q] = group, joined
        chosen = sorted(take_clusters(n, masks, sets, max_active)) or [remaining[0]]
        mask = 0
        for o in chosen:
            mask |= qubits[o]
        width = popcount(mask)
        if len(chosen) > 1 and width >= min_shared:
            passes += 1
        elif len(chosen) > 1 and width == 1:
            # A rotation directly followed by its channel is one unitary-plus-channel pass ("rz" is diagonal).
            i = 0
            while i < len(chosen):
                op = ops[chosen[i]]
                paired = (
                    isinstance(op, Gate)
                    and op.id != "rz"
                    and i + 1 < len(chosen)
                    and isinstance(ops[chosen[i + 1]], KrausOp)
                )
                passes += 1
                i += 2 if paired else 1
        else:
            passes += len(chosen)
        chosen_set = set(chosen)
        remaining = [o for o in remaining if o not in chosen_set]
    return passes


def add_row(record, n, dtype, family, fusion, seconds, gbps, copy_gbps, passes=None):
    """One JSON row; `passes` only where the row counts them."""
    row = {"backend": kestamire.backend, "n": n, "dtype": dtype, "family": family, "fusion": fusion, "seconds": seconds}
    if passes is not None:
        row["passes"] = passes
    record.add(**row, gbps=gbps, copy_gbps=copy_gbps, ratio=gbps / copy_gbps)


def traced_launches(action):
    """Kernel launches of `action` in the CPU emulation's launch trace; None on other backends."""
    if kestamire.backend != "host":
        return None
    with tempfile.NamedTemporaryFile(mode="r", suffix=".trace") as trace:
        os.environ["HOSTCUDA_TRACE"] = trace.name
        try:
            action()
        finally:
            del os.environ["HOSTCUDA_TRACE"]
        return len(trace.read().splitlines())


def noisy_rows(args, record):
    """Times the noisy circuit with fusion off and on per size and precision."""
    rng = np.random.default_rng(2)
    saved = os.environ.get("QUILLMARCH_DENSITY_FUSION")
    print(f"\nnoisy circuit: {args.layers} layers (rotation + channel on every qubit, CNOT pairs)")
    print(
        f"  {'n':>3s} {'dtype':10s} {'fusion':6s} {'ops':>5s} {'ms':>10s} {'passes':>7s} {'GB/s':>9s} "
        f"{'of copy':>8s} {'speedup':>8s}"
    )
    try:
        for n in args.noisy_qubits:
            ops = noisy_circuit(n, args.layers, rng)
            for dtype in args.dtype:
                state = DDS.zero_state(n, dtype, args.device)
                matrix_bytes = (1 << (2 * n)) * (8 if dtype == "complex64" else 16)
                copy_s = best_of(lambda: state.copy(), args.repeat)
                copy_bw = 2 * matrix_bytes / copy_s / 1e9
                off_s = None
                for fusion in ("0", "1"):
                    os.environ["QUILLMARCH_DENSITY_FUSION"] = fusion
                    call = lambda: kestamire.run_density_operations_device(state, n, ops)  # noqa: E731
                    passes = len(ops) if fusion == "0" else fused_passes(n, ops)
                    launched = traced_launches(call)
                    if launched is not None and launched != passes:
                        print(f"  note: n={n} fusion={fusion}: the trace shows {launched} launches, model {passes}")
                    seconds = best_of(call, args.repeat)
                    off_s = off_s or seconds
                    bw = passes * 2 * matrix_bytes / seconds / 1e9
                    add_row(
                        record,
                        n,
                        dtype,
                        "noisy circuit",
                        "on" if fusion == "1" else "off",
                        seconds,
                        bw,
                        copy_bw,
                        passes,
                    )
                    print(
                        f"  {n:3d} {dtype:10s} {'on' if fusion == '1' else 'off':6s} {len(ops):5d} "
                        f"{seconds * 1e3:10.2f} {passes:7d} {bw:9.2f} {bw / copy_bw:8.2f} {off_s / seconds:8.2f}"
                    )
                del state
    finally:
        if saved is None:
            os.environ.pop("QUILLMARCH_DENSITY_FUSION", None)
        else:
            os.environ["QUILLMARCH_DENSITY_FUSION"] = saved


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, nargs="+", default=[13, 14], help="sizes; use 6 to 9 on the host")
    parser.add_argument("--dtype", choices=["complex64", "complex128"], nargs="+", default=["complex64", "complex128"])
    parser.add_argument("--ops", type=int, default=10, help="operations per timed call")
    parser.add_argument("--repeat", type=int, default=3, help="timed calls; the best counts")
    parser.add_argument("--device", default="cuda:0")
    parser.add_argument(
        "--rows",
        choices=["families", "noisy", "all"],
        default="all",
        help="kernel families, the noisy circuit with fusion off and on, or both",
    )
    parser.add_argument(
        "--noisy-qubits",
        type=int,
        nargs="+",
        default=[10, 11, 12, 13, 14],
        help="sizes of the noisy-circuit rows; use 8 to 10 on the host",
    )
    parser.add_argument("--layers", type=int, default=10, help="layers of the noisy circuit")
    record = bench_json.Rows(parser, "density")
    args = parser.parse_args()
    # Density fusion follows the environment variable; rows say which way it was.
    fusion = "on" if os.environ.get("QUILLMARCH_DENSITY_FUSION", "") not in ("", "0") else "off"
    record.meta.update(backend=kestamire.backend, fusion=fusion)

    print(f"kestamire backend: {kestamire.backend}")
    rng = np.random.default_rng(1)
    unavailable = {}
    for n in args.qubits if args.rows != "noisy" else []:
        for dtype in args.dtype:
            state = DDS.zero_state(n, dtype, args.device)
            matrix_bytes = (1 << (2 * n)) * (8 if dtype == "complex64" else 16)
            # Dropping the copy frees it, and the free waits for the copy.
            copy_s = best_of(lambda: state.copy(), args.repeat)
            copy_bw = 2 * matrix_bytes / copy_s / 1e9
            print(
                f"\nn={n} {dtype}: matrix {matrix_bytes / 2**20:.1f} MiB; copy baseline state.copy() "
                f"{copy_s * 1e3:.3f} ms, {copy_bw:.1f} GB/s"
            )
            print(f"  {'family':28s} {'ms/op':>10s} {'bytes':>6s} {'GB/s':>9s} {'of copy':>8s}")
            for family, moved, base in families(n, rng):
                if family in unavailable:
                    continue
                ops = (base * (args.ops // len(base) + 1))[: args.ops]
                try:
                    seconds = time_operations(state, n, ops, args.repeat)
                except Unavailable as error:
                    unavailable[family] = str(error)
                    continue
                bw = moved * matrix_bytes / seconds / 1e9
                add_row(record, n, dtype, family, fusion, seconds, bw, copy_bw)
                print(f"  {family:28s} {seconds * 1e3:10.3f} {moved:5.1f}B {bw:9.1f} {bw / copy_bw:8.2f}")
            # Measuring a state that is already collapsed on qubit 0 keeps every call alike.
            seconds = best_of(lambda: kestamire.measure_device(state, [0], seed=1), args.repeat)
            bw = 2 * matrix_bytes / seconds / 1e9
            add_row(record, n, dtype, "measure [0]", fusion, seconds, bw, copy_bw)
            print(
                f"  {'measure [0] (probs+collapse)':28s} {seconds * 1e3:10.3f} {2:5.1f}B {bw:9.1f} {bw / copy_bw:8.2f}"
            )
            del state
    for family, message in unavailable.items():
        print(f"skipped {family}: {message}")
    if args.rows != "families":
        noisy_rows(args, record)


if __name__ == "__main__":
    main()
