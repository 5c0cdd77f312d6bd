#include "ExampleScenario.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A Cartesian basin of 60 x 40 cells of 500 m: a plane beach rising from 200 m of water
// in the west to 20 m above sea level in the east, and a 1 m Gaussian hump of water
// (2 km wide) offshore that runs up the beach.
constexpr int kColumns = 60;
constexpr int kRows = 40;
constexpr double kCellSize = 500.0;  // metres
constexpr double kXMax = (kColumns - 1) * kCellSize;
constexpr double kYMax = (kRows - 1) * kCellSize;

// Still-water depth, metres, positive in the sea and negative on land.
double Depth(double x, double) { return 200.0 - 220.0 * x / kXMax; }

double InitialWaterLevel(double x, double y) {
    if (Depth(x, y) <= 0.0) return 0.0;
    const double dx = x - 7500.0, dy = y - 0.5 * kYMax, width = 2000.0;
    return 1.0 * std::exp(-(dx * dx + dy * dy) / (2.0 * width * width));
}

// Surfer text grid ("DSAA"): rows from the southern edge northward, each west to east.
bool WriteSurferTextGrid(const fs::path& path, const std::function<double(double, double)>& value,
                         std::string* error) {
    std::vector<double> values;
    values.reserve(static_cast<size_t>(kColumns) * kRows);
    for (int j = 0; j < kRows; ++j)
        for (int i = 0; i < kColumns; ++i) values.push_back(value(i * kCellSize, j * kCellSize));
    const auto [low, high] = std::minmax_element(values.begin(), values.end());

    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        *error = path.string() + ": cannot be created";
        return false;
    }
    std::fprintf(f, "DSAA\n%d %d\n%.1f %.1f\n%.1f %.1f\n%.4f %.4f\n", kColumns, kRows, 0.0, kXMax, 0.0, kYMax, *low,
                 *high);
    for (int j = 0; j < kRows; ++j) {
        for (int i = 0; i < kColumns; ++i)
            std::fprintf(f, i + 1 < kColumns ? "%.4f " : "%.4f\n", values[static_cast<size_t>(j) * kColumns + i]);
    }
    const bool ok = std::ferror(f) == 0;
    if (std::fclose(f) != 0 || !ok) {
        *error = path.string() + ": write error";
        return false;
    }
    return true;
}

bool WriteText(const fs::path& path, const char* text, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        *error = path.string() + ": cannot be created";
        return false;
    }
    std::fputs(text, f);
    const bool ok = std::ferror(f) == 0;
    if (std::fclose(f) != 0 || !ok) {
        *error = path.string() + ": write error";
        return false;
    }
    return true;
}

// Gauge names carry no '_': the result tables use it to separate name and depth.
const char* kGauges =
    "Offshore 15000 9750\n"
    "Nearshore 25000 9750\n"
    "Shore 26500 5000\n";

const char* kScenario =
    "# A Gaussian hump of water running up a plane beach (Cartesian grid, 500 m cells).\n"
    "name = \"Plane beach\"\n"
    "\n"
    "[parameters]\n"
    "timeStep = 1.0           # seconds; the stability limit is 500 m / (sqrt(9.8 * 200 m) * sqrt(2)) = 8 s\n"
    "endTime = 5.0            # minutes\n"
    "outputFormat = 0         # Surfer text grids\n"
    "snapshotInterval = 60.0  # seconds between water-level frames\n"
    "historyEverySteps = 5    # gauge records every 5 steps\n"
    "\n"
    "[boundary]\n"
    "kind = \"absorbing\"       # waves leave through level 0's edges (\"radiating\", \"wall\")\n"
    "cells = 20               # width of the absorbing layer added outside the grid\n"
    "\n"
    "[[grids]]\n"
    "gridType = 0             # Cartesian\n"
    "coriolis = false\n"
    "option = 0.0\n"
    "cellSize = 500.0         # metres\n"
    "bathymetryFile = \"bathymetry.grd\"\n"
    "outputFolder = \"output/level0\"\n"
    "gaugeFile = \"gauges.txt\"\n"
    "\n"
    "[[sources]]\n"
    "etaFile = \"initial-eta.grd\"\n"
    "insertionTime = 0.0      # seconds\n";

}  // namespace

bool WriteExampleScenario(const std::string& dir, std::string* error) {
    const fs::path folder(dir);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder)) {
        *error = dir + ": cannot create the folder" + (ec ? ": " + ec.message() : std::string());
        return false;
    }
    const fs::path scenario = folder / "scenario.toml", bathymetry = folder / "bathymetry.grd",
                   eta = folder / "initial-eta.grd", gauges = folder / "gauges.txt";
    for (const fs::path& p : {scenario, bathymetry, eta, gauges}) {
        if (fs::exists(p, ec)) {
            *error = p.string() + ": already exists (choose an empty folder)";
            return false;
        }
    }
    return WriteSurferTextGrid(bathymetry, Depth, error) && WriteSurferTextGrid(eta, InitialWaterLevel, error) &&
           WriteText(gauges, kGauges, error) && WriteText(scenario, kScenario, error);
}
