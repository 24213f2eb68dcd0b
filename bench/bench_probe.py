"""Ratio probe: a few costly gate shapes and fused-group kinds, each timed against one X pass on the same state.

The reference is one X gate on qubit n-1 through `run_circuit_device` in PairAuto mode, which reads and writes
the whole state once; it is timed on the same state in the same run as the rows that use it. Every timed run
ends after its device work has finished: runs that do not wait by themselves end with the execution of an empty
prepared chunk, whose final stream synchronisation waits for the queued work, and `execute_prepared_fusion_chunk`
waits for its own. Each figure is the best of --trials runs after one untimed run (which also allocates what
fusion keeps cached). The last column of every table row is its ratio (a ratio of times: above 1 is slower).

- unitary: one UNITARY gate on k = 5..10 targets (a random unitary; targets are the lowest ceil(k/2) and the
  highest floor(k/2) qubits), no controls, one gate per `run_circuit_device` call in PairAuto mode (the default
  per-gate path; the time includes parsing the matrix). One more row has k = 7 and one control on qubit n/2.
  Columns: k, controls, ms, time / X pass.
- sparsesharemem: a group of 20 random one- and two-qubit gates (RX/RY/RZ, CX) on qubits 0..9 ("low") or
  n-10..n-1 ("high"), planned with `prepare_fusion_chunk_gates` into one SparseShareMem group and run with
  `execute_prepared_fusion_chunk`. Columns: qubits, ms, time / device copy (`copy.copy` of the state, which
  includes its allocation), time / X pass.
- forced: 20 such gates on k = 2, 4, 7 qubits (spread like the unitary rows), planned once with DenseMM
  favoured (densemm_gate_threshold_scale=0) and once with DenseMM excluded (densemm_max_qubits=k-1, so the group
  is SparseShareMem, padded to 10 qubits). The kind and active-qubit count are read from `chunk.groups`; a plan
  that is not the one intended group is reported and not timed. Columns: k, kind, active qubits, ms, time / X.
- padding: 20 such gates on 4 qubits, the lowest ("low") or the highest ("high"), DenseMM excluded, planned with
  pad_sparsesharemem=True and False, at each n of --pad-n (own states, --dtype). Columns: qubits, n, padded ms,
  unpadded ms, padded / unpadded.
- memory: device memory in use before a forced DenseMM run at k = 7 (after `release_fusion_cache()`), after
  it (DenseMM keeps two state-sized scratch buffers), and after `vorlent.release_fusion_cache()`. On a GPU build
  the figure comes from CuPy (`cupy.cuda.runtime.memGetInfo`) or PyTorch (`torch.cuda.mem_get_info`), whichever
  imports; the host build has no such counter and prints "n/a (host)" (the steps still run).

    QUILLMARCH_BUILD_DIR=build/host python3 bench/bench_probe.py --n 14 --trials 1 [--json FILE]
    python3 bench/bench_probe.py --n 28 --dtype complex64     (GPU)
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
from gate_helpers import QuantumGate, gate  # noqa: E402
from sv_reference import random_unitary  # noqa: E402

GROUP_GATES = 20


def spread(n, k):
    """The lowest ceil(k/2) and the highest floor(k/2) qubits of n."""
    low = (k + 1) // 2
    return list(range(low)) + list(range(n - (k - low), n))


def random_gates(qubits, count, rng):
    gates = []
    for _ in range(count):
        if len(qubits) < 2 or rng.random() < 0.5:
            q = int(rng.choice(qubits))
            name = str(rng.choice(["rx", "ry", "rz"]))
            gates.append(QuantumGate(name, [q], [], [], [float(rng.uniform(-3, 3))]))
        else:
            t, c = (int(q) for q in rng.choice(qubits, 2, replace=False))
            gates.append(QuantumGate("x", [t], [c], [1], []))
    return gates


def one_group(chunk, kind):
    """The kind and active-qubit count of the chunk's plan when it is exactly one group of `kind`, else None."""
    groups = chunk.groups
    if len(groups) == 1 and groups[0]["kind"] == kind:
        return groups[0]["active_qubits"]
    print(f"    plan is not one {kind} group: {[(g['kind'], g['active_qubits']) for g in groups]}")
    return None


def memory_probe():
    """(name, function giving device memory in use in bytes) or (reason, None)."""
    if vorlent.backend == "host":
        return "n/a (host)", None
    try:
        import cupy

        def used():
            free, total = cupy.cuda.runtime.memGetInfo()
            return total - free

        return "CuPy memGetInfo", used
    except ImportError:
        pass
    try:
        import torch

        if torch.cuda.is_available():

            def used():
                free, total = torch.cuda.mem_get_info()
                return total - free

            return "torch.cuda.mem_get_info", used
    except ImportError:
        pass
    return "n/a (neither CuPy nor PyTorch imports)", None


def main():
    default_n = 28 if vorlent.backend == "cuda" else 14
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=default_n, help=f"qubits (default {default_n} on this backend)")
    parser.add_argument("--dtype", default="complex64", choices=["complex64", "complex128"])
    parser.add_argument("--trials", type=int, default=3, help="timed runs per row; the best is kept")
    parser.add_argument(
        "--pad-n", type=int, nargs="+", default=list(range(12, 23, 2)), help="sizes of the padding rows"
    )
    parser.add_argument("--device", default="cuda:0")
    record = bench_json.Rows(parser, "probe")
    args = parser.parse_args()
    if args.n < 12:
        parser.error("--n must be at least 12 (10-target gates beside a control)")
    n, trials = args.n, args.trials
    record.meta.update(backend=vorlent.backend, dtype=args.dtype, n=n)
    rng = np.random.default_rng(11)

    state = vorlent.DeviceState.zero_state(n, args.dtype, args.device)
    empty = vorlent.prepare_fusion_chunk_gates(n, [])
    sync = lambda: vorlent.execute_prepared_fusion_chunk(state, empty)  # noqa: E731
    x_gate = [gate("x", [n - 1])]
    mode = vorlent.KernelMode.PairAuto
    x_s = best_of(lambda: (vorlent.run_circuit_device(state, x_gate, mode=mode), sync()), trials, warm_up=True)
    copy_s = best_of(lambda: (copy.copy(state), sync()), trials, warm_up=True)
    state_mib = (1 << n) * np.dtype(args.dtype).itemsize / 2**20
    print(f"vorlent backend: {vorlent.backend}, n={n} {args.dtype} ({state_mib:.0f} MiB), trials={trials}")
    print(f"X pass {x_s * 1e3:.3f} ms, device copy {copy_s * 1e3:.3f} ms")
    record.add(table="reference", n=n, dtype=args.dtype, case="X pass", seconds=x_s, ratio=1.0)
    record.add(table="reference", n=n, dtype=args.dtype, case="copy", seconds=copy_s, ratio=copy_s / x_s)

    print(f"\n  {'table':<14s} {'k':>3s} {'ctrl':>4s} {'ms':>10s} {'time/X':>8s}")
    cases = [(k, []) for k in range(5, 11)] + [(7, [n // 2])]
    for k, controls in cases:
        g = gate("unitary", spread(n, k), controls, [1] * len(controls), matrix=random_unitary(rng, 1 << k))
        seconds = best_of(lambda: (vorlent.run_circuit_device(state, [g], mode=mode), sync()), trials, warm_up=True)
        print(f"  {'unitary':<14s} {k:3d} {len(controls):4d} {seconds * 1e3:10.3f} {seconds / x_s:8.2f}")
        record.add(
            table="unitary", n=n, dtype=args.dtype, k=k, controls=len(controls), seconds=seconds, ratio=seconds / x_s
        )

    print(f"\n  {'table':<14s} {'qubits':>6s} {'ms':>10s} {'time/copy':>9s} {'time/X':>8s}")
    for where, qubits in (("low", list(range(10))), ("high", list(range(n - 10, n)))):
        chunk = vorlent.prepare_fusion_chunk_gates(n, random_gates(qubits, GROUP_GATES, rng))
        if one_group(chunk, "SparseShareMem") is None:
            continue
        seconds = best_of(lambda: vorlent.execute_prepared_fusion_chunk(state, chunk), trials, warm_up=True)
        print(
            f"  {'sparsesharemem':<14s} {where:>6s} {seconds * 1e3:10.3f} {seconds / copy_s:9.2f} {seconds / x_s:8.2f}"
        )
        record.add(
            table="sparsesharemem",
            n=n,
            dtype=args.dtype,
            qubits=where,
            seconds=seconds,
            copy_ratio=seconds / copy_s,
            ratio=seconds / x_s,
        )

    print(f"\n  {'table':<14s} {'k':>3s} {'kind':>14s} {'active':>6s} {'ms':>10s} {'time/X':>8s}")
    dense_chunk = None
    for k in (2, 4, 7):
        gates = random_gates(spread(n, k), GROUP_GATES, rng)
        plans = (
            ("DenseMM", vorlent.prepare_fusion_chunk_gates(n, gates, densemm_gate_threshold_scale=0)),
            ("SparseShareMem", vorlent.prepare_fusion_chunk_gates(n, gates, densemm_max_qubits=k - 1)),
        )
        for kind, chunk in plans:
            active = one_group(chunk, kind)
            if active is None:
                continue
            if kind == "DenseMM" and k == 7:
                dense_chunk = chunk
            seconds = best_of(lambda: vorlent.execute_prepared_fusion_chunk(state, chunk), trials, warm_up=True)
            print(f"  {'forced':<14s} {k:3d} {kind:>14s} {len(active):6d} {seconds * 1e3:10.3f} {seconds / x_s:8.2f}")
            record.add(
                table="forced",
                n=n,
                dtype=args.dtype,
                k=k,
                kind=kind,
                active=len(active),
                seconds=seconds,
                ratio=seconds / x_s,
            )

    print(f"\n  {'table':<14s} {'qubits':>6s} {'n':>3s} {'padded ms':>10s} {'unpadded ms':>11s} {'pad/unpad':>9s}")
    for pad_n in args.pad_n:
        pad_state = vorlent.DeviceState.zero_state(pad_n, args.dtype, args.device)
        for where, qubits in (("low", list(range(4))), ("high", list(range(pad_n - 4, pad_n)))):
            gates = random_gates(qubits, GROUP_GATES, rng)
            times = []
            for pad in (True, False):
                chunk = vorlent.prepare_fusion_chunk_gates(pad_n, gates, densemm_max_qubits=3, pad_sparsesharemem=pad)
                if one_group(chunk, "SparseShareMem") is None:
                    break
                times.append(
                    best_of(lambda: vorlent.execute_prepared_fusion_chunk(pad_state, chunk), trials, warm_up=True)
                )
            if len(times) < 2:
                continue
            padded, unpadded = times
            print(
                f"  {'padding':<14s} {where:>6s} {pad_n:3d} {padded * 1e3:10.3f} {unpadded * 1e3:11.3f} "
                f"{padded / unpadded:9.2f}"
            )
            record.add(
                table="padding",
                n=pad_n,
                dtype=args.dtype,
                qubits=where,
                padded_seconds=padded,
                unpadded_seconds=unpadded,
                ratio=padded / unpadded,
            )
        del pad_state

    source, used = memory_probe()
    print(f"\ndevice memory in use ({source}), DenseMM at k=7 on n={n}:")
    if dense_chunk is None:
        print("  skipped: no DenseMM chunk was planned")
        return
    readings = {}
    vorlent.release_fusion_cache()
    readings["before DenseMM"] = used() if used else None
    vorlent.execute_prepared_fusion_chunk(state, dense_chunk)
    readings["after DenseMM"] = used() if used else None
    vorlent.release_fusion_cache()
    readings["after release"] = used() if used else None
    before = readings["before DenseMM"]
    for step, value in readings.items():
        if value is None:
            print(f"  {step:<15s} n/a")
        else:
            print(f"  {step:<15s} {value / 2**20:10.1f} MiB  ({(value - before) / 2**20:+.1f} MiB)")
        record.add(table="memory", n=n, dtype=args.dtype, step=step, source=source, bytes=value)


if __name__ == "__main__":
    main()
