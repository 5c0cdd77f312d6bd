// Whole steps of the kernels against physical laws: the long-wave speed sqrt(g h), a lake at
// rest, mirror-symmetric flooding, open edges, the inertial oscillation, a draining film,
// thread-count independence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "KernelFixture.h"

namespace {

using namespace fixture;

// Channel of n cells along x (or y): rows (columns) 2..4 water of depth depthAt(k), 1 and 5 land walls.
GridLevel Channel(int n, const std::function<double(int)>& depthAt, bool alongX = true, float manning = 0.0f) {
    GridLevel level = alongX ? CartesianLevel(n, 5, manning) : CartesianLevel(5, n, manning);
    SetDepth(level, [&](int i, int j) { return (alongX ? j : i) % 4 == 1 ? -10.0 : depthAt(alongX ? i : j); });
    return level;
}

// Position of the largest f(k), k in [lo, hi], refined by a parabola through it and its neighbours.
double CrestPosition(const std::function<double(int)>& f, int lo, int hi) {
    int best = lo;
    for (int k = lo; k <= hi; ++k) best = f(k) > f(best) ? k : best;
    const double a = f(best - 1), b = f(best), c = f(best + 1);
    return best + 0.5 * (a - c) / (a - 2.0 * b + c);
}

TEST(Physics, LinearWaveTravelsAtLongWaveSpeed) {
    // Depth 100 m, 100 m cells, 1 s steps, a 1 cm hump; 400 s between the looks at the crest.
    GridLevel level = Channel(500, [](int) { return 100.0; });
    SetLevel(level, [](int i, int) { return 0.01 * std::exp(-(i - 250.0) * (i - 250.0) / 200.0); });
    auto row = [&](int i) { return static_cast<double>(level.eta[i][3]); };
    double east = 0;
    for (int n = 1; n <= 600; ++n) {
        Step(level, n, Settings(1.0f), 1.0 / 100.0);
        if (n == 200) east = CrestPosition(row, 252, 498);
    }
    const double c = std::sqrt(kG * 100.0);
    EXPECT_NEAR((CrestPosition(row, 252, 498) - east) * 100.0 / 400.0, c, 0.01 * c);
}

TEST(Physics, LakeAtRestStaysAtRest) {
    // Islands, a shelving shore with cells just wet and just dry, friction and Coriolis on.
    for (bool spherical : {false, true}) {
        GridLevel level = spherical ? SphericalLevel(36, 24, 140.0, 35.0, 1.0, 2.0, 0.025f, true)
                                    : CartesianLevel(36, 24, 0.025f);
        SetDepth(level, [](int i, int j) {
            return (i - 12) * (i - 12) + (j - 10) * (j - 10) < 9 ? -3.0 : 20.0 - 0.8 * i + 0.05 * j;
        });
        for (int n = 1; n <= 300; ++n) Step(level, n * 2.0, Settings(2.0f), 2.0 / 200.0);
        ForEachCell(level, [&](int i, int j) {
            ASSERT_TRUE(level.eta[i][j] == 0.0f && level.fluxM[i][j] == 0.0f && level.fluxN[i][j] == 0.0f) << i << j;
        });
        EXPECT_EQ(level.stepMaximum, 0.0f) << spherical;
    }
}

// A 1 m wave spilling over a quay onto land 0.5 m high (n = 0.025) in a channel of 160 cells: k is 1 at
// the closed end behind the wave, the beach ends at k = 136. Eastwards (i = k) or mirrored (i = 161 - k).
GridLevel Flood(bool east, bool advection) {
    auto k = [&](int i) { return east ? i : 161 - i; };
    GridLevel level = Channel(160, [&](int i) {
        if (k(i) <= 3 || k(i) >= 158) return -10.0;
        return k(i) >= 136 ? -0.5 : std::min(10.0, 10.0 - (k(i) - 100) * 0.25);
    }, true, 0.025f);
    level.optionEnabled = advection ? 0 : 1;  // option value 0: no cell keeps the advection terms
    SetLevel(level, [&](int i, int) { return std::exp(-std::pow(k(i) - 60.0, 2) / 128.0); });
    for (int n = 1; n <= 400; ++n) Step(level, n * 2.0, Settings(2.0f), 2.0 / 50.0);
    return level;
}

TEST(Physics, FloodingIsMirrorSymmetricAndRecorded) {
    // Without advection (whose upwind choice at a still face looks east by convention) both runs agree
    // to the last bit; with it, to that convention. Flooded land records its flow depth and arrival.
    const GridLevel east = Flood(true, false), west = Flood(false, false);
    const GridLevel eastAdvected = Flood(true, true), westAdvected = Flood(false, true);
    int flooded = 0;
    for (int k = 1; k <= 160; ++k) {
        EXPECT_EQ(east.etaMax[k][3], west.etaMax[161 - k][3]) << "cell " << k;
        EXPECT_EQ(east.eta[k][3], west.eta[161 - k][3]) << "cell " << k;
        // Every cell that held water records at least its deepest column as its flow depth, the
        // front cell whose faces towards dry land carried nothing included, in both directions.
        for (const auto& [run, i] : {std::pair{&east, k}, std::pair{&west, 161 - k}}) {
            const double highest = static_cast<double>(run->etaMax[i][3]) + run->depth[i][3];
            if (run->depth[i][3] < 0.0f && highest > 1e-4) {
                EXPECT_GE(run->maxFlowDepth[i][3], highest - 1e-6) << "cell " << i;
            }
        }
        if (k < 4 || k > 157) continue;
        EXPECT_NEAR(eastAdvected.etaMax[k][3], westAdvected.etaMax[161 - k][3], 0.01) << "cell " << k;
        if (k < 136 || eastAdvected.timeOfMaxWave[k][3] == 0.0f) continue;
        ++flooded;
        EXPECT_GT(eastAdvected.maxFlowDepth[k][3], 0.0f) << "cell " << k;
        EXPECT_GE(eastAdvected.firstWaveArrival[k][3], eastAdvected.firstWaveArrival[k - 1][3]) << "cell " << k;
    }
    EXPECT_GE(flooded, 3);
    EXPECT_EQ(eastAdvected.etaMax[150][3], 0.0f);  // out of reach
}

TEST(Physics, OpenEdgesLetAPulseLeave) {
    // Two 5 cm pulses 170 cells on: what remains is their reflection from the nearer edge (first: west or
    // south; last: east or north). A frozen second column would send 98 % back.
    const double c = std::sqrt(kG * 10.0);
    for (bool alongX : {true, false}) {
        for (const auto& [courant, bound] : {std::pair{0.4, 0.5}, {0.7, 0.25}, {0.9, 0.1}}) {
            const double dt = courant * 100.0 / c;
            GridLevel level = Channel(200, [](int) { return 10.0; }, alongX);
            SetLevel(level, [&](int i, int j) { return 0.1 * std::exp(-std::pow((alongX ? i : j) - 100, 2) / 128.0); });
            for (int t = 1; t <= static_cast<int>(std::ceil(170.0 * 100.0 / c / dt)); ++t) {
                Step(level, t * dt, Settings(static_cast<float>(dt)), dt / 100.0);
            }
            double first = 0.0, last = 0.0;
            for (int k = 1; k <= 200; ++k) {
                double& edge = k <= 100 ? first : last;
                edge = std::max(edge, std::fabs(level.eta[alongX ? k : 3][alongX ? 3 : k]) / 0.05);
            }
            EXPECT_LT(first, bound) << alongX << " at Courant number " << courant;
            EXPECT_NEAR(last, first, 0.005) << alongX << " at Courant number " << courant;  // the edges are alike
        }
    }
}

TEST(Physics, UniformFlowTurnsWithTheInertialPeriod) {
    // Clockwise at f = 2 Omega sin(phi) at 45 N; waves from the edges do not reach the centre in time.
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
        const double angle = std::atan2(level.fluxN[ic][jc], level.fluxM[ic][jc]);
        turned += std::remainder(angle - previous, 2.0 * std::numbers::pi);  // unwrapped, clockwise < 0
        previous = angle;
        if (n != halfPeriod / 2 && n != halfPeriod) continue;
        EXPECT_NEAR(turned, -f * n * dt, 0.02 * f * n * dt) << "step " << n;
    }
    EXPECT_NEAR(std::hypot(level.fluxM[ic][jc], level.fluxN[ic][jc]), 1.0, 0.06);  // the speed is kept
}

TEST(Physics, ADrainingFilmStaysBelowFreeFallSpeed) {
    // A 2 mm film on a 1:4 slope (dx 5 cm, dt 0.01 s) runs down into a 10 cm basin. No water can
    // move faster than it would falling from the top of the slope, sqrt(2 g z). A cell whose
    // outflow is limited must pass on only the flux it delivered: one that keeps its full flux
    // while its depth shrinks runs away within a few dozen steps. Same bytes with two threads and
    // with still-water skipping.
    const double dx = 0.05, dt = 0.01, film = 0.002;
    auto run = [&](int threads, bool skipping, double* fastest) {
        GridLevel l = CartesianLevel(60, 8);
        l.activeWindow.tracking = skipping;
        SetDepth(l, [&](int i, int j) { return j == 1 || j == 8 ? -10.0 : i > 20 ? -0.25 * dx * (i - 20) : 0.1; });
        ForEachCell(l, [&](int i, int j) {
            if (j == 1 || j == 8 || i <= 20) return;
            l.eta[i][j] = l.etaNext[i][j] = static_cast<float>(film - l.depth[i][j]);
            l.totalDepth[i][j] = l.totalDepthNext[i][j] = static_cast<float>(film);
        }, false);
        KernelSettings s = Settings(static_cast<float>(dt), threads);
        s.flowDepthLimit = 1e-5f;
        s.smallFluxCut = 1e-7f;
        *fastest = 0.0;
        for (int n = 1; n <= 600; ++n) {
            Step(l, n * dt, s, dt / dx);
            ForEachCell(l, [&](int i, int j) {
                const double d = l.totalDepthM[i][j], u = std::fabs(l.fluxM[i][j]) / d;
                if (d >= 1e-3 && !(u <= *fastest)) *fastest = std::isnan(u) ? 1e30 : u;
            }, false);
        }
        return l;
    };
    double fastest = 0.0, ignored = 0.0;
    const GridLevel one = run(1, false, &fastest), two = run(2, false, &ignored), skipped = run(1, true, &ignored);
    EXPECT_LT(fastest, std::sqrt(2.0 * kG * (0.25 * dx * 40 + film)));
    EXPECT_GT(fastest, 0.5);  // the film did run down
    for (const GridLevel* other : {&two, &skipped})
        for (Field GridLevel::*field : {&GridLevel::eta, &GridLevel::fluxM, &GridLevel::fluxN, &GridLevel::etaMax})
            EXPECT_TRUE(SameBytes(one.*field, other->*field)) << (other == &two ? "two threads" : "skipping");
}

TEST(Physics, ResultsDoNotDependOnTheThreadCount) {
    // A wave flooding an island and a beach, friction and Coriolis on; 3 and 4 threads oversubscribe: short.
    // The wave once more on 2 threads with fronts on the velocity head.
    auto run = [&](bool spherical, int threads, int steps, bool head) {
        GridLevel level = spherical ? SphericalLevel(48, 40, 140.0, 30.0, 0.05, 2.0, 0.03f, true)
                                    : CartesianLevel(48, 40, 0.03f);
        SetDepth(level, [](int i, int j) { return std::hypot(i - 30, j - 20) < 4.0 ? -2.0 : 30.0 - 0.75 * i; });
        SetLevel(level, [](int i, int j) { return 2.0 * std::exp(-(std::pow(i - 18, 2) + std::pow(j - 22, 2)) / 20); });
        KernelSettings s = Settings(2.0f, threads);
        s.frontVelocityHead = head;
        for (int n = 1; n <= steps; ++n) Step(level, n * 2.0, s, 2.0 / 50.0);
        return level;
    };
    for (bool spherical : {true, false}) {
        for (const auto& [threads, head] :
             {std::pair{2, false}, std::pair{3, false}, std::pair{4, false}, std::pair{2, true}}) {
            const int steps = threads == 2 ? 200 : 60;
            GridLevel one = run(spherical, 1, steps, head), other = run(spherical, threads, steps, head);
            int floodedLand = 0;
            ForEachCell(one, [&](int i, int j) { floodedLand += one.depth[i][j] <= 0 && one.etaMax[i][j] > 0; }, false);
            EXPECT_TRUE(threads != 2 || floodedLand > 5) << "the wave must reach dry land";
            const std::vector<Field*> a = AllFields(one), b = AllFields(other);
            for (std::size_t k = 0; k < a.size(); ++k) EXPECT_TRUE(SameBytes(*a[k], *b[k])) << k << ", " << threads;
            EXPECT_EQ(one.stepMaximum, other.stepMaximum) << spherical << " with " << threads << " threads, head " << head;
        }
    }
}

TEST(Physics, VelocityHeadFrontKeepsThackersShoreline) {
    // Thacker's planar surface in a parabolic channel h = h0 (1 - x^2/a^2), frictionless: the
    // shoreline climbs to A a + C + A^2 a^2 / (2 h0) = 0.044 m half a period after release (exact
    // solution). Runup fronts that open on the level plus the velocity head must not carry the
    // water past it, must keep every drop, and give the same bits on 1 or 2 threads and with or
    // without the wet-cell loop.
    const double h0 = 0.1, a = 1.0, dx = 0.01, w = std::sqrt(2.0 * kG * h0) / a, period = 2.0 * M_PI / w;
    const double a0 = 0.2 * 2.0 * h0 / a, u0 = kG * a0 / w;  // largest slope of the surface, its speed
    const double exact = a0 * (a0 * a * a / (2.0 * h0) + a) - u0 * u0 / (2.0 * kG);
    const int n = 301, mid = 151;  // cells along y, centred on x = 0; columns 1 and 7 are walls
    const float dt = 0.004f;
    struct Result { GridLevel level; double runup = 0.0, before = 0.0, after = 0.0; };
    auto volume = [&](const GridLevel& l) {
        double v = 0.0;
        ForEachCell(l, [&](int i, int j) { v += std::max(double{l.eta[i][j]} + l.depth[i][j], 0.0); }, false);
        return v;
    };
    auto run = [&](bool head, int threads, int wetLoop) {
        Result r{CartesianLevel(7, n)};
        GridLevel& l = r.level;
        SetDepth(l, [&](int i, int j) {
            const double x = (j - mid) * dx;
            return i == 1 || i == 7 ? -1.0 : h0 * (1.0 - x * x / (a * a));
        });
        ForEachCell(l, [&](int i, int j) {
            const double level = -a0 * (j - mid) * dx - u0 * u0 / (2.0 * kG), h = l.depth[i][j];
            if (i == 1 || i == 7 || (level + h <= 0.0 && h <= 0.0)) return;
            const float e = static_cast<float>(level + h > 0.0 ? level : -h);
            l.eta[i][j] = l.etaNext[i][j] = e;
            l.totalDepth[i][j] = l.totalDepthNext[i][j] = level + h > 0.0 ? static_cast<float>(level + h) : 0.0f;
        }, false);
        KernelSettings s = Settings(dt, threads);
        s.flowDepthLimit = 1e-5f;
        s.smallFluxCut = 1e-7f;
        s.frontVelocityHead = head;
        s.wetCellLoop = wetLoop;
        r.before = volume(l);
        const int steps = static_cast<int>(0.75 * period / dt);
        for (int k = 1; k <= steps; ++k) {
            Step(l, k * dt, s, dt / dx);
            if (k * dt < 0.25 * period) continue;
            ForEachCell(l, [&](int i, int j) {
                if (l.depth[i][j] < 0.0f && l.totalDepth[i][j] > 0.0f) r.runup = std::max(r.runup, double{l.eta[i][j]});
            }, false);
        }
        r.after = volume(l);
        return r;
    };
    const Result on = run(true, 1, 2), off = run(false, 1, 2);
    EXPECT_LE(on.runup, 1.02 * exact);
    EXPECT_GE(on.runup, 0.95 * exact);
    EXPECT_NEAR(on.after, on.before, 1e-6 * on.before);
    EXPECT_FALSE(SameBytes(on.level.eta, off.level.eta)) << "the rule changed nothing";
    for (const auto& [threads, wetLoop] : {std::pair{2, 2}, std::pair{1, 0}}) {
        const Result other = run(true, threads, wetLoop);
        EXPECT_TRUE(SameBytes(on.level.eta, other.level.eta) && SameBytes(on.level.fluxN, other.level.fluxN))
            << threads << " threads, wet-cell loop " << wetLoop;
    }
}

}  // namespace
