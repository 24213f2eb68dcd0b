"""kestamire module surface: DeviceDensityState life cycle and argument checks."""

import numpy as np
import pytest

import kestamire
from density_objects import Gate, load
from dm_reference import random_density

State = kestamire.DeviceDensityState
QUBITS = "num_qubits must be in [0, 15] for the GPU density backend"


def raises(kind, message, fn, *args):
    with pytest.raises(kind) as info:
        fn(*args)
    assert str(info.value) == message


def test_module_docstring():
    assert kestamire.__doc__ == "CUDA dense density-matrix backend for quillmarch"


def test_from_numpy_checks_in_order():
    rng = np.random.default_rng(5)
    good = random_density(rng, 2)
    # Each input also breaks every later rule, so the first failing rule must win.
    fortran_readonly_float = np.asfortranarray(good.real)
    fortran_readonly_float.flags.writeable = False
    readonly_float = np.ascontiguousarray(good.real)
    readonly_float.flags.writeable = False
    cases = [
        (16, np.zeros((4, 3)), QUBITS),
        (1, good, "state shape must be (2**n, 2**n)"),
        (2, np.zeros((4,), np.complex128), "state shape must be (2**n, 2**n)"),
        (2, np.zeros((4, 4, 1), np.complex128), "state shape must be (2**n, 2**n)"),
        (2, good.T, "state must be C-contiguous"),
        (2, fortran_readonly_float, "state must be C-contiguous"),
        (2, readonly_float, "state must be writable"),
        (2, np.ascontiguousarray(good.real), "dtype must be 'complex64' or 'complex128', got: float64"),
        (2, good.astype(np.complex256), "dtype must be 'complex64' or 'complex128', got: complex256"),
    ]
    for n, array, message in cases:
        raises(ValueError, message, State.from_numpy, n, array)
    raises(
        ValueError, "device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu", State.from_numpy, 2, good.copy(), "cpu"
    )


def test_round_trip_keeps_values_and_precision(dtype):
    rng = np.random.default_rng(11)
    for n in (0, 1, 3):
        host = random_density(rng, n).astype(dtype)
        state = State.from_numpy(n, host.copy(), "gpu")
        assert (state.num_qubits, state.dimension, state.dtype, state.device_id) == (n, 1 << n, dtype, 0)
        out = state.to_numpy()
        assert out.dtype == np.dtype(dtype) and out.shape == (1 << n, 1 << n) and out.flags.c_contiguous
        assert np.array_equal(out, host)


def test_zero_state():
    one = State.zero_state(0)
    assert one.dtype == "complex128" and one.dimension == 1
    assert np.array_equal(one.to_numpy(), np.array([[1]], np.complex128))
    state = State.zero_state(2, "complex64", "gpu")
    expected = np.zeros((4, 4), np.complex64)
    expected[0, 0] = 1
    out = state.to_numpy()
    assert out.dtype == np.complex64 and np.array_equal(out, expected)
    raises(ValueError, QUBITS, State.zero_state, 16)
    # The device string is read before the dtype.
    raises(
        ValueError, "device must be 'cuda', 'gpu', or 'cuda:<id>', got: tpu", State.zero_state, 1, "complex32", "tpu"
    )
    raises(ValueError, "dtype must be 'complex64' or 'complex128', got: complex32", State.zero_state, 1, "complex32")
    raises(RuntimeError, "CUDA error: invalid device ordinal", State.zero_state, 1, "complex128", "cuda:64")


def test_copy_is_independent(dtype):
    rng = np.random.default_rng(3)
    state, host = load(random_density(rng, 2), dtype)
    twin = state.copy()
    assert (twin.num_qubits, twin.dtype, twin.device_id) == (2, dtype, state.device_id)
    kestamire.run_density_operations_device(twin, 2, [Gate("x", [0])])
    assert np.array_equal(state.to_numpy().astype(np.complex128), host)
    flipped = host[[1, 0, 3, 2]][:, [1, 0, 3, 2]]
    assert np.array_equal(twin.to_numpy().astype(np.complex128), flipped)


def test_qubit_count_checked_only_for_non_empty_lists():
    state = State.zero_state(2)
    kestamire.run_density_operations_device(state, 3, [])
    kestamire.run_density_operations_device(state, 3, iter(()))
    raises(
        ValueError,
        "num_qubits does not match DeviceDensityState",
        kestamire.run_density_operations_device,
        state,
        3,
        [Gate("h", [0])],
    )
    # Parsing comes first.
    raises(
        RuntimeError,
        "unsupported density operation kind 'kraus '",
        kestamire.run_density_operations_device,
        state,
        3,
        [type("Op", (), {"operation_kind": "kraus "})()],
    )
    assert np.array_equal(state.to_numpy(), State.zero_state(2).to_numpy())


def test_earlier_runtime_failure_is_not_blamed_on_a_run():
    with pytest.raises(RuntimeError):
        State.zero_state(1, "complex128", "cuda:64")
    state = State.zero_state(1)
    kestamire.run_density_operations_device(state, 1, [Gate("x", [0])])
    assert np.array_equal(state.to_numpy(), np.array([[0, 0], [0, 1]], np.complex128))
