#!/usr/bin/env python3
"""The chart of one run of run_corpus.py: size against speed, one point per
method, for the whole corpus.

  bench/run_corpus.py ... --json run.json
  bench/plot_corpus.py run.json doc/speed_and_size.svg

Left panel: bits per byte against compression speed; right panel: against
decompression speed (both in MB/s of the original, processor time, on a
logarithmic axis). Lower and further right is better. Needs matplotlib
(Debian: python3-matplotlib).
"""
import json
import os
import sys

try:
    import matplotlib
except ImportError:
    # Debian's python3-matplotlib serves Debian's own interpreter; another
    # python3 first on the PATH may lack it.
    if os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3") and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1]) as f:
        run = json.load(f)
    points = []
    for name, files in run["results"].items():
        r = files["(all)"]
        points.append((name, 8 * r["size"] / r["bytes"], r["bytes"] / r["c_seconds"] / 1e6,
                       r["bytes"] / r["d_seconds"] / 1e6))

    # Matplotlib writes the date and a random id into an SVG unless told not
    # to; without them the same run gives the same file.
    plt.rcParams["svg.hashsalt"] = "bytemix"
    fig, axes = plt.subplots(1, 2, figsize=(10, 4.2), sharey=True)
    for ax, column, label in ((axes[0], 2, "compression"), (axes[1], 3, "decompression")):
        # Our methods all write the same bytes, so their points share one
        # height: their labels alternate above and below it.
        for k, p in enumerate(sorted(points, key=lambda p: p[column])):
            ours = p[0].split()[0] not in ("gzip", "bzip2", "xz", "zstd")
            ax.scatter(p[column], p[1], color="tab:blue" if ours else "tab:gray", zorder=3)
            offset = (4, 6) if not ours or k % 2 == 0 else (4, -12)
            ax.annotate(p[0], (p[column], p[1]), textcoords="offset points", xytext=offset, fontsize=8)
        ax.set_xscale("log")
        ax.set_xlabel(f"{label} speed, MB/s (processor time)")
        ax.grid(True, which="both", linewidth=0.3)
    axes[0].set_ylabel("bits per byte (whole corpus)")
    fig.suptitle(f"Calgary corpus, {run['runs']} rounds; {run['machine']}", fontsize=9)
    fig.tight_layout()
    fig.savefig(sys.argv[2], metadata={"Date": None})


if __name__ == "__main__":
    main()
