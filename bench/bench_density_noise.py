"""Timing of the density noise channels, general Kraus operations and measurement.

Each family is timed per operation from one run_density_operations_device call
holding --ops operations (best of --repeat calls), and shown beside the
bandwidth of state.copy() measured in the same run. Effective bandwidth counts
one read and one write of the whole matrix per operation.

    QUILLMARCH_BUILD_DIR=build/cuda python3 bench/bench_density_noise.py
    QUILLMARCH_BUILD_DIR=build/host python3 bench/bench_density_noise.py --qubits 7 8
"""

import argparse
import os
import sys
import time

import numpy as np

if os.environ.get("QUILLMARCH_BUILD_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["QUILLMARCH_BUILD_DIR"]))

import kestamire  # noqa: E402

DDS = kestamire.DeviceDensityState
CHANNELS = {
    "bit_flip": lambda p: [np.sqrt(1 - p) * np.eye(2), np.sqrt(p) * np.array([[0, 1], [1, 0]])],
    "phase_flip": lambda p: [np.sqrt(1 - p) * np.eye(2), np.sqrt(p) * np.diag([1, -1])],
    "depolarizing": lambda p: [np.sqrt(1 - 3 * p / 4) * np.eye(2), np.sqrt(p / 4) * np.array([[0, 1], [1, 0]]),
                               np.sqrt(p / 4) * np.array([[0, -1j], [1j, 0]]), np.sqrt(p / 4) * np.diag([1, -1])],
    "amplitude_damping": lambda p: [np.diag([1, np.sqrt(1 - p)]), np.array([[0, np.sqrt(p)], [0, 0]])],
    "phase_damping": lambda p: [np.sqrt(1 - p) * np.eye(2), np.sqrt(p) * np.diag([1, 0]),
                                np.sqrt(p) * np.diag([0, 1])],
}


class KrausOp:
    operation_kind = "kraus"

    def __init__(self, target, matrices, channel_name=None):
        self.target = list(target)
        self.kraus_matrices = np.asarray(matrices, dtype=np.complex128)
        if channel_name is not None:
            self.channel_name = channel_name


class Unavailable(Exception):
    pass


def best_time(action, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def kraus_set(rng, k, count):
    d = 1 << k
    z = rng.normal(size=(count * d, d)) + 1j * rng.normal(size=(count * d, d))
    v, _ = np.linalg.qr(z)
    return [v[j * d:(j + 1) * d, :] for j in range(count)]


def time_operations(state, n, ops, repeat):
    def action():
        try:
            kestamire.run_density_operations_device(state, n, ops)
        except RuntimeError as error:
            if "not available yet" in str(error):
                raise Unavailable(str(error)) from None
            raise

    return best_time(action, repeat) / len(ops)


def copy_time(state, repeat):
    # Dropping the copy frees it, and the free waits for the copy to finish.
    return best_time(lambda: state.copy(), repeat)


def measure_time(state, repeat):
    return best_time(lambda: kestamire.measure_device(state, [0], seed=1), repeat)


def families(n, rng):
    for name, kraus in CHANNELS.items():
        yield name, [KrausOp([q % n], kraus(0.1), name) for q in range(n)]
    for k in (1, 2, 3):
        if k <= n:
            yield f"kraus k={k} (4 matrices)", [KrausOp([(q + j) % n for j in range(k)], kraus_set(rng, k, 4))
                                               for q in range(n)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, nargs="+", default=[13, 14])
    parser.add_argument("--ops", type=int, default=20, help="operations per timed call")
    parser.add_argument("--repeat", type=int, default=3, help="timed calls; the best counts")
    parser.add_argument("--device", default="cuda:0")
    args = parser.parse_args()

    print(f"kestamire backend: {kestamire.backend}")
    rng = np.random.default_rng(1)
    unavailable = {}
    for n in args.qubits:
        for dtype in ("complex64", "complex128"):
            state = DDS.zero_state(n, dtype, args.device)
            matrix_bytes = (1 << (2 * n)) * (8 if dtype == "complex64" else 16)
            copy_s = copy_time(state, args.repeat)
            copy_bw = 2 * matrix_bytes / copy_s / 1e9
            print(f"\nn={n} {dtype}: matrix {matrix_bytes / 2**20:.1f} MiB; state.copy() (alloc + copy + free) "
                  f"{copy_s * 1e3:.3f} ms, {copy_bw:.1f} GB/s")
            print(f"  {'family':28s} {'ms/op':>10s} {'GB/s':>9s} {'of copy':>8s}")
            for family, base in families(n, rng):
                if family in unavailable:
                    continue
                ops = (base * (args.ops // len(base) + 1))[:args.ops]
                try:
                    seconds = time_operations(state, n, ops, args.repeat)
                except Unavailable as error:
                    unavailable[family] = str(error)
                    continue
                bw = 2 * matrix_bytes / seconds / 1e9
                print(f"  {family:28s} {seconds * 1e3:10.3f} {bw:9.1f} {bw / copy_bw:8.2f}")
            seconds = measure_time(state, args.repeat)
            bw = 2 * matrix_bytes / seconds / 1e9
            print(f"  {'measure [0] (probs+collapse)':28s} {seconds * 1e3:10.3f} {bw:9.1f} {bw / copy_bw:8.2f}")
            del state
    for family, message in unavailable.items():
        print(f"skipped {family}: {message}")


if __name__ == "__main__":
    main()
