// Model setup: Init's result codes and the state each leaves, bathymetry in Surfer text and in
// netCDF, initial fields, spherical coefficients against hand-computed values, the input summary.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "InitResult.h"
#include "ModelSetup.h"
#include "NetCdfWriter.h"
#include "ScenarioFiles.h"
#include "ZellSimulatorVestra.h"

namespace fs = std::filesystem;

namespace {

const GridSpec kGrid{10, 7, 1000, 1900, 500, 1100};  // nodes 100 apart, non-square

// Depth of cell (i, j) that encodes both indices; some cells are land (<= 0).
float CodedDepth(int i, int j) { return (i + 3 * j) % 5 == 0 ? -static_cast<float>(i) : 100.0f * i + j; }

// kGrid's depths as a netCDF result file, the layout the model reads.
void WriteNetCdf(const std::string& path) {
    std::vector<float> ha;
    for (int j = 1; j <= kGrid.ny; ++j)
        for (int i = 1; i <= kGrid.nx; ++i) ha.push_back(CodedDepth(i, j));
    WriteNetCdfGrid(ha.data(), path, 0.0, kGrid.xMin, kGrid.xMax, kGrid.yMin, kGrid.yMax, kGrid.nx, kGrid.ny, 0);
}

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        events.resize(1);
        settings.historyEverySteps = 10;
        WriteSurferGrid(dir / "a.grd", kGrid, [](double x, double y) {
            return CodedDepth(int(std::lround((x - 1000) / 100)) + 1, int(std::lround((y - 500) / 100)) + 1);
        });
    }
    // A host record whose output folder (with its trailing separator) exists.
    HostGridRecord& Add(const std::string& bathymetry, int32_t type = 0, const std::string& folder = "out0") {
        grids.push_back(HostGridRecord{type, false, 0.0f, 25.0, dir / bathymetry, dir.Folder(folder), ""});
        return grids.back();
    }
    // Level 0's own depth grid is its source. Tests set up unrelated grids side by side: Init
    // builds every level before it refuses them as a nesting, which leaves the levels to inspect.
    int32_t RunInit() {
        if (!grids.empty() && events.size() == 1) events[0].etaFile = grids[0].bathymetryFile;
        sim.SetParameters(settings);
        const int32_t code = sim.Init(nullptr);
        return code == InitResult::kNestedLayout ? InitResult::kSuccess : code;
    }
    bool Empty(const std::string& folder) const { return fs::is_empty(dir / folder); }

    ScratchFolder dir;
    std::vector<HostGridRecord> grids;
    std::vector<SourceEvent> events;
    SimulationParameters settings;
    ZellSimulatorVestra sim{&grids, &events};
};

TEST_F(ModelTest, HostRecordAndSettingCodesComeBeforeAnyFileIsWritten) {
    events.clear();
    EXPECT_EQ(RunInit(), InitResult::kNoGridRecords);  // checked before the source events
    Add("a.grd");
    EXPECT_EQ(RunInit(), InitResult::kNoSourceEvents);
    events.resize(1);
    // A fifth grid type after two valid records.
    Add("a.grd", 2, "out1");
    Add("a.grd", 4, "out2");
    EXPECT_EQ(RunInit(), InitResult::kUnknownGridType);
    EXPECT_TRUE(Empty("out0"));
    // historyEverySteps below 1 is refused before anything is read or written.
    grids.resize(1);
    settings.historyEverySteps = 0;
    EXPECT_EQ(RunInit(), InitResult::kBadHistoryInterval);
    EXPECT_TRUE(sim.levels.empty() && Empty("out0"));
}

TEST_F(ModelTest, SurferAndNetCdfGiveTheSameDepthPlacementAndCellFieldOrder) {
    WriteNetCdf(dir / "bathy.nc");
    WriteNetCdf(dir / "bathy_no_extension");
    for (const char* name : {"a.grd", "bathy.nc", "bathy_no_extension"})
        Add(name, 0, std::string("out_") + name);
    settings.manningCoefficient = 0.025f;
    // A cell-field file fills the interior in file order; the halo keeps the default 0.1.
    WriteSurferGrid(dir / "cells.grd", {10, 7, 1, 10, 1, 7}, [](double x, double y) { return x + 0.01 * y; });
    settings.cellFieldFromFile = true;
    settings.cellFieldFile = dir / "cells.grd";
    ASSERT_EQ(RunInit(), InitResult::kSuccess);
    ASSERT_EQ(sim.levels.size(), 3u);
    for (const GridLevel& level : sim.levels) {
        SCOPED_TRACE(level.bathymetryFile);
        EXPECT_EQ(std::vector<double>({1.0 * level.nx, 1.0 * level.ny, level.xMin, level.xMax, level.yMin, level.yMax}),
                  std::vector<double>({10, 7, 1000, 1900, 500, 1100}));
        int mismatches = 0;
        for (int32_t i = 0; i <= 12; ++i) {
            for (int32_t j = 0; j <= 9; ++j) {
                const bool interior = i >= 1 && i <= 10 && j >= 1 && j <= 7;
                const float depth = interior ? CodedDepth(i, j) : 0.0f;
                mismatches += level.depth[i][j] != depth || level.totalDepth[i][j] != std::max(depth, 0.0f);
                mismatches += level.totalDepthNext[i][j] != level.totalDepth[i][j];
                mismatches += level.manning[i][j] != (interior ? 0.025f : 0.0f);
                mismatches += level.cellField[i][j] != (interior ? float(i + 0.01 * j) : 0.1f);
            }
        }
        EXPECT_EQ(mismatches, 0);
    }
}

TEST_F(ModelTest, BadInputFilesAreRefusedBeforeAnythingIsWritten) {
    using namespace InitResult;
    // The second level's depth grid, or for cells*, the cell-field file; its text written here.
    const struct { const char *file, *text; int32_t type, code; } cases[] = {
        {"missing.grd", nullptr, 0, kBathymetryUnreadable},
        {"short.grd", "DSAA 10 7 0 1 0 1 0 1\n1 2 3\n", 0, kBathymetryShort},
        {"binary.grd", "DSBB 2 1 0 1 0 1 0 1\n5 6\n", 0, kSurferTokenNotDsaa},
        {"single.grd", "DSAA 1 3 0 0 0 2 0 1\n1 2 3\n", 2, kBadGridSize},  // spherical: one column has no cell size
        {"flat.grd", "DSAA 3 3 5 5 0 2 0 1\n1 2 3 4 5 6 7 8 9\n", 3, kSphericalZeroWidth},
        {"cells_missing.grd", nullptr, 0, kCellFieldUnreadable},
        {"cells_short.grd", "DSAA 10 7 0 1 0 1 0 1\n1 2 3\n", 0, kCellFieldShort},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        if (c.text != nullptr) WriteFile(dir / c.file, c.text);
        const bool cellField = std::string(c.file).starts_with("cells");
        grids.clear();
        Add("a.grd", 0, "first").gaugeFile = dir.Write("gauges.txt", "G1 1000 500\n");
        Add(cellField ? "a.grd" : c.file, c.type, "second");
        settings.cellFieldFromFile = cellField;
        settings.cellFieldFile = dir / c.file;
        EXPECT_EQ(RunInit(), c.code);
        // No file of either level exists yet; a bad second grid leaves the first level set up.
        EXPECT_TRUE(Empty("first") && Empty("second"));
        EXPECT_TRUE(cellField || (sim.levels.size() == 2 && sim.levels[0].depth[1][1] == 101.0f));
    }
}

TEST_F(ModelTest, SphericalCoefficientsOfOuterAndNestedLevels) {
    // 31 x 9 nodes from 140 E, 30 N, 2 arc-minutes apart.
    WriteSurferGrid(dir / "s.grd", {31, 9, 140, 141, 30, 30 + 8 / 30.0}, [](double, double) { return 100.0; });
    for (int k = 0; k < 3; ++k) Add("s.grd", 2, "out" + std::to_string(k));
    settings.timeStep = 1.5f;
    ASSERT_EQ(RunInit(), InitResult::kSuccess);

    const double radius = 6371008.0, omega = 7.2921159e-5, gravity = static_cast<double>(9.80665f);
    const double degree = std::numbers::pi / 180.0, cellRadians = 2.0 / 60.0 * degree;
    const int32_t j = 5;
    const double centre = (30.0 + (j - 0.5) * 2.0 / 60.0) * degree;  // 30.15 N
    const double edge = (30.0 + j * 2.0 / 60.0) * degree;            // north face of row 5
    auto expectNear = [](double actual, double expected) { EXPECT_NEAR(actual, expected, std::fabs(expected) * 2e-7); };
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const GridLevel& level = sim.levels[k];
        const double dt = 1.5f / static_cast<float>(std::pow(3, k));  // level k steps 3^k times per outer step
        const double metric = dt / (radius * std::cos(centre) * cellRadians);
        expectNear(level.metricX[7][j], metric);
        expectNear(level.gravityMetricX[7][j], gravity * metric);
        expectNear(level.gravityMetricY[31][j], gravity * dt / (radius * cellRadians));
        EXPECT_NEAR(level.cosLatitude[j], std::cos(centre), 1e-7);
        expectNear(level.coriolisCentre[j], omega * dt / 2 * std::sin(centre));
        expectNear(level.coriolisEdge[j], omega * dt / 2 * std::sin(edge));
    }
}

TEST_F(ModelTest, InputSummaryInGeneralOrFixedFormatAndZeroStepOrSpacing) {
    Add("a.grd", 0, "cart");
    Add("a.grd", 2, "sph").coriolis = true;
    ASSERT_EQ(RunInit(), InitResult::kSuccess);  // default settings, no gauge list anywhere
    const std::string head = "DX = 25\nDT = 0.1\noutsec1 = 60\n";
    const std::string limits = "velocity limit =  40\nflow depth limit =  0.1\n";
    EXPECT_EQ(ReadFile(dir / "cart/OUT-SUMMARY-INPUT.dat"),
              head + "Cartesian = ENABLED\nSpherical = DISABLED\n" + limits);

    // One readable gauge list (on the Cartesian level only) puts every level's numbers in fixed format.
    grids[0].gaugeFile = dir.Write("gauges.txt", "P 1000 500\n");
    settings.timeSeriesEnabled = true;
    settings.timeSeriesFile = dir.Write("series.txt", "0 0 0 0\n");
    settings.useEtaOnly = false;
    settings.seriesFirstIndex = 3;
    settings.seriesLastIndex = 4000000000u;  // printed as unsigned; mode 3 forces no band, so it may exceed the grid
    settings.seriesMode = 3;
    settings.timeStep = 0.5f;
    ASSERT_EQ(RunInit(), InitResult::kSuccess);
    const std::string fixed = "velocity limit =  40.000\nflow depth limit =  0.100\nMore Option\nt-eta file name    " +
                              dir / "series.txt" + "\nuse eta only    0\nuse i from   3  to  4000000000\n";
    EXPECT_EQ(ReadFile(dir / "cart/OUT-SUMMARY-INPUT.dat"),
              "DX = 25.000\nDT = 0.500\noutsec1 = 60.000\nCartesian = ENABLED\nSpherical = DISABLED\n" + fixed);
    const std::string sph = ReadFile(dir / "sph/OUT-SUMMARY-INPUT.dat");
    EXPECT_TRUE(sph.ends_with("Cartesian = DISABLED\nSpherical = ENABLED\nCORIOLIS = ENABLED\n" + fixed)) << sph;
    EXPECT_TRUE(fs::exists(dir / "cart/OUT-TIME-HISTORIES_ETA.dat"));
    EXPECT_FALSE(fs::exists(dir / "sph/OUT-TIME-HISTORIES_ETA.dat"));

    // A zero step or cell size is refused after the files are written; both zero: the step is named.
    grids[0].cellSize = 0.0;
    settings.timeStep = 0.0f;
    EXPECT_EQ(RunInit(), InitResult::kZeroTimeStep);
    EXPECT_EQ(ReadFile(dir / "cart/OUT-TIME-HISTORIES_ETA.dat"), "Time P_101.000 \n");
    EXPECT_TRUE(ReadFile(dir / "cart/OUT-SUMMARY-INPUT.dat").starts_with("DX = 0.000\nDT = 0.000\n"));
    settings.timeStep = 0.1f;
    EXPECT_EQ(RunInit(), InitResult::kZeroGridSpacing);
    EXPECT_TRUE(ReadFile(dir / "sph/OUT-SUMMARY-INPUT.dat").starts_with("DX = 0.000\nDT = 0.100\n"));
}

}  // namespace
