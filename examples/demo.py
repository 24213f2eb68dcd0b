"""A small tour of the quillmarch GPU back end.

Runs on a GPU build or on the host (CPU emulation) build alike.
"""

import numpy as np

import vorlent


def main():
    print(f"vorlent backend: {vorlent.backend}")

    # A state round trip through device memory.
    amplitudes = (np.arange(8) + 1j).astype(np.complex128)
    amplitudes /= np.linalg.norm(amplitudes)
    state = vorlent.DeviceState.from_numpy(3, amplitudes)
    print(f"DeviceState: n={state.n}, num_state={state.num_state}, dtype={state.dtype}, device={state.device_id}")
    assert np.array_equal(state.to_numpy(), amplitudes)

    # A 3-qubit GHZ state: H on qubit 0, then CNOTs fanning out from it.
    n = 3
    ghz = [
        {"id": "h", "target": [0], "control": [], "control_state": [], "parameter": []},
        {"id": "cx", "target": [1], "control": [0], "control_state": [1], "parameter": []},
        {"id": "cx", "target": [2], "control": [0], "control_state": [1], "parameter": []},
    ]
    zero = np.zeros(1 << n, dtype=np.complex128)
    zero[0] = 1
    result = vorlent.run_circuit(n, zero, ghz)
    print("GHZ probabilities:")
    for index, p in enumerate(np.abs(result) ** 2):
        if p > 1e-12:
            print(f"  |{index:0{n}b}>  {p:.6f}")


if __name__ == "__main__":
    main()
