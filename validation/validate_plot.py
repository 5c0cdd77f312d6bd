#!/usr/bin/python3
"""Draws one validation figure: `validate_plot.py FIGURE.json OUT.png`.

FIGURE.json: {"title": ..., "panels": [{"title", "xLabel", "yLabel",
"series": [{"label", "x": [...], "y": [...], "reference": bool}]}]}. Reference series are drawn
as markers, model series as lines. Exit status: 0 drawn, 2 bad arguments or file, 3 matplotlib
missing."""
import json
import math
import sys
import textwrap


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: validate_plot.py FIGURE.json OUT.png\n")
        return 2
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        sys.stderr.write("vestra: warning: no figures: python3 matplotlib is not installed\n")
        return 3
    try:
        with open(argv[1]) as f:
            figure = json.load(f)
    except (OSError, ValueError) as e:
        sys.stderr.write("vestra: %s: %s\n" % (argv[1], e))
        return 2
    panels = figure["panels"]
    columns = min(len(panels), 3)
    rows = int(math.ceil(len(panels) / float(columns)))
    fig, axes = plt.subplots(rows, columns, figsize=(4.2 * columns, 3.2 * rows), squeeze=False)
    for k, panel in enumerate(panels):
        ax = axes[k // columns][k % columns]
        for s in panel["series"]:
            if s.get("reference"):
                ax.plot(s["x"], s["y"], "o", ms=3, color="k", label=s["label"])
            else:
                ax.plot(s["x"], s["y"], "-", lw=1.2, label=s["label"])
        ax.set_title(panel["title"], fontsize=9)
        ax.set_xlabel(panel["xLabel"], fontsize=8)
        ax.set_ylabel(panel["yLabel"], fontsize=8)
        ax.tick_params(labelsize=7)
        ax.grid(alpha=0.3)
        ax.legend(fontsize=7)
    for k in range(len(panels), rows * columns):
        axes[k // columns][k % columns].axis("off")
    # Long case titles wrap to the width of the figure instead of running off it.
    title = textwrap.fill(figure.get("title", ""), int(12 * 4.2 * columns))
    fig.suptitle(title, fontsize=10)
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.05 * title.count("\n") / rows))
    fig.savefig(argv[2], dpi=110)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
