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

    QUILLMARCH_BUILD_DIR=build/host python3 bench/bench_host.py [--n 20] [--depth 20] [--dm-n 10] [--dm-layers 4]
"""

import argparse
import os
import platform
import sys

import numpy as np

if os.environ.get("QUILLMARCH_BUILD_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["QUILLMARCH_BUILD_DIR"]))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))  # shared helpers

from bench_timing import best_of  # noqa: E402
import kestamire  # noqa: E402
import vorlent  # noqa: E402
from density_objects import Gate, KrausOp  # noqa: E402
from dm_reference import channel_kraus  # noqa: E402

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


if __name__ == "__main__":
    main()
