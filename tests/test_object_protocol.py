"""Object-protocol calls on every type the two modules expose, on the binding
library's common base class and on its metaclass: each call is refused with a
TypeError or works as designed; none may take the interpreter down. Every case
runs in a child interpreter, since the failure looked for is the death of the
process."""

import inspect
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import kestamire
import vorlent
from gate_helpers import QuantumGate


def exposed_types():
    """Every type in dir() of either module, with the types of its __mro__ and
    of its metaclass's __mro__, by qualified name; builtins are left out."""
    found = {}
    for module in (vorlent, kestamire):
        for name in dir(module):
            value = getattr(module, name)
            if isinstance(value, type):
                for t in value.__mro__ + type(value).__mro__:
                    if t.__module__ != "builtins":
                        found.setdefault(f"{t.__module__}.{t.__qualname__}", t)
    return found


def sample_of(cls):
    """An existing object of the type, for the calls that take one (None for a
    DistributedState where mpi4py is missing)."""
    if cls is vorlent.DistributedState:
        try:
            import mpi4py  # noqa: F401
        except ImportError:
            return None
        return vorlent.DistributedState.zero_state(2)
    samples = [
        vorlent.KernelMode.Pair,
        vorlent.DeviceState.zero_state(1),
        vorlent.prepare_fusion_chunk_gates(1, [QuantumGate("x", [0], [], [], [])]),
        kestamire.DeviceDensityState.zero_state(1),
        vorlent.DeviceState,
    ]
    for obj in samples:
        if isinstance(obj, cls):
            return obj
    raise AssertionError(f"no sample object of {cls!r}: add one")


IMPORTS = """
import copy, os, pickle, sys
build = os.environ.get("QUILLMARCH_BUILD_DIR")
if build:
    sys.path.insert(0, os.path.abspath(build))
import {modules}
"""
PRELUDE = (
    IMPORTS.format(modules="vorlent, kestamire")
    + f"""
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
from gate_helpers import QuantumGate
"""
    + inspect.getsource(exposed_types)
    + inspect.getsource(sample_of)
)


def run_child(code, prelude=PRELUDE):
    result = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ),
        check=False,
    )
    output = result.stdout + result.stderr
    if result.returncode < 0:
        pytest.fail(f"child died with {signal.Signals(-result.returncode).name}:\n{output}")
    assert result.returncode == 0, output
    return result.stdout.splitlines()


# Calls on a type; the object is built from `cls` and `sample` (an existing
# object of the type).
CALLS = {
    "call": "cls()",
    "metaclass_call": "type(cls).__call__(cls)",
    "new": "cls.__new__(cls)",
    "new_with_argument": "cls.__new__(cls, 1)",
    "object_new": "object.__new__(cls)",
    "python_subclass": "type('Sub', (cls,), {})()",
    "init_again": "cls.__init__(sample)",
    "object_reduce": "object.__reduce__(sample)",
}

# What works by design, with the type it returns: an enumeration instance
# without a value, which unpickling fills through __setstate__, and __init__
# on a member, which the library ignores. Every other call is a TypeError.
WORKS = {
    ("vorlent.KernelMode", "new"): "vorlent.KernelMode",
    ("vorlent.KernelMode", "new_with_argument"): "vorlent.KernelMode",
    ("vorlent.KernelMode", "init_again"): "builtins.NoneType",
}

TYPES = sorted(exposed_types())
try:
    import mpi4py  # noqa: F401

    HAVE_MPI4PY = True
except ImportError:
    HAVE_MPI4PY = False


def test_the_sweep_reaches_the_base_and_metaclass():
    assert {
        "vorlent.KernelMode",
        "vorlent.DeviceState",
        "vorlent.PreparedFusionChunk",
        "kestamire.DeviceDensityState",
        "pybind11_builtins.pybind11_object",
        "pybind11_builtins.pybind11_type",
    } <= set(TYPES), TYPES


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("type_name", TYPES)
def test_object_protocol_call(type_name, call):
    if type_name == "vorlent.DistributedState" and "sample" in CALLS[call] and not HAVE_MPI4PY:
        pytest.skip("a DistributedState needs mpi4py")
    lines = run_child(f"""
        cls = exposed_types()[{type_name!r}]
        sample = sample_of(cls)
        before = int(sample) if isinstance(sample, vorlent.KernelMode) else None
        try:
            result = {CALLS[call]}
        except Exception as e:
            print("raised", type(e).__name__, repr(str(e)))
        else:
            print("returned", type(result).__module__ + "." + type(result).__qualname__)
        if before is not None:
            print("sample", int(sample) == before)
    """)
    if (type_name, call) in WORKS:
        assert lines[0] == f"returned {WORKS[type_name, call]}", lines
    else:
        assert lines[0].startswith("raised TypeError "), lines
    # Whatever the call did, the member keeps its value.
    assert lines[1:] in ([], ["sample True"]), lines


MEMBER_CASES = {
    **{
        f"pickle_protocol_{p}": f"""
        for member in vorlent.KernelMode.__members__.values():
            assert pickle.loads(pickle.dumps(member, {p})) is member, member
            # A fresh instance of a member's value comes back as the member.
            assert pickle.loads(pickle.dumps(vorlent.KernelMode(int(member)), {p})) is member, member
    """
        for p in range(6)
    },
    "copy_and_deepcopy": """
        for member in vorlent.KernelMode.__members__.values():
            assert copy.copy(member) is member and copy.deepcopy(member) is member, member
            assert copy.deepcopy({"m": [member]})["m"][0] is member, member
            assert member.__reduce_ex__(0) == (getattr, (vorlent.KernelMode, member.name)), member.__reduce_ex__(0)
    """,
    "re_initialising_a_member": """
        for member in vorlent.KernelMode.__members__.values():
            value = int(member)
            vorlent.KernelMode.__init__(member, 3 - value)
            assert int(member) == value and member.name in vorlent.KernelMode.__members__, member
    """,
    # Pickles written by the library's own reducer (protocol 2 and 5) still load.
    "earlier_pickles_load": r"""
        assert pickle.loads(b'\x80\x02cvorlent\nKernelMode\nq\x00)\x81q\x01K\x02b.') == vorlent.PairAuto
        old = b'\x80\x05\x95 \x00\x00\x00\x00\x00\x00\x00\x8c\x07vorlent\x94\x8c\nKernelMode\x94\x93\x94)\x81\x94K\x03b.'
        assert pickle.loads(old) == vorlent.PairAutoFusion
        try:
            pickle.loads(b'\x80\x02cvorlent\nKernelMode\nq\x00)\x81q\x01K\x07b.')
        except ValueError as e:
            assert str(e) == "mode must be KernelMode.AllState, Pair, PairAuto or PairAutoFusion (0 to 3), got: 7", e
        else:
            raise AssertionError("value 7 unpickled")
    """,
    # A Python subclass's instances go by value, as their own type.
    "python_subclass_members": """
        class Mode(vorlent.KernelMode):
            pass
        mode = Mode(2)
        for p in range(pickle.HIGHEST_PROTOCOL + 1):
            back = pickle.loads(pickle.dumps(mode, p))
            assert type(back) is Mode and back == vorlent.PairAuto, (p, back)
        assert type(copy.copy(mode)) is Mode and copy.deepcopy(mode) == vorlent.PairAuto
    """,
}


@pytest.mark.parametrize("case", MEMBER_CASES)
def test_kernel_mode_members_pickle_and_copy(case):
    run_child(MEMBER_CASES[case])


@pytest.mark.parametrize("order", [("vorlent", "kestamire"), ("kestamire", "vorlent"), ("kestamire",)])
def test_the_common_base_is_guarded_in_either_import_order(order):
    names = ", ".join(order)
    prelude = IMPORTS.format(modules=names) + inspect.getsource(exposed_types).replace(
        "(vorlent, kestamire)", f"({names},)"
    )
    run_child(
        """
        classes = [c for c in exposed_types().values() if c.__module__ in ("vorlent", "kestamire")]
        base = classes[0].__mro__[1]
        assert base.__name__ == "pybind11_object" and all(c.__mro__[1] is base for c in classes)
        for make in (lambda: base(), lambda: base.__new__(base), lambda: type("Sub", (base,), {})()):
            try:
                make()
            except TypeError as e:
                assert str(e) in ("pybind11_object instances cannot be created directly",
                                  "Sub instances cannot be created directly"), e
            else:
                raise AssertionError("instance of the common base")
        for c in classes:
            if c.__name__ != "KernelMode":
                try:
                    c()
                except TypeError as e:
                    assert str(e) == f"{c.__module__}.{c.__name__} instances cannot be created directly", e
                else:
                    raise AssertionError(c)
        if "vorlent" in sys.modules:
            K = vorlent.KernelMode
            assert K(2) == vorlent.PairAuto and type(K.__new__(K)) is K
            assert pickle.loads(pickle.dumps(vorlent.PairAuto, 0)) is vorlent.PairAuto
            s = vorlent.DeviceState.zero_state(1)
            assert pickle.loads(pickle.dumps(s, 0)).to_numpy().tolist() == [1, 0]
        d = kestamire.DeviceDensityState.zero_state(1)
        assert pickle.loads(pickle.dumps(d, 1)).to_numpy().tolist() == [[1, 0], [0, 0]]
    """,
        prelude,
    )
