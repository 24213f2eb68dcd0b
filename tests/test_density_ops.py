"""Density gate operations against the NumPy reference, and their input checks."""

import math

import numpy as np
import pytest

import kestamire
from conftest import show
from density_objects import Gate, Kraus, load
from dm_reference import apply_unitary, named_matrix, random_density, random_unitary

run = kestamire.run_density_operations_device

FIXED = [
    "x",
    "y",
    "z",
    "-z",
    "h",
    "s",
    "s_dag",
    "t",
    "t_dag",
    "sqrtx",
    "sqrtx_dag",
    "sqrty",
    "sqrty_dag",
    "x2p",
    "x2m",
    "y2p",
    "y2m",
    "cx",
    "cnot",
    "mcx",
    "cy",
    "mcy",
    "cz",
    "mcz",
    "ch",
    "mch",
    "cs",
    "mcs",
]
ONE_ANGLE = [
    "rx",
    "ry",
    "rz",
    "p",
    "gp",
    "crx",
    "mcrx",
    "cry",
    "mcry",
    "crz",
    "mcrz",
    "cp",
    "mcp",
    "gphase",
    "global_phase",
]
PARAMETER_COUNT = dict(
    [(name, 0) for name in FIXED]
    + [(name, 1) for name in ONE_ANGLE]
    + [("rxy", 2), ("xyarb", 2), ("u", 3), ("swap", 0)]
)


def tol(dtype, steps=1):
    return 1e-5 * max(1, steps) ** 0.5 if dtype == "complex64" else 1e-12 * max(1, steps)


def bits(array):
    return array.view(np.uint8).tobytes()


def random_controls(rng, n, targets, most):
    free = [q for q in range(n) if q not in targets]
    count = int(rng.integers(0, min(most, len(free)) + 1))
    controls = [int(q) for q in rng.permutation(free)[:count]]
    return controls, [int(v) for v in rng.integers(0, 2, size=count)]


def random_named_gate(rng, n):
    names = [name for name in PARAMETER_COUNT if n >= 2 or name != "swap"]
    name = names[int(rng.integers(len(names)))]
    k = 2 if name == "swap" else 1
    targets = [int(q) for q in rng.permutation(n)[:k]]
    controls, states = random_controls(rng, n, targets, 3)
    params = [float(v) for v in rng.uniform(-math.pi, math.pi, size=PARAMETER_COUNT[name])]
    # Gates without parameters take either form of "none".
    parameter = None if not params and rng.integers(2) else params
    return Gate(name, targets, controls, states, parameter), named_matrix(name, params), targets, controls, states


def check_run(n, dtype, ops, seed=0):
    """Runs `ops` given as (gate, matrix, targets, controls, states) on a random state against the reference."""
    state, expected = load(random_density(np.random.default_rng(seed), n), dtype)
    for _, matrix, targets, controls, states in ops:
        expected = apply_unitary(expected, n, matrix, targets, controls, states)
    run(state, n, [op[0] for op in ops])
    got = state.to_numpy()
    assert got.dtype == np.dtype(dtype)
    np.testing.assert_allclose(got, expected, rtol=0, atol=tol(dtype, len(ops)))


@pytest.mark.parametrize("n", range(1, 7))
def test_random_named_gates(n, dtype):
    rng = np.random.default_rng(100 + n)
    for trial in range(3):
        check_run(n, dtype, [random_named_gate(rng, n) for _ in range(12)], seed=trial)


@pytest.mark.parametrize("n", range(1, 7))
def test_random_stored_matrices(n, dtype):
    rng = np.random.default_rng(200 + n)
    ops = []
    for k in range(1, n + 1):
        targets = [int(q) for q in rng.permutation(n)[:k]]
        controls, states = random_controls(rng, n, targets, 2)
        u = random_unitary(rng, 1 << k)
        # A stored matrix overrides whatever the name says.
        name = ["unitary", "x", "swap", "gp", "rz", "unknown"][k - 1]
        ops.append((Gate(name, targets, controls, states, None, u), u, targets, controls, states))
    check_run(n, dtype, ops, seed=n)


def test_every_name_alone(dtype):
    n = 3
    rng = np.random.default_rng(7)
    for name, count in PARAMETER_COUNT.items():
        targets = [2, 0] if name == "swap" else [1]
        params = [float(v) for v in rng.uniform(-3, 3, size=count)]
        if name == "swap":
            control_sets = [([], []), ([1], [0]), ([1], [1])]
        else:
            control_sets = [([], []), ([2], [0]), ([0, 2], [1, 1])]
        for controls, states in control_sets:
            gate = Gate(name, targets, controls, states, params)
            check_run(n, dtype, [(gate, named_matrix(name, params), targets, controls, states)])


def test_diagonal_and_permutation_forms(dtype):
    n = 4
    ops = []
    for name, targets, controls, states, params in [
        ("z", [2], [], [], []),
        ("-z", [0], [3], [0], []),
        ("s", [1], [0, 2], [1, 0], []),
        ("s_dag", [3], [], [], []),
        ("t", [0], [1], [1], []),
        ("t_dag", [2], [0, 1, 3], [0, 1, 0], []),
        ("p", [3], [], [], [0.4]),
        ("mcp", [1], [2, 3], [1, 1], [-1.1]),
        ("rz", [0], [], [], [2.2]),
        ("mcrz", [2], [0, 1], [0, 1], [math.pi]),
        ("gphase", [1], [0], [0], [0.9]),
        ("x", [3], [], [], []),
        ("mcx", [0], [1, 2, 3], [1, 0, 1], []),
        ("swap", [3, 1], [], [], []),
        ("swap", [0, 2], [1, 3], [0, 1], []),
        ("cnot", [2], [3], [0], []),
    ]:
        ops.append(
            (Gate(name, targets, controls, states, params), named_matrix(name, params), targets, controls, states)
        )
    check_run(n, dtype, ops, seed=4)


def test_documented_cases(dtype):
    def after(n, rho, ops):
        state, _ = load(rho, dtype)
        run(state, n, ops)
        return state.to_numpy().astype(np.complex128)

    def projector(n, index):
        rho = np.zeros((1 << n, 1 << n), np.complex128)
        rho[index, index] = 1
        return rho

    t = tol(dtype)
    np.testing.assert_allclose(after(1, projector(1, 0), [Gate("h", [0])]), np.full((2, 2), 0.5), atol=t)
    np.testing.assert_array_equal(after(2, projector(2, 1), [Gate("cx", [1], [0], [1])]), projector(2, 3))
    np.testing.assert_array_equal(after(2, projector(2, 0), [Gate("x", [1], [0], [0])]), projector(2, 2))

    theta = 0.83
    plus = np.full((2, 2), 0.5, np.complex128)
    got = after(1, plus, [Gate("rz", [0], parameter=[theta])])
    expected = plus.copy()
    expected[1, 0] *= np.exp(1j * theta)
    expected[0, 1] *= np.exp(-1j * theta)
    np.testing.assert_allclose(got, expected, atol=t)

    rho = random_density(np.random.default_rng(9), 2)
    np.testing.assert_allclose(
        after(2, rho, [Gate("xyarb", [1], parameter=[0, theta])]),
        after(2, rho, [Gate("rx", [1], parameter=[theta])]),
        atol=t,
    )
    np.testing.assert_allclose(
        after(2, rho, [Gate("xyarb", [0], parameter=[math.pi / 2, theta])]),
        after(2, rho, [Gate("ry", [0], parameter=[theta])]),
        atol=t,
    )
    # "s" on the diagonal path does not read its parameters.
    np.testing.assert_allclose(
        after(2, rho, [Gate("s", [1], parameter=[1.0])]),
        apply_unitary(after(2, rho, []), 2, np.diag([1, 1j]), [1]),
        atol=t,
    )
    rho3 = load(random_density(np.random.default_rng(2), 3), dtype)[1]
    np.testing.assert_allclose(
        after(3, rho3, [Gate("mcrz", [0], [1, 2], [1, 1], [math.pi])]),
        apply_unitary(rho3, 3, np.diag([np.exp(-0.5j * math.pi), np.exp(0.5j * math.pi)]), [0], [1, 2], [1, 1]),
        atol=t,
    )
    # A global phase alone changes nothing, whatever its parameters.
    before = load(rho, dtype)[0].to_numpy()
    for name, parameter in (("gphase", [1.3]), ("gp", None), ("global_phase", [float("nan"), 2.0])):
        state, _ = load(rho, dtype)
        run(state, 2, [Gate(name, [0], parameter=parameter), Gate("gp", [0, 1], parameter=[0.1])])
        assert bits(state.to_numpy()) == bits(before)


@pytest.mark.parametrize("value", [None, "", "0", "00", "0yes", "1", "true"])
def test_fusion_switch_values_give_the_same_result(monkeypatch, value):
    if value is None:
        monkeypatch.delenv("QUILLMARCH_DENSITY_FUSION", raising=False)
    else:
        monkeypatch.setenv("QUILLMARCH_DENSITY_FUSION", value)
    for n in (3, 5, 6):
        rng = np.random.default_rng(300 + n)
        check_run(n, "complex128", [random_named_gate(rng, n) for _ in range(10)], seed=n)


MATRIX_2 = np.eye(2)

# (operation, n, message): every check of preparation, with the condition that triggers it.
PREPARATION_ERRORS = [
    (Gate("h", []), 2, "density operation requires at least one target"),
    (Gate("h", [], [0], []), 2, "density operation requires at least one target"),
    (Gate("x", [0], [1], []), 2, "controls and control_state sizes must match"),
    (Gate("x", [0, 0]), 2, "invalid or duplicate target qubit"),
    (Gate("x", [2]), 2, "invalid or duplicate target qubit"),
    (Gate("x", [-1]), 2, "invalid or duplicate target qubit"),
    (Gate("x", [0, 5], [9], [7]), 2, "invalid or duplicate target qubit"),
    (Gate("x", [0], [0], [1]), 2, "invalid, duplicate, or overlapping control qubit"),
    (Gate("x", [0], [1, 1], [1, 1]), 2, "invalid, duplicate, or overlapping control qubit"),
    (Gate("x", [0], [2], [1]), 2, "invalid, duplicate, or overlapping control qubit"),
    (Gate("x", [0], [-1], [1]), 2, "invalid, duplicate, or overlapping control qubit"),
    (Gate("x", [0], [3], [2]), 2, "invalid, duplicate, or overlapping control qubit"),
    (Gate("x", [0], [1], [2]), 2, "control_state must contain only 0 or 1"),
    (Gate("x", [0], [1, 2], [1, -1]), 3, "control_state must contain only 0 or 1"),
    (Gate("x", [0], [1, 2], [2, 1]), 3, "control_state must contain only 0 or 1"),
    (Gate("x", [0], [1, 5], [1, 2]), 3, "invalid, duplicate, or overlapping control qubit"),
    (Gate("h", list(range(7))), 7, "GPU density unitary supports at most 6 targets"),
    (Gate("unitary", list(range(7)), matrix=np.eye(128)), 7, "GPU density unitary supports at most 6 targets"),
    (Gate("x", [0], parameter=[0.1]), 1, "density operation 'x' requires no parameters"),
    (Gate("cx", [1], [0], [1], [0.1]), 2, "density operation 'cx' requires no parameters"),
    (Gate("swap", [0, 1], parameter=[0.0]), 2, "density operation 'swap' requires no parameters"),
    (Gate("u", [0], matrix=[[float("nan"), 0], [0, 1]]), 1, "unitary matrix must contain only finite values"),
    (Gate("u", [0, 1], matrix=np.full((3, 3), np.inf)), 2, "unitary matrix must contain only finite values"),
    (Gate("u", [0], matrix=np.eye(4)), 2, "unitary matrix size does not match targets"),
    (Gate("u", [0, 1], matrix=MATRIX_2), 2, "unitary matrix size does not match targets"),
    (Gate("u", [0], matrix=np.zeros((0, 0))), 1, "unitary matrix size does not match targets"),
    (Gate("rx", [0], parameter=[]), 1, "invalid parameter count for density operation 'rx'"),
    (Gate("crx", [0], [1], [1], [1.0, 2.0]), 2, "invalid parameter count for density operation 'crx'"),
    (Gate("rx", [0], parameter=None), 1, "invalid parameter count for density operation 'rx'"),
    (Gate("p", [0], parameter=[]), 1, "invalid parameter count for density operation 'p'"),
    (Gate("mcrz", [0], parameter=[1.0, 2.0]), 1, "invalid parameter count for density operation 'mcrz'"),
    (Gate("gphase", [0], [1], [1], []), 2, "invalid parameter count for density operation 'gphase'"),
    (Gate("h", [0], parameter=[0.1]), 1, "invalid parameter count for density operation 'h'"),
    (Gate("y2m", [0], parameter=[0.1]), 1, "invalid parameter count for density operation 'y2m'"),
    (Gate("xyarb", [0], parameter=[0.1]), 1, "invalid parameter count for density operation 'xyarb'"),
    (Gate("u", [0], parameter=[0.1, 0.2]), 1, "invalid parameter count for density operation 'u'"),
    (Gate("swap", [0], parameter=[0.1]), 2, "invalid parameter count for density operation 'swap'"),
    (Gate("rx", [0], parameter=[float("nan")]), 1, "density operation parameters must be finite"),
    (Gate("p", [0], parameter=[float("inf")]), 1, "density operation parameters must be finite"),
    (Gate("rz", [0], parameter=[-float("inf")]), 1, "density operation parameters must be finite"),
    (Gate("gp", [0], [1], [0], [float("nan")]), 2, "density operation parameters must be finite"),
    (Gate("u", [0], parameter=[0, float("nan"), 0]), 1, "density operation parameters must be finite"),
    (Gate("rx", [0], parameter=[float("nan"), 1.0]), 1, "invalid parameter count for density operation 'rx'"),
    (Gate("h", [0, 1]), 2, "named density operation requires one target"),
    (Gate("x", [0, 1]), 2, "named density operation requires one target"),
    (Gate("s", [0, 1]), 2, "named density operation requires one target"),
    (Gate("gp", [0, 1], [2], [1], [0.5]), 3, "named density operation requires one target"),
    (Gate("nonsense", [0, 1]), 2, "named density operation requires one target"),
    (Gate("swap", [0]), 2, "swap requires exactly two targets"),
    (Gate("swap", [0, 1, 2]), 3, "swap requires exactly two targets"),
    (Gate("nonsense", [0]), 1, "unsupported named density operation 'nonsense'"),
    (Gate("CX", [0]), 1, "unsupported named density operation 'CX'"),
    (Gate("unitary", [0]), 1, "unsupported named density operation 'unitary'"),
    (Kraus([], np.ones((1, 1, 1))), 2, "Kraus operation requires at least one target"),
    (Kraus([0, 0], np.ones((1, 4, 4))), 2, "invalid or duplicate Kraus target qubit"),
    (Kraus([2], np.ones((1, 2, 2))), 2, "invalid or duplicate Kraus target qubit"),
    (Kraus([-1], np.ones((1, 2, 2))), 2, "invalid or duplicate Kraus target qubit"),
    (Kraus([0], np.ones((1, 4, 4))), 2, "Kraus matrix dimension does not match targets"),
    (Kraus([0, 1], np.ones((2, 2, 2)), "depolarizing"), 2, "Kraus matrix dimension does not match targets"),
    (Kraus([0], [[[1, 0], [0, np.nan]]]), 1, "Kraus matrices must contain only finite values"),
    (
        Kraus([0], [[[1, 0], [0, 1]], [[0, 1j * np.inf], [0, 0]]], "bit_flip"),
        1,
        "Kraus matrices must contain only finite values",
    ),
    (Kraus([0, 1, 2, 3], np.eye(16)[None]), 4, "GPU density Kraus supports at most 3 targets"),
    (Kraus([3, 1, 0, 2], np.eye(16)[None], "depolarizing"), 4, "GPU density Kraus supports at most 3 targets"),
]


@pytest.mark.parametrize(
    "case", range(len(PREPARATION_ERRORS)), ids=[f"{show(op)} n={n}" for op, n, _ in PREPARATION_ERRORS]
)
def test_preparation_errors_leave_the_state_untouched(case, dtype):
    op, n, message = PREPARATION_ERRORS[case]
    state, _ = load(random_density(np.random.default_rng(case), n), dtype)
    before = state.to_numpy()
    # Two valid operations come first: nothing may be applied before the failure.
    with pytest.raises(RuntimeError) as info:
        run(
            state,
            n,
            [
                Gate("h", [0]),
                Gate("unitary", [n - 1], matrix=random_unitary(np.random.default_rng(1), 2)),
                op,
                Gate("x", [0]),
            ],
        )
    assert str(info.value) == message
    assert bits(state.to_numpy()) == bits(before)


PARSE_ERRORS = [
    (Kraus([0], np.eye(2)[None], kind="Kraus"), RuntimeError, "unsupported density operation kind 'Kraus'"),
    (Kraus([0], np.eye(2)[None], kind=b"unitary"), RuntimeError, "unsupported density operation kind 'unitary'"),
    (Kraus([0], np.eye(2)[None], kind=bytearray(b"KRAUS")), RuntimeError, "unsupported density operation kind 'KRAUS'"),
    (Kraus([0], np.eye(2)), RuntimeError, "Kraus matrices must have shape (count, dimension, dimension)"),
    (Kraus([0], np.ones((1, 2, 3))), RuntimeError, "Kraus matrices must have shape (count, dimension, dimension)"),
    (Kraus([0], np.ones((0, 2, 2))), RuntimeError, "Kraus matrices must have shape (count, dimension, dimension)"),
    (Kraus([0], np.ones((1, 0, 0))), RuntimeError, "Kraus matrices must have shape (count, dimension, dimension)"),
    (Kraus([0], np.ones((1, 1, 2, 2))), RuntimeError, "Kraus matrices must have shape (count, dimension, dimension)"),
    (Kraus([0], 1.0), RuntimeError, "Kraus matrices must have shape (count, dimension, dimension)"),
    (Gate("u", [0], matrix=np.ones((2, 3))), RuntimeError, "operation matrix must be square"),
    (Gate("u", [0], matrix=[1, 0, 0, 1]), RuntimeError, "operation matrix must be square"),
    (Gate("u", [0], matrix=np.ones((1, 2, 2))), RuntimeError, "operation matrix must be square"),
]


@pytest.mark.parametrize("case", range(len(PARSE_ERRORS)), ids=[show(op) for op, _, _ in PARSE_ERRORS])
def test_parse_errors(case):
    op, kind, message = PARSE_ERRORS[case]
    state = kestamire.DeviceDensityState.zero_state(1)
    with pytest.raises(kind) as info:
        run(state, 1, [Gate("x", [0]), op])
    assert str(info.value) == message
    assert bits(state.to_numpy()) == bits(kestamire.DeviceDensityState.zero_state(1).to_numpy())


def test_conversion_refusals_and_python_errors():
    state = kestamire.DeviceDensityState.zero_state(2)

    def refused(op, kind=RuntimeError, match="Unable to cast"):
        with pytest.raises(kind, match=match):
            run(state, 2, [Gate("x", [1]), op])

    refused(Gate("rx", [0], parameter=0.5))
    refused(Gate("rx", [0], parameter="0.5"))
    refused(Gate("rx", [0], parameter=b"\x01"))
    refused(Gate("rx", [0], parameter=iter([0.5])))
    refused(Gate("rx", [0], parameter=["a"]))
    refused(Gate("h", 0))
    refused(Gate("h", "0"))
    refused(Gate("h", [0.0]))
    refused(Gate("h", [0], control=1, control_state=[1]))
    refused(Gate("h", [0], control=[1], control_state=b"\x01"))
    refused(Gate(3, [0]))
    refused(Kraus([0], np.eye(2)[None], kind=1))
    refused(Kraus([0], np.eye(2)[None], kind=None))
    refused(Kraus("0", np.eye(2)[None]))
    refused(Kraus([0], np.eye(2)[None], channel_name=1))
    # numpy's own conversion errors and missing attributes surface unchanged.
    refused(Gate("u", [0], matrix=object()), TypeError, None)
    refused(Gate("u", [0], matrix="abc"), ValueError, None)
    refused(Kraus([0], [[["x"]]]), ValueError, None)
    incomplete = Gate("h", [0])
    del incomplete.control
    refused(incomplete, AttributeError, "control")
    truthy = Gate("h", [0])
    truthy.has_stored_matrix = [0]
    refused(truthy, AttributeError, "stored_matrix")

    def failing():
        yield Gate("x", [0])
        raise KeyError("from the iterator")

    with pytest.raises(KeyError, match="from the iterator"):
        run(state, 2, failing())
    assert bits(state.to_numpy()) == bits(kestamire.DeviceDensityState.zero_state(2).to_numpy())


def test_accepted_collections(dtype):
    n = 3
    theta = 0.61
    rz = named_matrix("rz", [theta])
    cases = [
        # parameter forms
        (Gate("rz", [1], parameter=(theta,)), rz, [1], [], []),
        (Gate("rz", [1], parameter=(v for v in [theta])), rz, [1], [], []),
        (Gate("rz", [1], parameter={theta}), rz, [1], [], []),
        (Gate("rz", [1], parameter=frozenset([theta])), rz, [1], [], []),
        (Gate("rz", [1], parameter={theta: 0}.keys()), rz, [1], [], []),
        (Gate("rz", [1], parameter={"a": theta}.values()), rz, [1], [], []),
        (Gate("rz", [1], parameter=map(float, [str(theta)])), rz, [1], [], []),
        (Gate("rz", [1], parameter=np.array([theta])), rz, [1], [], []),
        (Gate("rz", [1], parameter=[np.float64(theta)]), rz, [1], [], []),
        (Gate("ry", [0], parameter=[1]), named_matrix("ry", [1.0]), [0], [], []),
        (Gate("h", [2], parameter=zip(strict=False)), named_matrix("h"), [2], [], []),
        (Gate("h", [2], parameter={}.items()), named_matrix("h"), [2], [], []),
        (Gate("h", [2], parameter=bytearray()), named_matrix("h"), [2], [], []),
        # integer list forms
        (Gate("y", (2,), (0,), (1,)), named_matrix("y"), [2], [0], [1]),
        (Gate("y", range(1, 2), [x for x in [2]], (v for v in [0])), named_matrix("y"), [1], [2], [0]),
        (Gate("y", {0}, frozenset([1]), {1: 0}.keys()), named_matrix("y"), [0], [1], [1]),
        (Gate("y", {0: "t"}.keys(), map(int, ["2"]), {"s": 1}.values()), named_matrix("y"), [0], [2], [1]),
        (Gate("y", np.array([1]), np.array([0, 2]), [np.int64(0), True]), named_matrix("y"), [1], [0, 2], [0, 1]),
        (Gate("y", [2], zip(strict=False), zip(strict=False)), named_matrix("y"), [2], [], []),
        (Gate(b"sqrtx", bytearray([1]), [], []), named_matrix("sqrtx"), [1], [], []),
        # matrix forms: any numeric array-like is cast to complex128
        (Gate("u", [0], matrix=[[0, 1], [1, 0]]), named_matrix("x"), [0], [], []),
        (Gate("u", [2, 0], matrix=np.eye(4, dtype=np.float32)[[0, 2, 1, 3]]), named_matrix("swap"), [2, 0], [], []),
        (Gate("u", [1], matrix=np.asfortranarray(named_matrix("sqrty"))), named_matrix("sqrty"), [1], [], []),
    ]
    state, expected = load(random_density(np.random.default_rng(8), n), dtype)
    for _, matrix, targets, controls, states in cases:
        expected = apply_unitary(expected, n, matrix, targets, controls, states)
    run(state, n, (case[0] for case in cases))
    np.testing.assert_allclose(state.to_numpy(), expected, atol=tol(dtype, len(cases)))
    # A falsy has_stored_matrix is not followed by a read of stored_matrix.
    bare = Gate("z", [0])
    bare.has_stored_matrix = np.False_
    run(state, n, [bare])
    expected = apply_unitary(expected, n, named_matrix("z"), [0])
    np.testing.assert_allclose(state.to_numpy(), expected, atol=tol(dtype, len(cases) + 1))
