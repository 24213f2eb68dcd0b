"""One-qubit gate families against the NumPy reference, in every per-gate mode,
both precisions and through the three run bindings."""

import functools

import numpy as np
import pytest

import sv_reference as ref
import vorlent
from conftest import parametrize_table, tolerance
from gate_helpers import MODES, bits, gate, random_case, random_gate, run


@functools.cache
def reference_result(n, dtype):
    gates, state = random_case(n)
    return ref.run(state.astype(dtype), n, gates)


@pytest.mark.parametrize("binding", ["run_circuit", "device", "gates"])
@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
@pytest.mark.parametrize("n", range(1, 11))
def test_random_circuits_match_reference(n, mode, binding, dtype):
    gates, state = random_case(n)
    out = run(binding, n, state.astype(dtype), gates, mode)
    assert out.dtype == np.dtype(dtype)
    np.testing.assert_allclose(out, reference_result(n, dtype), rtol=0, atol=tolerance(dtype))


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_gate_pairs_restore_or_compose(mode, dtype):
    n = 4
    rng = np.random.default_rng(7)
    state = ref.random_state(rng, n, dtype)
    for target, controls, states in [(0, [], []), (2, [], []), (0, [3], [0]), (1, [0, 3], [1, 0])]:
        exact = run("device", n, state, [gate("x", target, controls, states)] * 2, mode)
        assert np.array_equal(exact, state), "X twice"
        for first, second in [("h", "h"), ("s", "s_dag"), ("s_dag", "s")]:
            out = run(
                "device",
                n,
                state,
                [gate(first, target, controls, states), gate(second, target, controls, states)],
                mode,
            )
            np.testing.assert_allclose(out, state, rtol=0, atol=tolerance(dtype), err_msg=f"{first} {second}")
        # X and Y are their own inverses, so the inverse roots square to them too.
        for root, whole in [("sqrtx", "x"), ("sqrty", "y"), ("sqrtx_dag", "x"), ("sqrty_dag", "y")]:
            twice = run("device", n, state, [gate(root, target, controls, states)] * 2, mode)
            once = run("device", n, state, [gate(whole, target, controls, states)], mode)
            np.testing.assert_allclose(twice, once, rtol=0, atol=tolerance(dtype), err_msg=root)


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
@parametrize_table("name, param", [("z", []), ("s", []), ("s_dag", []), ("phase", [0.4]), ("t", [])])
def test_diagonal_gates_leave_target_zero_amplitudes_bit_exact(name, param, mode, dtype):
    n = 4
    rng = np.random.default_rng(11)
    state = ref.random_state(rng, n, dtype)
    idx = np.arange(1 << n)
    for target, controls, states in [(0, [], []), (2, [], []), (0, [1], [1]), (3, [0, 2], [0, 1])]:
        g = gate(name, target, controls, states, param)
        out = run("device", n, state, [g], mode)
        bit_zero = ((idx >> target) & 1) == 0
        assert np.array_equal(bits(out[bit_zero]), bits(state[bit_zero]))
        # Where the controls fail, the |1> amplitudes are untouched too.
        held = np.all([((idx >> c) & 1) == v for c, v in zip(controls, states, strict=False)], axis=0)
        assert np.array_equal(bits(out[~held]), bits(state[~held]))
        np.testing.assert_allclose(out, ref.apply_gate(state, n, g), rtol=0, atol=tolerance(dtype))


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_h_on_zero_gives_the_exact_constant(mode, dtype):
    c = np.float32(0.70710677) if dtype == "complex64" else 0.7071067811865476
    for n, target in [(1, 0), (3, 0), (3, 2)]:
        ds = vorlent.DeviceState.zero_state(n, dtype)
        vorlent.run_circuit_device(ds, [gate("h", target)], mode=mode)
        out = ds.to_numpy()
        expected = np.zeros(1 << n, dtype=dtype)
        expected[0] = expected[1 << target] = c
        assert np.array_equal(bits(out), bits(expected)), (n, target)


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_control_state_zero_acts_only_where_the_control_is_zero(mode, dtype):
    n = 3
    state = ref.random_state(np.random.default_rng(3), n, dtype)
    out = run("device", n, state, [gate("h", 1, [2], [0])], mode)
    high = np.arange(8) >= 4
    assert np.array_equal(bits(out[high]), bits(state[high]))
    np.testing.assert_allclose(out, ref.apply_gate(state, n, gate("h", 1, [2], [0])), rtol=0, atol=tolerance(dtype))


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
@pytest.mark.parametrize("name", ["x", "y", "h", "sqrtx", "rx", "u", "phase", "z"])
def test_controls_on_every_other_qubit_update_one_pair(name, mode, dtype):
    n = 4
    rng = np.random.default_rng(5)
    state = ref.random_state(rng, n, dtype)
    for target in range(n):
        controls = [q for q in range(n) if q != target]
        states = [int(v) for v in rng.integers(0, 2, size=n - 1)]
        g = random_gate(rng, n, name)
        g.update(target=[target], control=controls, control_state=states)
        out = run("device", n, state, [g], mode)
        i0 = sum(v << c for c, v in zip(controls, states, strict=False))
        others = np.ones(1 << n, dtype=bool)
        others[[i0, i0 | (1 << target)]] = False
        assert np.array_equal(bits(out[others]), bits(state[others]))
        np.testing.assert_allclose(out, ref.apply_gate(state, n, g), rtol=0, atol=tolerance(dtype))


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_u_special_cases_match_rx_and_ry(mode, dtype):
    n = 3
    state = ref.random_state(np.random.default_rng(9), n, dtype)
    for theta in [0.0, 0.8, -2.5, 3.9]:
        for target, controls, states in [(0, [], []), (2, [0], [1])]:
            u_rx = run("device", n, state, [gate("u", target, controls, states, [theta, -np.pi / 2, np.pi / 2])], mode)
            rx = run("device", n, state, [gate("rx", target, controls, states, [theta])], mode)
            np.testing.assert_allclose(u_rx, rx, rtol=0, atol=tolerance(dtype))
            u_ry = run("device", n, state, [gate("u3", target, controls, states, [theta, 0.0, 0.0])], mode)
            ry = run("device", n, state, [gate("ry", target, controls, states, [theta])], mode)
            np.testing.assert_allclose(u_ry, ry, rtol=0, atol=tolerance(dtype))


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_zero_angles_leave_the_state_unchanged(mode, dtype):
    n = 3
    state = ref.random_state(np.random.default_rng(13), n, dtype)
    gates = [
        gate("rx", 0, parameter=[0.0]),
        gate("ry", 1, [0], [1], [0.0]),
        gate("rz", 2, parameter=[0.0]),
        gate("phase", 1, parameter=[0.0]),
        gate("u", 0, [2], [0], [0.0, 0.0, 0.0]),
    ]
    np.testing.assert_allclose(run("device", n, state, gates, mode), state, rtol=0, atol=tolerance(dtype))


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_rz_and_phase_differ_by_a_global_phase(mode, dtype):
    one = np.array([0, 1], dtype=dtype)
    for theta in [0.3, -1.7, 2.9]:
        rz = run("device", 1, one, [gate("rz", 0, parameter=[theta])], mode)
        ph = run("device", 1, one, [gate("p", 0, parameter=[theta])], mode)
        atol = tolerance(dtype)
        np.testing.assert_allclose(rz, [0, np.exp(0.5j * theta)], rtol=0, atol=atol)
        np.testing.assert_allclose(ph, [0, np.exp(1j * theta)], rtol=0, atol=atol)
        zero = np.array([1, 0], dtype=dtype)
        np.testing.assert_allclose(
            run("device", 1, zero, [gate("rz", 0, parameter=[theta])], mode),
            [np.exp(-0.5j * theta), 0],
            rtol=0,
            atol=atol,
        )
        assert np.array_equal(run("device", 1, zero, [gate("p", 0, parameter=[theta])], mode), zero)


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
@parametrize_table("name, count", [("rx", 1), ("ry", 1), ("rz", 1), ("phase", 1), ("u", 3)])
def test_float_states_receive_float_angles(name, count, mode):
    # 1e6 itself is a float; 1e6 + 0.1 rounds to 1000000.125 in single precision.
    angle = 1e6 + 0.1
    params = [angle, 0.5 * angle, -angle][:count]
    n = 2
    state = ref.random_state(np.random.default_rng(17), n, np.complex64)
    g = gate(name, 1, [0], [1], params)
    out = run("device", n, state, [g], mode)
    as_float = ref.apply_gate(state, n, gate(name, 1, [0], [1], [float(np.float32(p)) for p in params]))
    as_double = ref.apply_gate(state, n, g)
    np.testing.assert_allclose(out, as_float, rtol=0, atol=tolerance("complex64"))
    assert np.abs(as_double - as_float).max() > 1e-3
