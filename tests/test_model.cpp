// Model setup: Init's result codes and the state each leaves, bathymetry readers (Surfer
// text and netCDF written here with the netCDF library), initial fields, spherical
// coefficients against hand-computed values, the input summary, and memory use.
#include <gtest/gtest.h>
#include <malloc.h>
#include <netcdf.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "BathymetryReader.h"
#include "InitResult.h"
#include "InputSummary.h"
#include "ModelSetup.h"
#include "TestSupport.h"
#include "TimeHistory.h"
#include "ZellSimulatorVestra.h"

namespace fs = std::filesystem;

namespace {

// Depth of cell (i, j) that encodes both indices; some cells are land (<= 0).
float CodedDepth(int32_t i, int32_t j) { return (i + 3 * j) % 5 == 0 ? -static_cast<float>(i) : 100.0f * i + j; }

struct GridSpec {
    int32_t nx = 10, ny = 7;
    double xMin = 1000, xMax = 1900, yMin = 500, yMax = 1100;
};

std::string SurferText(const GridSpec& g, const std::string& keyword = "DSAA") {
    std::ostringstream out;
    out << keyword << "\n" << g.nx << " " << g.ny << "\n" << g.xMin << " " << g.xMax << "\n" << g.yMin << " " << g.yMax
        << "\n-12.5 2003.75\n";
    for (int32_t j = 1; j <= g.ny; ++j) {
        for (int32_t i = 1; i <= g.nx; ++i) out << CodedDepth(i, j) << (i == g.nx ? "\n" : " ");
    }
    return out.str();
}

struct NetCdfOptions {
    size_t recordLength = 1;   // length of the leading dimension of "HA"
    bool twoDimensional = false;
    bool withLat = true;
    bool withHa = true;
};

// A bathymetry file in the layout the model reads, written by the netCDF library itself.
void WriteNetCdf(const std::string& path, const GridSpec& g, const NetCdfOptions& options = {}) {
    int ncid, timeDim, latDim, lonDim, latVar = -1, lonVar, haVar = -1;
    ASSERT_EQ(nc_create(path.c_str(), NC_CLOBBER, &ncid), NC_NOERR);
    nc_def_dim(ncid, "time", options.recordLength, &timeDim);
    nc_def_dim(ncid, "lat", static_cast<size_t>(g.ny), &latDim);
    nc_def_dim(ncid, "lon", static_cast<size_t>(g.nx), &lonDim);
    if (options.withLat) nc_def_var(ncid, "LAT", NC_DOUBLE, 1, &latDim, &latVar);
    nc_def_var(ncid, "LON", NC_DOUBLE, 1, &lonDim, &lonVar);
    const int dims3[3] = {timeDim, latDim, lonDim};
    if (options.withHa)
        nc_def_var(ncid, "HA", NC_FLOAT, options.twoDimensional ? 2 : 3, options.twoDimensional ? dims3 + 1 : dims3,
                   &haVar);
    ASSERT_EQ(nc_enddef(ncid), NC_NOERR);
    std::vector<double> lat(g.ny), lon(g.nx);
    for (int32_t j = 0; j < g.ny; ++j) lat[j] = g.yMin + (g.yMax - g.yMin) * j / (g.ny - 1);
    for (int32_t i = 0; i < g.nx; ++i) lon[i] = g.xMin + (g.xMax - g.xMin) * i / (g.nx - 1);
    if (options.withLat) nc_put_var_double(ncid, latVar, lat.data());
    nc_put_var_double(ncid, lonVar, lon.data());
    if (options.withHa) {
        std::vector<float> ha;
        for (size_t r = 0; r < (options.twoDimensional ? 1 : options.recordLength); ++r)
            for (int32_t j = 1; j <= g.ny; ++j)
                for (int32_t i = 1; i <= g.nx; ++i) ha.push_back(CodedDepth(i, j));
        ASSERT_EQ(nc_put_var_float(ncid, haVar, ha.data()), NC_NOERR);
    }
    ASSERT_EQ(nc_close(ncid), NC_NOERR);
}

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vestra_model_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        events.resize(1);
        settings.historyEverySteps = 10;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Path(const std::string& name) const { return dir + "/" + name; }

    // A host record whose output folder (with its trailing separator) exists.
    HostGridRecord Record(const std::string& bathymetry, int32_t type = 0, const std::string& folder = "out0") {
        HostGridRecord record;
        record.gridType = type;
        record.cellSize = 25.0;
        record.bathymetryFile = bathymetry;
        record.outputFolder = Path(folder) + "/";
        fs::create_directories(Path(folder));
        return record;
    }

    int32_t RunInit(ZellSimulatorVestra& sim) {
        // Level 0's own depth grid is a source of its exact size, which the setup accepts.
        if (!grids.empty() && events.size() == 1) events[0].etaFile = grids[0].bathymetryFile;
        sim.SetParameters(settings);
        return sim.Init(nullptr);
    }

    // Several tests set up unrelated grids side by side to compare their setup. Init builds
    // every level and only then refuses them as a nesting, which leaves the levels to inspect.
    int32_t RunInitOfUnrelatedLevels(ZellSimulatorVestra& sim) {
        const int32_t code = RunInit(sim);
        EXPECT_TRUE(grids.size() > 1 || code != InitResult::kNestedLayout);
        return code == InitResult::kNestedLayout ? InitResult::kSuccess : code;
    }

    bool FolderEmpty(const std::string& folder) const { return fs::is_empty(Path(folder)); }

    std::string dir;
    std::vector<HostGridRecord> grids;
    std::vector<SourceEvent> events;
    SimulationParameters settings;
};

TEST_F(ModelTest, HostCollectionCodesAndTheLevelsTheyLeave) {
    WriteFile(Path("a.grd"), SurferText(GridSpec{}));
    ZellSimulatorVestra sim(&grids, &events);

    EXPECT_EQ(RunInit(sim), InitResult::kNoGridRecords);  // checked before the source events
    events.clear();
    EXPECT_EQ(RunInit(sim), InitResult::kNoGridRecords);
    grids.push_back(Record(Path("a.grd")));
    EXPECT_EQ(RunInit(sim), InitResult::kNoSourceEvents);
    EXPECT_TRUE(sim.levels.empty());
    events.resize(1);

    // A fourth type after two valid records: 11, with the two levels made so far left behind.
    grids.push_back(Record(Path("a.grd"), 2, "out1"));
    grids.back().coriolis = true;
    grids.push_back(Record(Path("a.grd"), 4, "out2"));
    EXPECT_EQ(RunInit(sim), InitResult::kUnknownGridType);
    ASSERT_EQ(sim.levels.size(), 2u);
    EXPECT_EQ(sim.levels[1].gridType, 2);
    EXPECT_EQ(sim.levels[1].coriolisEnabled, 1);
    EXPECT_EQ(sim.levels[1].outputFolder, Path("out1") + "/");
    EXPECT_TRUE(FolderEmpty("out0"));

    // A later Init starts from an empty list: one record, one level.
    grids.resize(1);
    EXPECT_EQ(RunInit(sim), InitResult::kSuccess);
    ASSERT_EQ(sim.levels.size(), 1u);
    EXPECT_EQ(sim.levels[0].nx, 10);

    // historyEverySteps below 1 is refused before anything is read or written.
    for (int32_t interval : {0, -5}) {
        fs::remove_all(Path("out0"));
        fs::create_directories(Path("out0"));
        settings.historyEverySteps = interval;
        EXPECT_EQ(RunInit(sim), InitResult::kBadHistoryInterval);
        EXPECT_TRUE(sim.levels.empty());
        EXPECT_TRUE(FolderEmpty("out0"));
    }
}

TEST_F(ModelTest, HostRecordTypesAndOptions) {
    HostGridRecord record;
    GridLevel level;
    record.gridType = 3;
    record.coriolis = false;
    record.optionNumber = -7.9f;
    record.bathymetryFile = "b";
    record.gaugeFile = "g";
    record.outputFolder = "o/";
    ASSERT_TRUE(LevelFromHostRecord(record, level));
    EXPECT_EQ(level.gridType, 3);
    EXPECT_EQ(level.coriolisEnabled, 0);
    EXPECT_EQ(level.optionEnabled, 1);
    EXPECT_EQ(level.optionValue, -7);  // toward zero
    EXPECT_EQ(level.gaugeFile, "g");
    record.gridType = 1;
    record.coriolis = true;
    record.optionNumber = 250.99f;
    ASSERT_TRUE(LevelFromHostRecord(record, level));
    EXPECT_EQ(level.coriolisEnabled, 0);  // Cartesian levels have no Coriolis terms
    EXPECT_EQ(level.optionValue, 250);
    record.gridType = 0;
    ASSERT_TRUE(LevelFromHostRecord(record, level));
    EXPECT_EQ(level.optionEnabled, 0);
    EXPECT_EQ(level.optionValue, 0);
    record.gridType = -1;
    EXPECT_FALSE(LevelFromHostRecord(record, level));
}

TEST_F(ModelTest, SurferAndNetCdfGiveTheSameDepthPlacement) {
    const GridSpec g;  // 10 x 7, non-square
    WriteFile(Path("bathy.GRD"), SurferText(g));
    WriteNetCdf(Path("bathy.nc"), g);
    WriteNetCdf(Path("bathy_no_extension"), g);
    WriteNetCdf(Path("bathy2d.nc"), g, {.twoDimensional = true});
    for (const char* name : {"bathy.GRD", "bathy.nc", "bathy_no_extension", "bathy2d.nc"})
        grids.push_back(Record(Path(name), 0, std::string("out_") + name));
    settings.manningCoefficient = 0.025f;
    ZellSimulatorVestra sim(&grids, &events);
    ASSERT_EQ(RunInitOfUnrelatedLevels(sim), InitResult::kSuccess);
    ASSERT_EQ(sim.levels.size(), 4u);

    for (const GridLevel& level : sim.levels) {
        SCOPED_TRACE(level.bathymetryFile);
        EXPECT_EQ(level.nx, 10);
        EXPECT_EQ(level.ny, 7);
        EXPECT_DOUBLE_EQ(level.xMin, 1000);
        EXPECT_DOUBLE_EQ(level.xMax, 1900);
        EXPECT_DOUBLE_EQ(level.yMin, 500);
        EXPECT_DOUBLE_EQ(level.yMax, 1100);
        int mismatches = 0;
        for (int32_t i = 0; i <= 12; ++i) {
            for (int32_t j = 0; j <= 9; ++j) {
                const bool interior = i >= 1 && i <= 10 && j >= 1 && j <= 7;
                const float depth = interior ? CodedDepth(i, j) : 0.0f;
                mismatches += level.depth[i][j] != depth;
                mismatches += level.totalDepth[i][j] != (depth > 0 ? depth : 0.0f);
                mismatches += level.totalDepthNext[i][j] != level.totalDepth[i][j];
                mismatches += level.manning[i][j] != (interior ? 0.025f : 0.0f);
            }
        }
        EXPECT_EQ(mismatches, 0);
        EXPECT_EQ(level.depth[1][1], 101.0f);   // first value of the file, at (xMin, yMin)
        EXPECT_EQ(level.depth[10][1], 1001.0f); // last of the first row, at (xMax, yMin)
        EXPECT_EQ(level.depth[3][7], 307.0f);
        EXPECT_EQ(level.totalDepth[5][5], 0.0f);  // land: (5 + 15) % 5 == 0, depth -5
        EXPECT_EQ(level.depth[5][5], -5.0f);
    }
    EXPECT_DOUBLE_EQ(sim.levels[0].zMin, -12.5);  // the Surfer header carries the depth range
    EXPECT_DOUBLE_EQ(sim.levels[0].zMax, 2003.75);
    EXPECT_DOUBLE_EQ(sim.levels[1].zMax, 0.0);
}

TEST_F(ModelTest, InitialFieldsHalosAndCartesianLevelHasNoSphericalArrays) {
    WriteFile(Path("a.grd"), SurferText(GridSpec{}));
    grids.push_back(Record(Path("a.grd")));
    ZellSimulatorVestra sim(&grids, &events);
    sim.timeStepFactor = 0.25f;
    sim.adaptiveTimeStep = 3.0f;
    ASSERT_EQ(RunInit(sim), InitResult::kSuccess);
    const GridLevel& level = sim.levels[0];
    EXPECT_EQ(sim.timeStepFactor, 1.0f);
    EXPECT_EQ(sim.adaptiveTimeStep, 0.0f);
    EXPECT_EQ(sim.gridSpacing, 25.0f);
    EXPECT_EQ(level.outputCounters, (std::array<int32_t, 4>{0, 0, 0, 0}));
    EXPECT_EQ(level.stepMaximum, 0.0f);

    int nonZero = 0, cellFieldWrong = 0;
    for (Field GridLevel::*member : kLevelFields) {
        const Field& field = level.*member;
        ASSERT_EQ(field.Columns(), 13);
        ASSERT_EQ(field.Stride(), 10);
        if (member == &GridLevel::depth || member == &GridLevel::totalDepth || member == &GridLevel::totalDepthNext ||
            member == &GridLevel::manning)
            continue;
        for (int32_t i = 0; i <= 12; ++i)
            for (int32_t j = 0; j <= 9; ++j) {
                if (member == &GridLevel::cellField)
                    cellFieldWrong += field[i][j] != 0.1f;
                else
                    nonZero += field[i][j] != 0.0f;
            }
    }
    EXPECT_EQ(nonZero, 0);
    EXPECT_EQ(cellFieldWrong, 0);
    for (Field GridLevel::*member : kSphericalLevelFields) EXPECT_TRUE((level.*member).empty());
    EXPECT_TRUE(level.cosLatitude.empty());
    EXPECT_TRUE(level.coriolisCentre.empty());
    EXPECT_TRUE(level.coriolisEdge.empty());

    // The same model set up with one and with two threads holds the same bytes.
    auto snapshot = [](const GridLevel& l) {
        std::vector<float> all;
        for (Field GridLevel::*member : kLevelFields) {
            const Field& field = l.*member;
            all.insert(all.end(), field.Data(), field.Data() + field.Size());
        }
        return all;
    };
    settings.threadCount = 1;
    ASSERT_EQ(RunInit(sim), InitResult::kSuccess);
    const std::vector<float> one = snapshot(sim.levels[0]);
    settings.threadCount = 2;
    ASSERT_EQ(RunInit(sim), InitResult::kSuccess);
    EXPECT_TRUE(one == snapshot(sim.levels[0]));
}

TEST_F(ModelTest, CellFieldFromFile) {
    const GridSpec g;
    WriteFile(Path("a.grd"), SurferText(g));
    std::ostringstream cells;
    cells << "DSAA 10 7 0 1 0 1 0 1\n";
    for (int32_t j = 1; j <= 7; ++j)
        for (int32_t i = 1; i <= 10; ++i) cells << (i + 0.01 * j) << " ";
    WriteFile(Path("cells.grd"), cells.str());
    grids.push_back(Record(Path("a.grd")));
    settings.cellFieldFromFile = true;
    settings.cellFieldFile = Path("cells.grd");
    ZellSimulatorVestra sim(&grids, &events);
    ASSERT_EQ(RunInit(sim), InitResult::kSuccess);
    const Field& cell = sim.levels[0].cellField;
    EXPECT_EQ(cell[1][1], 1.01f);
    EXPECT_EQ(cell[10][1], 10.01f);
    EXPECT_EQ(cell[4][7], 4.07f);
    EXPECT_EQ(cell[0][3], 0.1f);   // the halo keeps the default
    EXPECT_EQ(cell[11][7], 0.1f);
    EXPECT_EQ(cell[4][8], 0.1f);
}

TEST_F(ModelTest, BadInputFilesAreRefusedBeforeAnythingIsWritten) {
    const GridSpec g;
    const std::string good = SurferText(g);
    WriteFile(Path("good.grd"), good);
    WriteFile(Path("short.grd"), good.substr(0, good.size() - 40));
    std::string word = good;
    word.replace(word.find("703"), 3, "7x3");
    WriteFile(Path("word.grd"), word);
    WriteFile(Path("header.grd"), "DSAA 10 7 1000 abc 500 1100 0 1\n");
    WriteFile(Path("nan.grd"), "DSAA 2 1 0 1 0 1 0 1\n5 nan\n");
    WriteFile(Path("lower.grd"), SurferText(g, "dsaa"));
    WriteFile(Path("longer.grd"), SurferText(g, "DSAAx"));
    WriteFile(Path("binary.grd"), SurferText(g, "DSBB"));
    WriteFile(Path("empty.grd"), "");
    WriteFile(Path("zero.grd"), SurferText({.nx = 0, .ny = 7}));
    WriteFile(Path("huge.grd"), "DSAA 2000000 3 0 1 0 1 0 1\n1 2 3\n");
    WriteFile(Path("single.grd"), "DSAA 1 3 0 0 0 2 0 1\n1 2 3\n");
    WriteFile(Path("flat.grd"), "DSAA 3 3 5 5 0 2 0 1\n1 2 3 4 5 6 7 8 9\n");
    WriteNetCdf(Path("record2.nc"), g, {.recordLength = 2});
    WriteNetCdf(Path("nolat.nc"), g, {.withLat = false});
    WriteNetCdf(Path("noha.nc"), g, {.withHa = false});
    WriteFile(Path("text.nc"), good);

    struct Case {
        const char* file;
        int32_t type;
        int32_t code;
    };
    const Case cases[] = {
        {"missing.grd", 0, InitResult::kBathymetryUnreadable},
        {"missing.nc", 0, InitResult::kBathymetryUnreadable},
        {"text.nc", 0, InitResult::kBathymetryUnreadable},
        {"short.grd", 0, InitResult::kBathymetryShort},
        {"empty.grd", 0, InitResult::kBathymetryShort},
        {"word.grd", 0, InitResult::kBathymetryNotNumber},
        {"header.grd", 0, InitResult::kBathymetryNotNumber},
        {"nan.grd", 0, InitResult::kBathymetryNotNumber},
        {"lower.grd", 0, InitResult::kSurferTokenNotDsaa},
        {"longer.grd", 0, InitResult::kSurferTokenNotDsaa},
        {"binary.grd", 0, InitResult::kSurferTokenNotDsaa},
        {"record2.nc", 0, InitResult::kNetCdfBadRecordDim},
        {"nolat.nc", 0, InitResult::kNetCdfMissingVariable},
        {"noha.nc", 0, InitResult::kNetCdfMissingVariable},
        {"zero.grd", 0, InitResult::kBadGridSize},
        {"huge.grd", 0, InitResult::kBadGridSize},
        {"single.grd", 2, InitResult::kBadGridSize},  // spherical: one column has no cell size
        {"flat.grd", 3, InitResult::kSphericalZeroWidth},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        grids.clear();
        grids.push_back(Record(Path("good.grd"), 0, "first"));
        grids.back().gaugeFile = Path("gauges.txt");
        grids.push_back(Record(Path(c.file), c.type, "second"));
        WriteFile(Path("gauges.txt"), "G1 1000 500\n");
        ZellSimulatorVestra sim(&grids, &events);
        EXPECT_EQ(RunInit(sim), c.code);
        // The first level is set up, and no file of either level exists yet.
        ASSERT_EQ(sim.levels.size(), 2u);
        EXPECT_EQ(sim.levels[0].depth[1][1], 101.0f);
        EXPECT_TRUE(FolderEmpty("first"));
        EXPECT_TRUE(FolderEmpty("second"));
    }

    // A one-column Cartesian grid is a valid model.
    grids.clear();
    grids.push_back(Record(Path("single.grd")));
    ZellSimulatorVestra sim(&grids, &events);
    EXPECT_EQ(RunInit(sim), InitResult::kSuccess);
    EXPECT_EQ(sim.levels[0].depth[1][3], 3.0f);

    // The cell-field file: missing, short, or holding a non-number.
    WriteFile(Path("cells_short.grd"), "DSAA 10 7 0 1 0 1 0 1\n1 2 3\n");
    WriteFile(Path("cells_word.grd"), "DSAA 10 7 0 1 0 1 0 1\n1 2 x\n");
    WriteFile(Path("cells_header.grd"), "DSAA 10 7 0 1\n");
    const Case cellCases[] = {{"cells_missing.grd", 0, InitResult::kCellFieldUnreadable},
                              {"cells_short.grd", 0, InitResult::kCellFieldShort},
                              {"cells_word.grd", 0, InitResult::kCellFieldShort},
                              {"cells_header.grd", 0, InitResult::kCellFieldShort}};
    settings.cellFieldFromFile = true;
    for (const Case& c : cellCases) {
        SCOPED_TRACE(c.file);
        settings.cellFieldFile = Path(c.file);
        grids.clear();
        grids.push_back(Record(Path("good.grd"), 0, "first"));
        EXPECT_EQ(RunInit(sim), c.code);
        EXPECT_TRUE(FolderEmpty("first"));
    }
}

TEST_F(ModelTest, SphericalCoefficientsOfOuterAndNestedLevels) {
    // 31 x 9 cells from 140 E, 30 N, 2 arc-minutes apart.
    const GridSpec g{.nx = 31, .ny = 9, .xMin = 140.0, .xMax = 141.0, .yMin = 30.0, .yMax = 30.2667};
    WriteFile(Path("s.grd"), SurferText(g));
    for (int k = 0; k < 3; ++k) grids.push_back(Record(Path("s.grd"), 2, "out" + std::to_string(k)));
    grids.push_back(Record(Path("s.grd"), 0, "out3"));  // a Cartesian level gets no coefficients
    settings.timeStep = 1.5f;
    ZellSimulatorVestra sim(&grids, &events);
    ASSERT_EQ(RunInitOfUnrelatedLevels(sim), InitResult::kSuccess);

    const double pi = std::numbers::pi;
    const double radius = 6371008.0, omega = 7.2921159e-5, gravity = static_cast<double>(9.80665f);
    const double cellRadians = 2.0 / 60.0 * pi / 180.0;
    const int32_t j = 5;
    const double centre = (30.0 + (j - 0.5) * 2.0 / 60.0) * pi / 180.0;  // 30.15 N
    const double edge = (30.0 + j * 2.0 / 60.0) * pi / 180.0;            // north face of row 5
    // Level k is three times finer than level k - 1 and steps 3^k times per outer step.
    const float timeSteps[3] = {1.5f, 1.5f / 3.0f, 1.5f / 9.0f};
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const GridLevel& level = sim.levels[k];
        const double dt = timeSteps[k];
        auto near = [](double expected) { return std::fabs(expected) * 2e-7; };
        const double metric = dt / (radius * std::cos(centre) * cellRadians);
        EXPECT_NEAR(level.metricX[7][j], metric, near(metric));
        EXPECT_NEAR(level.gravityMetricX[7][j], gravity * metric, near(gravity * metric));
        const double gravityY = gravity * dt / (radius * cellRadians);
        EXPECT_NEAR(level.gravityMetricY[31][j], gravityY, near(gravityY));
        EXPECT_NEAR(level.cosLatitude[j], std::cos(centre), 1e-7);
        const double coriolisC = omega * dt / 2 * std::sin(centre);
        const double coriolisE = omega * dt / 2 * std::sin(edge);
        EXPECT_NEAR(level.coriolisCentre[j], coriolisC, near(coriolisC));
        EXPECT_NEAR(level.coriolisEdge[j], coriolisE, near(coriolisE));
        // Halo rows and columns stay 0.
        EXPECT_EQ(level.cosLatitude[0], 0.0f);
        EXPECT_EQ(level.cosLatitude[10], 0.0f);
        EXPECT_EQ(level.metricX[0][j], 0.0f);
        EXPECT_EQ(level.metricX[32][j], 0.0f);
        EXPECT_EQ(level.gravityMetricY[5][10], 0.0f);
    }
    // Level 2 uses a ninth of timeStep, not a third.
    EXPECT_NEAR(sim.levels[2].metricX[7][j] * 9.0, sim.levels[0].metricX[7][j], 1e-6 * sim.levels[0].metricX[7][j]);
    EXPECT_EQ(LevelTimeStep(1.5f, 2), 1.5f / 9.0f);
    EXPECT_EQ(LevelTimeStep(0.3f, 0), 0.3f);
    EXPECT_TRUE(sim.levels[3].metricX.empty());
    EXPECT_TRUE(sim.levels[3].cosLatitude.empty());
}

TEST_F(ModelTest, InputSummaryLinesAndNumberFormat) {
    // The general format is the stream default, the fixed one has three decimals.
    for (float value : {60.0f, 0.1f, 0.015f, 40.0f, 1234567.0f, 0.0000125f, -3.5f}) {
        std::ostringstream general, fixed;
        general << value;
        fixed << std::fixed << std::setprecision(3) << value;
        EXPECT_EQ(FormatSummaryNumber(value, false), general.str());
        EXPECT_EQ(FormatSummaryNumber(value, true), fixed.str());
    }

    WriteFile(Path("a.grd"), SurferText(GridSpec{}));
    grids.push_back(Record(Path("a.grd"), 0, "cart"));
    grids.push_back(Record(Path("a.grd"), 2, "sph"));
    grids.back().coriolis = true;
    ZellSimulatorVestra sim(&grids, &events);
    ASSERT_EQ(RunInitOfUnrelatedLevels(sim), InitResult::kSuccess);  // default settings, no gauge list anywhere
    EXPECT_EQ(ReadFile(Path("cart/OUT-SUMMARY-INPUT.dat")),
              "DX = 25\nDT = 0.1\noutsec1 = 60\nCartesian = ENABLED\nSpherical = DISABLED\n"
              "velocity limit =  40\nflow depth limit =  0.1\n");
    EXPECT_EQ(ReadFile(Path("sph/OUT-SUMMARY-INPUT.dat")),
              "DX = 25\nDT = 0.1\noutsec1 = 60\nCartesian = DISABLED\nSpherical = ENABLED\nCORIOLIS = ENABLED\n"
              "velocity limit =  40\nflow depth limit =  0.1\n");

    // One readable gauge list (on the Cartesian level only) puts every level's numbers in fixed format.
    WriteFile(Path("gauges.txt"), "P 1000 500\n");
    WriteFile(Path("series.txt"), "0 0 0 0\n");
    grids[0].gaugeFile = Path("gauges.txt");
    grids[1].coriolis = false;
    settings.timeSeriesEnabled = true;
    settings.timeSeriesFile = Path("series.txt");
    settings.useEtaOnly = false;
    settings.seriesFirstIndex = 3;
    settings.seriesLastIndex = 4000000000u;  // printed as unsigned; mode 3 forces no band, so it may exceed the grid
    settings.seriesMode = 3;
    settings.timeStep = 0.5f;
    ASSERT_EQ(RunInitOfUnrelatedLevels(sim), InitResult::kSuccess);
    EXPECT_TRUE(sim.timeSeriesStream.is_open());
    const std::string series = "More Option\nt-eta file name    " + Path("series.txt") +
                               "\nuse eta only    0\nuse i from   3  to  4000000000\n";
    EXPECT_EQ(ReadFile(Path("cart/OUT-SUMMARY-INPUT.dat")),
              "DX = 25.000\nDT = 0.500\noutsec1 = 60.000\nCartesian = ENABLED\nSpherical = DISABLED\n"
              "velocity limit =  40.000\nflow depth limit =  0.100\n" + series);
    EXPECT_EQ(ReadFile(Path("sph/OUT-SUMMARY-INPUT.dat")),
              "DX = 25.000\nDT = 0.500\noutsec1 = 60.000\nCartesian = DISABLED\nSpherical = ENABLED\n"
              "CORIOLIS = DISABLED\nvelocity limit =  40.000\nflow depth limit =  0.100\n" + series);
    EXPECT_TRUE(fs::exists(Path("cart/OUT-TIME-HISTORIES_ETA.dat")));
    EXPECT_FALSE(fs::exists(Path("sph/OUT-TIME-HISTORIES_ETA.dat")));
}

TEST_F(ModelTest, ZeroStepAndSpacingAreRefusedAfterTheFilesAreWritten) {
    WriteFile(Path("a.grd"), SurferText(GridSpec{}));
    WriteFile(Path("gauges.txt"), "G1 1000 500 G2 1900 1100\n");
    grids.push_back(Record(Path("a.grd")));
    grids[0].gaugeFile = Path("gauges.txt");
    ZellSimulatorVestra sim(&grids, &events);

    settings.timeStep = 0.0f;
    EXPECT_EQ(RunInit(sim), InitResult::kZeroTimeStep);
    EXPECT_EQ(ReadFile(Path("out0/OUT-TIME-HISTORIES_ETA.dat")), "Time G1_101.000 G2_1007.000 \n");
    EXPECT_EQ(sim.levels[0].gaugeCount, 2);
    EXPECT_NE(ReadFile(Path("out0/OUT-SUMMARY-INPUT.dat")).find("DT = 0.000\n"), std::string::npos);

    fs::remove_all(Path("out0"));
    fs::create_directories(Path("out0"));
    settings.timeStep = 0.1f;
    grids[0].cellSize = 0.0;
    EXPECT_EQ(RunInit(sim), InitResult::kZeroGridSpacing);
    EXPECT_EQ(ReadFile(Path("out0/OUT-SUMMARY-INPUT.dat")).substr(0, 22), "DX = 0.000\nDT = 0.100\n");
    EXPECT_TRUE(fs::exists(Path("out0/OUT-TIME-HISTORIES_ROUSE.dat")));
    // Both zero: the time step is named first.
    settings.timeStep = 0.0f;
    EXPECT_EQ(RunInit(sim), InitResult::kZeroTimeStep);
}

TEST_F(ModelTest, LevelMemoryIsTheSumOfItsFields) {
    const GridSpec g{.nx = 200, .ny = 300, .xMin = 0, .xMax = 1, .yMin = 0, .yMax = 1};
    WriteNetCdf(Path("big.nc"), g);
    WriteFile(Path("gauges.txt"), "A 0.5 0.5 B 0.25 0.25\n");
    grids.push_back(Record(Path("big.nc"), 2));
    grids[0].gaugeFile = Path("gauges.txt");
    ZellSimulatorVestra sim(&grids, &events);
    const size_t fieldBytes = 203u * 303u * sizeof(float);
    const size_t expected = 39 * fieldBytes + 3 * 303 * sizeof(float) + 4 * sizeof(int32_t);

    const struct mallinfo2 before = mallinfo2();
    ASSERT_EQ(RunInit(sim), InitResult::kSuccess);
    const struct mallinfo2 after = mallinfo2();
    EXPECT_EQ(LevelFieldBytes(sim.levels[0]), expected);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator does not report through mallinfo2";
#endif
    const double grown = static_cast<double>(after.uordblks + after.hblkhd) -
                         static_cast<double>(before.uordblks + before.hblkhd);
    // The fields (each rounded to 64 bytes and a page) plus strings: within 2 % of the fields.
    EXPECT_LT(grown, expected * 1.02);
    EXPECT_GT(grown, expected * 0.98);
}

}  // namespace
