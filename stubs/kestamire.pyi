"""
CUDA dense density-matrix backend for quillmarch
"""
from __future__ import annotations
import collections.abc
import numpy
import typing
class DeviceDensityState:
    @staticmethod
    def from_dlpack(n: typing.SupportsIndex, array: typing.Any, device: str = 'cuda:0') -> DeviceDensityState:
        """
        Build a density matrix from any DLPack producer (NumPy, CuPy, PyTorch) with one copy on the device side.
        """
    @staticmethod
    def from_numpy(n: typing.SupportsIndex, state: numpy.ndarray, device: str = 'cuda:0') -> DeviceDensityState:
        ...
    @staticmethod
    def zero_state(n: typing.SupportsIndex, dtype: str = 'complex128', device: str = 'cuda:0') -> DeviceDensityState:
        ...
    def __copy__(self) -> DeviceDensityState:
        ...
    def __deepcopy__(self, memo: typing.Any) -> DeviceDensityState:
        ...
    def __dlpack__(self, *, stream: int | None = None, max_version: tuple[typing.SupportsIndex, typing.SupportsIndex] | None = None, dl_device: tuple[typing.SupportsIndex, typing.SupportsIndex] | None = None, copy: bool | None = None) -> typing.Any:
        """
        A DLPack capsule viewing the density matrix in place (a copy when copy is True).
        """
    def __dlpack_device__(self) -> tuple[int, int]:
        ...
    def __reduce__(self) -> tuple:
        ...
    def __repr__(self) -> str:
        ...
    def copy(self) -> DeviceDensityState:
        ...
    def to_numpy(self) -> numpy.ndarray:
        ...
    @property
    def device_id(self) -> int:
        ...
    @property
    def dimension(self) -> int:
        ...
    @property
    def dtype(self) -> str:
        ...
    @property
    def num_qubits(self) -> int:
        ...
def _current_device() -> int:
    """
    The calling thread's current CUDA device as the runtime reports it; calls of this module leave it as they found it.
    """
def _restore_density_state(n: typing.SupportsIndex, dtype: str, device: str, matrix: numpy.ndarray) -> DeviceDensityState:
    """
    Rebuild a pickled DeviceDensityState.
    """
def measure_device(state: DeviceDensityState, targets: collections.abc.Sequence[typing.SupportsIndex], endian: str = 'little', seed: typing.Any = None) -> str:
    ...
def pauli_expectations(state: DeviceDensityState, paulis: collections.abc.Sequence[str | collections.abc.Sequence[tuple[typing.SupportsIndex, str]]]) -> numpy.ndarray:
    """
    Expectation values Tr(rho P) of Pauli words on a DeviceDensityState, as a float64 array in the order given. A word is a string of n letters from 'IXYZ' in which character q acts on qubit q (character 0 is qubit 0), or a sequence of (qubit, letter) pairs with distinct qubits (absent qubits are I). Words that flip the same qubits share one pass over the matrix.
    """
def probabilities(state: DeviceDensityState, targets: collections.abc.Sequence[typing.SupportsIndex], endian: str = 'little') -> numpy.ndarray:
    """
    Marginal probabilities of the target qubits on a DeviceDensityState, as a float64 array of 2**len(targets) entries whose index bit j is the value of targets[j]; targets and endian as in measure_device.
    """
def run_density_operations_device(state: DeviceDensityState, num_qubits: typing.SupportsIndex, operations: collections.abc.Iterable) -> None:
    ...
backend: str
