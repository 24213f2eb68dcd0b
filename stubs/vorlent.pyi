"""
CUDA gate backend for quillmarch
"""
from __future__ import annotations
import collections.abc
import numpy
import typing
class KernelMode:
    """
    Members:
    
      AllState
    
      Pair
    
      PairAuto
    
      PairAutoFusion
    """
    AllState: typing.ClassVar[KernelMode]
    Pair: typing.ClassVar[KernelMode]
    PairAuto: typing.ClassVar[KernelMode]
    PairAutoFusion: typing.ClassVar[KernelMode]
    __members__: typing.ClassVar[dict[str, KernelMode]]
    @typing.overload
    def __eq__(self, other: KernelMode) -> bool:
        ...
    @typing.overload
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    @typing.overload
    def __ne__(self, other: KernelMode) -> bool:
        ...
    @typing.overload
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __reduce__(self) -> tuple:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class DeviceState:
    @staticmethod
    def from_dlpack(n: typing.SupportsIndex, array: typing.Any, device: str = 'cuda:0') -> DeviceState:
        """
        Build a state from any DLPack producer (NumPy, CuPy, PyTorch) with one copy on the device side.
        """
    @staticmethod
    def from_numpy(n: typing.SupportsIndex, state: numpy.ndarray, device: str = 'cuda:0', use_pinned_host: bool = False) -> DeviceState:
        ...
    @staticmethod
    def zero_state(n: typing.SupportsIndex, dtype: str = 'complex128', device: str = 'cuda:0') -> DeviceState:
        ...
    def __copy__(self) -> DeviceState:
        ...
    def __deepcopy__(self, memo: typing.Any) -> DeviceState:
        ...
    def __dlpack__(self, *, stream: int | None = None, max_version: tuple[typing.SupportsIndex, typing.SupportsIndex] | None = None, dl_device: tuple[typing.SupportsIndex, typing.SupportsIndex] | None = None, copy: bool | None = None) -> typing.Any:
        """
        A DLPack capsule viewing the state's amplitudes in place (a copy when copy is True).
        """
    def __dlpack_device__(self) -> tuple[int, int]:
        ...
    def __reduce__(self) -> tuple:
        ...
    def __repr__(self) -> str:
        ...
    def copy_to_numpy(self, state: numpy.ndarray, use_pinned_host: bool = False) -> None:
        ...
    def to_numpy(self, use_pinned_host: bool = False) -> numpy.ndarray:
        ...
    @property
    def device_id(self) -> int:
        ...
    @property
    def dtype(self) -> str:
        ...
    @property
    def n(self) -> int:
        ...
    @property
    def num_state(self) -> int:
        ...
class PreparedFusionChunk:
    def __copy__(self) -> PreparedFusionChunk:
        ...
    def __deepcopy__(self, memo: typing.Any) -> PreparedFusionChunk:
        ...
    def __reduce__(self) -> tuple:
        ...
    def __repr__(self) -> str:
        ...
    @property
    def gate_count(self) -> int:
        ...
    @property
    def groups(self) -> tuple:
        """
        The plan, one dict per fused group in execution order: kind, gate_indices, active_qubits and, for DenseMM groups, dense_matrix.
        """
    @property
    def n(self) -> int:
        ...
class DistributedState:
    """
    A state vector spread over the 2**g processes of an mpi4py communicator; each holds n - g qubits.
    """
    @staticmethod
    def from_numpy(n: typing.SupportsIndex, array: typing.Any, comm: typing.Any = None, device: str = 'cuda', buffer_bytes: typing.SupportsIndex = 67108864, root: typing.SupportsIndex = 0, cuda_aware: bool | None = None) -> DistributedState:
        """
        Scatters the full array held by `root` (anything, e.g. None, elsewhere); its precision is the root array's.
        """
    @staticmethod
    def zero_state(n: typing.SupportsIndex, dtype: str = 'complex64', comm: typing.Any = None, device: str = 'cuda', buffer_bytes: typing.SupportsIndex = 67108864, cuda_aware: bool | None = None) -> DistributedState:
        """
        The basis state |0...0> spread over the processes of `comm` (default MPI.COMM_WORLD).
        """
    def __repr__(self) -> str:
        ...
    def gather(self, root: typing.SupportsIndex = 0) -> typing.Any:
        """
        The full state in logical qubit order on `root`, None elsewhere.
        """
    def to_numpy(self) -> typing.Any:
        """
        The full state in logical qubit order on every rank.
        """
    @property
    def buffer_bytes(self) -> int:
        ...
    @property
    def cuda_aware(self) -> bool:
        """
        True when exchanges hand device memory straight to MPI (given, or reported by a CUDA-aware MPI library); False when they stage through page-locked host memory.
        """
    @property
    def device_id(self) -> int:
        ...
    @property
    def dtype(self) -> str:
        ...
    @property
    def layout(self) -> list[int]:
        """
        layout[q]: the physical index bit of logical qubit q; bits from local_qubits up select the rank.
        """
    @property
    def local_qubits(self) -> int:
        ...
    @property
    def n(self) -> int:
        ...
    @property
    def rank(self) -> int:
        ...
    @property
    def size(self) -> int:
        ...
    @property
    def stats(self) -> dict:
        """
        bytes_sent, swap_steps and exchange_seconds, cumulative.
        """
def _current_device() -> int:
    """
    The calling thread's current CUDA device as the runtime reports it; calls of this module leave it as they found it.
    """
def _restore_device_state(n: typing.SupportsIndex, dtype: str, device: str, amplitudes: numpy.ndarray) -> DeviceState:
    """
    Rebuild a pickled DeviceState.
    """
def _restore_fusion_chunk(n: typing.SupportsIndex, gates: list, options: dict) -> PreparedFusionChunk:
    """
    Rebuild a pickled PreparedFusionChunk.
    """
@typing.overload
def execute_prepared_fusion_chunk(state: DeviceState, chunk: PreparedFusionChunk) -> None:
    """
    Execute one CPU-prepared fusion chunk and wait for its CUDA work.
    """
@typing.overload
def execute_prepared_fusion_chunk(state: DistributedState, chunk: PreparedFusionChunk) -> None:
    """
    Execute one CPU-prepared fusion chunk and wait for its CUDA work.
    """
@typing.overload
def inner_product(a: DeviceState, b: DeviceState) -> complex:
    """
    The overlap <a|b> of two DeviceStates with the same n, dtype and device, as a complex number.
    """
@typing.overload
def inner_product(a: DistributedState, b: DistributedState) -> complex:
    """
    The overlap <a|b> of two DeviceStates with the same n, dtype and device, as a complex number.
    """
def measure(n: typing.SupportsIndex, state: numpy.ndarray, targets: collections.abc.Sequence[typing.SupportsIndex], endian: str = 'little', device: str = 'cuda:0', use_pinned_host: bool = False) -> str:
    """
    Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured bit string is returned.
    """
@typing.overload
def measure_device(state: DeviceState, targets: collections.abc.Sequence[typing.SupportsIndex], endian: str = 'little', seed: typing.Any = None) -> str:
    """
    Measure target qubits on an existing CUDA DeviceState.
    """
@typing.overload
def measure_device(state: DistributedState, targets: collections.abc.Sequence[typing.SupportsIndex], endian: str = 'little', seed: typing.Any = None) -> str:
    """
    Measure target qubits on an existing CUDA DeviceState.
    """
@typing.overload
def pauli_expectations(state: DeviceState, paulis: collections.abc.Sequence[str | collections.abc.Sequence[tuple[typing.SupportsIndex, str]]]) -> numpy.ndarray:
    """
    Expectation values <psi|P|psi> of Pauli words on a DeviceState, as a float64 array in the order given. A word is a string of n letters from 'IXYZ' in which character q acts on qubit q (character 0 is qubit 0), or a sequence of (qubit, letter) pairs with distinct qubits (absent qubits are I). Words that flip the same qubits share one pass over the state.
    """
@typing.overload
def pauli_expectations(state: DistributedState, paulis: collections.abc.Sequence[str | collections.abc.Sequence[tuple[typing.SupportsIndex, str]]]) -> numpy.ndarray:
    """
    Expectation values <psi|P|psi> of Pauli words on a DeviceState, as a float64 array in the order given. A word is a string of n letters from 'IXYZ' in which character q acts on qubit q (character 0 is qubit 0), or a sequence of (qubit, letter) pairs with distinct qubits (absent qubits are I). Words that flip the same qubits share one pass over the state.
    """
def prepare_fusion_chunk_gates(n: typing.SupportsIndex, gates: collections.abc.Iterable, fuse_swap: bool = True, sparsesharemem_qubits: typing.SupportsIndex = 10, densemm_min_qubits: typing.SupportsIndex = 1, densemm_max_qubits: typing.SupportsIndex = 7, densemm_gate_threshold_scale: typing.SupportsFloat | typing.SupportsIndex = 1.0, max_gates_per_group: typing.SupportsIndex = 512, pad_sparsesharemem: bool = True) -> PreparedFusionChunk:
    """
    Parse and plan one streamed chunk on the CPU without launching CUDA.
    """
@typing.overload
def probabilities(state: DeviceState, targets: collections.abc.Sequence[typing.SupportsIndex], endian: str = 'little') -> numpy.ndarray:
    """
    Marginal probabilities of the target qubits on a DeviceState, as a float64 array of 2**len(targets) entries whose index bit j is the value of targets[j]; targets and endian as in measure_device.
    """
@typing.overload
def probabilities(state: DistributedState, targets: collections.abc.Sequence[typing.SupportsIndex], endian: str = 'little') -> numpy.ndarray:
    """
    Marginal probabilities of the target qubits on a DeviceState, as a float64 array of 2**len(targets) entries whose index bit j is the value of targets[j]; targets and endian as in measure_device.
    """
def release_fusion_cache() -> None:
    """
    Free the calling thread's DenseMM scratch buffers and cuBLAS handle now. PairAutoFusion keeps them between calls (two state-sized buffers at most); they are also freed, and the allocation retried, when a device allocation of this module runs out of memory.
    """
def run_circuit(n: typing.SupportsIndex, state: numpy.ndarray, gate_ir: list, endian: str = 'little', device: str = 'cuda:0', mode: KernelMode = KernelMode.PairAuto, use_pinned_host: bool = False) -> numpy.ndarray:
    """
    Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned.
    """
@typing.overload
def run_circuit_device(state: DeviceState, gate_ir: list, endian: str = 'little', mode: KernelMode = KernelMode.PairAuto) -> None:
    """
    Run a gate_ir chunk on an existing CUDA DeviceState.
    """
@typing.overload
def run_circuit_device(state: DistributedState, gate_ir: list, endian: str = 'little', mode: KernelMode = KernelMode.PairAuto) -> None:
    """
    Run a gate_ir chunk on an existing CUDA DeviceState.
    """
@typing.overload
def run_circuit_device_gates(state: DeviceState, gates: collections.abc.Iterable, endian: str = 'little', mode: KernelMode = KernelMode.PairAuto) -> None:
    """
    Run a QuantumGate object chunk on an existing CUDA DeviceState.
    """
@typing.overload
def run_circuit_device_gates(state: DistributedState, gates: collections.abc.Iterable, endian: str = 'little', mode: KernelMode = KernelMode.PairAuto) -> None:
    """
    Run a QuantumGate object chunk on an existing CUDA DeviceState.
    """
@typing.overload
def sample_measure_device(state: DeviceState, targets: collections.abc.Sequence[typing.SupportsIndex], shots: typing.SupportsIndex, endian: str = 'little', seed: typing.Any = None, collapse_last: bool = True) -> tuple[dict, str]:
    """
    Batch-sample target qubits and optionally collapse to the final outcome.
    """
@typing.overload
def sample_measure_device(state: DistributedState, targets: collections.abc.Sequence[typing.SupportsIndex], shots: typing.SupportsIndex, endian: str = 'little', seed: typing.Any = None, collapse_last: bool = True) -> tuple[dict, str]:
    """
    Batch-sample target qubits and optionally collapse to the final outcome.
    """
AllState: KernelMode
Pair: KernelMode
PairAuto: KernelMode
PairAutoFusion: KernelMode
backend: str
