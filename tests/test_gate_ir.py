"""Gate-list parsing, runner dispatch checks and launcher qubit checks."""

import numpy as np
import pytest

import sv_reference as ref
import vorlent
from conftest import parametrize_table, tolerance
from gate_helpers import MODES, ONE_QUBIT_NAMES, QuantumGate, bits, gate, random_case, run

PI_4 = 0.7853981633974483


def start_state(n, dtype="complex128", seed=21):
    return ref.random_state(np.random.default_rng(seed), n, dtype)


# --- names and renaming -----------------------------------------------------


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
@parametrize_table("name, angle", [("t", PI_4), ("ct", PI_4), ("mct", PI_4), ("t_dag", -PI_4)])
def test_t_names_become_phase_with_a_quarter_turn(name, angle, mode, dtype):
    n = 3
    state = start_state(n, dtype)
    for target, controls, states in [(0, [], []), (2, [0], [1])]:
        expected = run("device", n, state, [gate("phase", target, controls, states, [angle])], mode)
        # Whatever "parameter" holds is discarded, so three values are fine too.
        for params in ([], [5.0, 6.0, 7.0]):
            for binding in ("device", "gates"):
                out = run(binding, n, state, [gate(name, target, controls, states, params)], mode)
                assert np.array_equal(bits(out), bits(expected)), (binding, params)


@pytest.mark.parametrize("name", ["ct_dag", "tdg", "sdg", "cswap", "rxx", "X", "Rx", "", "unitary2"])
def test_unsupported_names(name):
    n = 2
    state = start_state(n)
    gates = [gate("x", 0), gate(name, 0)]
    message = f"Unsupported CUDA gate id: {name}"
    with pytest.raises(ValueError, match=f"^{message}$"):
        run("run_circuit", n, state, gates, vorlent.PairAuto)
    ds = vorlent.DeviceState.from_numpy(n, state)
    with pytest.raises(ValueError, match=f"^{message}$"):
        vorlent.run_circuit_device(ds, gates)
    with pytest.raises(ValueError, match=f"^{message}$"):
        vorlent.run_circuit_device_gates(ds, [QuantumGate(**g) for g in gates])
    # The list is parsed whole before the first gate runs.
    assert np.array_equal(ds.to_numpy(), state)


@pytest.mark.parametrize("name", sorted(ONE_QUBIT_NAMES))
def test_every_alias_is_accepted_in_both_forms(name):
    n = 3
    params = [0.25, -0.5, 1.0][: ONE_QUBIT_NAMES[name]]
    g = gate(name, 1, [2], [1], params)
    state = start_state(n)
    expected = ref.apply_gate(state, n, g)
    for binding in ("device", "gates"):
        np.testing.assert_allclose(run(binding, n, state, [g], vorlent.PairAuto), expected, rtol=0, atol=1e-12)


# --- field reading ----------------------------------------------------------


@pytest.mark.parametrize("missing", ["id", "target", "control", "control_state", "parameter"])
def test_missing_dictionary_key_raises_key_error(missing):
    g = gate("x", 0)
    del g[missing]
    ds = vorlent.DeviceState.zero_state(1)
    with pytest.raises(KeyError, match=missing):
        vorlent.run_circuit_device(ds, [g])


@pytest.mark.parametrize("missing", ["id", "target", "control", "control_state", "parameter"])
def test_missing_attribute_raises_attribute_error(missing):
    g = QuantumGate(**gate("x", 0))
    delattr(g, missing)
    ds = vorlent.DeviceState.zero_state(1)
    with pytest.raises(AttributeError, match=missing):
        vorlent.run_circuit_device_gates(ds, [g])


def test_parameter_none_is_refused_in_dicts_and_accepted_on_objects():
    ds = vorlent.DeviceState.zero_state(2)
    g = gate("x", 1)
    g["parameter"] = None
    with pytest.raises(RuntimeError):
        vorlent.run_circuit_device(ds, [g])
    vorlent.run_circuit_device_gates(ds, [QuantumGate(**g)])
    assert np.array_equal(ds.to_numpy(), [0, 0, 1, 0])
    # An angle gate without angles then fails at dispatch, not in parsing.
    with pytest.raises(ValueError, match=r"^RX gate requires exactly one parameter\.$"):
        vorlent.run_circuit_device_gates(ds, [QuantumGate(**{**gate("rx", 0), "parameter": None})])


def test_dictionary_elements_may_be_key_value_sequences():
    ds = vorlent.DeviceState.zero_state(2)
    vorlent.run_circuit_device(ds, [list(gate("x", 0).items()), tuple(gate("x", 1).items())])
    assert np.array_equal(ds.to_numpy(), [0, 0, 0, 1])


def test_x_record_with_two_targets_flips_the_first_only():
    n = 3
    for binding in ("run_circuit", "device", "gates"):
        for mode in MODES:
            g = {**gate("x", 2), "target": [2, 0]}
            out = run(binding, n, np.eye(1 << n, dtype=np.complex128)[0], [g], mode)
            assert np.array_equal(out, np.eye(1 << n)[4]), (binding, mode)


# --- matrices -----------------------------------------------------------------


def rx_without_angle():
    return gate("rx", 0)


def unitary(targets, matrix):
    return {"id": "unitary", "target": targets, "control": [], "control_state": [], "parameter": [], "matrix": matrix}


@parametrize_table(
    "matrix, message",
    [
        (np.eye(4), "UNITARY matrix dimension must be 2**num_targets."),
        (np.ones((2, 3)), "unitary matrix must be a non-empty square 2-D array."),
        (np.zeros((0, 0)), "unitary matrix must be a non-empty square 2-D array."),
        (np.ones(4), "unitary matrix must be a non-empty square 2-D array."),
        ({"not": "a matrix"}, "unitary matrix must be array-like."),
        ("abc", "unitary matrix must be array-like."),
        (None, "UNITARY gate requires a matrix."),
    ],
)
def test_unitary_matrix_checks_in_both_forms(matrix, message):
    ds = vorlent.DeviceState.zero_state(2)
    # The bad unitary comes after a gate that would fail at dispatch: parsing wins.
    gates = [rx_without_angle(), unitary([0], matrix)]
    with pytest.raises(ValueError, match="^" + message.replace("*", r"\*").replace(".", r"\.") + "$"):
        vorlent.run_circuit_device(ds, gates)
    with pytest.raises(ValueError, match="^" + message.replace("*", r"\*").replace(".", r"\.") + "$"):
        vorlent.run_circuit_device_gates(ds, [QuantumGate(**g) for g in gates])


def test_real_matrix_lists_and_omitted_matrix_keys_parse():
    ds = vorlent.DeviceState.zero_state(2)
    # Parsing succeeds, so the runner reaches the gate before it and reports that.
    for gates in (
        [rx_without_angle(), unitary([0], [[0.0, 1.0], [1.0, 0.0]])],
        [rx_without_angle(), unitary([1, 0], np.eye(4, dtype=int))],
    ):
        with pytest.raises(ValueError, match=r"^RX gate requires exactly one parameter\.$"):
            vorlent.run_circuit_device(ds, gates)
        with pytest.raises(ValueError, match=r"^RX gate requires exactly one parameter\.$"):
            vorlent.run_circuit_device_gates(ds, [QuantumGate(**g) for g in gates])


class NeverReadMatrix(QuantumGate):
    @property
    def matrix(self):
        raise AssertionError("matrix attribute read")

    @matrix.setter
    def matrix(self, value):
        pass


def test_matrix_on_a_named_gate_is_validated_in_dicts_and_ignored():
    n = 2
    state = start_state(n)
    plain = run("device", n, state, [gate("x", 0)], vorlent.PairAuto)
    with_matrix = run("device", n, state, [{**gate("x", 0), "matrix": [[1, 0], [0, 1]]}], vorlent.PairAuto)
    assert np.array_equal(with_matrix, plain)
    with pytest.raises(ValueError, match=r"^unitary matrix must be a non-empty square 2-D array\.$"):
        vorlent.run_circuit_device(
            vorlent.DeviceState.from_numpy(n, state), [{**gate("x", 0), "matrix": np.ones((2, 3))}]
        )
    # The object form never reads the matrix of a named gate.
    ds = vorlent.DeviceState.from_numpy(n, state)
    vorlent.run_circuit_device_gates(ds, [NeverReadMatrix(**gate("x", 0))])
    assert np.array_equal(ds.to_numpy(), plain)


# --- runner checks ------------------------------------------------------------


@parametrize_table(
    "g, message",
    [
        (gate("rx", 0), "RX gate requires exactly one parameter."),
        (gate("crx", 0, [1], [1], [0.1, 0.2]), "RX gate requires exactly one parameter."),
        (gate("ry", 0, parameter=[0.1, 0.2]), "RY gate requires exactly one parameter."),
        (gate("rz", 0), "RZ gate requires exactly one parameter."),
        (gate("p", 0, parameter=[1, 2]), "PHASE gate requires exactly one parameter."),
        (gate("gp", 0), "GLOBAL_PHASE gate requires exactly one parameter."),
        (gate("u1", 0, parameter=[0.5]), "U gate requires exactly three parameters."),
        (gate("u", 0, parameter=[0.5, 1, 2, 3]), "U gate requires exactly three parameters."),
        (gate("swap", 0), "SWAP gate requires exactly two parameters."),
        ({**gate("swap", 0), "target": [0, 1, 2]}, "SWAP gate requires exactly two parameters."),
    ],
)
def test_dispatch_checks(g, message, dtype):
    n = 3
    state = start_state(n, dtype)
    escaped = "^" + message.replace(".", r"\.") + "$"
    for mode in MODES:
        with pytest.raises(ValueError, match=escaped):
            run("run_circuit", n, state, [g], mode)


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_a_failing_gate_leaves_the_earlier_gates_applied(mode, dtype):
    n = 2
    for binding in ("device", "gates"):
        ds = vorlent.DeviceState.zero_state(n, dtype)
        gates = [gate("h", 0), gate("rx", 0), gate("x", 1)]
        if binding == "device":
            with pytest.raises(ValueError, match=r"^RX gate requires exactly one parameter\.$"):
                vorlent.run_circuit_device(ds, gates, mode=mode)
        else:
            with pytest.raises(ValueError, match=r"^RX gate requires exactly one parameter\.$"):
                vorlent.run_circuit_device_gates(ds, [QuantumGate(**g) for g in gates], mode=mode)
        np.testing.assert_allclose(ds.to_numpy(), [2**-0.5, 2**-0.5, 0, 0], rtol=0, atol=tolerance(dtype))


def test_run_circuit_leaves_the_callers_array_untouched_on_failure():
    state = start_state(2)
    before = state.copy()
    with pytest.raises(ValueError):
        vorlent.run_circuit(2, state, [gate("h", 0), gate("rx", 0)])
    assert np.array_equal(state, before)


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_empty_lists_do_nothing(mode):
    state = start_state(3)
    assert np.array_equal(run("device", 3, state, [], mode), state)
    assert np.array_equal(run("gates", 3, state, [], mode), state)


def test_big_and_little_endian_apply_gates_alike(dtype):
    n = 4
    gates, state = random_case(n)
    for binding in ("run_circuit", "device", "gates"):
        for mode in MODES:
            little = run(binding, n, state.astype(dtype), gates, mode, endian="little")
            big = run(binding, n, state.astype(dtype), gates, mode, endian="big")
            assert np.array_equal(bits(little), bits(big))
    with pytest.raises(ValueError, match="^endian must be 'little' or 'big'$"):
        run("device", n, state, gates, vorlent.PairAuto, endian="Big")


def test_pair_auto_fusion_mode_runs_the_list():
    ds = vorlent.DeviceState.zero_state(2)
    vorlent.run_circuit_device(ds, [gate("h", 0), gate("x", 1, [0], [1])], mode=vorlent.PairAutoFusion)
    np.testing.assert_allclose(ds.to_numpy(), [2**-0.5, 0, 0, 2**-0.5], atol=1e-12)


# --- control and qubit checks in the launchers --------------------------------

FIXED_AND_ANGLE = [
    ("x", []),
    ("y", []),
    ("z", []),
    ("h", []),
    ("s", []),
    ("s_dag", []),
    ("sx", []),
    ("sxdg", []),
    ("sqrty", []),
    ("sqrty_dag", []),
    ("rx", [0.3]),
    ("ry", [0.3]),
    ("rz", [0.3]),
    ("p", [0.3]),
    ("t", []),
    ("u", [0.1, 0.2, 0.3]),
]


@parametrize_table("name, params", FIXED_AND_ANGLE)
@parametrize_table(
    "target, controls, states, message",
    [
        (0, [1], [], "controls.size() != control_state.size()"),
        (0, [], [1], "controls.size() != control_state.size()"),
        (0, [63], [1], "control qubit index must be in [0, 62]"),
        (0, [-1], [1], "control qubit index must be in [0, 62]"),
        (0, [1], [2], "control_state must contain only 0/1"),
        (0, [1], [-1], "control_state must contain only 0/1"),
        (0, [1, 63], [1, 2], "control qubit index must be in [0, 62]"),
        (0, [64], [5], "control qubit index must be in [0, 62]"),
        (0, [1, 2], [2, 1], "control_state must contain only 0/1"),
        # Errors in the control lists come before the qubit range checks.
        (9, [70], [0], "control qubit index must be in [0, 62]"),
        (9, [1], [], "controls.size() != control_state.size()"),
        # Our own checks of targets and controls against n and each other.
        (3, [], [], "target qubit 3 is out of range for 3 qubits"),
        (-1, [], [], "target qubit -1 is out of range for 3 qubits"),
        (0, [3], [1], "control qubit 3 is out of range for 3 qubits"),
        (0, [62], [1], "control qubit 62 is out of range for 3 qubits"),
        (0, [1, 1], [1, 0], "control qubit 1 is listed twice"),
        (0, [0], [1], "control qubit 0 is also a target"),
        (2, [1, 2], [0, 0], "control qubit 2 is also a target"),
    ],
)
def test_control_and_qubit_errors(name, params, target, controls, states, message):
    n = 3
    escaped = "^" + message.replace("[", r"\[").replace("]", r"\]").replace("(", r"\(").replace(")", r"\)") + "$"
    g = gate(name, target, controls, states, params)
    for mode in MODES:
        for binding in ("device", "gates"):
            ds = vorlent.DeviceState.zero_state(n)
            gates = [gate("h", 1), g, gate("x", 0)]
            if binding == "device":
                with pytest.raises(ValueError, match=escaped):
                    vorlent.run_circuit_device(ds, gates, mode=mode)
            else:
                with pytest.raises(ValueError, match=escaped):
                    vorlent.run_circuit_device_gates(ds, [QuantumGate(**x) for x in gates], mode=mode)
            # The gate before the failing one is applied, nothing after it.
            np.testing.assert_allclose(ds.to_numpy(), [2**-0.5, 0, 2**-0.5, 0, 0, 0, 0, 0], rtol=0, atol=1e-15)


def test_missing_target_is_rejected():
    ds = vorlent.DeviceState.zero_state(2)
    g = {**gate("h", 0), "target": []}
    with pytest.raises(ValueError, match=r"^gate 'h' requires a target qubit$"):
        vorlent.run_circuit_device(ds, [g])
    assert np.array_equal(ds.to_numpy(), [1, 0, 0, 0])


@parametrize_table(
    "g, message",
    [
        (gate("x", 2**32 + 1), "target qubit 4294967297 is out of range for 2 qubits"),
        (gate("h", -(2**32)), "target qubit -4294967296 is out of range for 2 qubits"),
        ({**gate("swap", 0), "target": [0, 2**32]}, "target qubit 4294967296 is out of range for 2 qubits"),
        # The control checks keep their place ahead of the target check.
        (gate("x", 2**32 + 1, [1], [2]), "control_state must contain only 0/1"),
    ],
)
def test_targets_wider_than_int_are_refused_not_wrapped(g, message):
    ds = vorlent.DeviceState.zero_state(2)
    with pytest.raises(ValueError, match="^" + message.replace("[", r"\[").replace("]", r"\]") + "$"):
        vorlent.run_circuit_device(ds, [g])
    assert np.array_equal(ds.to_numpy(), [1, 0, 0, 0])
