#pragma once
// Gauge time histories: placing a level's gauges, the header line of its thirteen
// time-history files, and the data line the step driver appends every historyEverySteps.
//
// Header line: "Time " then, per gauge, its name, "_", the still-water depth at its cell
// (fixed, 3 decimals in files 1-9, 6 in files 10-13) and " ". Data line: the time in
// minutes, then one right-aligned value per gauge (TimeHistoryLayout), then a line break.
// The gauge summary of the final results reads these files back by that layout.
#include <array>
#include <cstdint>
#include <string>

#include "GridLevel.h"
#include "SimulationParameters.h"

inline constexpr int kTimeHistoryFileCount = 13;

// File names, in the order the files are written; every file lies in the level's outputFolder.
inline constexpr std::array<const char*, kTimeHistoryFileCount> kTimeHistoryFileNames = {
    "OUT-TIME-HISTORIES_ETA.dat",       "OUT-TIME-HISTORIES_V.dat",
    "OUT-TIME-HISTORIES_U.dat",         "OUT-TIME-HISTORIES_CUR.dat",
    "OUT-TIME-HISTORIES_FR2.dat",       "OUT-TIME-HISTORIES_FR.dat",
    "OUT-TIME-HISTORIES_M.dat",         "OUT-TIME-HISTORIES_N.dat",
    "OUT-TIME-HISTORIES-MN-FLUX-ANGLE.dat", "OUT-TIME-HISTORIES-MN-FLUX.dat",
    "OUT-TIME-HISTORIES-MN_Momentum_Flux.dat", "OUT-TIME-HISTORIES_FLOW-DEPTH.dat",
    "OUT-TIME-HISTORIES_ROUSE.dat"};

// Index of each quantity in kTimeHistoryFileNames.
enum TimeHistoryQuantity : int {
    kHistoryEta = 0,
    kHistoryV,
    kHistoryU,
    kHistoryCurrent,
    kHistoryFroudeSquared,
    kHistoryFroude,
    kHistoryFluxM,
    kHistoryFluxN,
    kHistoryFluxAngle,
    kHistoryFluxMagnitude,
    kHistoryMomentumFlux,
    kHistoryFlowDepth,
    kHistoryRouse,
};

// Number format of a data line: time decimals, value decimals, width of the first value
// and of each later value (the field width alone separates the values).
struct TimeHistoryLayout {
    int timeDecimals;
    int valueDecimals;
    int firstWidth;
    int restWidth;
};
inline constexpr std::array<TimeHistoryLayout, kTimeHistoryFileCount> kTimeHistoryLayouts = {{
    {5, 4, 14, 12},  // ETA
    {5, 4, 10, 10},  // V
    {4, 4, 10, 10},  // U
    {4, 5, 12, 12},  // CUR
    {4, 4, 12, 12},  // FR2
    {4, 4, 12, 10},  // FR
    {4, 4, 12, 12}, {4, 4, 12, 12}, {4, 4, 12, 12}, {4, 4, 12, 12},
    {4, 4, 12, 12}, {4, 4, 12, 12}, {4, 4, 12, 12},
}};

// Decimals of the gauge depths in the header of file `quantity`.
inline constexpr int HeaderDepthDecimals(int quantity) { return quantity <= kHistoryFluxAngle ? 3 : 6; }

// A gauge name longer than this is refused (and ends the gauge list).
inline constexpr std::size_t kMaxGaugeNameLength = 39;

// The level's node nearest to (x, y): column = RoundHalfUp(|x - xMin| / node spacing) + 1,
// with node spacing |xMax - xMin| / (nx - 1), likewise the row; a grid of one column (or of
// zero width) has only column 1. False when (x, y) lies outside [xMin, xMax] x [yMin, yMax]
// (either orientation of the axes).
bool NearestGaugeCell(const GridLevel& level, double x, double y, int32_t& column, int32_t& row);

// Reads the level's gaugeFile, places its gauges (gaugeColumns, gaugeRows, gaugeCount) and,
// with `writeFiles`, creates the thirteen files with their header line. The list ends at the first gauge outside
// the level, the first incomplete record, or the first name longer than kMaxGaugeNameLength
// (the last two with a message on standard error). Returns false, placing no gauge and
// creating no file, when the gauge list cannot be opened.
bool PlaceGaugesAndWriteHeaders(GridLevel& level, bool writeFiles = true);

// Value of a quantity at cell (i, j) of the level, as the time-history files record it.
double GaugeValue(const GridLevel& level, int quantity, int32_t i, int32_t j);

// Appends one data line at time t (seconds) to each time-history file of the level in
// outputFolder (the ROUSE file only when settings.cellFieldFromFile is set). Without gauges
// the line is empty. A file that cannot be opened is skipped, with one warning on standard
// error the first time.
void WriteGaugeHistories(const SimulationParameters& settings, const GridLevel& level, const std::string& outputFolder,
                         double t);
