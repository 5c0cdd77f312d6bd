// Thacker's planar surface oscillating in a parabolic channel: an exact solution of the
// nonlinear shallow-water equations with a moving shoreline.
//
// Still-water depth h(X) = h0 (1 - X^2 / a^2) (negative beyond |X| = a: land). With a uniform
// velocity u(t) = U0 sin(w t), w = sqrt(2 g h0) / a, the water surface stays a plane,
//   eta(X, t) = A(t) X + C(t),  A = -(U0 w / g) cos(w t),  C = -U0^2 cos^2(w t) / (2 g),
// wherever the total depth h + eta is positive: the water body is the bowl's own shape shifted
// by X = A a^2 / (2 h0), so both shorelines move as rigid points. At t = 0 the water rests with
// a tilted surface. (W. C. Thacker, "Some exact solutions to the nonlinear shallow-water wave
// equations", J. Fluid Mech. 107, 499-508, 1981; the one-dimensional form as in the SWASHES
// collection, Delestre et al., Int. J. Numer. Meth. Fluids 72, 269-300, 2013.)
#include <algorithm>
#include <cmath>

#include "ModelRuns.h"
#include "ValidationCase.h"

namespace {

constexpr double kG = 9.80665;
constexpr double kA = 1.0;     // bowl half-width at the still level, m
constexpr double kH0 = 0.1;    // depth at the centre, m
constexpr double kShift = 0.2;  // largest shoreline shift as a share of a
constexpr double kHalfLength = 2.0;
// The classic cut of 1e-4 m^2/s would hold this water still: with small steps the first
// pressure-driven flux, g h dEta/dx dt, stays below it and is cut on every step.
constexpr double kFluxCut = 1e-7;

struct Thacker {
    double w = std::sqrt(2.0 * kG * kH0) / kA;
    double a0 = 2.0 * kH0 * kShift / kA;  // |A| at its largest
    double u0 = kG * a0 / w;
    double Slope(double t) const { return -(u0 * w / kG) * std::cos(w * t); }
    double Offset(double t) const { return -u0 * u0 * std::pow(std::cos(w * t), 2) / (2.0 * kG); }
    double Depth(double x) const { return kH0 * (1.0 - x * x / (kA * kA)); }
    // The water level of a wet point, or NaN where the plane lies below the ground.
    double Level(double x, double t) const {
        const double level = Slope(t) * x + Offset(t);
        return level + Depth(x) > 0.0 ? level : NAN;
    }
    // Height of the two shorelines: the water body spans X = s a^2/(2 h0) -+ a, s = A(t).
    double ShoreHeight(double t) const {
        const double centre = Slope(t) * kA * kA / (2.0 * kH0);
        double best = -1.0;
        for (double x : {centre - kA, centre + kA}) best = std::max(best, Slope(t) * x + Offset(t));
        return best;
    }
};

}  // namespace

CaseResult RunThackerCase(const CaseContext& context) {
    CaseResult result;
    result.title = "planar surface oscillating in a parabolic channel (Thacker 1981), analytic";
    const Thacker exact;
    const double period = 2.0 * M_PI / exact.w;
    const double dx = context.quick ? 0.01 : 0.0025;
    const int nx = static_cast<int>(std::lround(2.0 * kHalfLength / dx)) + 1, ny = 4;
    const double c = std::sqrt(kG * (kH0 + 0.05));
    const double frameInterval = period / 40.0;
    const int stepsPerFrame = static_cast<int>(std::ceil(frameInterval / (0.5 * dx / c)));
    const double dt = frameInterval / stepsPerFrame;
    const double endTime = 2.0 * period;

    std::string error;
    const NodeGrid depth = SampleGrid(nx, ny, -kHalfLength, 0.0, dx, dx, [&](double x, double) { return exact.Depth(x); });
    NodeGrid eta = depth;
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            const double level = exact.Level(eta.X(i), 0.0), h = depth.at(i, j);
            eta.at(i, j) = std::isfinite(level) ? level : (h > 0.0 ? -h : 0.0);
        }
    const std::string f = context.folder;
    const std::string scenario =
        "name = \"Thacker planar oscillation\"\n[parameters]\nthreadCount = 1\noutputFormat = 2\n"
        "timeStep = " + Num(dt, 10) + "\nendTime = " + Num(endTime / 60.0, 10) +
        "\nsnapshotInterval = " + Num(frameInterval, 10) +
        "\nmanningCoefficient = 0.0\nflowDepthLimit = 1e-5\nhistoryEverySteps = 1000000\n"
        "[boundary]\nkind = \"wall\"\n[numerics]\nsmallFluxCut = " + Num(kFluxCut) + "\n" + FrontLines(context.velocityHead) +
        "[[grids]]\ngridType = 0\ncellSize = " + Num(dx, 10) +
        "\nbathymetryFile = \"depth.grd\"\noutputFolder = \"out\"\n"
        "[[sources]]\netaFile = \"eta.grd\"\ninsertionTime = 0.0\n";
    RunDiagnostics diagnostics;
    if (!WriteSurferGrid(f + "depth.grd", depth, &error) || !WriteSurferGrid(f + "eta.grd", eta, &error) ||
        !WriteTextFile(f + "scenario.toml", scenario, &error) ||
        !RunModel(f + "scenario.toml", context.pluginPath, f + "run.log", &diagnostics, &error)) {
        result.failure = error;
        return result;
    }
    FrameSeries frames;
    if (!ReadFrameSeries(f + "out/NETCDF_H.nc", &frames, &error)) {
        result.failure = error;
        return result;
    }
    result.settings = {"Cartesian, 1-D channel of " + std::to_string(nx) + " x " + std::to_string(ny) +
                           " nodes, dx = " + Num(dx) + " m, walls on all sides",
                       "timeStep = " + Num(dt, 4) + " s, two periods (" + Num(endTime, 4) + " s), frames every " +
                           Num(frameInterval, 4) + " s (netCDF)",
                       "manningCoefficient = 0 (frictionless, as the solution), flowDepthLimit = 1e-5 m, "
                       "[numerics] smallFluxCut = " + Num(kFluxCut) + " m^2/s"};
    result.notes = {"h(X) = h0 (1 - X^2/a^2), eta(X,t) = A(t) X + C(t) where h + eta > 0, A = -(U0 w/g) cos wt, "
                    "C = -U0^2 cos^2(wt)/(2g), u = U0 sin wt, w = sqrt(2 g h0)/a; a = 1 m, h0 = 0.1 m, "
                    "U0 = " + Num(exact.u0, 4) + " m/s (shorelines move by 0.2 a). Thacker, J. Fluid Mech. 107 "
                    "(1981) 499-508; SWASHES (Delestre et al. 2013).",
                    "Runup: the highest water level over land that got wet (OUT-ETA-MAX where "
                    "OUT-FLOWDEPTHMAXLAND > 0), against the highest analytic shoreline."};

    // Gauges at X = -a/2 and +a/2 (always wet), from the frames' middle row.
    const int row = ny / 2;
    Panel series{"water level at gauges", "t (s)", "eta (m)", {}};
    for (double xg : {-0.5 * kA, 0.5 * kA}) {
        const int i = static_cast<int>(std::lround((xg + kHalfLength) / dx));
        Series model{"model X = " + Num(xg) + " m", {}, {}, false}, ref{"analytic X = " + Num(xg) + " m", {}, {}, true};
        double modelMax = -1e9, refMax = -1e9;
        for (size_t k = 0; k < frames.frames.size(); ++k) {
            const double t = frames.times[k];
            model.x.push_back(t);
            model.y.push_back(frames.frames[k].at(i, row));
            ref.x.push_back(t);
            ref.y.push_back(exact.Level(depth.X(i), t));
            modelMax = std::max(modelMax, model.y.back());
            refMax = std::max(refMax, ref.y.back());
        }
        result.metrics.push_back({"max level at X = " + Num(xg) + " m, relative error", RelativeError(modelMax, refMax), 0.05, ""});
        result.metrics.push_back({"level at X = " + Num(xg) + " m, normalised RMS", NormalisedRms(model.y, ref.y), -1.0, ""});
        // Phase: the first rise to half the highest level from below it (the gauge at -a/2 starts high).
        auto rise = [](const Series& v, double top) {
            size_t k = 0;
            while (k < v.y.size() && v.y[k] >= 0.5 * top) ++k;
            return ArrivalTime({v.x.begin() + static_cast<long>(k), v.x.end()},
                               {v.y.begin() + static_cast<long>(k), v.y.end()}, 0.5 * top);
        };
        result.metrics.push_back({"first rise to half the max at X = " + Num(xg) + " m, model - analytic",
                                  rise(model, modelMax) - rise(ref, refMax), -1.0, "s"});
        series.series.push_back(std::move(model));
        series.series.push_back(std::move(ref));
    }
    // Runup against the analytic highest shoreline.
    double shoreMax = 0.0;
    for (double t = 0.0; t <= endTime; t += period / 1000.0) shoreMax = std::max(shoreMax, exact.ShoreHeight(t));
    const LevelSummary summary = ReadLevelSummary(f + "out/", false);
    result.metrics.push_back({"runup, relative error", RelativeError(summary.runup, shoreMax), 0.05, ""});
    result.metrics.push_back({"runup (model)", summary.runup, -1.0, "m"});
    result.metrics.push_back({"runup (analytic)", shoreMax, -1.0, "m"});

    // Profiles at a quarter and a half period after one full period.
    Panel profiles{"water level along the channel", "X (m)", "eta (m)", {}};
    for (double share : {1.0, 1.25, 1.5}) {
        const double target = share * period;
        size_t k = 0;
        for (size_t n = 0; n < frames.times.size(); ++n)
            if (std::fabs(frames.times[n] - target) < std::fabs(frames.times[k] - target)) k = n;
        Series model{"model t = " + Num(frames.times[k], 3) + " s", {}, {}, false}, ref{"analytic", {}, {}, true};
        for (int i = 0; i < nx; ++i) {
            const double x = depth.X(i), level = frames.frames[k].at(i, row);
            if (level + depth.at(i, row) > 1e-5) {
                model.x.push_back(x);
                model.y.push_back(level);
            }
            const double exactLevel = exact.Level(x, frames.times[k]);
            if (std::isfinite(exactLevel) && i % std::max(1, nx / 60) == 0) {
                ref.x.push_back(x);
                ref.y.push_back(exactLevel);
            }
        }
        profiles.series.push_back(std::move(model));
        profiles.series.push_back(std::move(ref));
    }
    result.panels = {std::move(series), std::move(profiles)};
    return result;
}
