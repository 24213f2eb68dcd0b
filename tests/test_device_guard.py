"""Calls on a state held by another device leave the caller's current device
as they found it (two emulated devices). The current device belongs to the
calling thread, so each call runs on a fresh thread, which starts on device 0."""

import copy
import gc
import threading

import numpy as np
import pytest

import kestamire
import vorlent
from density_objects import Gate, Kraus
from gate_helpers import QuantumGate, gate
from sv_reference import random_state

pytestmark = pytest.mark.host_only
N = 6


def state_calls():
    rng = np.random.default_rng(3)
    psi = random_state(rng, N).astype(np.complex64)
    s = vorlent.DeviceState.from_numpy(N, psi, device="cuda:1")
    other = vorlent.DeviceState.zero_state(N, "complex64", device="cuda:1")
    gates = [gate("h", [q % 3]) for q in range(12)] + [gate("x", [4], [0], [1])]
    chunk = vorlent.prepare_fusion_chunk_gates(N, [QuantumGate("h", [q % 3]) for q in range(20)])
    host = psi.copy()
    return {
        "zero_state": lambda: vorlent.DeviceState.zero_state(N, device="cuda:1"),
        "from_numpy": lambda: vorlent.DeviceState.from_numpy(N, psi, device="cuda:1"),
        **{
            f"run_circuit_device/{mode.name}": (lambda mode=mode: vorlent.run_circuit_device(s, gates, mode=mode))
            for mode in (vorlent.AllState, vorlent.Pair, vorlent.PairAuto, vorlent.PairAutoFusion)
        },
        "execute_prepared_fusion_chunk": lambda: vorlent.execute_prepared_fusion_chunk(s, chunk),
        "measure_device": lambda: vorlent.measure_device(s, [0, 1], seed=1),
        "sample_measure_device": lambda: vorlent.sample_measure_device(s, [2], 10, seed=1, collapse_last=False),
        "pauli_expectations": lambda: vorlent.pauli_expectations(s, ["XZ" + "I" * (N - 2), "Z" * N]),
        "probabilities": lambda: vorlent.probabilities(s, [0, 3]),
        "inner_product": lambda: vorlent.inner_product(s, other),
        "to_numpy": s.to_numpy,
        "copy": lambda: copy.copy(s),
        "run_circuit": lambda: vorlent.run_circuit(N, host, [gates[0]], device="cuda:1"),
        "measure": lambda: vorlent.measure(N, host, [0], device="cuda:1"),
        "free": lambda: (vorlent.DeviceState.zero_state(N, device="cuda:1"), gc.collect()),
    }


def density_calls():
    rho = np.eye(1 << 3, dtype=np.complex128) / 8
    d = kestamire.DeviceDensityState.from_numpy(3, rho, device="cuda:1")
    ops = [Gate("h", [0]), Gate("x", [2], [1], [1]), Kraus([1], [np.eye(2) * 0.8**0.5, np.eye(2) * 0.2**0.5])]
    return {
        "density/zero_state": lambda: kestamire.DeviceDensityState.zero_state(3, device="cuda:1"),
        "density/from_numpy": lambda: kestamire.DeviceDensityState.from_numpy(3, rho, device="cuda:1"),
        "density/run_operations": lambda: kestamire.run_density_operations_device(d, 3, ops),
        "density/measure_device": lambda: kestamire.measure_device(d, [0], seed=2),
        "density/pauli_expectations": lambda: kestamire.pauli_expectations(d, ["XZI"]),
        "density/probabilities": lambda: kestamire.probabilities(d, [1, 2]),
        "density/to_numpy": d.to_numpy,
        "density/free": lambda: (kestamire.DeviceDensityState.zero_state(3, device="cuda:1"), gc.collect()),
    }


def device_after(module, call):
    """The current device of a fresh thread once `call` has run on it."""
    seen, failed = [], []

    def body():
        before = module._current_device()
        try:
            call()
        except Exception as e:  # re-raised on the test's own thread
            failed.append(e)
        seen.extend([before, module._current_device()])

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    if failed:
        raise failed[0]
    return seen


@pytest.mark.parametrize(
    "module, calls", [(vorlent, state_calls), (kestamire, density_calls)], ids=["vorlent", "kestamire"]
)
def test_calls_keep_the_current_device(monkeypatch, module, calls):
    monkeypatch.setenv("HOSTCUDA_DEVICE_COUNT", "2")
    seen = {name: device_after(module, call) for name, call in calls().items()}
    assert {name: s for name, s in seen.items() if s != [0, 0]} == {}
