#pragma once
// A node-registered grid of one float per node, as the model reads it from bathymetry and
// source files: the first node lies at (xMin, yMin), the last at (xMax, yMax).
#include <cstddef>
#include <string>
#include <vector>

#include "GridFileReader.h"  // IsSurferTextName: the rule for which names are Surfer text

struct ModelGrid {
    int nx = 0;  // nodes per row (west to east)
    int ny = 0;  // rows (south to north)
    double xMin = 0.0, xMax = 0.0, yMin = 0.0, yMax = 0.0;  // degrees or metres
    // nx*ny values, row-major from the row at yMin; node (col, row) at row*nx + col.
    std::vector<float> values;

    double DeltaX() const { return nx > 1 ? (xMax - xMin) / (nx - 1) : 0.0; }
    double DeltaY() const { return ny > 1 ? (yMax - yMin) / (ny - 1) : 0.0; }
    double X(int col) const { return xMin + col * DeltaX(); }
    double Y(int row) const { return yMin + row * DeltaY(); }
    float& At(int col, int row) { return values[static_cast<std::size_t>(row) * nx + col]; }
    float At(int col, int row) const { return values[static_cast<std::size_t>(row) * nx + col]; }

    // True when the extent can only be longitudes and latitudes in degrees: every x in
    // [-360, 360], every y in [-90, 90] and neither side longer than 360 degrees. A Cartesian
    // model grid in metres is always far larger than this, so the guess only fails for toy
    // grids a few hundred metres wide, where callers should state the coordinates explicitly.
    bool LooksSpherical() const;
};

// Reads a Surfer text grid ("DSAA", chosen when the name ends in 'd' or 'D') or a netCDF file
// with "LAT", "LON" and "HA" (HA of shape (1, LAT, LON) or (LAT, LON)) with the common grid
// reader, as strictly as the model reads bathymetry. On failure returns false, leaves *grid
// untouched and puts "<path>: <reason>" into *error.
bool ReadModelGrid(const std::string& path, ModelGrid* grid, std::string* error);

// Writes a Surfer text grid when the name ends in 'd' or 'D' (".grd", ".GRD"), otherwise a classic
// netCDF file with 1-D double "LAT" and "LON" and float "HA" of shape (1, LAT, LON). The file
// is written beside its final name and renamed into place, so a failed write never leaves a
// truncated grid behind. The format follows the reader's rule, so every grid written here reads
// back, by this reader and by the model, in the format it was written. On failure returns false with a one-line reason in *error.
bool WriteModelGrid(const std::string& path, const ModelGrid& grid, std::string* error);

