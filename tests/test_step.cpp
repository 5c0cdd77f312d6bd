// The step driver: step length control, the boundary series, source-event timing, the order
// of nested sub-steps, thread-count independence, and long-wave physics through whole runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <sys/wait.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "InitResult.h"
#include "ScenarioFiles.h"
#include "StepControl.h"
#include "ZellSimulatorVestra.h"

namespace {

constexpr double kGravity = 9.80665;

GridLevel FlatLevel(int nx, int ny, float depthValue) {
    GridLevel level;
    level.nx = nx;
    level.ny = ny;
    for (Field* f : {&level.depth, &level.eta, &level.fluxM, &level.fluxN}) {
        f->Allocate(nx, ny);
        f->Fill(0.0f);
    }
    level.depth.Fill(depthValue);
    return level;
}

// Runs the model through Init and Step until the model time passes `endSeconds`, calling
// `observe(simulator, timeAfterCall)` after every call.
struct ModelRun {
    std::vector<HostGridRecord> grids;
    std::vector<SourceEvent> events;
    SimulationParameters parameters;

    int32_t Run(double endSeconds, const std::function<void(ZellSimulatorVestra&, double)>& observe,
                ZellSimulatorVestra** keep = nullptr) {
        auto* sim = new ZellSimulatorVestra(&grids, &events);
        sim->SetParameters(parameters);
        const int32_t code = sim->Init(nullptr);
        if (code == InitResult::kSuccess) {
            for (int32_t i = 0; i * static_cast<double>(parameters.timeStep) <= endSeconds;) {
                int32_t advance = 0;
                sim->Step(i, &advance);
                EXPECT_GE(advance, 1);
                i += advance;
                if (observe) observe(*sim, i * static_cast<double>(parameters.timeStep));
            }
        }
        if (keep != nullptr) *keep = sim;
        else delete sim;
        return code;
    }
};

// Time (s) at which the water level at cell (i, j) of `level` peaks.
struct PeakTracker {
    size_t level = 0;
    int i = 0, j = 0;
    double bestEta = -1e30, bestTime = 0;
    void operator()(ZellSimulatorVestra& sim, double t) {
        const float eta = sim.levels[level].eta(i, j);
        if (eta > bestEta) {
            bestEta = eta;
            bestTime = t;
        }
    }
};

}  // namespace

TEST(StepLength, AdaptiveLengthsAndOutputAlignment) {
    // Level 0 spans 10 degrees of latitude over 601 rows: 1 arc-minute, 1852.99 m per row.
    GridLevel level0;
    level0.gridType = 2;
    level0.yMin = 0.0;
    level0.yMax = 10.0;
    level0.ny = 601;
    const double dy = RowSpacingMetres(level0, 500.0f);
    EXPECT_NEAR(dy, 1852.96, 0.01);

    StepLengthRequest request;
    request.adaptive = true;
    request.timeStep = 1.0f;
    request.rowSpacingMetres = dy;
    request.stepMaximum = 4000.0f;
    EXPECT_NEAR(ChooseStepLength(request), 4.6794, 1e-4);
    EXPECT_EQ(AdvanceForLength(ChooseStepLength(request), 1.0f), 4);
    request.stepMaximum = 10.0f;  // first estimate 93.589 s, cut to 0.707 r - 0.01 with r = 46.805
    EXPECT_NEAR(ChooseStepLength(request), 33.081, 1e-3);
    EXPECT_EQ(AdvanceForLength(ChooseStepLength(request), 1.0f), 33);

    request.stepMaximum = 0.0f;  // no wave yet: the base step
    EXPECT_EQ(ChooseStepLength(request), 1.0f);
    request.adaptive = false;
    request.stepMaximum = 4000.0f;
    EXPECT_EQ(ChooseStepLength(request), 1.0f);

    // At t = 99 s a 4.68 s step would cross the frame at 100 s: shortened by 3 s to 1.68 s.
    request.adaptive = true;
    request.snapshotInterval = 10.0f;
    request.t = 99.0;
    EXPECT_NEAR(ChooseStepLength(request), 1.6794, 1e-4);
    EXPECT_EQ(AdvanceForLength(ChooseStepLength(request), 1.0f), 1);
    request.t = 95.0;  // ends at 99.68: no frame crossed, no change
    EXPECT_NEAR(ChooseStepLength(request), 4.6794, 1e-4);
    request.t = 5.0;  // before the first period the alignment does nothing
    EXPECT_NEAR(ChooseStepLength(request), 4.6794, 1e-4);

    // Sub-second frame periods have no whole period to align to; the step is kept.
    request.snapshotInterval = 0.5f;
    request.t = 99.0;
    EXPECT_NEAR(ChooseStepLength(request), 4.6794, 1e-4);

    // A length shortened below the base step still advances by one.
    EXPECT_EQ(AdvanceForLength(0.3f, 1.0f), 1);
    EXPECT_EQ(AdvanceForLength(0.0f, 1.0f), 1);

    GridLevel cartesian;  // Cartesian level 0: the row spacing is the cell size itself
    cartesian.gridType = 0;
    EXPECT_EQ(RowSpacingMetres(cartesian, 250.0f), 250.0);
}

TEST(BoundarySeries, OneRecordPerCallOnItsBandThenNoMore) {
    std::istringstream series("0 1.5 10 20\n1 2.5 11 21\n2 3.5 12 22\n");
    GridLevel level = FlatLevel(8, 6, 50.0f);
    level.depth(3, 4) = 0.0f;  // a dry cell inside the band keeps its value

    SeriesRecord record;
    const SeriesBand columns{3, 4, 1};  // columns 3..4, rows 2..ny-1
    ASSERT_TRUE(ReadSeriesRecord(series, &record));
    ApplySeriesWaterLevel(level, columns, record);
    for (int i = 1; i <= 8; ++i)
        for (int j = 1; j <= 6; ++j) {
            const bool inBand = (i == 3 || i == 4) && j >= 2 && j <= 5 && !(i == 3 && j == 4);
            EXPECT_EQ(level.eta(i, j), inBand ? 1.5f : 0.0f) << i << "," << j;
        }

    level.eta.Fill(0.0f);
    const SeriesBand rows{2, 2, 0};  // row 2, columns 2..nx-1
    ASSERT_TRUE(ReadSeriesRecord(series, &record));
    EXPECT_EQ(record.eta, 2.5);
    ApplySeriesWaterLevel(level, rows, record);
    ApplySeriesFluxes(level, rows, record);
    for (int i = 1; i <= 8; ++i)
        for (int j = 1; j <= 6; ++j) {
            const bool inBand = j == 2 && i >= 2 && i <= 7;
            EXPECT_EQ(level.eta(i, j), inBand ? 2.5f : 0.0f);
            EXPECT_EQ(level.fluxM(i, j), inBand ? 11.0f : 0.0f);
            EXPECT_EQ(level.fluxN(i, j), inBand ? 21.0f : 0.0f);
        }

    level.eta.Fill(0.0f);
    const SeriesBand both{2, 2, 2};
    ASSERT_TRUE(ReadSeriesRecord(series, &record));
    ApplySeriesWaterLevel(level, both, record);
    int forced = 0;
    for (int i = 1; i <= 8; ++i)
        for (int j = 1; j <= 6; ++j) forced += level.eta(i, j) == 3.5f;
    EXPECT_EQ(forced, 4 + 6 - 1);  // column 2 rows 2..5, row 2 columns 2..7, (2,2) once

    EXPECT_FALSE(ReadSeriesRecord(series, &record));  // exhausted: nothing more is applied

    const SeriesBand empty{5, 4, 2};
    level.eta.Fill(0.0f);
    ApplySeriesWaterLevel(level, empty, SeriesRecord{9.0, 0, 0});
    EXPECT_EQ(level.eta(5, 3), 0.0f);

    EXPECT_TRUE(SeriesBandFits(level, SeriesBand{1, 8, 1}));
    EXPECT_FALSE(SeriesBandFits(level, SeriesBand{1, 9, 1}));   // past the last column
    EXPECT_FALSE(SeriesBandFits(level, SeriesBand{1, 7, 0}));   // past the last row
    EXPECT_FALSE(SeriesBandFits(level, SeriesBand{0, 3, 0}));   // the halo is not a grid cell
    EXPECT_TRUE(SeriesBandFits(level, SeriesBand{9, 3, 2}));    // empty band
}

TEST(StepDriver, SourceEventsApplyInTheStepThatHoldsTheirTime) {
    ScratchFolder dir;
    const GridSpec g{12, 10, 0, 1100, 0, 900};
    WriteSurferGrid(dir / "bathy.grd", g, [](double, double) { return 20.0; });
    WriteSurferGrid(dir / "half.grd", g, [](double, double) { return 0.5; });
    WriteSurferGrid(dir / "quarter.grd", g, [](double, double) { return 0.25; });

    ModelRun run;
    run.grids.push_back(HostGridRecord{0, false, 0.0f, 100.0, dir / "bathy.grd", dir.Folder("out"), ""});
    run.events.push_back(SourceEvent{dir / "half.grd", "", "", 0.0f});
    run.events.push_back(SourceEvent{dir / "quarter.grd", "", "", 0.1f});
    run.parameters.timeStep = 0.1f;
    run.parameters.snapshotInterval = 0.0f;

    std::vector<float> centre;
    ASSERT_EQ(run.Run(0.25, [&](ZellSimulatorVestra& sim, double) { centre.push_back(sim.levels[0].eta(6, 5)); }),
              InitResult::kSuccess);
    ASSERT_GE(centre.size(), 2u);
    EXPECT_EQ(centre[0], 0.5f);   // the event at 0 s in step 0: a level lake stays level
    EXPECT_EQ(centre[1], 0.25f);  // the event at 0.1 s in step 1, not step 0
}

TEST(StepDriver, TimeSeriesRecordsAreConsumedOnePerCallInEveryMode) {
    ScratchFolder dir;
    const GridSpec g{12, 10, 0, 1100, 0, 900};
    WriteSurferGrid(dir / "bathy.grd", g, [](double, double) { return 20.0; });
    WriteSurferGrid(dir / "flat.grd", g, [](double, double) { return 0.0; });
    {
        std::ofstream series(dir / "series.txt");
        series << "0 0.30 0 0\n60 0.20 0 0\n120 0.10 0 0\n";
    }
    // Mode 1 forces columns 4..5, mode 0 rows 4..5, mode 2 both; (7, 7) lies in no band.
    for (int mode = 0; mode <= 2; ++mode) {
        ModelRun run;
        run.grids.push_back(HostGridRecord{0, false, 0.0f, 100.0, dir / "bathy.grd", dir.Folder("out"), ""});
        run.events.push_back(SourceEvent{dir / "flat.grd", "", "", 0.0f});
        run.parameters.timeStep = 0.1f;
        run.parameters.snapshotInterval = 0.0f;
        run.parameters.timeSeriesEnabled = true;
        run.parameters.timeSeriesFile = dir / "series.txt";
        run.parameters.seriesMode = mode;
        run.parameters.seriesFirstIndex = 4;
        run.parameters.seriesLastIndex = 5;
        const int bandI = mode == 0 ? 7 : 4, bandJ = mode == 0 ? 4 : 7;
        std::vector<float> inBand, outside;
        ZellSimulatorVestra* sim = nullptr;
        ASSERT_EQ(run.Run(0.35,
                          [&](ZellSimulatorVestra& s, double) {
                              inBand.push_back(s.levels[0].eta(bandI, bandJ));
                              outside.push_back(s.levels[0].eta(7, 7));
                          },
                          &sim),
                  InitResult::kSuccess);
        ASSERT_EQ(inBand.size(), 4u);
        // One record per call, whatever its time column says; the level left after the call
        // is the record's value moved by one short step of the dynamics.
        EXPECT_NEAR(inBand[0], 0.30f, 0.01f) << "mode " << mode;
        EXPECT_NEAR(inBand[1], 0.20f, 0.01f) << "mode " << mode;
        EXPECT_NEAR(inBand[2], 0.10f, 0.01f) << "mode " << mode;
        EXPECT_TRUE(sim->timeSeriesStream.fail()) << "mode " << mode;  // the fourth call found no record
        EXPECT_LT(std::fabs(outside[0]), 0.01f) << "mode " << mode;
        delete sim;
    }
}

TEST(StepDriver, NestedLevelsRunFinestFirstWithThreeToTheKSubsteps) {
    ScratchFolder dir;
    const GridSpec parent{40, 40, 0, 3900, 0, 3900};
    const GridSpec child{37, 37, 900, 900 + 36 * 100.0 / 3, 900, 900 + 36 * 100.0 / 3};
    const double d2 = 100.0 / 9;
    const GridSpec grandchild{46, 46, 1500, 1500 + 45 * d2, 1500, 1500 + 45 * d2};
    for (auto [name, spec] : {std::pair{"p.grd", parent}, {"c.grd", child}, {"g.grd", grandchild}})
        WriteSurferGrid(dir / name, spec, [](double, double) { return 30.0; });
    WriteSurferGrid(dir / "eta.grd", parent, [](double, double) { return 0.0; });

    ModelRun run;
    for (const char* name : {"p.grd", "c.grd", "g.grd"})
        run.grids.push_back(HostGridRecord{0, false, 0.0f, 100.0, dir / name, dir.Folder(name + std::string("-out")), ""});
    run.events.push_back(SourceEvent{dir / "eta.grd", "", "", 0.0f});
    run.parameters.timeStep = 1.0f;
    run.parameters.snapshotInterval = 0.0f;

    ZellSimulatorVestra* sim = nullptr;
    ASSERT_EQ(run.Run(-1.0, nullptr, &sim), InitResult::kSuccess);
    std::vector<int32_t> trace;
    sim->substepTrace = &trace;
    int32_t advance = 0;
    sim->Step(0, &advance);
    std::vector<int32_t> expected(9, 2);
    expected.insert(expected.end(), 3, 1);
    expected.push_back(0);
    EXPECT_EQ(trace, expected);
    delete sim;
}

namespace {

// A line hump (Gaussian in x, uniform in y) of 0.5 m on water 100 m deep splits into two
// halves travelling at sqrt(g h); the gauge sees the east-going half's peak at L / c.
struct HumpCase {
    bool spherical = false;
    bool adaptive = false;
    int childQuarter = 0;  // 0: no child; 1: child in the south-west quarter; 2: in the north-east
    int threads = 1;
    double endSeconds = 0;  // 0: until the wave has passed the gauge
};

struct HumpResult {
    double arrival = 0, expected = 0;
    std::vector<float> finalEta;
};

HumpResult RunHump(const HumpCase& c, const ScratchFolder& dir) {
    const double depth = 100.0;
    const double unit = c.spherical ? 0.002 : 200.0;  // node spacing: degrees or metres
    const double metresPerUnit = c.spherical ? 6371008.0 * M_PI / 180.0 : 1.0;
    const GridSpec parent{151, 91, 0, 150 * unit, c.spherical ? -45 * unit : 0, c.spherical ? 45 * unit : 90 * unit};
    const double x0 = parent.xMin + 30 * unit;  // hump axis
    const double sigma = 5 * unit;
    auto hump = [&](double x, double) { return 0.5 * std::exp(-0.5 * std::pow((x - x0) / sigma, 2)); };
    WriteSurferGrid(dir / "parent.grd", parent, [&](double, double) { return depth; });
    WriteSurferGrid(dir / "hump.grd", parent, hump);

    ModelRun run;
    const int type = c.spherical ? 2 : 0;
    run.grids.push_back(HostGridRecord{type, false, 0.0f, 200.0, dir / "parent.grd", dir.Folder("p"), ""});
    run.events.push_back(SourceEvent{dir / "hump.grd", "", "", 0.0f});
    run.parameters.timeStep = c.adaptive ? 0.25f : 1.0f;
    run.parameters.adaptiveTimeStepEnabled = c.adaptive;
    run.parameters.snapshotInterval = 0.0f;
    run.parameters.threadCount = c.threads;

    PeakTracker tracker;
    double gaugeX = 0;
    if (c.childQuarter == 0) {
        tracker.i = 91;  // 60 cells east of the hump axis
        tracker.j = 46;
        gaugeX = parent.X(91);
    } else {
        const int ci = c.childQuarter == 1 ? 61 : 81;  // parent node of the child's first column
        const int cj = c.childQuarter == 1 ? 11 : 51;
        const GridSpec child{91, 91, parent.X(ci), parent.X(ci) + 30 * unit, parent.Y(cj), parent.Y(cj) + 30 * unit};
        WriteSurferGrid(dir / "child.grd", child, [&](double, double) { return depth; });
        run.grids.push_back(HostGridRecord{type, false, 0.0f, 200.0, dir / "child.grd", dir.Folder("c"), ""});
        tracker.level = 1;
        tracker.i = 61;  // 20 parent cells into the child
        tracker.j = 46;
        gaugeX = child.X(61);
    }
    HumpResult result;
    result.expected = (gaugeX - x0) * metresPerUnit / std::sqrt(kGravity * depth);
    ZellSimulatorVestra* sim = nullptr;
    EXPECT_EQ(run.Run(c.endSeconds > 0 ? c.endSeconds : result.expected * 1.5, std::ref(tracker), &sim), InitResult::kSuccess);
    result.arrival = tracker.bestTime;
    const GridLevel& last = sim->levels.back();
    for (int i = 1; i <= last.nx; ++i)
        for (int j = 1; j <= last.ny; ++j) result.finalEta.push_back(last.eta(i, j));
    delete sim;
    return result;
}

}  // namespace

TEST(LongWavePhysics, HumpArrivalMatchesTheLongWaveSpeed) {
    ScratchFolder dir;
    struct Named {
        const char* name;
        HumpCase c;
    };
    for (const Named& n : {Named{"cartesian", {}}, Named{"cartesian, child south-west", {false, false, 1}},
                           Named{"cartesian, child north-east", {false, false, 2}},
                           Named{"spherical, spherical child", {true, false, 1}},
                           Named{"cartesian, adaptive step", {false, true, 0}}}) {
        const HumpResult r = RunHump(n.c, dir);
        EXPECT_NEAR(r.arrival / r.expected, 1.0, 0.02) << n.name << ": arrival " << r.arrival << " s, expected "
                                                       << r.expected << " s";
    }
}

TEST(LongWavePhysics, ResultsAreBitIdenticalWithOneAndTwoThreads) {
    ScratchFolder dir;
    for (bool spherical : {false, true}) {
        // Long enough for the wave to cross the child's boundary and feed back into the parent.
        const HumpResult one = RunHump(HumpCase{spherical, false, 1, 1, 250.0}, dir);
        const HumpResult two = RunHump(HumpCase{spherical, false, 1, 2, 250.0}, dir);
        ASSERT_EQ(one.finalEta.size(), two.finalEta.size());
        EXPECT_EQ(std::memcmp(one.finalEta.data(), two.finalEta.data(), one.finalEta.size() * sizeof(float)), 0)
            << (spherical ? "spherical" : "cartesian");
    }
}

namespace {

// Runs the built vestra binary; returns its exit status and standard error.
int RunVestra(const std::string& arguments, std::string* errors) {
    const std::string errFile = std::filesystem::temp_directory_path() / ("vestra-stderr-" + std::to_string(::getpid()));
    const std::string command = std::string(VESTRA_BINARY_DIR) + "/vestra " + arguments + " > /dev/null 2> " + errFile;
    const int status = std::system(command.c_str());
    std::ifstream in(errFile);
    errors->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::filesystem::remove(errFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(StepDriver, InitRefusesWhatStepCouldNotReadSafely) {
    ScratchFolder dir;
    const GridSpec parent{40, 30, 0, 3900, 0, 2900};
    WriteSurferGrid(dir / "parent.grd", parent, [](double, double) { return 50.0; });
    WriteSurferGrid(dir / "eta.grd", parent, [](double, double) { return 0.0; });
    // A child whose first node lies 0.4 cells off the parent's nodes.
    const GridSpec offNode{31, 31, 1040, 1040 + 30 * 100.0 / 3, 1000, 1000 + 30 * 100.0 / 3};
    WriteSurferGrid(dir / "offnode.grd", offNode, [](double, double) { return 50.0; });
    // A child with half-size instead of third-size cells.
    const GridSpec halfCells{21, 21, 1000, 2000, 1000, 2000};
    WriteSurferGrid(dir / "half.grd", halfCells, [](double, double) { return 50.0; });
    // A child running past the parent's east edge.
    const GridSpec outside{61, 31, 3000, 5000, 1000, 2000};
    WriteSurferGrid(dir / "outside.grd", outside, [](double, double) { return 50.0; });
    // A source grid smaller than level 0.
    const GridSpec small{20, 30, 0, 1900, 0, 2900};
    WriteSurferGrid(dir / "small.grd", small, [](double, double) { return 0.1; });

    auto scenario = [&](const std::string& name, const std::string& childFile, const std::string& etaFile,
                        const std::string& extra) {
        std::ofstream out(dir / name);
        out << "[parameters]\ntimeStep = 1.0\nendTime = 0.05\nsnapshotInterval = 0\n" << extra
            << "[[grids]]\ngridType = 0\ncellSize = 100.0\nbathymetryFile = \"parent.grd\"\noutputFolder = \"out-"
            << name << "/p\"\n";
        if (!childFile.empty())
            out << "[[grids]]\ngridType = 0\ncellSize = 100.0\nbathymetryFile = \"" << childFile
                << "\"\noutputFolder = \"out-" << name << "/c\"\n";
        out << "[[sources]]\netaFile = \"" << etaFile << "\"\ninsertionTime = 0.0\n";
        return dir / name;
    };
    struct Case {
        const char* what;
        std::string file;
        int code;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"off-node child", scenario("a.toml", "offnode.grd", "eta.grd", ""), InitResult::kNestedLayout, "level 1"},
        {"half-size cells", scenario("b.toml", "half.grd", "eta.grd", ""), InitResult::kNestedLayout, "level 1"},
        {"child outside", scenario("c.toml", "outside.grd", "eta.grd", ""), InitResult::kNestedLayout, "level 1"},
        {"small source", scenario("d.toml", "", "small.grd", ""), InitResult::kSourceEventFile, "source event 1"},
        {"band outside", scenario("e.toml", "", "eta.grd",
                                  "timeSeriesEnabled = true\ntimeSeriesFile = \"eta.grd\"\nseriesMode = 1\n"
                                  "seriesFirstIndex = 38\nseriesLastIndex = 41\n"),
         InitResult::kSeriesBandOutside, "band"},
    };
    for (const Case& c : cases) {
        std::string errors;
        EXPECT_NE(RunVestra("run --quiet " + c.file, &errors), 0) << c.what;
        EXPECT_NE(errors.find(c.message), std::string::npos) << c.what << ": " << errors;
        EXPECT_NE(errors.find(InitResult::Meaning(c.code)), std::string::npos) << c.what << ": " << errors;
    }

    // The library refuses a series file that cannot be opened, whatever the host checked.
    ModelRun run;
    run.grids.push_back(HostGridRecord{0, false, 0.0f, 100.0, dir / "parent.grd", dir.Folder("lib"), ""});
    run.events.push_back(SourceEvent{dir / "eta.grd", "", "", 0.0f});
    run.parameters.timeStep = 1.0f;
    run.parameters.timeSeriesEnabled = true;
    run.parameters.timeSeriesFile = dir / "missing.txt";
    run.parameters.seriesFirstIndex = 2;
    run.parameters.seriesLastIndex = 3;
    testing::internal::CaptureStderr();
    EXPECT_EQ(run.Run(-1.0, nullptr), InitResult::kTimeSeriesUnreadable);
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
    auto depth = [&](double x, double y) {
        if (y < 1.5 * dx || y > (ny - 2.5) * dx) return -1.0;
        return x < toe ? d : d - (x - toe) / cotBeta;
    };
    const double gamma = std::sqrt(3.0 * H / (4.0 * d * d * d));
    const double x0 = toe - std::acosh(std::sqrt(1.0 / 0.05)) / gamma;  // the wave's front starts at the toe
    const double celerity = std::sqrt(kGravity * (d + H));
    auto eta = [&](double x) { return H / std::pow(std::cosh(gamma * (x - x0)), 2); };
    WriteSurferGrid(dir / "beach.grd", g, depth);
    WriteSurferGrid(dir / "eta.grd", g, [&](double x, double) { return eta(x); });
    // The x-flux lives on the east face of each cell, half a cell east of the node.
    WriteSurferGrid(dir / "m.grd", g, [&](double x, double) { return celerity * eta(x + dx / 2); });

    ModelRun run;
    run.grids.push_back(HostGridRecord{0, false, 0.0f, dx, dir / "beach.grd", dir.Folder("out"), ""});
    run.events.push_back(SourceEvent{dir / "eta.grd", dir / "m.grd", "", 0.0f});
    run.parameters.timeStep = 0.005f;
    run.parameters.manningCoefficient = 0.0f;
    run.parameters.flowDepthLimit = 1e-4f;  // laboratory scale: the runup tongue is millimetres deep
    run.parameters.snapshotInterval = 0.0f;
    run.parameters.threadCount = 1;
    double runup = 0.0;
    const double travel = (toe + d * cotBeta - x0) / celerity;
    ASSERT_EQ(run.Run(travel * 2.0,
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

TEST(LongWavePhysics, GaugeRecordsTheArrivalThroughTheVestraCommand) {
    // The line hump of the in-library runs, through a scenario file and the command: the
    // gauge's water-level history peaks at L / sqrt(g h).
    ScratchFolder dir;
    const GridSpec g{151, 31, 0, 150 * 200.0, 0, 30 * 200.0};
    WriteSurferGrid(dir / "flat.grd", g, [](double, double) { return 100.0; });
    WriteSurferGrid(dir / "hump.grd", g,
                    [](double x, double) { return 0.5 * std::exp(-0.5 * std::pow((x - 6000.0) / 1000.0, 2)); });
    {
        std::ofstream gauges(dir / "gauges.txt");
        gauges << "G 18000 3000\n";
        std::ofstream scenario(dir / "hump.toml");
        scenario << "[parameters]\ntimeStep = 1.0\nendTime = 10.0\nsnapshotInterval = 0\nhistoryEverySteps = 1\n"
                    "threadCount = 1\noutputFormat = 0\n"
                    "[[grids]]\ngridType = 0\ncellSize = 200.0\nbathymetryFile = \"flat.grd\"\n"
                    "outputFolder = \"out\"\ngaugeFile = \"gauges.txt\"\n"
                    "[[sources]]\netaFile = \"hump.grd\"\ninsertionTime = 0.0\n";
    }
    std::string errors;
    ASSERT_EQ(RunVestra("run --quiet " + (dir / "hump.toml"), &errors), 0) << errors;
    std::ifstream history(dir / "out/OUT-TIME-HISTORIES_ETA.dat");
    std::string header;
    std::getline(history, header);
    EXPECT_EQ(header.rfind("Time G_100.000", 0), 0u) << header;
    double minutes = 0, eta = 0, peakEta = -1, peakMinutes = 0;
    while (history >> minutes >> eta)
        if (eta > peakEta) {
            peakEta = eta;
            peakMinutes = minutes;
        }
    const double expected = 12000.0 / std::sqrt(kGravity * 100.0);
    EXPECT_NEAR(peakMinutes * 60.0 / expected, 1.0, 0.02) << "peak at " << peakMinutes * 60.0 << " s";
    // Half the hump goes each way; the open north and south edges of the narrow basin let
    // some of it drain while it travels.
    EXPECT_GT(peakEta, 0.1);
    EXPECT_LT(peakEta, 0.26);
}
