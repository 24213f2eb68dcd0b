"""DistributedState across processes: each case starts distributed_worker.py
under mpiexec and passes when every rank's checks pass."""

import os
import shutil
import subprocess
import sys

import pytest

import vorlent

HERE = os.path.dirname(os.path.abspath(__file__))
WORKER = os.path.join(HERE, "distributed_worker.py")
TIMEOUT = 120

try:
    import mpi4py  # noqa: F401

    HAVE_MPI4PY = True
except ImportError:
    HAVE_MPI4PY = False
MPIEXEC = shutil.which("mpiexec")

needs_mpi = pytest.mark.skipif(not (HAVE_MPI4PY and MPIEXEC), reason="needs mpi4py and mpiexec")


def hydra_mpiexec():
    """MPICH's launcher, whose `-env` sets a variable for one program of a job."""
    if not MPIEXEC:
        return False
    version = subprocess.run([MPIEXEC, "--version"], capture_output=True, text=True, timeout=TIMEOUT)
    return "HYDRA" in version.stdout


def worker_env(**extra):
    env = dict(os.environ)
    build = env.get("QUILLMARCH_BUILD_DIR")
    if build:
        env["QUILLMARCH_BUILD_DIR"] = os.path.abspath(build)
    env.update({k: str(v) for k, v in extra.items()})
    return env


def launch(args, env=None):
    result = subprocess.run(
        [MPIEXEC] + args, capture_output=True, text=True, timeout=TIMEOUT, env=env or worker_env(), cwd=HERE
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def run_worker(processes, scenario, **env):
    out = launch(["-n", str(processes), sys.executable, WORKER, scenario], worker_env(**env))
    assert f"ok {scenario} on {processes}" in out, out


@needs_mpi
@pytest.mark.parametrize("processes", [1, 2, 4, 8])
@pytest.mark.parametrize("scenario", ["circuits", "measure", "stats", "refusals", "observables"])
def test_matches_one_device(scenario, processes):
    run_worker(processes, scenario)


@needs_mpi
@pytest.mark.parametrize("processes", [1, 2])
def test_cuda_aware_is_detected_or_given(processes):
    run_worker(processes, "transport")


@needs_mpi
def test_process_count_must_be_a_power_of_two():
    run_worker(3, "nonpow2")


@needs_mpi
@pytest.mark.host_only
@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
@pytest.mark.parametrize("processes", [2, 4])
def test_local_state_and_two_buffers_are_enough(processes, dtype):
    n_local, buffer_bytes = 12, 4096
    itemsize = 8 if dtype == "complex64" else 16
    # The local slice, two exchange buffers and one page for measurement sums.
    budget = (itemsize << n_local) + 2 * buffer_bytes + 4096
    g = processes.bit_length() - 1
    run_worker(
        processes,
        "memory",
        HOSTCUDA_MEMORY_BYTES=budget,
        DIST_N=n_local + g,
        DIST_DTYPE=dtype,
        DIST_BUFFER=buffer_bytes,
    )


@needs_mpi
@pytest.mark.host_only
@pytest.mark.skipif(not hydra_mpiexec(), reason="sets one rank's environment with MPICH's mpiexec -env")
def test_one_rank_failing_raises_on_every_rank():
    n_local, buffer_bytes = 10, 4096
    # Rank 1's device holds its slice but not the exchange buffers.
    tight = (16 << n_local) + buffer_bytes // 2
    env = dict(DIST_N=n_local + 1, DIST_BUFFER=buffer_bytes)
    out = launch(
        [
            "-n",
            "1",
            sys.executable,
            WORKER,
            "rank_failure",
            ":",
            "-n",
            "1",
            "-env",
            "HOSTCUDA_MEMORY_BYTES",
            str(tight),
            sys.executable,
            WORKER,
            "rank_failure",
        ],
        worker_env(**env),
    )
    assert "ok rank_failure on 2" in out, out


def on_rank_1(scenario, name, value):
    """`scenario` on two ranks, with `name`=`value` in rank 1's environment only."""
    one = [sys.executable, WORKER, scenario]
    out = launch(["-n", "1"] + one + [":", "-n", "1", "-env", name, str(value)] + one)
    assert f"ok {scenario} on 2" in out, out


@needs_mpi
@pytest.mark.host_only
@pytest.mark.skipif(not hydra_mpiexec(), reason="sets one rank's environment with MPICH's mpiexec -env")
def test_a_failure_inside_an_exchange_raises_on_every_rank():
    on_rank_1("exchange_failure", "HOSTCUDA_FAIL_LAUNCH_AFTER", 1)


@needs_mpi
@pytest.mark.skipif(not hydra_mpiexec(), reason="sets one rank's environment with MPICH's mpiexec -env")
def test_ctrl_c_on_one_rank_stops_every_rank():
    on_rank_1("interrupt", "QM_UNUSED", 0)


def test_without_mpi4py_the_class_explains_the_install():
    code = (
        "import sys; sys.modules['mpi4py'] = None; sys.modules['mpi4py.MPI'] = None\n"
        "import vorlent\n"
        "try:\n"
        "    vorlent.DistributedState.zero_state(3)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
        env=worker_env(PYTHONPATH=os.path.abspath(os.environ.get("QUILLMARCH_BUILD_DIR", "."))),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "DistributedState needs mpi4py: pip install mpi4py mpich, or pip install .[mpi]"


def test_class_surface():
    cls = vorlent.DistributedState
    for name in ("zero_state", "from_numpy", "gather", "to_numpy"):
        assert callable(getattr(cls, name))
    for name in ("n", "dtype", "rank", "size", "local_qubits", "layout", "stats", "cuda_aware"):
        assert isinstance(getattr(cls, name), property)
    with pytest.raises(TypeError):
        cls()
