"""The fusion planner's grouping rule against a plain Python planner written from
the rule: scan the pending gates into per-qubit clusters, refuse gates that
overflow a cluster or touch a qubit a refused gate holds, stop at the first gate
that cannot be fused, then take whole clusters, largest first."""

import numpy as np
import pytest

import sv_reference as ref
from gate_helpers import FUSION_ONE_QUBIT as ANGLES, QuantumGate
from planner_model import take_clusters

import vorlent


def has_matrix(g):
    """Whether the gate stands for a 2x2 matrix the planner can record."""
    if len(g.target) != 1:
        return False
    if g.id == "unitary":
        return np.asarray(g.matrix).shape == (2, 2)
    return g.id in ANGLES and len(g.parameter or []) == ANGLES[g.id]


def fusable(g, fuse_swap):
    if len(g.control) != len(g.control_state) or any(s not in (0, 1) for s in g.control_state):
        return False
    qubits = list(g.control) + list(g.target)
    if len(set(qubits)) != len(qubits):
        return False
    if g.id == "swap":
        return fuse_swap and len(g.target) == 2
    return has_matrix(g)


def reference_groups(n, gates, limit, window, fuse_swap):
    """(gate indices, unpadded active qubits) per group, in plan order."""
    touched = [sorted(set(g.target) | set(g.control)) for g in gates]
    pending = list(range(len(gates)))
    groups = []
    while pending:
        masks = [0] * n
        sets = [set() for _ in range(n)]
        blocked = set()
        for g in pending[: max(window, 0)]:
            if not fusable(gates[g], fuse_swap):
                break
            qubits = touched[g]
            if any(q < 0 or q >= n or q in blocked for q in qubits):
                blocked |= {q for q in qubits if 0 <= q < n}
                continue
            m, s = 0, {g}
            for q in qubits:
                m |= masks[q] | (1 << q)
                s |= sets[q]
            if bin(m).count("1") > limit:
                blocked |= set(qubits)
                continue
            for q in qubits:
                masks[q], sets[q] = m, set(s)
        chosen = take_clusters(n, masks, sets, limit)
        members = sorted(chosen) or [pending[0]]
        pending = [g for g in pending if g not in set(members)]
        groups.append((members, sorted({q for g in members for q in touched[g]})))
    return groups


def random_gates(rng, n, count):
    """One-qubit gates with and without controls, SWAPs, global phases, UNITARYs of
    one and two targets, gates naming a qubit outside the state, wrong angle counts
    and control lists the per-gate path refuses."""
    gates = []
    for _ in range(count):
        roll = rng.random()
        qubits = [int(q) for q in rng.permutation(n)]
        k = int(rng.integers(0, min(n - 1, 2) + 1)) if rng.random() < 0.5 else 0
        controls, states = qubits[1 : 1 + k], [int(s) for s in rng.integers(0, 2, k)]
        if roll < 0.08 and n >= 2:
            gates.append(QuantumGate("swap", qubits[:2], qubits[2 : 2 + k], states[: len(qubits[2 : 2 + k])], None))
        elif roll < 0.11:
            gates.append(QuantumGate("gp", [], controls, states, [0.3]))
        elif roll < 0.17:
            t = 2 if n >= 2 and rng.random() < 0.3 else 1
            gates.append(QuantumGate("unitary", qubits[:t], [], [], None, ref.random_unitary(rng, 1 << t)))
        elif roll < 0.2:
            gates.append(QuantumGate("h", [n + int(rng.integers(0, 3))], controls, states, None))
        elif roll < 0.22:
            gates.append(QuantumGate("rx", qubits[:1], controls, states, []))
        elif roll < 0.24 and k:
            gates.append(QuantumGate("x", qubits[:1], controls, [2] * k, None))
        else:
            name = str(rng.choice(list(ANGLES)))
            gates.append(
                QuantumGate(name, qubits[:1], controls, states, [float(a) for a in rng.uniform(-3, 3, ANGLES[name])])
            )
    return gates


CASES = {
    "10 qubits, window 512": (12, 10, 512, True),
    "3 qubits, window 512": (7, 3, 512, True),
    "2 qubits, window 5": (6, 2, 5, True),
    "4 qubits, no SWAP fusion": (9, 4, 64, False),
    "1 qubit, window 1": (4, 1, 1, True),
    "no scan": (5, 10, 0, True),
    "5 qubits on 20": (20, 5, 100, True),
}


@pytest.mark.parametrize("n, limit, window, fuse_swap", CASES.values(), ids=CASES.keys())
def test_groups_follow_the_rule(n, limit, window, fuse_swap):
    rng = np.random.default_rng(n * 100 + limit + window)
    for depth in (1, 2, 17, 150):
        gates = random_gates(rng, n, depth)
        # DenseMM and padding off: every group of several gates is SparseShareMem
        # on exactly the qubits its gates touch.
        chunk = vorlent.prepare_fusion_chunk_gates(
            n,
            gates,
            fuse_swap=fuse_swap,
            sparsesharemem_qubits=limit,
            densemm_min_qubits=2,
            densemm_max_qubits=1,
            max_gates_per_group=window,
            pad_sparsesharemem=False,
        )
        got = [(g["gate_indices"], g["active_qubits"]) for g in chunk.groups]
        assert got == reference_groups(n, gates, limit, window, fuse_swap)
        for g in chunk.groups:
            assert g["kind"] == ("AutoPair" if len(g["gate_indices"]) == 1 else "SparseShareMem")
        # The strategy and padding never change which gates go together.
        default = vorlent.prepare_fusion_chunk_gates(
            n, gates, fuse_swap=fuse_swap, sparsesharemem_qubits=limit, max_gates_per_group=window
        )
        assert [g["gate_indices"] for g in default.groups] == [members for members, _ in got]
