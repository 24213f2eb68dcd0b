"""DeviceState: construction, host copies in both precisions, NumPy array
checks, device and dtype strings, memory limits and several devices."""

import gc

import numpy as np
import pytest

import vorlent
from conftest import parametrize_table
from surface_helpers import ORDINAL_MSG, WRITABLE_MSG, device_msg, dtype_msg, same_bytes
from sv_reference import random_state

DeviceState = vorlent.DeviceState

N_MSG = "n must be in [1, 62]"
SIZE_MSG = "state.size must equal 2**n"
NDIM_MSG = "state must be a 1-D contiguous numpy array"
CONTIG_MSG = "state must be C-contiguous"
MISMATCH_MSG = "numpy state dtype does not match DeviceState"
OOM_MSG = "CUDA error: out of memory"


def basis_zero(n, dtype):
    expect = np.zeros(2**n, dtype=dtype)
    expect[0] = 1
    return expect


@pytest.fixture
def no_live_states():
    """Memory-limit tests count every live device buffer of the process."""
    gc.collect()
    yield
    gc.collect()


# ---------------------------------------------------------------- round trips


@pytest.mark.parametrize("n", [1, 3, 7])
def test_from_numpy_round_trip(n, dtype):
    a = random_state(n, n, dtype)
    # Values a byte copy must keep exactly.
    a[0] = complex(-0.0, np.inf)
    if n > 1:
        a[1] = complex(np.nan, -np.inf)
    s = DeviceState.from_numpy(n, a)
    assert (s.n, s.num_state, s.dtype, s.device_id) == (n, 2**n, dtype, 0)

    out = s.to_numpy()
    assert out is not a
    assert same_bytes(out, a)

    target = np.full(2**n, 7 - 3j, dtype=dtype)
    assert s.copy_to_numpy(target) is None
    assert same_bytes(target, a)


def test_copies_are_independent_of_the_host_arrays(dtype):
    a = random_state(3, 4, dtype)
    keep = a.copy()
    s = DeviceState.from_numpy(4, a)
    a[:] = 0
    first = s.to_numpy()
    first[:] = 5
    assert same_bytes(s.to_numpy(), keep)


def test_from_numpy_of_a_contiguous_view_reads_the_view(dtype):
    base = random_state(8, 5, dtype)
    view = base[8:16]
    assert view.flags.c_contiguous and view.base is base
    s = DeviceState.from_numpy(3, view)
    assert same_bytes(s.to_numpy(), base[8:16].copy())


@pytest.mark.parametrize("n", [1, 2, 6])
def test_zero_state(n, dtype):
    s = DeviceState.zero_state(n, dtype)
    assert (s.n, s.num_state, s.dtype, s.device_id) == (n, 2**n, dtype, 0)
    assert same_bytes(s.to_numpy(), basis_zero(n, dtype))
    target = random_state(1, n, dtype)
    s.copy_to_numpy(target)
    assert same_bytes(target, basis_zero(n, dtype))


def test_defaults_are_double_precision_on_device_zero():
    s = DeviceState.zero_state(2)
    assert s.dtype == "complex128" and s.device_id == 0
    assert s.to_numpy().dtype == np.complex128
    assert DeviceState.from_numpy(1, np.zeros(2, np.complex64)).device_id == 0


def test_keyword_arguments(dtype):
    a = random_state(4, 2, dtype)
    s = DeviceState.from_numpy(n=2, state=a, device="cuda", use_pinned_host=True)
    out = np.empty_like(a)
    s.copy_to_numpy(state=out, use_pinned_host=False)
    assert same_bytes(out, a)
    assert same_bytes(s.to_numpy(use_pinned_host=True), a)
    z = DeviceState.zero_state(n=1, dtype=dtype, device="gpu")
    assert z.dtype == dtype


def test_read_only_array_is_accepted_by_from_numpy(dtype):
    a = random_state(9, 3, dtype)
    a.flags.writeable = False
    for pinned in (False, True):
        s = DeviceState.from_numpy(3, a, use_pinned_host=pinned)
        assert same_bytes(s.to_numpy(), a)


def test_read_only_array_is_refused_by_copy_to_numpy(dtype):
    s = DeviceState.zero_state(3, dtype)
    out = np.zeros(8, dtype)
    out.flags.writeable = False
    with pytest.raises(ValueError) as e:
        s.copy_to_numpy(out)
    assert str(e.value) == WRITABLE_MSG
    # Writability is checked before anything else about the array.
    bad = np.zeros((2, 4), np.float64)
    bad.flags.writeable = False
    with pytest.raises(ValueError) as e:
        s.copy_to_numpy(bad)
    assert str(e.value) == WRITABLE_MSG


def test_copy_to_numpy_dtype_mismatch():
    single = DeviceState.zero_state(2, "complex64")
    double = DeviceState.zero_state(2, "complex128")
    for state, wrong in ((single, np.complex128), (double, np.complex64)):
        out = np.full(4, 3 + 3j, dtype=wrong)
        with pytest.raises(ValueError) as e:
            state.copy_to_numpy(out)
        assert str(e.value) == MISMATCH_MSG
        assert np.all(out == 3 + 3j)


# ---------------------------------------------------------------- pinned copies


def pinned_round_trip(n, a):
    """Uploads `a` and reads it back both ways through pinned host memory; returns the copy_to_numpy target."""
    s = DeviceState.from_numpy(n, a, use_pinned_host=True)
    assert same_bytes(s.to_numpy(use_pinned_host=True), a)
    out = np.zeros_like(a)
    s.copy_to_numpy(out, use_pinned_host=True)
    assert same_bytes(out, a)
    return out


def test_pinned_copies(dtype):
    pinned_round_trip(6, random_state(21, 6, dtype))


@pytest.mark.host_only
def test_pinned_copies_when_registration_fails(dtype, monkeypatch):
    monkeypatch.setenv("HOSTCUDA_HOST_REGISTER_FAILS", "1")
    out = pinned_round_trip(5, random_state(22, 5, dtype))
    z = DeviceState.zero_state(5, dtype)
    z.copy_to_numpy(out, use_pinned_host=True)
    assert same_bytes(out, basis_zero(5, dtype))


# ---------------------------------------------------------------- array checks

# Each case: n, array builder, expected message. The builders make arrays that
# break exactly one rule, or several to pin down which rule is checked first.
ARRAY_CASES = {
    "2-D": (3, lambda dt: np.zeros((2, 4), dt), NDIM_MSG),
    "0-D": (1, lambda dt: np.array(1, dt), NDIM_MSG),
    "2-D float64": (3, lambda dt: np.zeros((2, 4), np.float64), NDIM_MSG),
    "strided": (3, lambda dt: np.zeros(16, dt)[::2], CONTIG_MSG),
    "reversed": (3, lambda dt: np.zeros(8, dt)[::-1], CONTIG_MSG),
    "strided float64": (3, lambda dt: np.zeros(16, np.float64)[::2], CONTIG_MSG),
    "n 0": (0, lambda dt: np.zeros(1, dt), N_MSG),
    "n -1": (-1, lambda dt: np.zeros(8, dt), N_MSG),
    "n 63": (63, lambda dt: np.zeros(8, dt), N_MSG),
    "n 63 odd size": (63, lambda dt: np.zeros(5, dt), N_MSG),
    "n 63 float64": (63, lambda dt: np.zeros(5, np.float64), N_MSG),
    "n int64 min": (-(2**63), lambda dt: np.zeros(8, dt), N_MSG),
    "n int64 max": (2**63 - 1, lambda dt: np.zeros(8, dt), N_MSG),
    "size 7": (3, lambda dt: np.zeros(7, dt), SIZE_MSG),
    "size 16": (3, lambda dt: np.zeros(16, dt), SIZE_MSG),
    "n 62 size 8": (62, lambda dt: np.zeros(8, dt), SIZE_MSG),
    "size float64": (3, lambda dt: np.zeros(7, np.float64), SIZE_MSG),
    "float64": (3, lambda dt: np.zeros(8, np.float64), dtype_msg("float64")),
    "int64": (3, lambda dt: np.zeros(8, np.int64), dtype_msg("int64")),
    "clongdouble": (3, lambda dt: np.zeros(8, np.clongdouble), dtype_msg(str(np.dtype(np.clongdouble)))),
    "byte-swapped": (
        3,
        lambda dt: np.zeros(8, np.dtype(dt).newbyteorder()),
        None,  # the message names the array's own dtype text, filled in below
    ),
}


def expected_array_message(case, arr):
    message = ARRAY_CASES[case][2]
    return dtype_msg(str(arr.dtype)) if message is None else message


@pytest.mark.parametrize("case", list(ARRAY_CASES))
def test_from_numpy_array_checks(case, dtype):
    n, build, _ = ARRAY_CASES[case]
    arr = build(dtype)
    with pytest.raises(ValueError) as e:
        DeviceState.from_numpy(n, arr)
    assert str(e.value) == expected_array_message(case, arr)


def test_byte_swapped_dtype_text():
    swapped = ">" if np.little_endian else "<"
    for text in ("c8", "c16"):
        with pytest.raises(ValueError) as e:
            DeviceState.from_numpy(1, np.zeros(2, np.dtype(swapped + text)))
        assert str(e.value) == dtype_msg(swapped + text)


# copy_to_numpy takes the qubit count from the state, so the n cases drop out.
@pytest.mark.parametrize("case", [c for c in ARRAY_CASES if not c.startswith("n ")])
def test_copy_to_numpy_array_checks(case, dtype):
    n, build, _ = ARRAY_CASES[case]
    arr = build(dtype)
    s = DeviceState.zero_state(n, dtype)
    with pytest.raises(ValueError) as e:
        s.copy_to_numpy(arr)
    assert str(e.value) == expected_array_message(case, arr)


def test_copy_to_numpy_checks_the_size_before_the_precision():
    s = DeviceState.zero_state(3, "complex64")
    with pytest.raises(ValueError) as e:
        s.copy_to_numpy(np.zeros(16, np.complex128))
    assert str(e.value) == SIZE_MSG


def test_non_array_state_is_a_type_error():
    with pytest.raises(TypeError):
        DeviceState.from_numpy(1, [1 + 0j, 0j])
    with pytest.raises(TypeError):
        DeviceState.zero_state(1).copy_to_numpy([0j, 0j])


def test_from_numpy_checks_the_array_before_the_device(dtype):
    with pytest.raises(ValueError) as e:
        DeviceState.from_numpy(3, np.zeros(8, np.float64), "tpu")
    assert str(e.value) == dtype_msg("float64")
    with pytest.raises(ValueError) as e:
        DeviceState.from_numpy(0, np.zeros(1, dtype), "tpu")
    assert str(e.value) == N_MSG
    with pytest.raises(ValueError) as e:
        DeviceState.from_numpy(3, np.zeros(8, dtype), "tpu")
    assert str(e.value) == device_msg("tpu")


# ---------------------------------------------------------------- qubit count


@pytest.mark.parametrize("n", [0, -1, 63, 64, -(2**63), 2**63 - 1])
def test_zero_state_qubit_count_bounds(n, dtype):
    with pytest.raises(ValueError) as e:
        DeviceState.zero_state(n, dtype)
    assert str(e.value) == N_MSG


def test_qubit_count_beyond_64_bits_is_a_type_error():
    with pytest.raises(TypeError):
        DeviceState.zero_state(2**63)


def test_qubit_count_is_checked_before_the_device_is_used():
    # The device string parses, but selecting device -1 would fail.
    with pytest.raises(ValueError) as e:
        DeviceState.zero_state(0, "complex64", "cuda:-1")
    assert str(e.value) == N_MSG


@parametrize_table(
    "n,dtype_text",
    [
        (62, "complex64"),
        (62, "complex128"),
        (61, "complex64"),  # 2**64 bytes: does not fit in a 64-bit size
        (60, "complex128"),  # 2**64 bytes as well
        (61, "complex128"),
        (60, "complex64"),  # 2**63 bytes: representable, but no device has it
        (59, "complex128"),
    ],
)
def test_huge_states_fail_as_out_of_memory(n, dtype_text):
    with pytest.raises(RuntimeError) as e:
        DeviceState.zero_state(n, dtype_text)
    assert str(e.value) == OOM_MSG


# ---------------------------------------------------------------- device strings


@pytest.mark.parametrize("text", ["cuda", "gpu", "cuda:0", "cuda:00", "cuda:+0", "cuda: 0", "cuda:0x"])
def test_device_strings_naming_device_zero(text, dtype):
    s = DeviceState.zero_state(1, dtype, text)
    assert s.device_id == 0
    assert same_bytes(s.to_numpy(), basis_zero(1, dtype))
    a = random_state(2, 1, dtype)
    assert DeviceState.from_numpy(1, a, text).device_id == 0


@pytest.mark.parametrize(
    "text", ["CUDA", "Cuda", "GPU", "gpu0", "cuda0", "gpu:0", "cuda 0", " cuda", "cuda ", "", "cpu"]
)
def test_bad_device_strings(text):
    with pytest.raises(ValueError) as e:
        DeviceState.zero_state(1, "complex64", text)
    assert str(e.value) == device_msg(text)
    with pytest.raises(ValueError) as e:
        DeviceState.from_numpy(1, np.zeros(2, np.complex64), text)
    assert str(e.value) == device_msg(text)


@pytest.mark.parametrize("text", ["cuda:", "cuda:abc", "cuda:-", "cuda:x1"])
def test_device_number_without_digits(text):
    with pytest.raises(ValueError) as e:
        DeviceState.zero_state(1, "complex64", text)
    assert str(e.value) == "stoi"


@pytest.mark.parametrize("text", ["cuda:99999999999", "cuda:-99999999999", "cuda:2147483648"])
def test_device_number_beyond_32_bits(text):
    with pytest.raises(IndexError) as e:
        DeviceState.zero_state(1, "complex64", text)
    assert str(e.value) == "stoi"


def test_negative_device_number_is_an_invalid_ordinal():
    with pytest.raises(RuntimeError) as e:
        DeviceState.zero_state(1, "complex64", "cuda:-1")
    assert str(e.value) == ORDINAL_MSG


@pytest.mark.host_only
@pytest.mark.parametrize("text", ["cuda:1", "cuda:2abc", "cuda:2147483647"])
def test_missing_device_is_an_invalid_ordinal(text, monkeypatch):
    monkeypatch.delenv("HOSTCUDA_DEVICE_COUNT", raising=False)
    with pytest.raises(RuntimeError) as e:
        DeviceState.zero_state(1, "complex64", text)
    assert str(e.value) == ORDINAL_MSG
    with pytest.raises(RuntimeError) as e:
        DeviceState.from_numpy(1, np.zeros(2, np.complex64), text)
    assert str(e.value) == ORDINAL_MSG


@pytest.mark.host_only
def test_digits_after_the_colon_are_read_up_to_the_first_non_digit(monkeypatch):
    monkeypatch.setenv("HOSTCUDA_DEVICE_COUNT", "3")
    assert DeviceState.zero_state(1, "complex64", "cuda:2abc").device_id == 2
    assert DeviceState.zero_state(1, "complex64", "cuda:1 ").device_id == 1


def test_device_is_parsed_before_the_dtype():
    with pytest.raises(ValueError) as e:
        DeviceState.zero_state(1, "complex", "tpu")
    assert str(e.value) == device_msg("tpu")
    with pytest.raises(ValueError) as e:
        DeviceState.zero_state(0, "complex", "cuda")
    assert str(e.value) == dtype_msg("complex")


# ---------------------------------------------------------------- dtype strings


@pytest.mark.parametrize(
    "text", ["complex", "Complex64", "COMPLEX128", "complex64 ", " complex128", "c8", "complex32", "float64", ""]
)
def test_bad_dtype_strings(text):
    with pytest.raises(ValueError) as e:
        DeviceState.zero_state(1, text)
    assert str(e.value) == dtype_msg(text)


# ---------------------------------------------------------------- several devices


@pytest.mark.host_only
def test_states_on_two_devices(dtype, monkeypatch):
    monkeypatch.setenv("HOSTCUDA_DEVICE_COUNT", "2")
    a0 = random_state(40, 4, dtype)
    a1 = random_state(41, 4, dtype)
    s0 = DeviceState.from_numpy(4, a0, "cuda:0")
    s1 = DeviceState.from_numpy(4, a1, "cuda:1", use_pinned_host=True)
    z1 = DeviceState.zero_state(3, dtype, "cuda:1")
    assert (s0.device_id, s1.device_id, z1.device_id) == (0, 1, 1)
    # Each call selects its own state's device, whatever came before.
    for _ in range(2):
        assert same_bytes(s1.to_numpy(), a1)
        assert same_bytes(s0.to_numpy(), a0)
        assert same_bytes(z1.to_numpy(), basis_zero(3, dtype))
    with pytest.raises(RuntimeError) as e:
        DeviceState.zero_state(1, dtype, "cuda:2")
    assert str(e.value) == ORDINAL_MSG

    # The device disappears: its state fails to select it, the other lives on.
    monkeypatch.setenv("HOSTCUDA_DEVICE_COUNT", "1")
    with pytest.raises(RuntimeError) as e:
        s1.to_numpy()
    assert str(e.value) == ORDINAL_MSG
    assert same_bytes(s0.to_numpy(), a0)
    monkeypatch.setenv("HOSTCUDA_DEVICE_COUNT", "2")
    assert same_bytes(s1.to_numpy(), a1)


# ---------------------------------------------------------------- device memory


@pytest.mark.host_only
def test_out_of_memory_leaves_states_usable(dtype, monkeypatch, no_live_states):
    monkeypatch.setenv("HOSTCUDA_MEMORY_BYTES", "4096")
    # Two states that fill the device exactly (2048 bytes each).
    a = random_state(50, 7, "complex128")
    s = DeviceState.from_numpy(7, a)
    t = DeviceState.zero_state(8, "complex64")
    with pytest.raises(RuntimeError) as e:
        DeviceState.zero_state(1, dtype)
    assert str(e.value) == OOM_MSG
    with pytest.raises(RuntimeError) as e:
        DeviceState.from_numpy(1, np.zeros(2, dtype))
    assert str(e.value) == OOM_MSG
    assert same_bytes(s.to_numpy(), a)
    assert same_bytes(t.to_numpy(), basis_zero(8, "complex64"))

    # Freeing a state returns its memory; the failed attempts kept none.
    del s
    gc.collect()
    u = DeviceState.zero_state(7, "complex128")
    assert same_bytes(u.to_numpy(), basis_zero(7, "complex128"))
    with pytest.raises(RuntimeError) as e:
        DeviceState.zero_state(1, dtype)
    assert str(e.value) == OOM_MSG


@pytest.mark.host_only
def test_state_larger_than_the_device(dtype, monkeypatch, no_live_states):
    monkeypatch.setenv("HOSTCUDA_MEMORY_BYTES", "1000")
    with pytest.raises(RuntimeError) as e:
        DeviceState.zero_state(7, dtype)
    assert str(e.value) == OOM_MSG
    s = DeviceState.zero_state(5, "complex64")
    assert same_bytes(s.to_numpy(), basis_zero(5, "complex64"))
