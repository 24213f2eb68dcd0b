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

    QUILLMARCH_BUILD_DIR=build/cuda python3 bench/bench_density.py
    QUILLMARCH_BUILD_DIR=build/host python3 bench/bench_density.py --qubits 7 8
    QUILLMARCH_DENSITY_FUSION=1 ... --json FILE   (rows as JSON, with "fusion": "on" or "off")
"""

import argparse
import os
import sys
import time

import numpy as np

if os.environ.get("QUILLMARCH_BUILD_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["QUILLMARCH_BUILD_DIR"]))

import bench_json  # noqa: E402
import kestamire  # noqa: E402

DDS = kestamire.DeviceDensityState
X = np.array([[0, 1], [1, 0]])
Y = np.array([[0, -1j], [1j, 0]])
Z = np.diag([1, -1])
CHANNELS = {
    "bit_flip": lambda p: [np.sqrt(1 - p) * np.eye(2), np.sqrt(p) * X],
    "phase_flip": lambda p: [np.sqrt(1 - p) * np.eye(2), np.sqrt(p) * Z],
    "depolarizing": lambda p: [np.sqrt(1 - 3 * p / 4) * np.eye(2), np.sqrt(p / 4) * X, np.sqrt(p / 4) * Y,
                               np.sqrt(p / 4) * Z],
    "amplitude_damping": lambda p: [np.diag([1, np.sqrt(1 - p)]), np.array([[0, np.sqrt(p)], [0, 0]])],
    "phase_damping": lambda p: [np.sqrt(1 - p) * np.eye(2), np.sqrt(p) * np.diag([1, 0]), np.sqrt(p) * np.diag([0, 1])],
}


class Gate:
    def __init__(self, id, target, control=(), control_state=(), parameter=None, matrix=None):
        self.id = id
        self.target = list(target)
        self.control = list(control)
        self.control_state = list(control_state)
        self.parameter = parameter
        self.has_stored_matrix = matrix is not None
        self.stored_matrix = matrix


class KrausOp:
    operation_kind = "kraus"

    def __init__(self, target, matrices, channel_name=None):
        self.target = list(target)
        self.kraus_matrices = np.asarray(matrices, dtype=np.complex128)
        if channel_name is not None:
            self.channel_name = channel_name


class Unavailable(Exception):
    pass


def random_unitary(rng, dim):
    q, r = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    return q * (np.diag(r) / np.abs(np.diag(r)))


def kraus_set(rng, k, count):
    d = 1 << k
    v = random_unitary(rng, count * d)[:, :d]
    return [v[j * d:(j + 1) * d, :] for j in range(count)]


def families(n, rng):
    """(name, bytes per operation in units of the matrix size, operations cycling over target positions)."""
    spots = range(n)

    def block(q, k):
        return [(q + j) % n for j in range(k)]

    for k in range(1, min(n, 6) + 1):
        yield (f"unitary k={k}", 2 if k <= 2 else 4,
               [Gate("unitary", block(q, k), matrix=random_unitary(rng, 1 << k)) for q in spots])
    yield "diagonal (rz)", 1, [Gate("rz", [q], parameter=[0.3]) for q in spots]
    if n >= 2:
        yield "diagonal controlled (crz)", 2, [Gate("crz", [q], [(q + 1) % n], [1], [0.3]) for q in spots]
    yield "permutation X", 2, [Gate("x", [q]) for q in spots]
    if n >= 2:
        yield "permutation SWAP", 1.5, [Gate("swap", block(q, 2)) for q in spots]
    for name, kraus in CHANNELS.items():
        yield f"channel {name}", 2, [KrausOp([q], kraus(0.1), name) for q in spots]
    for k in range(1, min(n, 3) + 1):
        yield f"kraus k={k} (4 matrices)", 2, [KrausOp(block(q, k), kraus_set(rng, k, 4)) for q in spots]


def best_time(action, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def time_operations(state, n, ops, repeat):
    def action():
        try:
            kestamire.run_density_operations_device(state, n, ops)
        except RuntimeError as error:
            if "not available" in str(error):
                raise Unavailable(str(error)) from None
            raise

    return best_time(action, repeat) / len(ops)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, nargs="+", default=[13, 14], help="sizes; use 6 to 9 on the host")
    parser.add_argument("--dtype", choices=["complex64", "complex128"], nargs="+",
                        default=["complex64", "complex128"])
    parser.add_argument("--ops", type=int, default=10, help="operations per timed call")
    parser.add_argument("--repeat", type=int, default=3, help="timed calls; the best counts")
    parser.add_argument("--device", default="cuda:0")
    record = bench_json.Rows(parser, "density")
    args = parser.parse_args()
    # Density fusion follows the environment variable; rows say which way it was.
    fusion = "on" if os.environ.get("QUILLMARCH_DENSITY_FUSION", "") not in ("", "0") else "off"
    record.meta.update(backend=kestamire.backend, fusion=fusion)

    print(f"kestamire backend: {kestamire.backend}")
    rng = np.random.default_rng(1)
    unavailable = {}
    for n in args.qubits:
        for dtype in args.dtype:
            state = DDS.zero_state(n, dtype, args.device)
            matrix_bytes = (1 << (2 * n)) * (8 if dtype == "complex64" else 16)
            # Dropping the copy frees it, and the free waits for the copy.
            copy_s = best_time(lambda: state.copy(), args.repeat)
            copy_bw = 2 * matrix_bytes / copy_s / 1e9
            print(f"\nn={n} {dtype}: matrix {matrix_bytes / 2**20:.1f} MiB; copy baseline state.copy() "
                  f"{copy_s * 1e3:.3f} ms, {copy_bw:.1f} GB/s")
            print(f"  {'family':28s} {'ms/op':>10s} {'bytes':>6s} {'GB/s':>9s} {'of copy':>8s}")
            for family, moved, base in families(n, rng):
                if family in unavailable:
                    continue
                ops = (base * (args.ops // len(base) + 1))[:args.ops]
                try:
                    seconds = time_operations(state, n, ops, args.repeat)
                except Unavailable as error:
                    unavailable[family] = str(error)
                    continue
                bw = moved * matrix_bytes / seconds / 1e9
                record.add(backend=kestamire.backend, n=n, dtype=dtype, family=family, fusion=fusion,
                           seconds=seconds, gbps=bw, copy_gbps=copy_bw, ratio=bw / copy_bw)
                print(f"  {family:28s} {seconds * 1e3:10.3f} {moved:5.1f}B {bw:9.1f} {bw / copy_bw:8.2f}")
            # Measuring a state that is already collapsed on qubit 0 keeps every call alike.
            seconds = best_time(lambda: kestamire.measure_device(state, [0], seed=1), args.repeat)
            bw = 2 * matrix_bytes / seconds / 1e9
            record.add(backend=kestamire.backend, n=n, dtype=dtype, family="measure [0]", fusion=fusion,
                       seconds=seconds, gbps=bw, copy_gbps=copy_bw, ratio=bw / copy_bw)
            print(f"  {'measure [0] (probs+collapse)':28s} {seconds * 1e3:10.3f} {2:5.1f}B {bw:9.1f} {bw / copy_bw:8.2f}")
            del state
    for family, message in unavailable.items():
        print(f"skipped {family}: {message}")


if __name__ == "__main__":
    main()
