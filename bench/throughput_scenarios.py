#!/usr/bin/env python3
"""Writes the two throughput scenarios of bench/throughput.sh into a folder.

moving: 600 x 600 spherical cells of 1 arc-minute over a flat sea 4000 m deep, a 0.5 m standing
        pattern over the whole grid (every cell moves), Manning friction and Coriolis on.
peer:   1000 x 1000 spherical cells of 1 arc-minute (140..156.65 E, 8.325 S..8.325 N), flat sea
        4000 m deep, a 1 m Gaussian hump of sigma 0.5 degrees in the middle, dt 3 s, 9 minutes;
        most of the grid stays still water.
Both use radiating edges and write every extreme field (the default output).
"""
import math
import os
import sys

STEP = 1.0 / 60.0  # degrees


def write_grid(path, nx, ny, x0, y0, value):
    """Surfer text grid, rows from the south, value(i, j) with 0-based column i and row j."""
    rows = []
    lo, hi = float("inf"), float("-inf")
    for j in range(ny):
        row = [value(i, j) for i in range(nx)]
        lo, hi = min(lo, min(row)), max(hi, max(row))
        rows.append(" ".join("%.7g" % v for v in row))
    with open(path, "w") as f:
        f.write("DSAA\n%d %d\n%.10g %.10g\n%.10g %.10g\n%.7g %.7g\n" %
                (nx, ny, x0, x0 + (nx - 1) * STEP, y0, y0 + (ny - 1) * STEP, lo, hi))
        f.write("\n".join(rows))
        f.write("\n")


def write_scenario(path, name, minutes, interval):
    with open(path, "w") as f:
        f.write('''name = "%s"

[parameters]
timeStep = 3.0
endTime = %g
snapshotInterval = %g
manningCoefficient = 0.015

[boundary]
kind = "radiating"

[[grids]]
gridType = 2
coriolis = true
cellSize = 1853.25
bathymetryFile = "depth.grd"
outputFolder = "out"

[[sources]]
etaFile = "eta.grd"
insertionTime = 0.0
''' % (name, minutes, interval))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: throughput_scenarios.py FOLDER")
    root = sys.argv[1]
    for name in ("moving", "peer"):
        os.makedirs(os.path.join(root, name), exist_ok=True)

    n = 600
    write_grid(os.path.join(root, "moving", "depth.grd"), n, n, 140.0, -5.0, lambda i, j: 4000.0)
    # Two crossing standing waves of 40 and 50 cells: no cell of the grid lies still.
    write_grid(os.path.join(root, "moving", "eta.grd"), n, n, 140.0, -5.0,
               lambda i, j: 0.5 * math.cos(2 * math.pi * i / 40.0 + 0.3) * math.cos(2 * math.pi * j / 50.0 + 0.2))
    write_scenario(os.path.join(root, "moving", "scenario.toml"), "moving", 5.0, 60.0)

    n = 1000
    x0, y0 = 140.0, -8.325
    xc, yc = x0 + (n - 1) * STEP / 2, y0 + (n - 1) * STEP / 2
    write_grid(os.path.join(root, "peer", "depth.grd"), n, n, x0, y0, lambda i, j: 4000.0)
    sigma2 = 2 * 0.5 ** 2

    def hump(i, j):
        r2 = (x0 + i * STEP - xc) ** 2 + (y0 + j * STEP - yc) ** 2
        return math.exp(-r2 / sigma2)

    write_grid(os.path.join(root, "peer", "eta.grd"), n, n, x0, y0, hump)
    write_scenario(os.path.join(root, "peer", "scenario.toml"), "peer", 9.0, 60.0)


if __name__ == "__main__":
    main()
