"""Draws bench/chart.png from bench/results.json (written by bench/run.py --save).

One panel per format: for each peer, how many times longer it takes than
quorvane (geometric mean over the files), on a log scale.
"""

from __future__ import annotations

import json
import math
import sys
import textwrap
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter, NullFormatter  # noqa: E402

HERE = Path(__file__).resolve().parent


def geomean(values: list[float]) -> float:
    return math.exp(sum(math.log(v) for v in values) / len(values))


def main() -> None:
    src = Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "results.json"
    out = Path(sys.argv[2]) if len(sys.argv) > 2 else HERE / "chart.png"
    tables = json.loads(src.read_text())["tables"]
    cols = min(3, len(tables))
    rows = math.ceil(len(tables) / cols)
    fig, grid = plt.subplots(rows, cols, figsize=(4.8 * cols, 3.6 * rows), squeeze=False)
    axes = list(grid.flat)
    for ax in axes[len(tables):]:
        ax.set_visible(False)
    for ax, table in zip(axes, tables):
        ours = table["ours"]
        peers = sorted({p for r in table["rows"] for p in r["times"] if p != ours})
        ratios = {p: geomean([r["times"][p] / r["times"][ours]
                              for r in table["rows"] if p in r["times"]]) for p in peers}
        names = [ours] + sorted(peers, key=ratios.get)
        values = [1.0] + [ratios[p] for p in names[1:]]
        colors = ["#2a7ab9"] + ["#b0b0b0"] * (len(names) - 1)
        bars = ax.barh(names, values, color=colors)
        ax.set_xscale("log")
        ax.set_title(textwrap.fill(f"{table['title']}: time relative to {ours}", 44),
                     fontsize=10)
        # The writers' tables time writing, the others parsing.
        work = "write" if "writers" in table["title"] else "parse"
        ax.set_xlabel(f"{work} time, x quorvane's (lower is faster)")
        for bar, v in zip(bars, values):
            ax.text(v * 1.05, bar.get_y() + bar.get_height() / 2, f"{v:.1f}x",
                    va="center", fontsize=8)
        # A peer faster than quorvane keeps a visible bar: the axis starts
        # below the least ratio.
        ax.set_xlim(min(0.7, min(values) / 2), max(values) * 3)
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}x"))
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.invert_yaxis()
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
