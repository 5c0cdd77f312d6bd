#pragma once
// The one reader of grid files: Surfer text ("DSAA") and binary ("DSBB") grids, ESRI ASCII
// rasters and netCDF files with "HA" (and "LAT", "LON"). Bathymetry, preparation inputs,
// source events and the run summary all read through it and share its refusals and messages.
//
// A file is checked whole before the grid is filled: on refusal the grid is left untouched and
// `reason` holds one line without the file name (the caller says which file it was).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ZellUtility.h"  // GridFileFormat

// Largest interior accepted on either axis, and largest halo block (cells): flat indices of
// (nx+3) x (ny+3) cells must stay within int32.
inline constexpr int32_t kMaxGridAxis = 1000000;
inline constexpr int64_t kMaxGridCells = 2147483647;

// Node-registered grid: nx * ny values row by row from the row at yMin, each row from xMin.
template <typename Value>
struct BasicGridFile {
    int32_t nx = 0, ny = 0;
    double xMin = 0, xMax = 0, yMin = 0, yMax = 0;
    double zMin = 0, zMax = 0;  // Surfer headers only; 0 otherwise
    std::vector<Value> values;
};
using GridFile = BasicGridFile<float>;

// Why a file was refused. The model maps these to its Init result codes.
enum class GridFault {
    kNone,
    kUnreadable,       // cannot be opened or read, or is not netCDF
    kNotDsaa,          // a Surfer text grid whose first word is not "DSAA"
    kShort,            // ends before its header or its values are complete
    kNotNumber,        // a header entry or value is not a number, or not finite where it must be
    kBadSize,          // column or row count below 1 or too large to model
    kMalformed,        // netCDF without "LAT", "LON" or "HA", or with unreadable or mismatched ones
    kRecords,          // netCDF "HA" with a record count other than 1
};

struct GridReadOptions {
    bool finite = true;             // refuse NaN and infinite values and header numbers (extents always)
    bool anyFirstWord = false;      // Surfer text: the first word is not compared with "DSAA"
    std::size_t valueCount = 0;     // Surfer text: read this many values whatever the header's size
    bool coordinates = true;        // netCDF: "LAT" and "LON" must give the extent
    bool recordDimension = false;   // netCDF: "HA" must be (record, rows, columns), not (rows, columns)
    bool lastRecord = false;        // netCDF: read the last of several records instead of refusing them
};

// The format a name stands for: a last character 'd' or 'D' (".grd") is Surfer text, every
// other name netCDF.
bool IsSurferTextName(const std::string& path);
// Surfer text when the file's first word is exactly "DSAA", netCDF otherwise (also when the
// file cannot be opened: the netCDF reader then reports it).
GridFileFormat FormatFromFirstWord(const std::string& path);

// Reads a whole grid file of `format`. Values are parsed as `Value` (float or double).
template <typename Value>
GridFault ReadGridFile(const std::string& path, GridFileFormat format, const GridReadOptions& options,
                       BasicGridFile<Value>& grid, std::string& reason);
