"""Zero-copy hand-off to CuPy and PyTorch on the cuda backend (tools/gpu_check.sh
runs these; each library is skipped where it is not installed)."""

import gc

import numpy as np
import pytest

import kestamire
import vorlent
from surface_helpers import same_bytes
from sv_reference import random_state

if vorlent.backend != "cuda":
    pytest.skip("needs the cuda backend", allow_module_level=True)

N = 4
CLASSES = {"state": vorlent.DeviceState, "density": kestamire.DeviceDensityState}


class Lib:
    """The few operations the checks need, for CuPy and PyTorch alike."""

    def __init__(self, name):
        self.name = name
        self.mod = pytest.importorskip(name)

    def view(self, producer):
        return self.mod.from_dlpack(producer)

    def to_numpy(self, x):
        return self.mod.asnumpy(x) if self.name == "cupy" else x.cpu().numpy()

    def ptr(self, x):
        return x.data.ptr if self.name == "cupy" else x.data_ptr()

    def synchronize(self):
        if self.name == "cupy":
            self.mod.cuda.Device().synchronize()
        else:
            self.mod.cuda.synchronize()

    def array(self, host):
        return self.mod.asarray(host) if self.name == "cupy" else self.mod.from_numpy(host).cuda()


class CopyProducer:
    """Asks the state for copy=True whatever the consumer library's version passes."""

    def __init__(self, state):
        self.state = state

    def __dlpack__(self, **kwargs):
        kwargs["copy"] = True
        return self.state.__dlpack__(**kwargs)

    def __dlpack_device__(self):
        return self.state.__dlpack_device__()


def host_array(kind, dtype, seed=1):
    a = random_state(seed, N if kind == "state" else 2 * N, dtype)
    return a if kind == "state" else a.reshape(2**N, 2**N)


@pytest.fixture(params=["cupy", "torch"])
def lib(request):
    return Lib(request.param)


@pytest.mark.parametrize("kind", ["state", "density"])
def test_views_share_device_memory(lib, kind, dtype):
    a = host_array(kind, dtype)
    state = CLASSES[kind].from_numpy(N, a.copy())
    assert state.__dlpack_device__() == (2, state.device_id)
    view = lib.view(state)
    assert tuple(view.shape) == a.shape and same_bytes(lib.to_numpy(view), a)
    assert lib.ptr(view) == lib.ptr(lib.view(state)) == state.__cuda_array_interface__["data"][0]
    view[...] = 0
    lib.synchronize()
    assert not state.to_numpy().any()

    copied = lib.view(CopyProducer(state))
    assert lib.ptr(copied) != lib.ptr(view)
    view[...] = lib.array(a)
    lib.synchronize()
    assert not lib.to_numpy(copied).any() and same_bytes(state.to_numpy(), a)

    del state
    gc.collect()
    assert same_bytes(lib.to_numpy(view), a)


def test_expectation_of_z0_without_a_host_copy(lib):
    a = host_array("state", "complex128")
    a /= np.linalg.norm(a)
    state = vorlent.DeviceState.from_numpy(N, a)
    vorlent.run_circuit_device(state, [{"id": "h", "target": [0], "control": [], "control_state": [], "parameter": []}])
    amps = lib.view(state)
    p = (amps.real**2 + amps.imag**2).reshape(-1, 2)
    z0 = float((p[:, 0] - p[:, 1]).sum())
    h = np.array([[1, 1], [1, -1]]) / np.sqrt(2)
    after = (a.reshape(-1, 2) @ h.T).ravel()
    expect = np.sum(np.abs(after[0::2]) ** 2) - np.sum(np.abs(after[1::2]) ** 2)
    assert abs(z0 - expect) < 1e-12


def test_cupy_consumer_on_its_own_stream(dtype):
    cupy = pytest.importorskip("cupy")
    state = vorlent.DeviceState.zero_state(20, dtype)
    vorlent.run_circuit_device(
        state, [{"id": "x", "target": [19], "control": [], "control_state": [], "parameter": []}] * 3
    )
    with cupy.cuda.Stream(non_blocking=True):
        view = cupy.from_dlpack(state)
        top = complex(view[1 << 19])
    assert top == 1


@pytest.mark.parametrize("kind", ["state", "density"])
def test_from_dlpack_of_device_arrays(lib, kind, dtype):
    a = host_array(kind, dtype, seed=3)
    source = lib.array(a.copy())
    state = CLASSES[kind].from_dlpack(N, source)
    source[...] = 0
    lib.synchronize()
    assert same_bytes(state.to_numpy(), a)
    with pytest.raises(ValueError) as e:
        CLASSES[kind].from_dlpack(N, lib.array(np.zeros(a.shape, np.float64)))
    assert str(e.value) == "dtype must be 'complex64' or 'complex128', got: float64"
