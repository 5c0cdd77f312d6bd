// The step driver: step length control, the boundary series, source-event timing, the order
// of nested sub-steps, thread-count independence, and long-wave physics through whole runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <vector>

#include "InitResult.h"
#include "ScenarioFiles.h"
#include "StepControl.h"
#include "ZellSimulatorVestra.h"

namespace {

constexpr double kGravity = 9.80665;

// A model built from host records, run through Init and Step until the model time passes
// `endSeconds`, with `observe(level, timeAfterCall)` called after every call.
struct ModelRun {
    std::vector<HostGridRecord> grids;
    std::vector<SourceEvent> events;
    SimulationParameters parameters;
    std::unique_ptr<ZellSimulatorVestra> sim;

    void AddGrid(int32_t type, double cellSize, const std::string& bathymetry, const std::string& folder) {
        grids.push_back(HostGridRecord{type, false, 0.0f, cellSize, bathymetry, folder, ""});
    }
    int32_t Run(double endSeconds, const std::function<void(ZellSimulatorVestra&, double)>& observe = nullptr) {
        parameters.snapshotInterval = 0.0f;
        sim = std::make_unique<ZellSimulatorVestra>(&grids, &events);
        sim->SetParameters(parameters);
        const int32_t code = sim->Init(nullptr);
        for (int32_t i = 0; code == InitResult::kSuccess && i * double(parameters.timeStep) <= endSeconds;) {
            int32_t advance = 0;
            sim->Step(i, &advance);
            EXPECT_GE(advance, 1);
            i += advance;
            if (observe) observe(*sim, i * double(parameters.timeStep));
        }
        return code;
    }
};

// A still lake 20 m deep, 12 x 10 cells of 100 m, stepped by 0.1 s; its source event sets
// the water level to `eta` at 0 s.
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

TEST(StepLength, AdaptiveLengthsAndFrameAlignment) {
    // Level 0 spans 10 degrees of latitude over 601 rows: 1 arc-minute, 1852.96 m per row.
    GridLevel level0, cartesian;
    level0.gridType = 2;
    level0.yMax = 10.0;
    level0.ny = 601;
    const double dy = RowSpacingMetres(level0, 500.0f);
    EXPECT_NEAR(dy, 1852.96, 0.01);
    EXPECT_EQ(RowSpacingMetres(cartesian, 250.0f), 250.0);  // Cartesian: the cell size itself

    const struct {
        bool adaptive;
        float stepMaximum, framePeriod;
        double t, length;
        int32_t advance;
    } cases[] = {
        {true, 4000, 0, 0, 4.6794, 4},    // dy / (2 sqrt(g h))
        {true, 10, 0, 0, 33.0812, 33},    // first estimate 93.589 s, cut to 0.707 r - 0.01 with r = 46.805
        {true, 0, 0, 0, 1.0, 1},          // no wave yet: the base step
        {false, 4000, 0, 0, 1.0, 1},
        {true, 4000, 10, 99, 1.6794, 1},  // would step over the frame at 100 s: ends on it
        {true, 4000, 10, 95, 4.6794, 4},  // ends at 99.68 s: no frame crossed
        {true, 4000, 10, 5, 4.6794, 4},   // before the first frame period the alignment does nothing
        {true, 4000, 0.5, 99, 4.6794, 4}, // a sub-second period has no whole period to align to
    };
    for (const auto& c : cases) {
        const StepLengthRequest request{c.stepMaximum, c.adaptive, 1.0f, dy, c.framePeriod, c.t};
        const float length = ChooseStepLength(request);
        EXPECT_NEAR(length, c.length, 1e-4) << c.stepMaximum << " m at " << c.t << " s";
        EXPECT_EQ(AdvanceForLength(length, 1.0f), c.advance) << c.length;
    }
    EXPECT_EQ(AdvanceForLength(0.3f, 1.0f), 1);  // shorter than the base step: still one
    EXPECT_EQ(AdvanceForLength(0.0f, 1.0f), 1);
}

TEST(BoundarySeries, EachRecordForcesTheWetCellsOfItsBandThenTheSeriesEnds) {
    std::istringstream series("0 1.5 10 20\n1 2.5 11 21\n2 3.5 12 22\n3 4.5 13 23\n");
    const struct {
        SeriesBand band;
        bool (*inBand)(int i, int j);  // on an 8 x 6 grid
    } cases[] = {
        {{3, 4, 1}, [](int i, int j) { return (i == 3 || i == 4) && j >= 2 && j <= 5; }},  // columns, rows 2..ny-1
        {{2, 2, 0}, [](int i, int j) { return j == 2 && i >= 2 && i <= 7; }},  // a row, columns 2..nx-1
        {{2, 2, 2}, [](int i, int j) { return (i == 2 && j >= 2 && j <= 5) || (j == 2 && i >= 2 && i <= 7); }},
        {{5, 4, 2}, [](int, int) { return false; }},  // an empty band
    };
    SeriesRecord record;
    for (int k = 0; k < 4; ++k) {
        GridLevel level;
        level.nx = 8;
        level.ny = 6;
        for (Field* f : {&level.depth, &level.eta, &level.fluxM, &level.fluxN}) {
            f->Allocate(8, 6);
            f->Fill(0.0f);
        }
        level.depth.Fill(50.0f);
        level.depth(3, 4) = 0.0f;  // a dry cell keeps its values
        ASSERT_TRUE(ReadSeriesRecord(series, &record));
        ApplySeriesWaterLevel(level, cases[k].band, record);
        ApplySeriesFluxes(level, cases[k].band, record);
        int wrong = 0;
        for (int i = 0; i <= 9; ++i)
            for (int j = 0; j <= 7; ++j) {
                const bool forced = cases[k].inBand(i, j) && !(i == 3 && j == 4);
                wrong += level.eta(i, j) != (forced ? 1.5f + k : 0.0f);
                wrong += level.fluxM(i, j) != (forced ? 10.0f + k : 0.0f);
                wrong += level.fluxN(i, j) != (forced ? 20.0f + k : 0.0f);
            }
        EXPECT_EQ(wrong, 0) << "mode " << cases[k].band.mode;
    }
    EXPECT_FALSE(ReadSeriesRecord(series, &record));  // exhausted

    GridLevel level;
    level.nx = 8;
    level.ny = 6;
    const struct {
        SeriesBand band;
        bool fits;
    } fits[] = {{{1, 8, 1}, true}, {{1, 9, 1}, false}, {{1, 7, 0}, false}, {{0, 3, 0}, false}, {{9, 3, 2}, true}};
    for (const auto& f : fits)  // past the last column, past the last row, the halo, an empty band
        EXPECT_EQ(SeriesBandFits(level, f.band), f.fits) << f.band.first << ".." << f.band.last << " " << f.band.mode;
}

TEST(StepDriver, SourceEventsApplyInTheStepThatHoldsTheirTime) {
    ScratchFolder dir;
    ModelRun run = Lake(dir, 0.5);
    WriteSurferGrid(dir / "quarter.grd", GridSpec{12, 10, 0, 1100, 0, 900}, [](double, double) { return 0.25; });
    run.events.push_back(SourceEvent{dir / "quarter.grd", "", "", 0.1f});
    std::vector<float> centre;
    ASSERT_EQ(run.Run(0.25, [&](ZellSimulatorVestra& sim, double) { centre.push_back(sim.levels[0].eta(6, 5)); }),
              InitResult::kSuccess);
    ASSERT_GE(centre.size(), 2u);
    EXPECT_EQ(centre[0], 0.5f);   // the event at 0 s in step 0: a level lake stays level
    EXPECT_EQ(centre[1], 0.25f);  // the event at 0.1 s in step 1, not step 0
}

TEST(StepDriver, TimeSeriesRecordsAreConsumedOnePerCallInEveryMode) {
    ScratchFolder dir;
    WriteFile(dir / "series.txt", "0 0.30 0 0\n60 0.20 0 0\n120 0.10 0 0\n");
    // Mode 1 forces columns 4..5, mode 0 rows 4..5, mode 2 both; (7, 7) lies in no band.
    for (int mode = 0; mode <= 2; ++mode) {
        SCOPED_TRACE(mode);
        ModelRun run = Lake(dir, 0.0);
        run.parameters.timeSeriesEnabled = true;
        run.parameters.timeSeriesFile = dir / "series.txt";
        run.parameters.seriesMode = mode;
        run.parameters.seriesFirstIndex = 4;
        run.parameters.seriesLastIndex = 5;
        const int bandI = mode == 0 ? 7 : 4, bandJ = mode == 0 ? 4 : 7;
        std::vector<float> inBand, outside;
        ASSERT_EQ(run.Run(0.35,
                          [&](ZellSimulatorVestra& s, double) {
                              inBand.push_back(s.levels[0].eta(bandI, bandJ));
                              outside.push_back(s.levels[0].eta(7, 7));
                          }),
                  InitResult::kSuccess);
        // One record per call, whatever its time column says; the level left after the call
        // is the record's value moved by one short step of the dynamics.
        ASSERT_EQ(inBand.size(), 4u);
        EXPECT_NEAR(inBand[0], 0.30f, 0.01f);
        EXPECT_NEAR(inBand[1], 0.20f, 0.01f);
        EXPECT_NEAR(inBand[2], 0.10f, 0.01f);
        EXPECT_TRUE(run.sim->timeSeriesStream.fail());  // the fourth call found no record
        EXPECT_LT(std::fabs(outside[0]), 0.01f);
    }
}

TEST(StepDriver, NestedLevelsRunFinestFirstWithThreeToTheKSubsteps) {
    ScratchFolder dir;
    const GridSpec parent{40, 40, 0, 3900, 0, 3900};
    const double d1 = 100.0 / 3, d2 = 100.0 / 9;
    const GridSpec child{37, 37, 900, 900 + 36 * d1, 900, 900 + 36 * d1};
    const GridSpec grandchild{46, 46, 1500, 1500 + 45 * d2, 1500, 1500 + 45 * d2};
    ModelRun run;
    for (auto [name, spec] : {std::pair{"p", parent}, {"c", child}, {"g", grandchild}}) {
        WriteSurferGrid(dir / (name + std::string(".grd")), spec, [](double, double) { return 30.0; });
        run.AddGrid(0, 100.0, dir / (name + std::string(".grd")), dir.Folder(name));
    }
    WriteSurferGrid(dir / "eta.grd", parent, [](double, double) { return 0.0; });
    run.events.push_back(SourceEvent{dir / "eta.grd", "", "", 0.0f});
    run.parameters.timeStep = 1.0f;
    ASSERT_EQ(run.Run(-1.0), InitResult::kSuccess);
    std::vector<int32_t> trace;
    run.sim->substepTrace = &trace;
    int32_t advance = 0;
    run.sim->Step(0, &advance);
    EXPECT_EQ(trace, (std::vector<int32_t>{2, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1, 1, 0}));
}

namespace {

// A line hump (Gaussian in x, uniform in y) of 0.5 m on water 100 m deep splits into two
// halves travelling at sqrt(g h); a gauge sees the east-going half's peak at L / c.
struct HumpCase {
    const char* name;
    bool spherical, adaptive;
    int childQuarter;      // 0: no child; 1: child in the south-west quarter; 2: in the north-east
    bool compareThreads;   // also run with two threads and compare every level's water level
};

struct HumpResult {
    double arrival = 0, expected = 0, peak = -1;
    std::vector<float> etaAt250;  // every level's water level after 250 s, outer first
};

// Runs until the wave has passed the gauge, or for `endSeconds` when positive.
HumpResult RunHump(const HumpCase& c, int threads, const ScratchFolder& dir, double endSeconds = 0) {
    const double depth = 100.0;
    const double unit = c.spherical ? 0.002 : 200.0;  // node spacing: degrees or metres
    const double metresPerUnit = c.spherical ? 6371008.0 * M_PI / 180.0 : 1.0;
    const GridSpec parent{151, 91, 0, 150 * unit, c.spherical ? -45 * unit : 0, c.spherical ? 45 * unit : 90 * unit};
    const double x0 = parent.xMin + 30 * unit, sigma = 5 * unit;  // hump axis and width
    WriteSurferGrid(dir / "parent.grd", parent, [&](double, double) { return depth; });
    WriteSurferGrid(dir / "hump.grd", parent,
                    [&](double x, double) { return 0.5 * std::exp(-0.5 * std::pow((x - x0) / sigma, 2)); });

    ModelRun run;
    const int type = c.spherical ? 2 : 0;
    run.AddGrid(type, 200.0, dir / "parent.grd", dir.Folder("p"));
    run.events.push_back(SourceEvent{dir / "hump.grd", "", "", 0.0f});
    run.parameters.timeStep = c.adaptive ? 0.25f : 1.0f;
    run.parameters.adaptiveTimeStepEnabled = c.adaptive;
    run.parameters.threadCount = threads;

    // A gauge 60 parent cells east of the axis, or 20 parent cells into the child, records
    // every step; its water-level history gives the arrival.
    GridSpec gaugeGrid = parent;
    int gaugeI = 91;
    if (c.childQuarter != 0) {
        const int ci = c.childQuarter == 1 ? 61 : 81;  // parent node of the child's first column
        const int cj = c.childQuarter == 1 ? 11 : 51;
        gaugeGrid = GridSpec{91, 91, parent.X(ci), parent.X(ci) + 30 * unit, parent.Y(cj), parent.Y(cj) + 30 * unit};
        WriteSurferGrid(dir / "child.grd", gaugeGrid, [&](double, double) { return depth; });
        run.AddGrid(type, 200.0, dir / "child.grd", dir.Folder("c"));
        gaugeI = 61;
    }
    std::ostringstream gauge;
    gauge.precision(12);
    gauge << "G " << gaugeGrid.X(gaugeI) << " " << gaugeGrid.Y(46) << "\n";
    run.grids.back().gaugeFile = dir.Write("gauges.txt", gauge.str());
    run.parameters.historyEverySteps = 1;

    HumpResult result;
    result.expected = (gaugeGrid.X(gaugeI) - x0) * metresPerUnit / std::sqrt(kGravity * depth);
    auto keep = [&](ZellSimulatorVestra& sim, double t) {
        if (t < 250 || !result.etaAt250.empty()) return;
        for (const GridLevel& level : sim.levels)
            for (int i = 1; i <= level.nx; ++i)
                for (int j = 1; j <= level.ny; ++j) result.etaAt250.push_back(level.eta(i, j));
    };
    EXPECT_EQ(run.Run(endSeconds > 0 ? endSeconds : result.expected * 1.5, keep), InitResult::kSuccess);
    std::istringstream history(ReadFile(run.grids.back().outputFolder + "OUT-TIME-HISTORIES_ETA.dat"));
    std::string header;
    std::getline(history, header);
    for (double minutes = 0, eta = 0; history >> minutes >> eta;)
        if (eta > result.peak) result.peak = eta, result.arrival = minutes * 60.0;
    return result;
}

class HumpArrival : public ::testing::TestWithParam<HumpCase> {};

}  // namespace

TEST_P(HumpArrival, MatchesTheLongWaveSpeedAndIsBitIdenticalWithTwoThreads) {
    ScratchFolder dir;
    const HumpResult one = RunHump(GetParam(), 1, dir);
    EXPECT_NEAR(one.arrival / one.expected, 1.0, 0.02) << "arrival " << one.arrival << " s, expected "
                                                       << one.expected << " s";
    EXPECT_GT(one.peak, 0.15);  // half the hump goes each way
    EXPECT_LT(one.peak, 0.26);
    if (!GetParam().compareThreads) return;
    // By 250 s the wave has crossed the child's boundary and fed back into the parent.
    const HumpResult two = RunHump(GetParam(), 2, dir, 250.0);
    ASSERT_FALSE(one.etaAt250.empty());
    ASSERT_EQ(one.etaAt250.size(), two.etaAt250.size());
    EXPECT_EQ(std::memcmp(one.etaAt250.data(), two.etaAt250.data(), one.etaAt250.size() * sizeof(float)), 0);
}

INSTANTIATE_TEST_SUITE_P(LongWavePhysics, HumpArrival,
                         ::testing::Values(HumpCase{"Cartesian", false, false, 0, false},
                                           HumpCase{"CartesianChildSouthWest", false, false, 1, true},
                                           HumpCase{"CartesianChildNorthEast", false, false, 2, false},
                                           HumpCase{"SphericalChildSouthWest", true, false, 1, true},
                                           HumpCase{"CartesianAdaptiveStep", false, true, 0, false}),
                         [](const auto& tested) { return std::string(tested.param.name); });

TEST(StepDriver, InitRefusesWhatStepCouldNotReadSafely) {
    ScratchFolder dir;
    auto grid = [&](const char* name, GridSpec g, double value) {
        WriteSurferGrid(dir / name, g, [value](double, double) { return value; });
    };
    grid("parent.grd", {40, 30, 0, 3900, 0, 2900}, 50.0);
    grid("eta.grd", {40, 30, 0, 3900, 0, 2900}, 0.0);
    grid("offnode.grd", {31, 31, 1040, 1040 + 1000, 1000, 1000 + 1000}, 50.0);  // 0.4 cells off the parent's nodes
    grid("half.grd", {21, 21, 1000, 2000, 1000, 2000}, 50.0);                   // half-size cells, not third-size
    grid("outside.grd", {61, 31, 3000, 5000, 1000, 2000}, 50.0);                // past the parent's east edge
    grid("small.grd", {20, 30, 0, 1900, 0, 2900}, 0.1);                         // a source smaller than level 0
    auto scenario = [&](const std::string& name, const std::string& child, const std::string& eta,
                        const std::string& extra) {
        std::string text = "[parameters]\ntimeStep = 1.0\nendTime = 0.05\nsnapshotInterval = 0\n" + extra;
        for (const std::string& grd : {std::string("parent.grd"), child})
            if (!grd.empty())
                text += "[[grids]]\ngridType = 0\ncellSize = 100.0\nbathymetryFile = \"" + grd +
                        "\"\noutputFolder = \"out-" + name + "/" + grd + "\"\n";
        return dir.Write(name, text + "[[sources]]\netaFile = \"" + eta + "\"\ninsertionTime = 0.0\n");
    };
    const struct {
        std::string file;
        int code;
        const char* message;
    } cases[] = {
        {scenario("a.toml", "offnode.grd", "eta.grd", ""), InitResult::kNestedLayout, "level 1"},
        {scenario("b.toml", "half.grd", "eta.grd", ""), InitResult::kNestedLayout, "level 1"},
        {scenario("c.toml", "outside.grd", "eta.grd", ""), InitResult::kNestedLayout, "level 1"},
        {scenario("d.toml", "", "small.grd", ""), InitResult::kSourceEventFile, "source event 1"},
        {scenario("e.toml", "", "eta.grd",
                  "timeSeriesEnabled = true\ntimeSeriesFile = \"eta.grd\"\nseriesMode = 1\n"
                  "seriesFirstIndex = 38\nseriesLastIndex = 41\n"),
         InitResult::kSeriesBandOutside, "band"},
    };
    for (const auto& c : cases) {
        const Outcome o = RunVestra({"run", "--quiet", c.file}, dir);
        EXPECT_NE(o.status, 0) << c.file;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << c.file << ": " << o.err;
        EXPECT_NE(o.err.find(InitResult::Meaning(c.code)), std::string::npos) << c.file << ": " << o.err;
    }

    // The library refuses a series file that cannot be opened, whatever the host checked.
    ModelRun run = Lake(dir, 0.0);
    run.parameters.timeSeriesEnabled = true;
    run.parameters.timeSeriesFile = dir / "missing.txt";
    run.parameters.seriesFirstIndex = 2;
    run.parameters.seriesLastIndex = 3;
    testing::internal::CaptureStderr();
    EXPECT_EQ(run.Run(-1.0), InitResult::kTimeSeriesUnreadable);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("missing.txt"), std::string::npos);
}

TEST(LongWavePhysics, SolitaryWaveRunupFollowsTheRunupLaw) {
    // A solitary wave of H/d = 0.01 on a 1:19.85 plane beach (a narrow Cartesian channel, no
    // friction) runs up to R/d = 2.831 sqrt(cot beta) (H/d)^1.25 (the non-breaking runup law).
    ScratchFolder dir;
    const double d = 1.0, H = 0.01, cotBeta = 19.85, dx = 0.05;
    const double toe = 60.0;  // x of the beach toe; the shoreline lies at toe + d cot(beta)
    // Two rows of high land on either side wall the channel in: the open north and east edges
    // of a Cartesian grid would otherwise drain the wave sideways.
    const int nx = 1681, ny = 15, middle = 8;
    const GridSpec g{nx, ny, 0.0, (nx - 1) * dx, 0.0, (ny - 1) * dx};
    const double gamma = std::sqrt(3.0 * H / (4.0 * d * d * d));
    const double x0 = toe - std::acosh(std::sqrt(1.0 / 0.05)) / gamma;  // the wave's front starts at the toe
    const double celerity = std::sqrt(kGravity * (d + H));
    auto eta = [&](double x) { return H / std::pow(std::cosh(gamma * (x - x0)), 2); };
    WriteSurferGrid(dir / "beach.grd", g, [&](double x, double y) {
        return y < 1.5 * dx || y > (ny - 2.5) * dx ? -1.0 : x < toe ? d : d - (x - toe) / cotBeta;
    });
    WriteSurferGrid(dir / "eta.grd", g, [&](double x, double) { return eta(x); });
    // The x-flux lives on the east face of each cell, half a cell east of the node.
    WriteSurferGrid(dir / "m.grd", g, [&](double x, double) { return celerity * eta(x + dx / 2); });

    ModelRun run;
    run.AddGrid(0, dx, dir / "beach.grd", dir.Folder("out"));
    run.events.push_back(SourceEvent{dir / "eta.grd", dir / "m.grd", "", 0.0f});
    run.parameters.timeStep = 0.005f;
    run.parameters.manningCoefficient = 0.0f;
    run.parameters.flowDepthLimit = 1e-4f;  // laboratory scale: the runup tongue is millimetres deep
    run.parameters.threadCount = 1;
    double runup = 0.0;
    ASSERT_EQ(run.Run(2.0 * (toe + d * cotBeta - x0) / celerity,
                      [&](ZellSimulatorVestra& sim, double) {
                          const GridLevel& level = sim.levels[0];
                          for (int i = 1; i <= nx; ++i)
                              if (level.depth(i, middle) < 0.0f && level.totalDepth(i, middle) > 1e-5f)
                                  runup = std::max(runup, static_cast<double>(level.eta(i, middle)));
                      }),
              InitResult::kSuccess);
    const double expected = d * 2.831 * std::sqrt(cotBeta) * std::pow(H / d, 1.25);
    RecordProperty("runup_over_law", std::to_string(runup / expected));
    EXPECT_NEAR(runup / expected, 1.0, 0.05) << "runup " << runup << " m, law " << expected << " m";
}
