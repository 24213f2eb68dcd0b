"""Runs the C++ self-test of the CPU emulation of the CUDA runtime."""

import io
import os
import shutil
import re
import signal
import subprocess
import sys

import numpy as np
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


# Default pool; then more workers than cores, handing off without spinning;
# then every case with its work queued until a synchronising call.
@pytest.mark.parametrize("switches", [{}, {"HOSTCUDA_THREADS": "3", "HOSTCUDA_SPIN": "0"}, {"HOSTCUDA_DEFER": "1"}])
def test_hostcuda_selftest(switches):
    env = {k: v for k, v in os.environ.items() if not k.startswith("HOSTCUDA_")}
    env.update(switches)
    result = subprocess.run([selftest_binary()], capture_output=True, text=True, timeout=600, env=env, check=False)
    report = result.stdout + result.stderr
    lines = result.stdout.strip().splitlines()
    assert lines, report
    summary = re.fullmatch(r"(\d+) passed, (\d+) failed", lines[-1])
    assert summary, report
    passed, failed = int(summary.group(1)), int(summary.group(2))
    assert failed == 0, report
    assert passed == sum(line.startswith("PASS ") for line in lines) and passed >= 31, report
    assert result.returncode == 0, report


# Runs grids big enough for the worker pool in the parent, then in a fork()ed
# child and in multiprocessing workers (default start method): the children
# must not wait for the parent's workers, which do not exist in them.
FORK_SCRIPT = r"""
import multiprocessing, os, sys
import numpy as np
import kestamire, vorlent

SV_N, DM_N = 14, 7

class H:
    id, control, control_state, parameter, has_stored_matrix, stored_matrix = "h", [], [], None, False, None
    def __init__(self, q):
        self.target = [q]

def uniform_error(_=None):
    sv = np.zeros(1 << SV_N, dtype=np.complex128)
    sv[0] = 1
    gates = [{"id": "h", "target": [q], "control": [], "control_state": [], "parameter": []} for q in range(SV_N)]
    sv = vorlent.run_circuit(SV_N, sv, gates)
    rho = kestamire.DeviceDensityState.zero_state(DM_N, "complex128")
    kestamire.run_density_operations_device(rho, DM_N, [H(q) for q in range(DM_N)])
    return max(np.max(np.abs(sv - 2 ** (-SV_N / 2))), np.max(np.abs(rho.to_numpy() - 2.0 ** -DM_N)))

assert uniform_error() < 1e-12
pid = os.fork()
if pid == 0:
    os._exit(0 if uniform_error() < 1e-12 else 3)
assert os.waitpid(pid, 0)[1] == 0, "forked child failed"
with multiprocessing.Pool(2) as pool:
    assert max(pool.map(uniform_error, range(4))) < 1e-12
print("children ran")
"""


def test_worker_pool_survives_fork():
    build = os.environ.get("QUILLMARCH_BUILD_DIR")
    env = {k: v for k, v in os.environ.items() if not k.startswith("HOSTCUDA_")}
    env["HOSTCUDA_THREADS"] = "3"
    if build:
        env["PYTHONPATH"] = os.path.abspath(build) + os.pathsep + env.get("PYTHONPATH", "")
    # Its own process group, so that a hung grandchild is stopped with it.
    child = subprocess.Popen(
        [sys.executable, "-c", FORK_SCRIPT],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        start_new_session=True,
    )
    try:
        out, err = child.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.communicate()
        pytest.fail("a child process hung on the worker pool after fork")
    assert child.returncode == 0 and out.strip() == "children ran", out + err


# A fresh interpreter has no fiber stacks yet; with the address space capped
# just above what it holds, the barrier probe of the first launch cannot map
# one. The call must raise the launch error, not end the process, and the
# same call must work once the cap is lifted.
STACKLESS_SCRIPT = r"""
import resource, sys
import numpy as np
import kestamire, vorlent

class H:
    id, control, control_state, parameter, has_stored_matrix, stored_matrix = "h", [], [], None, False, None
    def __init__(self, q):
        self.target = [q]

if sys.argv[1] == "vorlent":
    sv = np.zeros(8, dtype=np.complex128)
    sv[0] = 1
    gates = [{"id": "x", "target": [0], "control": [], "control_state": [], "parameter": []}]
    call = lambda: vorlent.run_circuit(3, sv, gates)
else:
    rho = kestamire.DeviceDensityState.zero_state(2, "complex128")
    def call():
        kestamire.run_density_operations_device(rho, 2, [H(0)])
        return rho.to_numpy()

with open("/proc/self/statm") as f:
    held = int(f.read().split()[0]) * resource.getpagesize()
saved = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (held + (128 << 10), saved[1]))
try:
    call()
    message = "no error"
except RuntimeError as e:
    message = str(e)
resource.setrlimit(resource.RLIMIT_AS, saved)
print(message)
np.save(sys.stdout.buffer, call())
"""


@pytest.mark.parametrize(
    "module, message",
    [
        ("vorlent", "cu_x kernel launch failed: unspecified launch failure"),
        ("kestamire", "unitary kernel launch failed: unspecified launch failure"),
    ],
    ids=["vorlent", "kestamire"],
)
def test_unmappable_fiber_stack_raises_the_launch_error(module, message):
    build = os.environ.get("QUILLMARCH_BUILD_DIR")
    env = {k: v for k, v in os.environ.items() if not k.startswith("HOSTCUDA_")}
    if build:
        env["PYTHONPATH"] = os.path.abspath(build) + os.pathsep + env.get("PYTHONPATH", "")
    result = subprocess.run(
        [sys.executable, "-c", STACKLESS_SCRIPT, module], capture_output=True, env=env, timeout=120, check=False
    )
    err = result.stderr.decode(errors="replace")
    assert result.returncode == 0, err
    first, _, saved = result.stdout.partition(b"\n")
    assert first.decode() == message, err
    assert err.count("hostcuda: cannot map a fiber stack\n") == 1, err
    # The failed launch ran nothing: the state took the gate once.
    x = np.array([[0, 1], [1, 0]])
    h = np.array([[1, 1], [1, -1]]) / np.sqrt(2)
    if module == "vorlent":
        expected = np.kron(np.eye(4), x) @ np.eye(8)[0]
    else:
        u = np.kron(np.eye(2), h)
        expected = u @ np.outer(np.eye(4)[0], np.eye(4)[0]) @ u.conj().T
    np.testing.assert_allclose(np.load(io.BytesIO(saved)), expected, atol=1e-12)


def test_trace_names_template_kernels_in_a_stripped_binary(tmp_path):
    """A pip install strips the modules; kernels launched as template arguments keep their names in the trace."""
    stripped = tmp_path / "hostcuda_selftest"
    shutil.copy(selftest_binary(), stripped)
    subprocess.run(["strip", str(stripped)], check=True)
    assert "symtab" not in subprocess.run(["readelf", "-S", str(stripped)], capture_output=True, text=True).stdout
    env = {k: v for k, v in os.environ.items() if not k.startswith("HOSTCUDA_")}
    result = subprocess.run(
        [str(stripped), "launch_trace_of_template_kernels"], capture_output=True, text=True, timeout=120, env=env
    )
    assert result.returncode == 0 and "PASS launch_trace_of_template_kernels" in result.stdout, result.stdout
