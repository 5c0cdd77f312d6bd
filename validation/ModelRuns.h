#pragma once
// Building blocks of the cases: node grids written as Surfer text, scenario files, a quiet run
// of `vestra run` with its volume account, and the results read back.
#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "RunExtension.h"
#include "RunSummary.h"

// A node-registered grid: nx * ny values row-major from the row at y0, each row from x0.
struct NodeGrid {
    int nx = 0, ny = 0;
    double x0 = 0.0, y0 = 0.0, dx = 1.0, dy = 1.0;
    std::vector<double> values;
    double X(int i) const { return x0 + i * dx; }
    double Y(int j) const { return y0 + j * dy; }
    double& at(int i, int j) { return values[static_cast<size_t>(j) * nx + i]; }
    double at(int i, int j) const { return values[static_cast<size_t>(j) * nx + i]; }
};

// A grid of the given layout filled with f(x, y).
NodeGrid SampleGrid(int nx, int ny, double x0, double y0, double dx, double dy,
                    const std::function<double(double, double)>& f);

// Surfer text ("DSAA") with 9 significant digits, enough for lab scales.
bool WriteSurferGrid(const std::string& path, const NodeGrid& grid, std::string* error);
bool WriteTextFile(const std::string& path, const std::string& text, std::string* error);

// Runs the scenario file like `vestra run --quiet --no-plots`, with the simulator's standard
// output sent to `logPath`. False with a one-line reason unless the run completed.
bool RunModel(const std::string& scenarioPath, const std::string& pluginPath, const std::string& logPath,
              RunDiagnostics* diagnostics, std::string* error);

// Every record of a netCDF frame series ("NETCDF_H.nc"): its times and grids.
struct FrameSeries {
    std::vector<double> times;
    std::vector<NodeGrid> frames;
};
bool ReadFrameSeries(const std::string& path, FrameSeries* series, std::string* error);

// The summary of one level folder of a netCDF run (extremes, runup, gauges, and the runup along
// `transects`); the runup is looked for within `runupWindow` (xMin, xMax, yMin, yMax), by default
// over the whole level.
struct RunupWindow {
    double xMin = -HUGE_VAL, xMax = HUGE_VAL, yMin = -HUGE_VAL, yMax = HUGE_VAL;
};
LevelSummary ReadLevelSummary(const std::string& folder, bool spherical, const RunupWindow& runupWindow = {},
                              const std::vector<Transect>& transects = {});

// A gauge time-history file ("OUT-TIME-HISTORIES_ETA.dat"): times in seconds and, per gauge in
// the order of the header, its values.
struct GaugeHistories {
    std::vector<std::string> names;
    std::vector<double> times;
    std::vector<std::vector<double>> values;
};
bool ReadGaugeHistories(const std::string& path, GaugeHistories* histories, std::string* error);

// Normalised RMS difference of model against reference samples: sqrt(mean (m - r)^2) / max |r|.
double NormalisedRms(const std::vector<double>& model, const std::vector<double>& reference);

// First time the series rises to `level` (linear between samples); NaN if it never does. A gauge's
// arrival time is taken with `level` a fixed fraction of its own largest elevation, so model and
// measurement are timed at the same stage of the wave's front.
double ArrivalTime(const std::vector<double>& times, const std::vector<double>& values, double level);

// What a level's volume account leaves unexplained, as a share of the volume its sources brought in.
inline double UnexplainedVolumeShare(const LevelVolumeBudget& budget) {
    return std::fabs(budget.Imbalance()) / std::max(std::fabs(budget.sourceVolume), 1e-30);
}

// Rows of numbers of a data file, split at blanks, tabs or commas (CRLF or LF). A line whose
// numbers stop short of its end (a header, a comment) is skipped; with `columns` > 0 a row keeps
// its first `columns` numbers, and a line with fewer is skipped.
std::vector<std::vector<double>> ReadNumberRows(const std::string& path, size_t columns = 0);

// The largest value of `values` at `times` within [t0, t1]; -inf when no sample lies there.
double MaxWithin(const std::vector<double>& times, const std::vector<double>& values, double t0, double t1);

// Linear interpolation of (xs, ys) at x; xs ascending.
double Interpolate(const std::vector<double>& xs, const std::vector<double>& ys, double x);

// Number formatting for settings lines and notes.
std::string Num(double value, int digits = 6);

// The [numerics] lines of `vestra validate --dispersion` for a laboratory wave of incident height
// `height` (m): the dispersive correction on, with faces shallower than height / 0.78 (where a
// solitary wave of that height breaks, McCowan's limit H/h = 0.78, even before shoaling) left
// long-wave. Nothing without the option.
inline std::string DispersionLines(bool on, double height) {
    return on ? "dispersion = true\ndispersionMinDepth = " + Num(height / 0.78) + "\n" : std::string();
}

// The [numerics] line of `vestra validate --velocity-head`; nothing without the option.
inline std::string FrontLines(bool on) { return on ? "frontVelocityHead = true\n" : std::string(); }
