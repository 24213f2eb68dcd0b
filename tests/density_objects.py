"""Operation objects in the attribute form the density module reads."""

import numpy as np

from gate_helpers import QuantumGate


class Gate(QuantumGate):
    """A gate; the density module reads its matrix as stored_matrix, present when has_stored_matrix says so."""

    def __init__(self, id, target, control=(), control_state=(), parameter=None, matrix=None):
        super().__init__(id, target, control, control_state, parameter, matrix)
        self.has_stored_matrix = matrix is not None
        if matrix is not None:
            self.stored_matrix = matrix


class Kraus:
    def __init__(self, target, matrices, channel_name=None, kind="kraus"):
        self.operation_kind = kind
        self.target = target
        self.kraus_matrices = matrices
        if channel_name is not None:
            self.channel_name = channel_name


class KrausOp(Kraus):
    """A Kraus operation as the front end builds it: the targets as a list, the matrices as one complex128 array."""

    def __init__(self, target, matrices, channel_name=None):
        super().__init__(list(target), np.asarray(matrices, dtype=np.complex128), channel_name)


def load(rho, dtype):
    """A DeviceDensityState holding `rho` rounded to `dtype`, and that rounded matrix in complex128."""
    import kestamire

    host = np.ascontiguousarray(rho, dtype=dtype)
    n = host.shape[0].bit_length() - 1
    return kestamire.DeviceDensityState.from_numpy(n, host.copy()), host.astype(np.complex128)
