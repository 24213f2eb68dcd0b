"""Array interchange on the host backend: DLPack views of both state classes,
their lifetime, copies, the exporter's argument checks, and from_dlpack."""

import gc

import numpy as np
import pytest

import dm_reference
import kestamire
import sv_reference
import vorlent
from conftest import parametrize_table
from density_objects import Gate
from surface_helpers import device_msg, dtype_msg, same_bytes

if vorlent.backend != "host":
    pytest.skip("CPU views need the host backend; tests/test_interop_gpu.py covers a GPU", allow_module_level=True)

N = 3
KINDS = ["state", "density"]
CLASSES = {"state": vorlent.DeviceState, "density": kestamire.DeviceDensityState}


def host_array(kind, dtype, seed=1):
    if kind == "state":
        return sv_reference.random_state(seed, N, dtype)
    return sv_reference.random_state(seed, 2 * N, dtype).reshape(2**N, 2**N)


def load(kind, dtype, seed=1):
    a = host_array(kind, dtype, seed)
    return CLASSES[kind].from_numpy(N, a.copy()), a


def apply_x0(kind, obj):
    """X on qubit 0 through the module, and the same on a host array by the NumPy reference."""
    if kind == "state":
        vorlent.run_circuit_device(
            obj, [{"id": "x", "target": [0], "control": [], "control_state": [], "parameter": []}]
        )
        return lambda a: sv_reference.apply_gate(
            a, N, {"id": "x", "target": [0], "control": [], "control_state": [], "parameter": []}
        )
    kestamire.run_density_operations_device(obj, N, [Gate("x", [0])])
    return lambda a: dm_reference.apply_unitary(a, N, dm_reference.named_matrix("x"), [0])


@pytest.mark.parametrize("kind", KINDS)
def test_view_shares_memory_both_ways(kind, dtype):
    obj, a = load(kind, dtype)
    view = np.from_dlpack(obj)
    itemsize = np.dtype(dtype).itemsize
    expect_strides = (itemsize,) if kind == "state" else (2**N * itemsize, itemsize)
    assert (view.dtype, view.shape, view.strides) == (np.dtype(dtype), a.shape, expect_strides)
    assert view.flags.writeable and same_bytes(view, a)
    assert np.shares_memory(view, np.from_dlpack(obj))

    reference = apply_x0(kind, obj)
    # An export waits for the queued work; the older view shares its memory. (A host build's view is CPU memory,
    # which no stream orders: without this, deferred launches would still be pending.)
    np.from_dlpack(obj)
    np.testing.assert_array_equal(view, reference(a.astype(np.complex128)).astype(dtype))

    view[...] = host_array(kind, dtype, seed=2)
    assert same_bytes(obj.to_numpy(), host_array(kind, dtype, seed=2))


@pytest.mark.parametrize("kind", KINDS)
def test_copy_is_independent(kind, dtype):
    obj, a = load(kind, dtype)
    copied = np.from_dlpack(obj, copy=True)
    assert same_bytes(copied, a) and not np.shares_memory(copied, np.from_dlpack(obj))
    copied[...] = 0
    apply_x0(kind, obj)
    assert not copied.any() and not same_bytes(obj.to_numpy(), a)


@pytest.mark.host_only
@pytest.mark.parametrize("kind", KINDS)
def test_view_keeps_the_buffer_alive_and_unused_capsules_free_it(kind, monkeypatch):
    gc.collect()
    obj, a = load(kind, "complex128")
    monkeypatch.setenv("HOSTCUDA_MEMORY_BYTES", str(a.nbytes))
    view = np.from_dlpack(obj)
    del obj
    gc.collect()
    # The view still holds the only device buffer there is room for.
    with pytest.raises(RuntimeError, match="out of memory"):
        CLASSES[kind].zero_state(N, "complex128")
    assert same_bytes(view, a)
    del view
    gc.collect()
    # Capsules never consumed give their buffer back, in both forms and for copies.
    for kwargs in [{}, {"max_version": (1, 0)}, {"max_version": (1, 0), "copy": True}] * 2:
        obj = CLASSES[kind].zero_state(N, "complex128")
        if kwargs.get("copy"):
            with pytest.raises(RuntimeError, match="out of memory"):
                obj.__dlpack__(**kwargs)
        else:
            capsule = obj.__dlpack__(**kwargs)
            del capsule
        del obj
    monkeypatch.setenv("HOSTCUDA_MEMORY_BYTES", str(2 * a.nbytes))
    for _ in range(3):
        obj = CLASSES[kind].zero_state(N, "complex128")
        capsule = obj.__dlpack__(max_version=(1, 0), copy=True)
        del obj, capsule


@pytest.mark.parametrize("kind", KINDS)
def test_capsule_form_follows_max_version(kind):
    obj, _ = load(kind, "complex64")
    assert obj.__dlpack_device__() == (1, 0)
    for max_version, name in [
        (None, '"dltensor"'),
        ((0, 8), '"dltensor"'),
        ((1, 0), '"dltensor_versioned"'),
        ((1, 3), '"dltensor_versioned"'),
        ((2, 0), '"dltensor_versioned"'),
    ]:
        assert name in repr(obj.__dlpack__(max_version=max_version)), max_version
    assert obj.__dlpack__(dl_device=(1, 0), copy=False, stream=None) is not None


@pytest.mark.parametrize("kind", KINDS)
@parametrize_table(
    "kwargs, message",
    [
        ({"max_version": (1,)}, "max_version must be None or a (major, minor) pair of non-negative integers"),
        ({"max_version": (-1, 0)}, "max_version must be None or a (major, minor) pair of non-negative integers"),
        ({"max_version": "1.0"}, "max_version must be None or a (major, minor) pair of non-negative integers"),
        (
            {"dl_device": (2, 0)},
            "dl_device (2, 0) is not the state's device (1, 0); " "export on another device is not supported",
        ),
        (
            {"dl_device": (1, 1), "copy": True},
            "dl_device (1, 1) is not the state's device (1, 0); " "export on another device is not supported",
        ),
        ({"dl_device": 1}, "dl_device must be None or a (device_type, device_id) pair of integers"),
        ({"stream": 1}, "stream must be None for a state in host memory"),
        ({"copy": "yes"}, "copy must be None, True or False"),
    ],
)
def test_bad_export_requests_raise_buffer_error(kind, kwargs, message):
    obj, _ = load(kind, "complex64")
    with pytest.raises(BufferError) as e:
        obj.__dlpack__(**kwargs)
    assert str(e.value) == message


class LegacyProducer:
    """A producer from before max_version: only the legacy capsule."""

    def __init__(self, array):
        self.array = array

    def __dlpack__(self, stream=None):
        return self.array.__dlpack__(stream=stream)


@pytest.mark.parametrize("kind", KINDS)
def test_from_dlpack_round_trips(kind, dtype):
    cls = CLASSES[kind]
    a = host_array(kind, dtype)
    s = cls.from_dlpack(N, a)
    assert s.dtype == dtype and same_bytes(s.to_numpy(), a)
    a[...] = 0
    assert not same_bytes(s.to_numpy(), a)
    # From another state: a device-side copy, independent of its source.
    t = cls.from_dlpack(N, s, device="cuda:0")
    apply_x0(kind, s)
    assert same_bytes(t.to_numpy(), host_array(kind, dtype))
    assert same_bytes(
        cls.from_dlpack(N, LegacyProducer(host_array(kind, dtype, 5))).to_numpy(), host_array(kind, dtype, 5)
    )
    # Byte offsets of sliced views are honoured.
    big = np.stack([host_array(kind, dtype, 6), host_array(kind, dtype, 7)])
    assert same_bytes(cls.from_dlpack(N, big[1]).to_numpy(), host_array(kind, dtype, 7))


STATE_CASES = [
    (3, np.zeros((2, 4), np.complex64), "state must be a 1-D contiguous numpy array"),
    (3, np.zeros(16, np.complex64)[::2], "state must be C-contiguous"),
    (0, np.zeros(1, np.complex64), "n must be in [1, 62]"),
    (3, np.zeros(4, np.complex64), "state.size must equal 2**n"),
    (2, np.zeros(4, np.float64), dtype_msg("float64")),
    (2, np.zeros(4, np.int32), dtype_msg("int32")),
]
DENSITY_CASES = [
    (16, np.zeros((2, 2), np.complex64), "num_qubits must be in [0, 15] for the GPU density backend"),
    (1, np.zeros(4, np.complex64), "state shape must be (2**n, 2**n)"),
    (1, np.zeros((2, 4), np.complex64), "state shape must be (2**n, 2**n)"),
    (1, np.zeros((4, 4), np.complex64)[::2, ::2], "state must be C-contiguous"),
    (1, np.asfortranarray(np.arange(4, dtype=np.complex64).reshape(2, 2)), "state must be C-contiguous"),
    (0, np.zeros((2, 2), np.complex64)[:1, 1:], None),
    (1, np.zeros((2, 2), np.float32), dtype_msg("float32")),
]


@parametrize_table(
    "kind, n, array, message", [("state", *c) for c in STATE_CASES] + [("density", *c) for c in DENSITY_CASES]
)
def test_from_dlpack_checks_as_from_numpy(kind, n, array, message):
    cls = CLASSES[kind]
    if message is None:  # accepted by both
        assert same_bytes(cls.from_dlpack(n, array).to_numpy(), cls.from_numpy(n, array).to_numpy())
        return
    for build in (cls.from_numpy, cls.from_dlpack):
        with pytest.raises(ValueError) as e:
            build(n, array)
        assert str(e.value) == message, build


@pytest.mark.parametrize("kind", KINDS)
def test_from_dlpack_bad_device_and_producers(kind):
    cls = CLASSES[kind]
    a = host_array(kind, "complex64")
    with pytest.raises(ValueError) as e:
        cls.from_dlpack(N, a, device="tpu")
    assert str(e.value) == device_msg("tpu")
    with pytest.raises(TypeError) as e:
        cls.from_dlpack(N, a.tolist())
    assert str(e.value) == "array must support the DLPack protocol (__dlpack__), got list"
    a.flags.writeable = False
    if kind == "state":
        assert same_bytes(cls.from_dlpack(N, a).to_numpy(), a)
    else:
        with pytest.raises(ValueError) as e:
            cls.from_dlpack(N, a)
        assert str(e.value) == "state must be writable"
