#pragma once
// The depth grids a level is built from, read with the common grid reader (Surfer text for
// names ending in 'd' or 'D', netCDF otherwise), its refusals turned into Init result codes
// (InitResult.h). A bad file ends Init before anything of its level is written to disk.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "GridFileReader.h"

using BathymetryGrid = GridFile;

// Reads a whole depth grid into `grid`. Returns InitResult::kSuccess or one of
// kSurferTokenNotDsaa, kBathymetryUnreadable, kBathymetryShort, kBathymetryNotNumber,
// kNetCdfMissingVariable, kNetCdfBadRecordDim, kBadGridSize; `reason` then says why.
int32_t ReadBathymetry(const std::string& path, BathymetryGrid& grid, std::string& reason);

// Reads the cell values of a Surfer text grid whose first word is not compared and whose
// header size is not used: the first `count` numbers after the header, in file order. Returns
// kSuccess, kCellFieldUnreadable, or kCellFieldShort (too few values, or a non-number among them).
int32_t ReadCellFieldValues(const std::string& path, std::size_t count, std::vector<float>& values,
                            std::string& reason);

// kSuccess unless a spherical grid, whose cell size is its width divided by nx - 1, has fewer
// than two columns or rows (kBadGridSize) or zero width (kSphericalZeroWidth).
int32_t CheckGridShape(const BathymetryGrid& grid, bool spherical, std::string& reason);
