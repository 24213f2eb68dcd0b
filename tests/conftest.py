import os
import sys

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


def tolerance(dtype):
    """Absolute tolerance for comparing amplitudes of the given precision."""
    return 2e-5 if str(dtype) == "complex64" else 1e-11
