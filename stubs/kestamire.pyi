"""
CUDA dense density-matrix backend for quillmarch
"""
from __future__ import annotations
import collections.abc
import numpy
import typing
class DeviceDensityState:
    @staticmethod
    def from_dlpack(n: typing.SupportsInt | typing.SupportsIndex, array: typing.Any, device: str = 'cuda:0') -> DeviceDensityState:
        """
        Build a density matrix from any DLPack producer (NumPy, CuPy, PyTorch) with one copy on the device side.
        """
    @staticmethod
    def from_numpy(n: typing.SupportsInt | typing.SupportsIndex, state: numpy.ndarray, device: str = 'cuda:0') -> DeviceDensityState:
        ...
    @staticmethod
    def zero_state(n: typing.SupportsInt | typing.SupportsIndex, dtype: str = 'complex128', device: str = 'cuda:0') -> DeviceDensityState:
        ...
    def __dlpack__(self, *, stream: int | None = None, max_version: tuple[typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex] | None = None, dl_device: tuple[typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex] | None = None, copy: bool | None = None) -> typing.Any:
        """
        A DLPack capsule viewing the density matrix in place (a copy when copy is True).
        """
    def __dlpack_device__(self) -> tuple[int, int]:
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
def measure_device(state: DeviceDensityState, targets: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], endian: str = 'little', seed: typing.Any = None) -> str:
    ...
def run_density_operations_device(state: DeviceDensityState, num_qubits: typing.SupportsInt | typing.SupportsIndex, operations: collections.abc.Iterable) -> None:
    ...
backend: str
