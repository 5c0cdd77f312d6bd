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

namespace {

using namespace fixture;

// Channel of n cells along x (or y): rows (columns) 2..4 water of depth depthAt(k), 1 and 5 land walls.
GridLevel Channel(int n, const std::function<double(int)>& depthAt, bool alongX = true, float manning = 0.0f) {
    GridLevel level = alongX ? CartesianLevel(n, 5, manning) : CartesianLevel(5, n, manning);
    SetDepth(level, [&](int i, int j) {
        const int across = alongX ? j : i;
        return across == 1 || across == 5 ? -10.0 : depthAt(alongX ? i : j);
    });
    return level;
}

// Sum of f(i, j) over the interior cells.
double Sum(const GridLevel& level, const std::function<double(int, int)>& f) {
    double sum = 0.0;
    ForEachCell(level, [&](int i, int j) { sum += f(i, j); }, false);
    return sum;
}

// Position of the largest value of f(k) for k in [lo, hi], refined by a parabola through the
// maximum and its two neighbours.
double CrestPosition(const std::function<double(int)>& f, int lo, int hi) {
    int best = lo;
    for (int k = lo; k <= hi; ++k) best = f(k) > f(best) ? k : best;
    const double a = f(best - 1), b = f(best), c = f(best + 1);
    return best + 0.5 * (a - c) / (a - 2.0 * b + c);
}

TEST(Physics, LinearWaveTravelsAtLongWaveSpeed) {
    // Depth 100 m, 100 m cells, 1 s steps (Courant number 0.31); a 1 cm hump splits into two
    // crests that must travel at sqrt(g h) = 31.32 m/s.
    GridLevel level = Channel(500, [](int) { return 100.0; });
    SetLevel(level, [](int i, int) { return 0.01 * std::exp(-(i - 250.0) * (i - 250.0) / 200.0); });
    auto row = [&](int i) { return static_cast<double>(level.eta[i][3]); };
    double east = 0, west = 0;
    for (int n = 1; n <= 600; ++n) {
        Step(level, n, Settings(1.0f), 1.0 / 100.0);
        if (n == 200) east = CrestPosition(row, 252, 498), west = CrestPosition(row, 3, 248);
    }
    // The crests move 400 s between the two looks.
    const double c = std::sqrt(kG * 100.0), eastSpeed = (CrestPosition(row, 252, 498) - east) * 100.0 / 400.0;
    const double westSpeed = (west - CrestPosition(row, 3, 248)) * 100.0 / 400.0;
    std::printf("crest speeds %.3f (east) %.3f (west) m/s, sqrt(g h) = %.3f m/s\n", eastSpeed, westSpeed, c);
    EXPECT_NEAR(eastSpeed, c, 0.01 * c);
    EXPECT_NEAR(westSpeed, c, 0.01 * c);
}

TEST(Physics, ClosedBasinConservesDisplacedVolume) {
    // Land walls three cells thick (the outermost cells are the open edge, not a wall), no
    // friction, a wave that never reaches the land, 2000 steps while it crosses the basin many
    // times. The flux form conserves sum(eta * area) exactly once every cell has moved; before
    // that, the leading edge of the wave loses what the zeroing of levels below 1e-5 m removes.
    // On the sphere cell areas grow with the cosine of the latitude.
    for (bool spherical : {false, true}) {
        GridLevel level = spherical ? SphericalLevel(40, 30, 140.0, 30.0, 1.0, 20.0, 0.0f, true)
                                    : CartesianLevel(40, 30);
        SetDepth(level, [](int i, int j) { return i <= 3 || i >= 38 || j <= 3 || j >= 28 ? -10.0 : 50.0; });
        // A hump without tails below 1 mm, so that no initial level is zeroed.
        SetLevel(level, [](int i, int j) {
            const double e = 0.5 * std::exp(-((i - 15.0) * (i - 15.0) + (j - 12.0) * (j - 12.0)) / 18.0);
            return e < 1e-3 ? 0.0 : e;
        });
        auto volume = [&] {
            return Sum(level, [&](int i, int j) {
                return level.depth[i][j] > 0.0f ? level.eta[i][j] * (spherical ? level.cosLatitude[j] : 1.0) : 0.0;
            });
        };
        const double dt = spherical ? 20.0 : 10.0, initial = volume();
        double spread = 0.0;
        for (int n = 1; n <= 2000; ++n) {
            Step(level, n * dt, Settings(static_cast<float>(dt)), dt / 1000.0);
            if (n == 200) spread = volume();
        }
        const double final = volume();
        std::printf("%s: displaced volume drift %.2e overall, %.2e after step 200\n",
                    spherical ? "spherical" : "Cartesian", (final - initial) / initial, (final - spread) / initial);
        EXPECT_NEAR(final, initial, 5e-4 * initial) << spherical;
        EXPECT_NEAR(final, spread, 1e-5 * initial) << spherical;
        EXPECT_GT(level.etaMax[30][20], 0.01f) << spherical;  // the wave did cross the basin
    }
}

TEST(Physics, LakeAtRestStaysAtRest) {
    // Islands, a shelving shore with cells just wet and just dry, friction and Coriolis on:
    // still water must produce no flux and no level change at all.
    for (bool spherical : {false, true}) {
        GridLevel level = spherical ? SphericalLevel(36, 24, 140.0, 35.0, 1.0, 2.0, 0.025f, true)
                                    : CartesianLevel(36, 24, 0.025f);
        SetDepth(level, [](int i, int j) {
            return (i - 12) * (i - 12) + (j - 10) * (j - 10) < 9 ? -3.0 : 20.0 - 0.8 * i + 0.05 * j;
        });
        for (int n = 1; n <= 300; ++n) Step(level, n * 2.0, Settings(2.0f), 2.0 / 200.0);
        int moved = 0;
        ForEachCell(level, [&](int i, int j) {
            moved += level.eta[i][j] != 0.0f || level.fluxM[i][j] != 0.0f || level.fluxN[i][j] != 0.0f;
        });
        EXPECT_EQ(moved, 0) << spherical;
        EXPECT_EQ(level.stepMaximum, 0.0f) << spherical;
    }
}

// A 1 m wave running up a plane beach (n = 0.025) in a channel of 160 cells closed by a wall
// three cells thick; k, the cell index along the channel, is 1 at that wall. With a quay, the
// beach ends at k = 136 in a vertical step up to a level stretch of land 0.5 m high. beachEast:
// the beach lies east of the wave (i = k); otherwise the channel is mirrored (i = 161 - k).
struct Flood {
    GridLevel level;
    double waterBefore = 0, waterAfter = 0;
    int wettedLand = 0;  // land cells of row 3 flooded at least once
};

Flood RunFlood(bool beachEast, bool quay, bool advection = true) {
    auto k = [&](int i) { return beachEast ? i : 161 - i; };
    Flood run{Channel(160, [&](int i) {
        if (k(i) <= 3 || k(i) >= 158) return -10.0;
        return quay && k(i) >= 136 ? -0.5 : std::min(10.0, 10.0 - (k(i) - 100) * 0.25);
    }, true, 0.025f)};
    GridLevel& level = run.level;
    if (!advection) {  // no cell is shallower than 0 m, so no cell keeps the advection terms
        level.optionEnabled = 1;
        level.optionValue = 0;
    }
    SetLevel(level, [&](int i, int) { return std::exp(-std::pow(k(i) - 60.0, 2) / 128.0); });
    auto water = [&] {
        return Sum(level, [&](int i, int j) { return std::max(level.eta[i][j] + double{level.depth[i][j]}, 0.0); });
    };
    run.waterBefore = water();
    for (int n = 1; n <= 400; ++n) Step(level, n * 2.0, Settings(2.0f), 2.0 / 50.0);
    run.waterAfter = water();
    for (int i = 1; i <= 160; ++i) run.wettedLand += level.depth[i][3] <= 0.0f && level.timeOfMaxWave[i][3] > 0.0f;
    return run;
}

TEST(Physics, FloodingADryBeachConservesWaterAndRecordsIt) {
    const Flood run = RunFlood(true, false);
    const GridLevel& l = run.level;
    // The hump holds 3 rows x 1 m x sqrt(2 pi) 8 cells = 60 m cells of water; what floods the
    // beach must come back or stay there, not vanish into the land.
    EXPECT_NEAR(run.waterAfter, run.waterBefore, 0.005 * 3.0 * std::sqrt(2.0 * std::numbers::pi) * 8.0);
    // Cells 140.. are land (ground up to 5 m); some are flooded, and their extremes say so.
    ASSERT_GE(run.wettedLand, 3);
    for (int k = 141; k < 141 + run.wettedLand - 1; ++k) {
        EXPECT_GT(l.etaMax[k][3], -l.depth[k][3]) << "cell " << k;
        EXPECT_GT(l.maxFlowDepth[k][3], 0.0f) << "cell " << k;
        EXPECT_GT(l.firstWaveArrival[k][3], 0.0f) << "cell " << k;
        EXPECT_GE(l.firstWaveArrival[k][3], l.firstWaveArrival[k - 1][3]) << "the front moves inland, cell " << k;
    }
    EXPECT_EQ(l.etaMax[150][3], 0.0f);  // out of reach of a 1 m wave
}

TEST(Physics, FloodingIsMirrorSymmetric) {
    // Water spilling over a quay onto dry land, eastwards and (mirrored) westwards. Without the
    // advection terms (whose upwind choice at a still face, M = 0, looks east by convention) the
    // scheme has no preferred direction, so both runs must agree to the last bit: the face depth
    // at a wet/dry front is the wet level above the dry bed from either side. With advection the
    // runs differ only through that convention.
    const Flood east = RunFlood(true, true, false), west = RunFlood(false, true, false);
    const Flood eastAdvected = RunFlood(true, true), westAdvected = RunFlood(false, true);
    ASSERT_GE(east.wettedLand, 3);
    EXPECT_EQ(east.wettedLand, west.wettedLand);
    for (int k = 1; k <= 160; ++k) {
        EXPECT_EQ(east.level.etaMax[k][3], west.level.etaMax[161 - k][3]) << "cell " << k;
        EXPECT_EQ(east.level.eta[k][3], west.level.eta[161 - k][3]) << "cell " << k;
        if (k >= 4 && k <= 157) {
            EXPECT_NEAR(eastAdvected.level.etaMax[k][3], westAdvected.level.etaMax[161 - k][3], 0.01) << "cell " << k;
        }
    }
}

TEST(Physics, OpenEdgesLetAPulseLeave) {
    // A 10 cm hump in the middle of a channel of 200 cells, 10 m deep, open at both ends, splits
    // into two 5 cm pulses; once both have travelled 170 cells, what remains in each half of the
    // channel is their reflection from the nearer edge (first: west or south, last: east or
    // north). The edges radiate better the larger the Courant number; a frozen second
    // column or row (levels never updated) would send about 98 % of the pulse back.
    const double c = std::sqrt(kG * 10.0);
    for (bool alongX : {true, false}) {
        double first[3] = {0, 0, 0}, last[3] = {0, 0, 0};
        const double courant[3] = {0.4, 0.7, 0.9};
        for (int r = 0; r < 3; ++r) {
            const double dt = courant[r] * 100.0 / c;
            GridLevel level = Channel(200, [](int) { return 10.0; }, alongX);
            SetLevel(level, [&](int i, int j) { return 0.1 * std::exp(-std::pow((alongX ? i : j) - 100, 2) / 128.0); });
            for (int t = 1; t <= static_cast<int>(std::ceil(170.0 * 100.0 / c / dt)); ++t) {
                Step(level, t * dt, Settings(static_cast<float>(dt)), dt / 100.0);
            }
            for (int k = 1; k <= 200; ++k) {
                double& edge = k <= 100 ? first[r] : last[r];
                edge = std::max(edge, std::fabs(alongX ? level.eta[k][3] : level.eta[3][k]) / 0.05);
            }
        }
        std::printf("%s: reflection at Courant 0.4 / 0.7 / 0.9: first edge %.3f %.3f %.3f, last edge %.3f %.3f %.3f\n",
                    alongX ? "x" : "y", first[0], first[1], first[2], last[0], last[1], last[2]);
        EXPECT_LT(first[0], 0.5);
        EXPECT_LT(first[1], std::min(0.25, first[0]));
        EXPECT_LT(first[2], std::min(0.1, first[1]));
        // The east and north edges radiate as the west and south ones do.
        for (int r = 0; r < 3; ++r) EXPECT_NEAR(last[r], first[r], 0.005);
    }
}

TEST(Physics, UniformFlowTurnsWithTheInertialPeriod) {
    // A uniform eastward flow on a flat sea 10 m deep around 45 N, friction off, Coriolis on,
    // turns clockwise at the Coriolis frequency f = 2 Omega sin(phi): half a circle in about
    // 8.5 h. Cells of 5 arc-minutes (6.6 km x 9.3 km), 300 s steps; the grid is large enough
    // that waves from its edges (10 m/s) do not reach the centre within that time.
    const double dt = 300.0, yMin = 45.0 - 45.5 * 5.0 / 60.0;
    GridLevel level = SphericalLevel(121, 91, 140.0, yMin, 5.0, dt, 0.0f, true);
    SetDepth(level, [](int, int) { return 10.0; });
    level.fluxM.Fill(1.0f);
    level.fluxMNext.Fill(1.0f);
    const int ic = 61, jc = 46;
    const double f = 2.0 * kEarthRotation * std::sin((yMin + (jc - 0.5) * 5.0 / 60.0) * kDegree);
    const int halfPeriod = static_cast<int>(std::numbers::pi / f / dt);  // 101 steps
    double turned = 0.0, previous = 0.0;
    for (int n = 1; n <= halfPeriod; ++n) {
        Step(level, n * dt, Settings(static_cast<float>(dt)));
        // Unwrapped angle of (M, N), negative when turning clockwise.
        const double angle = std::atan2(level.fluxN[ic][jc], level.fluxM[ic][jc]);
        turned += std::remainder(angle - previous, 2.0 * std::numbers::pi);
        previous = angle;
        if (n == halfPeriod / 2 || n == halfPeriod) {
            EXPECT_NEAR(turned, -f * n * dt, 0.02 * f * n * dt) << "step " << n;
        }
    }
    std::printf("turned %.4f rad in %d steps, f t = %.4f rad\n", turned, halfPeriod, f * halfPeriod * dt);
    // The explicit rotation keeps the speed to within a few percent over half a period.
    EXPECT_NEAR(std::hypot(level.fluxM[ic][jc], level.fluxN[ic][jc]), 1.0, 0.06);
}

TEST(Physics, ResultsDoNotDependOnTheThreadCount) {
    // A nonlinear wave that floods an island and a beach, with friction and Coriolis: every field
    // must be bit-identical whatever the number of threads, after 200 steps with 2 threads and,
    // with more threads than cores (which split the columns differently again), after 60 steps
    // (the wave has reached the island), which keeps the oversubscribed runs short.
    auto run = [&](bool spherical, int threads, int steps) {
        GridLevel level = spherical ? SphericalLevel(48, 40, 140.0, 30.0, 0.05, 2.0, 0.03f, true)
                                    : CartesianLevel(48, 40, 0.03f);
        // An island, a beach in the east, and a 2 m hump.
        SetDepth(level, [](int i, int j) { return std::hypot(i - 30, j - 20) < 4.0 ? -2.0 : 30.0 - 0.75 * i; });
        SetLevel(level, [](int i, int j) { return 2.0 * std::exp(-(std::pow(i - 18, 2) + std::pow(j - 22, 2)) / 20.0); });
        for (int n = 1; n <= steps; ++n) Step(level, n * 2.0, Settings(2.0f, threads), 2.0 / 50.0);
        return level;
    };
    for (bool spherical : {true, false}) {
        for (int threads : {2, 3, 4}) {
            const int steps = threads == 2 ? 200 : 60;
            GridLevel reference = run(spherical, 1, steps), other = run(spherical, threads, steps);
            if (threads == 2) {
                const double floodedLand = Sum(reference, [&](int i, int j) {
                    return reference.depth[i][j] <= 0.0f && reference.etaMax[i][j] > 0.0f;
                });
                EXPECT_GT(floodedLand, 5) << "the wave must reach dry land";
            }
            const std::vector<Field*> a = AllFields(reference), b = AllFields(other);
            for (std::size_t k = 0; k < a.size(); ++k) EXPECT_TRUE(SameBytes(*a[k], *b[k])) << k << ", " << threads;
            EXPECT_EQ(reference.stepMaximum, other.stepMaximum) << spherical << " with " << threads << " threads";
        }
    }
}

}  // namespace
