"""Slow, independent NumPy reference for density-matrix operations.

Operators are built as full 2**n x 2**n matrices (bit j of a local index is the
j-th target; controls as projectors) and applied as rho -> C rho C^dagger.
"""

import numpy as np

R = 0.7071067811865475


def _rz(t):
    return np.diag([np.exp(-0.5j * t), np.exp(0.5j * t)])


def _rx(t):
    c, s = np.cos(t / 2), np.sin(t / 2)
    return np.array([[c, -1j * s], [-1j * s, c]])


def named_matrix(name, params=()):
    """The matrix a (normalised) density operation name stands for."""
    aliases = {
        prefix + base: base for base in ("x", "y", "z", "h", "s", "p", "rx", "ry", "rz") for prefix in ("c", "mc")
    }
    aliases |= {"cnot": "x", "gphase": "gp", "global_phase": "gp", "xyarb": "rxy"}
    name = aliases.get(name, name)
    a, b = 0.7071067811865476, 0.7071067811865475
    fixed = {
        "x": [[0, 1], [1, 0]],
        "y": [[0, -1j], [1j, 0]],
        "z": [[1, 0], [0, -1]],
        "-z": [[-1, 0], [0, 1]],
        "h": [[R, R], [R, -R]],
        "s": [[1, 0], [0, 1j]],
        "s_dag": [[1, 0], [0, -1j]],
        "t": [[1, 0], [0, a + b * 1j]],
        "t_dag": [[1, 0], [0, a - b * 1j]],
        "sqrtx": [[0.5 + 0.5j, 0.5 - 0.5j], [0.5 - 0.5j, 0.5 + 0.5j]],
        "sqrtx_dag": [[0.5 - 0.5j, 0.5 + 0.5j], [0.5 + 0.5j, 0.5 - 0.5j]],
        "sqrty": [[0.5 + 0.5j, -0.5 - 0.5j], [0.5 + 0.5j, 0.5 + 0.5j]],
        "sqrty_dag": [[0.5 - 0.5j, 0.5 - 0.5j], [-0.5 + 0.5j, 0.5 - 0.5j]],
        "x2p": [[R, -1j * R], [-1j * R, R]],
        "x2m": [[R, 1j * R], [1j * R, R]],
        "y2p": [[R, -R], [R, R]],
        "y2m": [[R, R], [-R, R]],
        "swap": [[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]],
    }
    if name in fixed:
        return np.array(fixed[name], dtype=np.complex128)
    if name == "rx":
        return _rx(params[0])
    if name == "ry":
        c, s = np.cos(params[0] / 2), np.sin(params[0] / 2)
        return np.array([[c, -s], [s, c]], dtype=np.complex128)
    if name == "rz":
        return _rz(params[0])
    if name == "p":
        return np.diag([1, np.exp(1j * params[0])])
    if name == "gp":
        return np.exp(1j * params[0]) * np.eye(2)
    if name == "u":
        th, ph, la = params
        c, s = np.cos(th / 2), np.sin(th / 2)
        return np.array([[c, -np.exp(1j * la) * s], [np.exp(1j * ph) * s, np.exp(1j * (ph + la)) * c]])
    if name == "rxy":
        phi, theta = params
        return _rz(phi) @ _rx(theta) @ _rz(-phi)
    raise KeyError(name)


def full_operator(n, matrix, targets, controls=(), control_states=()):
    """2**n x 2**n operator: `matrix` on `targets` where the controls hold, identity elsewhere."""
    dim = 1 << n
    matrix = np.asarray(matrix, dtype=np.complex128)
    k = len(targets)
    op = np.zeros((dim, dim), dtype=np.complex128)
    for col in range(dim):
        if any(((col >> c) & 1) != v for c, v in zip(controls, control_states, strict=False)):
            op[col, col] = 1
            continue
        local_col = sum(((col >> targets[j]) & 1) << j for j in range(k))
        base = col & ~sum(1 << t for t in targets)
        for local_row in range(1 << k):
            row = base | sum(((local_row >> j) & 1) << targets[j] for j in range(k))
            op[row, col] += matrix[local_row, local_col]
    return op


def apply_unitary(rho, n, matrix, targets, controls=(), control_states=()):
    c = full_operator(n, matrix, targets, controls, control_states)
    return c @ rho @ c.conj().T


def apply_kraus(rho, n, matrices, targets):
    out = np.zeros_like(rho, dtype=np.complex128)
    for k in matrices:
        op = full_operator(n, k, targets)
        out += op @ rho @ op.conj().T
    return out


CHANNELS = ["bit_flip", "phase_flip", "depolarizing", "amplitude_damping", "phase_damping"]


def channel_kraus(name, p):
    """Standard Kraus matrices of the built-in channels (K1 carries the parameter)."""
    i2 = np.eye(2)
    x = np.array([[0, 1], [1, 0]])
    y = np.array([[0, -1j], [1j, 0]])
    z = np.diag([1, -1])
    if name == "bit_flip":
        return [np.sqrt(1 - p) * i2, np.sqrt(p) * x]
    if name == "phase_flip":
        return [np.sqrt(1 - p) * i2, np.sqrt(p) * z]
    if name == "depolarizing":
        return [np.sqrt(1 - 3 * p / 4) * i2, np.sqrt(p / 4) * x, np.sqrt(p / 4) * y, np.sqrt(p / 4) * z]
    if name == "amplitude_damping":
        return [np.array([[1, 0], [0, np.sqrt(1 - p)]]), np.array([[0, np.sqrt(p)], [0, 0]])]
    if name == "phase_damping":
        return [np.sqrt(1 - p) * i2, np.sqrt(p) * np.diag([1, 0]), np.sqrt(p) * np.diag([0, 1])]
    raise KeyError(name)


def random_density(rng, n, rank=None):
    dim = 1 << n
    rank = rank or dim
    a = rng.normal(size=(dim, rank)) + 1j * rng.normal(size=(dim, rank))
    rho = a @ a.conj().T
    return rho / np.trace(rho).real


def random_unitary(rng, dim):
    z = rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


def apply_operators(rho, n, matrices, targets, controls=(), control_states=()):
    """Sum over M in `matrices` of C rho C^dagger, C = M on `targets` where the controls hold (identity elsewhere),
    applied block by block instead of through 2**n x 2**n products; for larger n."""
    dim = 1 << n
    k = len(targets)
    index = np.arange(dim)
    held = np.ones(dim, dtype=bool)
    for c, v in zip(controls, control_states, strict=False):
        held &= ((index >> c) & 1) == v
    target_bits = sum(1 << t for t in targets)
    bases = index[((index & target_bits) == 0) & held]
    offsets = np.array([sum(((s >> j) & 1) << targets[j] for j in range(k)) for s in range(1 << k)])
    blocks = bases[:, None] | offsets[None, :]  # rows (or columns) of each target block

    def left(m, a):
        out = a.copy()
        out[blocks] = np.einsum("st,btc->bsc", m, a[blocks])
        return out

    out = np.zeros_like(rho, dtype=np.complex128)
    for m in matrices:
        m = np.asarray(m, dtype=np.complex128)
        out += left(m, left(m, rho).conj().T).conj().T
    return out
