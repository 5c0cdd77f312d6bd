#pragma once
// The short report printed after a run: what a modeller looks at first. It is read back
// from the result files of the level folders, so it can also be made for any earlier run.
//
// Per level: the highest water level and the node where it occurred ("OUT-ETA-MAX"), the
// largest flow depth on land and the flooded area ("OUT-FLOWDEPTHMAXLAND": land cells, still
// depth < 0, whose largest flow depth is > 0). Per gauge: the rows of "OUT-SUMMARY-RESULT.dat".
#include <cmath>
#include <cstdint>
#include <iosfwd>
#include <limits>
#include <string>
#include <vector>

#include "GridFileReader.h"
#include "RunExtension.h"
#include "Transect.h"

// A result grid as the writers store it: node-registered, nx * ny values row-major from the
// row at yMin, each row from xMin eastward.
struct OutputGrid : GridFile {
    std::string path;

    double DeltaX() const { return nx > 1 ? (xMax - xMin) / (nx - 1) : 0.0; }
    double DeltaY() const { return ny > 1 ? (yMax - yMin) / (ny - 1) : 0.0; }
};

// Reads one result grid given its base name (folder joined with a name such as "OUT-ETA-MAX"):
// base + ".nc" (the last record of "HA"), ".grd" (Surfer text "DSAA"), "_bin.grd" (Surfer
// binary "DSBB") or ".asc" (ESRI ASCII, rows north to south). `format` is the GridFileFormat
// to read (0 text, 1 binary, 2 netCDF, 3 ESRI); -1 takes the most recently written of the
// files that exist. Returns false with a one-line reason when no file is readable.
bool ReadOutputGrid(const std::string& basePath, int format, OutputGrid* grid, std::string* error);

// Reads one result file of `format` with the common grid reader: values may be blanks or
// non-finite, and of a netCDF "HA" with several records the last is read. The error is
// "<path>: <reason>".
bool ReadResultGrid(const std::string& path, GridFileFormat format, OutputGrid* grid, std::string* error);

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

// One row of "OUT-SUMMARY-RESULT.dat". Times in minutes, amplitudes in metres.
struct GaugeSummary {
    std::string name;
    std::string depthText;  // still depth at the gauge as the file carries it, m
    double depth = kNoValue;
    double x = kNoValue, y = kNoValue;
    double arrivalMinutes = 0.0;    // first nonzero water level; 0 when the wave never came
    double timeOfMaxMinutes = 0.0;  // first time the highest level was reached
    double maximum = 0.0;           // highest water level, >= 0
    double minimum = 0.0;           // deepest trough, <= 0
    bool dry = false;               // no water ever stood there; the four numbers above are unset
};

// The runup along one transect: the highest water level ("OUT-ETA-MAX") over the land nodes of
// the line that got wet, carried on to the shoreline (RunupAlongTransect), and where; NaN when
// none did.
struct TransectRunup {
    std::string name;
    double runup = kNoValue;
    double x = kNoValue, y = kNoValue;
};

// The nodes a line crosses: the line is walked in steps of a quarter of the smaller node
// spacing and each point taken to its nearest node (points off the grid are skipped). Of those
// land nodes with a largest flow depth > 0 in `landDepth`, the highest `etaMax` is the runup,
// carried on towards the dry node beside it on the line to where the flow depth, extrapolated
// from the wet land node on its other side, falls to 0 (the ground there, if higher). Both grids
// must have the same layout.
TransectRunup RunupAlongTransect(const OutputGrid& etaMax, const OutputGrid& landDepth, const Transect& line);

struct LevelSummary {
    int index = 0;
    std::string outputFolder;
    bool spherical = true;  // degrees and cos(latitude) cell areas, else metres
    int nx = 0, ny = 0;     // from the highest-water-level grid; 0 when it was not readable
    double highestWaterLevel = kNoValue;  // m
    double highestX = kNoValue, highestY = kNoValue;  // node of the highest level (deg or m)
    double maxFlowDepthOnLand = kNoValue;  // m
    double floodedAreaKm2 = kNoValue;      // land cells that got wet
    // Runup: the highest water level ("OUT-ETA-MAX") over the land cells that got wet, and its
    // node; NaN when no land got wet or the grids were unreadable.
    double runup = kNoValue;
    double runupX = kNoValue, runupY = kNoValue;
    std::vector<TransectRunup> transects;  // in the order the scenario gives them
    std::vector<GaugeSummary> gauges;
    std::vector<std::string> problems;  // one line per file that could not be read
    bool hasVolumeBudget = false;       // the simulator reported the level's volume account
    LevelVolumeBudget volume;           // m^3
};

struct RunSummary {
    std::string scenarioName;
    double wallSeconds = kNoValue;
    double millionCellUpdatesPerSecond = kNoValue;
    std::vector<LevelSummary> levels;
};

// What the summary needs to know of one level of the scenario.
struct SummaryLevelInput {
    std::string outputFolder;
    bool spherical = true;  // gridType 2 or 3
    // Where the runup is looked for (x, y or longitude, latitude of the nodes, bounds included);
    // the whole level by default.
    double runupXMin = -HUGE_VAL, runupXMax = HUGE_VAL, runupYMin = -HUGE_VAL, runupYMax = HUGE_VAL;
    std::vector<Transect> transects = {};  // the runup lines drawn on this level
};

// Reads the results of every level. `outputFormat` is the run's GridFileFormat (-1: take the
// newest file of each name). Unreadable files leave their numbers unset (NaN) and add a line
// to the level's `problems`; nothing is printed here.
RunSummary CollectRunSummary(const std::string& scenarioName, const std::vector<SummaryLevelInput>& levels,
                             int outputFormat, double wallSeconds, double millionCellUpdatesPerSecond);

// Area of one cell around a node, km^2: spherical cells (degrees) shrink with cos(latitude).
double CellAreaKm2(bool spherical, double deltaX, double deltaY, double latitudeDegrees);

// Cell updates of one base step: sum over levels of nx * ny * 3^k (level k takes 3^k sub-steps).
// Levels whose grids were not read count 0.
double CellUpdatesPerBaseStep(const RunSummary& summary);

// Reads "OUT-SUMMARY-RESULT.dat": a header line, then one tab-separated line per gauge; a gauge
// whose four results read "dry" stayed dry.
bool ReadGaugeSummaryFile(const std::string& path, std::vector<GaugeSummary>* gauges, std::string* error);

// The table printed after a run.
void PrintRunSummary(const RunSummary& summary, std::ostream& out);

// JSON text of a number with `significantDigits` (null when not finite) and of a quoted string.
std::string JsonNumber(double value, int significantDigits);
std::string JsonString(const std::string& value);

// The same content as JSON. On failure prints one warning line naming the file and the reason
// on standard error and returns false.
bool WriteRunSummaryJson(const RunSummary& summary, const std::string& path);
std::string RunSummaryJson(const RunSummary& summary);
