"""Gate fusion: the planner's groups, prepared chunks and PairAutoFusion against
the NumPy reference and the per-gate modes, what runs (launch trace), and the
failure paths.

DenseMM keeps per-thread scratch buffers until its thread ends. Executions run
in short-lived threads here, so no buffer outlives a test and the emulated
memory accounting of other tests stays exact."""

import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import sv_reference as ref
from conftest import barrier_block, tile_lanes, tolerance
from gate_helpers import FUSION_ONE_QUBIT as ONE_QUBIT, QuantumGate, gate

import vorlent


def objects(gates):
    return [
        QuantumGate(g["id"], g["target"], g["control"], g["control_state"], g["parameter"], g.get("matrix"))
        for g in gates
    ]


def in_thread(fn, *args):
    """Runs fn in a new thread (its DenseMM buffers go with it) and returns or raises its outcome."""
    box = {}

    def body():
        try:
            box["value"] = fn(*args)
        except BaseException as e:  # noqa: BLE001 - handed back to the caller
            box["error"] = e

    t = threading.Thread(target=body)
    t.start()
    t.join()
    if "error" in box:
        raise box["error"]
    return box.get("value")


def random_circuit(rng, n, depth):
    """Every gate kind: one-qubit gates with random controls, SWAP, GLOBAL_PHASE and
    UNITARY on 1 to 3 targets; fusable and non-fusable gates interleaved."""
    gates = []
    for _ in range(depth):
        roll = rng.random()
        qubits = [int(q) for q in rng.permutation(n)]
        if roll < 0.08 and n >= 2:
            k = int(rng.integers(0, min(n - 2, 2) + 1))
            gates.append(gate("swap", qubits[:2], qubits[2 : 2 + k], rng.integers(0, 2, k)))
        elif roll < 0.12:
            k = int(rng.integers(0, min(n, 2) + 1))
            gates.append(gate("gp", [], qubits[:k], rng.integers(0, 2, k), [rng.uniform(-3, 3)]))
        elif roll < 0.2:
            t = int(rng.integers(1, min(n, 3) + 1))
            k = int(rng.integers(0, min(n - t, 1) + 1))
            gates.append(
                gate(
                    "unitary",
                    qubits[:t],
                    qubits[t : t + k],
                    rng.integers(0, 2, k),
                    matrix=ref.random_unitary(rng, 1 << t),
                )
            )
        else:
            name = str(rng.choice(list(ONE_QUBIT)))
            k = int(rng.integers(0, min(n - 1, 2) + 1)) if rng.random() < 0.4 else 0
            gates.append(
                gate(name, qubits[:1], qubits[1 : 1 + k], rng.integers(0, 2, k), rng.uniform(-3, 3, ONE_QUBIT[name]))
            )
    return [dict(g, control_state=[int(v) for v in g["control_state"]]) for g in gates]


def execute_chunk(n, state, chunk):
    ds = vorlent.DeviceState.from_numpy(n, state.copy())
    in_thread(vorlent.execute_prepared_fusion_chunk, ds, chunk)
    return ds.to_numpy()


def run_mode(n, state, gates, mode):
    return in_thread(vorlent.run_circuit, n, state.copy(), gates, "little", "cuda:0", mode)


OPTION_SETS = {
    "defaults": {},
    "no grouping": {"max_gates_per_group": 0},
    "one gate per scan": {"max_gates_per_group": 1},
    "3-qubit groups": {"sparsesharemem_qubits": 3},
    "DenseMM forced": {"densemm_gate_threshold_scale": 0.0, "densemm_max_qubits": 10},
    "no padding": {"pad_sparsesharemem": False, "sparsesharemem_qubits": 4},
    "no SWAP fusion": {"fuse_swap": False},
}


@pytest.mark.parametrize("options", OPTION_SETS.values(), ids=OPTION_SETS.keys())
@pytest.mark.parametrize("n", [1, 2, 3, 5, 8, 10, 12])
def test_fused_equals_reference_and_per_gate(n, options, dtype):
    rng = np.random.default_rng(300 + n)
    gates = random_circuit(rng, n, 70 if n <= 8 else 100)
    state = ref.random_state(rng, n, dtype)
    # The Python reference is slow beyond 8 qubits; there the per-gate modes,
    # themselves checked against it elsewhere, stand in for it.
    expected = ref.run(state, n, gates) if n <= 8 else run_mode(n, state, gates, vorlent.PairAuto)
    chunk = vorlent.prepare_fusion_chunk_gates(n, objects(gates), **options)
    assert chunk.n == n and chunk.gate_count == len(gates)
    np.testing.assert_allclose(execute_chunk(n, state, chunk), expected, rtol=0, atol=4 * tolerance(dtype))
    if not options:
        fused = run_mode(n, state, gates, vorlent.PairAutoFusion)
        np.testing.assert_allclose(fused, expected, rtol=0, atol=4 * tolerance(dtype))


def kinds(chunk):
    return [g["kind"] for g in chunk.groups]


def plan(n, gates, **options):
    return vorlent.prepare_fusion_chunk_gates(n, objects(gates), **options)


def test_planner_groups_follow_the_scan_and_selection_rules():
    h = lambda q: gate("h", [q])  # noqa: E731
    cx = lambda c, t: gate("x", [t], [c], [1])  # noqa: E731
    # A single gate, and any gate that cannot be fused, is a group of its own.
    assert kinds(plan(3, [h(0)])) == ["AutoPair"]
    # A non-fusable gate ends the scan: h(1) waits although it touches another qubit.
    chunk = plan(3, [h(0), h(0), gate("gp", [], parameter=[0.3]), h(1), h(1)])
    assert [g["gate_indices"] for g in chunk.groups] == [[0, 1], [2], [3, 4]]
    # A rejected gate blocks its qubits; a later gate elsewhere joins and runs first.
    chunk = plan(6, [cx(0, 1), cx(2, 3), cx(1, 2), h(4), h(2)], sparsesharemem_qubits=3, pad_sparsesharemem=False)
    assert [g["gate_indices"] for g in chunk.groups][0] == [0, 3]
    assert chunk.groups[0]["active_qubits"] == [0, 1, 4]
    # No scanning at all: every gate alone.
    assert kinds(plan(4, [h(0), h(1), h(0)], max_gates_per_group=0)) == ["AutoPair"] * 3
    # SWAP only joins groups when allowed.
    swaps = [gate("swap", [0, 1]), h(0), gate("swap", [1, 0])]
    assert kinds(plan(4, swaps, fuse_swap=False)) == ["AutoPair"] * 3
    assert [g["gate_indices"] for g in plan(4, swaps).groups] == [[0, 1, 2]]
    # Planning is a pure function of its inputs.
    gates = random_circuit(np.random.default_rng(5), 9, 120)
    a, b = plan(9, gates), plan(9, gates)
    assert len(a.groups) == len(b.groups)
    for x, y in zip(a.groups, b.groups, strict=False):
        assert x["kind"] == y["kind"] and x["gate_indices"] == y["gate_indices"]
        assert x["active_qubits"] == y["active_qubits"]
        assert (x["dense_matrix"] is None) == (y["dense_matrix"] is None)
        if x["dense_matrix"] is not None:
            assert np.array_equal(x["dense_matrix"], y["dense_matrix"])


@pytest.mark.parametrize("control_state", [[2], [-1]], ids=["state 2", "state -1"])
def test_gates_the_per_gate_path_refuses_are_not_fused(control_state):
    """Fused groups would apply such controls with some silent meaning; every mode must refuse them alike."""
    n = 3
    cases = [gate("h", [0], [1], control_state), gate("h", [0], [0], [1]), gate("h", [0], [1, 1], [1, 1])]
    for bad in cases:
        gates = [gate("h", [1]), gate("h", [1]), bad, gate("x", [2])]
        results = []
        for mode in (vorlent.PairAuto, vorlent.PairAutoFusion):
            ds = vorlent.DeviceState.zero_state(n)
            with pytest.raises(ValueError) as err:
                in_thread(vorlent.run_circuit_device, ds, gates, "little", mode)
            results.append((str(err.value), ds.to_numpy()))
        assert results[0][0] == results[1][0]
        np.testing.assert_allclose(results[1][1], results[0][1], atol=1e-12)


def test_padding_and_dense_groups():
    gates = [gate("h", [0]), gate("x", [1])]
    # Padded to sparsesharemem_qubits, or to all qubits on a smaller state; unpadded otherwise.
    assert plan(12, gates).groups[0]["active_qubits"] == list(range(10))
    assert plan(6, gates).groups[0]["active_qubits"] == list(range(6))
    assert plan(6, gates, pad_sparsesharemem=False).groups[0]["active_qubits"] == [0, 1]
    # DenseMM: the product matrix in the local basis (bit 0 = first active qubit).
    dense = plan(3, gates, densemm_gate_threshold_scale=0.0).groups[0]
    assert dense["kind"] == "DenseMM" and dense["active_qubits"] == [0, 1]
    np.testing.assert_allclose(dense["dense_matrix"], np.kron(ref.FIXED["x"], ref.FIXED["h"]), atol=1e-15)
    # k = n is never DenseMM, whatever the cost model says.
    assert kinds(plan(2, gates, densemm_gate_threshold_scale=0.0)) == ["SparseShareMem"]
    # Controls with state 0 act where the control qubit is 0.
    controlled = plan(3, [gate("x", [1], [0], [0]), gate("z", [0])], densemm_gate_threshold_scale=0.0).groups[0]
    expected = np.diag([1, -1, 1, -1]).astype(complex) @ np.array(
        [[0, 0, 1, 0], [0, 1, 0, 0], [1, 0, 0, 0], [0, 0, 0, 1]]
    )
    np.testing.assert_allclose(controlled["dense_matrix"], expected, atol=1e-15)


def traced(tmp_path, monkeypatch, fn, *args):
    path = tmp_path / "trace.txt"
    path.unlink(missing_ok=True)
    monkeypatch.setenv("HOSTCUDA_TRACE", str(path))
    in_thread(fn, *args)
    monkeypatch.delenv("HOSTCUDA_TRACE")
    return [line.split()[0] for line in path.read_text().splitlines()] if path.exists() else []


@pytest.mark.host_only
def test_trace_shows_one_pass_per_group(tmp_path, monkeypatch, dtype):
    n = 12
    gates = random_circuit(np.random.default_rng(12), n, 200)
    suffix = "<float>" if dtype == "complex64" else "<double>"
    gemm = "cublasCgemm" if dtype == "complex64" else "cublasZgemm"
    for options in ({}, {"densemm_gate_threshold_scale": 0.0}):
        chunk = plan(n, gates, **options)
        ds = vorlent.DeviceState.zero_state(n, dtype)
        names = traced(tmp_path, monkeypatch, vorlent.execute_prepared_fusion_chunk, ds, chunk)
        expected = []
        for g in chunk.groups:
            if g["kind"] == "SparseShareMem":
                expected.append("sparsesharemem_kernel" + suffix)
            elif g["kind"] == "DenseMM":
                expected += ["transpose_to_low_bits" + suffix, gemm, "transpose_from_low_bits" + suffix]
            else:
                expected.append(None)  # one per-gate launch, or two for a large UNITARY
        fused = [x for x in names if "sparsesharemem" in x or "transpose" in x or "gemm" in x]
        assert fused == [x for x in expected if x is not None]
        assert len(chunk.groups) < len(gates) / 3
        if options:
            assert "DenseMM" in kinds(chunk)


@pytest.mark.parametrize("active", [[0, 1, 2, 3], [0, 3, 5], [1, 6], [2, 4, 7, 8], [5, 6, 7, 8]], ids=str)
def test_tiles_span_the_low_qubits_a_group_leaves_out(tmp_path, monkeypatch, dtype, active):
    # A block holds as many tiles as it takes to read whole 32-byte sectors: the qubits below one sector that the
    # group leaves out span the block's tiles, and every record's bits are placed among them.
    n, rng = 9, np.random.default_rng(sum(active))
    gates = [gate("x", [t], [c], [1]) for c, t in zip(active, active[1:], strict=False)]
    for _ in range(30):
        qs = [int(q) for q in rng.permutation(active)]
        if rng.random() < 0.15 and len(qs) >= 2:
            k = int(rng.integers(0, min(len(qs) - 2, 1) + 1))
            gates.append(gate("swap", qs[:2], qs[2 : 2 + k], [int(v) for v in rng.integers(0, 2, k)]))
        else:
            name = str(rng.choice(list(ONE_QUBIT)))
            k = int(rng.integers(0, min(len(qs) - 1, 2) + 1))
            states = [int(v) for v in rng.integers(0, 2, k)]
            gates.append(gate(name, qs[:1], qs[1 : 1 + k], states, rng.uniform(-3, 3, ONE_QUBIT[name])))
    chunk = plan(n, gates, pad_sparsesharemem=False, sparsesharemem_qubits=len(active), densemm_min_qubits=10)
    assert kinds(chunk) == ["SparseShareMem"] and chunk.groups[0]["active_qubits"] == active
    state = ref.random_state(rng, n, dtype)
    trace = tmp_path / "trace.txt"
    monkeypatch.setenv("HOSTCUDA_TRACE", str(trace))
    got = execute_chunk(n, state, chunk)
    monkeypatch.delenv("HOSTCUDA_TRACE")
    np.testing.assert_allclose(got, ref.run(state, n, gates), rtol=0, atol=4 * tolerance(dtype))
    if vorlent.backend == "host":
        real, width, lanes = tile_lanes(dtype, active)
        k = len(active)
        assert trace.read_text().splitlines() == [
            f"sparsesharemem_kernel<{real}> grid={2 ** (n - k - lanes)},1,1 block={barrier_block(128)},1,1 "
            f"shared={width << (k + lanes)} scope=vorlent::fusion"
        ]


def test_chunk_reuse_across_executions_and_precisions():
    n = 7
    rng = np.random.default_rng(77)
    gates = random_circuit(rng, n, 80)
    chunk = plan(n, gates, densemm_gate_threshold_scale=0.5)
    for dtype in ("complex64", "complex128"):
        state = ref.random_state(rng, n, dtype)
        once = ref.run(state, n, gates)
        ds = vorlent.DeviceState.from_numpy(n, state.copy())
        in_thread(vorlent.execute_prepared_fusion_chunk, ds, chunk)
        in_thread(vorlent.execute_prepared_fusion_chunk, ds, chunk)
        np.testing.assert_allclose(ds.to_numpy(), ref.run(once, n, gates), atol=8 * tolerance(dtype))


N_MSG = "n must be in [1, 62]"


def test_fusion_entry_point_messages():
    with pytest.raises(ValueError) as err:
        vorlent.execute_prepared_fusion_chunk(vorlent.DeviceState.zero_state(11), plan(10, [gate("h", [0])]))
    assert str(err.value) == "DeviceState qubit count does not match prepared fusion chunk"
    # Dense matrices beyond 10 qubits are refused at planning; 11 shared-memory qubits only at execution.
    with pytest.raises(ValueError) as err:
        plan(20, [gate("h", [0])], densemm_max_qubits=20, sparsesharemem_qubits=20)
    assert str(err.value) == (
        "DenseMM groups are limited to 10 active qubits: lower densemm_max_qubits or "
        "sparsesharemem_qubits to at most 10"
    )
    n = 12
    gates = [gate("h", [q]) for q in range(n)]
    chunk = plan(n, gates, sparsesharemem_qubits=11)
    assert kinds(chunk)[0] == "SparseShareMem" and len(chunk.groups[0]["active_qubits"]) == 11
    state = ref.random_state(np.random.default_rng(1), n)
    ds = vorlent.DeviceState.from_numpy(n, state.copy())
    with pytest.raises(ValueError) as err:
        in_thread(vorlent.execute_prepared_fusion_chunk, ds, chunk)
    assert str(err.value) == "SparseShareMem active qubits must be in [1, 10]"
    np.testing.assert_array_equal(ds.to_numpy(), state)
    # Parse errors propagate, before any planning.
    with pytest.raises(ValueError) as err:
        vorlent.prepare_fusion_chunk_gates(3, [QuantumGate("cswap", [0], [], [])])
    assert str(err.value) == "Unsupported CUDA gate id: cswap"


def run_child(code, cwd=None, **env):
    """Runs code in a fresh interpreter with emulation switches; returns its stdout lines."""
    full_env = dict(os.environ, **{k: str(v) for k, v in env.items()})
    if full_env.get("QUILLMARCH_BUILD_DIR"):
        full_env["QUILLMARCH_BUILD_DIR"] = os.path.abspath(full_env["QUILLMARCH_BUILD_DIR"])
    here = os.path.dirname(os.path.abspath(__file__))
    prologue = f"import sys; sys.path.insert(0, {here!r}); import conftest\n"
    result = subprocess.run(
        [sys.executable, "-c", prologue + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=300,
        check=False,
        cwd=cwd,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.split()


MEMORY_CHILD = """
    import os
    import numpy as np, vorlent, sv_reference as ref
    from test_fusion import plan, random_circuit
    n = 10
    dtype = "{dtype}"
    elem = np.dtype(dtype).itemsize
    record = 56 if dtype == "complex64" else 96
    gates = random_circuit(np.random.default_rng(4), n, 150)
    state = ref.random_state(np.random.default_rng(5), n, dtype)
    expected = ref.run(state, n, gates)
    chunk = plan(n, gates, densemm_gate_threshold_scale=0.0)
    kinds = [g["kind"] for g in chunk.groups]
    assert "DenseMM" in kinds and "SparseShareMem" in kinds, kinds
    size = lambda kind: sum(len(g["gate_indices"]) for g in chunk.groups if g["kind"] == kind) * record
    uploads = size("SparseShareMem") + elem * sum(
        g["dense_matrix"].size for g in chunk.groups if g["kind"] == "DenseMM")
    state_bytes = elem << n
    slack = 2048  # per-gate UNITARY uploads; less than one scratch buffer

    def attempt(limit):
        ds = vorlent.DeviceState.from_numpy(n, state.copy())
        os.environ["HOSTCUDA_MEMORY_BYTES"] = str(limit)
        os.environ["HOSTCUDA_TRACE"] = trace = os.path.abspath("trace-%d.txt" % limit)
        try:
            vorlent.execute_prepared_fusion_chunk(ds, chunk)
            outcome = "ok"
        except RuntimeError as e:
            outcome = str(e).replace(" ", "_")
        os.environ.pop("HOSTCUDA_MEMORY_BYTES")
        os.environ.pop("HOSTCUDA_TRACE")
        gemms = open(trace).read().count("gemm") if os.path.exists(trace) else 0
        out = ds.to_numpy()
        print(outcome, gemms, np.array_equal(out, state) or np.abs(out - expected).max() < 1e-4)

    # Room for the state only: the records cannot be uploaded and nothing runs.
    attempt(state_bytes)
    # No room for the DenseMM scratch buffers (neither, or only the first):
    # DenseMM groups run through shared memory instead, with the same result.
    attempt(state_bytes + uploads + size("DenseMM") + slack)
    attempt(2 * state_bytes + uploads + size("DenseMM") + slack)
    # Nothing was left allocated by the failed or degraded calls.
    os.environ["HOSTCUDA_MEMORY_BYTES"] = str(state_bytes)
    vorlent.DeviceState.zero_state(n, dtype)
    os.environ.pop("HOSTCUDA_MEMORY_BYTES")
    # With room for both buffers every DenseMM group is one GEMM.
    attempt(3 * state_bytes + uploads + slack)
    print("freed", kinds.count("DenseMM"))
"""


@pytest.mark.host_only
def test_emulated_memory_limits(dtype, tmp_path):
    out = run_child(MEMORY_CHILD.format(dtype=dtype), cwd=tmp_path)
    dense_groups = out.pop()
    assert int(dense_groups) > 0
    assert out == [
        "cudaMalloc_SparseShareMem_gates:_out_of_memory",
        "0",
        "True",
        "ok",
        "0",
        "True",
        "ok",
        "0",
        "True",
        "ok",
        dense_groups,
        "True",
        "freed",
    ]


@pytest.mark.host_only
def test_densemm_cache_follows_the_device():
    out = run_child(
        """
        import numpy as np, os, vorlent, sv_reference as ref
        from test_fusion import plan, gate
        n = 10
        gates = [gate("h", [q % 3]) for q in range(30)]
        chunk = plan(n, gates, densemm_gate_threshold_scale=0.0)
        assert [g["kind"] for g in chunk.groups] == ["DenseMM"]
        state_bytes = 16 << n
        # Device 0 holds a state and the two scratch buffers, no more.
        os.environ["HOSTCUDA_MEMORY_BYTES"] = str(3 * state_bytes + 4096)
        a = vorlent.DeviceState.zero_state(n, device="cuda:0")
        vorlent.execute_prepared_fusion_chunk(a, chunk)
        b = vorlent.DeviceState.zero_state(n, device="cuda:1")
        vorlent.execute_prepared_fusion_chunk(b, chunk)
        # The cache moved to device 1, so device 0 has room for two more states.
        c = vorlent.DeviceState.zero_state(n, device="cuda:0")
        d = vorlent.DeviceState.zero_state(n, device="cuda:0")
        expected = ref.run(ref.random_state(np.random.default_rng(0), n) * 0 + np.eye(1 << n)[0], n, gates)
        print(np.abs(a.to_numpy() - expected).max() < 1e-12, np.abs(b.to_numpy() - expected).max() < 1e-12)
    """,
        HOSTCUDA_DEVICE_COUNT=2,
    )
    assert out == ["True", "True"]


@pytest.mark.host_only
@pytest.mark.parametrize("release", ["on_out_of_memory", "release_fusion_cache"])
def test_the_densemm_cache_gives_its_memory_back(release):
    """Device 0 holds a state and the two cached DenseMM buffers, no more: a
    second state fits once the cache is freed, by the retry after an
    out-of-memory or by release_fusion_cache(); fused runs stay right."""
    out = run_child(
        f"""
        import numpy as np, os, vorlent, sv_reference as ref
        from test_fusion import plan, gate
        n = 10
        gates = [gate("h", [q % 3]) for q in range(30)]
        chunk = plan(n, gates, densemm_gate_threshold_scale=0.0)
        assert [g["kind"] for g in chunk.groups] == ["DenseMM"]
        os.environ["HOSTCUDA_MEMORY_BYTES"] = str(3 * (16 << n) + 4096)
        expected = ref.run(np.eye(1 << n)[0].astype(complex), n, gates)
        a = vorlent.DeviceState.zero_state(n, "complex128")
        vorlent.execute_prepared_fusion_chunk(a, chunk)
        if {release!r} == "release_fusion_cache":
            vorlent.release_fusion_cache()
            vorlent.release_fusion_cache()  # nothing left to free
            c, d = (vorlent.DeviceState.zero_state(n, "complex128") for _ in range(2))
        else:
            c = vorlent.DeviceState.zero_state(n, "complex128")
        # With no room for the cache again, the group runs through shared memory.
        vorlent.execute_prepared_fusion_chunk(c, chunk)
        print(np.abs(a.to_numpy() - expected).max() < 1e-12, np.abs(c.to_numpy() - expected).max() < 1e-12)
    """
    )
    assert out == ["True", "True"]


@pytest.mark.host_only
def test_a_full_device_takes_the_other_precisions_cache(tmp_path):
    """A complex128 run leaves its cache; a complex64 DenseMM group on a
    device without room for both caches frees it instead of falling back."""
    out = run_child(
        """
        import numpy as np, os, vorlent, sv_reference as ref
        from test_fusion import plan, gate
        n = 10
        gates = [gate("h", [q % 3]) for q in range(30)]
        chunk = plan(n, gates, densemm_gate_threshold_scale=0.0)
        trace = os.path.abspath("trace.txt")
        os.environ["HOSTCUDA_MEMORY_BYTES"] = str(3 * (16 << n) + (8 << n) + 4096)
        a = vorlent.DeviceState.zero_state(n, "complex128")
        vorlent.execute_prepared_fusion_chunk(a, chunk)
        b = vorlent.DeviceState.zero_state(n, "complex64")
        os.environ["HOSTCUDA_TRACE"] = trace
        vorlent.execute_prepared_fusion_chunk(b, chunk)
        lines = open(trace).read().splitlines()
        print(any(line.startswith("cublasCgemm") for line in lines))
        expected = ref.run(np.eye(1 << n)[0].astype(complex), n, gates)
        print(np.abs(b.to_numpy() - expected).max() < 1e-5)
    """,
        cwd=tmp_path,
    )
    assert out == ["True", "True"]


@pytest.mark.parametrize("protocol", range(6))
def test_chunks_pickle_and_copy(protocol):
    import copy
    import pickle

    n = 6
    rng = np.random.default_rng(60)
    gates = random_circuit(rng, n, 60) + [gate("t", [0]), gate("x", [1], matrix=np.eye(2))]
    chunk = plan(n, gates, sparsesharemem_qubits=4, densemm_gate_threshold_scale=0.3)
    restored = pickle.loads(pickle.dumps(chunk, protocol))
    for other in (restored, copy.copy(chunk), copy.deepcopy(chunk)):
        assert (other.n, other.gate_count) == (chunk.n, chunk.gate_count)
        assert [(g["kind"], g["gate_indices"], g["active_qubits"]) for g in other.groups] == [
            (g["kind"], g["gate_indices"], g["active_qubits"]) for g in chunk.groups
        ]
    state = ref.random_state(rng, n)
    np.testing.assert_array_equal(execute_chunk(n, state, restored), execute_chunk(n, state, chunk))


def test_long_planning_notices_ctrl_c():
    """A plan that scans every pending gate for every group takes seconds; Ctrl-C
    (a timer signal here) must stop it promptly with KeyboardInterrupt."""
    out = run_child("""
        import signal, time, vorlent
        from gate_helpers import QuantumGate
        gates = [QuantumGate("h", [0], [], []) if i % 2 == 0 else QuantumGate("x", [1], [0], [1]) for i in range(50000)]
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.5)
        start = time.monotonic()
        try:
            vorlent.prepare_fusion_chunk_gates(20, gates, max_gates_per_group=10**6, sparsesharemem_qubits=1)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - start < 2.5)
    """)
    assert out == ["interrupted", "True"]
