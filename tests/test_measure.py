"""vorlent measurement: seeded draws, collapse, batch sampling, endian, messages."""

import bisect
import collections
import gc

import numpy as np
import pytest

import vorlent
from conftest import parametrize_table, tolerance
from gate_helpers import used_device_bytes
from mt19937_64 import MASK64, Mt19937_64
from sv_reference import random_state

DS = vorlent.DeviceState
BELOW_ONE = 0.9999999999999999


# ---------------------------------------------------------------- reference


def outcome_of_indices(n, targets, endian):
    """Outcome index of every basis index: target j is outcome bit m-1-j."""
    idx = np.arange(1 << n, dtype=np.uint64)
    out = np.zeros(1 << n, dtype=np.uint64)
    m = len(targets)
    for j, q in enumerate(targets):
        bit = q if endian == "little" else n - 1 - q
        out |= ((idx >> np.uint64(bit)) & np.uint64(1)) << np.uint64(m - 1 - j)
    return out.astype(np.int64)


def outcome_probabilities(state, n, targets, endian):
    """Unnormalised outcome masses, summed in double from the stored components."""
    mass = state.real.astype(np.float64) ** 2 + state.imag.astype(np.float64) ** 2
    return np.bincount(outcome_of_indices(n, targets, endian), weights=mass, minlength=1 << len(targets))


def bit_string(outcome, m):
    return format(outcome, f"0{m}b")


def expected_draws(seed, shots, probs, min_margin):
    """Outcomes of `shots` draws; fails unless every draw is at least min_margin * total from a boundary,
    so that summation order cannot change the result."""
    running = np.cumsum(probs).tolist()
    total = running[-1]
    engine = Mt19937_64(seed)
    outcomes = []
    for _ in range(shots):
        u = engine() * 2.0**-64
        if u >= 1.0:
            u = BELOW_ONE
        x = u * total
        k = min(bisect.bisect_right(running, x), len(running) - 1)
        lower = running[k - 1] if k > 0 else 0.0
        assert min(running[k] - x, x - lower) > min_margin * total, "draw too close to a boundary; pick a seed"
        outcomes.append(k)
    return outcomes


def collapsed(state, n, targets, endian, outcome):
    probs = outcome_probabilities(state, n, targets, endian)
    keep = outcome_of_indices(n, targets, endian) == outcome
    return np.where(keep, state.astype(np.complex128) / np.sqrt(probs[outcome]), 0)


def basis_state(n, index, dtype):
    v = np.zeros(1 << n, dtype=dtype)
    v[index] = 1
    return v


def assert_state(actual, expected, dtype):
    np.testing.assert_allclose(actual, expected, rtol=0, atol=tolerance(dtype))


# ---------------------------------------------------------------- single measurement


@pytest.mark.parametrize("endian", ["little", "big"])
def test_measure_device_draws_from_the_seed_and_collapses(dtype, endian):
    n, targets = 6, [4, 1, 3]
    for k, seed in enumerate([1, 7, 2024, MASK64]):
        state = random_state(100 + k, n, dtype)
        probs = outcome_probabilities(state, n, targets, endian)
        (outcome,) = expected_draws(seed, 1, probs, 1e-9)
        s = DS.from_numpy(n, state)
        assert vorlent.measure_device(s, targets, endian, seed) == bit_string(outcome, 3)
        after = s.to_numpy()
        assert_state(after, collapsed(state, n, targets, endian, outcome), dtype)
        assert np.linalg.norm(after) == pytest.approx(1, abs=tolerance(dtype))
        assert outcome_probabilities(after, n, targets, endian)[outcome] == pytest.approx(1, abs=tolerance(dtype))


def test_same_seed_same_outcome(dtype):
    state = random_state(3, 5, dtype)
    results = {vorlent.measure_device(DS.from_numpy(5, state), [0, 2, 4], seed=99) for _ in range(3)}
    assert len(results) == 1


def test_endian_names_the_bit_on_basis_states(dtype):
    # Index 4 of 3 qubits: bit 2 set, so qubit 2 is 1 when little and qubit 0 is 1 when big.
    for endian, expected in [("little", "10"), ("big", "01")]:
        state = basis_state(3, 4, dtype)
        s = DS.from_numpy(3, state)
        for seed in [0, 1, 123456789]:
            assert vorlent.measure_device(s, [2, 0], endian, seed) == expected
        assert s.to_numpy().tobytes() == state.tobytes()
        counts, last = vorlent.sample_measure_device(s, [2, 0], 300, endian, 5)
        assert (counts, last) == ({expected: 300}, expected)
    zero = basis_state(4, 0, dtype)
    s = DS.from_numpy(4, zero)
    assert vorlent.measure_device(s, [3, 0, 2, 1], seed=8) == "0000"
    assert s.to_numpy().tobytes() == zero.tobytes()


def test_unnormalised_input_measures_like_its_normalised_form(dtype):
    n, targets = 5, [0, 3]
    for norm, seed in [(3.7, 11), (1e-3, 12)]:
        state = random_state(seed, n, dtype, norm=norm)
        probs = outcome_probabilities(state, n, targets, "little")
        (outcome,) = expected_draws(seed, 1, probs / probs.sum(), 1e-9)
        s = DS.from_numpy(n, state)
        assert vorlent.measure_device(s, targets, seed=seed) == bit_string(outcome, 2)
        after = s.to_numpy()
        assert np.linalg.norm(after) == pytest.approx(1, abs=tolerance(dtype))
        assert_state(after, collapsed(state, n, targets, "little", outcome), dtype)


def test_invalid_norm_raises_and_leaves_the_state(dtype):
    bad = [np.zeros(8, dtype=dtype), basis_state(3, 2, dtype), basis_state(3, 5, dtype)]
    bad[1][2] = np.nan
    bad[2][5] = np.inf
    for state in bad:
        s = DS.from_numpy(3, state)
        calls = [
            lambda: vorlent.measure_device(s, [0], seed=1),
            lambda: vorlent.sample_measure_device(s, [0, 1], 10, seed=1),
            lambda: vorlent.sample_measure_device(s, [2], 10, seed=1, collapse_last=False),
        ]
        for call in calls:
            with pytest.raises(RuntimeError, match=r"^Quantum state has zero or invalid norm\.$"):
                call()
            assert s.to_numpy().tobytes() == state.tobytes()


# ---------------------------------------------------------------- batch sampling


def skewed_state(seed, n, dtype):
    """Three quarters of the amplitudes zero, the rest with magnitudes spread over many decades."""
    rng = np.random.default_rng(seed)
    v = np.exp(-rng.uniform(0, 12, size=1 << n)) * np.exp(2j * np.pi * rng.uniform(size=1 << n))
    v[rng.permutation(1 << n)[: 3 << (n - 2)]] = 0
    return (v / np.linalg.norm(v)).astype(dtype)


SAMPLING_CASES = [
    # n, targets, shots: dense store (2**m < shots), sparse store (2**m >= shots, including equality)
    (7, [6, 0, 3], 500),
    (7, [0, 1, 2, 3, 4, 5], 40),
    (6, [5, 3, 4, 0, 2, 1], 64),
    (6, [5, 3, 4, 0, 2, 1], 65),
    # more than 1024 outcomes: the probability pass adds to global memory directly; from 4096 outcomes
    # and enough shots the draws search through a guide table
    (12, [3, 11, 0, 7, 1, 10, 2, 9, 4, 8, 6], 1500),
    (12, [5, 0, 11, 1, 10, 2, 9, 3, 8, 4, 7, 6], 5000),
    # several amplitudes per thread (walked over non-target bits) and several work items per thread,
    # targets on low and high bits
    (16, [15, 0, 9, 14], 400),
    (16, [15, 0, 9, 14, 13, 1, 2, 12, 3, 11, 5, 10, 4], 600),
    (18, [9, 11, 0, 17], 300),
    (20, [19, 9, 0, 11, 3], 200),
]


@pytest.mark.parametrize("endian", ["little", "big"])
@pytest.mark.parametrize("kind", ["random", "skewed"])
@parametrize_table("n, targets, shots", SAMPLING_CASES)
def test_sampling_matches_the_oracle(dtype, endian, kind, n, targets, shots):
    seed = 1000 + n * 31 + shots
    make = random_state if kind == "random" else skewed_state
    state = make(len(targets), n, dtype)
    probs = outcome_probabilities(state, n, targets, endian)
    draws = expected_draws(seed, shots, probs, 1e-12)
    m = len(targets)
    expected = collections.Counter(bit_string(k, m) for k in draws)
    s = DS.from_numpy(n, state)
    counts, last = vorlent.sample_measure_device(s, targets, shots, endian, seed)
    assert counts == dict(expected)
    assert all(type(v) is int for v in counts.values())
    assert last == bit_string(draws[-1], m)
    assert_state(s.to_numpy(), collapsed(state, n, targets, endian, draws[-1]), dtype)


def test_sampling_without_collapse_leaves_the_state_bit_for_bit(dtype):
    state = random_state(4, 8, dtype)
    s = DS.from_numpy(8, state)
    first = vorlent.sample_measure_device(s, [7, 2, 5], 1000, seed=77, collapse_last=False)
    assert s.to_numpy().tobytes() == state.tobytes()
    assert vorlent.sample_measure_device(s, [7, 2, 5], 1000, seed=77, collapse_last=False) == first
    assert sum(first[0].values()) == 1000


def test_one_shot_with_collapse_is_measure_device(dtype):
    for seed in [0, 5, 31337, MASK64]:
        state = random_state(seed & 0xFFFF, 7, dtype)
        a, b = DS.from_numpy(7, state), DS.from_numpy(7, state)
        outcome = vorlent.measure_device(a, [1, 6, 3], "big", seed)
        assert vorlent.sample_measure_device(b, [1, 6, 3], 1, "big", seed) == ({outcome: 1}, outcome)
        assert a.to_numpy().tobytes() == b.to_numpy().tobytes()


def test_uniform_single_target_counts_add_up(dtype):
    state = np.full(2, 2**-0.5, dtype=dtype)
    counts, last = vorlent.sample_measure_device(DS.from_numpy(1, state), [0], 1000, seed=2)
    assert set(counts) == {"0", "1"} and counts["0"] + counts["1"] == 1000
    assert last in counts


# ---------------------------------------------------------------- arguments and messages


def test_validation_messages_in_order():
    state = random_state(9, 3, "complex128")
    s = DS.from_numpy(3, state)
    cases = [
        ([], "measure targets size must be in [1, 62]"),
        (list(range(63)), "measure targets size must be in [1, 62]"),
        ([3], "measure target index out of range"),
        ([-1], "measure target index out of range"),
        ([0, 0], "duplicate measure target index"),
        ([0, 5, 0], "measure target index out of range"),
        ([1, 1, 7], "duplicate measure target index"),
    ]
    for targets, message in cases:
        for call in [
            lambda: vorlent.measure_device(s, targets, seed=1),
            lambda: vorlent.sample_measure_device(s, targets, 10, seed=1),
        ]:
            with pytest.raises(ValueError) as err:
                call()
            assert str(err.value) == message
    endian_message = "endian must be 'little' or 'big'"
    for call in [
        lambda: vorlent.measure_device(s, [], "Little", 1),
        lambda: vorlent.sample_measure_device(s, [], 0, "BIG", 1),
    ]:
        with pytest.raises(ValueError) as err:
            call()
        assert str(err.value) == endian_message
    for targets in [[0], []]:
        with pytest.raises(ValueError) as err:
            vorlent.sample_measure_device(s, targets, 0, seed=1)
        assert str(err.value) == "shots must be positive"
    with pytest.raises(TypeError):
        vorlent.sample_measure_device(s, [0], -1, seed=1)
    assert s.to_numpy().tobytes() == state.tobytes()


def test_seed_conversion():
    state = random_state(10, 3, "complex128")
    s = DS.from_numpy(3, state)
    for seed in [-1, 1.5, 2**64, "7"]:
        with pytest.raises(RuntimeError, match="cast"):
            vorlent.measure_device(s, [0], seed=seed)
        with pytest.raises(RuntimeError, match="cast"):
            vorlent.sample_measure_device(s, [0], 5, seed=seed)
    assert s.to_numpy().tobytes() == state.tobytes()
    # Without a seed the system source seeds the engine; the result is still a valid outcome.
    outcome = vorlent.measure_device(s, [2, 0])
    assert len(outcome) == 2 and set(outcome) <= {"0", "1"}
    counts, last = vorlent.sample_measure_device(DS.from_numpy(3, state), [1], 50)
    assert sum(counts.values()) == 50 and last in counts


def test_measure_collapses_the_numpy_array_in_place(dtype):
    ghz = np.zeros(8, dtype=dtype)
    ghz[0] = ghz[7] = 2**-0.5
    for _ in range(4):
        state = ghz.copy()
        outcome = vorlent.measure(3, state, [1])
        assert outcome in ("0", "1")
        assert_state(state, basis_state(3, 0 if outcome == "0" else 7, dtype), dtype)
    state = basis_state(3, 6, dtype)
    assert vorlent.measure(3, state, [0, 2, 1], "big") == "101"
    assert state.tobytes() == basis_state(3, 6, dtype).tobytes()


def test_measure_leaves_the_numpy_array_on_failure(dtype):
    zero = np.zeros(8, dtype=dtype)
    with pytest.raises(RuntimeError, match=r"^Quantum state has zero or invalid norm\.$"):
        vorlent.measure(3, zero, [0])
    assert not zero.any()
    state = random_state(12, 3, dtype)
    before = state.copy()
    cases = [
        (dict(n=3, targets=[3]), "measure target index out of range"),
        (dict(n=3, targets=[1, 1]), "duplicate measure target index"),
        (dict(n=3, targets=[0], endian="little "), "endian must be 'little' or 'big'"),
        (dict(n=63, targets=[0]), "n must be in [1, 62]"),
        (dict(n=0, targets=[0]), "n must be in [1, 62]"),
        (dict(n=-1, targets=[0]), "n must be in [1, 62]"),
        (dict(n=4, targets=[0]), "state.size must equal 2**n"),
    ]
    for kwargs, message in cases:
        with pytest.raises(ValueError) as err:
            vorlent.measure(state=state, **kwargs)
        assert str(err.value) == message
        assert state.tobytes() == before.tobytes()
    state.flags.writeable = False
    with pytest.raises(ValueError, match="^state array must be writable$"):
        vorlent.measure(3, state, [0])


# ---------------------------------------------------------------- device failures


@pytest.mark.host_only
def test_device_buffers_are_freed_on_every_error(monkeypatch):
    gc.collect()
    state = random_state(13, 10, "complex128")
    s, zero = DS.from_numpy(10, state), DS.from_numpy(10, np.zeros(1024, dtype=np.complex128))
    used = used_device_bytes(monkeypatch)
    # A measurement of 10 targets needs 1024 doubles of device memory.
    needed = used + 1024 * 8
    monkeypatch.setenv("HOSTCUDA_MEMORY_BYTES", str(needed - 1))
    for _ in range(3):
        with pytest.raises(RuntimeError, match="^CUDA error: out of memory$"):
            vorlent.measure_device(s, list(range(10)), seed=1)
    assert s.to_numpy().tobytes() == state.tobytes()
    # Exactly enough memory: no buffer of the failed calls is left behind, and their reported
    # allocation failures are not blamed on the next launch.
    monkeypatch.setenv("HOSTCUDA_MEMORY_BYTES", str(needed))
    for _ in range(3):
        with pytest.raises(RuntimeError, match="invalid norm"):
            vorlent.sample_measure_device(zero, list(range(10)), 10, seed=1)
    counts, _ = vorlent.sample_measure_device(s, list(range(10)), 10, seed=1, collapse_last=False)
    assert sum(counts.values()) == 10
    _, first = vorlent.sample_measure_device(s, list(range(10)), 1, seed=1, collapse_last=False)
    assert vorlent.measure_device(s, list(range(10)), seed=1) == first
