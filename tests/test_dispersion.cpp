// The dispersive correction of the momentum update against the linear dispersion relation
// omega^2 = g h k^2 / (1 + (kh)^2 / 3), and its bookkeeping: faces it leaves long-wave keep their
// bytes, threads change nothing, the volume is kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "Dispersion.h"
#include "KernelFixture.h"
#include "PhysicsRuns.h"

namespace {

using namespace fixture;

KernelSettings DispersiveSettings(float dt, bool on, float minDepth = 0.0f, int threads = 1) {
    KernelSettings s = Settings(dt, threads);
    s.smallFluxCut = 0.0f;
    s.dispersion = on;
    s.dispersionMinDepth = minDepth;
    return s;
}

// Period of the standing wave of wavenumber (kx, ky) in a closed square basin of still depth h,
// from the zero crossings of the water level in a corner, against the dispersion relation.
TEST(Dispersion, StandingWavesKeepTheBoussinesqPeriod) {
    // 63 x 63 wet cells inside land walls three cells thick (the level's outer faces and cells
    // follow edge rules). Cartesian: cells of 0.1 m, depth 1 m, so that modes 2 and 4 have kh of 1 and 2, mode
    // (2, 2) sqrt(2). Spherical: cells of 0.1 arc-minutes at 40 degrees north, depth 1.8 km.
    const double amplitude = 0.002;
    const int wet = 63, n = wet + 6;
    struct Case {
        int modeX, modeY;
        bool dispersion, spherical;
    };
    for (const Case c : {Case{2, 0, false, false}, Case{2, 0, true, false}, Case{4, 0, true, false},
                         Case{0, 2, true, false}, Case{0, 4, true, false}, Case{2, 2, true, false},
                         Case{2, 0, true, true}, Case{0, 4, true, true}}) {
        const double minutes = 0.1, latitude = 40.0;
        const double dy = c.spherical ? minutes / 60.0 * kDegree * kEarthRadius : 0.1;
        const double dx = c.spherical ? dy * std::cos((latitude + (n / 2) * minutes / 60.0) * kDegree) : dy;
        const double h = c.spherical ? 1800.0 : 1.0, dt = c.spherical ? 0.2 : 0.01;
        const double kx = c.modeX * std::numbers::pi / (wet * dx), ky = c.modeY * std::numbers::pi / (wet * dy);
        GridLevel level = c.spherical ? SphericalLevel(n, n, 140.0, latitude, minutes, dt) : CartesianLevel(n, n);
        SetDepth(level, [&](int i, int j) { return i <= 3 || i >= n - 2 || j <= 3 || j >= n - 2 ? -10.0 : h; });
        SetLevel(level, [&](int i, int j) {
            return amplitude * std::cos(kx * (i - 3.5) * dx) * std::cos(ky * (j - 3.5) * dy);
        });
        AllocateDispersionScratch(level);
        const KernelSettings s = DispersiveSettings(static_cast<float>(dt), c.dispersion);
        std::vector<double> crossings;
        double previous = amplitude;
        for (int step = 1; crossings.size() < 6 && step < 20000; ++step) {
            Step(level, step * dt, s, dt / dx);
            const double eta = level.eta[4][4];
            if ((eta > 0.0) != (previous > 0.0)) crossings.push_back((step - 1 + previous / (previous - eta)) * dt);
            previous = eta;
        }
        ASSERT_EQ(crossings.size(), 6u);
        const double k = std::hypot(kx, ky), period = 2.0 * (crossings.back() - crossings.front()) / 5.0;
        const double speed = 2.0 * std::numbers::pi / (period * k);
        const double longWave = std::sqrt(kG * h);
        const double expected = c.dispersion ? longWave / std::sqrt(1.0 + k * k * h * h / 3.0) : longWave;
        EXPECT_NEAR(speed, expected, 0.005 * expected)
            << "mode (" << c.modeX << ", " << c.modeY << ")" << (c.dispersion ? " dispersive" : " long-wave")
            << (c.spherical ? " spherical" : "");
    }
}

// A hump spreading over a basin with an island and a flooded beach; dispersion on.
GridLevel BasinRun(int threads, float minDepth, bool dispersion, int steps) {
    GridLevel level = CartesianLevel(48, 40, 0.02f);
    SetDepth(level, [](int i, int j) {
        if (i <= 2 || i >= 47 || j <= 2 || j >= 39) return -5.0;
        return std::hypot(i - 30, j - 20) < 4.0 ? -1.0 : 12.0 - 0.35 * i;
    });
    SetLevel(level, [](int i, int j) { return 1.2 * std::exp(-(std::pow(i - 14, 2) + std::pow(j - 22, 2)) / 8.0); });
    AllocateDispersionScratch(level);
    const KernelSettings s = DispersiveSettings(0.25f, dispersion, minDepth, threads);
    for (int n = 1; n <= steps; ++n) Step(level, n * 0.25, s, 0.25 / 10.0);
    return level;
}

double StoredVolume(const GridLevel& l) {
    double sum = 0.0;
    ForEachCell(l, [&](int i, int j) {
        sum += l.depth[i][j] > 0.0f ? l.eta[i][j] : std::max(l.totalDepth[i][j], 0.0f);
    }, false);
    return sum;
}

TEST(Dispersion, ThreadsChangeNothingAndTheVolumeIsKept) {
    const double before = StoredVolume(BasinRun(1, 0.5f, true, 0));
    GridLevel one = BasinRun(1, 0.5f, true, 240), two = BasinRun(2, 0.5f, true, 240);
    const GridLevel longWave = BasinRun(1, 0.5f, false, 240);
    int floodedLand = 0;
    ForEachCell(one, [&](int i, int j) { floodedLand += one.depth[i][j] <= 0 && one.etaMax[i][j] > 0; }, false);
    EXPECT_GT(floodedLand, 3) << "the wave must reach dry land";
    EXPECT_FALSE(SameBytes(one.eta, longWave.eta)) << "the correction must act";
    const std::vector<Field*> a = AllFields(one), b = AllFields(two);
    for (std::size_t k = 0; k < a.size(); ++k) EXPECT_TRUE(SameBytes(*a[k], *b[k])) << "field " << k;
    EXPECT_NEAR(StoredVolume(one), before, 1e-5 * before);
}

TEST(Dispersion, FacesLeftLongWaveKeepTheirBytes) {
    // No face is deep enough: every field, maxima included, as without dispersion.
    GridLevel off = BasinRun(2, 0.0f, false, 120), shallow = BasinRun(2, 50.0f, true, 120);
    const std::vector<Field*> a = AllFields(off), b = AllFields(shallow);
    for (std::size_t k = 0; k < a.size(); ++k) EXPECT_TRUE(SameBytes(*a[k], *b[k])) << "field " << k;
}

// Through the model: a spherical parent with an absorbing layer and a nested child over a
// coast, a hump 400 m deep and about 600 m wide (kh near 0.7). Init allocates the scratch on both
// levels and the step reaches them; two threads give the same bytes; the volume account of
// each level closes at rounding.
TEST(Dispersion, NestedRunThroughTheModel) {
    ScratchFolder dir("dispersion");
    const double unit = 0.005, x0 = 140.0, y0 = 10.0;
    const GridSpec parent{60, 60, x0, x0 + 59 * unit, y0, y0 + 59 * unit};
    const int first = 20, childN = 3 * 24 + 1;
    const double cx = parent.X(first + 1), cy = parent.Y(first + 1), span = (childN - 1) * (unit / 3.0);
    auto depth = [&](double x, double) { return std::min(400.0, 40.0 * (x0 + 50 * unit - x) / unit); };
    auto run = [&](bool dispersion, int threads) {
        const std::string tag = std::to_string(dispersion) + std::to_string(threads);
        SteppedRun r;
        r.AddLevel(dir, tag + "p", 2, 550.0, parent, depth);
        r.AddLevel(dir, tag + "c", 2, 183.3, GridSpec{childN, childN, cx, cx + span, cy, cy + span}, depth);
        r.AddSource(dir, tag, parent, [&](double x, double y) {
            const double dc = (x - x0) / unit - 28.0, dr = (y - y0) / unit - 30.0;
            return 2.0 * std::exp(-0.5 * (dc * dc + dr * dr));
        });
        r.parameters.timeStep = 2.0f;
        r.parameters.threadCount = threads;
        r.dispersion = dispersion;
        r.dispersionMinDepth = 5.0f;
        EXPECT_EQ(r.Init(OpenEdgeKind::Absorbing), InitResult::kSuccess);
        while (r.index < 150) r.Step();
        return r;
    };
    SteppedRun one = run(true, 1), two = run(true, 2), longWave = run(false, 1);
    for (int k : {0, 1}) {
        EXPECT_TRUE(HasDispersionScratch(one.Level(k))) << k;
        EXPECT_FALSE(SameBits(one.Level(k).eta, longWave.Level(k).eta)) << "level " << k << " must feel the correction";
        for (Field GridLevel::*f : {&GridLevel::eta, &GridLevel::fluxM, &GridLevel::fluxN, &GridLevel::maxCurrent})
            EXPECT_TRUE(SameBits(one.Level(k).*f, two.Level(k).*f)) << "level " << k;
    }
    one.sim->Finish();
    const RunDiagnostics d = one.sim->GetRunDiagnostics();
    ASSERT_EQ(d.volumeBudgets.size(), 2u);
    for (const LevelVolumeBudget& b : d.volumeBudgets)
        EXPECT_LE(std::fabs(b.Imbalance()), 1e-6 * d.volumeBudgets[0].sourceVolume);
}

}  // namespace
