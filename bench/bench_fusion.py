"""Gate fusion against per-gate execution on variational-style circuits.

Circuit: --depth layers, each a random rotation (RX, RY or RZ) on every qubit, a Hadamard on a random third of
them, then CNOT or CZ on neighbouring pairs from alternating offsets. Each row times one way of running it:

- PairAuto: `run_circuit_device` in PairAuto mode, one pass per gate;
- PairAutoFusion: `run_circuit_device` in PairAutoFusion mode (planning on every call);
- chunk: `execute_prepared_fusion_chunk` of a chunk planned once (the planning is not timed).

Every timed run ends with the execution of an empty prepared chunk, whose final stream synchronisation waits for
the queued work. Each figure is the best of --trials runs. "passes" counts full passes over the state: one per
gate, per AutoPair or SparseShareMem group, and three per DenseMM group (gather, GEMM, scatter). Effective
bandwidth = passes x 2 x state bytes / time, shown as a ratio to a device copy of the state (`copy.copy`, which
includes its allocation) timed in the same run.

Planning cost: the time of `prepare_fusion_chunk_gates` on the circuit with no grouping (max_gates_per_group=0)
stands for parsing; the rest of the time with the default options is planning. Both are given per gate, also for
one chunk of --big-chunk gates.

    QUILLMARCH_BUILD_DIR=build/host python3 bench/bench_fusion.py [--n 14 16] [--dtype complex64] [--json FILE]
"""

import argparse
import copy
import os
import sys

import numpy as np

_build = os.environ.get("QUILLMARCH_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))  # shared helpers

import bench_json  # noqa: E402
from bench_timing import best_of  # noqa: E402
import vorlent  # noqa: E402
from gate_helpers import QuantumGate  # noqa: E402


def circuit(n, depth, rng):
    gates = []
    for layer in range(depth):
        for q in range(n):
            gates.append(QuantumGate(str(rng.choice(["rx", "ry", "rz"])), [q], [], [], [float(rng.uniform(-3, 3))]))
        for q in rng.permutation(n)[: n // 3]:
            gates.append(QuantumGate("h", [int(q)], [], [], []))
        for q in range(layer % 2, n - 1, 2):
            name = "x" if rng.random() < 0.5 else "z"
            gates.append(QuantumGate(name, [q + 1], [q], [1], []))
    return gates


def passes_of(chunk):
    return sum(3 if g["kind"] == "DenseMM" else 1 for g in chunk.groups)


def main():
    default_n = [28, 30] if vorlent.backend == "cuda" else [14, 16]
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, nargs="+", default=default_n)
    parser.add_argument("--dtype", default="complex64", choices=["complex64", "complex128"])
    parser.add_argument("--depth", type=int, nargs="+", default=[20, 100])
    parser.add_argument("--trials", type=int, default=3)
    parser.add_argument("--big-chunk", type=int, default=100_000, help="gates of the planning-cost chunk")
    parser.add_argument("--device", default="cuda:0")
    record = bench_json.Rows(parser, "fusion")
    args = parser.parse_args()
    record.meta.update(backend=vorlent.backend, dtype=args.dtype)
    rng = np.random.default_rng(7)
    print(f"vorlent backend: {vorlent.backend}, {args.dtype}")
    for n in args.n:
        state = vorlent.DeviceState.zero_state(n, args.dtype, args.device)
        sync_chunk = vorlent.prepare_fusion_chunk_gates(n, [])
        sync = lambda: vorlent.execute_prepared_fusion_chunk(state, sync_chunk)  # noqa: E731
        state_bytes = (1 << n) * (8 if args.dtype == "complex64" else 16)
        copy_s = best_of(lambda: (copy.copy(state), sync()), args.trials)
        copy_bw = 2 * state_bytes / copy_s / 1e9
        print(f"\nn={n}: state {state_bytes / 2**20:.0f} MiB, device copy {copy_s * 1e3:.2f} ms ({copy_bw:.1f} GB/s)")
        print(
            f"  {'depth':>5s} {'gates':>6s} {'mode':15s} {'groups A/S/D':>14s} {'passes':>7s} {'ms':>10s} "
            f"{'GB/s':>8s} {'of copy':>8s} {'speedup':>8s}"
        )
        for depth in args.depth:
            gates = circuit(n, depth, rng)
            chunk = vorlent.prepare_fusion_chunk_gates(n, gates)
            kinds = [g["kind"] for g in chunk.groups]
            counts = (kinds.count("AutoPair"), kinds.count("SparseShareMem"), kinds.count("DenseMM"))
            fused_passes = passes_of(chunk)
            rows = [
                (
                    "PairAuto",
                    len(gates),
                    (len(gates), 0, 0),
                    lambda: (vorlent.run_circuit_device_gates(state, gates, mode=vorlent.PairAuto), sync()),
                ),
                (
                    "PairAutoFusion",
                    fused_passes,
                    counts,
                    lambda: (vorlent.run_circuit_device_gates(state, gates, mode=vorlent.PairAutoFusion), sync()),
                ),
                ("chunk", fused_passes, counts, lambda: vorlent.execute_prepared_fusion_chunk(state, chunk)),
            ]
            per_gate_s = None
            for mode, passes, groups, run in rows:
                seconds = best_of(run, args.trials)
                per_gate_s = per_gate_s or seconds
                bw = passes * 2 * state_bytes / seconds / 1e9
                print(
                    f"  {depth:5d} {len(gates):6d} {mode:15s} {'/'.join(map(str, groups)):>14s} {passes:7d} "
                    f"{seconds * 1e3:10.2f} {bw:8.1f} {bw / copy_bw:8.2f} {per_gate_s / seconds:8.2f}"
                )
                record.add(
                    n=n,
                    dtype=args.dtype,
                    depth=depth,
                    gates=len(gates),
                    mode=mode,
                    seconds=seconds,
                    passes=passes,
                    autopair=groups[0],
                    sparsesharemem=groups[1],
                    densemm=groups[2],
                    gbps=bw,
                    copy_gbps=copy_bw,
                    ratio=bw / copy_bw,
                )
            parse_s = best_of(lambda: vorlent.prepare_fusion_chunk_gates(n, gates, max_gates_per_group=0), args.trials)
            total_s = best_of(lambda: vorlent.prepare_fusion_chunk_gates(n, gates), args.trials)
            print(
                f"        parse {parse_s / len(gates) * 1e6:.2f} us/gate, plan "
                f"{max(total_s - parse_s, 0) / len(gates) * 1e6:.2f} us/gate"
            )
        del state
    if args.big_chunk > 0:
        n = args.n[0]
        gates = circuit(n, 1, rng)
        gates = (gates * (args.big_chunk // len(gates) + 1))[: args.big_chunk]
        parse_s = best_of(lambda: vorlent.prepare_fusion_chunk_gates(n, gates, max_gates_per_group=0), 1)
        total_s = best_of(lambda: vorlent.prepare_fusion_chunk_gates(n, gates), 1)
        plan_s = max(total_s - parse_s, 0)
        print(
            f"\nchunk of {len(gates)} gates at n={n}: parse {parse_s / len(gates) * 1e6:.2f} us/gate, "
            f"plan {plan_s / len(gates) * 1e6:.2f} us/gate (plan/parse {plan_s / parse_s:.2f})"
        )
        record.add(n=n, dtype=args.dtype, mode="planning", gates=len(gates), parse_seconds=parse_s, plan_seconds=plan_s)


if __name__ == "__main__":
    main()
