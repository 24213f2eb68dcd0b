"""kestamire.measure_device: outcome order, seeded draws, collapse, validation."""

import math
import re

import numpy as np
import pytest

import dm_reference as ref
import kestamire
from conftest import parametrize_table, tolerance
from mt19937_64 import MASK64, Mt19937_64

DDS = kestamire.DeviceDensityState


def qubit_bits(index, n, qubits, endian):
    """Values of `qubits` in basis index `index` (qubit q is bit q, or bit n-1-q for big endian)."""
    return [(index >> (q if endian == "little" else n - 1 - q)) & 1 for q in qubits]


def outcome_probabilities(diagonal, n, targets, endian):
    m = len(targets)
    probs = [0.0] * (1 << m)
    for i, p in enumerate(diagonal):
        bits = qubit_bits(i, n, targets, endian)
        probs[int("".join(map(str, bits)), 2)] += float(p)
    return probs


def oracle_draw(probs, seed):
    """Outcome index for `seed`, and how far the drawn point lies from the nearest cumulative boundary."""
    total = 0.0
    for p in probs:
        total += p
    u = float(Mt19937_64(seed)()) * 2.0**-64
    if u >= 1.0:
        u = math.nextafter(1.0, 0.0)
    r = u * math.nextafter(total, math.inf)
    running = 0.0
    cumulative = []
    for p in probs:
        running += p
        cumulative.append(running)
    outcome = next((k for k, c in enumerate(cumulative) if c >= r), len(probs) - 1)
    return outcome, min(abs(c - r) for c in cumulative)


def projector_collapse(rho, n, targets, endian, result):
    keep = np.array([qubit_bits(i, n, targets, endian) == [int(ch) for ch in result] for i in range(1 << n)])
    out = rho * np.outer(keep, keep)
    return out / np.trace(out).real


def upload(rho, dtype):
    return DDS.from_numpy(int(np.log2(rho.shape[0])), np.ascontiguousarray(rho, dtype=dtype))


def basis_projector(n, index):
    rho = np.zeros((1 << n, 1 << n), dtype=np.complex128)
    rho[index, index] = 1
    return rho


def test_endian_and_target_order(dtype):
    # |01><01|: qubit 0 is 1, qubit 1 is 0 (basis index 1).
    cases = [([0, 1], "little", "10"), ([1, 0], "little", "01"), ([0, 1], "big", "01"), ([1, 0], "big", "10")]
    for targets, endian, expected in cases:
        state = upload(basis_projector(2, 1), dtype)
        assert kestamire.measure_device(state, targets, endian, seed=3) == expected
        np.testing.assert_array_equal(state.to_numpy(), basis_projector(2, 1))
    # Index 6 of three qubits: qubit 0 = 0, qubits 1 and 2 = 1.
    state = upload(basis_projector(3, 6), dtype)
    assert kestamire.measure_device(state, [0, 1, 2], "little", seed=1) == "011"
    assert kestamire.measure_device(state, [0, 1, 2], "big", seed=1) == "110"
    assert kestamire.measure_device(state, [2], "big", seed=1) == "0"


@parametrize_table("targets,endian", [([2, 0], "little"), ([3], "big"), ([1, 3, 0, 2], "little"), ([0, 2], "big")])
def test_seeded_outcomes_follow_the_first_engine_output(dtype, targets, endian):
    n = 4
    rng = np.random.default_rng(11)
    rho = np.asarray(ref.random_density(rng, n, rank=3), dtype=dtype)
    base = upload(rho, dtype)
    probs = outcome_probabilities(rho.diagonal().real.astype(np.float64), n, targets, endian)
    seeds = [int(s) for s in rng.integers(0, 2**63, size=30)] + [0, 1, MASK64]
    seen = set()
    checked = 0
    for seed in seeds:
        expected, margin = oracle_draw(probs, seed)
        if margin < 1e-9:
            continue  # the device sums each bucket in no fixed order
        result = kestamire.measure_device(base.copy(), targets, endian, seed=seed)
        assert len(result) == len(targets)
        assert int(result, 2) == expected, (seed, result, expected)
        seen.add(expected)
        checked += 1
    assert checked >= 30
    assert len(seen) >= 2


@parametrize_table("targets,endian", [([3, 1], "little"), ([3, 1], "big"), ([0], "little"), ([2, 0, 1], "big")])
def test_collapse_keeps_the_outcome_block_renormalised(dtype, targets, endian):
    n = 4
    rng = np.random.default_rng(5 + len(targets))
    rho = np.asarray(ref.random_density(rng, n), dtype=dtype)
    for seed in (7, 8, 9):
        state = upload(rho, dtype)
        result = kestamire.measure_device(state, targets, endian, seed=seed)
        got = state.to_numpy()
        assert got.dtype == np.dtype(dtype)
        expected = projector_collapse(rho.astype(np.complex128), n, targets, endian, result)
        np.testing.assert_allclose(got, expected, rtol=0, atol=10 * tolerance(dtype))
        assert abs(np.trace(got) - 1) < 10 * tolerance(dtype)
        # Every basis state outside the reported outcome is gone, exactly.
        for i in range(1 << n):
            if qubit_bits(i, n, targets, endian) != [int(ch) for ch in result]:
                assert not got[i].any() and not got[:, i].any()


def test_same_seed_on_copies_gives_the_same_result(dtype):
    rng = np.random.default_rng(21)
    base = upload(ref.random_density(rng, 3), dtype)
    for seed in (0, 12345, 2**64 - 1):
        a, b = base.copy(), base.copy()
        ra = kestamire.measure_device(a, [2, 1], seed=seed)
        rb = kestamire.measure_device(b, [2, 1], seed=seed)
        assert ra == rb
        np.testing.assert_allclose(a.to_numpy(), b.to_numpy(), rtol=0, atol=tolerance(dtype))


def test_unseeded_measurement_collapses_to_its_result(dtype):
    rng = np.random.default_rng(22)
    rho = ref.random_density(rng, 3)
    state = upload(rho, dtype)
    result = kestamire.measure_device(state, [1, 2])
    assert re.fullmatch("[01]{2}", result)
    expected = projector_collapse(rho, 3, [1, 2], "little", result)
    np.testing.assert_allclose(state.to_numpy(), expected, rtol=0, atol=10 * tolerance(dtype))


def test_trace_must_be_positive_and_finite(dtype):
    message = re.escape("density matrix has zero or invalid trace.")
    zero = np.zeros((4, 4), dtype=dtype)
    hollow = np.zeros((4, 4), dtype=dtype)
    hollow[0, 3] = hollow[3, 0] = 0.5
    negative = np.diag([0.25, -1, 0, 0]).astype(dtype)
    nan = np.diag([0.5, np.nan, 0.5, 0]).astype(dtype)
    infinite = np.diag([0.5, np.inf, 0, 0]).astype(dtype)
    for rho in (zero, hollow, negative, nan, infinite):
        state = upload(rho, dtype)
        with pytest.raises(RuntimeError, match=message):
            kestamire.measure_device(state, [0, 1], seed=1)
        np.testing.assert_array_equal(state.to_numpy(), rho)


def test_a_drawn_outcome_of_probability_zero_is_refused():
    # With a trace of one subnormal step, the drawn point underflows to 0 for
    # small engine outputs and the walk stops at the empty first outcome.
    rho = np.diag([0, 5e-324]).astype(np.complex128)
    refused = accepted = 0
    for seed in range(12):
        state = DDS.from_numpy(1, rho.copy())
        expected, _ = oracle_draw([0.0, 5e-324], seed)
        if expected == 0:
            with pytest.raises(RuntimeError, match=re.escape("Selected measurement probability is zero.")):
                kestamire.measure_device(state, [0], seed=seed)
            np.testing.assert_array_equal(state.to_numpy(), rho)
            refused += 1
        else:
            assert kestamire.measure_device(state, [0], seed=seed) == "1"
            accepted += 1
    assert refused and accepted


def test_zero_qubit_state_is_refused(dtype):
    state = DDS.zero_state(0, dtype)
    for targets in ([0], []):
        with pytest.raises(ValueError, match=re.escape("num_qubits must be in [1, 15]")):
            kestamire.measure_device(state, targets, "big", seed=1)
    np.testing.assert_array_equal(state.to_numpy(), [[1]])


def test_validation_messages_in_order(dtype):
    rho = ref.random_density(np.random.default_rng(3), 2)
    state = upload(rho, dtype)
    before = state.to_numpy()
    cases = [
        ([], "little", "measure targets must not be empty"),
        ([], "Little", "endian must be 'little' or 'big'"),
        ([2], "little", "measure target index out of range"),
        ([-1], "big", "measure target index out of range"),
        ([0, 0], "little", "duplicate measure target index"),
        ([1, 0, 1], "big", "duplicate measure target index"),
        # Every target is range-checked before duplicates are looked for.
        ([0, 0, 2], "little", "measure target index out of range"),
        ([0, 1, 2], "little", "measure target index out of range"),
    ]
    for targets, endian, message in cases:
        with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
            kestamire.measure_device(state, targets, endian, seed=1)
    np.testing.assert_array_equal(state.to_numpy(), before)
    # The endian check comes before the qubit count too.
    with pytest.raises(ValueError, match=re.escape("endian must be 'little' or 'big'")):
        kestamire.measure_device(DDS.zero_state(0, dtype), [], "Little", seed=1)


def test_endian_is_checked_before_the_seed(dtype):
    state = upload(basis_projector(1, 0), dtype)
    for seed in (-1, 1.5, "x", 2**64):
        with pytest.raises(ValueError, match=re.escape("endian must be 'little' or 'big'")):
            kestamire.measure_device(state, [0], "Little", seed=seed)


def test_seed_must_be_an_unsigned_64_bit_integer(dtype):
    rho = basis_projector(2, 2)
    state = upload(rho, dtype)
    for seed in (1.5, 2.0, -1, 2**64, "7"):
        with pytest.raises(RuntimeError, match="Unable to cast"):
            kestamire.measure_device(state, [0], seed=seed)
    np.testing.assert_array_equal(state.to_numpy(), rho)
    assert kestamire.measure_device(state, [1, 0], seed=2**64 - 1) == "10"
    assert kestamire.measure_device(state, [1, 0], seed=0) == "10"
