"""Grouped execution of density operations (QUILLMARCH_DENSITY_FUSION): fused runs against the sequential path and
the NumPy reference, and what the launch trace shows of the groups."""

import math
import re

import numpy as np
import pytest

import kestamire
from conftest import barrier_block, parametrize_table, tile_lanes, tolerance
from density_objects import Gate, Kraus, load
import dm_reference as ref

run = kestamire.run_density_operations_device
# The draw follows this order.
ONE_QUBIT = {
    **dict.fromkeys(("x", "y", "z", "h", "s", "t_dag", "sqrtx", "y2m"), 0),
    **dict.fromkeys(("rx", "ry", "rz", "p", "gp"), 1),
    "u": 3,
    "rxy": 2,
    "cx": 0,
    "mcrz": 1,
}


def channel(rng, q, name=None):
    name = name or ref.CHANNELS[int(rng.integers(len(ref.CHANNELS)))]
    matrices = ref.channel_kraus(name, float(rng.uniform(0, 1)))
    return Kraus([q], np.array(matrices), name), (matrices, [q])


def named(name, targets, controls=(), states=(), params=()):
    """An operation object and its reference step."""
    op = Gate(name, list(targets), list(controls), list(states), list(params) if params else None)
    return op, (ref.named_matrix(name, params), list(targets), list(controls), list(states))


def random_operation(rng, n, hot):
    """One operation, mostly one-qubit ones on the few `hot` qubits, so groups of every kind form."""
    q = int(hot[int(rng.integers(len(hot)))]) if rng.random() < 0.8 else int(rng.integers(n))
    others = [p for p in range(n) if p != q]
    roll = rng.random()
    if roll < 0.35:
        name = list(ONE_QUBIT)[int(rng.integers(len(ONE_QUBIT)))]
        count = int(rng.integers(0, 3)) if n > 2 else 0
        controls = [int(c) for c in rng.permutation(others)[:count]]
        states = [int(v) for v in rng.integers(0, 2, size=count)]
        params = [float(v) for v in rng.uniform(-math.pi, math.pi, size=ONE_QUBIT[name])]
        return named(name, [q], controls, states, params)
    if roll < 0.5:
        u = ref.random_unitary(rng, 2)
        control = [int(rng.choice(others))] if rng.random() < 0.4 else []
        state = [int(rng.integers(2))] if control else []
        return Gate("unitary", [q], control, state, matrix=u), (u, [q], control, state)
    if roll < 0.75:
        return channel(rng, q)
    if roll < 0.82:
        # Unnamed Kraus sets are never grouped.
        matrices = ref.channel_kraus("amplitude_damping", float(rng.uniform(0, 1)))
        return Kraus([q], np.array(matrices)), (matrices, [q])
    if roll < 0.9:
        pair = [q, int(rng.choice(others))]
        if rng.random() < 0.5:
            return named("swap", pair)
        u = ref.random_unitary(rng, 4)
        return Gate("unitary", pair, matrix=u), (u, pair, [], [])
    # A gate directly followed by noise on its qubit: the unitary-plus-channel pairing.
    gate = named("h", [q])
    noise = channel(rng, q)
    return [gate, noise]


def random_operations(rng, n, count):
    hot = rng.permutation(n)[: min(n, 5)]
    ops = []
    while len(ops) < count:
        made = random_operation(rng, n, hot)
        ops.extend(made if isinstance(made, list) else [made])
    return ops


def reference(rho, n, ops, full_products=False):
    """The reference result of `ops`; by blocks, or for small n also through full 2**n x 2**n operators."""
    for _, step in ops:
        if full_products:
            rho = ref.apply_kraus(rho, n, *step) if len(step) == 2 else ref.apply_unitary(rho, n, *step)
        else:
            matrices, rest = (step[0], step[1:]) if len(step) == 2 else ([step[0]], step[1:])
            rho = ref.apply_operators(rho, n, matrices, *rest)
    return rho


def run_with(monkeypatch, switch, rho, dtype, operations, trace=None):
    monkeypatch.setenv("QUILLMARCH_DENSITY_FUSION", switch)
    if trace is not None:
        monkeypatch.setenv("HOSTCUDA_TRACE", str(trace))
    state, _ = load(rho, dtype)
    run(state, state.num_qubits, operations)
    monkeypatch.delenv("HOSTCUDA_TRACE", raising=False)
    return state.to_numpy()


def launches(trace):
    """The kernel names (first token of each trace line), in launch order; [] when nothing ran."""
    return [line.split()[0] for line in trace.read_text().splitlines()] if trace.exists() else []


# Only the CPU emulation writes the launch trace.
TRACED = kestamire.backend == "host"


# Shared-memory passes (n >= 8) are slow in the CPU emulation, which runs every thread of a barrier kernel on its
# own fiber; the lists there are short.
@parametrize_table("n, count", [(4, 24), (5, 24), (6, 24), (7, 24), (8, 14), (9, 8)])
def test_fused_matches_sequential_and_reference(monkeypatch, dtype, n, count):
    rng = np.random.default_rng(1000 + n)
    ops = random_operations(rng, n, count)
    rho = ref.random_density(rng, n)
    _, rounded = load(rho, dtype)
    fused = run_with(monkeypatch, "1", rho, dtype, [op for op, _ in ops])
    sequential = run_with(monkeypatch, "0", rho, dtype, [op for op, _ in ops])
    atol = 4 * tolerance(dtype) * math.sqrt(len(ops))
    np.testing.assert_allclose(fused, sequential, rtol=0, atol=atol)
    expected = reference(rounded, n, ops)
    np.testing.assert_allclose(fused, expected, rtol=0, atol=atol)
    if n <= 5:
        np.testing.assert_allclose(reference(rounded, n, ops, full_products=True), expected, rtol=0, atol=1e-12)


@pytest.mark.host_only
def test_groups_seen_in_the_launch_trace(monkeypatch, dtype, tmp_path):
    rng = np.random.default_rng(77)
    trace = tmp_path / "trace.txt"
    real = "double" if dtype == "complex128" else "float"

    # n = 4: fusion switched on still takes the sequential path, launch for launch and bit for bit.
    rho = ref.random_density(rng, 4)
    ops = random_operations(rng, 4, 12)
    fused = run_with(monkeypatch, "1", rho, dtype, [op for op, _ in ops], trace)
    seen_fused = launches(trace)
    trace.unlink()
    sequential = run_with(monkeypatch, "0", rho, dtype, [op for op, _ in ops], trace)
    assert seen_fused == launches(trace) and len(seen_fused) > 0
    assert fused.tobytes() == sequential.tobytes()
    trace.unlink()

    # n = 6: "h" then "depolarizing" on one qubit is one unitary-plus-channel launch.
    rho = ref.random_density(rng, 6)
    ops = [named("h", [3]), channel(rng, 3, "depolarizing")]
    got = run_with(monkeypatch, "1", rho, dtype, [op for op, _ in ops], trace)
    assert launches(trace) == [f"unitary_channel_kernel<{real},quillmarch::density::Depolarizing>"]
    np.testing.assert_allclose(got, reference(load(rho, dtype)[1], 6, ops), rtol=0, atol=4 * tolerance(dtype))
    trace.unlink()

    # Four one-qubit gates on qubits 0 to 3 are one shared-memory pass with k = 4: 4^(n-4) tiles of 16 x 16
    # entries. n = 10 costs seconds in the emulation, so the other precision shows it at n = 8.
    n = 10 if dtype == "complex64" else 8
    rho = ref.random_density(rng, n, rank=2)
    ops = [named("h", [0]), named("rx", [1], params=[0.4]), named("x", [2]), named("t_dag", [3])]
    got = run_with(monkeypatch, "1", rho, dtype, [op for op, _ in ops], trace)
    width = 16 if dtype == "complex128" else 8
    assert trace.read_text().splitlines() == [
        f"density_sparsesharemem_kernel<{real}> grid={4 ** (n - 4)},1,1 block={barrier_block(128)},1,1 shared={width * 256} "
        "scope=quillmarch::kestamire"
    ]
    np.testing.assert_allclose(got, reference(load(rho, dtype)[1], n, ops), rtol=0, atol=4 * tolerance(dtype))


def test_shared_memory_pass_applies_every_record_kind(monkeypatch, dtype, tmp_path):
    # Unitaries, diagonals, flips and the five channels on the scattered qubits 0, 2, 4, 6, 8 of a 9-qubit state,
    # with controls of either state, are one pass with 32 x 32 tiles.
    trace = tmp_path / "trace.txt"
    rng = np.random.default_rng(21)
    ops = [
        named("u", [4], [8], [0], params=[0.3, -1.1, 2.0]),
        named("mcrz", [2], [0, 6], [1, 0], params=[0.9]),
        named("cx", [6], [2], [0]),
        named("x", [0], [4], [1]),
        named("x", [8]),
        channel(rng, 0, "bit_flip"),
        (Gate("unitary", [2], [6], [1], matrix=ref.random_unitary(rng, 2)), None),
        named("h", [0]),
        named("s", [4]),
        named("gp", [6], params=[0.5]),
        named("gp", [2], [8], [1], params=[1.2]),
        channel(rng, 2, "phase_flip"),
        channel(rng, 4, "depolarizing"),
        named("t_dag", [8]),
        channel(rng, 6, "amplitude_damping"),
        channel(rng, 8, "phase_damping"),
        named("y", [6], [0, 4], [0, 1]),
    ]
    ops[6] = (ops[6][0], (ops[6][0].stored_matrix, [2], [6], [1]))
    rho = ref.random_density(rng, 9, rank=3)
    got = run_with(monkeypatch, "1", rho, dtype, [op for op, _ in ops], trace)
    # Qubit 0 is active, so complex128 columns already fill 32-byte sectors; complex64 pairs each tile with the
    # one across qubit 1.
    real, width, lanes = ("double", 16, 1) if dtype == "complex128" else ("float", 8, 2)
    assert not TRACED or trace.read_text().splitlines() == [
        f"density_sparsesharemem_kernel<{real}> grid={256 // lanes},1,1 block={barrier_block(128)},1,1 "
        f"shared={width * 1024 * lanes} scope=quillmarch::kestamire"
    ]
    np.testing.assert_allclose(got, reference(load(rho, dtype)[1], 9, ops), rtol=0, atol=8 * tolerance(dtype))


@parametrize_table(
    "n, active", [(8, [0, 1, 2, 3]), (8, [0, 2, 5, 7]), (8, [1, 3, 4, 6]), (8, [2, 3, 6, 7]), (9, [4, 5, 6, 7, 8])]
)
def test_tiles_share_a_block_across_low_inactive_columns(monkeypatch, dtype, tmp_path, n, active):
    # A block holds as many tiles as it takes for its column reads to fill 32-byte sectors: the low qubits below
    # one sector that the group leaves out span the block's tiles.
    trace = tmp_path / "trace.txt"
    rng = np.random.default_rng(sum(active))
    # The controlled X chain makes the qubits one cluster.
    ops = [named("x", [t], [c], [1]) for c, t in zip(active, active[1:], strict=False)]
    ops += [named("u", [q], params=list(rng.uniform(-math.pi, math.pi, 3))) for q in active]
    ops += [channel(rng, q) for q in active] + [named("h", [q]) for q in active]
    rho = ref.random_density(rng, n, rank=2)
    got = run_with(monkeypatch, "1", rho, dtype, [op for op, _ in ops], trace)
    np.testing.assert_allclose(got, reference(load(rho, dtype)[1], n, ops), rtol=0, atol=8 * tolerance(dtype))
    if TRACED:
        real, width, lane_bits = tile_lanes(dtype, active)
        k = len(active)
        assert trace.read_text().splitlines() == [
            f"density_sparsesharemem_kernel<{real}> grid={4 ** (n - k) >> lane_bits},1,1 block={barrier_block(128)},1,1 "
            f"shared={width * 4**k << lane_bits} scope=quillmarch::kestamire"
        ]


def test_refused_operation_closes_its_qubits(monkeypatch, dtype, tmp_path):
    # n = 6 (at most 2 qubits a group). The controlled X on qubits {1, 2} is refused, as the group already spans
    # {0, 1}; the "h" on qubit 1 after it must wait for it, while the "rz" on qubit 0 joins the group ahead of it.
    trace = tmp_path / "trace.txt"
    rng = np.random.default_rng(5)
    rho = ref.random_density(rng, 6)
    ops = [
        named("h", [0]),
        named("x", [0], [1], [1]),
        named("x", [1], [2], [1]),
        named("h", [1]),
        named("rz", [0], params=[0.7]),
    ]
    got = run_with(monkeypatch, "1", rho, dtype, [op for op, _ in ops], trace)
    real = "double" if dtype == "complex128" else "float"
    assert not TRACED or launches(trace) == [
        f"unitary_merged_kernel<{real},1>",
        f"permutation_kernel<{real}>",
        f"diagonal_free_kernel<{real}>",
        f"permutation_kernel<{real}>",
        f"unitary_merged_kernel<{real},1>",
    ]
    np.testing.assert_allclose(got, reference(load(rho, dtype)[1], 6, ops), rtol=0, atol=4 * tolerance(dtype))


@pytest.mark.host_only
@parametrize_table(
    "value, fused", [("", False), ("0", False), ("00", False), ("0yes", False), ("1", True), ("true", True)]
)
def test_switch_selects_the_grouped_path(monkeypatch, tmp_path, value, fused):
    trace = tmp_path / "trace.txt"
    rng = np.random.default_rng(9)
    ops = [named("ry", [2], params=[0.3]), channel(rng, 2, "amplitude_damping")]
    run_with(monkeypatch, value, ref.random_density(rng, 5), "complex128", [op for op, _ in ops], trace)
    expected = (
        ["unitary_channel_kernel<double,quillmarch::density::AmplitudeDamping>"]
        if fused
        else ["unitary_merged_kernel<double,1>", "channel_kernel<double,quillmarch::density::AmplitudeDamping>"]
    )
    assert launches(trace) == expected


def test_failures_before_the_first_launch_leave_the_matrix_untouched(monkeypatch, dtype, tmp_path):
    trace = tmp_path / "trace.txt"
    rng = np.random.default_rng(11)
    rho = ref.random_density(rng, 8)
    good = [op for op, _ in random_operations(rng, 8, 10)]
    monkeypatch.setenv("QUILLMARCH_DENSITY_FUSION", "1")
    monkeypatch.setenv("HOSTCUDA_TRACE", str(trace))
    for bad, message in (
        (Gate("x", [1], parameter=[0.1]), "density operation 'x' requires no parameters"),
        (Gate("h", [8]), "invalid or duplicate target qubit"),
        (Kraus([0, 0], np.zeros((2, 4, 4))), "invalid or duplicate Kraus target qubit"),
    ):
        state, before = load(rho, dtype)
        with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
            run(state, 8, good + [bad] + good)
        assert state.to_numpy().tobytes() == before.astype(dtype).tobytes()
    assert not TRACED or launches(trace) == []
    # The trace was live: one valid gate shows up in it.
    run(state, 8, [Gate("h", [0])])
    assert not TRACED or len(launches(trace)) == 1


def used_device_bytes(monkeypatch):
    """Bytes allocated on the emulated device now, found as the smallest memory limit that admits 8 more."""
    low, high = 8, 1 << 40
    while low < high:
        mid = (low + high) // 2
        monkeypatch.setenv("HOSTCUDA_MEMORY_BYTES", str(mid))
        try:
            kestamire.DeviceDensityState.zero_state(0, "complex64")
            high = mid
        except RuntimeError:
            low = mid + 1
    monkeypatch.delenv("HOSTCUDA_MEMORY_BYTES")
    return low - 8


@pytest.mark.host_only
def test_record_buffer_failure_leaves_the_matrix_untouched_and_frees_the_rest(monkeypatch):
    # Four "h" on qubits 0 to 3 of an 8-qubit state: 4 x 4 matrix entries (256 bytes), then one shared-memory
    # group of 4 records that do not fit.
    rng = np.random.default_rng(13)
    rho = ref.random_density(rng, 8)
    ops = [named("h", [q]) for q in range(4)]
    state, before = load(rho, "complex128")
    monkeypatch.setenv("QUILLMARCH_DENSITY_FUSION", "1")
    monkeypatch.setenv("HOSTCUDA_MEMORY_BYTES", str(used_device_bytes(monkeypatch) + 256 + 64))
    with pytest.raises(RuntimeError, match="^CUDA error: out of memory$"):
        run(state, 8, [op for op, _ in ops])
    assert state.to_numpy().tobytes() == before.tobytes()
    # The matrix buffer of the failed run was freed: the sequential run needs it again and fits.
    monkeypatch.setenv("QUILLMARCH_DENSITY_FUSION", "0")
    run(state, 8, [op for op, _ in ops])
    monkeypatch.delenv("HOSTCUDA_MEMORY_BYTES")
    np.testing.assert_allclose(state.to_numpy(), reference(before, 8, ops), rtol=0, atol=1e-12)
