#include "BathymetryReader.h"

#include "InitResult.h"

int32_t ReadBathymetry(const std::string& path, BathymetryGrid& grid, std::string& reason) {
    switch (ReadGridFile(path, IsSurferTextName(path) ? SurferText : NetCdf, {}, grid, reason)) {
    case GridFault::kNone: return InitResult::kSuccess;
    case GridFault::kUnreadable: return InitResult::kBathymetryUnreadable;
    case GridFault::kNotDsaa: return InitResult::kSurferTokenNotDsaa;
    case GridFault::kShort: return InitResult::kBathymetryShort;
    case GridFault::kNotNumber: return InitResult::kBathymetryNotNumber;
    case GridFault::kBadSize: return InitResult::kBadGridSize;
    case GridFault::kRecords: return InitResult::kNetCdfBadRecordDim;
    case GridFault::kMalformed: break;
    }
    return InitResult::kNetCdfMissingVariable;
}

int32_t ReadCellFieldValues(const std::string& path, std::size_t count, std::vector<float>& values,
                            std::string& reason) {
    GridReadOptions options;
    options.anyFirstWord = true;
    options.valueCount = count;
    GridFile grid;
    const GridFault fault = ReadGridFile(path, SurferText, options, grid, reason);
    if (fault != GridFault::kNone)
        return fault == GridFault::kUnreadable ? InitResult::kCellFieldUnreadable : InitResult::kCellFieldShort;
    values = std::move(grid.values);
    return InitResult::kSuccess;
}

int32_t CheckGridShape(const BathymetryGrid& grid, bool spherical, std::string& reason) {
    if (spherical && (grid.nx < 2 || grid.ny < 2)) {
        reason = "spherical grid of " + std::to_string(grid.nx) + " x " + std::to_string(grid.ny) +
                 " nodes has no cell size (it needs at least 2 x 2)";
        return InitResult::kBadGridSize;
    }
    if (spherical && grid.xMax == grid.xMin) {
        reason = "spherical grid has the same first and last longitude";
        return InitResult::kSphericalZeroWidth;
    }
    return InitResult::kSuccess;
}
