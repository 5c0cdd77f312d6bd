// Solitary wave on a conical island (NTHMP benchmark 6, laboratory; Briggs et al. 1995): a
// truncated cone, toe diameter 7.2 m, crest diameter 2.2 m, height 0.625 m, centred at
// (12.96, 13.80) m in a 25 m x 28.2 m basin of still depth d = 0.32 m. The wave enters from the
// west as an initial solitary wave with its flux,
//   eta = H sech^2(k (x - X0)),  k = sqrt(3 H / (4 d^3)),  M = c eta,  c = sqrt(g (d + H)),
// which moves east at c. Three cases, published as H/d = 0.045, 0.096, 0.181; the wave's height
// is taken from the lab's own gauges 1-4, which measured the incident wave.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ModelRuns.h"
#include "ValidationCase.h"

namespace {

constexpr double kG = 9.80665, kPi = 3.14159265358979323846;
constexpr double kDepth = 0.32;
constexpr double kCentreX = 12.96, kCentreY = 13.80;
constexpr double kToeRadius = 3.6, kCrestRadius = 1.1, kSlope = 0.25, kConeHeight = 0.625;
constexpr double kWest = -8.0, kEast = 25.0, kNorth = 28.2;  // basin extended west of the paddle
// The initial crest lies where the wave's front at the island's toe is sech^2(4.4) = 6e-4 of H:
// as close as that allows, since the long-wave equations carry no dispersion and steepen the
// wave along its way.
constexpr double kToeOffset = 4.4;
constexpr double kFluxCut = 1e-7;
constexpr double kManning = 0.01;
constexpr double kWindowAfter = 10.0;  // s after the crest passes gauge 2 that the comparison covers
constexpr double kArrivalShare = 0.5;  // arrival: the front reaching half the gauge's own maximum

struct Bp6Setup {
    char letter;
    double publishedHd;  // H/d of the incident wave as published
    double gaugeX;       // x of gauges 1-4
    const char* series;  // the lab's gauge file
    const char* runup;   // the lab's runup table
};
const Bp6Setup kSetups[] = {{'a', 0.045, 5.76, "ts2a.txt", "run2a.txt"},
                            {'b', 0.096, 6.82, "ts2b.txt", "run2b.txt"},
                            {'c', 0.181, 7.56, "ts2cnew1.txt", "run2c.txt"}};

// Ground height above the basin floor.
double Cone(double x, double y) {
    const double r = std::hypot(x - kCentreX, y - kCentreY);
    if (r <= kCrestRadius) return kConeHeight;
    return r >= kToeRadius ? 0.0 : (kToeRadius - r) * kSlope;
}


// Time of the largest value.
double TimeOfMax(const std::vector<double>& t, const std::vector<double>& v) {
    size_t best = 0;
    for (size_t k = 1; k < v.size(); ++k)
        if (v[k] > v[best]) best = k;
    return v.empty() ? NAN : t[best];
}

}  // namespace

CaseResult RunBp6Case(const CaseContext& context, char letter) {
    CaseResult result;
    const Bp6Setup* setup = nullptr;
    for (const Bp6Setup& s : kSetups)
        if (s.letter == letter) setup = &s;
    if (setup == nullptr) {
        result.failure = std::string("no conical-island case ") + letter;
        return result;
    }
    result.title = "solitary wave H/d = " + Num(setup->publishedHd) +
                   " on a conical island, laboratory (NTHMP BP6, case " + static_cast<char>(letter - 'a' + 'A') + ")";
    const std::string data = context.dataFolder + "BP06/";

    // The lab's gauges: time, then gauges 1, 2, 3, 4, 6, 9, 16, 22 (m).
    const auto lab = ReadNumberRows(data + setup->series, 9);
    const auto labRunup = ReadNumberRows(data + setup->runup, 4);
    if (lab.size() < 100 || labRunup.empty()) {
        result.failure = data + (lab.size() < 100 ? setup->series : setup->runup) + ": missing or unreadable";
        return result;
    }
    const char* gaugeNames[] = {"1", "2", "3", "4", "6", "9", "16", "22"};
    const double gaugeXY[8][2] = {{setup->gaugeX, 16.05}, {setup->gaugeX, 14.55}, {setup->gaugeX, 13.05},
                                  {setup->gaugeX, 11.55}, {9.36, 13.80},          {10.36, 13.80},
                                  {12.96, 11.22},         {15.56, 13.80}};
    // Each lab gauge measured from its own level over the first 2 s, before the wave came.
    std::vector<double> labTime;
    std::vector<std::vector<double>> labEta(8);
    for (const auto& row : lab) labTime.push_back(row[0]);
    for (int g = 0; g < 8; ++g) {
        double zero = 0.0;
        int n = 0;
        for (const auto& row : lab)
            if (row[0] < lab.front()[0] + 2.0) zero += row[g + 1], ++n;
        zero /= n;
        for (const auto& row : lab) labEta[g].push_back(row[g + 1] - zero);
    }
    const double labCrest = TimeOfMax(labTime, labEta[1]);
    const double from = labTime.front(), to = labCrest + kWindowAfter;
    // The incident wave: the mean crest of gauges 1-4 (each above its own still level).
    double incident = 0.0;
    for (int g = 0; g < 4; ++g) incident += 0.25 * MaxWithin(labTime, labEta[g], from, to);
    const double height = incident, hd = height / kDepth;

    // The model: node grid from kWest to kEast and 0 to kNorth, walls on every side.
    const double dx = context.cellSize > 0.0 ? context.cellSize : context.quick ? 0.1 : 0.05;
    const int nx = static_cast<int>(std::lround((kEast - kWest) / dx)) + 1;
    const int ny = static_cast<int>(std::lround(kNorth / dx)) + 1;
    const double k = std::sqrt(0.75 * hd) / kDepth, c = std::sqrt(kG * (kDepth + height));
    const double crestX0 = kCentreX - kToeRadius - kToeOffset / k;
    auto wave = [&](double x) { return height / std::pow(std::cosh(k * (x - crestX0)), 2); };
    const NodeGrid depth =
        SampleGrid(nx, ny, kWest, 0.0, dx, dx, [](double x, double y) { return kDepth - Cone(x, y); });
    const NodeGrid eta = SampleGrid(nx, ny, kWest, 0.0, dx, dx, [&](double x, double) { return wave(x); });
    // The x-flux of node i belongs to the face east of it, half a cell on.
    const NodeGrid flux = SampleGrid(nx, ny, kWest, 0.0, dx, dx, [&](double x, double) { return c * wave(x + 0.5 * dx); });
    // The crest reaches gauge 2 after about (x2 - X0) / c; the run covers the window after it.
    const double endTime = (setup->gaugeX - crestX0) / c + kWindowAfter + 1.0;
    const double dt = 0.4 * dx / std::sqrt(kG * (kDepth + height));

    std::string gauges, transects;
    for (int g = 0; g < 8; ++g)
        gauges += std::string("G") + gaugeNames[g] + " " + Num(gaugeXY[g][0], 8) + " " + Num(gaugeXY[g][1], 8) + "\n";
    // Runup lines from the island's centre out past its toe, one per measured angle: 0 degrees
    // north, 90 east (the lee side), 270 west (facing the wave).
    std::vector<Transect> lines;
    for (const auto& row : labRunup) {
        const double a = row[1] * kPi / 180.0, reach = kToeRadius + 0.4;
        lines.push_back({std::string("a").append(Num(row[1])), 0, kCentreX, kCentreY, kCentreX + reach * std::sin(a),
                         kCentreY + reach * std::cos(a)});
        transects += "[[transects]]\nname = \"" + lines.back().name + "\"\nstart = [" + Num(lines.back().x0, 10) + ", " +
                     Num(lines.back().y0, 10) + "]\nend = [" + Num(lines.back().x1, 10) + ", " +
                     Num(lines.back().y1, 10) + "]\n";
    }
    const std::string f = context.folder + "run/";
    std::error_code ec;
    std::filesystem::create_directories(f, ec);
    const std::string scenario =
        "name = \"BP6 case " + std::string(1, letter) + "\"\n[parameters]\nthreadCount = 1\noutputFormat = 2\n"
        "timeStep = " + Num(dt, 10) + "\nendTime = " + Num(endTime / 60.0, 10) +
        "\nsnapshotInterval = 0\nmanningCoefficient = " + Num(kManning) +
        "\nflowDepthLimit = 1e-5\nhistoryEverySteps = 1\n"
        "[boundary]\nkind = \"wall\"\n[numerics]\nsmallFluxCut = " + Num(kFluxCut) + "\n" + DispersionLines(context.dispersion, height) + FrontLines(context.velocityHead) +
        "[[grids]]\ngridType = 0\ncellSize = " + Num(dx, 10) +
        "\nbathymetryFile = \"depth.grd\"\noutputFolder = \"out\"\ngaugeFile = \"gauges.txt\"\n"
        "[[sources]]\netaFile = \"eta.grd\"\nfluxMFile = \"flux-m.grd\"\ninsertionTime = 0.0\n" + transects;
    std::string error;
    RunDiagnostics diagnostics;
    if (!WriteSurferGrid(f + "depth.grd", depth, &error) || !WriteSurferGrid(f + "eta.grd", eta, &error) ||
        !WriteSurferGrid(f + "flux-m.grd", flux, &error) || !WriteTextFile(f + "gauges.txt", gauges, &error) ||
        !WriteTextFile(f + "scenario.toml", scenario, &error) ||
        !RunModel(f + "scenario.toml", context.pluginPath, f + "run.log", &diagnostics, &error)) {
        result.failure = error;
        return result;
    }
    GaugeHistories model;
    if (!ReadGaugeHistories(f + "out/OUT-TIME-HISTORIES_ETA.dat", &model, &error) || model.values.size() != 8) {
        result.failure = error.empty() ? f + "out/OUT-TIME-HISTORIES_ETA.dat: not 8 gauges" : error;
        return result;
    }
    const LevelSummary summary = ReadLevelSummary(f + "out/", false, {}, lines);

    // Time origin: the model's clock shifted so that its crest passes gauge 2 when the lab's did.
    const double shift = labCrest - TimeOfMax(model.times, model.values[1]);
    std::vector<double> modelTime;
    for (double t : model.times) modelTime.push_back(t + shift);
    for (int g = 0; g < 8; ++g) {
        const std::string name = std::string("gauge ") + gaugeNames[g];
        const double labMax = MaxWithin(labTime, labEta[g], from, to);
        const double modelMax = MaxWithin(modelTime, model.values[g], from, to);
        result.metrics.push_back({name + " max amplitude (lab " + Num(labMax * 100.0, 3) + " cm), relative error",
                                  RelativeError(modelMax, labMax), 0.10, ""});
        std::vector<double> modelAtLab, labInWindow, times;
        for (size_t s = 0; s < labTime.size(); ++s)
            if (labTime[s] >= modelTime.front() && labTime[s] <= to) {
                times.push_back(labTime[s]);
                labInWindow.push_back(labEta[g][s]);
                modelAtLab.push_back(Interpolate(modelTime, model.values[g], labTime[s]));
            }
        if (g == 1) continue;  // gauge 2 fixes the time origin
        const double arrival = ArrivalTime(modelTime, model.values[g], kArrivalShare * modelMax) -
                               ArrivalTime(times, labInWindow, kArrivalShare * labMax);
        result.metrics.push_back({name + " arrival (half its maximum), model - lab", arrival, -1.0, "s"});
        result.metrics.push_back({name + " normalised RMS", NormalisedRms(modelAtLab, labInWindow), -1.0, ""});
    }
    for (int g : {1, 4, 5, 6, 7}) {
        Panel panel{std::string("gauge ") + gaugeNames[g], "t (s)", "eta (m)", {}};
        Series m{"model", {}, {}, false}, r{"lab", {}, {}, true};
        for (size_t s = 0; s < modelTime.size(); ++s)
            if (modelTime[s] >= labCrest - 8.0 && modelTime[s] <= to) {
                m.x.push_back(modelTime[s]);
                m.y.push_back(model.values[g][s]);
            }
        for (size_t s = 0; s < labTime.size(); ++s)
            if (labTime[s] >= labCrest - 8.0 && labTime[s] <= to) {
                r.x.push_back(labTime[s]);
                r.y.push_back(labEta[g][s]);
            }
        panel.series = {std::move(m), std::move(r)};
        result.panels.push_back(std::move(panel));
    }

    // Runup around the island.
    Panel runupPanel{"runup around the island", "angle (degrees, 90 = lee, 270 = facing the wave)", "R (cm)",
                     {{"model", {}, {}, false}, {"lab", {}, {}, true}}};
    double modelMaxRunup = -INFINITY, labMaxRunup = -INFINITY;
    std::vector<double> modelRunups, labRunups;
    std::string perAngle = "Runup per angle, model / lab (cm):";
    for (size_t i = 0; i < labRunup.size() && i < summary.transects.size(); ++i) {
        const double r = summary.transects[i].runup * 100.0, l = labRunup[i][2];
        runupPanel.series[0].x.push_back(labRunup[i][1]);
        runupPanel.series[0].y.push_back(r);
        runupPanel.series[1].x.push_back(labRunup[i][1]);
        runupPanel.series[1].y.push_back(l);
        modelMaxRunup = std::max(modelMaxRunup, std::isfinite(r) ? r : -INFINITY);
        labMaxRunup = std::max(labMaxRunup, l);
        // A line where no land node got wet (runup below the first node above the still level)
        // has no model runup; it is left out of the RMS and shown as nan.
        if (std::isfinite(r)) {
            modelRunups.push_back(r);
            labRunups.push_back(l);
        }
        char entry[96];
        std::snprintf(entry, sizeof entry, " %g: %.3g / %.3g;", labRunup[i][1], r, l);
        perAngle += entry;
    }
    result.metrics.push_back({"maximum runup (lab " + Num(labMaxRunup, 4) + " cm, model " + Num(modelMaxRunup, 4) +
                                  " cm), relative error",
                              RelativeError(modelMaxRunup, labMaxRunup), 0.10, ""});
    result.metrics.push_back({"runup at the " + std::to_string(labRunups.size()) + " of " +
                                  std::to_string(labRunup.size()) + " angles where land got wet, normalised RMS",
                              NormalisedRms(modelRunups, labRunups), -1.0, ""});
    result.panels.push_back(std::move(runupPanel));
    if (!diagnostics.volumeBudgets.empty())
        result.metrics.push_back({"volume account: unexplained / volume of the initial wave",
                                  UnexplainedVolumeShare(diagnostics.volumeBudgets[0]), -1.0, ""});

    result.settings = {
        "Cartesian basin x from " + Num(kWest) + " to " + Num(kEast) + " m, y from 0 to " + Num(kNorth) +
            " m, dx = " + Num(dx) + " m (" + std::to_string(nx) + " x " + std::to_string(ny) +
            " nodes), [boundary] kind = \"wall\"; still depth " + Num(kDepth) + " m",
        "initial solitary wave H/d = " + Num(hd, 3) + " (the mean crest of the lab's gauges 1-4 above their still level; " +
            "published " + Num(setup->publishedHd) + "), crest at x = " + Num(crestX0, 4) +
            " m (its front 6e-4 H at the island's toe), flux M = c eta with c = sqrt(g (d + H)) on the faces",
        "time step 0.4 dx / sqrt(g (d + H)) = " + Num(dt, 4) + " s, end " + Num(endTime, 4) +
            " s, gauge records every step (levels with 4 decimals, 0.1 mm)",
        "manningCoefficient = " + Num(kManning) + ", flowDepthLimit = 1e-5 m, velocityLimit at its default (40 m/s; Cartesian x-fluxes 30 m/s), " +
            "[numerics] smallFluxCut = " + Num(kFluxCut) + " m^2/s",
        "runup: [[transects]] from the island's centre " + Num(kToeRadius + 0.4) +
            " m outwards at each measured angle (0 = north, 90 = east)"};
    result.notes = {
        "Time origin: the model's time shifted by " + Num(shift, 4) +
            " s so that its crest passes gauge 2 when the lab's did (" + Num(labCrest, 4) + " s).",
        "Lab gauges taken from their mean over the first 2 s; maxima, RMS and arrivals over the lab's record up to " +
            Num(kWindowAfter) + " s after the crest passed gauge 2.",
        perAngle,
        "Data: Briggs et al. (1995) via the NTHMP 2011 workshop (validation/data/BP06/README.md); case A's runup "
        "differs by 30-50 % between published tables."};
    return result;
}
