"""Built-in noise channels and general Kraus operations through run_density_operations_device."""

import re

import numpy as np
import pytest

import dm_reference as ref
import kestamire
from conftest import tolerance
from density_objects import KrausOp

DDS = kestamire.DeviceDensityState


def run(rho, dtype, operations):
    n = int(np.log2(rho.shape[0]))
    state = DDS.from_numpy(n, np.ascontiguousarray(rho, dtype=dtype))
    kestamire.run_density_operations_device(state, n, operations)
    return state.to_numpy()


def random_kraus_set(rng, k, count):
    """`count` matrices on k qubits with sum K^dagger K = I: the blocks of a random isometry."""
    d = 1 << k
    z = rng.normal(size=(count * d, d)) + 1j * rng.normal(size=(count * d, d))
    v, _ = np.linalg.qr(z)
    return [v[j * d : (j + 1) * d, :] for j in range(count)]


def amplitude_damped(gamma, rho):
    """Amplitude damping of one qubit written out entry by entry."""
    (a, b), (c, d) = rho
    s = np.sqrt(1 - gamma)
    return np.array([[a + gamma * d, s * b], [s * c, (1 - gamma) * d]])


def assert_close(got, expected, dtype, scale=1.0):
    np.testing.assert_allclose(got, expected, rtol=0, atol=scale * tolerance(dtype))


@pytest.mark.parametrize("name", ref.CHANNELS)
def test_builtin_channels_match_their_kraus_sums(dtype, name):
    rng = np.random.default_rng(sum(map(ord, name)))
    for n in range(1, 6):
        for _ in range(3):
            target = int(rng.integers(n))
            p = float(rng.uniform(0, 1))
            rho = ref.random_density(rng, n)
            matrices = ref.channel_kraus(name, p)
            got = run(rho, dtype, [KrausOp([target], matrices, name)])
            assert_close(got, ref.apply_kraus(rho, n, matrices, [target]), dtype)


def test_channel_end_points(dtype):
    zero, one = np.diag([1.0, 0]), np.diag([0, 1.0])
    plus = np.full((2, 2), 0.5)
    assert_close(run(zero, dtype, [KrausOp([0], ref.channel_kraus("bit_flip", 1.0), "bit_flip")]), one, dtype)
    mixed = ref.random_density(np.random.default_rng(4), 1)
    got = run(mixed, dtype, [KrausOp([0], ref.channel_kraus("depolarizing", 1.0), "depolarizing")])
    assert_close(got, 0.5 * np.eye(2), dtype)
    damp = ref.channel_kraus("amplitude_damping", 1.0)
    assert_close(run(one, dtype, [KrausOp([0], damp, "amplitude_damping")]), zero, dtype)
    gamma = 0.36
    got = run(plus, dtype, [KrausOp([0], ref.channel_kraus("amplitude_damping", gamma), "amplitude_damping")])
    assert_close(got, [[0.5 + 0.5 * gamma, 0.5 * 0.8], [0.5 * 0.8, 0.5 * (1 - gamma)]], dtype)
    lam = 0.3
    three = [np.sqrt(1 - lam) * np.eye(2), np.sqrt(lam) * np.diag([1, 0]), np.sqrt(lam) * np.diag([0, 1])]
    got = run(plus, dtype, [KrausOp([0], three, "phase_damping")])
    assert_close(got, [[0.5, 0.5 * (1 - lam)], [0.5 * (1 - lam), 0.5]], dtype)


def test_recognition_needs_a_known_name_and_its_matrix_count(dtype):
    rng = np.random.default_rng(8)
    rho = ref.random_density(rng, 3)
    # An amplitude-damping pair: as "phase_damping" it would read lambda = 0 and do nothing.
    pair = ref.channel_kraus("amplitude_damping", 0.7)
    two_targets = random_kraus_set(rng, 2, 4)
    cases = [
        ("phase_damping", pair, [1]),
        ("depolarizing", pair, [2]),
        ("bitflip", pair, [0]),
        ("", pair, [0]),
        ("depolarizing", two_targets, [2, 0]),
    ]
    for name, matrices, targets in cases:
        got = run(rho, dtype, [KrausOp(targets, matrices, name)])
        assert_close(got, ref.apply_kraus(rho, 3, matrices, targets), dtype)
    got = run(rho, dtype, [KrausOp([1], pair)])
    assert_close(got, ref.apply_kraus(rho, 3, pair, [1]), dtype)


def test_recognised_names_read_only_their_parameter_entry(dtype):
    rng = np.random.default_rng(9)
    matrices = random_kraus_set(rng, 1, 2)
    p = matrices[1][0, 1].real ** 2
    for target in (0, 1):
        rho = ref.random_density(rng, 2)
        named = run(rho, dtype, [KrausOp([target], matrices, "bit_flip")])
        assert_close(named, ref.apply_kraus(rho, 2, ref.channel_kraus("bit_flip", p), [target]), dtype)
        exact = ref.apply_kraus(rho, 2, matrices, [target])
        assert np.abs(named - exact).max() > 1e-3
        assert_close(run(rho, dtype, [KrausOp([target], matrices)]), exact, dtype)
    # Only the real part of K1[0][1] counts, and its sign does not.
    rho = ref.random_density(rng, 1)
    for entry in (0.6 + 0.3j, -0.6):
        skewed = [np.eye(2), np.array([[0.2j, entry], [0.5, 0.1]])]
        got = run(rho, dtype, [KrausOp([0], skewed, "amplitude_damping")])
        assert_close(got, amplitude_damped(0.36, rho), dtype)


@pytest.mark.parametrize("k", [1, 2, 3])
def test_general_kraus_on_targets_in_any_order(dtype, k):
    rng = np.random.default_rng(30 + k)
    for n in range(k, 6):
        for count in (1, 2, 5):
            targets = [int(t) for t in rng.permutation(n)[:k]]
            rho = ref.random_density(rng, n)
            matrices = random_kraus_set(rng, k, count)
            got = run(rho, dtype, [KrausOp(targets, matrices)])
            assert_close(got, ref.apply_kraus(rho, n, matrices, targets), dtype)
    # Nothing enforces completeness: a contraction is applied as given.
    n = 4
    targets = [int(t) for t in rng.permutation(n)[:k]]
    d = 1 << k
    matrices = [0.3 * (rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d))) for _ in range(2)]
    rho = ref.random_density(rng, n)
    got = run(rho, dtype, [KrausOp(targets, matrices)])
    assert_close(got, ref.apply_kraus(rho, n, matrices, targets), dtype, scale=4)


def test_operation_lists_apply_in_order(dtype):
    rng = np.random.default_rng(40)
    n = 4
    rho = ref.random_density(rng, n)
    ops = [
        KrausOp([2], ref.channel_kraus("amplitude_damping", 0.4), "amplitude_damping"),
        KrausOp([0, 3], random_kraus_set(rng, 2, 3)),
        KrausOp([1], ref.channel_kraus("depolarizing", 0.2), "depolarizing"),
        KrausOp([3, 1, 2], random_kraus_set(rng, 3, 2)),
        KrausOp([2], ref.channel_kraus("bit_flip", 0.3), "bit_flip"),
    ]
    expected = rho
    for op in ops:
        expected = ref.apply_kraus(expected, n, list(op.kraus_matrices), op.target)
    assert_close(run(rho, dtype, ops), expected, dtype, scale=2)


def test_identity_kraus_leaves_the_state_unchanged(dtype):
    rng = np.random.default_rng(50)
    for targets in ([1], [2, 0], [0, 2, 1]):
        rho = np.asarray(ref.random_density(rng, 3), dtype=dtype)
        got = run(rho, dtype, [KrausOp(targets, [np.eye(1 << len(targets))])])
        np.testing.assert_array_equal(got, rho)


def test_four_target_kraus_is_refused(dtype):
    rng = np.random.default_rng(60)
    rho = np.asarray(ref.random_density(rng, 4), dtype=dtype)
    state = DDS.from_numpy(4, rho.copy())
    for name in (None, "depolarizing"):
        op = KrausOp([0, 1, 2, 3], random_kraus_set(rng, 4, 4), name)
        with pytest.raises(RuntimeError, match="^" + re.escape("GPU density Kraus supports at most 3 targets") + "$"):
            kestamire.run_density_operations_device(state, 4, [op])
    np.testing.assert_array_equal(state.to_numpy(), rho)


def test_all_zero_kraus_leaves_nothing_to_measure(dtype):
    state = DDS.from_numpy(2, np.asarray(ref.random_density(np.random.default_rng(70), 2), dtype=dtype))
    kestamire.run_density_operations_device(state, 2, [KrausOp([1], [np.zeros((2, 2))])])
    with pytest.raises(RuntimeError, match=re.escape("density matrix has zero or invalid trace.")):
        kestamire.measure_device(state, [0], seed=1)
