"""Draw PNG charts from benchmark JSON files (written with --json FILE).

    python3 bench/plot.py FILE_OR_DIR [...] [-o OUTDIR]

A directory stands for every *.json file in it. Charts go to OUTDIR (default:
the folder of the first input); the names written are printed. Needs
matplotlib (an optional dependency of the benchmarks only).

Rows are read by their "bench" field (see bench/bench_json.py for the file
form); other fields a chart does not name are ignored, so scripts may add more.

  bench "gates" or "gates_multi", fields gate, mode, ratio, n, dtype (case optional):
      gates_ratio_<dtype>_n<n>.png, gates_multi_ratio_<dtype>_n<n>.png - bandwidth
      relative to the X-PairAuto pass per gate family, one bar per kernel mode;
      for several cases of a family (targets, controls) the median ratio.
  bench "fusion", fields n, mode, seconds (dtype and depth optional):
      fusion_time[_<dtype>].png - time of the circuit over n, one line per mode
      and depth (bench/bench_fusion.py: PairAuto, PairAutoFusion, chunk),
      logarithmic time axis; rows without seconds are left out.
  bench "density", fields family, fusion ("on"/"off"), seconds, n, dtype:
      density_fusion_<dtype>_n<n>.png - time per operation with density fusion
      off and on, per family, where both were measured (runs with
      QUILLMARCH_DENSITY_FUSION unset and set, given together);
      density_ratio_<dtype>_n<n>_fusion_<on|off>.png - bandwidth relative to the
      state.copy() baseline per family (field ratio).
"""

import argparse
import collections
import glob
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_json  # noqa: E402


def read_rows(inputs):
    files = []
    for item in inputs:
        files += sorted(glob.glob(os.path.join(item, "*.json"))) if os.path.isdir(item) else [item]
    rows = []
    for path in files:
        rows += bench_json.load(path)
    return files, rows


def grouped_bars(plt, title, groups, series, values, ylabel, path, reference=None):
    """values[(group, series)] -> bar height; one cluster per group."""
    width = 0.8 / max(len(series), 1)
    fig, ax = plt.subplots(figsize=(min(14, max(7, 0.3 * len(groups) * max(len(series), 1) + 2)), 5))
    for i, name in enumerate(series):
        xs = [g + (i - (len(series) - 1) / 2) * width for g in range(len(groups))]
        ax.bar(xs, [values.get((group, name), 0) for group in groups], width, label=str(name))
    if reference is not None:
        ax.axhline(reference, color="black", linewidth=0.8, linestyle="--")
    ax.set_xticks(range(len(groups)))
    ax.set_xticklabels(groups, rotation=45, ha="right")
    ax.set_ylabel(ylabel)
    ax.set_title(title)
    ax.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def by(rows, *keys):
    out = collections.defaultdict(list)
    for row in rows:
        out[tuple(row.get(k) for k in keys)].append(row)
    return out


def gate_charts(plt, rows, outdir):
    written = []
    for (bench, dtype, n), group in sorted(by(rows, "bench", "dtype", "n").items(), key=str):
        group = [r for r in group if r.get("ratio") is not None]
        if not group:
            continue
        gates = list(dict.fromkeys(r["gate"] for r in group))
        modes = list(dict.fromkeys(r["mode"] for r in group))
        ratios = {
            key: statistics.median(r["ratio"] for r in members) for key, members in by(group, "gate", "mode").items()
        }
        backend = group[0].get("backend", "")
        title = f"{bench}: bandwidth / X-PairAuto pass, n={n} {dtype} ({backend})"
        path = os.path.join(outdir, f"{bench}_ratio_{dtype}_n{n}.png")
        written.append(grouped_bars(plt, title, gates, modes, ratios, "bandwidth ratio", path, reference=1.0))
    return written


def fusion_charts(plt, rows, outdir):
    written = []
    for (dtype,), group in sorted(by(rows, "dtype").items(), key=str):
        fig, ax = plt.subplots(figsize=(6.5, 4.5))
        timed = [r for r in group if r.get("seconds") is not None]
        # One line per mode, and per circuit depth where rows give one.
        for (mode, depth), members in sorted(by(timed, "mode", "depth").items(), key=str):
            points = sorted((r["n"], r["seconds"]) for r in members)
            label = str(mode) if depth is None else f"{mode}, depth {depth}"
            ax.plot([p[0] for p in points], [p[1] for p in points], marker="o", label=label)
        ax.set_yscale("log")
        ax.set_xlabel("qubits n")
        ax.set_ylabel("seconds")
        ax.set_title("fused against per-gate time" + (f", {dtype}" if dtype else ""))
        ax.legend(fontsize="small")
        fig.tight_layout()
        path = os.path.join(outdir, "fusion_time" + (f"_{dtype}" if dtype else "") + ".png")
        fig.savefig(path, dpi=110)
        plt.close(fig)
        written.append(path)
    return written


def density_charts(plt, rows, outdir):
    written = []
    for (dtype, n), group in sorted(by(rows, "dtype", "n").items(), key=str):
        families = list(dict.fromkeys(r["family"] for r in group))
        settings = sorted({r.get("fusion", "off") for r in group})
        backend = group[0].get("backend", "")
        if len(settings) > 1:
            seconds = {(r["family"], "fusion " + r.get("fusion", "off")): r["seconds"] * 1e3 for r in group}
            both = [f for f in families if all((f, "fusion " + s) in seconds for s in settings)]
            title = f"density: time per operation, fusion off and on, n={n} {dtype} ({backend})"
            path = os.path.join(outdir, f"density_fusion_{dtype}_n{n}.png")
            written.append(
                grouped_bars(plt, title, both, ["fusion " + s for s in settings], seconds, "ms per operation", path)
            )
        for setting in settings:
            ratios = {
                (r["family"], "of copy"): r["ratio"]
                for r in group
                if r.get("fusion", "off") == setting and r.get("ratio") is not None
            }
            title = f"density: bandwidth / state.copy(), n={n} {dtype}, fusion {setting} ({backend})"
            path = os.path.join(outdir, f"density_ratio_{dtype}_n{n}_fusion_{setting}.png")
            written.append(
                grouped_bars(
                    plt,
                    title,
                    [f for f in families if (f, "of copy") in ratios],
                    ["of copy"],
                    ratios,
                    "bandwidth ratio",
                    path,
                    reference=1.0,
                )
            )
    return written


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inputs", nargs="+", help="JSON files or folders of them")
    parser.add_argument("-o", "--outdir", help="folder for the PNG files (default: that of the first input)")
    args = parser.parse_args()
    try:
        import matplotlib
    except ImportError:
        sys.exit("bench/plot.py needs matplotlib (pip install matplotlib)")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    files, rows = read_rows(args.inputs)
    if not rows:
        sys.exit(f"no benchmark rows in {', '.join(args.inputs)}")
    first = args.inputs[0]
    outdir = args.outdir or (first if os.path.isdir(first) else os.path.dirname(os.path.abspath(first)))
    os.makedirs(outdir, exist_ok=True)
    kinds = by(rows, "bench")
    written = gate_charts(plt, kinds.get(("gates",), []) + kinds.get(("gates_multi",), []), outdir)
    written += fusion_charts(plt, kinds.get(("fusion",), []), outdir)
    written += density_charts(plt, kinds.get(("density",), []), outdir)
    for path in written:
        print(path)
    if not written:
        print(f"no chart for the benches in {len(files)} file(s): {', '.join(sorted(str(k[0]) for k in kinds))}")


if __name__ == "__main__":
    main()
