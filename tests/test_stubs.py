"""The committed type stubs (stubs/*.pyi) match the built modules, checked with
mypy's stubtest. Regenerate them with tools/gen_stubs.sh BUILD_DIR."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vorlent

pytest.importorskip("mypy.stubtest")

ROOT = Path(__file__).resolve().parent.parent

# What a stub cannot spell: pybind11 classes have pybind11's metaclass, and a
# class without a Python constructor has a generic __init__ that only raises.
TOLERATED = [
    re.compile(r"^\w+\.\w+ is inconsistent, metaclass differs$"),
    re.compile(r'^\w+\.\w+\.__init__ is inconsistent, stub does not have \*args parameter "args"$'),
]
if vorlent.backend == "cuda":
    # Only the cuda backend has it; the stubs are generated from a host build.
    TOLERATED.append(re.compile(r"^\w+\.\w+\.__cuda_array_interface__ is not present in stub$"))


def test_stubs_match_the_built_modules(tmp_path):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the stubs are checked against the plain host build")
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\ncache_dir = {tmp_path / 'cache'}\n")
    env = dict(os.environ, MYPYPATH=str(ROOT / "stubs"))
    build = os.environ.get("QUILLMARCH_BUILD_DIR")
    if build:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.abspath(build), env.get("PYTHONPATH")]))
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "vorlent", "kestamire", "--concise", "--mypy-config-file", str(config)],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    lines = [line for line in run.stdout.splitlines() if line.strip()]
    problems = [line for line in lines if not any(p.match(line) for p in TOLERATED)]
    assert run.returncode in (0, 1) and not problems, (
        "\n".join(problems) + run.stderr + "\nregenerate the stubs: tools/gen_stubs.sh BUILD_DIR"
    )
    # The check reached the classes (the metaclass difference is always reported).
    assert any("vorlent.DeviceState is inconsistent, metaclass differs" == line for line in lines), run.stdout
