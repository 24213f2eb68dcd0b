"""Observables on the device: Pauli expectation values of state vectors and
density matrices, marginal probabilities and overlaps, against a NumPy
reference built from the Pauli matrices; their argument checks; and the
launch trace, which shows one pass per batch of words sharing a flip mask."""

import itertools

import numpy as np
import pytest

import dm_reference
import kestamire
import sv_reference
import vorlent

PAULI = {
    "I": np.eye(2, dtype=complex),
    "X": np.array([[0, 1], [1, 0]], dtype=complex),
    "Y": np.array([[0, -1j], [1j, 0]], dtype=complex),
    "Z": np.array([[1, 0], [0, -1]], dtype=complex),
}
# Sums are in double for both precisions and the reference works on the
# rounded input, so float states agree to double rounding, not float's.
ATOL = 1e-9


# ---------------------------------------------------------------- reference


def kron_matrix(word):
    """The 2**n x 2**n matrix of a letter string; character q acts on qubit q (bit q of an index)."""
    m = np.eye(1, dtype=complex)
    for letter in word:
        m = np.kron(PAULI[letter], m)
    return m


def apply_word(vectors, word):
    """P applied to the rows of `vectors` (shape (2**n, k)) from the letters' action on basis states:
    X|b> = |1-b>, Y|b> = i (-1)^b |1-b>, Z|b> = (-1)^b |b>, qubit q being bit q of a row index."""
    index = np.arange(len(vectors))
    target = index.copy()
    phase = np.ones(len(vectors), dtype=complex)
    for q, letter in enumerate(word):
        bit = (index >> q) & 1
        if letter in "XY":
            target ^= 1 << q
        if letter == "Y":
            phase *= 1j * (1 - 2 * bit)
        elif letter == "Z":
            phase *= 1 - 2 * bit
    out = np.empty_like(vectors, dtype=complex)
    out[target] = phase[:, None] * vectors
    return out


def state_reference(psi, word):
    if len(word) <= 6:
        return np.vdot(psi, kron_matrix(word) @ psi).real
    return np.vdot(psi, apply_word(psi[:, None], word)[:, 0]).real


def density_reference(rho, word):
    if len(word) <= 6:
        return np.trace(rho @ kron_matrix(word)).real
    return np.trace(apply_word(rho, word)).real  # Tr(P rho)


def test_the_two_references_agree():
    rng = np.random.default_rng(1)
    for n in (1, 2, 3):
        vectors = rng.normal(size=(1 << n, 3)) + 1j * rng.normal(size=(1 << n, 3))
        for word in itertools.product("IXYZ", repeat=n):
            np.testing.assert_allclose(apply_word(vectors, word), kron_matrix(word) @ vectors, atol=1e-14)


def as_pairs(word, rng):
    """The same word as (qubit, letter) pairs in random order, identity letters mostly left out."""
    pairs = [(q, c) for q, c in enumerate(word) if c != "I" or rng.random() < 0.3]
    rng.shuffle(pairs)
    return pairs


def word_list(rng, n):
    """Every letter mix: all words for n <= 3; else the identity, uniform words, random words, words sharing
    a flip mask (X and Y swapped, Z moved), and a repeat."""
    if n <= 3:
        return ["".join(w) for w in itertools.product("IXYZ", repeat=n)]
    words = ["I" * n, "X" * n, "Y" * n, "Z" * n]
    words += ["".join(rng.choice(list("IXYZ"), n)) for _ in range(10)]
    base = list(words[5])
    for _ in range(4):
        variant = [("Y" if c == "X" else "X") if c in "XY" and rng.random() < 0.5 else c for c in base]
        variant = [rng.choice(["I", "Z"]) if c in "IZ" else c for c in variant]
        words.append("".join(variant))
    words.append(words[6])
    return words


def flip_of(word):
    return sum(1 << q for q, c in enumerate(word) if c in "XY")


def random_state(rng, n, dtype):
    psi = sv_reference.random_state(rng, n).astype(dtype)
    return vorlent.DeviceState.from_numpy(n, psi.copy()), psi.astype(np.complex128)


def random_density(rng, n, dtype):
    rho = np.ascontiguousarray(dm_reference.random_density(rng, n, rank=min(3, 1 << n)), dtype=dtype)
    return kestamire.DeviceDensityState.from_numpy(n, rho.copy()), rho.astype(np.complex128)


def traced_kernels(tmp_path, monkeypatch, fn, *args):
    """(result, launched kernel names) of fn(*args) under the emulation's launch trace."""
    path = tmp_path / "trace.txt"
    path.unlink(missing_ok=True)
    monkeypatch.setenv("HOSTCUDA_TRACE", str(path))
    try:
        result = fn(*args)
    finally:
        monkeypatch.delenv("HOSTCUDA_TRACE")
    lines = path.read_text().splitlines() if path.exists() else []
    return result, [line.split("<")[0].split()[0] for line in lines]


# ---------------------------------------------------------------- expectation values


EXPECTATION_KINDS = {
    "vorlent": (vorlent, random_state, state_reference, 100),
    "kestamire": (kestamire, random_density, density_reference, 200),
}


# From 15 qubits on, a thread of the host's capped grid walks several items.
@pytest.mark.parametrize("kind, n", [("vorlent", n) for n in range(1, 18)] + [("kestamire", n) for n in range(1, 11)])
def test_expectations_match_reference(kind, n, dtype):
    module, build, reference, seed = EXPECTATION_KINDS[kind]
    rng = np.random.default_rng(seed + n)
    state, host = build(rng, n, dtype)
    words = word_list(rng, n)
    expected = np.array([reference(host, w) for w in words])
    got = module.pauli_expectations(state, words)
    assert got.dtype == np.float64 and got.shape == (len(words),)
    np.testing.assert_allclose(got, expected, rtol=0, atol=ATOL)
    # The pair form gives the same numbers.
    np.testing.assert_allclose(
        module.pauli_expectations(state, [as_pairs(w, rng) for w in words]), expected, rtol=0, atol=ATOL
    )
    np.testing.assert_array_equal(state.to_numpy(), host.astype(dtype))


def test_density_of_no_qubits_gives_its_trace():
    state = kestamire.DeviceDensityState.from_numpy(0, np.array([[0.75 + 0.25j]]))
    np.testing.assert_array_equal(kestamire.pauli_expectations(state, ["", []]), [0.75, 0.75])


def test_pure_density_agrees_with_its_state(dtype):
    rng = np.random.default_rng(7)
    n = 6
    psi = sv_reference.random_state(rng, n).astype(dtype)
    words = word_list(rng, n)
    ds = vorlent.DeviceState.from_numpy(n, psi.copy())
    dm = kestamire.DeviceDensityState.from_numpy(n, np.outer(psi, psi.conj()).astype(dtype))
    np.testing.assert_allclose(
        kestamire.pauli_expectations(dm, words), vorlent.pauli_expectations(ds, words), rtol=0, atol=1e-6
    )


@pytest.mark.parametrize("module", ["vorlent", "kestamire"])
def test_many_words_on_one_flip_mask_and_many_masks(module, dtype):
    # 70 words on one flip mask need three passes; 40 distinct masks one each.
    rng = np.random.default_rng(11)
    n = 8
    if module == "vorlent":
        state, host = random_state(rng, n, dtype)
        fn, ref = vorlent.pauli_expectations, state_reference
    else:
        state, host = random_density(rng, n, dtype)
        fn, ref = kestamire.pauli_expectations, density_reference
    shared = [
        "".join(rng.choice(list("XY")) if q in (1, 4, 6) else rng.choice(list("IZ")) for q in range(n))
        for _ in range(70)
    ]
    distinct = ["".join(rng.choice(list("IXYZ"), n)) for _ in range(40)]
    words = [w for pair in itertools.zip_longest(shared, distinct) for w in pair if w is not None]
    np.testing.assert_allclose(fn(state, words), [ref(host, w) for w in words], rtol=0, atol=ATOL)


@pytest.mark.host_only
@pytest.mark.parametrize("module", ["vorlent", "kestamire"])
def test_trace_shows_one_launch_per_pass(tmp_path, monkeypatch, module, dtype):
    rng = np.random.default_rng(12)
    n = 7
    if module == "vorlent":
        state, host = random_state(rng, n, dtype)
        fn, ref, kernel = vorlent.pauli_expectations, state_reference, "pauli_expectations_kernel"
    else:
        state, host = random_density(rng, n, dtype)
        fn, ref = kestamire.pauli_expectations, density_reference
        kernel = "density_pauli_expectations_kernel"
    same_flip = ["XZIIYZZ", "YIIZXZI", "XIZZYII", "YZZIXIZ"] * 9  # 36 words: two passes
    other = ["ZZIIIIZ", "IZIIIII", "ZIIIIIZ"]  # no flip: one pass
    single = ["IIIXIII"]
    words = same_flip[:20] + other + single + same_flip[20:]
    got, names = traced_kernels(tmp_path, monkeypatch, fn, state, words)
    np.testing.assert_allclose(got, [ref(host, w) for w in words], rtol=0, atol=ATOL)
    assert names.count(kernel) == 4, names
    assert len(words) == 40
    # An empty list launches nothing.
    empty, names = traced_kernels(tmp_path, monkeypatch, fn, state, [])
    assert empty.dtype == np.float64 and empty.shape == (0,)
    assert names == []


# ---------------------------------------------------------------- malformed words

BAD_WORDS = [
    (["XQ"], "pauli word 0: unknown letter 'Q' (letters are I, X, Y, Z)"),
    (["XX", "xZ"], "pauli word 1: unknown letter 'x' (letters are I, X, Y, Z)"),
    (["XXX"], "pauli word 0 has 3 letters, expected 2 (one per qubit)"),
    (["ZZ", ""], "pauli word 1 has 0 letters, expected 2 (one per qubit)"),
    (["XQ", "XXX"], "pauli word 0: unknown letter 'Q' (letters are I, X, Y, Z)"),
    ([[(2, "X")]], "pauli word 0: qubit 2 out of range for 2 qubits"),
    ([[(0, "Z"), (-1, "Z")]], "pauli word 0: qubit -1 out of range for 2 qubits"),
    ([[(0, "X"), (1, "Z"), (0, "Z")]], "pauli word 0: qubit 0 given twice"),
    ([[(0, "X")], [(1, "W")]], "pauli word 1: unknown letter 'W' (letters are I, X, Y, Z)"),
    ([[(1, "XY")]], "pauli word 0: unknown letter 'XY' (letters are I, X, Y, Z)"),
    ([[(0, "")]], "pauli word 0: unknown letter '' (letters are I, X, Y, Z)"),
    (["XX", 5], "pauli word 1 must be a string of letters or a sequence of (qubit, letter) pairs"),
    ([None], "pauli word 0 must be a string of letters or a sequence of (qubit, letter) pairs"),
    ([b"XX"], "pauli word 0 must be a string of letters or a sequence of (qubit, letter) pairs"),
    ([[(0,)]], "pauli word 0 must be a string of letters or a sequence of (qubit, letter) pairs"),
    ([[(0, 1)]], "pauli word 0 must be a string of letters or a sequence of (qubit, letter) pairs"),
    ([[("0", "X")]], "pauli word 0 must be a string of letters or a sequence of (qubit, letter) pairs"),
    ([[(0.0, "X")]], "pauli word 0 must be a string of letters or a sequence of (qubit, letter) pairs"),
    ([["X", "Z"]], "pauli word 0 must be a string of letters or a sequence of (qubit, letter) pairs"),
    ("XZ", "paulis must be a sequence of Pauli words, not a single string"),
]


@pytest.mark.parametrize("module", ["vorlent", "kestamire"])
@pytest.mark.parametrize("paulis,message", BAD_WORDS)
def test_malformed_words_are_refused_before_device_work(tmp_path, monkeypatch, module, paulis, message):
    rng = np.random.default_rng(3)
    if module == "vorlent":
        state, host = random_state(rng, 2, "complex128")
        fn = vorlent.pauli_expectations
    else:
        state, host = random_density(rng, 2, "complex128")
        fn = kestamire.pauli_expectations
    path = tmp_path / "trace.txt"
    monkeypatch.setenv("HOSTCUDA_TRACE", str(path))
    with pytest.raises(ValueError) as info:
        fn(state, paulis)
    monkeypatch.delenv("HOSTCUDA_TRACE")
    assert str(info.value) == message
    assert not path.exists() or path.read_text() == ""
    np.testing.assert_array_equal(state.to_numpy(), host)


@pytest.mark.parametrize("fn", [vorlent.pauli_expectations, kestamire.pauli_expectations])
def test_paulis_that_are_no_sequence_fail_conversion(fn):
    state = (
        vorlent.DeviceState.zero_state(2)
        if fn is vorlent.pauli_expectations
        else kestamire.DeviceDensityState.zero_state(2)
    )
    with pytest.raises(TypeError):
        fn(state, 5)
    with pytest.raises(TypeError):
        fn(state, {"XX"})


# ---------------------------------------------------------------- probabilities


def marginal_reference(weights, n, targets, endian):
    """Sums of `weights` (|psi_i|^2 or rho_ii) by outcome; bit j of an outcome is targets[j]'s value."""
    index = np.arange(1 << n)
    outcome = np.zeros(1 << n, dtype=np.int64)
    for j, t in enumerate(targets):
        bit = t if endian == "little" else n - 1 - t
        outcome |= ((index >> bit) & 1) << j
    return np.bincount(outcome, weights=weights, minlength=1 << len(targets))


def target_cases(n, rng):
    if n <= 3:
        return [list(p) for m in range(1, n + 1) for p in itertools.permutations(range(n), m)]
    return [list(rng.permutation(n)[:m]) for m in (1, 2, 3, n)]


PROBABILITY_KINDS = {
    "vorlent": (vorlent, random_state, lambda psi: np.abs(psi) ** 2, 300),
    "kestamire": (kestamire, random_density, lambda rho: np.diag(rho).real, 400),
}


@pytest.mark.parametrize(
    "kind, n", [("vorlent", n) for n in (1, 2, 3, 6, 11)] + [("kestamire", n) for n in (1, 2, 3, 6, 9)]
)
@pytest.mark.parametrize("endian", ["little", "big"])
def test_probabilities_match_marginals(kind, n, endian, dtype):
    module, build, weights_of, seed = PROBABILITY_KINDS[kind]
    rng = np.random.default_rng(seed + n)
    state, host = build(rng, n, dtype)
    weights = weights_of(host)
    for targets in target_cases(n, rng):
        got = module.probabilities(state, targets, endian)
        assert got.dtype == np.float64 and got.shape == (1 << len(targets),)
        np.testing.assert_allclose(got, marginal_reference(weights, n, targets, endian), rtol=0, atol=ATOL)
    np.testing.assert_array_equal(state.to_numpy(), host.astype(dtype))


def test_probability_index_bit_j_is_target_j():
    # |100>: only qubit 2 is 1 (little endian); with "big" target 0 reads bit 2.
    psi = np.zeros(8, dtype=complex)
    psi[4] = 1
    ds = vorlent.DeviceState.from_numpy(3, psi)
    dm = kestamire.DeviceDensityState.from_numpy(3, np.outer(psi, psi.conj()))
    for fn, state in ((vorlent.probabilities, ds), (kestamire.probabilities, dm)):
        np.testing.assert_array_equal(fn(state, [2, 0]), [0, 1, 0, 0])
        np.testing.assert_array_equal(fn(state, [0, 2]), [0, 0, 1, 0])
        np.testing.assert_array_equal(fn(state, [0, 2], "big"), [0, 1, 0, 0])


BAD_STATE_TARGETS = [
    ([], "little", "measure targets size must be in [1, 62]"),
    ([3], "little", "measure target index out of range"),
    ([-1], "big", "measure target index out of range"),
    ([0, 1, 0], "little", "duplicate measure target index"),
    ([3, 0, 0], "little", "measure target index out of range"),
    ([0, 0, 3], "little", "duplicate measure target index"),
    ([0], "Little", "endian must be 'little' or 'big'"),
    ([7], "BIG", "endian must be 'little' or 'big'"),
]
# The density checks look at every target's range before any repeat.
BAD_DENSITY_TARGETS = [([], "little", "measure targets must not be empty")] + [
    (t, e, "measure target index out of range" if t == [0, 0, 3] else m) for t, e, m in BAD_STATE_TARGETS[1:]
]


# A state class of each module and its 3-qubit zero state as an array.
ZERO_STATES = {
    "vorlent": (vorlent.DeviceState, np.eye(8)[0]),
    "kestamire": (kestamire.DeviceDensityState, np.outer(np.eye(8)[0], np.eye(8)[0])),
}


@pytest.mark.parametrize(
    "kind, targets, endian, message",
    [("vorlent", *case) for case in BAD_STATE_TARGETS] + [("kestamire", *case) for case in BAD_DENSITY_TARGETS],
)
def test_probability_targets_are_checked_as_measurement_does(kind, targets, endian, message):
    module = {"vorlent": vorlent, "kestamire": kestamire}[kind]
    cls, zero = ZERO_STATES[kind]
    state = cls.zero_state(3)
    for fn in (module.probabilities, module.measure_device):
        with pytest.raises(ValueError) as info:
            fn(state, targets, endian)
        assert str(info.value) == message
    np.testing.assert_array_equal(state.to_numpy(), zero)


def test_density_probabilities_of_no_qubits_are_refused():
    empty = kestamire.DeviceDensityState.zero_state(0)
    with pytest.raises(ValueError, match=r"^num_qubits must be in \[1, 15\]$"):
        kestamire.probabilities(empty, [0])


# ---------------------------------------------------------------- inner products


@pytest.mark.parametrize("n", [1, 2, 5, 9, 14])
def test_inner_product_matches_vdot(n, dtype):
    rng = np.random.default_rng(500 + n)
    a, ha = random_state(rng, n, dtype)
    b, hb = random_state(rng, n, dtype)
    got = vorlent.inner_product(a, b)
    assert isinstance(got, complex)
    np.testing.assert_allclose(got, np.vdot(ha, hb), rtol=0, atol=ATOL)
    np.testing.assert_allclose(vorlent.inner_product(b, a), np.vdot(hb, ha), rtol=0, atol=ATOL)
    np.testing.assert_allclose(vorlent.inner_product(a, a), np.vdot(ha, ha), rtol=0, atol=ATOL)
    np.testing.assert_array_equal(a.to_numpy(), ha.astype(dtype))


def test_inner_product_of_mismatched_states_is_refused():
    a = vorlent.DeviceState.zero_state(3, "complex128")
    with pytest.raises(ValueError, match=r"^inner_product states must have the same number of qubits$"):
        vorlent.inner_product(a, vorlent.DeviceState.zero_state(4, "complex128"))
    with pytest.raises(ValueError, match=r"^inner_product states must have the same dtype$"):
        vorlent.inner_product(a, vorlent.DeviceState.zero_state(3, "complex64"))
    with pytest.raises(TypeError):
        vorlent.inner_product(a, np.zeros(8, dtype=complex))


@pytest.mark.host_only
def test_inner_product_of_states_on_two_devices_is_refused(monkeypatch):
    monkeypatch.setenv("HOSTCUDA_DEVICE_COUNT", "2")
    a = vorlent.DeviceState.zero_state(3, "complex128", "cuda:0")
    b = vorlent.DeviceState.zero_state(3, "complex128", "cuda:1")
    with pytest.raises(ValueError, match=r"^inner_product states must be on the same device$"):
        vorlent.inner_product(a, b)


@pytest.mark.host_only
def test_a_failed_allocation_is_reported_and_leaves_the_state(monkeypatch):
    rng = np.random.default_rng(9)
    ds, psi = random_state(rng, 10, "complex128")
    dm, rho = random_density(rng, 4, "complex128")
    # Each module's device just holds its state: the per-call sums cannot be allocated.
    cases = [
        (psi.nbytes, lambda: vorlent.pauli_expectations(ds, ["XZ" * 5])),
        (psi.nbytes, lambda: vorlent.probabilities(ds, [0, 3])),
        (psi.nbytes, lambda: vorlent.inner_product(ds, ds)),
        (rho.nbytes, lambda: kestamire.pauli_expectations(dm, ["XYZI"])),
        (rho.nbytes, lambda: kestamire.probabilities(dm, [1])),
    ]
    for limit, call in cases:
        monkeypatch.setenv("HOSTCUDA_MEMORY_BYTES", str(limit))
        with pytest.raises(RuntimeError, match=r"^CUDA error: out of memory$"):
            call()
    monkeypatch.delenv("HOSTCUDA_MEMORY_BYTES")
    np.testing.assert_array_equal(ds.to_numpy(), psi)
    np.testing.assert_array_equal(dm.to_numpy(), rho)
    np.testing.assert_allclose(
        vorlent.pauli_expectations(ds, ["XZ" * 5]), [state_reference(psi, "XZ" * 5)], rtol=0, atol=ATOL
    )
