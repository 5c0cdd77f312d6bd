#!/usr/bin/env python3
"""Draws exceedance-rate maps of `vestra ensemble aggregate` as a PNG: one panel per threshold,
the yearly rate on a logarithmic colour scale, and the coastline (still-water depth 0) of a
bathymetry grid when one is given.

usage: hazard_map.py LEVEL/exceedance-rate.nc OUT.png [--bathymetry GRID.grd] [--title TEXT]
"""
import argparse

import matplotlib

matplotlib.use("Agg")
import matplotlib.colors as colors  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import netCDF4  # noqa: E402
import numpy as np  # noqa: E402


def read_surfer_text(path):
    with open(path) as f:
        words = f.read().split()
    nx, ny = int(words[1]), int(words[2])
    x0, x1, y0, y1 = map(float, words[3:7])
    z = np.array(words[9:9 + nx * ny], dtype=float).reshape(ny, nx)
    return np.linspace(x0, x1, nx), np.linspace(y0, y1, ny), z


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("rates")
    parser.add_argument("png")
    parser.add_argument("--bathymetry")
    parser.add_argument("--title", default="")
    a = parser.parse_args()
    with netCDF4.Dataset(a.rates) as ds:
        names = [d for d in ds["exceedance_rate"].dimensions]
        y, x = ds[names[1]][:], ds[names[2]][:]
        thresholds = ds["threshold"][:]
        rates = ds["exceedance_rate"][:]
    positive = rates[rates > 0]
    low = positive.min() if positive.size else 1e-6
    high = max(rates.max(), low * 10)
    norm = colors.LogNorm(vmin=low, vmax=high)
    fig, axes = plt.subplots(1, len(thresholds), figsize=(4.2 * len(thresholds) + 1, 4.4), squeeze=False)
    coast = read_surfer_text(a.bathymetry) if a.bathymetry else None
    for ax, z, level in zip(axes[0], rates, thresholds):
        image = ax.pcolormesh(x, y, np.ma.masked_less_equal(z, 0), norm=norm, cmap="viridis", shading="nearest")
        if coast is not None:
            ax.contour(coast[0], coast[1], coast[2], levels=[0], colors="k", linewidths=0.8)
        ax.set_title(f"highest water level above {level:g} m")
        ax.set_xlabel(names[2])
        ax.set_aspect(1 / np.cos(np.radians(np.mean(y))) if names[1] == "lat" else 1)
    axes[0][0].set_ylabel(names[1])
    fig.colorbar(image, ax=axes[0].tolist(), label="exceedance rate (per year)", shrink=0.85)
    if a.title:
        fig.suptitle(a.title)
    fig.savefig(a.png, dpi=90, bbox_inches="tight")


if __name__ == "__main__":
    main()
