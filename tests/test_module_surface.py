"""The Python surface of vorlent: names, enum, docstrings, argument names and
defaults, and the argument checks each entry point makes before device work."""

import operator
import pickle
import re

import numpy as np
import pytest

import vorlent
from surface_helpers import ORDINAL_MSG, WRITABLE_MSG, device_msg, dtype_msg, same_bytes
from sv_reference import random_state

DeviceState = vorlent.DeviceState

ENDIAN_MSG = "endian must be 'little' or 'big'"
N_MSG = "n must be in [1, 62]"
SIZE_MSG = "state.size must equal 2**n"
NDIM_MSG = "state must be a 1-D contiguous numpy array"
CONTIG_MSG = "state must be C-contiguous"
BAD_ENDIANS = ["Little", "LITTLE", "Big", "BIG", "", "little ", " big", "l", "middle"]


def never_iterated():
    """A gate iterable that fails the test if anything reads it."""
    raise AssertionError("the gate list was read")
    yield  # pragma: no cover


# ---------------------------------------------------------------- names


def test_module_docstring_and_backend():
    assert vorlent.__doc__ == "CUDA gate backend for quillmarch"
    assert vorlent.backend in ("host", "cuda")


def test_module_names():
    for name in [
        "KernelMode",
        "DeviceState",
        "PreparedFusionChunk",
        "run_circuit",
        "run_circuit_device",
        "run_circuit_device_gates",
        "prepare_fusion_chunk_gates",
        "execute_prepared_fusion_chunk",
        "measure",
        "measure_device",
        "sample_measure_device",
    ]:
        assert hasattr(vorlent, name), name


def test_classes_have_no_python_constructor():
    with pytest.raises(TypeError):
        vorlent.DeviceState()
    with pytest.raises(TypeError):
        vorlent.PreparedFusionChunk()


def test_device_state_properties_are_read_only():
    s = DeviceState.zero_state(2, "complex64")
    for name, value in [("n", 2), ("num_state", 4), ("device_id", 0), ("dtype", "complex64")]:
        assert getattr(s, name) == value
        with pytest.raises(AttributeError):
            setattr(s, name, value)


# ---------------------------------------------------------------- KernelMode

MODES = {"AllState": 0, "Pair": 1, "PairAuto": 2, "PairAutoFusion": 3}


def test_kernel_mode_members():
    assert set(vorlent.KernelMode.__members__) == set(MODES)
    for name, value in MODES.items():
        member = getattr(vorlent.KernelMode, name)
        assert getattr(vorlent, name) is member
        assert int(member) == value
        assert operator.index(member) == value
        assert member.value == value
        assert vorlent.KernelMode(value) == member
        assert pickle.loads(pickle.dumps(member)) == member
    assert vorlent.Pair != vorlent.PairAuto
    assert vorlent.PairAutoFusion == vorlent.KernelMode.PairAutoFusion
    assert int(vorlent.PairAutoFusion) == 3


def test_mode_argument_takes_members():
    s = DeviceState.zero_state(1)
    for name in MODES:
        assert vorlent.run_circuit_device(s, [], "little", getattr(vorlent, name)) is None
    with pytest.raises(TypeError):
        vorlent.run_circuit_device(s, [], "little", "PairAuto")


# ---------------------------------------------------------------- docstrings and signatures

DOCSTRINGS = {
    "run_circuit_device": "Run a gate_ir chunk on an existing CUDA DeviceState.",
    "prepare_fusion_chunk_gates": "Parse and plan one streamed chunk on the CPU without launching CUDA.",
    "execute_prepared_fusion_chunk": "Execute one CPU-prepared fusion chunk and wait for its CUDA work.",
    "run_circuit_device_gates": "Run a QuantumGate object chunk on an existing CUDA DeviceState.",
    "measure_device": "Measure target qubits on an existing CUDA DeviceState.",
    "sample_measure_device": "Batch-sample target qubits and optionally collapse to the final outcome.",
    "run_circuit": "Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned.",
    "measure": "Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured bit string "
    "is returned.",
}

_REQUIRED = object()

# Arguments in positional order, with defaults (_REQUIRED for none).
SIGNATURES = {
    "DeviceState.from_numpy": [
        ("n", _REQUIRED),
        ("state", _REQUIRED),
        ("device", "cuda:0"),
        ("use_pinned_host", False),
    ],
    "DeviceState.zero_state": [("n", _REQUIRED), ("dtype", "complex128"), ("device", "cuda:0")],
    "DeviceState.to_numpy": [("self", _REQUIRED), ("use_pinned_host", False)],
    "DeviceState.copy_to_numpy": [("self", _REQUIRED), ("state", _REQUIRED), ("use_pinned_host", False)],
    "run_circuit_device": [
        ("state", _REQUIRED),
        ("gate_ir", _REQUIRED),
        ("endian", "little"),
        ("mode", vorlent.KernelMode.PairAuto),
    ],
    "prepare_fusion_chunk_gates": [
        ("n", _REQUIRED),
        ("gates", _REQUIRED),
        ("fuse_swap", True),
        ("sparsesharemem_qubits", 10),
        ("densemm_min_qubits", 1),
        ("densemm_max_qubits", 7),
        ("densemm_gate_threshold_scale", 1.0),
        ("max_gates_per_group", 512),
        ("pad_sparsesharemem", True),
    ],
    "execute_prepared_fusion_chunk": [("state", _REQUIRED), ("chunk", _REQUIRED)],
    "run_circuit_device_gates": [
        ("state", _REQUIRED),
        ("gates", _REQUIRED),
        ("endian", "little"),
        ("mode", vorlent.KernelMode.PairAuto),
    ],
    "measure_device": [("state", _REQUIRED), ("targets", _REQUIRED), ("endian", "little"), ("seed", None)],
    "sample_measure_device": [
        ("state", _REQUIRED),
        ("targets", _REQUIRED),
        ("shots", _REQUIRED),
        ("endian", "little"),
        ("seed", None),
        ("collapse_last", True),
    ],
    "run_circuit": [
        ("n", _REQUIRED),
        ("state", _REQUIRED),
        ("gate_ir", _REQUIRED),
        ("endian", "little"),
        ("device", "cuda:0"),
        ("mode", vorlent.KernelMode.PairAuto),
        ("use_pinned_host", False),
    ],
    "measure": [
        ("n", _REQUIRED),
        ("state", _REQUIRED),
        ("targets", _REQUIRED),
        ("endian", "little"),
        ("device", "cuda:0"),
        ("use_pinned_host", False),
    ],
}


def lookup(path):
    obj = vorlent
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


def split_top_level(text):
    """Splits a parameter list at commas outside brackets."""
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch in "([{<":
            depth += 1
        elif ch in ")]}>":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:].strip())
    return parts


def signature_parameters(func, name):
    """(name, default text or None) of each parameter in the generated signature line."""
    first = func.__doc__.split("\n", 1)[0]
    match = re.fullmatch(re.escape(name) + r"\((.*)\) -> .*", first)
    assert match, first
    params = []
    for part in split_top_level(match.group(1)):
        head, _, default = part.partition(" = ")
        params.append((head.split(":", 1)[0].strip(), default or None))
    return params


@pytest.mark.parametrize("name", list(DOCSTRINGS))
def test_function_docstrings(name):
    doc = getattr(vorlent, name).__doc__
    # The binding library puts its signature line first, then the docstring.
    signature, _, rest = doc.partition("\n")
    assert signature.startswith(name + "(")
    assert rest.strip() == DOCSTRINGS[name]


@pytest.mark.parametrize("path", [p for p in SIGNATURES if p.startswith("DeviceState.")])
def test_class_members_have_no_docstrings(path):
    doc = lookup(path).__doc__
    assert doc.strip().count("\n") == 0
    assert doc.startswith(path.split(".")[1] + "(")


@pytest.mark.parametrize("path", list(SIGNATURES))
def test_argument_names_and_defaults(path):
    got = signature_parameters(lookup(path), path.split(".")[-1])
    expect = [(arg, None if default is _REQUIRED else repr(default)) for arg, default in SIGNATURES[path]]
    assert got == expect


def test_positional_and_keyword_calls():
    a = random_state(1, 2, np.complex128)
    assert vorlent.run_circuit(2, a, [], "little", "cuda:0", vorlent.PairAuto, False) is a
    assert (
        vorlent.run_circuit(
            n=2, state=a, gate_ir=[], endian="big", device="cuda", mode=vorlent.AllState, use_pinned_host=True
        )
        is a
    )
    s = DeviceState.zero_state(2)
    assert vorlent.run_circuit_device(state=s, gate_ir=[], endian="big", mode=vorlent.Pair) is None
    assert vorlent.run_circuit_device_gates(state=s, gates=[], endian="little", mode=vorlent.Pair) is None


# ---------------------------------------------------------------- run functions with no gates


@pytest.mark.parametrize("endian", ["little", "big"])
@pytest.mark.parametrize("pinned", [False, True])
def test_run_circuit_returns_the_same_array(endian, pinned, dtype):
    a = random_state(5, 3, dtype)
    keep = a.copy()
    out = vorlent.run_circuit(3, a, [], endian, use_pinned_host=pinned)
    assert out is a
    assert same_bytes(a, keep)


def test_run_circuit_device_with_no_gates_keeps_the_state(dtype):
    a = random_state(6, 4, dtype)
    s = DeviceState.from_numpy(4, a)
    for endian in ("little", "big"):
        assert vorlent.run_circuit_device(s, [], endian) is None
        assert vorlent.run_circuit_device_gates(s, [], endian) is None
        assert vorlent.run_circuit_device_gates(s, iter(()), endian) is None
    assert same_bytes(s.to_numpy(), a)


def test_gate_ir_must_be_a_list_but_gates_any_iterable():
    s = DeviceState.zero_state(1)
    with pytest.raises(TypeError):
        vorlent.run_circuit_device(s, ())
    with pytest.raises(TypeError):
        vorlent.run_circuit(1, np.zeros(2, np.complex128), ())
    assert vorlent.run_circuit_device_gates(s, ()) is None
    assert vorlent.run_circuit_device_gates(s, (g for g in [])) is None
    with pytest.raises(TypeError):
        vorlent.run_circuit_device_gates(s, 5)


@pytest.mark.host_only
def test_empty_gate_objects_do_no_device_work(monkeypatch):
    monkeypatch.setenv("HOSTCUDA_DEVICE_COUNT", "2")
    s = DeviceState.zero_state(2, "complex64", "cuda:1")
    monkeypatch.setenv("HOSTCUDA_DEVICE_COUNT", "1")
    # Nothing to run: the unusable device is never selected.
    assert vorlent.run_circuit_device_gates(s, []) is None
    assert vorlent.run_circuit_device_gates(s, iter([]), "big", vorlent.AllState) is None
    # The gate_ir form still hands the empty list to the runner, which selects the device.
    with pytest.raises(RuntimeError) as e:
        vorlent.run_circuit_device(s, [])
    assert str(e.value) == ORDINAL_MSG
    # The endian is checked even when there is nothing to run.
    with pytest.raises(ValueError) as e:
        vorlent.run_circuit_device_gates(s, [], "Little")
    assert str(e.value) == ENDIAN_MSG
    monkeypatch.setenv("HOSTCUDA_DEVICE_COUNT", "2")


# ---------------------------------------------------------------- endian


@pytest.mark.parametrize("endian", BAD_ENDIANS)
def test_bad_endian_everywhere(endian):
    s = DeviceState.zero_state(2)
    a = np.zeros(4, np.complex128)
    calls = {
        "run_circuit_device": lambda: vorlent.run_circuit_device(s, [], endian),
        "run_circuit_device_gates": lambda: vorlent.run_circuit_device_gates(s, [], endian),
        "measure_device": lambda: vorlent.measure_device(s, [0], endian, 1),
        "sample_measure_device": lambda: vorlent.sample_measure_device(s, [0], 4, endian, 1),
        "run_circuit": lambda: vorlent.run_circuit(2, a, [], endian),
        "measure": lambda: vorlent.measure(2, a, [0], endian),
    }
    for name, call in calls.items():
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == ENDIAN_MSG, name


def test_endian_is_checked_before_the_gate_list_is_read():
    s = DeviceState.zero_state(2)
    a = np.zeros(4, np.complex128)
    with pytest.raises(ValueError) as e:
        vorlent.run_circuit_device(s, [{"no such key": 1}, object()], "Little")
    assert str(e.value) == ENDIAN_MSG
    with pytest.raises(ValueError) as e:
        vorlent.run_circuit_device_gates(s, never_iterated(), "Little")
    assert str(e.value) == ENDIAN_MSG
    with pytest.raises(ValueError) as e:
        vorlent.run_circuit(2, a, [{"no such key": 1}], "Big")
    assert str(e.value) == ENDIAN_MSG


# ---------------------------------------------------------------- sampling and seeds


def test_shots_must_be_positive():
    s = DeviceState.zero_state(2)
    with pytest.raises(ValueError) as e:
        vorlent.sample_measure_device(s, [0], 0)
    assert str(e.value) == "shots must be positive"
    with pytest.raises(ValueError) as e:
        vorlent.sample_measure_device(s, [0], 0, "Little")
    assert str(e.value) == ENDIAN_MSG
    for shots in (-1, 2**64, 1.5, "3"):
        with pytest.raises(TypeError):
            vorlent.sample_measure_device(s, [0], shots)


@pytest.mark.parametrize("seed", [-1, 2**64, "7", 1.5])
def test_seed_that_is_not_an_unsigned_64_bit_integer(seed):
    s = DeviceState.zero_state(2)
    with pytest.raises(RuntimeError, match="^Unable to cast"):
        vorlent.measure_device(s, [0], seed=seed)
    with pytest.raises(RuntimeError, match="^Unable to cast"):
        vorlent.sample_measure_device(s, [0], 3, seed=seed)


# ---------------------------------------------------------------- fusion entry points


@pytest.mark.parametrize("n", [0, -1, 63, -(2**63), 2**63 - 1])
def test_prepare_fusion_chunk_checks_n_before_reading_gates(n):
    with pytest.raises(ValueError) as e:
        vorlent.prepare_fusion_chunk_gates(n, never_iterated())
    assert str(e.value) == N_MSG


# ---------------------------------------------------------------- run_circuit and measure array checks


def run_circuit_call(n, arr, **kw):
    return vorlent.run_circuit(n, arr, [], **kw)


def measure_call(n, arr, **kw):
    return vorlent.measure(n, arr, [0], **kw)


ENTRIES = {"run_circuit": run_circuit_call, "measure": measure_call}


def read_only(arr):
    arr.flags.writeable = False
    return arr


# n, array builder, keyword arguments, exception, message; several rules are
# broken at once where the case pins down which check comes first.
ORDER_CASES = {
    "read-only": (3, lambda dt: read_only(np.zeros(8, dt)), {}, ValueError, WRITABLE_MSG),
    "read-only 2-D float64 n 0": (0, lambda dt: read_only(np.zeros((2, 4))), {}, ValueError, WRITABLE_MSG),
    "2-D": (3, lambda dt: np.zeros((2, 4), dt), {}, ValueError, NDIM_MSG),
    "2-D float64 bad endian": (3, lambda dt: np.zeros((2, 4)), {"endian": "x"}, ValueError, NDIM_MSG),
    "strided": (3, lambda dt: np.zeros(16, dt)[::2], {}, ValueError, CONTIG_MSG),
    "n 63 any size": (63, lambda dt: np.zeros(5, dt), {}, ValueError, N_MSG),
    "n 0 bad endian": (0, lambda dt: np.zeros(1, dt), {"endian": "x"}, ValueError, N_MSG),
    "n -1": (-1, lambda dt: np.zeros(8, dt), {}, ValueError, N_MSG),
    "size bad endian": (3, lambda dt: np.zeros(7, dt), {"endian": "x"}, ValueError, SIZE_MSG),
    "endian bad device": (3, lambda dt: np.zeros(8, dt), {"endian": "x", "device": "tpu"}, ValueError, ENDIAN_MSG),
    "device float64": (3, lambda dt: np.zeros(8), {"device": "tpu"}, ValueError, device_msg("tpu")),
    "float64": (3, lambda dt: np.zeros(8), {}, ValueError, dtype_msg("float64")),
    "byte-swapped": (3, lambda dt: np.zeros(8, np.dtype(dt).newbyteorder()), {}, ValueError, None),
    "no digits": (3, lambda dt: np.zeros(8, dt), {"device": "cuda:"}, ValueError, "stoi"),
    "ordinal": (3, lambda dt: np.zeros(8, dt), {"device": "cuda:-1"}, RuntimeError, ORDINAL_MSG),
}


@pytest.mark.parametrize("entry", list(ENTRIES))
@pytest.mark.parametrize("case", list(ORDER_CASES))
def test_run_circuit_and_measure_argument_checks(entry, case, dtype):
    n, build, kw, exc, message = ORDER_CASES[case]
    arr = build(dtype)
    if arr.flags.writeable:
        arr[...] = 3
    before = arr.copy()
    with pytest.raises(exc) as e:
        ENTRIES[entry](n, arr, **kw)
    assert str(e.value) == (dtype_msg(str(arr.dtype)) if message is None else message)
    # Every failure comes before the download, so the caller's array is untouched.
    assert np.array_equal(arr, before)


@pytest.mark.parametrize("entry", list(ENTRIES))
def test_run_circuit_and_measure_take_only_arrays(entry):
    with pytest.raises(TypeError):
        ENTRIES[entry](1, [1 + 0j, 0j])
