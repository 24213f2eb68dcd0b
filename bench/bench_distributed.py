"""DistributedState under MPI: what a global qubit costs against a local one.

Run it under mpiexec; every rank runs the same calls and rank 0 prints:

    mpiexec -n P python3 bench/bench_distributed.py [--n1 N1] [--n N] [--dtype D] [--reps R] [--json FILE]

Rows (each time the maximum over ranks of the best of R calls, each call one
`run_circuit_device` followed by a synchronising empty prepared chunk):

- gate/<kind>/<local|global>: one H, RZ or controlled X (control on the named
  qubit) per call. A global H needs a one-pair swap step in every call: the
  target is always a qubit that is global at the time (lazy placement).
- swaps/<k>x1 against swaps/1x<k>: k calls with one H on a global qubit each,
  against one call whose k H gates share one k-pair step.
- circuit/weak (n = n1 + g) and circuit/strong (n fixed): a depth-20 random
  circuit, with its exchange share; with one process also the same circuit on a
  plain DeviceState of n qubits.

Each row gives seconds, exchange_seconds, bytes_sent (per rank) and GB/s of
exchanged data per rank.
"""

import argparse
import os
import sys
import time

import numpy as np

_build = os.environ.get("QUILLMARCH_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))

import bench_json  # noqa: E402
import vorlent  # noqa: E402
from mpi4py import MPI  # noqa: E402

COMM = MPI.COMM_WORLD


def gate(name, target, control=(), params=()):
    return {
        "id": name,
        "target": [target],
        "control": list(control),
        "control_state": [1] * len(control),
        "parameter": list(params),
    }


class Bench:
    def __init__(self, args, record):
        self.args = args
        self.record = record

    def sync(self, state):
        vorlent.execute_prepared_fusion_chunk(state, self.empty[state.n])

    def timed(self, state, make_gates, calls=1):
        """Best over reps of `calls` runs of make_gates() plus one sync;
        returns (seconds, exchange seconds, bytes) of the best rep, max over ranks."""
        best = None
        for _ in range(self.args.reps):
            before = dict(state.stats)
            COMM.Barrier()
            start = time.perf_counter()
            # The gates depend on where the last call left the qubits.
            for _ in range(calls):
                vorlent.run_circuit_device(state, make_gates())
            self.sync(state)
            seconds = COMM.allreduce(time.perf_counter() - start, op=MPI.MAX)
            exchange = COMM.allreduce(state.stats["exchange_seconds"] - before["exchange_seconds"], op=MPI.MAX)
            sent = state.stats["bytes_sent"] - before["bytes_sent"]
            if best is None or seconds < best[0]:
                best = (seconds, exchange, sent)
        return best

    def row(self, label, n, result):
        seconds, exchange, sent = result
        rate = sent / exchange / 1e9 if exchange > 0 else 0.0
        if COMM.rank == 0:
            print(
                f"{label:<24} n={n:<3} {seconds * 1e3:10.3f} ms  exchange {exchange * 1e3:9.3f} ms  "
                f"{sent:>12} B  {rate:7.2f} GB/s"
            )
        self.record.add(
            label=label,
            n=n,
            processes=COMM.size,
            dtype=self.args.dtype,
            seconds=seconds,
            exchange_seconds=exchange,
            bytes_sent=sent,
            gbps=rate,
        )

    def global_qubit(self, state):
        L = state.local_qubits
        return next(q for q in range(state.n) if state.layout[q] >= L)

    def local_qubit(self, state, avoid=()):
        return next(q for q in range(state.n) if state.layout[q] < state.local_qubits and q not in avoid)

    def run(self):
        a = self.args
        g = COMM.size.bit_length() - 1
        sizes = sorted({a.n1 + g, a.n})
        self.empty = {n: vorlent.prepare_fusion_chunk_gates(n, []) for n in sizes}
        n = a.n1 + g
        s = vorlent.DistributedState.zero_state(n, a.dtype)
        self.sync(s)
        self.row("gate/h/local", n, self.timed(s, lambda: [gate("h", self.local_qubit(s))]))
        if g:
            self.row("gate/h/global", n, self.timed(s, lambda: [gate("h", self.global_qubit(s))]))
            top = self.global_qubit(s)
            self.row("gate/rz/local", n, self.timed(s, lambda: [gate("rz", self.local_qubit(s), params=[0.3])]))
            self.row("gate/rz/global", n, self.timed(s, lambda: [gate("rz", top, params=[0.3])]))
            self.row(
                "gate/cx/local",
                n,
                self.timed(
                    s, lambda: [gate("x", self.local_qubit(s), [self.local_qubit(s, avoid=[self.local_qubit(s)])])]
                ),
            )
            self.row("gate/cx/global", n, self.timed(s, lambda: [gate("x", self.local_qubit(s), [top])]))
            k = min(g, s.local_qubits)

            def globals_now():
                L = s.local_qubits
                return [q for q in range(s.n) if s.layout[q] >= L][:k]

            self.row(f"swaps/{k}x1", n, self.timed(s, lambda: [gate("h", self.global_qubit(s))], calls=k))
            self.row(f"swaps/1x{k}", n, self.timed(s, lambda: [gate("h", q) for q in globals_now()]))
        for label, size in (("circuit/weak", n), ("circuit/strong", a.n)):
            if size - g < 1:
                continue
            circuit = random_circuit(size, 20)
            s = vorlent.DistributedState.zero_state(size, a.dtype)
            self.row(label, size, self.timed(s, lambda: circuit))
            if COMM.size == 1:
                single = vorlent.DeviceState.zero_state(size, a.dtype)
                best = min(time_single(single, circuit, self.empty[size]) for _ in range(a.reps))
                self.row(label + "/DeviceState", size, (best, 0.0, 0))


def time_single(state, circuit, empty):
    start = time.perf_counter()
    vorlent.run_circuit_device(state, circuit)
    vorlent.execute_prepared_fusion_chunk(state, empty)
    return time.perf_counter() - start


def random_circuit(n, depth, seed=20):
    """Depth layers of random one-qubit rotations on every qubit, then CX on alternating neighbour pairs."""
    rng = np.random.default_rng(seed)
    gates = []
    for layer in range(depth):
        for q in range(n):
            name = str(rng.choice(["h", "rx", "rz", "sqrtx"]))
            gates.append(gate(name, q, params=[float(rng.uniform(0, 6))] if name in ("rx", "rz") else []))
        for q in range(layer % 2, n - 1, 2):
            gates.append(gate("x", q + 1, [q]))
    return gates


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n1", type=int, default=18, help="local qubits per process (weak scaling)")
    parser.add_argument("--n", type=int, default=20, help="total qubits of the strong-scaling circuit")
    parser.add_argument("--dtype", default="complex64", choices=["complex64", "complex128"])
    parser.add_argument("--reps", type=int, default=3)
    record = bench_json.Rows(parser, "distributed")
    args = parser.parse_args()
    record.meta.update(processes=COMM.size, backend=vorlent.backend, mpi=MPI.Get_library_version().split("\n")[0])
    if COMM.rank != 0:
        record.path = None
    Bench(args, record).run()


if __name__ == "__main__":
    main()
