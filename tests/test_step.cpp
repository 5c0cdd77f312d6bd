// The step driver: step length control, source events and the boundary series, the order of
// nested sub-steps, Init's refusals, thread-count independence, and long-wave physics.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <tuple>
#include <vector>

#include "InitResult.h"
#include "ScenarioFiles.h"
#include "StepControl.h"
#include "ZellSimulatorVestra.h"

namespace {

constexpr double kGravity = 9.80665;

// A model built from host records, stepped until the model time passes `endSeconds`, observed after each call.
struct ModelRun {
    std::vector<HostGridRecord> grids;
    std::vector<SourceEvent> events;
    SimulationParameters parameters;
    ExtendedRunSettings extended;
    std::unique_ptr<ZellSimulatorVestra> sim;

    void AddGrid(int32_t type, double cellSize, const std::string& bathymetry, const std::string& folder) {
        grids.push_back(HostGridRecord{type, false, 0.0f, cellSize, bathymetry, folder, ""});
    }
    // The boundary series forced on the band first..last of level 0 (mode 1: columns, 0: rows, 2: both).
    void UseSeries(const std::string& file, uint32_t first, uint32_t last, int32_t mode) {
        parameters.timeSeriesEnabled = true;
        parameters.timeSeriesFile = file;
        parameters.seriesMode = mode;
        parameters.seriesFirstIndex = first;
        parameters.seriesLastIndex = last;
    }
    int32_t Run(double endSeconds, const std::function<void(ZellSimulatorVestra&, double)>& observe = nullptr) {
        parameters.snapshotInterval = 0.0f;
        sim = std::make_unique<ZellSimulatorVestra>(&grids, &events);
        sim->SetParameters(parameters);
        sim->SetExtendedSettings(extended);
        const int32_t code = sim->Init(nullptr);
        for (int32_t i = 0; code == InitResult::kSuccess && i * double(parameters.timeStep) <= endSeconds;) {
            int32_t advance = 0;
            sim->Step(i, &advance);
            i += advance;
            if (observe) observe(*sim, i * double(parameters.timeStep));
        }
        return code;
    }
};

// A still lake 20 m deep, 12 x 10 cells of 100 m, stepped by 0.1 s; at 0 s its water level is `eta`.
ModelRun Lake(const ScratchFolder& dir, double eta) {
    const GridSpec g{12, 10, 0, 1100, 0, 900};
    WriteSurferGrid(dir / "lake.grd", g, [](double, double) { return 20.0; });
    WriteSurferGrid(dir / "eta0.grd", g, [eta](double, double) { return eta; });
    ModelRun run;
    run.AddGrid(0, 100.0, dir / "lake.grd", dir.Folder("out"));
    run.events.push_back(SourceEvent{dir / "eta0.grd", "", "", 0.0f});
    run.parameters.timeStep = 0.1f;
    return run;
}

}  // namespace

TEST(StepLength, AdaptiveLengthFollowsTheDeepestWaveAndEndsOnAFrame) {
    // Level 0 spans 10 degrees of latitude over 601 rows: 1 arc-minute, 1852.96 m per row.
    GridLevel level0;
    level0.gridType = 2;
    level0.yMax = 10.0;
    level0.ny = 601;
    const double dy = RowSpacingMetres(level0, 500.0f);
    EXPECT_NEAR(dy, 1852.96, 0.01);
    const struct { bool adaptive; float stepMaximum, framePeriod; double t, length; int32_t advance; } cases[] = {
        {true, 4000, 0, 0, 4.6794, 4},    // dy / (2 sqrt(g h))
        {true, 10, 0, 0, 33.0812, 33},    // first estimate 93.589 s, cut to 0.707 r - 0.01 with r = 46.805
        {false, 4000, 0, 0, 1.0, 1},      // not adaptive: the base step
        {true, 4000, 10, 99, 1.6794, 1},  // would step over the frame at 100 s: ends on it
    };
    for (const auto& c : cases) {
        const float length = ChooseStepLength({c.stepMaximum, c.adaptive, 1.0f, dy, c.framePeriod, c.t});
        EXPECT_NEAR(length, c.length, 1e-4) << c.stepMaximum << " m at " << c.t << " s";
        EXPECT_EQ(AdvanceForLength(length, 1.0f), c.advance) << c.length;
    }
}

TEST(StepDriver, SourceEventsAtTheirStepAndTheBoundarySeriesOneRecordPerCall) {
    ScratchFolder dir;
    ModelRun run = Lake(dir, 0.5);
    const GridSpec g{12, 10, 0, 1100, 0, 900};
    WriteSurferGrid(dir / "lake.grd", g, [](double x, double y) { return x == 300 && y == 300 ? 0.0 : 20.0; });
    WriteSurferGrid(dir / "quarter.grd", g, [](double, double) { return 0.25; });
    run.events.push_back(SourceEvent{dir / "quarter.grd", "", "", 0.1f});
    run.UseSeries(dir.Write("series.txt", "0 0.30 0 0\n60 0.20 0 0\n120 0.10 0 0\n"), 4, 5, 2);
    std::vector<float> far, inBand;
    int wrong = 0;
    ASSERT_EQ(run.Run(0.35,
                      [&](ZellSimulatorVestra& sim, double) {
                          const GridLevel& level = sim.levels[0];
                          far.push_back(level.eta(10, 8));
                          inBand.push_back(level.eta(4, 7));
                          if (far.size() > 1) return;
                          // First call: the band at the first record, the dry cell (4, 4) and the rest at 0.5.
                          for (int i = 1; i <= 12; ++i)
                              for (int j = 1; j <= 10; ++j) {
                                  const bool columns = (i == 4 || i == 5) && j >= 2 && j <= 9;
                                  const bool rows = (j == 4 || j == 5) && i >= 2 && i <= 11;
                                  const bool forced = (columns || rows) && !(i == 4 && j == 4);
                                  wrong += std::fabs(level.eta(i, j) - (forced ? 0.3f : 0.5f)) > 0.01f;
                              }
                      }),
              InitResult::kSuccess);
    EXPECT_EQ(wrong, 0);
    ASSERT_EQ(inBand.size(), 4u);
    EXPECT_EQ(far[0], 0.5f);   // the event at 0 s in step 0: the lake away from the band stays level
    EXPECT_EQ(far[1], 0.25f);  // the event at 0.1 s in step 1, not step 0
    // One record per call whatever its time column says, until the file ends.
    for (int k = 1; k < 3; ++k) EXPECT_NEAR(inBand[k], 0.3f - 0.1f * k, 0.01f) << k;
    EXPECT_TRUE(run.sim->timeSeriesStream.fail());  // the fourth call found no record
    // The fluxes of a record (applied on spherical grids only) go to the same band.
    GridLevel& level = run.sim->levels[0];
    ApplySeriesFluxes(level, {4, 5, 2}, {0.0, 0.5, 0.6});
    EXPECT_EQ(std::vector<float>({level.fluxM(4, 7), level.fluxN(4, 7), level.fluxM(7, 4)}),
              std::vector<float>({0.5f, 0.6f, 0.5f}));
}

TEST(StepDriver, InitRefusesWhatStepCouldNotReadSafely) {
    ScratchFolder dir;
    auto refused = [](ModelRun& run, int32_t code, const std::string& message) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(run.Run(-1.0), code);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(message), std::string::npos) << err;
    };
    // A child whose first column lies 2.4 parent cells east of the parent's origin.
    ModelRun nested = Lake(dir, 0.0);
    WriteSurferGrid(dir / "offnode.grd", {16, 16, 240, 740, 300, 800}, [](double, double) { return 20.0; });
    nested.AddGrid(0, 100.0, dir / "offnode.grd", dir.Folder("child"));
    refused(nested, InitResult::kNestedLayout, "level 1 (");
    ModelRun source = Lake(dir, 0.0);
    WriteSurferGrid(dir / "small.grd", {6, 10, 0, 500, 0, 900}, [](double, double) { return 0.1; });
    source.events[0].etaFile = dir / "small.grd";
    refused(source, InitResult::kSourceEventFile, "source event 1");
    ModelRun band = Lake(dir, 0.0);
    band.UseSeries(dir.Write("series.txt", "0 0 0 0\n"), 11, 14, 1);
    refused(band, InitResult::kSeriesBandOutside, "band 11..14");
    ModelRun unreadable = Lake(dir, 0.0);
    unreadable.UseSeries(dir / "missing.txt", 2, 3, 1);
    refused(unreadable, InitResult::kTimeSeriesUnreadable, "missing.txt");
}

TEST(StepDriver, NestedLevelsRunFinestFirstWithThreeToTheKSubsteps) {
    // The lake with a child of 100/3 m cells over x, y = 300..700 and a grandchild of 100/9 m over 400..600.
    ScratchFolder dir;
    ModelRun run = Lake(dir, 0.0);
    for (const auto& [name, n, lo, hi] : {std::tuple{"l1.grd", 13, 300.0, 700.0}, {"l2.grd", 19, 400.0, 600.0}}) {
        WriteSurferGrid(dir / name, {n, n, lo, hi, lo, hi}, [](double, double) { return 20.0; });
        run.AddGrid(0, 100.0, dir / name, dir.Folder(std::string(name, 2)));
    }
    ASSERT_EQ(run.Run(-1.0), InitResult::kSuccess);
    std::vector<int32_t> trace;
    run.sim->substepTrace = &trace;
    int32_t advance = 0;
    run.sim->Step(0, &advance);
    EXPECT_EQ(trace, (std::vector<int32_t>{2, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1, 1, 0}));
}

// A line hump (Gaussian in x, uniform in y) of 0.5 m on water 100 m deep splits into two halves
// travelling at sqrt(g h); a gauge node sees the east-going half's peak at L / c. The child, if any,
// lies in the south-west (1) or north-east (2) quarter; compareThreads: two threads give the same bytes.
struct HumpCase { const char* name; bool spherical, adaptive; int childQuarter; bool compareThreads; };

class HumpArrival : public ::testing::TestWithParam<HumpCase> {};

TEST_P(HumpArrival, MatchesTheLongWaveSpeedAndIsBitIdenticalWithTwoThreads) {
    const HumpCase& c = GetParam();
    ScratchFolder dir;
    const double depth = 100.0, unit = c.spherical ? 0.002 : 200.0;  // node spacing: degrees or metres
    const GridSpec parent{151, 91, 0, 150 * unit, -45 * unit, 45 * unit};
    const double x0 = 30 * unit, sigma = 5 * unit;  // hump axis and width
    WriteSurferGrid(dir / "parent.grd", parent, [&](double, double) { return depth; });
    WriteSurferGrid(dir / "hump.grd", parent,
                    [&](double x, double) { return 0.5 * std::exp(-0.5 * std::pow((x - x0) / sigma, 2)); });
    const int ci = c.childQuarter == 1 ? 61 : 81, cj = c.childQuarter == 1 ? 11 : 51;  // the child's first node
    const GridSpec child{91, 91, parent.X(ci), parent.X(ci) + 30 * unit, parent.Y(cj), parent.Y(cj) + 30 * unit};
    WriteSurferGrid(dir / "child.grd", child, [&](double, double) { return depth; });
    // The gauge node lies 60 parent cells east of the axis, 20 parent cells into the child if there is one.
    const int gaugeI = c.childQuarter != 0 ? 61 : 91;
    const double metresPerUnit = c.spherical ? 6371008.0 * M_PI / 180.0 : 1.0;
    const double distance = ((c.childQuarter != 0 ? child : parent).X(gaugeI) - x0) * metresPerUnit;
    const double expected = distance / std::sqrt(kGravity * depth);
    // Runs past the arrival, or with two threads to 250 s, when the wave has crossed the child's
    // boundary and fed back into the parent; keeps every level's water level at 250 s.
    double arrival = 0, peak = -1;
    auto run = [&](int threads, std::vector<float>& etaAt250) {
        ModelRun model;
        model.AddGrid(c.spherical ? 2 : 0, 200.0, dir / "parent.grd", dir.Folder("p"));
        if (c.childQuarter != 0) model.AddGrid(c.spherical ? 2 : 0, 200.0, dir / "child.grd", dir.Folder("c"));
        model.events.push_back(SourceEvent{dir / "hump.grd", "", "", 0.0f});
        model.parameters.timeStep = c.adaptive ? 0.25f : 1.0f;
        model.parameters.adaptiveTimeStepEnabled = c.adaptive;
        model.parameters.threadCount = threads;
        EXPECT_EQ(model.Run(threads == 1 ? expected * 1.5 : 250.0,
                            [&](ZellSimulatorVestra& sim, double t) {
                                const float eta = sim.levels.back().eta(gaugeI, 46);
                                if (eta > peak) peak = eta, arrival = t;
                                if (t < 250 || !etaAt250.empty()) return;
                                for (const GridLevel& l : sim.levels)
                                    etaAt250.insert(etaAt250.end(), l.eta.Data(), l.eta.Data() + l.eta.Size());
                            }),
                  InitResult::kSuccess);
    };
    std::vector<float> one, two;
    run(1, one);
    EXPECT_NEAR(arrival / expected, 1.0, 0.02) << "arrival " << arrival << " s, expected " << expected << " s";
    EXPECT_GT(peak, 0.15);  // half the hump goes each way
    EXPECT_LT(peak, 0.26);
    if (!c.compareThreads) return;
    run(2, two);
    ASSERT_FALSE(one.empty());
    ASSERT_EQ(one.size(), two.size());
    EXPECT_EQ(std::memcmp(one.data(), two.data(), one.size() * sizeof(float)), 0);
}

INSTANTIATE_TEST_SUITE_P(LongWavePhysics, HumpArrival,
                         ::testing::Values(HumpCase{"CartesianChildNorthEast", false, false, 2, false},
                                           HumpCase{"SphericalChildSouthWest", true, false, 1, true},
                                           HumpCase{"CartesianAdaptiveStep", false, true, 0, false}),
                         [](const auto& tested) { return std::string(tested.param.name); });

TEST(LongWavePhysics, SolitaryWaveRunupFollowsTheRunupLaw) {
    // A solitary wave of H/d = 0.01 on a 1:19.85 plane beach (a narrow channel walled in by two
    // rows of land each side, no friction) runs up to R/d = 2.831 sqrt(cot beta) (H/d)^1.25, with
    // fronts that open on the wet level alone and on the level plus the velocity head.
    ScratchFolder dir;
    const double d = 1.0, H = 0.01, cotBeta = 19.85, dx = 0.05, toe = 60.0;  // x of the beach toe
    const int nx = 1681, ny = 15, middle = 8;
    const GridSpec g{nx, ny, 0.0, (nx - 1) * dx, 0.0, (ny - 1) * dx};
    const double gamma = std::sqrt(3.0 * H / (4.0 * d * d * d)), celerity = std::sqrt(kGravity * (d + H));
    const double x0 = toe - std::acosh(std::sqrt(1.0 / 0.05)) / gamma;  // the wave's front starts at the toe
    auto eta = [&](double x) { return H / std::pow(std::cosh(gamma * (x - x0)), 2); };
    WriteSurferGrid(dir / "beach.grd", g, [&](double x, double y) {
        return y < 1.5 * dx || y > (ny - 2.5) * dx ? -1.0 : x < toe ? d : d - (x - toe) / cotBeta;
    });
    WriteSurferGrid(dir / "eta.grd", g, [&](double x, double) { return eta(x); });
    // The x-flux lives on the east face of each cell, half a cell east of the node.
    WriteSurferGrid(dir / "m.grd", g, [&](double x, double) { return celerity * eta(x + dx / 2); });
    for (const bool head : {false, true}) {
        ModelRun run;
        run.extended.frontVelocityHead = head;
        run.AddGrid(0, dx, dir / "beach.grd", dir.Folder("out"));
        run.events.push_back(SourceEvent{dir / "eta.grd", dir / "m.grd", "", 0.0f});
        run.parameters.timeStep = 0.005f;
        run.parameters.manningCoefficient = 0.0f;
        run.parameters.flowDepthLimit = 1e-4f;  // laboratory scale: the runup tongue is millimetres deep
        run.parameters.threadCount = 1;
        double runup = 0.0;  // the highest water level on cells of the beach that are wet
        auto observe = [&](ZellSimulatorVestra& sim, double) {
            for (int i = 1; i <= nx; ++i)
                if (sim.levels[0].depth(i, middle) < 0.0f && sim.levels[0].totalDepth(i, middle) > 1e-5f)
                    runup = std::max(runup, static_cast<double>(sim.levels[0].eta(i, middle)));
        };
        ASSERT_EQ(run.Run(2.0 * (toe + d * cotBeta - x0) / celerity, observe), InitResult::kSuccess);
        const double expected = d * 2.831 * std::sqrt(cotBeta) * std::pow(H / d, 1.25);
        EXPECT_NEAR(runup / expected, 1.0, 0.05) << "runup " << runup << " m, law " << expected << " m, head " << head;
    }
}
