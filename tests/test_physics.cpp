// Whole-step behaviour of the kernels against physical laws: the long-wave speed sqrt(g h),
// conservation of water, a lake at rest, flooding of a dry beach, open edges, the inertial
// oscillation, and results independent of the thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

#include "KernelFixture.h"
#include "Kernels.h"

namespace {

using fixture::CartesianLevel;
using fixture::SetDepth;
using fixture::SetLevel;
using fixture::SphericalLevel;

constexpr double kG = static_cast<double>(9.80665f);

KernelSettings Settings(float dt, int threads = 1) {
    KernelSettings s;
    s.threadCount = threads;
    s.timeStep = dt;
    return s;
}

// Channel along x: rows 2..4 water of depth depthAt(i), rows 1 and 5 land walls.
GridLevel ChannelX(int nx, const std::function<double(int)>& depthAt, float manning = 0.0f) {
    GridLevel level = CartesianLevel(nx, 5, manning);
    SetDepth(level, [&](int i, int j) { return (j == 1 || j == 5) ? -10.0 : depthAt(i); });
    return level;
}

// Channel along y: columns 2..4 water of depth depthAt(j), columns 1 and 5 land walls.
GridLevel ChannelY(int ny, const std::function<double(int)>& depthAt) {
    GridLevel level = CartesianLevel(5, ny);
    SetDepth(level, [&](int i, int j) { return (i == 1 || i == 5) ? -10.0 : depthAt(j); });
    return level;
}

// Position of the largest value of f(k) for k in [lo, hi], refined by a parabola through the
// maximum and its two neighbours.
double CrestPosition(const std::function<double(int)>& f, int lo, int hi) {
    int best = lo;
    for (int k = lo; k <= hi; ++k) {
        if (f(k) > f(best)) best = k;
    }
    const double a = f(best - 1), b = f(best), c = f(best + 1);
    return best + 0.5 * (a - c) / (a - 2.0 * b + c);
}

TEST(Physics, LinearWaveTravelsAtLongWaveSpeed) {
    // Depth 100 m, 100 m cells, 1 s steps (Courant number 0.31); a 1 cm hump splits into two
    // crests that must travel at sqrt(g h) = 31.32 m/s.
    const int nx = 500;
    const double dx = 100.0, dt = 1.0, h = 100.0;
    GridLevel level = ChannelX(nx, [&](int) { return h; });
    SetLevel(level, [](int i, int) { return 0.01 * std::exp(-(i - 250.0) * (i - 250.0) / 200.0); });
    const KernelSettings s = Settings(static_cast<float>(dt));
    auto row = [&](int i) { return static_cast<double>(level.eta[i][3]); };
    double east1 = 0, west1 = 0;
    for (int n = 1; n <= 600; ++n) {
        fixture::StepCartesian(level, dt / dx, n * dt, s);
        if (n == 200) {
            east1 = CrestPosition(row, 252, nx - 2);
            west1 = CrestPosition(row, 3, 248);
        }
    }
    const double east2 = CrestPosition(row, 252, nx - 2);
    const double west2 = CrestPosition(row, 3, 248);
    const double c = std::sqrt(kG * h);
    std::printf("crest speeds %.3f (east) %.3f (west) m/s, sqrt(g h) = %.3f m/s\n", (east2 - east1) * dx / 400.0,
                (west1 - west2) * dx / 400.0, c);
    EXPECT_NEAR((east2 - east1) * dx / 400.0, c, 0.01 * c);
    EXPECT_NEAR((west1 - west2) * dx / 400.0, c, 0.01 * c);
}

TEST(Physics, ClosedBasinConservesDisplacedVolume) {
    // Land walls three cells thick (the outermost cells are the open edge, not a wall), no
    // friction, a wave that never reaches the land, 2000 steps while it crosses the basin many
    // times. The flux form conserves sum(eta * area) exactly once every cell has moved; before
    // that, the leading edge of the wave loses what the zeroing of levels below 1e-5 m removes.
    auto basin = [](int nx, int ny) {
        return [=](int i, int j) { return (i <= 3 || i >= nx - 2 || j <= 3 || j >= ny - 2) ? -10.0 : 50.0; };
    };
    // A hump without tails below 1 mm, so that no initial level is zeroed.
    auto hump = [](int i, int j) {
        const double e = 0.5 * std::exp(-((i - 15.0) * (i - 15.0) + (j - 12.0) * (j - 12.0)) / 18.0);
        return e < 1e-3 ? 0.0 : e;
    };
    auto check = [](GridLevel& level, const std::function<void(int)>& step, const std::function<double(int)>& area,
                    const char* kind) {
        const double initial = fixture::DisplacedVolume(level, area);
        double spread = 0.0;
        for (int n = 1; n <= 2000; ++n) {
            step(n);
            if (n == 200) spread = fixture::DisplacedVolume(level, area);
        }
        const double final = fixture::DisplacedVolume(level, area);
        std::printf("%s: displaced volume drift %.2e overall, %.2e after step 200\n", kind,
                    (final - initial) / initial, (final - spread) / initial);
        EXPECT_NEAR(final, initial, 5e-4 * initial) << kind;
        EXPECT_NEAR(final, spread, 1e-5 * initial) << kind;
        EXPECT_GT(level.etaMax[30][20], 0.01f) << kind;  // the wave did cross the basin
    };
    const int nx = 40, ny = 30;
    GridLevel cartesian = CartesianLevel(nx, ny);
    SetDepth(cartesian, basin(nx, ny));
    SetLevel(cartesian, hump);
    const KernelSettings cs = Settings(10.0f);
    check(
        cartesian, [&](int n) { fixture::StepCartesian(cartesian, 10.0 / 1000.0, n * 10.0, cs); },
        [](int) { return 1.0; }, "Cartesian");

    GridLevel spherical = SphericalLevel(nx, ny, 140.0, 30.0, 1.0, 20.0, 0.0f, true);
    SetDepth(spherical, basin(nx, ny));
    SetLevel(spherical, hump);
    const KernelSettings ss = Settings(20.0f);
    // Cell areas grow with the cosine of the latitude.
    check(
        spherical, [&](int n) { fixture::StepSpherical(spherical, n * 20.0, ss); },
        [&](int j) { return static_cast<double>(spherical.cosLatitude[j]); }, "spherical");
}

TEST(Physics, LakeAtRestStaysAtRest) {
    // Islands, a shelving shore with cells just wet and just dry, friction and Coriolis on:
    // still water must produce no flux and no level change at all.
    auto shore = [](int i, int j) {
        if ((i - 12) * (i - 12) + (j - 10) * (j - 10) < 9) return -3.0;  // island
        return 20.0 - 0.8 * i + 0.05 * j;                                // beach towards the east
    };
    auto still = [](const GridLevel& level) {
        for (int i = 0; i <= level.nx + 2; ++i) {
            for (int j = 0; j <= level.ny + 2; ++j) {
                if (level.eta[i][j] != 0.0f || level.fluxM[i][j] != 0.0f || level.fluxN[i][j] != 0.0f) return false;
            }
        }
        return true;
    };
    GridLevel cartesian = CartesianLevel(36, 24, 0.025f);
    SetDepth(cartesian, shore);
    GridLevel spherical = SphericalLevel(36, 24, 140.0, 35.0, 1.0, 2.0, 0.025f, true);
    SetDepth(spherical, shore);
    const KernelSettings s = Settings(2.0f);
    for (int n = 1; n <= 300; ++n) {
        fixture::StepCartesian(cartesian, 2.0 / 200.0, n * 2.0, s);
        fixture::StepSpherical(spherical, n * 2.0, s);
    }
    EXPECT_TRUE(still(cartesian));
    EXPECT_TRUE(still(spherical));
    EXPECT_EQ(cartesian.stepMaximum, 0.0f);
    EXPECT_EQ(spherical.stepMaximum, 0.0f);
}

// A wave running up a plane beach in a channel closed by a wall three cells thick (the cell
// index along the channel, k, is 1 at that wall). With a quay, the beach ends at k = 136 in a
// vertical step up to a level stretch of land 0.5 m high. beachEast: the beach lies east of
// the wave; otherwise the same channel is mirrored in x.
struct FloodRun {
    double waterBefore = 0, waterAfter = 0;
    int wettedLandCells = 0;     // land cells that were flooded at least once
    std::vector<float> etaMax;   // along row 3, indexed by k
    std::vector<float> arrival;  // firstWaveArrival along row 3, minutes
    std::vector<float> flowDepth;
    std::vector<float> ground;   // -depth along row 3
    std::vector<float> eta;      // final water level along row 3
};

FloodRun RunFlood(bool beachEast, bool quay, bool advection = true) {
    const int nx = 160;
    auto depthAlong = [&](int k) {
        if (k <= 3 || k >= 158) return -10.0;
        if (quay && k >= 136) return -0.5;
        return std::min(10.0, 10.0 - (k - 100) * 0.25);
    };
    auto k = [&](int i) { return beachEast ? i : nx + 1 - i; };
    GridLevel level = ChannelX(nx, [&](int i) { return depthAlong(k(i)); }, 0.025f);
    if (!advection) {  // no cell is shallower than 0 m, so no cell keeps the advection terms
        level.optionEnabled = 1;
        level.optionValue = 0;
    }
    SetLevel(level, [&](int i, int) { return 1.0 * std::exp(-std::pow(k(i) - 60.0, 2) / 128.0); });
    FloodRun run;
    run.waterBefore = fixture::WaterVolume(level);
    const KernelSettings s = Settings(2.0f);
    for (int n = 1; n <= 400; ++n) fixture::StepCartesian(level, 2.0 / 50.0, n * 2.0, s);
    run.waterAfter = fixture::WaterVolume(level);
    for (auto* v : {&run.etaMax, &run.arrival, &run.flowDepth, &run.ground, &run.eta}) v->assign(nx + 1, 0.0f);
    for (int i = 1; i <= nx; ++i) {
        run.etaMax[k(i)] = level.etaMax[i][3];
        run.arrival[k(i)] = level.firstWaveArrival[i][3];
        run.flowDepth[k(i)] = level.maxFlowDepth[i][3];
        run.ground[k(i)] = -level.depth[i][3];
        run.eta[k(i)] = level.eta[i][3];
        if (level.depth[i][3] <= 0.0f && level.timeOfMaxWave[i][3] > 0.0f) ++run.wettedLandCells;
    }
    return run;
}

TEST(Physics, FloodingADryBeachConservesWaterAndRecordsIt) {
    const FloodRun run = RunFlood(true, false);
    // The hump holds 3 rows x 1 m x sqrt(2 pi) 8 cells = 60 m cells of water; what floods the
    // beach must come back or stay there, not vanish into the land.
    const double hump = 3.0 * std::sqrt(2.0 * std::numbers::pi) * 8.0;
    EXPECT_NEAR(run.waterAfter, run.waterBefore, 0.005 * hump);
    // Cells 140.. are land (ground up to 5 m); some are flooded, and their extremes say so.
    ASSERT_GE(run.wettedLandCells, 3);
    for (int k = 141; k < 141 + run.wettedLandCells - 1; ++k) {
        EXPECT_GT(run.etaMax[k], run.ground[k]) << "cell " << k;
        EXPECT_GT(run.arrival[k], 0.0f) << "cell " << k;
        EXPECT_GT(run.flowDepth[k], 0.0f) << "cell " << k;
        EXPECT_GE(run.arrival[k], run.arrival[k - 1]) << "the front moves inland, cell " << k;
    }
    EXPECT_EQ(run.etaMax[150], 0.0f);  // out of reach of a 1 m wave
}

TEST(Physics, FloodingIsMirrorSymmetric) {
    // Water spilling over a quay onto dry land, eastwards and (mirrored) westwards. Without the
    // advection terms (whose upwind choice at a still face, M = 0, looks east by convention) the
    // scheme has no preferred direction, so both runs must agree to the last bit: the face depth
    // at a wet/dry front is the wet level above the dry bed from either side.
    const FloodRun east = RunFlood(true, true, false);
    const FloodRun west = RunFlood(false, true, false);
    ASSERT_GE(east.wettedLandCells, 3);
    EXPECT_EQ(east.wettedLandCells, west.wettedLandCells);
    EXPECT_EQ(east.etaMax, west.etaMax);
    EXPECT_EQ(east.eta, west.eta);
    // With advection the runs differ only through that convention.
    const FloodRun eastAdvected = RunFlood(true, true);
    const FloodRun westAdvected = RunFlood(false, true);
    for (int k = 4; k <= 157; ++k) EXPECT_NEAR(eastAdvected.etaMax[k], westAdvected.etaMax[k], 0.01) << "cell " << k;
}

// Fraction of a pulse that an open edge sends back. A 10 cm hump in the middle of a channel of
// 200 cells, 10 m deep, open at both ends, splits into two 5 cm pulses; once both have left,
// what remains in each half of the channel is their reflection from the nearer edge.
struct Reflection {
    double first = 0;  // west (along x) or south (along y) edge
    double last = 0;   // east or north edge
};

Reflection MeasureReflection(double courant, bool alongX) {
    const int n = 200;
    const double dx = 100.0, h = 10.0, c = std::sqrt(kG * h), dt = courant * dx / c;
    GridLevel level = alongX ? ChannelX(n, [&](int) { return h; }) : ChannelY(n, [&](int) { return h; });
    SetLevel(level, [&](int i, int j) {
        const double x = (alongX ? i : j) - 100.0;
        return 0.1 * std::exp(-x * x / 128.0);
    });
    const KernelSettings s = Settings(static_cast<float>(dt));
    const int steps = static_cast<int>(std::ceil(170.0 * dx / c / dt));  // pulses travel 170 cells
    for (int t = 1; t <= steps; ++t) fixture::StepCartesian(level, dt / dx, t * dt, s);
    Reflection r;
    for (int k = 1; k <= n; ++k) {
        const double e = std::fabs(alongX ? level.eta[k][3] : level.eta[3][k]);
        (k <= n / 2 ? r.first : r.last) = std::max(k <= n / 2 ? r.first : r.last, e / 0.05);
    }
    return r;
}

TEST(Physics, OpenEdgesLetAPulseLeave) {
    // The edges radiate better the larger the Courant number; a frozen second
    // column or row (levels never updated) would send about 98 % of the pulse back.
    for (bool alongX : {true, false}) {
        const Reflection at04 = MeasureReflection(0.4, alongX);
        const Reflection at07 = MeasureReflection(0.7, alongX);
        const Reflection at09 = MeasureReflection(0.9, alongX);
        std::printf("%s: reflection at Courant 0.4 / 0.7 / 0.9: first edge %.3f %.3f %.3f, last edge %.3f %.3f %.3f\n",
                    alongX ? "x" : "y", at04.first, at07.first, at09.first, at04.last, at07.last, at09.last);
        EXPECT_LT(at04.first, 0.5);
        EXPECT_LT(at07.first, 0.25);
        EXPECT_LT(at09.first, 0.1);
        EXPECT_LT(at07.first, at04.first);
        EXPECT_LT(at09.first, at07.first);
        // The east and north edges radiate as the west and south ones do.
        EXPECT_NEAR(at04.last, at04.first, 0.005);
        EXPECT_NEAR(at07.last, at07.first, 0.005);
        EXPECT_NEAR(at09.last, at09.first, 0.005);
    }
}

TEST(Physics, UniformFlowTurnsWithTheInertialPeriod) {
    // A uniform eastward flow on a flat sea 10 m deep around 45 N, friction off, Coriolis on,
    // turns clockwise at the Coriolis frequency f = 2 Omega sin(phi): half a circle in about
    // 8.5 h. Cells of 5 arc-minutes (6.6 km x 9.3 km), 300 s steps; the grid is large enough
    // that waves from its edges (10 m/s) do not reach the centre within that time.
    const int nx = 121, ny = 91;
    const double dt = 300.0, yMin = 45.0 - 45.5 * 5.0 / 60.0;
    GridLevel level = SphericalLevel(nx, ny, 140.0, yMin, 5.0, dt, 0.0f, true);
    SetDepth(level, [](int, int) { return 10.0; });
    for (int i = 0; i <= nx + 2; ++i) {
        for (int j = 0; j <= ny + 2; ++j) level.fluxM[i][j] = level.fluxMNext[i][j] = 1.0f;
    }
    const KernelSettings s = Settings(static_cast<float>(dt));
    const int ic = 61, jc = 46;
    const double latitude = (yMin + (jc - 0.5) * 5.0 / 60.0) * fixture::kDegree;
    const double f = 2.0 * fixture::kEarthRotation * std::sin(latitude);
    const int halfPeriodSteps = static_cast<int>(std::numbers::pi / f / dt);  // 101 steps
    double turned = 0.0, previous = 0.0;
    for (int n = 1; n <= halfPeriodSteps; ++n) {
        fixture::StepSpherical(level, n * dt, s);
        // Unwrapped angle of (M, N), negative when turning clockwise.
        const double angle = std::atan2(level.fluxN[ic][jc], level.fluxM[ic][jc]);
        double step = angle - previous;
        if (step > std::numbers::pi) step -= 2.0 * std::numbers::pi;
        if (step < -std::numbers::pi) step += 2.0 * std::numbers::pi;
        turned += step;
        previous = angle;
        if (n == halfPeriodSteps / 2) {
            EXPECT_NEAR(turned, -f * n * dt, 0.02 * f * n * dt) << "quarter period";
        }
    }
    std::printf("turned %.4f rad in %d steps, f t = %.4f rad\n", turned, halfPeriodSteps, f * halfPeriodSteps * dt);
    EXPECT_NEAR(turned, -f * halfPeriodSteps * dt, 0.02 * f * halfPeriodSteps * dt);
    // The explicit rotation keeps the speed to within a few percent over half a period.
    const double speed = std::hypot(level.fluxM[ic][jc], level.fluxN[ic][jc]);
    EXPECT_NEAR(speed, 1.0, 0.06);
}

// Every field of two levels, byte for byte.
void ExpectIdentical(GridLevel& a, GridLevel& b, const char* what, int threads) {
    const std::vector<Field*> fa = fixture::AllFields(a);
    const std::vector<Field*> fb = fixture::AllFields(b);
    int differing = 0;
    for (std::size_t k = 0; k < fa.size(); ++k) differing += fixture::SameBytes(*fa[k], *fb[k]) ? 0 : 1;
    EXPECT_EQ(differing, 0) << what << " with " << threads << " threads";
    EXPECT_EQ(a.stepMaximum, b.stepMaximum) << what << " with " << threads << " threads";
}

TEST(Physics, ResultsDoNotDependOnTheThreadCount) {
    // 200 steps of a nonlinear wave that floods an island and a beach, with friction and
    // Coriolis: every field must be bit-identical whatever the number of threads.
    auto depth = [](int i, int j) {
        if ((i - 30) * (i - 30) + (j - 20) * (j - 20) < 16) return -2.0;  // island
        return 30.0 - 0.75 * i;                                          // beach in the east
    };
    auto wave = [](int i, int j) { return 2.0 * std::exp(-((i - 18.0) * (i - 18.0) + (j - 22.0) * (j - 22.0)) / 20.0); };
    auto run = [&](bool spherical, int threads, int steps) {
        GridLevel level = spherical ? SphericalLevel(48, 40, 140.0, 30.0, 0.05, 2.0, 0.03f, true)
                                    : CartesianLevel(48, 40, 0.03f);
        SetDepth(level, depth);
        SetLevel(level, wave);
        const KernelSettings s = Settings(2.0f, threads);
        for (int n = 1; n <= steps; ++n) {
            if (spherical) {
                fixture::StepSpherical(level, n * 2.0, s);
            } else {
                fixture::StepCartesian(level, 2.0 / 50.0, n * 2.0, s);
            }
        }
        return level;
    };
    for (bool spherical : {true, false}) {
        GridLevel reference = run(spherical, 1, 200);
        int floodedLand = 0;
        for (int i = 1; i <= 48; ++i) {
            for (int j = 1; j <= 40; ++j) floodedLand += reference.depth[i][j] <= 0.0f && reference.etaMax[i][j] > 0.0f;
        }
        EXPECT_GT(floodedLand, 5) << "the wave must reach dry land";
        GridLevel twoThreads = run(spherical, 2, 200);
        ExpectIdentical(reference, twoThreads, spherical ? "spherical" : "Cartesian", 2);
        // More threads than cores split the columns differently again; 60 steps (the wave has
        // reached the island) keep the oversubscribed runs short.
        GridLevel shortReference = run(spherical, 1, 60);
        for (int threads : {3, 4}) {
            GridLevel other = run(spherical, threads, 60);
            ExpectIdentical(shortReference, other, spherical ? "spherical" : "Cartesian", threads);
        }
    }
}

}  // namespace
