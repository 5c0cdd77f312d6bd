// Runs that can be trusted: frames at every whole period whatever the step length, fixed
// steps beyond the stability limit refused at set-up, and runs whose water runs away stopped
// with their outputs kept.
#include <gtest/gtest.h>
#include <netcdf.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "InitResult.h"
#include "RunSafety.h"
#include "ScenarioFiles.h"
#include "ZellSimulatorVestra.h"

namespace {

constexpr double kG = 9.80665;

std::vector<double> NetCdfTimes(const std::string& path) {
    int id = -1, varid = -1, dim = -1;
    std::vector<double> times;
    if (nc_open(path.c_str(), NC_NOWRITE, &id) != NC_NOERR) return times;
    std::size_t length = 0;
    nc_inq_dimid(id, "TIME", &dim);
    nc_inq_dimlen(id, dim, &length);
    times.resize(length);
    nc_inq_varid(id, "TIME", &varid);
    nc_get_var_double(id, varid, times.data());
    nc_close(id);
    return times;
}

// What the run loop told its reporter.
struct RunLog {
    std::atomic<int32_t> lastStep{-1};
    std::atomic<bool> completed{false}, released{false};
};

class LogReporter : public ZellProgressBarI {
public:
    explicit LogReporter(RunLog* log) : log_(log) {}
    ~LogReporter() override { log_->released = true; }
    void StepDone(int32_t i) override { log_->lastStep = i; }
    void SetRange(int32_t) override {}
    void RunCompleted() override { log_->completed = true; }
    void InitFinished(int32_t) override {}

private:
    RunLog* log_;
};

// A level-0 model on a flat Cartesian basin, run through the simulator's own run loop.
struct Basin {
    ScratchFolder dir;
    std::vector<HostGridRecord> grids;
    std::vector<SourceEvent> events;
    SimulationParameters parameters;

    // nx x ny cells of `cell` metres over `depth` m; a Gaussian hump of `hump` m at the centre,
    // set at `humpTime` seconds.
    Basin(int nx, int ny, double cell, double depth, double hump, float humpTime = 0.0f) {
        const GridSpec g{nx, ny, 0, (nx - 1) * cell, 0, (ny - 1) * cell};
        WriteSurferGrid(dir / "bathy.grd", g, [&](double, double) { return depth; });
        const double xc = g.X(nx / 2), yc = g.Y(ny / 2), s = 3 * cell;
        WriteSurferGrid(dir / "hump.grd", g, [&](double x, double y) {
            return hump * std::exp(-((x - xc) * (x - xc) + (y - yc) * (y - yc)) / (2 * s * s));
        });
        grids.push_back(HostGridRecord{0, false, 0.0f, cell, dir / "bathy.grd", dir.Folder("out"), ""});
        events.push_back(SourceEvent{dir / "hump.grd", "", "", humpTime});
        parameters.outputFormat = 2;  // netCDF: every frame is a record stamped with its time
        parameters.historyEverySteps = 1000000;
        parameters.threadCount = 1;
    }

    // Runs to the end (or the halt) through Start; returns the run log.
    void Run(ZellSimulatorVestra& sim, RunLog* log) {
        sim.Start([log] { return new LogReporter(log); }, parameters);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!log->released && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(log->released) << "the run did not end";
        sim.Stop();  // joins the worker
    }
};

}  // namespace

TEST(FrameTiming, OneFramePerWholePeriodOnTheFirstStepReachingIt) {
    // Each whole multiple of a period up to the end of the run gets one frame, stamped with the
    // time of the first step that reaches it. The run loop's last call lies one step past the
    // end, so the multiple at the end is written whatever the step length.
    struct Case {
        const char* what;
        float step, period, minutes;
        bool adaptive;
        std::vector<double> times;  // empty: check the adaptive rule instead
    };
    const std::vector<Case> cases = {
        {"7.7 s steps", 7.7f, 600.0f, 50.0f, false, {600.6, 1201.2, 1801.8, 2402.4, 3003.0}},
        {"10.4 s steps", 10.4f, 600.0f, 50.0f, false, {603.2, 1206.4, 1809.6, 2402.4, 3005.6}},
        {"0.01 s steps", 0.01f, 5.0f, 0.5f, false, {5, 10, 15, 20, 25, 30}},
        {"adaptive steps", 0.5f, 60.0f, 10.0f, true, {}},
    };
    for (const Case& c : cases) {
        Basin basin(30, 20, 500.0, 10.0, 0.2);
        basin.parameters.timeStep = c.step;
        basin.parameters.snapshotInterval = c.period;
        basin.parameters.endTime = c.minutes;
        basin.parameters.adaptiveTimeStepEnabled = c.adaptive;
        // A snapshot mode with a period of its own: 1.5 periods, so every third multiple of
        // the water level's period is also one of its own.
        basin.parameters.snapshotMode1Enabled = true;
        basin.parameters.snapshotMode1Interval = 1.5f * c.period;
        ZellSimulatorVestra sim(&basin.grids, &basin.events);
        RunLog log;
        basin.Run(sim, &log);
        EXPECT_TRUE(log.completed) << c.what;

        const std::vector<double> frames = NetCdfTimes(basin.dir / "out/NETCDF_H.nc");
        const std::vector<double> snapshots = NetCdfTimes(basin.dir / "out/NETCDF_M.nc");
        const double end = c.minutes * 60.0;
        const std::size_t count = static_cast<std::size_t>(std::floor(end / c.period + 1e-9));
        EXPECT_EQ(frames.size(), count) << c.what;
        if (frames.size() != count) continue;
        EXPECT_EQ(snapshots.size(), static_cast<std::size_t>(std::floor(end / (1.5 * c.period) + 1e-9))) << c.what;
        for (std::size_t m = 0; m < frames.size(); ++m) {
            if (!c.times.empty()) {
                EXPECT_NEAR(frames[m], c.times[m], 1e-3) << c.what << ", frame " << m + 1;
                continue;
            }
            // Adaptive: steps of up to 500 m / (2 sqrt(g 10 m)) = 25.3 s, cut to end on a
            // whole period when they would cross one (from the first period on).
            const double multiple = (m + 1) * static_cast<double>(c.period);
            EXPECT_GE(frames[m], multiple - 1e-3) << c.what << ", frame " << m + 1;
            EXPECT_LT(frames[m], multiple + (m == 0 ? 25.3 : 1e-3)) << c.what << ", frame " << m + 1;
        }
        // A snapshot whose multiple coincides with a water-level multiple comes from the same step.
        for (std::size_t m = 0; m < snapshots.size(); ++m) {
            const std::size_t frame = 3 * (m + 1) / 2 - 1;
            if ((m + 1) % 2 == 0 && frame < frames.size()) {
                EXPECT_EQ(snapshots[m], frames[frame]) << c.what;
            }
        }
    }
}

TEST(StabilityLimit, InitRefusesAFixedStepBeyondTheLimitOfAnyLevel) {
    // Limits by hand from sqrt(g h) dt sqrt(1/dx^2 + 1/dy^2) = 1.
    const double cartesian = 500.0 / (std::sqrt(kG * 100.0) * std::sqrt(2.0));  // 11.290 s
    // A child of 500/3 m cells whose own water is 400 m deep takes steps of a third.
    const double child = 3.0 * (500.0 / 3.0) / (std::sqrt(kG * 400.0) * std::sqrt(2.0));  // 5.645 s
    // 1 arc-minute at 60-61 N over 4000 m: the northernmost row's narrow cells set it.
    const double dy = 6371008.0 * M_PI / 180.0 / 60.0;
    const double dx = dy * std::cos((61.0 + 0.5 / 60.0) * M_PI / 180.0);
    const double spherical = 1.0 / (std::sqrt(kG * 4000.0) * std::sqrt(1.0 / (dx * dx) + 1.0 / (dy * dy)));

    struct Case {
        const char* what;
        int layout;  // 0 Cartesian, 1 Cartesian with a deep child, 2 spherical
        double step;
        bool adaptive;
        int32_t code;
        const char* level;  // named in the message when refused
    };
    const std::vector<Case> cases = {
        {"the issue's 40 s on 500 m cells, 100 m deep", 0, 40.0, false, InitResult::kStepBeyondStability, "level 0"},
        {"just below the Cartesian limit", 0, cartesian * 0.995, false, InitResult::kSuccess, ""},
        {"just above the Cartesian limit", 0, cartesian * 1.005, false, InitResult::kStepBeyondStability, "level 0"},
        {"adaptive runs choose their own step", 0, 40.0, true, InitResult::kSuccess, ""},
        {"below the deep child's limit", 1, child * 0.995, false, InitResult::kSuccess, ""},
        {"above the deep child's limit only", 1, child * 1.005, false, InitResult::kStepBeyondStability, "level 1"},
        {"just below the spherical limit", 2, spherical * 0.995, false, InitResult::kSuccess, ""},
        {"just above the spherical limit", 2, spherical * 1.005, false, InitResult::kStepBeyondStability, "level 0"},
    };
    ScratchFolder dir;
    const GridSpec parent{31, 31, 0, 15000, 0, 15000};
    const GridSpec nested{31, 31, 5000, 10000, 5000, 10000};
    const GridSpec sphere{31, 61, 140.0, 140.5, 60.0, 61.0};
    WriteSurferGrid(dir / "parent.grd", parent, [](double, double) { return 100.0; });
    WriteSurferGrid(dir / "flat.grd", parent, [](double, double) { return 0.0; });
    WriteSurferGrid(dir / "child.grd", nested, [](double x, double y) {
        return std::fabs(x - 7500) < 1000 && std::fabs(y - 7500) < 1000 ? 400.0 : 100.0;
    });
    WriteSurferGrid(dir / "sphere.grd", sphere, [](double, double) { return 4000.0; });
    WriteSurferGrid(dir / "sphere-flat.grd", sphere, [](double, double) { return 0.0; });
    for (const Case& c : cases) {
        std::vector<HostGridRecord> grids;
        std::vector<SourceEvent> events;
        if (c.layout == 2) {
            grids.push_back(HostGridRecord{2, false, 0.0f, 1852.0, dir / "sphere.grd", dir.Folder("s"), ""});
            events.push_back(SourceEvent{dir / "sphere-flat.grd", "", "", 0.0f});
        } else {
            grids.push_back(HostGridRecord{0, false, 0.0f, 500.0, dir / "parent.grd", dir.Folder("p"), ""});
            if (c.layout == 1)
                grids.push_back(HostGridRecord{0, false, 0.0f, 500.0, dir / "child.grd", dir.Folder("c"), ""});
            events.push_back(SourceEvent{dir / "flat.grd", "", "", 0.0f});
        }
        SimulationParameters p;
        p.timeStep = static_cast<float>(c.step);
        p.adaptiveTimeStepEnabled = c.adaptive;
        ZellSimulatorVestra sim(&grids, &events);
        sim.SetParameters(p);
        testing::internal::CaptureStderr();
        EXPECT_EQ(sim.Init(nullptr), c.code) << c.what;
        const std::string message = testing::internal::GetCapturedStderr();
        if (c.code == InitResult::kSuccess) continue;
        // The message names the level, the level's limit (in base steps) and the step.
        const double limit = c.layout == 0 ? cartesian : c.layout == 1 ? child : spherical;
        char numbers[64];
        std::snprintf(numbers, sizeof numbers, "limit of %.4g s", limit);
        EXPECT_NE(message.find(c.level), std::string::npos) << c.what << ": " << message;
        EXPECT_NE(message.find(numbers), std::string::npos) << c.what << ": " << message;
        std::snprintf(numbers, sizeof numbers, "timeStep %g s", static_cast<double>(p.timeStep));
        EXPECT_NE(message.find(numbers), std::string::npos) << c.what << ": " << message;
    }
}

TEST(RunawayWater, FoundAtTheFirstCellBeyondTheBoundAtSeaOrOnLand) {
    // Sea cells are judged by their water level, land cells by their flow depth: a cell that
    // dried on high ground keeps its level on the ground, which is no blow-up.
    struct Case {
        const char* what;
        float depth, eta;  // of cell (3, 2); cell (4, 1) stands 600 m high when `second` is set
        bool second;
        bool found;
        int32_t i, j;
    };
    const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
    const std::vector<Case> cases = {
        {"calm sea", 50.0f, 0.5f, false, false, 0, 0},
        {"dried cell on ground 2000 m high", -2000.0f, 2000.0f, false, false, 0, 0},
        {"480 m deep flow over land", -10.0f, 490.0f, false, false, 0, 0},
        {"520 m deep flow over land", -10.0f, 530.0f, false, true, 3, 2},
        {"NaN at sea", 50.0f, nan, false, true, 3, 2},
        {"negative infinity at sea", 50.0f, -inf, false, true, 3, 2},
        {"a second cell further east is not the first", 50.0f, -501.0f, true, true, 3, 2},
        {"only the cell further east", 50.0f, 1.0f, true, true, 4, 1},
    };
    for (const Case& c : cases)
        for (int threads : {1, 2}) {
            GridLevel level;
            level.nx = 8;
            level.ny = 5;
            for (Field* f : {&level.depth, &level.eta}) f->Allocate(level.nx, level.ny);
            level.depth.Fill(50.0f);
            level.eta.Fill(0.0f);
            level.depth(3, 2) = c.depth;
            level.eta(3, 2) = c.eta;
            if (c.second) level.eta(4, 1) = 600.0f;
            const RunawayCell cell = FindRunawayCell(level, RunawayBound(50.0), threads);
            EXPECT_EQ(cell.found, c.found) << c.what << ", " << threads << " threads";
            EXPECT_EQ(cell.i, c.i) << c.what;
            EXPECT_EQ(cell.j, c.j) << c.what;
        }
    EXPECT_EQ(RunawayBound(50.0), 500.0f);   // ten times the deepest water
    EXPECT_EQ(RunawayBound(2.0), 100.0f);    // but never below 100 m
}

TEST(RunawayWater, AnUnstableRunStopsWithWhereAndWhenAndKeepsItsOutputs) {
    // The flux limits keep even a crest as high as the water is deep from running away, so the
    // absurd level comes from a source set after five minutes: 1500 m, beyond the 1000 m bound
    // of 100 m water. The frames written before it are kept.
    const double limit = 500.0 / (std::sqrt(kG * 100.0) * std::sqrt(2.0));
    std::string messages[2];
    for (int threads : {1, 2}) {
        Basin basin(30, 24, 500.0, 100.0, 1500.0, 300.0f);
        basin.parameters.timeStep = static_cast<float>(0.5 * limit);
        basin.parameters.endTime = 50.0f;
        basin.parameters.snapshotInterval = 60.0f;
        basin.parameters.threadCount = threads;
        ZellSimulatorVestra sim(&basin.grids, &basin.events);
        RunLog log;
        testing::internal::CaptureStdout();
        basin.Run(sim, &log);
        const std::string out = testing::internal::GetCapturedStdout();
        const RunDiagnostics diagnostics = sim.GetRunDiagnostics();
        ASSERT_TRUE(diagnostics.unstable) << threads << " threads";
        messages[threads - 1] = diagnostics.failureMessage;
        EXPECT_FALSE(log.completed);
        EXPECT_LT(log.lastStep, sim.StepCount() / 2) << "the run went on after the blow-up";
        EXPECT_NE(out.find(diagnostics.failureMessage), std::string::npos) << out;
        EXPECT_NE(out.find("Simulation Halted"), std::string::npos) << out;
        // Finish ran: the extremes are written, and the frames written before the blow-up are kept.
        EXPECT_TRUE(std::filesystem::exists(basin.dir / "out/OUT-ETA-MAX.nc"));
        EXPECT_GE(NetCdfTimes(basin.dir / "out/NETCDF_H.nc").size(), 1u);
    }
    // Level, cell, position and model time; the same with one and two threads.
    for (const char* part : {"level 0 became unstable at model time ", " m at cell (", "(x ", " m, y "})
        EXPECT_NE(messages[0].find(part), std::string::npos) << messages[0];
    EXPECT_EQ(messages[0], messages[1]);
}

TEST(RunawayWater, VestraRunExitsThreeAndSaysTheOutputsAreKept) {
    ScratchFolder dir;
    const GridSpec g{30, 24, 0, 29 * 500.0, 0, 23 * 500.0};
    WriteSurferGrid(dir / "bathy.grd", g, [](double, double) { return 100.0; });
    WriteSurferGrid(dir / "hump.grd", g, [&](double x, double y) {
        const double dx = x - g.X(15), dy = y - g.Y(12);
        return 1500.0 * std::exp(-(dx * dx + dy * dy) / (2 * 1500.0 * 1500.0));
    });
    dir.Write("s.toml",
              "[parameters]\ntimeStep = 5\nendTime = 50\nsnapshotInterval = 60\noutputFormat = 2\n"
              "historyEverySteps = 1000\n[[grids]]\ngridType = 0\ncellSize = 500.0\nbathymetryFile = \"bathy.grd\"\n"
              "outputFolder = \"out\"\n[[sources]]\netaFile = \"hump.grd\"\ninsertionTime = 300.0\n");
    const Outcome o = RunVestra({"run", "--quiet", "--no-plots", dir / "s.toml"}, dir);
    EXPECT_EQ(o.status, 3) << o.err;
    EXPECT_NE(o.err.find("the run became unstable and was stopped: level 0"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("outputs written so far are kept in " + dir / "out"), std::string::npos) << o.err;
    EXPECT_TRUE(std::filesystem::exists(dir / "out/OUT-ETA-MAX.nc"));

    // The 40 s on 500 m cells 100 m deep never starts.
    const Outcome refused = RunVestra({"run", "--quiet", "--no-plots", "--set", "timeStep=40", dir / "s.toml"}, dir);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Init returned 45"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("stability limit of 11.29 s"), std::string::npos) << refused.err;
}
