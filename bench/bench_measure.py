"""Time the measurement probability pass and batch sampling.

Probability pass. `sample_measure_device(state, targets, shots=1,
collapse_last=False)` is one pass over the state plus the copy of 2**m doubles
and the host draw, which are negligible for m <= 10; it blocks until done. It is
timed for m = 1..10 on the lowest m qubits ("low") and on the highest m qubits
("high"); the effective bandwidth is the state's bytes over that time.

Baseline. The module offers no device-to-device copy, so the reference is one
pass of the cheapest state-wide operation reachable from Python: an uncontrolled
X on qubit n-1 (PairAuto), which reads and writes every amplitude once, as a copy
would. R gates are queued with `run_circuit_device`, followed by one blocking
m=1 pass; the time of that pass alone is subtracted and the rest divided by R.
Its bandwidth counts the bytes read and written (2x the state). Builds without
the gate engine say so and report only the pass.

Sampling. `shots` draws over m = 20 targets (qubits 0..19) with
`sample_measure_device(..., collapse_last=False)`, against plain NumPy over the
same running sums: `rng.random`, `np.searchsorted(..., side="right")` and
`np.bincount`. The vorlent figure includes its probability pass (shown on its
own line) and building the Python dict of outcome strings; NumPy's stops at
integer counts.

Every figure is the minimum over several trials (at most three for sampling),
after one warm-up call.

    python3 bench/bench_measure.py [--n N] [--shots S] [--trials T] [--dtype complex64|complex128|both] [--gpu]
        [--json FILE]
"""

import argparse
import os
import platform
import sys

import numpy as np

# Import the modules from a named build folder when one is given, as the tests do.
if os.environ.get("QUILLMARCH_BUILD_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["QUILLMARCH_BUILD_DIR"]))

import bench_json  # noqa: E402
from bench_timing import best_of  # noqa: E402
import vorlent  # noqa: E402

ROWS = None  # bench_json.Rows of this run


def row(label, seconds, bandwidth=None, note="", **fields):
    ROWS.add(
        backend=vorlent.backend,
        case=label,
        seconds=seconds,
        gbps=bandwidth / 1e9 if bandwidth is not None else None,
        note=note,
        **fields,
    )
    bw = f"{bandwidth / 1e9:9.2f}" if bandwidth is not None else f"{'-':>9}"
    print(f"{label:<44} {seconds * 1e3:11.3f} {bw}  {note}")


def pass_fn(state, targets):
    return lambda: vorlent.sample_measure_device(state, targets, 1, seed=1, collapse_last=False)


def x_pass(state, n, reps, trials, single_pass):
    gates = [{"id": "x", "target": [n - 1], "control": [], "control_state": [], "parameter": []}] * reps
    probe = pass_fn(state, [0])

    def run():
        vorlent.run_circuit_device(state, gates, "little", vorlent.PairAuto)
        probe()

    try:
        total = best_of(run, trials, warm_up=True)
    except (RuntimeError, ValueError) as err:
        return None, str(err)
    return max(total - single_pass, 0.0) / reps, ""


def bench_dtype(n, dtype, trials, x_reps):
    num = 1 << n
    host = np.full(num, num**-0.5, dtype=dtype)
    state = vorlent.DeviceState.from_numpy(n, host)
    del host
    nbytes = num * np.dtype(dtype).itemsize
    print(f"\n# n={n} {dtype}: state {nbytes / 2**20:.1f} MiB")
    print(f"{'case':<44} {'time_ms':>11} {'GB/s':>9}  note")
    for m in range(1, 11):
        for where, targets in [("low", list(range(m))), ("high", list(range(n - m, n)))]:
            t = best_of(pass_fn(state, targets), trials, warm_up=True)
            row(f"probability pass m={m:<2} {where}", t, nbytes / t, n=n, dtype=dtype)
    single = best_of(pass_fn(state, [0]), trials, warm_up=True)
    t, why = x_pass(state, n, x_reps, trials, single)
    if t is None:
        row(
            "X-PairAuto pass (baseline)", float("nan"), None, f"skipped, needs the gate engine: {why}", n=n, dtype=dtype
        )
    else:
        row("X-PairAuto pass (baseline, read+write)", t, 2 * nbytes / t, f"{x_reps} gates per trial", n=n, dtype=dtype)
    return state


def bench_sampling(state, n, dtype, shots, trials):
    m = 20
    targets = list(range(m))
    nbytes = (1 << n) * np.dtype(dtype).itemsize
    print(f"\n# sampling {shots} shots over m={m} targets, n={n} {dtype}")
    print(f"{'case':<44} {'time_ms':>11} {'GB/s':>9}  note")
    t_pass = best_of(pass_fn(state, targets), trials, warm_up=True)
    row(f"probability pass m={m}", t_pass, nbytes / t_pass, n=n, dtype=dtype)
    t = best_of(
        lambda: vorlent.sample_measure_device(state, targets, shots, seed=1, collapse_last=False), trials, warm_up=True
    )
    row(
        "vorlent sample_measure_device",
        t,
        None,
        f"{shots / t / 1e6:.2f} M shots/s incl. pass and dict",
        n=n,
        dtype=dtype,
    )

    amps = state.to_numpy()
    mass = amps.real.astype(np.float64) ** 2 + amps.imag.astype(np.float64) ** 2
    del amps
    by_low_bits = mass.reshape(-1, 1 << m).sum(axis=0)
    del mass
    # Target j (qubit j) is outcome bit m-1-j: outcome index = low bits reversed.
    low = np.arange(1 << m)
    outcome = np.zeros(1 << m, dtype=np.int64)
    for j in range(m):
        outcome |= ((low >> j) & 1) << (m - 1 - j)
    probs = np.empty(1 << m)
    probs[outcome] = by_low_bits
    running = np.cumsum(probs)
    rng = np.random.default_rng(1)

    def numpy_sampling():
        x = rng.random(shots) * running[-1]
        k = np.minimum(np.searchsorted(running, x, side="right"), running.size - 1)
        return np.bincount(k, minlength=running.size)

    t_np = best_of(numpy_sampling, trials, warm_up=True)
    row("numpy random + searchsorted + bincount", t_np, None, f"{shots / t_np / 1e6:.2f} M shots/s", n=n, dtype=dtype)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gpu", action="store_true", help="GPU sizes: n=28, 10**7 shots")
    parser.add_argument("--n", type=int, help="qubits (default 20, or 28 with --gpu)")
    parser.add_argument("--shots", type=int, help="sampling shots (default 10**6, or 10**7 with --gpu)")
    parser.add_argument("--trials", type=int, default=5)
    parser.add_argument("--dtype", default="both", choices=["complex64", "complex128", "both"])
    parser.add_argument("--x-reps", type=int, default=None, help="X gates per baseline trial")
    global ROWS
    ROWS = bench_json.Rows(parser, "measure")
    args = parser.parse_args()
    n = args.n or (28 if args.gpu else 20)
    shots = args.shots or (10**7 if args.gpu else 10**6)
    x_reps = args.x_reps or (20 if args.gpu else 4)
    if n < 20:
        parser.error("n must be at least 20 (sampling uses 20 targets)")
    dtypes = ["complex64", "complex128"] if args.dtype == "both" else [args.dtype]
    print(
        f"bench_measure: backend {vorlent.backend}, {platform.machine()}, n={n}, shots={shots}, "
        f"minimum of {args.trials} trials"
    )
    for i, dtype in enumerate(dtypes):
        state = bench_dtype(n, dtype, args.trials, x_reps)
        if i == 0:
            # Sampling trials take seconds each at GPU sizes; three are enough for a minimum.
            bench_sampling(state, n, dtype, shots, min(args.trials, 3))
        del state


if __name__ == "__main__":
    main()
