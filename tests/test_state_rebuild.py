"""The rebuild functions that pickles of both state classes call: what they
accept, and which check wins when an argument breaks several."""

import numpy as np
import pytest

import kestamire
import vorlent

DTYPE_TEXT = "dtype must be 'complex64' or 'complex128', got: "
DEVICE_TEXT = "device must be 'cuda', 'gpu', or 'cuda:<id>', got: "


def amplitudes(n, dtype="complex128", seed=3):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(2**n) + 1j * rng.standard_normal(2**n)).astype(dtype)


def matrix(n, dtype="complex128", seed=4):
    rng = np.random.default_rng(seed)
    m = rng.standard_normal((2**n, 2**n)) + 1j * rng.standard_normal((2**n, 2**n))
    return (m @ m.conj().T).astype(dtype)


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
def test_rebuilt_states_hold_the_given_values(dtype):
    amps = amplitudes(3, dtype)
    s = vorlent._restore_device_state(3, dtype, "cuda:0", amps)
    assert (s.n, s.num_state, s.dtype, s.device_id) == (3, 8, dtype, 0)
    out = s.to_numpy()
    assert out.dtype == amps.dtype and np.array_equal(out, amps)

    rho = matrix(2, dtype)
    d = kestamire._restore_density_state(2, dtype, "gpu", rho.copy())
    assert (d.num_qubits, d.dimension, d.dtype, d.device_id) == (2, 4, dtype, 0)
    out = d.to_numpy()
    assert out.dtype == rho.dtype and np.array_equal(out, rho)


@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
def test_reduce_names_the_rebuild_function_with_its_arguments(dtype):
    amps = amplitudes(2, dtype)
    fn, args = vorlent.DeviceState.from_numpy(2, amps).__reduce__()
    assert fn is vorlent._restore_device_state
    assert args[:3] == (2, dtype, "cuda:0") and np.array_equal(args[3], amps) and args[3].dtype == amps.dtype

    rho = matrix(1, dtype)
    fn, args = kestamire.DeviceDensityState.from_numpy(1, rho.copy()).__reduce__()
    assert fn is kestamire._restore_density_state
    assert args[:3] == (1, dtype, "cuda:0") and np.array_equal(args[3], rho) and args[3].shape == (2, 2)


VECTOR_CASES = {
    # The array's layout is checked first, then its dtype, then the recorded one.
    "two_dimensional_before_bad_dtype_text": (
        3,
        "complex",
        "cuda:0",
        amplitudes(3).reshape(2, 4),
        "state must be a 1-D contiguous numpy array",
    ),
    "strided_before_dtype": (2, "complex64", "cuda:0", amplitudes(3)[::2], "state must be C-contiguous"),
    "qubit_count": (0, "complex128", "cuda:0", amplitudes(1), "n must be in [1, 62]"),
    "size": (2, "complex128", "cuda:0", amplitudes(3), "state.size must equal 2**n"),
    "array_dtype_before_recorded": (3, "complex", "cuda:0", amplitudes(3).real.copy(), DTYPE_TEXT + "float64"),
    "recorded_dtype_text": (3, "complex", "cuda:0", amplitudes(3), DTYPE_TEXT + "complex"),
    "recorded_dtype_differs": (3, "complex64", "cuda:0", amplitudes(3), "numpy state dtype does not match DeviceState"),
    "device_last": (3, "complex128", "cpu", amplitudes(3), DEVICE_TEXT + "cpu"),
}


DENSITY_CASES = {
    # The dtypes are checked first, then the matrix as from_numpy checks it.
    "array_dtype_before_shape": (1, "complex128", "cuda:0", matrix(2).real.copy(), DTYPE_TEXT + "float64"),
    "recorded_dtype_text": (2, "complex", "cuda:0", matrix(2), DTYPE_TEXT + "complex"),
    "recorded_dtype_differs_before_shape": (
        1,
        "complex64",
        "cuda:0",
        matrix(2),
        "dtype must be 'complex64', got: complex128",
    ),
    "qubit_count": (16, "complex128", "cuda:0", matrix(1), "num_qubits must be in [0, 15] for the GPU density backend"),
    "shape": (1, "complex128", "cuda:0", matrix(2), "state shape must be (2**n, 2**n)"),
    "fortran_order": (2, "complex128", "cuda:0", np.asfortranarray(matrix(2)), "state must be C-contiguous"),
    "read_only": (2, "complex64", "cuda:0", read_only(matrix(2, "complex64")), "state must be writable"),
    "bad_device": (2, "complex128", "GPU", matrix(2), DEVICE_TEXT + "GPU"),
}

REBUILDS = {
    "vector": (vorlent._restore_device_state, VECTOR_CASES),
    "density": (kestamire._restore_density_state, DENSITY_CASES),
}


@pytest.mark.parametrize(
    "restore, n, dtype, device, data, message",
    [
        pytest.param(restore, *case, id=f"{kind}-{name}")
        for kind, (restore, cases) in REBUILDS.items()
        for name, case in cases.items()
    ],
)
def test_rebuild_refusals(restore, n, dtype, device, data, message):
    with pytest.raises(ValueError) as info:
        restore(n, dtype, device, data)
    assert str(info.value) == message
