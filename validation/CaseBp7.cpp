// Tsunami runup onto a complex three-dimensional beach, the Monai valley (NTHMP benchmark 7,
// laboratory, 1:400 model of the 1993 Okushiri tsunami): a 5.488 m x 3.402 m basin, the incident
// water level measured at x = 0 drives the wave in through the west edge for 22.5 s, after which
// that edge lets waves out; the other three sides are the basin's walls. Compared with the gauges
// 5, 7 and 9 in front of the valley and the highest runup in the valley.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ModelRuns.h"
#include "ValidationCase.h"

namespace {

constexpr double kManning = 0.0025;   // s/m^(1/3), smooth flume
constexpr double kFluxCut = 1e-7;     // m^2/s: the classic 1e-4 stops thin runup tongues
constexpr double kInputEnd = 22.5;    // s, end of the incident water level
constexpr double kRunEnd = 25.0;      // s of model time
constexpr double kGaugeEvery = 0.05;  // s, as the lab gauges
constexpr int kLayerCells = 20;       // absorbing layer behind the west edge
constexpr double kArrivalShare = 0.5;  // arrival: the first rise to half the gauge's largest level
// The valley (runup window) and the lab's point of highest runup in it.
constexpr double kValleyXMin = 5.0, kValleyXMax = 5.3, kValleyYMin = 1.80, kValleyYMax = 1.96;
constexpr double kRunupX = 5.1575, kRunupY = 1.88;
// The information run's level 1, three times finer, on the lab's nodes 320..386 (x 4.48-5.404 m)
// and 100..200 (y 1.40-2.80 m): its edges lie 0.5 m or more from the valley's axis (with edges
// 0.2 m away its runup moved by 10 %).
constexpr int kFineFirstI = 320, kFineLastI = 386, kFineFirstJ = 100, kFineLastJ = 200;

struct Gauge {
    const char* name;
    double x, y;
    int column;  // in the lab file; the model lists its gauges in the same order
};
constexpr Gauge kGauges[] = {{"ch5", 4.521, 1.196, 1}, {"ch7", 4.521, 1.696, 2}, {"ch9", 4.521, 2.196, 3}};

// Bilinear interpolation between a grid's nodes; x and y are clamped to the grid.
double Bilinear(const NodeGrid& g, double x, double y) {
    const double u = std::clamp((x - g.x0) / g.dx, 0.0, g.nx - 1.0), v = std::clamp((y - g.y0) / g.dy, 0.0, g.ny - 1.0);
    const int i = std::min(static_cast<int>(u), g.nx - 2), j = std::min(static_cast<int>(v), g.ny - 2);
    const double a = u - i, b = v - j;
    return (1 - a) * (1 - b) * g.at(i, j) + a * (1 - b) * g.at(i + 1, j) + (1 - a) * b * g.at(i, j + 1) +
           a * b * g.at(i + 1, j + 1);
}

// A Surfer text grid ("DSAA") as a NodeGrid; false with a reason.
bool ReadSurferText(const std::string& path, NodeGrid* grid, std::string* error) {
    std::ifstream in(path);
    std::string tag;
    double x1, y1, zLow, zHigh;
    if (!(in >> tag >> grid->nx >> grid->ny >> grid->x0 >> x1 >> grid->y0 >> y1 >> zLow >> zHigh) || tag != "DSAA" ||
        grid->nx < 2 || grid->ny < 2) {
        *error = path + ": not a Surfer text grid";
        return false;
    }
    grid->dx = (x1 - grid->x0) / (grid->nx - 1);
    grid->dy = (y1 - grid->y0) / (grid->ny - 1);
    grid->values.resize(static_cast<size_t>(grid->nx) * grid->ny);
    for (double& v : grid->values)
        if (!(in >> v)) {
            *error = path + ": fewer values than " + std::to_string(grid->nx) + " x " + std::to_string(grid->ny);
            return false;
        }
    return true;
}



}  // namespace

CaseResult RunBp7Case(const CaseContext& context) {
    CaseResult result;
    result.title = "tsunami runup onto the Monai valley, laboratory 1:400 (NTHMP BP7)";
    const std::string data = context.dataFolder + "BP07/";
    const std::string f = context.folder;
    std::string error;
    auto fail = [&](const std::string& why) {
        result.failure = why;
        return result;
    };

    // Bathymetry: still depth, positive down, on the lab's 0.014 m nodes; every second node when quick.
    NodeGrid lab;
    if (!ReadSurferText(data + "Benchmark_2_Bathymetry.grd", &lab, &error)) return fail(error);
    const int stride = context.quick ? 2 : 1;
    NodeGrid depth{(lab.nx - 1) / stride + 1, (lab.ny - 1) / stride + 1, lab.x0, lab.y0, lab.dx * stride,
                   lab.dy * stride, {}};
    depth.values.resize(static_cast<size_t>(depth.nx) * depth.ny);
    for (int j = 0; j < depth.ny; ++j)
        for (int i = 0; i < depth.nx; ++i) depth.at(i, j) = lab.at(i * stride, j * stride);
    const double dx = depth.dx;
    // Steps of 0.41 dx / sqrt(g h_max) (h_max = 0.1354 m): a Courant number of 0.58 along a diagonal.
    const double dt = context.quick ? 0.01 : 0.005;
    const int gaugeSteps = static_cast<int>(std::lround(kGaugeEvery / dt));

    // The incident level, one record per step: record k holds the level at the end of step k.
    const auto input = ReadNumberRows(data + "Benchmark_2_input.txt");
    if (input.size() < 2) return fail(data + "Benchmark_2_input.txt: missing or empty");
    std::vector<double> inputT, inputEta;
    for (const auto& r : input)
        if (r.size() >= 2) {
            inputT.push_back(r[0]);
            inputEta.push_back(r[1]);
        }
    std::string series;
    char line[96];
    for (int k = 0;; ++k) {
        const double t = (k + 1) * dt;
        if (t > kInputEnd + 1e-9) break;
        std::snprintf(line, sizeof line, "%.6f %.8g 0 0\n", t, Interpolate(inputT, inputEta, t));
        series += line;
    }

    std::string gauges;
    for (const Gauge& g : kGauges) gauges += std::string(g.name) + " " + Num(g.x) + " " + Num(g.y) + "\n";
    // `extraGrids` adds levels after level 0 (the nested information run).
    auto scenarioWith = [&](const std::string& extraGrids) {
        return "name = \"BP7 Monai valley\"\n[parameters]\nthreadCount = 1\noutputFormat = 2\ntimeStep = " + Num(dt) +
            "\nendTime = " + Num(kRunEnd / 60.0, 10) + "\nsnapshotInterval = 0\nhistoryEverySteps = " +
            std::to_string(gaugeSteps) + "\nmanningCoefficient = " + Num(kManning) +
            "\nflowDepthLimit = 1e-5\n"
            "timeSeriesEnabled = true\ntimeSeriesFile = \"incident.txt\"\nseriesFirstIndex = 1\nseriesLastIndex = 1\n"
            "seriesMode = 1\nuseEtaOnly = true\n"
            "[boundary]\nkind = \"wall\"\nwest = \"absorbing\"\ncells = " + std::to_string(kLayerCells) +
            "\n[numerics]\nsmallFluxCut = " + Num(kFluxCut) + "\n" +
            DispersionLines(context.dispersion, *std::max_element(inputEta.begin(), inputEta.end())) +
            FrontLines(context.velocityHead) +
            "[[grids]]\ngridType = 0\ncellSize = " + Num(dx, 10) +
            "\nbathymetryFile = \"depth.grd\"\noutputFolder = \"out\"\ngaugeFile = \"gauges.txt\"\n" + extraGrids +
            // Water at rest to start with: the still level everywhere.
            "[[sources]]\netaFile = \"rest.grd\"\ninsertionTime = 0.0\n";
    };
    const std::string scenario = scenarioWith("");
    const NodeGrid rest = SampleGrid(depth.nx, depth.ny, depth.x0, depth.y0, dx, dx, [](double, double) { return 0.0; });
    RunDiagnostics diagnostics;
    std::error_code ec;
    std::filesystem::create_directories(f, ec);
    if (!WriteSurferGrid(f + "depth.grd", depth, &error) || !WriteSurferGrid(f + "rest.grd", rest, &error) ||
        !WriteTextFile(f + "incident.txt", series, &error) || !WriteTextFile(f + "gauges.txt", gauges, &error) ||
        !WriteTextFile(f + "scenario.toml", scenario, &error) ||
        !RunModel(f + "scenario.toml", context.pluginPath, f + "run.log", &diagnostics, &error))
        return fail(error);

    // Gauges: the model's histories (time in minutes, levels in m) against the lab's (s, cm).
    GaugeHistories history;
    if (!ReadGaugeHistories(f + "out/OUT-TIME-HISTORIES_ETA.dat", &history, &error)) return fail(error);
    const auto labGauges = ReadNumberRows(data + "output_ch5-7-9-0-40s.csv");
    if (history.times.size() < 10 || history.values.size() < 3)
        return fail(f + "out/OUT-TIME-HISTORIES_ETA.dat: too few records");
    if (labGauges.size() < 10) return fail(data + "output_ch5-7-9-0-40s.csv: missing or empty");
    for (const Gauge& g : kGauges) {
        const std::vector<double>& mt = history.times;
        std::vector<double> mv = history.values[static_cast<size_t>(g.column - 1)];
        std::vector<double> lt, lv;
        for (const auto& r : labGauges)
            if (r.size() >= 4 && r[0] <= kRunEnd) {
                lt.push_back(r[0]);
                lv.push_back(r[static_cast<size_t>(g.column)] / 100.0);
            }
        const double labMax = MaxWithin(lt, lv, 0.0, kRunEnd), modelMax = MaxWithin(mt, mv, 0.0, kRunEnd);
        const double labArrival = ArrivalTime(lt, lv, kArrivalShare * labMax);
        const double modelArrival = ArrivalTime(mt, mv, kArrivalShare * modelMax);
        std::vector<double> modelAtLab;
        for (double t : lt) modelAtLab.push_back(Interpolate(mt, mv, t));
        const std::string at = std::string("gauge ") + g.name + " (" + Num(g.x) + ", " + Num(g.y) + ") m";
        result.metrics.push_back({at + ": max level against the lab's " + Num(labMax * 100.0, 4) +
                                      " cm, relative error",
                                  RelativeError(modelMax, labMax), 0.10, ""});
        result.metrics.push_back({at + ": max level (model)", modelMax * 100.0, -1.0, "cm"});
        result.metrics.push_back({at + ": arrival (first rise to half the max), model - lab",
                                  modelArrival - labArrival, -1.0, "s"});
        result.metrics.push_back({at + ": normalised RMS over 0-" + Num(kRunEnd) + " s",
                                  NormalisedRms(modelAtLab, lv), -1.0, ""});
        for (double& v : mv) v *= 100.0;
        for (double& v : lv) v *= 100.0;
        result.panels.push_back(Panel{std::string("gauge ") + g.name, "t (s)", "water level (cm)",
                                      {{"model", mt, mv, false}, {"lab", lt, lv, true}}});
    }

    // Runup: the highest water level over wet land in the valley against the mean of the lab's
    // six runs at (5.1575, 1.88) m.
    const auto runupRows = ReadNumberRows(data + "OBS_RUNUP.txt");
    const std::vector<double>* valley = nullptr;
    for (const auto& r : runupRows)
        if (r.size() >= 3 && std::fabs(r[0] - kRunupX) < 1e-6 && std::fabs(r[1] - kRunupY) < 1e-6) valley = &r;
    if (valley == nullptr) return fail(data + "OBS_RUNUP.txt: no row at (5.1575, 1.88)");
    double labRunup = 0.0;
    for (size_t k = 2; k < valley->size(); ++k) labRunup += (*valley)[k];
    labRunup /= static_cast<double>(valley->size() - 2);
    const LevelSummary summary =
        ReadLevelSummary(f + "out/", false, RunupWindow{kValleyXMin, kValleyXMax, kValleyYMin, kValleyYMax});
    result.metrics.push_back({"valley runup against the lab's mean " + Num(labRunup * 100.0, 4) +
                                  " cm, relative error",
                              RelativeError(summary.runup, labRunup), 0.10, ""});
    result.metrics.push_back({"valley runup (model)", summary.runup * 100.0, -1.0, "cm"});
    result.notes.push_back("Model runup at (" + Num(summary.runupX, 4) + ", " + Num(summary.runupY, 4) + ") m.");
    // Where the water stopped: the lab's runup is the height of the ground at its inundation limit
    // (the bed at its point, interpolated, is 8.9 cm), so the runup node's ground and its distance
    // from the lab's point show how far short of that limit the model's front ends.
    if (std::isfinite(summary.runupX) && std::isfinite(summary.runupY)) {
        const long ri = std::lround((summary.runupX - depth.x0) / dx);
        const long rj = std::lround((summary.runupY - depth.y0) / dx);
        if (ri >= 0 && ri < depth.nx && rj >= 0 && rj < depth.ny)
            result.metrics.push_back({"valley runup node: ground height (model)",
                                      -depth.at(static_cast<int>(ri), static_cast<int>(rj)) * 100.0, -1.0, "cm"});
        result.metrics.push_back({"valley runup node: distance from the lab's point",
                                  std::hypot(summary.runupX - kRunupX, summary.runupY - kRunupY) * 100.0, -1.0, "cm"});
    }
    if (!diagnostics.volumeBudgets.empty())
        result.metrics.push_back({"volume account: unexplained / volume brought in by the incident level",
                                  UnexplainedVolumeShare(diagnostics.volumeBudgets[0]), -1.0, ""});

    // Information: the same run with a level 1 three times finer over the valley, its bed
    // interpolated bilinearly between the lab's nodes: what the grid's spacing costs the runup.
    const std::string n = f + "nested/";
    const double fineDx = dx / 3.0;
    const int fineNx = 3 * (kFineLastI - kFineFirstI) / stride + 1;
    const int fineNy = 3 * (kFineLastJ - kFineFirstJ) / stride + 1;
    const NodeGrid fine = SampleGrid(fineNx, fineNy, lab.X(kFineFirstI), lab.Y(kFineFirstJ), fineDx, fineDx,
                                     [&](double x, double y) { return Bilinear(lab, x, y); });
    RunDiagnostics nestedDiagnostics;
    std::filesystem::create_directories(n, ec);
    if (!WriteSurferGrid(n + "depth.grd", depth, &error) || !WriteSurferGrid(n + "rest.grd", rest, &error) ||
        !WriteSurferGrid(n + "valley.grd", fine, &error) || !WriteTextFile(n + "incident.txt", series, &error) ||
        !WriteTextFile(n + "gauges.txt", gauges, &error) ||
        !WriteTextFile(n + "scenario.toml",
                       scenarioWith("[[grids]]\ngridType = 0\nbathymetryFile = \"valley.grd\"\n"
                                    "outputFolder = \"valley\"\n"),
                       &error) ||
        !RunModel(n + "scenario.toml", context.pluginPath, n + "run.log", &nestedDiagnostics, &error))
        return fail(error);
    const LevelSummary nested =
        ReadLevelSummary(n + "valley/", false, RunupWindow{kValleyXMin, kValleyXMax, kValleyYMin, kValleyYMax});
    const std::string fineLabel = "with a level 1 at " + Num(fineDx * 100.0, 3) + " cm over the valley";
    result.metrics.push_back({"valley runup " + fineLabel + ", relative error (information)",
                              RelativeError(nested.runup, labRunup), -1.0, ""});
    result.metrics.push_back({"valley runup " + fineLabel + " (model)", nested.runup * 100.0, -1.0, "cm"});
    if (!nestedDiagnostics.volumeBudgets.empty())
        result.metrics.push_back({"volume account " + fineLabel + ": unexplained / volume brought in",
                                  UnexplainedVolumeShare(nestedDiagnostics.volumeBudgets[0]), -1.0, ""});

    result.settings = {
        "Cartesian, the lab's bathymetry (" + std::to_string(lab.nx) + " x " + std::to_string(lab.ny) +
            " nodes at 0.014 m)" + (context.quick ? " at every second node, dx = 0.028 m" : ", dx = 0.014 m") +
            ", time step " + Num(dt) + " s, 0-" + Num(kRunEnd) + " s",
        "incident level of Benchmark_2_input.txt held on column 1 (time-series band, one record per step, linear "
        "between the lab's 0.05 s samples) until 22.5 s; then the column is free",
        "[boundary] kind = \"wall\", west = \"absorbing\", cells = " + std::to_string(kLayerCells) +
            ": walls on the east, south and north, an absorbing layer behind the west edge",
        "manningCoefficient = " + Num(kManning) + ", flowDepthLimit = 1e-5 m, [numerics] smallFluxCut = " +
            Num(kFluxCut) + " m^2/s; dry cell at 1e-5 m total depth (default)",
        "gauges every " + Num(kGaugeEvery) + " s from the gauge files (levels to 0.1 mm: under 0.5 % of the "
        "2-5 cm crests)",
        "information run (folder nested/): the same with a level 1 three times finer over x " +
            Num(lab.X(kFineFirstI)) + "-" + Num(lab.X(kFineLastI)) + " m, y " + Num(lab.Y(kFineFirstJ)) + "-" +
            Num(lab.Y(kFineLastJ)) + " m, its bed interpolated bilinearly between the lab's nodes; its runup is read "
            "from level 1 in the same window"};
    result.notes.insert(result.notes.begin(), {
        "Gauge maxima over 0-" + Num(kRunEnd) + " s; arrival: the first time each series rises to half its own "
        "maximum, model minus lab (information).",
        "Runup: the highest water level over land that got wet (OUT-ETA-MAX where OUT-FLOWDEPTHMAXLAND > 0) with "
        "x " + Num(kValleyXMin) + "-" + Num(kValleyXMax) + " m, y " + Num(kValleyYMin) + "-" + Num(kValleyYMax) +
            " m; lab: mean of the six runs of OBS_RUNUP.txt at (5.1575, 1.88) m.",
        "Data: NTHMP 2011 benchmarking workshop, Monai valley (validation/data/BP07/README.md)."});
    return result;
}
