#pragma once
// Readers of the depth grids a level is built from: Surfer text grids ("DSAA") and netCDF
// files with "LAT", "LON" and "HA". Each reader validates the whole file before the model
// uses any of it, so that a bad file ends Init with a result code (InitResult.h) before
// anything of its level is written to disk.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct BathymetryGrid {
    int32_t nx = 0, ny = 0;
    double xMin = 0, xMax = 0, yMin = 0, yMax = 0;
    double zMin = 0, zMax = 0;   // Surfer text header only; 0 for netCDF input
    std::vector<float> values;   // nx * ny depths, row j = 1..ny from yMin, each row from xMin
};

// A name whose last character is 'd' or 'D' (".grd") is a Surfer text grid; every other
// name, with or without extension, is netCDF.
bool IsSurferTextName(const std::string& path);

// Reads a whole depth grid into `grid`. Returns InitResult::kSuccess or one of
// kSurferTokenNotDsaa, kBathymetryUnreadable, kBathymetryShort, kBathymetryNotNumber,
// kNetCdfMissingVariable, kNetCdfBadRecordDim, kBadGridSize; `reason` then says why.
// The grid size is checked before any value is read, so an absurd header allocates nothing.
int32_t ReadBathymetry(const std::string& path, BathymetryGrid& grid, std::string& reason);
int32_t ReadSurferTextGrid(const std::string& path, BathymetryGrid& grid, std::string& reason);
int32_t ReadNetCdfGrid(const std::string& path, BathymetryGrid& grid, std::string& reason);

// Reads the cell values of a Surfer text grid whose header (one word, eight numbers) is
// skipped unread: the first `count` numbers after it, in file order. Returns kSuccess,
// kCellFieldUnreadable, or kCellFieldShort (too few values, or a non-number among them).
int32_t ReadCellFieldValues(const std::string& path, std::size_t count, std::vector<float>& values,
                            std::string& reason);

// Largest interior accepted on either axis, and largest halo block (cells): flat indices of
// (nx+3) x (ny+3) cells must stay within int32.
inline constexpr int32_t kMaxGridAxis = 1000000;
inline constexpr int64_t kMaxGridCells = 2147483647;

// kSuccess when the grid can be modelled: at least one column and row, not absurdly large,
// and on a spherical grid, whose cell size is its width divided by nx - 1, at least two
// columns and rows (kBadGridSize) and a nonzero width (kSphericalZeroWidth).
int32_t CheckGridShape(const BathymetryGrid& grid, bool spherical, std::string& reason);
