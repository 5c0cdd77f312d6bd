#include "ExampleGenerator.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "ModelGrid.h"
#include "PathJoin.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kEarthRadiusKm = 6371.0088;
constexpr double kKmPerDegree = kEarthRadiusKm * kPi / 180.0;

// Level 0: south-west node and node spacing (1 arc-minute), 180 x 180 cells.
constexpr double kLon0 = 140.0;
constexpr double kLat0 = 36.0;
constexpr int kCellsPerDegree0 = 60;
constexpr int kCells0 = 180;

// Local frame of the coast: X east and Y north, in km, from the mouth of the bay.
constexpr double kCoastLon = 140.7;
constexpr double kBayLat = 37.5;

// Sea floor: shelf break at X = 30 km and 150 m, slope 40 km wide, basin 4000 m.
constexpr double kShelfBreakX = 30.0;
constexpr double kShelfBreakDepth = 150.0;
constexpr double kSlopeWidth = 40.0;
constexpr double kBasinDepth = 4000.0;
// Bay: a Gaussian notch 16 km deep and about 9 km wide at its mouth.
constexpr double kBayLength = 16.0;
constexpr double kBayHalfWidth = 4.5;
// Land: a lowland rising 4 m per km for 2 km, then hills rising 40 m per km up to 400 m.
constexpr double kLowlandWidth = 2.0;
constexpr double kLowlandRise = 4.0;
constexpr double kHillRise = 40.0;
constexpr double kHillTop = 400.0;
// Source: elliptical uplift over the middle of the slope, cos^2 profile.
constexpr double kUpliftAmplitude = 3.0;
constexpr double kUpliftHalfAcross = 22.0;  // km, east-west
constexpr double kUpliftHalfAlong = 65.0;   // km, north-south

// A nested level as a block of its parent's cells: first node (parent node indices from
// the parent's south-west node) and the number of parent cells it spans. The child has
// 3 * cells + 1 nodes per direction, so its last node lies on a parent node as well.
struct NestBlock {
    int firstColumn;
    int firstRow;
    int cellsX;
    int cellsY;
};
constexpr NestBlock kLevel1{21, 78, 33, 24};  // 140.35-140.90 E, 37.30-37.70 N
constexpr NestBlock kLevel2{20, 27, 24, 18};  // 140.461-140.594 E, 37.45-37.55 N

struct Gauge {
    const char* name;  // no "_": the result files use it to split name and depth
    double lon;
    double lat;
};
constexpr Gauge kOffshore{"Offshore", 142.05, 37.5};
constexpr Gauge kShelf{"Shelf", 140.90, 37.25};
constexpr Gauge kBay{"Bay", 140.62, 37.5};
constexpr Gauge kBayHead{"BayHead", 140.55, 37.5};

double LocalX(double lon) { return (lon - kCoastLon) * kKmPerDegree * std::cos(kBayLat * kPi / 180.0); }
double LocalY(double lat) { return (lat - kBayLat) * kKmPerDegree; }

// X of the shoreline at Y: a gentle meander of the open coast and the notch of the bay.
double CoastX(double y) {
    const double meander = 2.5 * std::sin(2.0 * kPi * y / 150.0);
    const double notch = kBayLength * std::exp(-(y / kBayHalfWidth) * (y / kBayHalfWidth));
    return meander - notch;
}

// Still-water depth in metres (positive at sea, negative on land), rounded to centimetres.
double DepthAt(double lon, double lat) {
    const double x = LocalX(lon), y = LocalY(lat);
    const double coast = CoastX(y);
    const double seaward = x - coast;  // km from the shoreline, along X
    double depth;
    if (seaward > 0.0) {
        if (x < kShelfBreakX) {
            // Shelf deepening linearly from the shoreline to the break; inside the bay the
            // same rule gives a shallow inlet (about 50 m at the mouth, 0 at the head).
            depth = kShelfBreakDepth * seaward / (kShelfBreakX - coast);
        } else {
            const double t = std::min(1.0, (x - kShelfBreakX) / kSlopeWidth);
            depth = kShelfBreakDepth + (kBasinDepth - kShelfBreakDepth) * t * t * (3.0 - 2.0 * t);
        }
    } else {
        const double inland = -seaward;
        const double height = inland <= kLowlandWidth
                                  ? kLowlandRise * inland
                                  : kLowlandRise * kLowlandWidth + kHillRise * (inland - kLowlandWidth);
        depth = -std::min(height, kHillTop);
    }
    return std::round(depth * 100.0) / 100.0;
}

double UpliftAt(double lon, double lat) {
    const double centreX = kShelfBreakX + 0.5 * kSlopeWidth;
    const double dx = (LocalX(lon) - centreX) / kUpliftHalfAcross;
    const double dy = LocalY(lat) / kUpliftHalfAlong;
    const double r = std::sqrt(dx * dx + dy * dy);
    if (r >= 1.0) return 0.0;
    const double c = std::cos(0.5 * kPi * r);
    return std::round(kUpliftAmplitude * c * c * 1000.0) / 1000.0;
}

// Node-registered extent of one level in whole cells of that level counted from (kLon0,
// kLat0), so that every coordinate is an exact ratio and nested corners fall on parent nodes.
struct LevelExtent {
    long long firstColumn = 0;  // in cells of this level
    long long firstRow = 0;
    int nx = kCells0 + 1;
    int ny = kCells0 + 1;
    long long cellsPerDegree = kCellsPerDegree0;

    double Lon(int i) const { return kLon0 + static_cast<double>(firstColumn + i) / cellsPerDegree; }
    double Lat(int j) const { return kLat0 + static_cast<double>(firstRow + j) / cellsPerDegree; }
    double SpacingMetres() const { return kKmPerDegree * 1000.0 / cellsPerDegree; }

    LevelExtent Nested(const NestBlock& block) const {
        LevelExtent child;
        child.cellsPerDegree = cellsPerDegree * 3;
        child.firstColumn = (firstColumn + block.firstColumn) * 3;
        child.firstRow = (firstRow + block.firstRow) * 3;
        child.nx = 3 * block.cellsX + 1;
        child.ny = 3 * block.cellsY + 1;
        return child;
    }
};

template <typename Function>
ModelGrid SampleGrid(const LevelExtent& extent, Function valueAt) {
    ModelGrid grid;
    grid.nx = extent.nx;
    grid.ny = extent.ny;
    grid.xMin = extent.Lon(0);
    grid.xMax = extent.Lon(extent.nx - 1);
    grid.yMin = extent.Lat(0);
    grid.yMax = extent.Lat(extent.ny - 1);
    grid.values.resize(static_cast<std::size_t>(grid.nx) * static_cast<std::size_t>(grid.ny));
    for (int j = 0; j < grid.ny; ++j)
        for (int i = 0; i < grid.nx; ++i) grid.At(i, j) = static_cast<float>(valueAt(extent.Lon(i), extent.Lat(j)));
    return grid;
}

// Shortest decimal text of a double that TOML reads as a float (always with a '.' or 'e').
std::string TomlFloat(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
    return text;
}

std::string TomlString(const std::string& value) {
    std::string text = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') {
            text += '\\';
            text += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
            text += escaped;
        } else {
            text += c;
        }
    }
    return text + "\"";
}

bool WriteTextFile(const std::string& path, const std::string& text, std::string* error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (out) out.close();
    if (!out) {
        if (error) *error = path + ": cannot write the file";
        return false;
    }
    return true;
}

std::string GaugeList(const std::vector<Gauge>& gauges) {
    std::string text;
    char line[128];
    for (const Gauge& gauge : gauges) {
        std::snprintf(line, sizeof line, "%s %.6f %.6f\n", gauge.name, gauge.lon, gauge.lat);
        text += line;
    }
    return text;
}

const char* FormatName(int32_t format) {
    switch (format) {
    case 0: return "Surfer text grids";
    case 1: return "Surfer binary grids";
    case 2: return "netCDF";
    case 3: return "ESRI ASCII rasters";
    default: return "unknown format";
    }
}

// One "key = value" line, its comment (if any) aligned at column 28.
std::string TomlLine(const std::string& assignment, const std::string& comment = "") {
    std::string line = assignment;
    if (!comment.empty()) {
        line.resize(std::max<std::size_t>(line.size() + 1, 27), ' ');
        line += "# " + comment;
    }
    return line + "\n";
}

std::string ScenarioText(const ExampleOptions& options, const std::vector<LevelExtent>& levels) {
    std::string text;
    text += "# Bundled example written by `vestra example`: a 3 x 3 degree spherical ocean at\n";
    text += "# 1 arc-minute with a deep basin, a continental slope, a shelf and a coast with a bay,\n";
    text += "# nested grids three times finer over the bay, and a 3 m elliptical uplift over the slope.\n";
    text += "# Relative paths are taken from this file's folder.\n";
    text += "name = " + TomlString(options.name) + "\n\n";
    text += "[parameters]\n";
    text += TomlLine("timeStep = 2.0", "s; the stability limit of 1 arc-minute cells at 39 N over 4000 m is 5.7 s");
    text += TomlLine("startTime = 0.0", "minutes");
    text += TomlLine("endTime = " + TomlFloat(options.endTimeMinutes), "minutes");
    text += TomlLine("outputFormat = " + std::to_string(options.outputFormat), FormatName(options.outputFormat));
    text += TomlLine("snapshotInterval = 300.0", "water-level frames every 5 minutes (seconds)");
    text += TomlLine("historyEverySteps = 5", "gauge records every 5 steps (10 s)");
    text += "\n[boundary]\n";
    text += TomlLine("kind = \"absorbing\"", "waves leave through level 0's edges");
    text += TomlLine("cells = 20", "width of the absorbing layer added outside level 0");
    for (std::size_t k = 0; k < levels.size(); ++k) {
        const std::string index = std::to_string(k);
        text += "\n";
        text += TomlLine("[[grids]]", "level " + index + (k == 0 ? ", outermost" : ", nested three times finer"));
        text += TomlLine("gridType = 2", "spherical");
        text += TomlLine("coriolis = true");
        text += TomlLine("option = 0.0");
        text += TomlLine("cellSize = " + TomlFloat(std::round(levels[k].SpacingMetres() * 100.0) / 100.0),
                         "m, the node spacing in latitude");
        text += TomlLine("bathymetryFile = \"bathymetry-level" + index + ".grd\"");
        text += TomlLine("outputFolder = \"out/level" + index + "\"");
        text += TomlLine("gaugeFile = \"gauges-level" + index + ".txt\"");
    }
    text += "\n[[sources]]\n";
    text += TomlLine("etaFile = \"initial-uplift.grd\"", "water level on level 0's nodes, m");
    text += TomlLine("insertionTime = 0.0", "s");
    return text;
}

}  // namespace

bool WriteRealisticExample(const std::string& dir, const ExampleOptions& options, std::string* error) {
    if (dir.empty()) {
        if (error) *error = "no folder given for the example";
        return false;
    }
    if (options.outputFormat < 0 || options.outputFormat > 3) {
        if (error) *error = "output format " + std::to_string(options.outputFormat) + " is not 0 to 3";
        return false;
    }
    if (!(options.endTimeMinutes > 0.0) || !std::isfinite(options.endTimeMinutes)) {
        if (error) *error = "the end time of the example must be a positive number of minutes";
        return false;
    }
    std::error_code code;
    std::filesystem::create_directories(dir, code);
    if (code || !std::filesystem::is_directory(dir)) {
        if (error) *error = dir + ": cannot create the folder" + (code ? ": " + code.message() : std::string());
        return false;
    }

    std::vector<LevelExtent> levels{LevelExtent{}};
    levels.push_back(levels[0].Nested(kLevel1));
    if (options.secondNestedLevel) levels.push_back(levels[1].Nested(kLevel2));
    const std::vector<std::vector<Gauge>> gauges{{kOffshore, kShelf, kBay}, {kBay, kBayHead}, {kBayHead}};

    // Never overwrite: the folder may hold a user's own scenario of the same names.
    std::vector<std::string> names{"scenario.toml", "initial-uplift.grd"};
    for (std::size_t k = 0; k < levels.size(); ++k) {
        names.push_back("bathymetry-level" + std::to_string(k) + ".grd");
        names.push_back("gauges-level" + std::to_string(k) + ".txt");
    }
    for (const std::string& name : names) {
        const std::string path = JoinPath(dir, name);
        if (std::filesystem::exists(path, code)) {
            if (error) *error = path + ": already exists; write the example into a new or empty folder";
            return false;
        }
    }

    for (std::size_t k = 0; k < levels.size(); ++k) {
        const std::string index = std::to_string(k);
        if (!WriteModelGrid(JoinPath(dir, "bathymetry-level" + index + ".grd"), SampleGrid(levels[k], DepthAt), error))
            return false;
        if (!WriteTextFile(JoinPath(dir, "gauges-level" + index + ".txt"), GaugeList(gauges[k]), error)) return false;
    }
    if (!WriteModelGrid(JoinPath(dir, "initial-uplift.grd"), SampleGrid(levels[0], UpliftAt), error)) return false;
    return WriteTextFile(JoinPath(dir, "scenario.toml"), ScenarioText(options, levels), error);
}
