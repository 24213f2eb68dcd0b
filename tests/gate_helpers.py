"""Gate-list helpers shared by the state-vector gate tests."""

import functools

import numpy as np

import sv_reference as ref
import vorlent

MODES = [vorlent.AllState, vorlent.Pair, vorlent.PairAuto]

# Every one-qubit gate name the gate table accepts, with its angle count.
ONE_QUBIT_NAMES = {
    "x": 0,
    "cx": 0,
    "mcx": 0,
    "y": 0,
    "cy": 0,
    "mcy": 0,
    "z": 0,
    "cz": 0,
    "mcz": 0,
    "h": 0,
    "ch": 0,
    "mch": 0,
    "s": 0,
    "cs": 0,
    "mcs": 0,
    "s_dag": 0,
    "sqrtx": 0,
    "sx": 0,
    "sqrtx_dag": 0,
    "sxdg": 0,
    "sqrty": 0,
    "sqrty_dag": 0,
    "rx": 1,
    "crx": 1,
    "mcrx": 1,
    "ry": 1,
    "cry": 1,
    "mcry": 1,
    "rz": 1,
    "crz": 1,
    "mcrz": 1,
    "phase": 1,
    "p": 1,
    "cp": 1,
    "mcp": 1,
    "t": 0,
    "ct": 0,
    "mct": 0,
    "t_dag": 0,
    "u": 3,
    "u1": 3,
    "u2": 3,
    "u3": 3,
}


# The one-qubit gates under their own names (no controlled forms, no aliases), in table order.
BASE_ONE_QUBIT = {
    name: ONE_QUBIT_NAMES[name]
    for name in "x y z h s s_dag sqrtx sqrtx_dag sqrty sqrty_dag rx ry rz phase t t_dag u".split()
}
# Those the fusion tests draw from.
FUSION_ONE_QUBIT = {name: angles for name, angles in BASE_ONE_QUBIT.items() if name not in ("t", "t_dag")}


class QuantumGate:
    """The attribute form of a gate, as the front end hands it over (read by run_circuit_device_gates)."""

    def __init__(self, id, target, control=(), control_state=(), parameter=None, matrix=None):
        self.id = id
        self.target = target
        self.control = control
        self.control_state = control_state
        self.parameter = parameter
        self.matrix = matrix


def gate(name, target, control=(), control_state=(), parameter=(), matrix=None):
    """A gate dictionary. `target` is one qubit, or a list, tuple or range of them; any other object
    (a NumPy integer, a hostile stand-in) is taken as the one target as it is."""
    targets = list(target) if isinstance(target, (list, tuple, range)) else [target]
    g = {
        "id": name,
        "target": targets,
        "control": list(control),
        "control_state": list(control_state),
        "parameter": list(parameter),
    }
    if matrix is not None:
        g["matrix"] = np.asarray(matrix)
    return g


def run(binding, n, state, gates, mode, endian="little"):
    """Applies `gates` to a copy of `state` through one of the three bindings."""
    state = np.array(state)
    if binding == "run_circuit":
        out = vorlent.run_circuit(n, state, gates, endian=endian, mode=mode)
        assert out is state
        return out
    ds = vorlent.DeviceState.from_numpy(n, state)
    if binding == "device":
        vorlent.run_circuit_device(ds, gates, endian=endian, mode=mode)
    else:
        vorlent.run_circuit_device_gates(ds, [QuantumGate(**g) for g in gates], endian=endian, mode=mode)
    return ds.to_numpy()


def bits(a):
    """Raw bytes of an array, for bit-for-bit comparisons."""
    return np.ascontiguousarray(a).view(np.uint8)


def random_gate(rng, n, name):
    target = int(rng.integers(n))
    others = [q for q in range(n) if q != target]
    k = int(rng.integers(0, min(len(others), 3) + 1))
    controls = [int(q) for q in rng.permutation(others)[:k]]
    states = [int(v) for v in rng.integers(0, 2, size=k)]
    params = [float(a) for a in rng.uniform(-2 * np.pi, 2 * np.pi, size=ONE_QUBIT_NAMES[name])]
    return gate(name, target, controls, states, params)


@functools.cache
def random_case(n):
    """A seeded circuit holding every one-qubit name once plus ten repeats, in
    random order with random controls, and a random start state."""
    rng = np.random.default_rng(1000 + n)
    names = list(ONE_QUBIT_NAMES) + list(rng.choice(list(ONE_QUBIT_NAMES), size=10))
    rng.shuffle(names)
    gates = [random_gate(rng, n, str(name)) for name in names]
    state = ref.random_state(rng, n)
    return gates, state


def used_device_bytes(monkeypatch):
    """Bytes held on the emulated device, found by bisecting the memory limit with a 16-byte allocation."""
    lo, hi = 0, 1 << 44
    tiny = np.zeros(2, dtype=np.complex64)
    while lo < hi:
        mid = (lo + hi) // 2
        monkeypatch.setenv("HOSTCUDA_MEMORY_BYTES", str(mid + 16))
        try:
            vorlent.DeviceState.from_numpy(1, tiny)
            hi = mid
        except RuntimeError:
            lo = mid + 1
    return lo
