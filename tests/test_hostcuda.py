"""Runs the C++ self-test of the CPU emulation of the CUDA runtime."""

import os
import re
import subprocess

import pytest

pytestmark = pytest.mark.host_only


def selftest_binary():
    build = os.environ.get("QUILLMARCH_BUILD_DIR")
    if not build:
        pytest.skip("QUILLMARCH_BUILD_DIR is not set")
    path = os.path.join(build, "hostcuda_selftest")
    if not os.access(path, os.X_OK):
        pytest.skip("hostcuda_selftest was not built in " + build)
    return path


def test_hostcuda_selftest():
    env = {k: v for k, v in os.environ.items() if not k.startswith("HOSTCUDA_")}
    result = subprocess.run(
        [selftest_binary()], capture_output=True, text=True, timeout=600, env=env, check=False
    )
    report = result.stdout + result.stderr
    lines = result.stdout.strip().splitlines()
    assert lines, report
    summary = re.fullmatch(r"(\d+) passed, (\d+) failed", lines[-1])
    assert summary, report
    passed, failed = int(summary.group(1)), int(summary.group(2))
    assert failed == 0, report
    assert passed == sum(line.startswith("PASS ") for line in lines) and passed >= 18, report
    assert result.returncode == 0, report
