// Frames at every whole period whatever the step; unstable steps refused; runaway runs stopped, outputs kept.
#include <netcdf.h>

#include "PhysicsRuns.h"
#include "RunSafety.h"

namespace {

std::vector<double> NetCdfTimes(const std::string& path) {
    int id = -1, varid = -1, dim = -1;
    std::size_t length = 0;
    if (nc_open(path.c_str(), NC_NOWRITE, &id) != NC_NOERR) return {};
    nc_inq_dimid(id, "TIME", &dim);
    nc_inq_dimlen(id, dim, &length);
    std::vector<double> times(length);
    nc_inq_varid(id, "TIME", &varid);
    nc_get_var_double(id, varid, times.data());
    nc_close(id);
    return times;
}

}  // namespace

// One frame per whole period up to the end, from the first step reaching it; snapshots of 1.5 periods alike.
TEST(FrameTiming, OneFramePerWholePeriodOnTheFirstStepReachingIt) {
    const std::tuple<float, float, float, std::vector<double>> cases[] = {  // step, period, minutes, frames
        {7.7f, 600.0f, 50.0f, {600.6, 1201.2, 1801.8, 2402.4, 3003.0}},
        {10.4f, 600.0f, 50.0f, {603.2, 1206.4, 1809.6, 2402.4, 3005.6}},
        {0.01f, 5.0f, 0.5f, {5, 10, 15, 20, 25, 30}},
        {0.5f, 60.0f, 10.0f, {}},  // adaptive
    };
    for (const auto& [step, period, minutes, times] : cases) {
        ScratchFolder dir;
        SteppedRun run;
        const GridSpec g{30, 20, 0, 29 * 500.0, 0, 19 * 500.0};
        run.AddLevel(dir, "out", 0, 500.0, g, [](double, double) { return 10.0; });
        run.AddSource(dir, "hump", g, [](double x, double y) {
            return 0.2 * std::exp(-(std::pow(x - 7500, 2) + std::pow(y - 5000, 2)) / (2 * 1500.0 * 1500.0));
        });
        SimulationParameters& p = run.parameters;
        p.outputFormat = 2;  // netCDF: every frame is a record stamped with its time
        p.timeStep = step;
        p.snapshotInterval = period;
        p.endTime = minutes;
        p.adaptiveTimeStepEnabled = times.empty();
        p.snapshotMode1Enabled = true;
        p.snapshotMode1Interval = 1.5f * period;
        ASSERT_EQ(run.Init(), InitResult::kSuccess);
        while (run.index <= ZellSimulatorTI::ComputeStepCount(p) + 1) run.Step();
        run.sim->Finish();

        const std::vector<double> frames = NetCdfTimes(dir / "out/NETCDF_H.nc");
        const std::vector<double> snapshots = NetCdfTimes(dir / "out/NETCDF_M.nc");
        const std::size_t count = static_cast<std::size_t>(std::floor(minutes * 60.0 / period + 1e-9));
        ASSERT_EQ(frames.size(), count) << step;
        EXPECT_EQ(snapshots.size(), count * 2 / 3) << step;
        for (std::size_t m = 0; m < count; ++m) {
            // Adaptive steps (up to 500 m / (2 sqrt(g 10 m)) = 25.3 s) end on each period from the first on.
            const double low = times.empty() ? (m + 1) * period : times[m], late = times.empty() && !m ? 25.3 : 0;
            EXPECT_TRUE(frames[m] >= low - 1e-3 && frames[m] <= low + late + 1e-3) << step << " s, frame " << m + 1;
        }
        for (std::size_t m = 1; m < snapshots.size(); m += 2) EXPECT_EQ(snapshots[m], frames[3 * (m + 1) / 2 - 1]);
    }
}

// Limits by hand from sqrt(g h) dt sqrt(1/dx^2 + 1/dy^2) = 1 (the CLI test below checks the message).
TEST(StabilityLimit, InitRefusesAFixedStepBeyondTheLimitOfAnyLevel) {
    const double cartesian = 500.0 / (std::sqrt(kGravity * 100.0) * std::sqrt(2.0));  // 11.290 s
    // A child of 500/3 m cells whose own water is 400 m deep takes steps of a third.
    const double child = 3.0 * (500.0 / 3.0) / (std::sqrt(kGravity * 400.0) * std::sqrt(2.0));  // 5.645 s
    // 1 arc-minute at 60-61 N over 4000 m: the northernmost row's narrow cells set it.
    const double dy = kMetresPerDegree / 60.0, dx = dy * std::cos((61.0 + 0.5 / 60.0) * M_PI / 180.0);
    const double spherical = 1.0 / (std::sqrt(kGravity * 4000.0) * std::sqrt(1.0 / (dx * dx) + 1.0 / (dy * dy)));
    // Layout 0 Cartesian, 1 Cartesian with a deep child, 2 spherical; step; adaptive; refused.
    const std::tuple<int, double, bool, bool> cases[] = {
        {0, 40.0, false, true},  {0, cartesian * 0.995, false, false}, {0, cartesian * 1.005, false, true},
        {0, 40.0, true, false},  {1, child * 0.995, false, false},     {1, child * 1.005, false, true},
        {2, spherical * 0.995, false, false}, {2, spherical * 1.005, false, true},
    };
    ScratchFolder dir;
    const GridSpec parent{31, 31, 0, 15000, 0, 15000}, nested{31, 31, 5000, 10000, 5000, 10000};
    const GridSpec sphere{31, 61, 140.0, 140.5, 60.0, 61.0};
    const XyFunction deepMiddle = [](double x, double y) {
        return std::max(std::fabs(x - 7500), std::fabs(y - 7500)) < 1000 ? 400.0 : 100.0;
    };
    for (const auto& [layout, step, adaptive, refused] : cases) {
        SteppedRun run;
        if (layout == 2) run.AddLevel(dir, "s", 2, 1852.0, sphere, [](double, double) { return 4000.0; });
        if (layout < 2) run.AddLevel(dir, "p", 0, 500.0, parent, [](double, double) { return 100.0; });
        if (layout == 1) run.AddLevel(dir, "c", 0, 500.0, nested, deepMiddle);
        run.AddSource(dir, "flat", layout == 2 ? sphere : parent, [](double, double) { return 0.0; });
        run.parameters.timeStep = static_cast<float>(step);
        run.parameters.adaptiveTimeStepEnabled = adaptive;
        EXPECT_EQ(run.Init(), refused ? InitResult::kStepBeyondStability : InitResult::kSuccess) << step;
    }
}

// Sea cells are judged by their level, land cells by their flow depth; the first cell in row order is reported.
TEST(RunawayWater, FoundAtTheFirstCellBeyondTheBoundAtSeaOrOnLand) {
    EXPECT_EQ(RunawayBound(50.0), 500.0f);  // ten times the deepest water
    EXPECT_EQ(RunawayBound(2.0), 100.0f);   // but never below 100 m
    const float cases[][5] = {  // depth and level of cell (3, 2), level of cell (4, 1), cell found (0: none)
        {50, 0.5f, 0, 0, 0},    {-2000, 2000, 0, 0, 0},  {-10, 490, 0, 0, 0}, {-10, 530, 0, 3, 2},
        {50, NAN, 0, 3, 2},     {50, -INFINITY, 0, 3, 2}, {50, -501, 600, 3, 2}, {50, 1, 600, 4, 1},
    };
    for (const auto& c : cases)
        for (const int threads : {1, 2}) {
            GridLevel level;
            level.nx = 8;
            level.ny = 5;
            level.depth.Allocate(8, 5);
            level.eta.Allocate(8, 5);
            level.depth.Fill(50.0f);
            level.eta.Fill(0.0f);
            level.depth(3, 2) = c[0];
            level.eta(3, 2) = c[1];
            level.eta(4, 1) = c[2];
            const RunawayCell cell = FindRunawayCell(level, 500.0f, threads);
            EXPECT_TRUE(cell.found == (c[3] > 0) && cell.i == c[3] && cell.j == c[4]) << c[0] << " " << c[1];
        }
}

// A 1500 m source after five minutes passes the 1000 m bound of 100 m water (flux limits tame lesser ones).
TEST(RunawayWater, VestraRunStopsAnUnstableRunWithExitThreeAndKeepsItsOutputs) {
    ScratchFolder dir;
    const GridSpec g{30, 24, 0, 29 * 500.0, 0, 23 * 500.0};
    WriteSurferGrid(dir / "bathy.grd", g, [](double, double) { return 100.0; });
    WriteSurferGrid(dir / "hump.grd", g, [&](double x, double y) {
        return 1500.0 * std::exp(-(std::pow(x - g.X(15), 2) + std::pow(y - g.Y(12), 2)) / (2 * 1500.0 * 1500.0));
    });
    dir.Write("s.toml",
              "[parameters]\ntimeStep = 5\nendTime = 50\nsnapshotInterval = 60\noutputFormat = 2\n"
              "historyEverySteps = 1000\n[[grids]]\ngridType = 0\ncellSize = 500.0\nbathymetryFile = \"bathy.grd\"\n"
              "outputFolder = \"out\"\n[[sources]]\netaFile = \"hump.grd\"\ninsertionTime = 300.0\n");
    std::string messages[2];
    for (const int threads : {1, 2}) {
        const Outcome o =
            RunVestra({"run", "--quiet", "--no-plots", "--threads", std::to_string(threads), dir / "s.toml"}, dir);
        EXPECT_EQ(o.status, 3) << o.err;
        messages[threads - 1] = o.err;
        for (const char* part : {"the run became unstable and was stopped: level 0 became unstable at model time 300 s",
                                 " m at cell (", "(x ", " m, y ", "outputs written so far are kept in "})
            EXPECT_NE(o.err.find(part), std::string::npos) << o.err;
        EXPECT_TRUE(std::filesystem::exists(dir / "out/OUT-ETA-MAX.nc"));
        EXPECT_EQ(NetCdfTimes(dir / "out/NETCDF_H.nc"), (std::vector<double>{60, 120, 180, 240}));  // not 50
    }
    EXPECT_EQ(messages[0], messages[1]);
    const Outcome refused = RunVestra({"run", "--quiet", "--no-plots", "--set", "timeStep=40", dir / "s.toml"}, dir);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Init returned 45"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("level 0 ("), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("timeStep 40 s is beyond the level's stability limit of 11.29 s"), std::string::npos);
}
