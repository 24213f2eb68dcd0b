"""SWAP, GLOBAL_PHASE and UNITARY against the NumPy reference, in every
per-gate kernel mode and both precisions, plus their input checks."""

import gc

import numpy as np
import pytest

import sv_reference as ref
from conftest import parametrize_table, tolerance
from gate_helpers import QuantumGate, gate, used_device_bytes

import vorlent

MODES = [vorlent.KernelMode.AllState, vorlent.KernelMode.Pair, vorlent.KernelMode.PairAuto]
MODE_IDS = ["AllState", "Pair", "PairAuto"]


def run(n, state, gates, mode):
    return vorlent.run_circuit(n, state.copy(), gates, mode=mode)


def assert_close(out, expected, dtype):
    np.testing.assert_allclose(out, expected, rtol=0, atol=tolerance(dtype))


def assert_rejected(n, dtype, gates, message, mode=vorlent.KernelMode.PairAuto):
    """The gate list fails with `message` and leaves the device state as it was."""
    rng = np.random.default_rng(99)
    before = ref.random_state(rng, n, dtype)
    dev = vorlent.DeviceState.from_numpy(n, before.copy())
    with pytest.raises(ValueError) as err:
        vorlent.run_circuit_device(dev, gates, mode=mode)
    assert str(err.value) == message
    np.testing.assert_array_equal(dev.to_numpy(), before)


# ---------------------------------------------------------------- SWAP

SWAP_CASES = [
    # (n, a, b, controls, control_state)
    (5, 1, 3, [], []),
    (5, 3, 1, [], []),
    (6, 0, 4, [], []),
    (6, 4, 0, [], []),
    (6, 0, 1, [], []),
    (6, 1, 0, [3], [1]),
    (6, 0, 5, [2], [0]),
    (7, 2, 5, [0], [0]),
    (7, 6, 2, [0, 4], [1, 0]),
    (6, 3, 0, [1, 2, 4, 5], [1, 0, 0, 1]),  # k = n - 2: one group left
    (6, 2, 4, [0, 1, 3, 5], [0, 1, 1, 0]),
    (10, 7, 0, [9, 3], [1, 1]),
    (10, 8, 2, [], []),
]


@pytest.mark.parametrize("mode", MODES, ids=MODE_IDS)
@parametrize_table("n,a,b,controls,cstate", SWAP_CASES)
def test_swap_matches_reference(dtype, mode, n, a, b, controls, cstate):
    rng = np.random.default_rng(n * 100 + a * 10 + b)
    state = ref.random_state(rng, n, dtype)
    g = gate("swap", [a, b], controls, cstate)
    assert_close(run(n, state, [g], mode), ref.apply_gate(state, n, g), dtype)


@pytest.mark.parametrize("mode", MODES, ids=MODE_IDS)
def test_swap_moves_basis_states(mode):
    n, a, b = 4, 0, 2
    for index in range(1 << n):
        state = np.zeros(1 << n, dtype=np.complex128)
        state[index] = 1
        bit_a, bit_b = (index >> a) & 1, (index >> b) & 1
        moved = index ^ ((1 << a) | (1 << b)) if bit_a != bit_b else index
        for targets in ([a, b], [b, a]):
            out = run(n, state, [gate("swap", targets)], mode)
            assert out[moved] == 1 and np.count_nonzero(out) == 1


@pytest.mark.parametrize("mode", MODES, ids=MODE_IDS)
def test_swap_control_state_zero_acts_only_where_control_is_zero(dtype, mode):
    n, control = 5, 2
    rng = np.random.default_rng(7)
    state = ref.random_state(rng, n, dtype)
    out = run(n, state, [gate("swap", [0, 3], [control], [0])], mode)
    idx = np.arange(1 << n)
    held = ((idx >> control) & 1) == 1
    np.testing.assert_array_equal(out[held], state[held])
    assert_close(out, ref.apply_matrix(state, n, ref.SWAP, [0, 3], [control], [0]), dtype)


@pytest.mark.parametrize("mode", MODES, ids=MODE_IDS)
@parametrize_table(
    "targets,controls,cstate,message",
    [
        ([2, 2], [], [], "target qubit 2 is listed twice"),
        ([0, 0], [1], [1], "target qubit 0 is listed twice"),
        ([1, 4], [], [], "target qubit 4 is out of range for 4 qubits"),
        ([-1, 2], [], [], "target qubit -1 is out of range for 4 qubits"),
        ([1, 2], [2], [1], "control qubit 2 is also a target"),
        ([1, 2], [3, 3], [1, 1], "control qubit 3 is listed twice"),
        ([1, 2], [4], [1], "control qubit 4 is out of range for 4 qubits"),
        ([1, 2], [63], [1], "control qubit index must be in [0, 62]"),
        ([1, 1], [0], [2], "control_state must contain only 0/1"),
        ([1, 2], [0], [], "controls.size() != control_state.size()"),
        ([1], [], [], "SWAP gate requires exactly two parameters."),
    ],
)
def test_swap_rejects_bad_qubits(dtype, mode, targets, controls, cstate, message):
    assert_rejected(4, dtype, [gate("swap", targets, controls, cstate)], message, mode)


# ---------------------------------------------------------- GLOBAL_PHASE


@pytest.mark.parametrize("name", ["gp", "global_phase", "gphase"])
def test_global_phase_pi_negates_every_amplitude(dtype, name):
    n = 6
    state = ref.random_state(np.random.default_rng(3), n, dtype)
    outs = [run(n, state, [gate(name, [], parameter=[np.pi])], mode) for mode in MODES]
    for out in outs:
        assert_close(out, -state, dtype)
        np.testing.assert_array_equal(out, outs[0])


def test_global_phase_with_one_control_is_z(dtype):
    n, control = 5, 3
    state = ref.random_state(np.random.default_rng(4), n, dtype)
    z = [[1, 0], [0, -1]]
    expected = ref.apply_matrix(state, n, z, [control])
    for mode in MODES:
        out = run(n, state, [gate("gp", [], [control], [1], [np.pi])], mode)
        assert_close(out, expected, dtype)
        assert_close(out, run(n, state, [gate("unitary", [control], matrix=z)], mode), dtype)


@parametrize_table(
    "n,controls,cstate,theta",
    [
        (1, [], [], 0.3),
        (4, [], [], -2.1),
        (6, [0], [0], 1.2),
        (7, [6, 1, 3], [1, 0, 1], 2.9),
        (5, [0, 1, 2, 3, 4], [1] * 5, 0.8),
    ],
)
def test_global_phase_matches_reference_and_is_the_same_in_every_mode(dtype, n, controls, cstate, theta):
    state = ref.random_state(np.random.default_rng(n), n, dtype)
    g = gate("gp", [], controls, cstate, [theta])
    outs = [run(n, state, [g], mode) for mode in MODES]
    assert_close(outs[0], ref.apply_gate(state, n, g), dtype)
    for out in outs[1:]:
        np.testing.assert_array_equal(out, outs[0])


@parametrize_table(
    "controls,cstate,message",
    [
        ([4], [1], "control qubit 4 is out of range for 4 qubits"),
        ([1, 1], [0, 1], "control qubit 1 is listed twice"),
        ([-2], [1], "control qubit index must be in [0, 62]"),
        ([0], [3], "control_state must contain only 0/1"),
        ([0, 1], [1], "controls.size() != control_state.size()"),
    ],
)
def test_global_phase_rejects_bad_controls(dtype, controls, cstate, message):
    assert_rejected(4, dtype, [gate("gp", [], controls, cstate, [0.5])], message)


# -------------------------------------------------------------- UNITARY


def random_layout(rng, n, k, num_controls):
    qubits = [int(q) for q in rng.permutation(n)]
    targets, controls = qubits[:k], qubits[k : k + num_controls]
    return targets, controls, [int(v) for v in rng.integers(0, 2, num_controls)]


@pytest.mark.parametrize("mode", MODES, ids=MODE_IDS)
@pytest.mark.parametrize("k", [1, 2, 3, 4, 5, 6, 7])
def test_unitary_random_matches_reference(dtype, mode, k):
    rng = np.random.default_rng(1000 + k)
    n = 9 if k == 7 else 8
    cases = [random_layout(rng, n, k, nc) for nc in (0, 1, 2)]
    if k <= 2:
        # Qubit 0 as first and as second target (the AutoPair target-0 forms).
        others = [int(q) for q in rng.permutation(np.arange(1, n))]
        cases += [([0] + others[: k - 1], others[k : k + 1], [0]), (others[: k - 1] + [0], [], [])]
        if k == 2:
            cases.append(([others[0], 0], others[1:3], [1, 0]))
    for targets, controls, cstate in cases:
        state = ref.random_state(rng, n, dtype)
        matrix = ref.random_unitary(rng, 1 << k)
        g = gate("unitary", targets, controls, cstate, matrix=matrix)
        expected = ref.apply_gate(state, n, g)
        assert_close(run(n, state, [g], mode), expected, dtype)
        dev = vorlent.DeviceState.from_numpy(n, state.copy())
        obj = QuantumGate("unitary", list(targets), list(controls), list(cstate), None, matrix)
        vorlent.run_circuit_device_gates(dev, [obj], mode=mode)
        assert_close(dev.to_numpy(), expected, dtype)


@pytest.mark.parametrize("mode", MODES, ids=MODE_IDS)
@parametrize_table(
    "n,target,controls,cstate",
    [(1, 0, [], []), (5, 0, [], []), (5, 3, [], []), (5, 0, [2], [0]), (5, 4, [1, 0], [0, 1])],
)
def test_unitary_x_matrix_equals_x(dtype, mode, n, target, controls, cstate):
    state = ref.random_state(np.random.default_rng(11), n, dtype)
    as_x = run(n, state, [gate("x", [target], controls, cstate)], mode)
    as_unitary = run(n, state, [gate("unitary", [target], controls, cstate, matrix=[[0, 1], [1, 0]])], mode)
    np.testing.assert_array_equal(as_unitary, as_x)
    assert_close(as_unitary, ref.apply_matrix(state, n, ref.FIXED["x"], [target], controls, cstate), dtype)


@pytest.mark.parametrize("mode", MODES, ids=MODE_IDS)
@parametrize_table("pair", [(1, 0), (3, 2), (0, 4)])
def test_unitary_two_targets_order_is_matrix_bit_order(dtype, mode, pair):
    n = 5
    rng = np.random.default_rng(21)
    state = ref.random_state(rng, n, dtype)
    m = ref.random_unitary(rng, 4)
    # Exchanging the two matrix bits: index 1 <-> 2.
    perm = [0, 2, 1, 3]
    m_swapped = m[np.ix_(perm, perm)]
    first, second = pair
    forward = run(n, state, [gate("unitary", [first, second], matrix=m)], mode)
    backward = run(n, state, [gate("unitary", [second, first], matrix=m)], mode)
    assert_close(backward, run(n, state, [gate("unitary", [first, second], matrix=m_swapped)], mode), dtype)
    assert np.abs(forward - backward).max() > 1e-3
    assert_close(forward, ref.apply_matrix(state, n, m, [first, second]), dtype)


def permutation_matrix(perm):
    dim = len(perm)
    m = np.zeros((dim, dim))
    m[perm, np.arange(dim)] = 1  # column c goes to row perm[c]
    return m


@pytest.mark.parametrize("mode", MODES, ids=MODE_IDS)
@pytest.mark.parametrize("k", [3, 4, 5, 6])
def test_unitary_permutation_moves_amplitudes(dtype, mode, k):
    n = 8
    rng = np.random.default_rng(300 + k)
    targets = [int(q) for q in rng.permutation(n)[:k]]
    perm = rng.permutation(1 << k)
    state = ref.random_state(rng, n, dtype)
    out = run(n, state, [gate("unitary", targets, matrix=permutation_matrix(perm))], mode)
    expected = np.empty_like(state)
    for i in range(1 << n):
        c = sum(((i >> t) & 1) << b for b, t in enumerate(targets))
        rest = i & ~sum(1 << t for t in targets)
        r = perm[c]
        expected[rest | sum(((r >> b) & 1) << t for b, t in enumerate(targets))] = state[i]
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("mode", MODES, ids=MODE_IDS)
def test_unitary_six_targets_with_controls_keeps_the_rest(dtype, mode):
    n = 9
    rng = np.random.default_rng(61)
    targets = [4, 0, 7, 2, 5, 1]
    controls, cstate = [8, 3], [1, 0]
    state = ref.random_state(rng, n, dtype)
    m = ref.random_unitary(rng, 64)
    out = run(n, state, [gate("unitary", targets, controls, cstate, matrix=m)], mode)
    idx = np.arange(1 << n)
    inside = (((idx >> 8) & 1) == 1) & (((idx >> 3) & 1) == 0)
    np.testing.assert_array_equal(out[~inside], state[~inside])
    assert_close(out, ref.apply_matrix(state, n, m, targets, controls, cstate), dtype)


@pytest.mark.parametrize("mode", MODES, ids=MODE_IDS)
@pytest.mark.parametrize("k", [1, 2, 3, 6])
def test_unitary_float_state_gets_the_matrix_rounded_to_float(dtype, mode, k):
    # m00 = 1 + 2**-30 rounds to 1.0 in float. Against a1 = -1 with m01 = 1,
    # the first row cancels to 0 when rounded and to 2**-30 when not.
    n = max(k, 2)
    targets = list(range(k))
    m = np.eye(1 << k, dtype=np.complex128)
    m[0, 0] = 1 + 2.0**-30
    m[0, 1] = 1
    state = np.zeros(1 << n, dtype=dtype)
    state[0], state[1] = 1, -1
    out = run(n, state, [gate("unitary", targets, matrix=m)], mode)
    expected = 0.0 if dtype == "complex64" else 2.0**-30
    assert out[0] == expected
    assert out[1] == -1


def unitary_error(n, dtype, targets, controls=(), cstate=(), dim=None, via_objects=False):
    dim = (1 << len(targets)) if dim is None else dim
    matrix = np.eye(dim, dtype=np.complex128)
    rng = np.random.default_rng(5)
    before = ref.random_state(rng, n, dtype)
    dev = vorlent.DeviceState.from_numpy(n, before.copy())
    with pytest.raises(ValueError) as err:
        if via_objects:
            obj = QuantumGate("unitary", list(targets), list(controls), list(cstate), None, matrix)
            vorlent.run_circuit_device_gates(dev, [obj])
        else:
            vorlent.run_circuit_device(dev, [gate("unitary", targets, controls, cstate, matrix=matrix)])
    np.testing.assert_array_equal(dev.to_numpy(), before)
    return str(err.value)


@pytest.mark.parametrize("via_objects", [False, True], ids=["dicts", "objects"])
@parametrize_table(
    "targets,controls,cstate,dim,message",
    [
        ([], [], [], 1, "UNITARY gate requires at least one target."),
        ([0], [], [], 4, "UNITARY matrix dimension must be 2**num_targets."),
        ([63], [], [], None, "target qubit index must be in [0, 62]"),
        ([1, -1], [], [], None, "target qubit index must be in [0, 62]"),
        # The control checks come before the target range.
        ([63], [0], [2], None, "control_state must contain only 0/1"),
        ([63], [70], [1], None, "control qubit index must be in [0, 62]"),
        ([63], [0, 1], [1], None, "controls.size() != control_state.size()"),
        ([2, 2], [], [], None, "target qubit 2 is listed twice"),
        ([0, 3, 0], [], [], None, "target qubit 0 is listed twice"),
        ([1, 5], [], [], None, "target qubit 5 is out of range for 5 qubits"),
        ([0, 1, 2], [1], [1], None, "control qubit 1 is also a target"),
        ([3], [4, 5], [1, 1], None, "control qubit 5 is out of range for 5 qubits"),
        ([0, 1, 2, 3, 4, 5], [], [], None, "target qubit 5 is out of range for 5 qubits"),
    ],
)
def test_unitary_rejects_bad_input(dtype, via_objects, targets, controls, cstate, dim, message):
    assert unitary_error(5, dtype, targets, controls, cstate, dim, via_objects) == message


def test_unitary_matrix_that_is_not_dim_by_dim_stops_in_the_parser(dtype):
    """The launcher's own "UNITARY matrix size mismatch." cannot be reached
    from Python: both parsers store exactly dim * dim entries of a square
    array. The nearest inputs fail in the parser instead."""
    n = 3
    state = ref.random_state(np.random.default_rng(8), n, dtype)
    for matrix in ([[1, 0, 0], [0, 1, 0]], [1, 0, 0, 1], np.zeros((0, 0))):
        with pytest.raises(ValueError) as err:
            vorlent.run_circuit(n, state.copy(), [gate("unitary", [0], matrix=matrix)])
        assert str(err.value) == "unitary matrix must be a non-empty square 2-D array."
    pytest.skip("launcher size check only reachable from native callers")


@pytest.mark.host_only
@pytest.mark.parametrize("k", [3, 6, 7, 8])
def test_unitary_failed_allocation_frees_what_it_took(dtype, monkeypatch, k):
    # Device bytes of one call: the matrix, plus targets and sorted targets for
    # 3 to 5 targets; 6 or more stage each group in shared memory, so nothing
    # state-sized: the state and the matrix are the whole need. One byte short
    # fails on the last allocation; the exact amount then succeeds only if the
    # failed call gave everything back.
    gc.collect()
    n = max(7, k + 2)
    elem = np.dtype(dtype).itemsize
    rng = np.random.default_rng(70 + k)
    state = ref.random_state(rng, n, dtype)
    matrix = ref.random_unitary(rng, 1 << k)
    g = gate("unitary", list(range(1, k + 1)), [0], [1], matrix=matrix)
    dev = vorlent.DeviceState.from_numpy(n, state.copy())
    need = (1 << n) * elem + (1 << 2 * k) * elem + (2 * k * 8 if k <= 5 else 0)
    monkeypatch.setenv("HOSTCUDA_MEMORY_BYTES", str(need - 1))
    with pytest.raises(RuntimeError) as err:
        vorlent.run_circuit_device(dev, [g])
    assert str(err.value) == "CUDA error: out of memory"
    np.testing.assert_array_equal(dev.to_numpy(), state)
    monkeypatch.setenv("HOSTCUDA_MEMORY_BYTES", str(need))
    vorlent.run_circuit_device(dev, [g])
    assert_close(dev.to_numpy(), ref.apply_gate(state, n, g), dtype)


def kron_unitary(rng, k):
    """A dense 2**k unitary built from random 6- and fewer-qubit factors, cheap
    to draw where a full random one of that size is not."""
    m = np.ones((1, 1))
    while k > 0:
        step = min(k, 6)
        m = np.kron(m, ref.random_unitary(rng, 1 << step))
        k -= step
    return m


def wide_case(seed, n, k, nc, dtype):
    """Random targets, controls and control values, a random state and a random 2**k unitary."""
    rng = np.random.default_rng(seed)
    qubits = [int(q) for q in rng.permutation(n)]
    targets, controls = qubits[:k], qubits[k : k + nc]
    cstate = [int(b) for b in rng.integers(0, 2, nc)]
    return targets, controls, cstate, ref.random_state(rng, n, dtype), kron_unitary(rng, k)


# (k, n, number of controls). k = 12 is at the shared-memory bound for
# complex64 (32 KiB) and past it for complex128 (64 KiB: bounded scratch).
MANY_TARGET_CASES = [(6, 9, 0), (6, 10, 2), (7, 10, 1), (8, 11, 0), (8, 12, 3), (12, 14, 1)]


@parametrize_table("k,n,nc", MANY_TARGET_CASES)
def test_unitary_many_targets_in_place(dtype, k, n, nc):
    targets, controls, cstate, state, matrix = wide_case(800 + 10 * k + nc, n, k, nc, dtype)
    g = gate("unitary", targets, controls, cstate, matrix=matrix)
    dev = vorlent.DeviceState.from_numpy(n, state.copy())
    vorlent.run_circuit_device(dev, [g])
    out = dev.to_numpy()
    idx = np.arange(1 << n)
    inside = np.ones(1 << n, dtype=bool)
    for c, v in zip(controls, cstate, strict=False):
        inside &= ((idx >> c) & 1) == v
    np.testing.assert_array_equal(out[~inside], state[~inside])
    assert_close(out, ref.apply_matrix(state, n, matrix, targets, controls, cstate), dtype)


def traced_lines(tmp_path, monkeypatch, fn, *args):
    path = tmp_path / "trace.txt"
    path.unlink(missing_ok=True)
    monkeypatch.setenv("HOSTCUDA_TRACE", str(path))
    fn(*args)
    monkeypatch.delenv("HOSTCUDA_TRACE")
    return [line.split() for line in path.read_text().splitlines()] if path.exists() else []


@pytest.mark.host_only
@parametrize_table("k,n,nc", [(7, 9, 0), (7, 10, 2), (8, 10, 1), (8, 11, 0), (10, 11, 0), (10, 12, 1)])
def test_unitary_wide_runs_as_one_gemm_or_staged_without_room(dtype, tmp_path, monkeypatch, k, n, nc):
    """Seven or more targets: gather, one GEMM of m = 2**k over the controlled subspace, scatter; with no room
    for the two scratch buffers, the staged kernel gives the same state."""
    targets, controls, cstate, state, matrix = wide_case(900 + 10 * k + nc, n, k, nc, dtype)
    g = gate("unitary", targets, controls, cstate, matrix=matrix)
    expected = ref.apply_matrix(state, n, matrix, targets, controls, cstate)
    suffix = "<float>" if dtype == "complex64" else "<double>"
    routine = "cublasCgemm" if dtype == "complex64" else "cublasZgemm"

    vorlent.release_fusion_cache()
    dev = vorlent.DeviceState.from_numpy(n, state.copy())
    lines = traced_lines(tmp_path, monkeypatch, vorlent.run_circuit_device, dev, [g])
    columns = 1 << (n - nc - k)
    assert [line[0] for line in lines] == [
        "transpose_to_low_bits" + suffix,
        routine,
        "transpose_from_low_bits" + suffix,
    ]
    assert lines[1][1:] == [f"m={1 << k}", f"n={columns}", f"k={1 << k}"]
    assert_close(dev.to_numpy(), expected, dtype)

    # Room for the state, the matrix and one scratch buffer, not two.
    vorlent.release_fusion_cache()
    dev = vorlent.DeviceState.from_numpy(n, state.copy())
    elem = np.dtype(dtype).itemsize
    scratch = (1 << (n - nc)) * elem
    room = used_device_bytes(monkeypatch) + (1 << 2 * k) * elem + scratch + scratch // 2
    monkeypatch.setenv("HOSTCUDA_MEMORY_BYTES", str(room))
    lines = traced_lines(tmp_path, monkeypatch, vorlent.run_circuit_device, dev, [g])
    assert [line[0] for line in lines] == ["cu_unitary_staged_kernel" + suffix]
    monkeypatch.delenv("HOSTCUDA_MEMORY_BYTES")
    assert_close(dev.to_numpy(), expected, dtype)
