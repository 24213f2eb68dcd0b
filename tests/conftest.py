import os
import sys

import numpy as np
import pytest

# Tests import the modules from a build folder when one is named, else from
# the installed package.
_build = os.environ.get("QUILLMARCH_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))


def pytest_configure(config):
    config.addinivalue_line("markers", "host_only: needs the CPU emulation's test switches (host backend)")


def pytest_collection_modifyitems(config, items):
    import vorlent

    if vorlent.backend == "host":
        return
    skip = pytest.mark.skip(reason="uses switches of the CPU emulation")
    for item in items:
        if "host_only" in item.keywords:
            item.add_marker(skip)


@pytest.fixture(params=["complex64", "complex128"])
def dtype(request):
    return request.param


def barrier_block(gpu_threads):
    """Threads per block of a kernel with barriers on the host backend: one, or the GPU's block size under
    HOSTCUDA_GPU_GEOMETRY=1."""
    return gpu_threads if int(os.environ.get("HOSTCUDA_GPU_GEOMETRY") or 0) != 0 else 1


def tile_lanes(dtype, active):
    """The real type and element bytes of a dtype, and how many qubits below one 32-byte sector a shared-memory
    group on `active` leaves out (the tiles a block spans are 2 ** that)."""
    real, width = ("double", 16) if str(dtype) == "complex128" else ("float", 8)
    return real, width, sum(b not in active for b in range((32 // width).bit_length() - 1))


def tolerance(dtype):
    """Absolute tolerance for comparing amplitudes of the given precision."""
    return 2e-5 if str(dtype) == "complex64" else 1e-11


def show(value):
    """Short text of a test parameter for a test id: sequences as [1,2], arrays by shape, operations by name,
    targets, controls, parameters and matrix."""
    if isinstance(value, np.ndarray):
        return "array" + "x".join(map(str, value.shape)) if value.ndim else show(value.item())
    if isinstance(value, (list, tuple, range)):
        return "[" + ",".join(show(v) for v in value) + "]"
    if isinstance(value, dict):
        if "id" in value:
            return _operation(value.get)
        return " ".join(f"{k}={show(v)}" for k, v in value.items())
    if hasattr(value, "kraus_matrices"):
        text = f"{value.operation_kind} on {show(value.target)} {show(value.kraus_matrices)}"
        return text + (f" {value.channel_name}" if hasattr(value, "channel_name") else "")
    if hasattr(value, "id") and hasattr(value, "target"):
        return _operation(lambda key: getattr(value, key, None))
    if isinstance(value, str):
        return value or '""'
    return str(value)


def _operation(get):
    text = str(get("id"))
    if get("parameter") is not None:  # "rx()": an empty list, "rx": no parameter at all
        text += "(" + ",".join(show(p) for p in get("parameter")) + ")"
    text += " on " + show(get("target"))
    if get("control") or get("control_state"):
        text += f" c{show(get('control'))}={show(get('control_state'))}"
    matrix = get("stored_matrix") if get("has_stored_matrix") else get("matrix")
    return text + (f" matrix {show(matrix)}" if matrix is not None else "")


def case_ids(argnames, rows):
    """Ids of a parametrize table that name each field: "n=5 targets=[1,3] controls=[]"."""
    names = [name.strip() for name in argnames.split(",")]
    if len(names) == 1:
        rows = [(row,) for row in rows]
    return [" ".join(f"{name}={show(value)}" for name, value in zip(names, row, strict=False)) for row in rows]


def parametrize_table(argnames, rows):
    """pytest.mark.parametrize over a table of cases, each named by its fields (case_ids)."""
    rows = list(rows)
    return pytest.mark.parametrize(argnames, rows, ids=case_ids(argnames, rows))
