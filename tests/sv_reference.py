"""Slow, independent NumPy reference for state-vector gates.

Matrices are written out from the gate definitions; controls are applied by
selecting the amplitudes whose control bits hold. Qubit q is bit q of an index.
"""

import numpy as np

R2 = 1 / np.sqrt(2)

FIXED = {
    "x": [[0, 1], [1, 0]],
    "y": [[0, -1j], [1j, 0]],
    "z": [[1, 0], [0, -1]],
    "h": [[R2, R2], [R2, -R2]],
    "s": [[1, 0], [0, 1j]],
    "s_dag": [[1, 0], [0, -1j]],
    "sqrtx": [[0.5 + 0.5j, 0.5 - 0.5j], [0.5 - 0.5j, 0.5 + 0.5j]],
    "sqrtx_dag": [[0.5 - 0.5j, 0.5 + 0.5j], [0.5 + 0.5j, 0.5 - 0.5j]],
    "sqrty": [[0.5 + 0.5j, -0.5 - 0.5j], [0.5 + 0.5j, 0.5 + 0.5j]],
    "sqrty_dag": [[0.5 - 0.5j, 0.5 - 0.5j], [-0.5 + 0.5j, 0.5 - 0.5j]],
}


def rx(t):
    c, s = np.cos(t / 2), np.sin(t / 2)
    return np.array([[c, -1j * s], [-1j * s, c]])


def ry(t):
    c, s = np.cos(t / 2), np.sin(t / 2)
    return np.array([[c, -s], [s, c]])


def rz(t):
    return np.diag([np.exp(-0.5j * t), np.exp(0.5j * t)])


def phase(t):
    return np.diag([1, np.exp(1j * t)])


def u(theta, phi, lam):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -np.exp(1j * lam) * s], [np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c]])


SWAP = np.array([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]])


def apply_matrix(state, n, matrix, targets, controls=(), control_state=()):
    """Applies `matrix` (bit b of its index = targets[b]) where the controls hold."""
    state = np.array(state, dtype=np.complex128)
    matrix = np.asarray(matrix, dtype=np.complex128)
    k = len(targets)
    out = state.copy()
    for base in range(1 << n):
        if any((base >> t) & 1 for t in targets):
            continue
        if any(((base >> c) & 1) != v for c, v in zip(controls, control_state, strict=False)):
            continue
        idx = [base | sum(((col >> b) & 1) << targets[b] for b in range(k)) for col in range(1 << k)]
        out[idx] = matrix @ state[idx]
    return out


def gate_matrix(name, params):
    """Matrix and target count of a gate given by one of its names."""
    if name in ("t", "ct", "mct"):
        return phase(np.pi / 4)
    if name == "t_dag":
        return phase(-np.pi / 4)
    aliases = {prefix + base: base for base in ("x", "y", "z", "h", "s") for prefix in ("c", "mc")}
    aliases |= {"sx": "sqrtx", "sxdg": "sqrtx_dag"}
    name = aliases.get(name, name)
    if name in FIXED:
        return np.array(FIXED[name])
    if name in ("rx", "crx", "mcrx"):
        return rx(params[0])
    if name in ("ry", "cry", "mcry"):
        return ry(params[0])
    if name in ("rz", "crz", "mcrz"):
        return rz(params[0])
    if name in ("phase", "p", "cp", "mcp"):
        return phase(params[0])
    if name in ("u", "u1", "u2", "u3"):
        return u(*params)
    if name == "swap":
        return SWAP
    raise KeyError(name)


def apply_gate(state, n, gate):
    """Applies one gate_ir dictionary to a reference state."""
    name, targets = gate["id"], list(gate["target"])
    controls, cstate = list(gate["control"]), list(gate["control_state"])
    params = list(gate.get("parameter") or [])
    if name in ("gp", "global_phase", "gphase"):
        out = np.array(state, dtype=np.complex128)
        for i in range(1 << n):
            if all(((i >> c) & 1) == v for c, v in zip(controls, cstate, strict=False)):
                out[i] *= np.exp(1j * params[0])
        return out
    if name == "unitary":
        return apply_matrix(state, n, gate["matrix"], targets, controls, cstate)
    matrix = gate_matrix(name, params)
    k = 2 if name == "swap" else 1
    return apply_matrix(state, n, matrix, targets[:k], controls, cstate)


def run(state, n, gates):
    for g in gates:
        state = apply_gate(state, n, g)
    return state


def random_state(rng, n, dtype=np.complex128, norm=1.0):
    """2**n random amplitudes of total norm `norm`; `rng` is a NumPy Generator or a seed for one."""
    rng = np.random.default_rng(rng)
    v = rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)
    return (v * (norm / np.linalg.norm(v))).astype(dtype)


def random_unitary(rng, dim):
    z = rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))
