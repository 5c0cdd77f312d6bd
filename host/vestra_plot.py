#!/usr/bin/python3
"""Quicklook pictures of one level's results, written as PNG files into the level folder.

    vestra_plot.py OUTPUT_FOLDER [--scenario FILE] [--name TEXT] [--level K]
                   [--bathymetry FILE] [--spherical | --cartesian] [--quiet]

Reads the result grids of the folder in whichever format the run wrote (netCDF ".nc",
Surfer text ".grd", Surfer binary "_bin.grd", ESRI ASCII ".asc"; the newest when several
exist) and writes:

  quicklook-max-water-level.png  1200 x 900 px: highest water level ("OUT-ETA-MAX") with
                                 the coastline (depth 0 contour) and a colour bar
  quicklook-first-arrival.png    1200 x 900 px: first-arrival time ("OUT-TIME-FIRST-WAVE")
                                 with contours every 5 minutes
  quicklook-gauges.png           1200 x (150 + 250 n) px for n gauges: water level against
                                 minutes ("OUT-TIME-HISTORIES_ETA.dat"), arrival marked;
                                 a gauge where no water ever stood reads "stayed dry"

The scenario name, the level number and the bathymetry come from the scenario file whose
[[grids]] entry writes into OUTPUT_FOLDER (looked for in the folder and up to three folders
above it) unless given on the command line. Prints the path of each picture written.
Exit status: 0 done, 1 missing or unreadable results, 2 bad arguments, 3 Python packages
missing (Debian: python3-matplotlib python3-numpy python3-netcdf4).
"""
import argparse
import glob
import os
import struct
import sys

EXIT_NO_RESULTS = 1
EXIT_MISSING_PACKAGE = 3
PACKAGES = "python3-matplotlib python3-numpy python3-netcdf4"
BLANK = 1.0e38  # Surfer's no-data value is 1.70141e38

MAX_PICTURE = "quicklook-max-water-level.png"
ARRIVAL_PICTURE = "quicklook-first-arrival.png"
GAUGE_PICTURE = "quicklook-gauges.png"


class PlotError(Exception):
    pass


class MissingPackage(Exception):
    pass


def warn(text):
    print("vestra plot: " + text, file=sys.stderr)


# ---------------------------------------------------------------- grid readers


class Grid:
    """Node-registered grid: x (nx), y (ny), z (ny, nx) with the row at y[0] first."""

    def __init__(self, x, y, z, path):
        self.x, self.y, self.z, self.path = x, y, z, path


def _node_axis(np, first, last, n):
    return np.array([first]) if n == 1 else np.linspace(first, last, n)


def _blank_to_nan(np, z):
    z = np.asarray(z, dtype=np.float64)
    z[~np.isfinite(z) | (np.abs(z) >= BLANK)] = np.nan
    return z


def read_surfer_text(np, path):
    with open(path, "r", errors="replace") as f:
        tokens = f.read().split()
    if not tokens or tokens[0] != "DSAA":
        raise PlotError(path + ": not a Surfer text grid (no \"DSAA\")")
    try:
        nx, ny = int(float(tokens[1])), int(float(tokens[2]))
        x0, x1, y0, y1 = (float(t) for t in tokens[3:7])
        values = np.array(tokens[9:9 + nx * ny], dtype=np.float64)
    except (ValueError, IndexError):
        raise PlotError(path + ": malformed header or values")
    if nx < 1 or ny < 1 or values.size != nx * ny:
        raise PlotError(path + ": holds %d values for %d x %d nodes" % (values.size, nx, ny))
    return Grid(_node_axis(np, x0, x1, nx), _node_axis(np, y0, y1, ny),
                _blank_to_nan(np, values.reshape(ny, nx)), path)


def read_surfer_binary(np, path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 56 or data[:4] != b"DSBB":
        raise PlotError(path + ": not a Surfer binary grid (no \"DSBB\")")
    nx_low, ny_low = struct.unpack_from("<HH", data, 4)
    x0, x1, y0, y1 = struct.unpack_from("<4d", data, 8)
    if (len(data) - 56) % 4:
        raise PlotError(path + ": the value section is not whole floats")
    count = (len(data) - 56) // 4
    # The header keeps the low 16 bits of each count; the file length gives the rest.
    nx = ny = 0
    candidate = nx_low
    while 0 < candidate <= count:
        if count % candidate == 0 and (count // candidate) % 65536 == ny_low:
            nx, ny = candidate, count // candidate
            break
        candidate += 65536
    if nx < 1:
        raise PlotError(path + ": header size %d x %d does not match %d values" % (nx_low, ny_low, count))
    values = np.frombuffer(data, dtype="<f4", count=count, offset=56)
    return Grid(_node_axis(np, x0, x1, nx), _node_axis(np, y0, y1, ny),
                _blank_to_nan(np, values.reshape(ny, nx)), path)


def read_esri_ascii(np, path):
    with open(path, "r", errors="replace") as f:
        tokens = f.read().split()
    header = {}
    k = 0
    while k + 1 < len(tokens):
        try:
            float(tokens[k])
            break
        except ValueError:
            header[tokens[k].lower()] = tokens[k + 1]
            k += 2
    try:
        nx, ny = int(header["ncols"]), int(header["nrows"])
        # This system writes the first node under the corner labels.
        x0 = float(header.get("xllcorner", header.get("xllcenter")))
        y0 = float(header.get("yllcorner", header.get("yllcenter")))
        cell = float(header["cellsize"])
        values = np.array(tokens[k:k + nx * ny], dtype=np.float64)
    except (KeyError, TypeError, ValueError):
        raise PlotError(path + ": malformed ESRI ASCII header or values")
    if nx < 1 or ny < 1 or values.size != nx * ny:
        raise PlotError(path + ": holds %d values for %d x %d nodes" % (values.size, nx, ny))
    z = values.reshape(ny, nx)[::-1, :].copy()  # file rows run north to south
    if "nodata_value" in header:
        z[z == float(header["nodata_value"])] = np.nan
    return Grid(x0 + cell * np.arange(nx), y0 + cell * np.arange(ny), _blank_to_nan(np, z), path)


def read_netcdf(np, path):
    try:
        import netCDF4
    except ImportError:
        raise MissingPackage("netCDF4")
    try:
        with netCDF4.Dataset(path) as ds:
            ha = ds.variables["HA"]
            z = np.ma.filled(ha[-1] if ha.ndim == 3 else ha[:], np.nan)
            x = np.asarray(ds.variables["LON"][:], dtype=np.float64)
            y = np.asarray(ds.variables["LAT"][:], dtype=np.float64)
    except (OSError, KeyError, IndexError) as e:
        raise PlotError("%s: cannot read (%s)" % (path, e))
    if z.shape != (y.size, x.size):
        raise PlotError(path + ": \"HA\" does not match \"LAT\" and \"LON\"")
    return Grid(x, y, _blank_to_nan(np, z), path)


SUFFIXES = ((".nc", read_netcdf), (".grd", read_surfer_text), ("_bin.grd", read_surfer_binary),
            (".asc", read_esri_ascii))


def find_result(np, folder, base):
    """The newest of base.nc, base.grd, base_bin.grd, base.asc, read; None when none exists."""
    found = [(os.path.getmtime(os.path.join(folder, base + s)), -i, s, reader)
             for i, (s, reader) in enumerate(SUFFIXES) if os.path.isfile(os.path.join(folder, base + s))]
    if not found:
        return None
    _, _, suffix, reader = max(found)
    return reader(np, os.path.join(folder, base + suffix))


def read_bathymetry(np, path):
    if path[-1:] in ("d", "D"):
        return read_surfer_text(np, path)
    return read_netcdf(np, path)


# ---------------------------------------------------------------- scenario and level


def find_scenario(folder):
    """(scenario path, its table, level index) of the scenario writing into folder, or None."""
    try:
        import tomllib
    except ImportError:
        return None
    target = os.path.realpath(folder)
    directory = target
    for _ in range(4):
        for path in sorted(glob.glob(os.path.join(directory, "*.toml"))):
            try:
                with open(path, "rb") as f:
                    table = tomllib.load(f)
            except (OSError, ValueError):
                continue
            grids = table.get("grids", [])
            if not isinstance(grids, list):
                continue
            for k, grid in enumerate(grids):
                out = grid.get("outputFolder") if isinstance(grid, dict) else None
                if isinstance(out, str) and os.path.realpath(
                        os.path.join(os.path.dirname(path), out)) == target:
                    return path, table, k
        parent = os.path.dirname(directory)
        if parent == directory:
            break
        directory = parent
    return None


def spherical_from_summary(folder):
    """True/False from "OUT-SUMMARY-INPUT.dat" ("Spherical = ENABLED"), None if unknown."""
    try:
        with open(os.path.join(folder, "OUT-SUMMARY-INPUT.dat"), errors="replace") as f:
            for line in f:
                if line.startswith("Spherical = "):
                    return line.strip().endswith("ENABLED")
    except OSError:
        pass
    return None


def looks_spherical(grid):
    return (grid.x.min() >= -360 and grid.x.max() <= 360 and grid.y.min() >= -90 and grid.y.max() <= 90)


# ---------------------------------------------------------------- gauges


def read_time_histories(np, path):
    """(names, depths, times (minutes), levels (rows x gauges)) of a time-history file."""
    with open(path, errors="replace") as f:
        lines = f.read().splitlines()
    if not lines:
        raise PlotError(path + ": empty file")
    tokens = lines[0].split()
    if not tokens or tokens[0] != "Time":
        raise PlotError(path + ": the first line does not start with \"Time\"")
    names, depths = [], []
    for token in tokens[1:]:
        name, _, depth = token.partition("_")
        names.append(name)
        depths.append(depth)
    rows = []
    for line in lines[1:]:
        fields = line.split()
        if len(fields) != len(names) + 1:
            continue  # an empty line (no gauges) or values run together
        try:
            rows.append([float(v) for v in fields])
        except ValueError:
            continue
    if not names or not rows:
        raise PlotError(path + ": no gauge records")
    data = np.array(rows)
    return names, depths, data[:, 0], data[:, 1:]


# Water thinner than this (m) counts as none at a gauge: the history carries levels to 4 decimals
# and its header the depth to 3.
GAUGE_DRY_DEPTH = 0.001


def stayed_dry(depth_text, series):
    """True when no water stood at the gauge in any record: level plus still depth never above
    GAUGE_DRY_DEPTH. A depth that is no number never counts as dry."""
    try:
        depth = float(depth_text)
    except ValueError:
        return False
    return len(series) > 0 and all(float(level) + depth <= GAUGE_DRY_DEPTH for level in series)


def read_arrivals(folder):
    """Arrival time (minutes) per gauge name from "OUT-SUMMARY-RESULT.dat"."""
    arrivals = {}
    try:
        with open(os.path.join(folder, "OUT-SUMMARY-RESULT.dat"), errors="replace") as f:
            for line in f.read().splitlines()[1:]:
                fields = line.split("\t")
                if len(fields) >= 8:
                    try:
                        arrivals.setdefault(fields[0], float(fields[4]))
                    except ValueError:
                        pass
    except OSError:
        pass
    return arrivals


# ---------------------------------------------------------------- pictures


def style_map_axes(np, ax, grid, spherical):
    if spherical:
        ax.set_xlabel("Longitude (°E)")
        ax.set_ylabel("Latitude (°N)")
        ax.set_aspect(1.0 / max(0.05, np.cos(np.radians(0.5 * (grid.y[0] + grid.y[-1])))))
    else:
        ax.set_xlabel("x (m)")
        ax.set_ylabel("y (m)")
        ax.set_aspect("equal")
    if grid.x.size > 1:
        ax.set_xlim(grid.x[0], grid.x[-1])
    if grid.y.size > 1:
        ax.set_ylim(grid.y[0], grid.y[-1])


def draw_land_and_coast(np, plt, ax, grid, depth, flooded):
    """Grey land that stayed dry and the depth 0 contour; nothing without a bathymetry."""
    if depth is None:
        return
    from matplotlib.colors import ListedColormap
    dry_land = np.where((depth < 0) & ~flooded, 1.0, np.nan)
    ax.pcolormesh(grid.x, grid.y, dry_land, shading="nearest", cmap=ListedColormap(["#d8d2c4"]), vmin=0, vmax=1)
    if np.nanmin(depth) < 0 < np.nanmax(depth) and grid.x.size > 1 and grid.y.size > 1:
        ax.contour(grid.x, grid.y, depth, levels=[0.0], colors="k", linewidths=0.8)


def plot_max_level(np, plt, path, grid, depth, flooded, spherical, title):
    fig = plt.figure(figsize=(12, 9), dpi=100)
    ax = fig.add_subplot(1, 1, 1)
    z = np.where(np.isfinite(grid.z), grid.z, np.nan)
    if depth is not None:
        z = np.where((depth < 0) & ~flooded, np.nan, z)  # dry land carries no water level
    top = np.nanmax(z) if np.isfinite(z).any() else 0.0
    mesh = ax.pcolormesh(grid.x, grid.y, np.ma.masked_invalid(z), shading="nearest", cmap="viridis",
                         vmin=0.0, vmax=max(top, 1e-3))
    draw_land_and_coast(np, plt, ax, grid, depth, flooded)
    if np.isfinite(z).any():
        j, i = np.unravel_index(np.nanargmax(z), z.shape)
        ax.plot(grid.x[i], grid.y[j], marker="v", color="red", markersize=9, linestyle="none",
                label="highest: %.2f m" % top)
        ax.legend(loc="upper right")
    fig.colorbar(mesh, ax=ax, label="Highest water level (m)", shrink=0.85)
    style_map_axes(np, ax, grid, spherical)
    ax.set_title(title + ": highest water level")
    fig.savefig(path, dpi=100)
    plt.close(fig)


def plot_first_arrival(np, plt, path, grid, depth, flooded, spherical, title):
    fig = plt.figure(figsize=(12, 9), dpi=100)
    ax = fig.add_subplot(1, 1, 1)
    t = np.where(np.isfinite(grid.z) & (grid.z > 0), grid.z, np.nan)  # 0: the wave never came
    last = np.nanmax(t) if np.isfinite(t).any() else 0.0
    mesh = ax.pcolormesh(grid.x, grid.y, np.ma.masked_invalid(t), shading="nearest", cmap="plasma_r",
                         vmin=0.0, vmax=max(last, 1.0))
    draw_land_and_coast(np, plt, ax, grid, depth, flooded)
    levels = np.arange(5.0, last + 1e-9, 5.0)
    if levels.size and grid.x.size > 1 and grid.y.size > 1:
        lines = ax.contour(grid.x, grid.y, np.ma.masked_invalid(t), levels=levels, colors="white",
                           linewidths=0.7)
        ax.clabel(lines, fmt="%g min", fontsize=8)
    fig.colorbar(mesh, ax=ax, label="First arrival (min)", shrink=0.85)
    style_map_axes(np, ax, grid, spherical)
    ax.set_title(title + ": first arrival of the wave (contours every 5 min)")
    fig.savefig(path, dpi=100)
    plt.close(fig)


def plot_gauges(np, plt, path, histories, arrivals, title):
    names, depths, times, levels = histories
    n = len(names)
    fig = plt.figure(figsize=(12, 1.5 + 2.5 * n), dpi=100)
    axes = fig.subplots(n, 1, sharex=True, squeeze=False)[:, 0]
    for k, ax in enumerate(axes):
        series = levels[:, k]
        ax.set_ylabel("Water level (m)")
        ax.set_title("%s (depth %s m)" % (names[k], depths[k]) if depths[k] else names[k], fontsize=10)
        if stayed_dry(depths[k], series):
            # Its level only follows the ground: a flat line would read as a calm sea.
            if times.size > 1:
                ax.set_xlim(times[0], times[-1])
            ax.set_yticks([])
            ax.text(0.5, 0.5, "stayed dry", transform=ax.transAxes, ha="center", va="center", fontsize=14,
                    color="0.4")
            continue
        ax.plot(times, series, color="tab:blue", linewidth=1.0)
        ax.axhline(0.0, color="0.6", linewidth=0.5)
        arrival = arrivals.get(names[k])
        if arrival is None:
            moved = np.nonzero(series != 0.0)[0]
            arrival = float(times[moved[0]]) if moved.size else 0.0
        if arrival > 0.0:
            ax.axvline(arrival, color="red", linestyle="--", linewidth=1.0)
            ax.annotate("arrival %.1f min" % arrival, xy=(arrival, 1.0), xycoords=("data", "axes fraction"),
                        xytext=(4, -12), textcoords="offset points", color="red", fontsize=9)
    axes[-1].set_xlabel("Time (min)")
    fig.suptitle(title + ": water level at the gauges")
    fig.subplots_adjust(left=0.08, right=0.97, top=1.0 - 0.9 / (1.5 + 2.5 * n), bottom=0.6 / (1.5 + 2.5 * n),
                        hspace=0.5)
    fig.savefig(path, dpi=100)
    plt.close(fig)


# ---------------------------------------------------------------- main


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="vestra plot", description="Quicklook PNG pictures of one level's results, written into its folder.")
    parser.add_argument("folder", help="the level's output folder")
    parser.add_argument("--scenario", help="scenario file (default: found from the folder)")
    parser.add_argument("--name", help="scenario name for the titles")
    parser.add_argument("--level", type=int, help="level number for the titles")
    parser.add_argument("--bathymetry", help="the level's bathymetry grid, for the coastline")
    kind = parser.add_mutually_exclusive_group()
    kind.add_argument("--spherical", action="store_true", help="coordinates are degrees")
    kind.add_argument("--cartesian", action="store_true", help="coordinates are metres")
    parser.add_argument("--quiet", action="store_true", help="do not print the paths written")
    return parser.parse_args(argv)


def run(args):
    folder = args.folder
    if not os.path.isdir(folder):
        raise PlotError(folder + ": no such folder")
    try:
        import numpy as np
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as e:
        raise MissingPackage(getattr(e, "name", None) or str(e))

    name, level, bathymetry, spherical = None, None, None, None
    found = None
    if args.scenario:
        found = find_scenario_in(args.scenario, folder)
    else:
        found = find_scenario(folder)
    if found:
        path, table, k = found
        name = table.get("name") if isinstance(table.get("name"), str) else None
        name = name or os.path.splitext(os.path.basename(path))[0]
        level = k
        grid_entry = table["grids"][k]
        if isinstance(grid_entry.get("bathymetryFile"), str):
            bathymetry = os.path.join(os.path.dirname(path), grid_entry["bathymetryFile"])
        if isinstance(grid_entry.get("gridType"), int):
            spherical = grid_entry["gridType"] >= 2
    name = args.name or name or os.path.basename(os.path.normpath(os.path.abspath(folder)))
    level = args.level if args.level is not None else level
    bathymetry = args.bathymetry or bathymetry
    title = name if level is None else "%s, level %d" % (name, level)

    eta_max = find_result(np, folder, "OUT-ETA-MAX")
    if eta_max is None:
        raise PlotError(folder + ": no \"OUT-ETA-MAX\" result (.nc, .grd, _bin.grd or .asc)")
    if args.spherical or args.cartesian:
        spherical = args.spherical
    if spherical is None:
        spherical = spherical_from_summary(folder)
    if spherical is None:
        spherical = looks_spherical(eta_max)

    depth = None
    if bathymetry:
        try:
            b = read_bathymetry(np, bathymetry)
            if b.z.shape == eta_max.z.shape:
                depth = b.z
            else:
                warn("%s: %d x %d nodes do not match the results' %d x %d; no coastline drawn" %
                     (bathymetry, b.z.shape[1], b.z.shape[0], eta_max.z.shape[1], eta_max.z.shape[0]))
        except (OSError, PlotError) as e:
            warn("%s; no coastline drawn" % e)
    land_depth = find_result(np, folder, "OUT-FLOWDEPTHMAXLAND")
    if land_depth is not None and land_depth.z.shape == eta_max.z.shape:
        flooded = np.nan_to_num(land_depth.z) > 0
    else:
        flooded = np.nan_to_num(eta_max.z) > 0

    written = []
    out = os.path.join(folder, MAX_PICTURE)
    plot_max_level(np, plt, out, eta_max, depth, flooded, spherical, title)
    written.append(out)

    arrival = find_result(np, folder, "OUT-TIME-FIRST-WAVE")
    if arrival is None:
        warn(folder + ": no \"OUT-TIME-FIRST-WAVE\" result; no arrival map")
    else:
        out = os.path.join(folder, ARRIVAL_PICTURE)
        plot_first_arrival(np, plt, out, arrival, depth if arrival.z.shape == eta_max.z.shape else None,
                           flooded, spherical, title)
        written.append(out)

    history = os.path.join(folder, "OUT-TIME-HISTORIES_ETA.dat")
    if os.path.isfile(history):
        try:
            histories = read_time_histories(np, history)
            out = os.path.join(folder, GAUGE_PICTURE)
            plot_gauges(np, plt, out, histories, read_arrivals(folder), title)
            written.append(out)
        except PlotError as e:
            warn("%s; no gauge page" % e)
    return written


def find_scenario_in(path, folder):
    try:
        import tomllib
        with open(path, "rb") as f:
            table = tomllib.load(f)
    except (ImportError, OSError, ValueError) as e:
        warn("%s: cannot read the scenario (%s)" % (path, e))
        return None
    target = os.path.realpath(folder)
    for k, grid in enumerate(table.get("grids", []) if isinstance(table.get("grids"), list) else []):
        out = grid.get("outputFolder") if isinstance(grid, dict) else None
        if isinstance(out, str) and os.path.realpath(os.path.join(os.path.dirname(path), out)) == target:
            return path, table, k
    warn("%s: no grid writes into %s" % (path, folder))
    return None


def main(argv):
    args = parse_arguments(argv)
    try:
        written = run(args)
    except MissingPackage as e:
        warn("the Python module %s is missing; install the Debian packages %s" % (e, PACKAGES))
        return EXIT_MISSING_PACKAGE
    except (PlotError, OSError) as e:
        warn(str(e))
        return EXIT_NO_RESULTS
    if not args.quiet:
        for path in written:
            print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
