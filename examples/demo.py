"""A small tour of the quillmarch GPU back end.

Runs on a GPU build or on the host (CPU emulation) build alike.
"""

import os

import numpy as np

import kestamire
import vorlent


def gate(name, targets, controls=(), control_state=None, parameter=()):
    return {
        "id": name,
        "target": list(targets),
        "control": list(controls),
        "control_state": [1] * len(controls) if control_state is None else list(control_state),
        "parameter": list(parameter),
    }


def show_probabilities(title, amplitudes, n):
    print(title)
    for index, p in enumerate(np.abs(amplitudes) ** 2):
        if p > 1e-12:
            print(f"  |{index:0{n}b}>  {p:.6f}")


def state_vectors():
    print(f"vorlent backend: {vorlent.backend}")

    # A state round trip through device memory.
    amplitudes = (np.arange(8) + 1j).astype(np.complex128)
    amplitudes /= np.linalg.norm(amplitudes)
    state = vorlent.DeviceState.from_numpy(3, amplitudes)
    print(f"DeviceState: n={state.n}, num_state={state.num_state}, dtype={state.dtype}, device={state.device_id}")
    assert np.array_equal(state.to_numpy(), amplitudes)

    # A GHZ state: H on qubit 0, then CNOTs fanning out from it.
    n = 4
    ghz = vorlent.DeviceState.zero_state(n)
    vorlent.run_circuit_device(ghz, [gate("h", [0])] + [gate("cx", [q], [0]) for q in range(1, n)])
    show_probabilities("GHZ state probabilities:", ghz.to_numpy(), n)

    # Sampling it: 1000 shots from one probability pass, seeded.
    counts, last = vorlent.sample_measure_device(ghz, list(range(n)), 1000, seed=7, collapse_last=False)
    print(f"GHZ sampled 1000 times: {dict(sorted(counts.items()))} (last shot {last})")

    # A random circuit of rotations, controlled gates and a two-qubit unitary.
    rng = np.random.default_rng(2026)
    n = 5
    gates = []
    for _ in range(30):
        q = int(rng.integers(n))
        name = str(rng.choice(["rx", "ry", "rz", "h", "cx", "cp", "swap"]))
        if name in ("rx", "ry", "rz"):
            gates.append(gate(name, [q], parameter=[float(rng.uniform(0, 2 * np.pi))]))
        elif name == "h":
            gates.append(gate(name, [q]))
        elif name == "swap":
            gates.append(gate(name, [q, (q + 1) % n]))
        else:
            c = (q + 2) % n
            gates.append(gate(name, [q], [c], parameter=[0.7] if name == "cp" else []))
    z = rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4))
    unitary, _ = np.linalg.qr(z)
    gates.append({**gate("unitary", [0, 3]), "matrix": unitary})
    start = np.zeros(1 << n, dtype=np.complex64)
    start[0] = 1
    result = vorlent.run_circuit(n, start, gates, mode=vorlent.PairAuto)
    top = np.argsort(-(np.abs(result) ** 2))[:4]
    print("Random 5-qubit circuit, largest amplitudes:")
    for index in top:
        print(f"  |{index:0{n}b}>  {result[index]:.4f}")
    print(f"  norm {np.linalg.norm(result):.6f}; measuring qubits [0, 1] gives", vorlent.measure(n, result, [0, 1]))

    # The same circuit with gate fusion: planned into groups applied in one pass each.
    fused = vorlent.run_circuit(n, start.copy(), gates[:-1], mode=vorlent.PairAutoFusion)
    per_gate = vorlent.run_circuit(n, start.copy(), gates[:-1], mode=vorlent.PairAuto)
    print(f"PairAutoFusion against PairAuto: largest difference {np.abs(fused - per_gate).max():.1e}")

    # Plan once, run many times: a prepared chunk of a layered circuit, applied three times.
    class QuantumGate:
        def __init__(self, g):
            self.id, self.target, self.control = g["id"], g["target"], g["control"]
            self.control_state, self.parameter, self.matrix = g["control_state"], g["parameter"], g.get("matrix")

    n = 10
    layer = [gate("ry", [q], parameter=[0.3 + 0.05 * q]) for q in range(n)]
    layer += [gate("cz", [q + 1], [q]) for q in range(n - 1)]
    chunk = vorlent.prepare_fusion_chunk_gates(n, [QuantumGate(g) for g in layer * 4])
    kinds = [g["kind"] for g in chunk.groups]
    print(
        f"prepared chunk: {chunk.gate_count} gates in {len(kinds)} groups "
        f"({', '.join(f'{kinds.count(k)} {k}' for k in sorted(set(kinds)))})"
    )
    reused = vorlent.DeviceState.zero_state(n, "complex64")
    for _ in range(3):
        vorlent.execute_prepared_fusion_chunk(reused, chunk)
    reference = vorlent.DeviceState.zero_state(n, "complex64")
    vorlent.run_circuit_device(reference, layer * 12)
    print(
        f"  executed 3 times; largest difference to the 12 layers run gate by gate: "
        f"{np.abs(reused.to_numpy() - reference.to_numpy()).max():.1e}"
    )


def density_matrices():
    print(f"\nkestamire backend: {kestamire.backend}")

    class Gate:
        def __init__(self, name, targets, controls=(), parameter=None):
            self.id, self.target, self.control = name, list(targets), list(controls)
            self.control_state = [1] * len(controls)
            self.parameter = parameter
            self.has_stored_matrix = False

    class Noise:
        operation_kind = "kraus"

        def __init__(self, channel_name, target, matrices):
            self.channel_name, self.target, self.kraus_matrices = channel_name, [target], np.array(matrices)

    # A Bell pair, then depolarizing noise on qubit 0 and amplitude damping on qubit 1.
    p, gamma = 0.2, 0.3
    i2, x, y, zz = np.eye(2), np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])
    depolarizing = [np.sqrt(1 - 3 * p / 4) * i2, np.sqrt(p / 4) * x, np.sqrt(p / 4) * y, np.sqrt(p / 4) * zz]
    damping = [np.array([[1, 0], [0, np.sqrt(1 - gamma)]]), np.array([[0, np.sqrt(gamma)], [0, 0]])]
    rho = kestamire.DeviceDensityState.zero_state(2)
    kestamire.run_density_operations_device(rho, 2, [Gate("h", [0]), Gate("cx", [1], [0])])
    print(f"Bell pair purity: {np.trace(rho.to_numpy() @ rho.to_numpy()).real:.6f}")
    kestamire.run_density_operations_device(
        rho, 2, [Noise("depolarizing", 0, depolarizing), Noise("amplitude_damping", 1, damping)]
    )
    matrix = rho.to_numpy()
    print(f"after depolarizing({p}) and amplitude damping({gamma}): purity {np.trace(matrix @ matrix).real:.6f}")
    print("  diagonal (|00>, |01>, |10>, |11>):", np.round(matrix.diagonal().real, 6))
    outcomes = {}
    for seed in range(200):
        outcome = kestamire.measure_device(rho.copy(), [1, 0], seed=seed)
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
    print(f"  200 seeded measurements of qubits [1, 0]: {dict(sorted(outcomes.items()))}")

    # A noisy 8-qubit circuit: rotations each followed by depolarizing noise, then a CNOT chain. With
    # QUILLMARCH_DENSITY_FUSION on, runs of one-qubit operations are grouped into shared-memory passes.
    n = 8
    circuit = []
    for layer in range(2):
        for q in range(n):
            circuit += [Gate("ry", [q], parameter=[0.4 + 0.1 * q + layer]), Noise("depolarizing", q, depolarizing)]
        circuit += [Gate("cx", [q + 1], [q]) for q in range(n - 1)]
    saved = os.environ.get("QUILLMARCH_DENSITY_FUSION")
    results = {}
    for switch in ("0", "1"):
        os.environ["QUILLMARCH_DENSITY_FUSION"] = switch
        rho = kestamire.DeviceDensityState.zero_state(n)
        kestamire.run_density_operations_device(rho, n, circuit)
        results[switch] = rho.to_numpy()
        purity = np.trace(results[switch] @ results[switch]).real
        print(
            f"noisy {n}-qubit circuit, {len(circuit)} operations, fusion {'on ' if switch == '1' else 'off'}: "
            f"purity {purity:.6f}"
        )
    if saved is None:
        del os.environ["QUILLMARCH_DENSITY_FUSION"]
    else:
        os.environ["QUILLMARCH_DENSITY_FUSION"] = saved
    print(f"  largest difference between the two matrices: {np.abs(results['0'] - results['1']).max():.1e}")


if __name__ == "__main__":
    state_vectors()
    density_matrices()
