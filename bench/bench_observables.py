"""Time Pauli expectation values, marginal probabilities and overlaps on the device.

Read pass. The reference is the cheapest whole-state read reachable from
Python: `probabilities(state, [0])`, one pass of the measurement reduction that
reads every amplitude once and writes two doubles. Every other figure is also
given as a ratio to it, measured in the same run on the same state.

Cases, on a random state of n qubits (default 26):
- one word with a flip mask, and one Z-only word: one pass each;
- 32 words sharing one flip mask: one pass (time per pass and per word);
- `--words` random words (default 100) in groups that share a flip mask
  (`--group` words a group, default 25): ceil(words / 32) passes per group;
- the same number of random words with all flip masks distinct: one pass each;
- `probabilities` on 10 targets (the 10 highest qubits);
- `inner_product` of two states (reads both: compared with twice the pass).

Every figure is the minimum over `--trials` runs after one warm-up call.

    python3 bench/bench_observables.py [--n N] [--words W] [--group G] [--trials T]
        [--dtype complex64|complex128|both] [--json FILE]
"""

import argparse
import os
import sys

import numpy as np

# Import the modules from a named build folder when one is given, as the tests do.
if os.environ.get("QUILLMARCH_BUILD_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["QUILLMARCH_BUILD_DIR"]))

import bench_json  # noqa: E402
from bench_timing import best_of  # noqa: E402
import vorlent  # noqa: E402

ROWS = None  # bench_json.Rows of this run


def random_word(rng, n, flip_qubits=None):
    """A random word; with `flip_qubits` given, X or Y exactly there and I or Z elsewhere."""
    if flip_qubits is None:
        return "".join(rng.choice(list("IXYZ"), n))
    return "".join(rng.choice(list("XY")) if q in flip_qubits else rng.choice(list("IZ")) for q in range(n))


def random_flip(rng, n, used):
    while True:
        qubits = set(int(q) for q in rng.choice(n, size=int(rng.integers(1, n + 1)), replace=False))
        key = frozenset(qubits)
        if key not in used:
            used.add(key)
            return qubits


def random_device_state(rng, n, dtype):
    host = (rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)).astype(dtype)
    host /= np.linalg.norm(host)
    state = vorlent.DeviceState.from_numpy(n, host)
    return state


def bench_dtype(n, dtype, words, group, trials):
    rng = np.random.default_rng(26)
    state = random_device_state(rng, n, dtype)
    other = random_device_state(rng, n, dtype)
    nbytes = (1 << n) * np.dtype(dtype).itemsize
    print(f"\n# n={n} {dtype}: state {nbytes / 2**20:.1f} MiB, backend {vorlent.backend}")
    print(f"{'case':<46} {'passes':>6} {'ms':>10} {'ms/pass':>10} {'ms/word':>10} {'x read pass':>12} {'GB/s':>8}")

    read = best_of(lambda: vorlent.probabilities(state, [0]), trials, warm_up=True)

    def row(case, seconds, passes, count=None, read_ratio_of=1):
        per_pass = seconds / passes
        per_word = seconds / count if count else None
        ratio = per_pass / (read * read_ratio_of)
        gbps = read_ratio_of * nbytes * passes / seconds / 1e9
        ROWS.add(
            backend=vorlent.backend,
            n=n,
            dtype=dtype,
            case=case,
            passes=passes,
            words=count,
            seconds=seconds,
            seconds_per_pass=per_pass,
            seconds_per_word=per_word,
            read_pass_ratio=ratio,
            gbps=gbps,
        )
        word_text = f"{per_word * 1e3:10.3f}" if per_word is not None else f"{'-':>10}"
        print(
            f"{case:<46} {passes:>6} {seconds * 1e3:10.3f} {per_pass * 1e3:10.3f} {word_text} {ratio:12.2f} "
            f"{gbps:8.2f}"
        )

    row("read pass: probabilities(state, [0])", read, 1)

    used = set()
    flip = random_flip(rng, n, used)
    one = [random_word(rng, n, flip)]
    row("1 word with a flip mask", best_of(lambda: vorlent.pauli_expectations(state, one), trials, warm_up=True), 1, 1)
    z_only = [random_word(rng, n, set())]
    row("1 Z-only word", best_of(lambda: vorlent.pauli_expectations(state, z_only), trials, warm_up=True), 1, 1)

    batch = [random_word(rng, n, flip) for _ in range(32)]
    row(
        "32 words sharing one flip mask",
        best_of(lambda: vorlent.pauli_expectations(state, batch), trials, warm_up=True),
        1,
        32,
    )

    grouped = []
    passes = 0
    while len(grouped) < words:
        size = min(group, words - len(grouped))
        flip = random_flip(rng, n, used)
        grouped += [random_word(rng, n, flip) for _ in range(size)]
        passes += -(-size // 32)
    row(
        f"{words} words, groups of {group} sharing a flip mask",
        best_of(lambda: vorlent.pauli_expectations(state, grouped), trials, warm_up=True),
        passes,
        words,
    )

    distinct = [random_word(rng, n, random_flip(rng, n, used)) for _ in range(words)]
    row(
        f"{words} words, all flip masks distinct",
        best_of(lambda: vorlent.pauli_expectations(state, distinct), trials, warm_up=True),
        words,
        words,
    )

    targets = list(range(n - 10, n))
    row("probabilities on 10 targets", best_of(lambda: vorlent.probabilities(state, targets), trials, warm_up=True), 1)
    row(
        "inner_product (reads two states)",
        best_of(lambda: vorlent.inner_product(state, other), trials, warm_up=True),
        1,
        read_ratio_of=2,
    )


def main():
    global ROWS
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=26)
    parser.add_argument("--words", type=int, default=100)
    parser.add_argument("--group", type=int, default=25)
    parser.add_argument("--trials", type=int, default=3)
    parser.add_argument("--dtype", choices=["complex64", "complex128", "both"], default="complex64")
    ROWS = bench_json.Rows(parser, "observables")
    args = parser.parse_args()
    if args.n < 11:
        parser.error("--n must be at least 11 (10 targets and a distinct flip mask per word)")
    dtypes = ["complex64", "complex128"] if args.dtype == "both" else [args.dtype]
    for dtype in dtypes:
        bench_dtype(args.n, dtype, args.words, args.group, args.trials)


if __name__ == "__main__":
    main()
