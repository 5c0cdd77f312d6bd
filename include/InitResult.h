#pragma once
// Result codes of ZellSimulatorI::Init, with their meanings, in one place.
#include <cstdint>

namespace InitResult {
inline constexpr int32_t kSuccess = 0;                // the model is ready to step
inline constexpr int32_t kSurferTokenNotDsaa = 1;     // a Surfer text grid's first token is not "DSAA"
inline constexpr int32_t kNoSourceEvents = 8;         // the list of source events is empty
inline constexpr int32_t kNoGridRecords = 9;          // the list of grid records is empty
inline constexpr int32_t kUnknownGridType = 11;       // a grid record has a type other than 0 to 3
inline constexpr int32_t kZeroGridSpacing = 20;       // the first grid's cell size is 0
inline constexpr int32_t kZeroTimeStep = 21;          // timeStep is 0
inline constexpr int32_t kAcceptedByHost = 22;        // a success code of the interface (Init never returns it)
inline constexpr int32_t kBathymetryUnreadable = 30;  // a bathymetry file cannot be opened
inline constexpr int32_t kBathymetryShort = 31;       // a bathymetry file ends before all its values
inline constexpr int32_t kBathymetryNotNumber = 32;   // a bathymetry header or value is not a number
inline constexpr int32_t kNetCdfMissingVariable = 33; // a netCDF bathymetry lacks "LAT", "LON" or "HA" or is malformed
inline constexpr int32_t kNetCdfBadRecordDim = 34;    // a netCDF "HA" whose first dimension is not 1
inline constexpr int32_t kCellFieldUnreadable = 35;   // cellFieldFile cannot be opened
inline constexpr int32_t kCellFieldShort = 36;        // cellFieldFile ends before all values or holds a non-number
inline constexpr int32_t kBadHistoryInterval = 37;    // historyEverySteps is below 1
inline constexpr int32_t kBadGridSize = 38;           // a bathymetry grid has fewer than 1 column or row, or absurd size
inline constexpr int32_t kSphericalZeroWidth = 39;    // a spherical grid whose first and last longitude coincide
inline constexpr int32_t kOutOfMemory = 40;           // the grid levels do not fit in memory
inline constexpr int32_t kNestedLayout = 41;          // a nested grid does not fit its parent (size, alignment, margins)
inline constexpr int32_t kSourceEventFile = 42;       // a source-event file cannot be read or does not fit level 0
inline constexpr int32_t kTimeSeriesUnreadable = 43;  // the time-series file cannot be opened
inline constexpr int32_t kSeriesBandOutside = 44;     // the time-series band reaches outside level 0
inline constexpr int32_t kStepBeyondStability = 45;   // a fixed timeStep exceeds the stability limit of a level
inline constexpr int32_t kCheckpointRefused = 46;     // the checkpoint to resume from does not fit this run

// One-line meaning of a result code, for messages; "unknown result code" otherwise.
inline const char* Meaning(int32_t code) {
    switch (code) {
    case kSuccess: return "success";
    case kSurferTokenNotDsaa: return "a Surfer text grid's first token is not \"DSAA\"";
    case kNoSourceEvents: return "the scenario has no wave source";
    case kNoGridRecords: return "the scenario has no grid";
    case kUnknownGridType: return "a grid has a type other than 0 to 3";
    case kZeroGridSpacing: return "the first grid's cell size is 0";
    case kZeroTimeStep: return "timeStep is 0";
    case kAcceptedByHost: return "accepted";
    case kBathymetryUnreadable: return "a bathymetry file cannot be opened";
    case kBathymetryShort: return "a bathymetry file ends before all its values";
    case kBathymetryNotNumber: return "a bathymetry file holds a value that is not a number";
    case kNetCdfMissingVariable: return "a netCDF bathymetry lacks \"LAT\", \"LON\" or \"HA\" or cannot be read";
    case kNetCdfBadRecordDim: return "a netCDF bathymetry's \"HA\" has a first dimension other than 1";
    case kCellFieldUnreadable: return "the cell-field file cannot be opened";
    case kCellFieldShort: return "the cell-field file ends early or holds a non-number";
    case kBadHistoryInterval: return "historyEverySteps is below 1";
    case kBadGridSize: return "a bathymetry grid has an invalid number of columns or rows";
    case kSphericalZeroWidth: return "a spherical grid has zero width (its cell size would be 0)";
    case kOutOfMemory: return "the grids do not fit in memory";
    case kNestedLayout: return "a nested grid does not fit its parent (cell size a third, first node on a parent node, margins)";
    case kSourceEventFile: return "a source-event file cannot be read or does not match level 0";
    case kTimeSeriesUnreadable: return "the time-series file cannot be opened";
    case kSeriesBandOutside: return "the time-series band reaches outside level 0";
    case kStepBeyondStability: return "timeStep exceeds the stability limit of a level";
    case kCheckpointRefused: return "the checkpoint cannot be resumed by this run";
    default: return "unknown result code";
    }
}
}  // namespace InitResult
