"""What the host backend costs beside plain NumPy, on a random circuit and a noisy density list.

State vector: the same random circuit (each layer a random one-qubit gate on every qubit, then CX on neighbouring
pairs from alternating offsets) runs in vorlent in PairAuto and PairAutoFusion mode and in a NumPy baseline that
makes one vectorised pass per gate (the two halves of the target axis combined elementwise, controls selected by
slicing). Density: a list of layers of one-qubit rotations, each followed by a depolarizing channel on its qubit,
then CX on neighbours, run by kestamire (QUILLMARCH_DENSITY_FUSION off and on) and by a NumPy baseline of one pass
per operation and side (rows, then columns).

Each figure is the best of --repeat runs; "ratio" is the row's time over the NumPy row's. The vorlent rows upload
the initial state, run and download the result, so they include the copies; the results are compared with the
NumPy result (max |difference|). A mode this build does not provide ("not available") is listed as skipped.

Standard circuits (--standard N...): QFT, QPE (n-1 counting qubits), a hardware-efficient VQE ansatz (4 layers
of RY, RZ and a CX ladder), QAOA on a ring (p = 2) and the random circuit, each at every N and in both precisions.
Rows: vorlent PairAuto and PairAutoFusion (`run_circuit_device` on a state already on the device, planning
included), a prepared chunk (`execute_prepared_fusion_chunk`, planned once, untimed) and, where `qiskit_aer` is
importable, Aer's statevector method with and without its fusion (a transpiled circuit, only the run timed). The
simulators take turns within each of --repeat rounds (interleaved, so a load spike hits all of them) and the best
time counts; "ratio" is over PairAuto's time. The last line per precision is the geometric mean of PairAutoFusion
over PairAuto and, with Aer, over Aer's best.

    QUILLMARCH_BUILD_DIR=build/host python3 bench/bench_host.py [--n 20] [--depth 20] [--dm-n 10] [--dm-layers 4]
    QUILLMARCH_BUILD_DIR=build/host python3 bench/bench_host.py --n 0 --dm-n 0 --standard 16 18 20
"""

import argparse
import math
import os
import platform
import sys
import time

import numpy as np

if os.environ.get("QUILLMARCH_BUILD_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["QUILLMARCH_BUILD_DIR"]))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))  # shared helpers

from bench_timing import best_of  # noqa: E402
import kestamire  # noqa: E402
import vorlent  # noqa: E402
from density_objects import Gate, KrausOp  # noqa: E402
from dm_reference import channel_kraus  # noqa: E402
from gate_helpers import QuantumGate  # noqa: E402

R2 = 1 / np.sqrt(2)
FIXED = {
    "h": np.array([[R2, R2], [R2, -R2]]),
    "x": np.array([[0, 1], [1, 0]]),
    "y": np.array([[0, -1j], [1j, 0]]),
    "z": np.diag([1, -1]),
    "s": np.diag([1, 1j]),
}


def rotation(name, t):
    c, s = np.cos(t / 2), np.sin(t / 2)
    if name == "rx":
        return np.array([[c, -1j * s], [-1j * s, c]])
    if name == "ry":
        return np.array([[c, -s], [s, c]])
    return np.diag([np.exp(-0.5j * t), np.exp(0.5j * t)])


def random_circuit(rng, n, depth):
    """[(id, target, control, parameters, 2x2 matrix)] of a layered random circuit."""
    names = list(FIXED) + ["rx", "ry", "rz"]
    gates = []
    for layer in range(depth):
        for q in range(n):
            name = names[rng.integers(len(names))]
            if name in FIXED:
                gates.append((name, q, None, [], FIXED[name]))
            else:
                t = float(rng.uniform(0, 2 * np.pi))
                gates.append((name, q, None, [t], rotation(name, t)))
        for q in range(layer % 2, n - 1, 2):
            gates.append(("cx", q + 1, q, [], FIXED["x"]))
    return gates


def gate_ir(gates):
    return [
        {
            "id": g,
            "target": [t],
            "control": [] if c is None else [c],
            "control_state": [] if c is None else [1],
            "parameter": p,
        }
        for g, t, c, p, _ in gates
    ]


def axis(n, q):
    return n - 1 - q  # qubit q is bit q of an index: the last axis of the (2,)*n view


def numpy_pass(psi, n, m, target, control):
    """One vectorised pass of a 2x2 gate on the (2,)*n view `psi`, in place."""
    view = psi
    if control is not None:
        index = [slice(None)] * n
        index[axis(n, control)] = 1
        view = psi[tuple(index)]
    ax = axis(n, target) - (1 if control is not None and axis(n, control) < axis(n, target) else 0)
    moved = np.moveaxis(view, ax, 0)
    a0, a1 = moved[0].copy(), moved[1]
    moved[0] = m[0, 0] * a0 + m[0, 1] * a1
    moved[1] = m[1, 0] * a0 + m[1, 1] * a1


def numpy_circuit(state, n, gates):
    psi = state.reshape((2,) * n)
    for _, t, c, _, m in gates:
        numpy_pass(psi, n, m.astype(state.dtype), t, c)
    return state


def best(action, repeat):
    """Least time of `repeat` runs of `action`, and what its last run returned."""
    results = []
    return best_of(lambda: results.append(action()), repeat), results[-1]


def row(label, seconds, base, detail=""):
    print(f"  {label:34s} {seconds * 1e3:10.1f} ms {seconds / base:8.2f}  {detail}")


def backend_row(label, action, repeat, base, expected):
    """Times `action` and prints its row, or a skipped row when the backend is not available."""
    try:
        seconds, got = best(action, repeat)
    except RuntimeError as error:
        if "not available" not in str(error):
            raise
        print(f"  {label:34s} skipped: {error}")
        return
    row(label, seconds, base, f"max|diff|={np.max(np.abs(got - expected)):.1e}")


def state_vector(args, rng):
    n, dtype = args.n, args.dtype
    gates = random_circuit(rng, n, args.depth)
    start = (rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)).astype(dtype)
    start /= np.linalg.norm(start)
    print(f"\nstate vector: n={n} depth={args.depth} {dtype}, {len(gates)} gates")
    base, expected = best(lambda: numpy_circuit(start.copy(), n, gates), args.repeat)
    row("numpy (one pass per gate)", base, base)
    ir = gate_ir(gates)
    for mode in (vorlent.PairAuto, vorlent.PairAutoFusion):
        backend_row(
            f"vorlent {mode.name}",
            lambda: vorlent.run_circuit(n, start.copy(), ir, device=args.device, mode=mode),
            args.repeat,
            base,
            expected,
        )


def noisy_list(rng, n, layers, p):
    """(operation objects, [(matrices, target, control)]) of the same noisy circuit."""
    ops, plain = [], []
    kraus = channel_kraus("depolarizing", p)
    for layer in range(layers):
        for q in range(n):
            name = ("rx", "ry", "rz")[rng.integers(3)]
            t = float(rng.uniform(0, 2 * np.pi))
            ops += [Gate(name, [q], parameter=[t]), KrausOp([q], kraus, "depolarizing")]
            plain += [([rotation(name, t)], q, None), (kraus, q, None)]
        for q in range(layer % 2, n - 1, 2):
            ops.append(Gate("cx", [q + 1], [q], [1]))
            plain.append(([FIXED["x"]], q + 1, q))
    return ops, plain


def numpy_density(rho, n, plain):
    """One pass per operation: rho <- sum_k K rho K^dagger on the (2,)*2n view (rows, then columns)."""
    for matrices, t, c in plain:
        psi = rho.reshape((2,) * (2 * n))
        if len(matrices) == 1:
            m = matrices[0].astype(rho.dtype)
            numpy_pass(psi, 2 * n, m, t + n, None if c is None else c + n)  # rows: bits n..2n-1 of the flat index
            numpy_pass(psi, 2 * n, m.conj(), t, c)  # columns
        else:
            out = np.zeros_like(rho)
            for k in matrices:
                term = rho.copy()
                view = term.reshape((2,) * (2 * n))
                numpy_pass(view, 2 * n, k.astype(rho.dtype), t + n, None)
                numpy_pass(view, 2 * n, k.conj().astype(rho.dtype), t, None)
                out += term
            rho[...] = out
    return rho


def density(args, rng):
    n, dtype = args.dm_n, args.dtype
    ops, plain = noisy_list(rng, n, args.dm_layers, 0.05)
    print(f"\ndensity: n={n} {args.dm_layers} noisy layers {dtype}, {len(ops)} operations")
    start = np.zeros((1 << n, 1 << n), dtype=dtype)
    start[0, 0] = 1
    base, expected = best(lambda: numpy_density(start.copy(), n, plain), args.repeat)
    row("numpy (one pass per operation)", base, base)
    for fusion in ("0", "1"):
        os.environ["QUILLMARCH_DENSITY_FUSION"] = fusion

        def run():
            state = kestamire.DeviceDensityState.from_numpy(n, start, args.device)
            kestamire.run_density_operations_device(state, n, ops)
            return state.to_numpy()

        backend_row(f"kestamire fusion={fusion}", run, args.repeat, base, expected)
    os.environ.pop("QUILLMARCH_DENSITY_FUSION", None)


def op(name, target, control=None, parameter=()):
    return {
        "id": name,
        "target": [target],
        "control": [] if control is None else [control],
        "control_state": [] if control is None else [1],
        "parameter": list(parameter),
    }


def qft_ops(qubits, inverse=False):
    """QFT on `qubits` (controlled phases, then the reversing swaps), or its inverse."""
    ops = []
    m = len(qubits)
    for j in range(m):
        ops.append(op("h", qubits[j]))
        for k in range(j + 1, m):
            ops.append(op("cp", qubits[j], qubits[k], [math.pi / 2 ** (k - j)]))
    for j in range(m // 2):
        ops.append(
            {
                "id": "swap",
                "target": [qubits[j], qubits[m - 1 - j]],
                "control": [],
                "control_state": [],
                "parameter": [],
            }
        )
    if inverse:
        ops = [dict(o, parameter=[-p for p in o["parameter"]]) for o in reversed(ops)]
    return ops


def standard_circuits(n, rng):
    """{name: gate_ir list} of the standard benchmark circuits on n qubits."""
    circuits = {"qft": qft_ops(list(range(n)))}
    counting, eigen = list(range(n - 1)), n - 1
    theta = 2 * math.pi * 0.3728
    qpe = [op("x", eigen)] + [op("h", q) for q in counting]
    qpe += [op("cp", eigen, q, [theta * 2**q]) for q in counting]
    circuits["qpe"] = qpe + qft_ops(counting, inverse=True)
    vqe = []
    for _ in range(4):
        vqe += [op("ry", q, None, [rng.uniform(0, 2 * math.pi)]) for q in range(n)]
        vqe += [op("rz", q, None, [rng.uniform(0, 2 * math.pi)]) for q in range(n)]
        vqe += [op("cx", q + 1, q) for q in range(n - 1)]
    circuits["vqe"] = vqe
    qaoa = [op("h", q) for q in range(n)]
    for _ in range(2):
        gamma, beta = rng.uniform(0, math.pi), rng.uniform(0, math.pi)
        for q in range(n):
            a, b = q, (q + 1) % n
            qaoa += [op("cx", b, a), op("rz", b, None, [2 * gamma]), op("cx", b, a)]
        qaoa += [op("rx", q, None, [2 * beta]) for q in range(n)]
    circuits["qaoa"] = qaoa
    circuits["random"] = gate_ir(random_circuit(rng, n, 20))
    return circuits


def aer_runner(n, ir, dtype, fusion):
    """A callable that runs the circuit with Aer's statevector method, or None without qiskit_aer."""
    try:
        from qiskit import QuantumCircuit, transpile
        from qiskit_aer import AerSimulator
    except ImportError:
        return None
    qc = QuantumCircuit(n)
    for g in ir:
        t, c, p = g["target"], g["control"], g["parameter"]
        name = g["id"]
        if name == "swap":
            qc.swap(*t)
        elif name == "cp":
            qc.cp(p[0], c[0], t[0])
        elif c:
            qc.cx(c[0], t[0])
        else:
            getattr(qc, name)(*p, t[0])
    qc.save_statevector()
    precision = "single" if dtype == "complex64" else "double"
    sim = AerSimulator(method="statevector", precision=precision, fusion_enable=fusion)
    compiled = transpile(qc, sim, optimization_level=0)
    return lambda: sim.run(compiled).result()


def standard(args, rng):
    for dtype in ("complex64", "complex128"):
        fused_over_pairauto, fused_over_aer = [], []
        print(f"\nstandard circuits {dtype}")
        print(f"  {'circuit':8s} {'n':>3s} {'row':26s} {'time':>13s} {'ratio':>8s}")
        for n in args.standard:
            for name, ir in standard_circuits(n, rng).items():
                state = vorlent.DeviceState.zero_state(n, dtype)
                chunk = vorlent.prepare_fusion_chunk_gates(
                    n, [QuantumGate(g["id"], g["target"], g["control"], g["control_state"], g["parameter"]) for g in ir]
                )
                runners = {
                    "PairAuto": lambda: vorlent.run_circuit_device(state, ir, mode=vorlent.PairAuto),
                    "PairAutoFusion": lambda: vorlent.run_circuit_device(state, ir, mode=vorlent.PairAutoFusion),
                    "chunk": lambda: vorlent.execute_prepared_fusion_chunk(state, chunk),
                }
                for fusion in (True, False):
                    aer = aer_runner(n, ir, dtype, fusion)
                    if aer is not None:
                        runners[f"aer fusion={'on' if fusion else 'off'}"] = aer
                times = {label: math.inf for label in runners}
                for _ in range(args.repeat):
                    for label, run in runners.items():
                        start = time.perf_counter()
                        run()
                        # A per-gate call may return with work queued; an empty chunk waits for it.
                        vorlent.execute_prepared_fusion_chunk(state, empty_chunk(n))
                        times[label] = min(times[label], time.perf_counter() - start)
                for label, seconds in times.items():
                    print(f"  {name:8s} {n:3d} {label:26s} {seconds * 1e3:10.1f} ms {seconds / times['PairAuto']:8.2f}")
                fused_over_pairauto.append(times["PairAutoFusion"] / times["PairAuto"])
                aer_times = [t for label, t in times.items() if label.startswith("aer")]
                if aer_times:
                    fused_over_aer.append(times["PairAutoFusion"] / min(aer_times))
        mean = math.exp(sum(map(math.log, fused_over_pairauto)) / len(fused_over_pairauto))
        line = f"  geometric mean {dtype}: PairAutoFusion / PairAuto {mean:.2f}"
        if fused_over_aer:
            line += (
                f", PairAutoFusion / Aer best {math.exp(sum(map(math.log, fused_over_aer)) / len(fused_over_aer)):.2f}"
            )
        print(line)


_empty_chunks = {}


def empty_chunk(n):
    if n not in _empty_chunks:
        _empty_chunks[n] = vorlent.prepare_fusion_chunk_gates(n, [])
    return _empty_chunks[n]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=20, help="state-vector qubits")
    parser.add_argument("--depth", type=int, default=20, help="random circuit layers")
    parser.add_argument("--dm-n", type=int, default=10, help="density-matrix qubits (0: skip)")
    parser.add_argument("--dm-layers", type=int, default=4, help="noisy layers of the density list")
    parser.add_argument("--dtype", default="complex128", choices=["complex64", "complex128"])
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per row; the best counts")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--device", default="cuda:0")
    parser.add_argument("--standard", type=int, nargs="*", default=[], help="qubit counts of the standard circuits")
    args = parser.parse_args()
    print(
        f"# backends: vorlent={vorlent.backend} kestamire={kestamire.backend}; "
        f"host={platform.machine()} cpus={os.cpu_count()} HOSTCUDA_THREADS={os.environ.get('HOSTCUDA_THREADS', '-')}"
    )
    print(f"  {'row':34s} {'time':>13s} {'ratio':>8s}")
    rng = np.random.default_rng(args.seed)
    if args.n > 0:
        state_vector(args, rng)
    if args.dm_n > 0:
        density(args, rng)
    if args.standard:
        standard(args, rng)


if __name__ == "__main__":
    main()
