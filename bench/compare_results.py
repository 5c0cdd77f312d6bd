#!/usr/bin/env python3
"""Compares the result files of two runs of one scenario, for changes in the last bits.

    compare_results.py DIR_A DIR_B [--limit 1e-6]

For every netCDF grid found in both folders (recursively) it prints the largest change of the
field relative to the field's largest magnitude, and the number of cells that differ; arrival
time grids (OUT-TIME-FIRST-WAVE) must match exactly. Text result files (.dat) are compared number
by number, relative to the largest magnitude of their column. Exit status 1 when a field
changes by more than the limit or an arrival time differs. Needs the netCDF4 and numpy modules.
"""
import os
import sys

import netCDF4
import numpy as np


def grids(path):
    with netCDF4.Dataset(path) as ds:
        return {name: np.ma.filled(var[:].astype(np.float64), np.nan) for name, var in ds.variables.items()
                if var.ndim >= 2}


def numbers(path):
    rows = []
    for line in open(path, errors="replace"):
        row = []
        for token in line.split():
            try:
                row.append(float(token))
            except ValueError:
                row = None
                break
        if row:
            rows.append(row)
    width = max((len(r) for r in rows), default=0)
    return np.array([r for r in rows if len(r) == width]) if width else np.zeros((0, 0))


def relative(a, b):
    if a.shape != b.shape:
        return float("inf"), -1
    scale = np.nanmax(np.abs(a), initial=0.0)
    same = (a == b) | (np.isnan(a) & np.isnan(b))
    diff = np.where(same, 0.0, np.abs(a - b))
    worst = np.nanmax(diff, initial=0.0)
    return (worst / scale if scale > 0 else (0.0 if worst == 0 else float("inf"))), int((~same).sum())


def main():
    args = sys.argv[1:]
    limit = 1e-6
    if "--limit" in args:
        k = args.index("--limit")
        limit = float(args[k + 1])
        del args[k:k + 2]
    if len(args) != 2:
        sys.exit(__doc__)
    a_root, b_root = args
    failed = False
    for folder, _, files in sorted(os.walk(a_root)):
        for name in sorted(files):
            a = os.path.join(folder, name)
            b = os.path.join(b_root, os.path.relpath(a, a_root))
            if not os.path.exists(b) or not (name.endswith(".nc") or name.endswith(".dat")):
                continue
            if name.endswith(".nc"):
                fa, fb = grids(a), grids(b)
                pairs = [(v, fa[v], fb.get(v, np.zeros(0))) for v in fa]
            else:
                pairs = [("", numbers(a), numbers(b))]
            for var, x, y in pairs:
                if name.endswith(".dat") and x.shape == y.shape and x.size:
                    # Column by column: each has its own unit and scale.
                    res = [relative(x[:, c], y[:, c]) for c in range(x.shape[1])]
                    rel, count = max(r[0] for r in res), sum(r[1] for r in res)
                else:
                    rel, count = relative(x, y)
                exact = "FIRST-WAVE" in name
                bad = rel > limit or (exact and count != 0)
                failed = failed or bad
                if count:
                    print("%-4s %-60s %-4s %10.3g %8d cells" %
                          ("FAIL" if bad else "ok", os.path.relpath(a, a_root), var, rel, count))
    print("largest relative change within %g: %s" % (limit, "no" if failed else "yes"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
