"""Runs under mpiexec, started by test_distributed.py: `distributed_worker.py SCENARIO`.

Every rank runs the same scenario; each compares the DistributedState with a
single-process DeviceState of the same n (and, for a few cases, with the NumPy
reference), and checks that all ranks return the same thing. A failed check
prints its traceback and aborts the whole job, so the driver sees a non-zero
exit instead of a hang.
"""

import os
import sys
import traceback

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
_build = os.environ.get("QUILLMARCH_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))

from mpi4py import MPI  # noqa: E402

import sv_reference as ref  # noqa: E402
import vorlent  # noqa: E402
from gate_helpers import BASE_ONE_QUBIT as ONE_QUBIT, QuantumGate  # noqa: E402

COMM = MPI.COMM_WORLD
RANK = COMM.Get_rank()
SIZE = COMM.Get_size()
G = SIZE.bit_length() - 1
MODES = [vorlent.AllState, vorlent.Pair, vorlent.PairAuto, vorlent.PairAutoFusion]
DTYPES = ["complex64", "complex128"]


def tolerance(dtype):
    return 2e-5 if dtype == "complex64" else 1e-11


def same_everywhere(value):
    """Every rank's value equals rank 0's."""
    everyone = COMM.allgather(value)
    assert all(v == everyone[0] for v in everyone), everyone


def raises_everywhere(kind, fragment, call):
    """`call` raises `kind` with `fragment` in its message on this rank, and
    every rank saw the same message."""
    try:
        call()
    except kind as e:
        message = str(e)
    else:
        raise AssertionError(f"{kind.__name__} not raised on rank {RANK}")
    assert fragment in message, message
    same_everywhere(message)
    return message


def check_layout(ds):
    assert sorted(ds.layout) == list(range(ds.n)), ds.layout
    same_everywhere(list(ds.layout))


def record(name, targets, controls=(), states=None, params=(), matrix=None):
    g = {
        "id": name,
        "target": list(targets),
        "control": list(controls),
        "control_state": list(states if states is not None else [1] * len(controls)),
        "parameter": list(params),
    }
    if matrix is not None:
        g["matrix"] = np.asarray(matrix, dtype=np.complex128)
    return g


def random_circuit(rng, n, length):
    """Every gate kind, on local and global qubits alike, with random controls;
    diagonal U and UNITARY gates and uncontrolled SWAPs included."""
    kinds = list(ONE_QUBIT) + [
        "swap",
        "cswap",
        "global_phase",
        "unitary1",
        "unitary2",
        "unitary3",
        "diag2",
        "diag3",
        "u_diag",
    ]
    names = kinds + list(rng.choice(kinds, size=max(0, length - len(kinds))))
    rng.shuffle(names)
    gates = []
    for name in names:
        name = str(name)
        k = {
            "swap": 2,
            "cswap": 2,
            "global_phase": 0,
            "unitary1": 1,
            "unitary2": 2,
            "unitary3": 3,
            "diag2": 2,
            "diag3": 3,
        }.get(name, 1)
        k = min(k, n - 1) if name == "cswap" else k
        qubits = [int(q) for q in rng.permutation(n)]
        targets, rest = qubits[:k], qubits[k:]
        nc = int(rng.integers(0, min(len(rest), 2) + 1))
        if name == "cswap":
            nc = max(nc, 1)
        controls = rest[:nc]
        states = [int(v) for v in rng.integers(0, 2, size=nc)]
        if name in ONE_QUBIT:
            params = [float(a) for a in rng.uniform(-2 * np.pi, 2 * np.pi, size=ONE_QUBIT[name])]
            gates.append(record(name, targets, controls, states, params))
        elif name == "u_diag":
            gates.append(
                record("u", targets, controls, states, [0.0, float(rng.uniform(-3, 3)), float(rng.uniform(-3, 3))])
            )
        elif name in ("swap", "cswap"):
            gates.append(
                record("swap", targets, controls if name == "cswap" else [], states if name == "cswap" else [], [])
            )
        elif name == "global_phase":
            gates.append(record("global_phase", [], controls, states, [float(rng.uniform(-3, 3))]))
        elif name.startswith("unitary"):
            gates.append(record("unitary", targets, controls, states, [], ref.random_unitary(rng, 1 << k)))
        else:
            d = np.exp(1j * rng.uniform(-np.pi, np.pi, size=1 << k))
            gates.append(record("unitary", targets, controls, states, [], np.diag(d)))
    return gates


def objects(gates):
    return [
        QuantumGate(g["id"], g["target"], g["control"], g["control_state"], g["parameter"], g.get("matrix"))
        for g in gates
    ]


def distributed_from(n, state, **kw):
    return vorlent.DistributedState.from_numpy(n, state if RANK == 0 else None, **kw)


def scenario_circuits():
    n = G + 4
    rng = np.random.default_rng(7 + n)
    for dtype in DTYPES:
        start = ref.random_state(rng, n).astype(dtype)
        for mode in MODES:
            for binding in ("device", "gates"):
                gates = random_circuit(rng, n, 40)
                ds = distributed_from(n, start, buffer_bytes=4096)
                assert (ds.n, ds.dtype, ds.rank, ds.size, ds.local_qubits) == (n, dtype, RANK, SIZE, n - G)
                single = vorlent.DeviceState.from_numpy(n, start)
                if binding == "device":
                    vorlent.run_circuit_device(ds, gates, mode=mode)
                    vorlent.run_circuit_device(single, gates, mode=mode)
                else:
                    vorlent.run_circuit_device_gates(ds, objects(gates), mode=mode)
                    vorlent.run_circuit_device_gates(single, objects(gates), mode=mode)
                check_layout(ds)
                # The circuit needed global qubits locally: data moved, in whole blocks.
                assert (ds.stats["swap_steps"] > 0) == (G > 0), ds.stats
                assert ds.stats["bytes_sent"] % ((1 << (n - G - min(G, n - G))) * np.dtype(dtype).itemsize) == 0
                expected = single.to_numpy()
                got = ds.to_numpy()
                assert got.dtype == np.dtype(dtype)
                np.testing.assert_allclose(got, expected, atol=tolerance(dtype), rtol=0)
                gathered = ds.gather(root=SIZE - 1)
                if RANK == SIZE - 1:
                    np.testing.assert_array_equal(gathered, got)
                else:
                    assert gathered is None
                if mode == vorlent.PairAuto and binding == "device":
                    np.testing.assert_allclose(got, ref.run(start, n, gates), atol=10 * tolerance(dtype), rtol=0)
        # A prepared chunk runs on every rank's slice like the same list does on one device.
        gates = random_circuit(rng, n, 30)
        chunk = vorlent.prepare_fusion_chunk_gates(n, objects(gates))
        ds = distributed_from(n, start)
        single = vorlent.DeviceState.from_numpy(n, start)
        vorlent.execute_prepared_fusion_chunk(ds, chunk)
        vorlent.execute_prepared_fusion_chunk(single, chunk)
        np.testing.assert_allclose(ds.to_numpy(), single.to_numpy(), atol=tolerance(dtype), rtol=0)
        raises_everywhere(
            ValueError,
            "DeviceState qubit count does not match prepared fusion chunk",
            lambda: vorlent.execute_prepared_fusion_chunk(
                ds, vorlent.prepare_fusion_chunk_gates(n + 1, objects(gates))
            ),
        )


def scenario_measure():
    n = G + 3
    rng = np.random.default_rng(11 + n)
    # Local, global and mixed targets, in both endians, before and after the
    # layout has been permuted.
    cases = [
        ([0], "little", False),
        ([n - 1], "little", True),
        ([n - 1, 0, 1], "big", False),
        ([1, n - 1], "little", True),
        ([1, n - 1], "big", True),
        (list(range(n))[::-1], "little", True),
    ]
    for dtype in DTYPES:
        start = ref.random_state(rng, n).astype(dtype)
        scramble = [record("swap", [0, n - 1]), record("h", [n - 1]), record("swap", [1, n - 1])]
        for targets, endian, shuffled in cases:
            seed = int(rng.integers(1 << 63))
            ds = distributed_from(n, start)
            single = vorlent.DeviceState.from_numpy(n, start)
            if shuffled:
                vorlent.run_circuit_device(ds, scramble)
                vorlent.run_circuit_device(single, scramble)
            counts, last = vorlent.sample_measure_device(
                ds, targets, 500, endian=endian, seed=seed, collapse_last=False
            )
            assert (counts, last) == vorlent.sample_measure_device(
                single, targets, 500, endian=endian, seed=seed, collapse_last=False
            )
            same_everywhere((sorted(counts.items()), last))
            assert sum(counts.values()) == 500
            np.testing.assert_allclose(ds.to_numpy(), single.to_numpy(), atol=tolerance(dtype), rtol=0)
            outcome = vorlent.measure_device(ds, targets, endian=endian, seed=seed + 1)
            assert outcome == vorlent.measure_device(single, targets, endian=endian, seed=seed + 1)
            same_everywhere(outcome)
            np.testing.assert_allclose(ds.to_numpy(), single.to_numpy(), atol=tolerance(dtype), rtol=0)
            counts, last = vorlent.sample_measure_device(ds, targets, 64, endian=endian, seed=seed)
            assert counts == {outcome: 64} and last == outcome
        # The independent check of the collapse: qubit n-1 (global on several
        # ranks) measured, then the state is the reference's projection.
        ds = distributed_from(n, start)
        bit = vorlent.measure_device(ds, [n - 1], seed=5)
        keep = ((np.arange(1 << n) >> (n - 1)) & 1) == int(bit)
        projected = np.where(keep, start.astype(np.complex128), 0)
        np.testing.assert_allclose(
            ds.to_numpy(), projected / np.linalg.norm(projected), atol=10 * tolerance(dtype), rtol=0
        )
        # seed=None: one seed drawn on rank 0, so every rank reports the same.
        ds = distributed_from(n, start)
        same_everywhere(vorlent.sample_measure_device(ds, [0, n - 1], 100, collapse_last=False))
        zero = vorlent.DistributedState.zero_state(n, dtype)
        vorlent.run_circuit_device(zero, [record("global_phase", [], [], [], [0.0])])
        raises_everywhere(ValueError, "measure target index out of range", lambda: vorlent.measure_device(zero, [n]))
        raises_everywhere(ValueError, "shots must be positive", lambda: vorlent.sample_measure_device(zero, [0], 0))
        empty = distributed_from(n, np.zeros(1 << n, dtype=dtype))
        raises_everywhere(
            RuntimeError, "Quantum state has zero or invalid norm.", lambda: vorlent.measure_device(empty, [0], seed=1)
        )


def observable_words(rng, n):
    """The identity, uniform words and random ones, words sharing one flip mask,
    flips that stay on a rank's slice and flips that reach global qubits."""
    words = ["I" * n, "X" * n, "Y" * n, "Z" * n, "X" + "I" * (n - 1), "I" * (n - 1) + "Y"]
    words += ["".join(rng.choice(list("IXYZ"), n)) for _ in range(12)]
    base = words[-1]
    for _ in range(3):
        words.append("".join(("Y" if c == "X" else "X") if c in "XY" else rng.choice(["I", "Z"]) for c in base))
    return words


def scenario_observables():
    """Pauli expectations, probabilities and overlaps equal the single-device
    ones and the NumPy reference, in any layout, on every rank alike, and leave
    the state as it was."""
    from test_observables import marginal_reference, state_reference

    n = G + 3
    rng = np.random.default_rng(13 + n)
    words = observable_words(rng, n)
    scramble = [record("swap", [0, n - 1]), record("h", [n - 1]), record("swap", [1, n - 1]), record("h", [0])]
    relabel = [record("swap", [0, 1]), record("swap", [n - 2, n - 1]), record("swap", [0, n - 1])]
    for dtype in DTYPES:
        start = ref.random_state(rng, n).astype(dtype)
        other = ref.random_state(rng, n).astype(dtype)
        for shuffled in (False, True):
            ds = distributed_from(n, start)
            single = vorlent.DeviceState.from_numpy(n, start)
            if shuffled:
                vorlent.run_circuit_device(ds, scramble)
                vorlent.run_circuit_device(single, scramble)
            psi = single.to_numpy().astype(np.complex128)
            before, layout = ds.to_numpy(), list(ds.layout)

            got = vorlent.pauli_expectations(ds, words)
            same_everywhere(got.tolist())
            np.testing.assert_allclose(got, vorlent.pauli_expectations(single, words), atol=1e-9, rtol=0)
            np.testing.assert_allclose(got, [state_reference(psi, w) for w in words], atol=1e-9, rtol=0)
            pairs = [[(q, c) for q, c in enumerate(w) if c != "I"][::-1] for w in words]
            np.testing.assert_array_equal(vorlent.pauli_expectations(ds, pairs), got)
            assert vorlent.pauli_expectations(ds, []).shape == (0,)

            for targets, endian in [([0], "little"), ([n - 1, 0], "big"), ([1, n - 1, 0], "little")]:
                p = vorlent.probabilities(ds, targets, endian=endian)
                same_everywhere(p.tolist())
                np.testing.assert_allclose(p, vorlent.probabilities(single, targets, endian=endian), atol=1e-12)
                np.testing.assert_allclose(p, marginal_reference(np.abs(psi) ** 2, n, targets, endian), atol=1e-9)
            assert list(ds.layout) == layout
            np.testing.assert_array_equal(ds.to_numpy(), before)

            # b in another layout: global and local qubits relabelled.
            b = distributed_from(n, other)
            b_single = vorlent.DeviceState.from_numpy(n, other)
            vorlent.run_circuit_device(b, relabel)
            vorlent.run_circuit_device(b_single, relabel)
            b_before = b.to_numpy()
            overlap = vorlent.inner_product(ds, b)
            same_everywhere(overlap)
            assert abs(overlap - vorlent.inner_product(single, b_single)) < 1e-9
            assert abs(overlap - np.vdot(psi, b_single.to_numpy().astype(np.complex128))) < 1e-9
            assert list(b.layout) == list(ds.layout)
            np.testing.assert_array_equal(b.to_numpy(), b_before)
            assert abs(vorlent.inner_product(ds, ds) - 1) < 1e-5

        # A flip on a global qubit trades the slice once per pass, chunk by
        # chunk; flips on local qubits, Z words and probabilities move nothing.
        n_big = G + 10
        big = ref.random_state(rng, n_big).astype(dtype)
        ds = distributed_from(n_big, big, buffer_bytes=4096)
        sent = ds.stats["bytes_sent"]
        local_words = ["XZ" + "I" * (n_big - 2), "Z" * n_big, "I" * n_big]
        vorlent.pauli_expectations(ds, local_words)
        vorlent.probabilities(ds, [0, n_big - 1])
        assert ds.stats["bytes_sent"] == sent
        far = ["I" * (n_big - 1) + "X", "Z" * (n_big - 1) + "Y", "X" * n_big]
        got = vorlent.pauli_expectations(ds, far + local_words)
        passes = len({w.replace("Y", "X").replace("Z", "I") for w in far}) if G > 0 else 0
        local_bytes = (1 << (n_big - G)) * np.dtype(dtype).itemsize
        assert ds.stats["bytes_sent"] == sent + passes * local_bytes, ds.stats
        wide = big.astype(np.complex128)
        np.testing.assert_allclose(got, [state_reference(wide, w) for w in far + local_words], atol=1e-9, rtol=0)

        raises_everywhere(ValueError, "pauli word 0 has 1 letters", lambda: vorlent.pauli_expectations(ds, ["X"]))
        raises_everywhere(ValueError, "measure target index out of range", lambda: vorlent.probabilities(ds, [n_big]))
        small = distributed_from(n, start)
        raises_everywhere(
            ValueError,
            "inner_product states must have the same number of qubits",
            lambda: vorlent.inner_product(ds, small),
        )
        twin = vorlent.DistributedState.zero_state(n_big, "complex128" if dtype == "complex64" else "complex64")
        raises_everywhere(
            ValueError, "inner_product states must have the same dtype", lambda: vorlent.inner_product(ds, twin)
        )
        if SIZE > 1:
            raises_everywhere(
                ValueError,
                "differ across ranks",
                lambda: vorlent.pauli_expectations(ds, ["Z" * n_big] if RANK == 0 else ["X" * n_big]),
            )


def library_reports_cuda_aware():
    """What the MPI library under mpi4py says of itself, asked through ctypes."""
    import ctypes

    query = getattr(ctypes.CDLL(MPI.__file__), "MPIX_Query_cuda_support", None)
    if query is None:
        return False
    query.restype = ctypes.c_int
    return query() == 1


def scenario_transport():
    """cuda_aware: detected from the MPI library unless given; either way an
    exchange gives the single-device result."""
    n = G + 4
    rng = np.random.default_rng(17)
    start = ref.random_state(rng, n).astype("complex64")
    assert vorlent.DistributedState.zero_state(n).cuda_aware == library_reports_cuda_aware()
    gates = random_circuit(rng, n, 30)
    single = vorlent.DeviceState.from_numpy(n, start)
    vorlent.run_circuit_device(single, gates)
    for aware in (False, True):
        ds = distributed_from(n, start, buffer_bytes=4096, cuda_aware=aware)
        assert ds.cuda_aware is aware
        vorlent.run_circuit_device(ds, gates)
        np.testing.assert_allclose(ds.to_numpy(), single.to_numpy(), atol=tolerance("complex64"), rtol=0)
    with_none = vorlent.DistributedState.zero_state(n, cuda_aware=None)
    assert with_none.cuda_aware == library_reports_cuda_aware()


def scenario_stats():
    n = G + 4
    L = n - G
    for dtype in DTYPES:
        local_bytes = (1 << L) * np.dtype(dtype).itemsize
        ds = vorlent.DistributedState.zero_state(n, dtype, buffer_bytes=4096)
        assert ds.stats == {"bytes_sent": 0, "swap_steps": 0, "exchange_seconds": 0.0}
        assert ds.layout == list(range(n))
        top = n - 1
        # Diagonal gates and controls on global qubits, and uncontrolled SWAPs, move nothing.
        free = [
            record("z", [top]),
            record("s", [top]),
            record("rz", [top], params=[0.3]),
            record("phase", [top], params=[0.2]),
            record("t", [top]),
            record("u", [top], params=[0, 0.4, 0.1]),
            record("unitary", [top, 0], matrix=np.diag(np.exp(1j * np.arange(4)))),
            record("x", [0], [top], [1]),
            record("h", [1], [top], [0]),
            record("global_phase", [], [top], [1], [0.5]),
        ]
        vorlent.run_circuit_device(ds, free)
        assert ds.stats["bytes_sent"] == 0 and ds.stats["swap_steps"] == 0
        if G >= 1:
            vorlent.run_circuit_device(ds, [record("swap", [0, top])])
            assert ds.stats["bytes_sent"] == 0
            expected_layout = list(range(n))
            expected_layout[0], expected_layout[top] = top, 0
            assert ds.layout == expected_layout
            vorlent.run_circuit_device(ds, [record("swap", [0, top])])
            assert ds.layout == list(range(n))
        # One H on each global qubit: a single step of g pairs.
        steps = [record("h", [q]) for q in range(L, n)]
        vorlent.run_circuit_device(ds, steps)
        pairs = min(G, L)
        expected = 0 if G == 0 else int(local_bytes * (1 - 2.0**-pairs))
        assert ds.stats["bytes_sent"] == expected, (ds.stats, expected)
        assert ds.stats["swap_steps"] == (1 if G else 0)
        assert (ds.stats["exchange_seconds"] > 0) == (G > 0)
        check_layout(ds)
        assert all(ds.layout[q] < L for q in range(L, n))
        # Now local: the same gates again move nothing.
        vorlent.run_circuit_device(ds, steps)
        assert ds.stats["bytes_sent"] == expected and ds.stats["swap_steps"] == (1 if G else 0)
        single = vorlent.DeviceState.zero_state(n, dtype)
        vorlent.run_circuit_device(single, free + steps + steps)
        np.testing.assert_allclose(ds.to_numpy(), single.to_numpy(), atol=tolerance(dtype), rtol=0)
        # A one-pair step for a lone gate sends half of the local amplitudes.
        if G >= 1:
            ds = vorlent.DistributedState.zero_state(n, dtype, buffer_bytes=4096)
            vorlent.run_circuit_device(ds, [record("x", [top])])
            assert ds.stats["bytes_sent"] == local_bytes // 2 and ds.stats["swap_steps"] == 1
            want = np.zeros(1 << n, dtype=dtype)
            want[1 << top] = 1
            np.testing.assert_array_equal(ds.to_numpy(), want)


def scenario_refusals():
    n = G + 3
    raises_everywhere(
        ValueError,
        "buffer_bytes must be at least one page",
        lambda: vorlent.DistributedState.zero_state(n, buffer_bytes=4095),
    )
    raises_everywhere(
        ValueError,
        "dtype must be 'complex64' or 'complex128', got: complex32",
        lambda: vorlent.DistributedState.zero_state(n, "complex32"),
    )
    if G >= 1:
        raises_everywhere(ValueError, "needs at least one local qubit", lambda: vorlent.DistributedState.zero_state(G))
    raises_everywhere(ValueError, "n must be in [1, 62]", lambda: vorlent.DistributedState.zero_state(0))
    if SIZE >= 2:
        raises_everywhere(
            ValueError, "arguments differ across ranks", lambda: vorlent.DistributedState.zero_state(n + RANK % 2)
        )
        raises_everywhere(
            ValueError,
            "arguments differ across ranks",
            lambda: vorlent.DistributedState.zero_state(n, DTYPES[RANK % 2]),
        )
    raises_everywhere(
        ValueError,
        "state.size must equal 2**n",
        lambda: vorlent.DistributedState.from_numpy(n, np.zeros(3, np.complex64) if RANK == 0 else None),
    )

    rng = np.random.default_rng(3)
    start = ref.random_state(rng, n)
    ds = distributed_from(n, start)
    before = ds.to_numpy()
    # Different lists on different ranks: refused everywhere, nothing applied.
    mine = [record("h", [n - 1]), record("x", [RANK % n])]
    if SIZE >= 2:
        raises_everywhere(ValueError, "differ across ranks", lambda: vorlent.run_circuit_device(ds, mine))
        raises_everywhere(ValueError, "differ across ranks", lambda: vorlent.measure_device(ds, [0], seed=RANK))
        np.testing.assert_array_equal(ds.to_numpy(), before)
    # A bad gate anywhere in the list fails before anything moves, with the
    # single-device message.
    bad = [record("h", [n - 1]), record("x", [1]), record("rx", [0], params=[])]
    single = vorlent.DeviceState.from_numpy(n, start)
    try:
        vorlent.run_circuit_device(single, bad)
    except ValueError as e:
        single_message = str(e)
    assert single_message == "RX gate requires exactly one parameter."
    for mode in MODES[:3]:
        assert (
            raises_everywhere(ValueError, single_message, lambda: vorlent.run_circuit_device(ds, bad, mode=mode))
            == single_message
        )
    out_of_range = [record("h", [0]), record("x", [n])]
    raises_everywhere(
        ValueError,
        f"target qubit {n} is out of range for {n} qubits",
        lambda: vorlent.run_circuit_device(ds, out_of_range),
    )
    raises_everywhere(
        ValueError,
        "endian must be 'little' or 'big'",
        lambda: vorlent.run_circuit_device(ds, [record("h", [0])], endian="Little"),
    )
    # A gate wider than the local qubits cannot run anywhere.
    if G >= 1:
        width = n - G + 1
        wide = record("unitary", list(range(width)), matrix=ref.random_unitary(rng, 1 << width))
        raises_everywhere(
            ValueError,
            f"gate 'unitary' needs {width} qubits held locally, but this DistributedState "
            f"holds {n - G} per process",
            lambda: vorlent.run_circuit_device(ds, [record("h", [0]), wide]),
        )
        np.testing.assert_array_equal(ds.to_numpy(), before)
        assert ds.stats["bytes_sent"] == 0
        # The same width as a diagonal needs nothing local and runs.
        diag = record("unitary", list(range(width)), matrix=np.diag(np.exp(1j * np.arange(1 << width))))
        vorlent.run_circuit_device(ds, [diag])
        np.testing.assert_allclose(ds.to_numpy(), ref.run(start, n, [diag]), atol=1e-11, rtol=0)
    vorlent.run_circuit_device_gates(ds, [])
    for attribute in ("n", "rank", "layout", "stats"):
        try:
            setattr(ds, attribute, 1)
        except AttributeError:
            pass
        else:
            raise AssertionError(f"{attribute} is writable")


def scenario_nonpow2():
    raises_everywhere(
        ValueError,
        f"needs a power-of-two number of processes, got {SIZE}",
        lambda: vorlent.DistributedState.zero_state(5),
    )


def scenario_memory():
    """Run with HOSTCUDA_MEMORY_BYTES at the local state plus two buffers and a
    little: every exchange must fit."""
    n = int(os.environ["DIST_N"])
    dtype = os.environ["DIST_DTYPE"]
    buffer_bytes = int(os.environ["DIST_BUFFER"])
    ds = vorlent.DistributedState.zero_state(n, dtype, buffer_bytes=buffer_bytes)
    hadamards = [record("h", [q]) for q in range(n)][::-1]
    vorlent.run_circuit_device(ds, hadamards)
    assert ds.stats["swap_steps"] >= (1 if G else 0)
    np.testing.assert_allclose(ds.to_numpy(), np.full(1 << n, 2 ** (-n / 2)), atol=tolerance(dtype), rtol=0)
    vorlent.run_circuit_device(ds, [record("x", [q]) for q in range(n)] + hadamards)
    want = np.zeros(1 << n)
    want[0] = 1
    np.testing.assert_allclose(ds.to_numpy(), want, atol=tolerance(dtype), rtol=0)
    same_everywhere(vorlent.measure_device(ds, [n - 1, 0], seed=3))


def scenario_exchange_failure():
    """On rank 1 the second launch of every call fails (HOSTCUDA_FAIL_LAUNCH_AFTER=1
    there), in the middle of an exchange: every rank raises naming rank 1
    instead of waiting for it, and the job goes on."""
    n = G + 10
    ds = vorlent.DistributedState.zero_state(n, "complex128", buffer_bytes=4096)
    raises_everywhere(
        RuntimeError,
        "rank 1 failed: exchange_unpack kernel launch failed: ",
        lambda: vorlent.run_circuit_device(ds, [record("h", [n - 1])]),
    )
    ds = vorlent.DistributedState.zero_state(n, "complex128", buffer_bytes=4096)
    raises_everywhere(
        RuntimeError,
        "rank 1 failed: pauli_expectations kernel launch failed: ",
        lambda: vorlent.pauli_expectations(ds, ["I" * (n - 1) + "X"]),
    )
    # No message of the abandoned trades is left in flight.
    got = ds.to_numpy()
    assert got[0] == 1 and np.count_nonzero(got) == 1
    same_everywhere(COMM.allgather(RANK))


def scenario_interrupt():
    """A Ctrl-C on rank 1 during a long run of swap steps: rank 1 raises
    KeyboardInterrupt, the others RuntimeError naming it, all with one text."""
    import signal
    import threading
    import time

    n = G + 14
    ds = vorlent.DistributedState.zero_state(n, buffer_bytes=4096)
    gates = [record("h", [q]) for _ in range(2000) for q in range(n)]
    if RANK == 1:
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
    began = time.monotonic()
    kind = KeyboardInterrupt if RANK == 1 else RuntimeError
    raises_everywhere(
        kind, "rank 1 failed: interrupted (KeyboardInterrupt)", lambda: vorlent.run_circuit_device(ds, gates)
    )
    assert ds.stats["swap_steps"] < 2000, ds.stats
    assert time.monotonic() - began < 60


def scenario_rank_failure():
    """Rank 1's device is too small for the exchange buffers: every rank raises
    a RuntimeError that names rank 1."""
    n = int(os.environ["DIST_N"])
    ds = vorlent.DistributedState.zero_state(n, "complex128", buffer_bytes=int(os.environ["DIST_BUFFER"]))
    raises_everywhere(
        RuntimeError, "rank 1 failed: CUDA error: ", lambda: vorlent.run_circuit_device(ds, [record("h", [n - 1])])
    )
    # The state is still usable with gates that move nothing.
    vorlent.run_circuit_device(ds, [record("h", [0])])
    got = ds.to_numpy()
    want = np.zeros(1 << n)
    want[:2] = 2**-0.5
    np.testing.assert_allclose(got, want, atol=1e-11, rtol=0)


def main():
    name = sys.argv[1]
    try:
        globals()["scenario_" + name]()
    except BaseException:
        sys.stdout.write(f"rank {RANK} of {SIZE} failed in {name}:\n{traceback.format_exc()}")
        sys.stdout.flush()
        COMM.Abort(1)
    COMM.Barrier()
    if RANK == 0:
        print(f"ok {name} on {SIZE}")


if __name__ == "__main__":
    main()
