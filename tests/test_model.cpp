// Model setup: Init's result codes and the state each leaves, bathymetry readers (Surfer
// text and netCDF written here with the netCDF library), initial fields, spherical
// coefficients against hand-computed values, the input summary, and memory use.
#include <gtest/gtest.h>
#include <malloc.h>
#include <netcdf.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "InitResult.h"
#include "InputSummary.h"
#include "ModelSetup.h"
#include "TestSupport.h"
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
    for (int32_t j = 1; j <= g.ny; ++j)
        for (int32_t i = 1; i <= g.nx; ++i) out << CodedDepth(i, j) << (i == g.nx ? "\n" : " ");
    return out.str();
}

struct NetCdfOptions {
    size_t recordLength = 1;  // length of the leading dimension of "HA"
    bool twoDimensional = false, withLat = true, withHa = true;
};

// A bathymetry file in the layout the model reads, written by the netCDF library itself.
void WriteNetCdf(const std::string& path, const GridSpec& g, const NetCdfOptions& o = {}) {
    int ncid, dims[3], latVar = -1, lonVar, haVar = -1;
    ASSERT_EQ(nc_create(path.c_str(), NC_CLOBBER, &ncid), NC_NOERR);
    nc_def_dim(ncid, "time", o.recordLength, &dims[0]);
    nc_def_dim(ncid, "lat", static_cast<size_t>(g.ny), &dims[1]);
    nc_def_dim(ncid, "lon", static_cast<size_t>(g.nx), &dims[2]);
    if (o.withLat) nc_def_var(ncid, "LAT", NC_DOUBLE, 1, &dims[1], &latVar);
    nc_def_var(ncid, "LON", NC_DOUBLE, 1, &dims[2], &lonVar);
    if (o.withHa) nc_def_var(ncid, "HA", NC_FLOAT, o.twoDimensional ? 2 : 3, dims + (o.twoDimensional ? 1 : 0), &haVar);
    ASSERT_EQ(nc_enddef(ncid), NC_NOERR);
    std::vector<double> lat(g.ny), lon(g.nx);
    for (int32_t j = 0; j < g.ny; ++j) lat[j] = g.yMin + (g.yMax - g.yMin) * j / (g.ny - 1);
    for (int32_t i = 0; i < g.nx; ++i) lon[i] = g.xMin + (g.xMax - g.xMin) * i / (g.nx - 1);
    if (o.withLat) nc_put_var_double(ncid, latVar, lat.data());
    nc_put_var_double(ncid, lonVar, lon.data());
    std::vector<float> ha;
    for (size_t r = 0; r < (o.twoDimensional ? 1 : o.recordLength); ++r)
        for (int32_t j = 1; j <= g.ny; ++j)
            for (int32_t i = 1; i <= g.nx; ++i) ha.push_back(CodedDepth(i, j));
    ASSERT_EQ(o.withHa ? nc_put_var_float(ncid, haVar, ha.data()) : NC_NOERR, NC_NOERR);
    ASSERT_EQ(nc_close(ncid), NC_NOERR);
}

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        events.resize(1);
        settings.historyEverySteps = 10;
        WriteFile(dir / "a.grd", SurferText(GridSpec{}));
    }

    // A host record whose output folder (with its trailing separator) exists.
    HostGridRecord& Add(const std::string& bathymetry, int32_t type = 0, const std::string& folder = "out0") {
        grids.push_back(HostGridRecord{type, false, 0.0f, 25.0, dir / bathymetry, dir.Folder(folder), ""});
        return grids.back();
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
        return code == InitResult::kNestedLayout ? InitResult::kSuccess : code;
    }

    bool FolderEmpty(const std::string& folder) const { return fs::is_empty(dir / folder); }

    ScratchFolder dir;
    std::vector<HostGridRecord> grids;
    std::vector<SourceEvent> events;
    SimulationParameters settings;
};

TEST_F(ModelTest, HostCollectionCodesAndTheLevelsTheyLeave) {
    ZellSimulatorVestra sim(&grids, &events);
    EXPECT_EQ(RunInit(sim), InitResult::kNoGridRecords);  // checked before the source events
    events.clear();
    EXPECT_EQ(RunInit(sim), InitResult::kNoGridRecords);
    Add("a.grd");
    EXPECT_EQ(RunInit(sim), InitResult::kNoSourceEvents);
    EXPECT_TRUE(sim.levels.empty());
    events.resize(1);

    // A fourth type after two valid records: 11, with the two levels made so far left behind.
    Add("a.grd", 2, "out1").coriolis = true;
    Add("a.grd", 4, "out2");
    EXPECT_EQ(RunInit(sim), InitResult::kUnknownGridType);
    ASSERT_EQ(sim.levels.size(), 2u);
    EXPECT_EQ(sim.levels[1].gridType, 2);
    EXPECT_EQ(sim.levels[1].coriolisEnabled, 1);
    EXPECT_EQ(sim.levels[1].outputFolder, dir / "out1/");
    EXPECT_TRUE(FolderEmpty("out0"));

    // A later Init starts from an empty list: one record, one level.
    grids.resize(1);
    EXPECT_EQ(RunInit(sim), InitResult::kSuccess);
    ASSERT_EQ(sim.levels.size(), 1u);
    EXPECT_EQ(sim.levels[0].nx, 10);

    // historyEverySteps below 1 is refused before anything is read or written.
    for (int32_t interval : {0, -5}) {
        fs::remove_all(dir / "out0");
        fs::create_directories(dir / "out0");
        settings.historyEverySteps = interval;
        EXPECT_EQ(RunInit(sim), InitResult::kBadHistoryInterval);
        EXPECT_TRUE(sim.levels.empty());
        EXPECT_TRUE(FolderEmpty("out0"));
    }

    // Types and options: Coriolis only on spherical levels, the option number (types 1 and 3)
    // truncated toward zero.
    const struct {
        int32_t type;
        bool coriolis;
        float option;
        int32_t coriolisEnabled, optionEnabled, optionValue;
    } records[] = {{3, false, -7.9f, 0, 1, -7}, {2, true, 5.0f, 1, 0, 0}, {1, true, 250.99f, 0, 1, 250},
                   {0, false, 3.0f, 0, 0, 0}};
    for (const auto& r : records) {
        GridLevel level;
        ASSERT_TRUE(LevelFromHostRecord(HostGridRecord{r.type, r.coriolis, r.option, 1.0, "b", "o/", "g"}, level));
        EXPECT_EQ(level.gridType, r.type);
        EXPECT_EQ(level.coriolisEnabled, r.coriolisEnabled) << r.type;
        EXPECT_EQ(level.optionEnabled, r.optionEnabled) << r.type;
        EXPECT_EQ(level.optionValue, r.optionValue) << r.type;
        EXPECT_EQ(level.gaugeFile, "g");
    }
    GridLevel level;
    EXPECT_FALSE(LevelFromHostRecord(HostGridRecord{-1, false, 0.0f, 1.0, "b", "o/", ""}, level));
}

TEST_F(ModelTest, SurferAndNetCdfGiveTheSameDepthPlacement) {
    const GridSpec g;  // 10 x 7, non-square
    WriteNetCdf(dir / "bathy.nc", g);
    WriteNetCdf(dir / "bathy_no_extension", g);
    WriteNetCdf(dir / "bathy2d.nc", g, {.twoDimensional = true});
    for (const char* name : {"a.grd", "bathy.nc", "bathy_no_extension", "bathy2d.nc"})
        Add(name, 0, std::string("out_") + name);
    settings.manningCoefficient = 0.025f;
    ZellSimulatorVestra sim(&grids, &events);
    ASSERT_EQ(RunInitOfUnrelatedLevels(sim), InitResult::kSuccess);
    ASSERT_EQ(sim.levels.size(), 4u);

    for (const GridLevel& level : sim.levels) {
        SCOPED_TRACE(level.bathymetryFile);
        EXPECT_EQ(level.nx, 10);
        EXPECT_EQ(level.ny, 7);
        EXPECT_EQ(std::vector<double>({level.xMin, level.xMax, level.yMin, level.yMax}),
                  std::vector<double>({1000, 1900, 500, 1100}));
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
    }
    EXPECT_DOUBLE_EQ(sim.levels[0].zMin, -12.5);  // the Surfer header carries the depth range
    EXPECT_DOUBLE_EQ(sim.levels[0].zMax, 2003.75);
    EXPECT_DOUBLE_EQ(sim.levels[1].zMax, 0.0);
}

TEST_F(ModelTest, InitialFieldsHalosCellFieldAndThreadIndependence) {
    Add("a.grd");
    ZellSimulatorVestra sim(&grids, &events);
    sim.timeStepFactor = 0.25f;
    sim.adaptiveTimeStep = 3.0f;
    ASSERT_EQ(RunInit(sim), InitResult::kSuccess);
    const GridLevel& level = sim.levels[0];
    EXPECT_EQ(sim.timeStepFactor, 1.0f);
    EXPECT_EQ(sim.adaptiveTimeStep, 0.0f);
    EXPECT_EQ(sim.gridSpacing, 25.0f);
    int wrong = 0;
    for (Field GridLevel::*member : kLevelFields) {
        const Field& field = level.*member;
        ASSERT_EQ(field.Columns(), 13);
        ASSERT_EQ(field.Stride(), 10);
        if (member == &GridLevel::depth || member == &GridLevel::totalDepth || member == &GridLevel::totalDepthNext ||
            member == &GridLevel::manning)
            continue;  // checked against the file above
        for (int32_t i = 0; i <= 12; ++i)
            for (int32_t j = 0; j <= 9; ++j) wrong += field[i][j] != (member == &GridLevel::cellField ? 0.1f : 0.0f);
    }
    EXPECT_EQ(wrong, 0);
    for (Field GridLevel::*member : kSphericalLevelFields) EXPECT_TRUE((level.*member).empty());
    EXPECT_TRUE(level.cosLatitude.empty() && level.coriolisCentre.empty() && level.coriolisEdge.empty());

    // The same model set up with one and with two threads holds the same bytes.
    auto snapshot = [](const GridLevel& l) {
        std::vector<float> all;
        for (Field GridLevel::*m : kLevelFields) all.insert(all.end(), (l.*m).Data(), (l.*m).Data() + (l.*m).Size());
        return all;
    };
    settings.threadCount = 1;
    ASSERT_EQ(RunInit(sim), InitResult::kSuccess);
    const std::vector<float> one = snapshot(sim.levels[0]);
    settings.threadCount = 2;
    ASSERT_EQ(RunInit(sim), InitResult::kSuccess);
    EXPECT_TRUE(one == snapshot(sim.levels[0]));

    // A cell-field file fills the interior in file order; the halo keeps the default.
    std::ostringstream cells;
    cells << "DSAA 10 7 0 1 0 1 0 1\n";
    for (int32_t j = 1; j <= 7; ++j)
        for (int32_t i = 1; i <= 10; ++i) cells << (i + 0.01 * j) << " ";
    settings.cellFieldFromFile = true;
    settings.cellFieldFile = dir.Write("cells.grd", cells.str());
    ASSERT_EQ(RunInit(sim), InitResult::kSuccess);
    const Field& cell = sim.levels[0].cellField;
    EXPECT_EQ(std::vector<float>({cell[1][1], cell[10][1], cell[4][7], cell[0][3], cell[11][7], cell[4][8]}),
              std::vector<float>({1.01f, 10.01f, 4.07f, 0.1f, 0.1f, 0.1f}));
}

TEST_F(ModelTest, BadInputFilesAreRefusedBeforeAnythingIsWritten) {
    using namespace InitResult;
    const GridSpec g;
    const std::string good = SurferText(g), cut = good.substr(0, good.size() - 40);
    std::string word = good;
    word.replace(word.find("703"), 3, "7x3");
    WriteNetCdf(dir / "record2.nc", g, {.recordLength = 2});
    WriteNetCdf(dir / "nolat.nc", g, {.withLat = false});
    WriteNetCdf(dir / "noha.nc", g, {.withHa = false});
    const std::string lower = SurferText(g, "dsaa"), longer = SurferText(g, "DSAAx"), binary = SurferText(g, "DSBB");
    const std::string zero = SurferText({.nx = 0, .ny = 7});
    const struct {
        const char* file;  // the second level's depth grid, or for cells*, the cell-field file
        const char* text;  // written here when not null
        int32_t type, code;
    } cases[] = {
        {"missing.grd", nullptr, 0, kBathymetryUnreadable}, {"missing.nc", nullptr, 0, kBathymetryUnreadable},
        {"text.nc", good.c_str(), 0, kBathymetryUnreadable},  {"short.grd", cut.c_str(), 0, kBathymetryShort},
        {"empty.grd", "", 0, kBathymetryShort},               {"word.grd", word.c_str(), 0, kBathymetryNotNumber},
        {"header.grd", "DSAA 10 7 1000 abc 500 1100 0 1\n", 0, kBathymetryNotNumber},
        {"nan.grd", "DSAA 2 1 0 1 0 1 0 1\n5 nan\n", 0, kBathymetryNotNumber},
        {"lower.grd", lower.c_str(), 0, kSurferTokenNotDsaa}, {"longer.grd", longer.c_str(), 0, kSurferTokenNotDsaa},
        {"binary.grd", binary.c_str(), 0, kSurferTokenNotDsaa}, {"record2.nc", nullptr, 0, kNetCdfBadRecordDim},
        {"nolat.nc", nullptr, 0, kNetCdfMissingVariable},     {"noha.nc", nullptr, 0, kNetCdfMissingVariable},
        {"zero.grd", zero.c_str(), 0, kBadGridSize},
        {"huge.grd", "DSAA 2000000 3 0 1 0 1 0 1\n1 2 3\n", 0, kBadGridSize},
        {"single.grd", "DSAA 1 3 0 0 0 2 0 1\n1 2 3\n", 2, kBadGridSize},  // spherical: one column has no cell size
        {"flat.grd", "DSAA 3 3 5 5 0 2 0 1\n1 2 3 4 5 6 7 8 9\n", 3, kSphericalZeroWidth},
        {"cells_missing.grd", nullptr, 0, kCellFieldUnreadable},
        {"cells_short.grd", "DSAA 10 7 0 1 0 1 0 1\n1 2 3\n", 0, kCellFieldShort},
        {"cells_word.grd", "DSAA 10 7 0 1 0 1 0 1\n1 2 x\n", 0, kCellFieldShort},
        {"cells_header.grd", "DSAA 10 7 0 1\n", 0, kCellFieldShort},
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
        ZellSimulatorVestra sim(&grids, &events);
        EXPECT_EQ(RunInit(sim), c.code);
        // No file of either level exists yet; a bad second grid leaves the first level set up.
        EXPECT_TRUE(FolderEmpty("first") && FolderEmpty("second"));
        EXPECT_TRUE(cellField || (sim.levels.size() == 2 && sim.levels[0].depth[1][1] == 101.0f));
    }

    // A one-column Cartesian grid is a valid model.
    grids.clear();
    Add("single.grd");
    settings.cellFieldFromFile = false;
    ZellSimulatorVestra sim(&grids, &events);
    EXPECT_EQ(RunInit(sim), InitResult::kSuccess);
    EXPECT_EQ(sim.levels[0].depth[1][3], 3.0f);
}

TEST_F(ModelTest, SphericalCoefficientsOfOuterAndNestedLevels) {
    // 31 x 9 cells from 140 E, 30 N, 2 arc-minutes apart.
    WriteFile(dir / "s.grd", SurferText({.nx = 31, .ny = 9, .xMin = 140, .xMax = 141, .yMin = 30, .yMax = 30.2667}));
    for (int k = 0; k < 3; ++k) Add("s.grd", 2, "out" + std::to_string(k));
    Add("s.grd", 0, "out3");  // a Cartesian level gets no coefficients
    settings.timeStep = 1.5f;
    ZellSimulatorVestra sim(&grids, &events);
    ASSERT_EQ(RunInitOfUnrelatedLevels(sim), InitResult::kSuccess);

    const double radius = 6371008.0, omega = 7.2921159e-5, gravity = static_cast<double>(9.80665f);
    const double degree = std::numbers::pi / 180.0, cellRadians = 2.0 / 60.0 * degree;
    const int32_t j = 5;
    const double centre = (30.0 + (j - 0.5) * 2.0 / 60.0) * degree;  // 30.15 N
    const double edge = (30.0 + j * 2.0 / 60.0) * degree;            // north face of row 5
    auto expectNear = [](double actual, double expected) { EXPECT_NEAR(actual, expected, std::fabs(expected) * 2e-7); };
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const GridLevel& level = sim.levels[k];
        // Level k is three times finer than level k - 1 and steps 3^k times per outer step.
        const double dt = 1.5f / static_cast<float>(std::pow(3, k));
        const double metric = dt / (radius * std::cos(centre) * cellRadians);
        expectNear(level.metricX[7][j], metric);
        expectNear(level.gravityMetricX[7][j], gravity * metric);
        expectNear(level.gravityMetricY[31][j], gravity * dt / (radius * cellRadians));
        EXPECT_NEAR(level.cosLatitude[j], std::cos(centre), 1e-7);
        expectNear(level.coriolisCentre[j], omega * dt / 2 * std::sin(centre));
        expectNear(level.coriolisEdge[j], omega * dt / 2 * std::sin(edge));
        // Halo rows and columns stay 0.
        EXPECT_EQ(std::vector<float>({level.cosLatitude[0], level.cosLatitude[10], level.metricX[0][j],
                                      level.metricX[32][j], level.gravityMetricY[5][10]}),
                  std::vector<float>(5, 0.0f));
    }
    EXPECT_EQ(LevelTimeStep(1.5f, 2), 1.5f / 9.0f);
    EXPECT_TRUE(sim.levels[3].metricX.empty() && sim.levels[3].cosLatitude.empty());
}

TEST_F(ModelTest, InputSummaryLinesAndNumberFormat) {
    // General format: six significant digits; fixed: three decimals.
    const struct {
        float value;
        const char *general, *fixed;
    } numbers[] = {{60.0f, "60", "60.000"}, {0.015f, "0.015", "0.015"}, {1234567.0f, "1.23457e+06", "1234567.000"},
                   {0.0000125f, "1.25e-05", "0.000"}, {-3.5f, "-3.5", "-3.500"}};
    for (const auto& n : numbers) {
        EXPECT_EQ(FormatSummaryNumber(n.value, false), n.general);
        EXPECT_EQ(FormatSummaryNumber(n.value, true), n.fixed);
    }

    Add("a.grd", 0, "cart");
    Add("a.grd", 2, "sph").coriolis = true;
    ZellSimulatorVestra sim(&grids, &events);
    ASSERT_EQ(RunInitOfUnrelatedLevels(sim), InitResult::kSuccess);  // default settings, no gauge list anywhere
    EXPECT_EQ(ReadFile(dir / "cart/OUT-SUMMARY-INPUT.dat"),
              "DX = 25\nDT = 0.1\noutsec1 = 60\nCartesian = ENABLED\nSpherical = DISABLED\n"
              "velocity limit =  40\nflow depth limit =  0.1\n");
    EXPECT_EQ(ReadFile(dir / "sph/OUT-SUMMARY-INPUT.dat"),
              "DX = 25\nDT = 0.1\noutsec1 = 60\nCartesian = DISABLED\nSpherical = ENABLED\nCORIOLIS = ENABLED\n"
              "velocity limit =  40\nflow depth limit =  0.1\n");

    // One readable gauge list (on the Cartesian level only) puts every level's numbers in fixed format.
    grids[0].gaugeFile = dir.Write("gauges.txt", "P 1000 500\n");
    grids[1].coriolis = false;
    settings.timeSeriesEnabled = true;
    settings.timeSeriesFile = dir.Write("series.txt", "0 0 0 0\n");
    settings.useEtaOnly = false;
    settings.seriesFirstIndex = 3;
    settings.seriesLastIndex = 4000000000u;  // printed as unsigned; mode 3 forces no band, so it may exceed the grid
    settings.seriesMode = 3;
    settings.timeStep = 0.5f;
    ASSERT_EQ(RunInitOfUnrelatedLevels(sim), InitResult::kSuccess);
    EXPECT_TRUE(sim.timeSeriesStream.is_open());
    const std::string series = "More Option\nt-eta file name    " + dir / "series.txt" +
                               "\nuse eta only    0\nuse i from   3  to  4000000000\n";
    EXPECT_EQ(ReadFile(dir / "cart/OUT-SUMMARY-INPUT.dat"),
              "DX = 25.000\nDT = 0.500\noutsec1 = 60.000\nCartesian = ENABLED\nSpherical = DISABLED\n"
              "velocity limit =  40.000\nflow depth limit =  0.100\n" + series);
    EXPECT_EQ(ReadFile(dir / "sph/OUT-SUMMARY-INPUT.dat"),
              "DX = 25.000\nDT = 0.500\noutsec1 = 60.000\nCartesian = DISABLED\nSpherical = ENABLED\n"
              "CORIOLIS = DISABLED\nvelocity limit =  40.000\nflow depth limit =  0.100\n" + series);
    EXPECT_TRUE(fs::exists(dir / "cart/OUT-TIME-HISTORIES_ETA.dat"));
    EXPECT_FALSE(fs::exists(dir / "sph/OUT-TIME-HISTORIES_ETA.dat"));
}

TEST_F(ModelTest, ZeroStepAndSpacingAreRefusedAfterTheFilesAreWritten) {
    Add("a.grd").gaugeFile = dir.Write("gauges.txt", "G1 1000 500 G2 1900 1100\n");
    ZellSimulatorVestra sim(&grids, &events);
    settings.timeStep = 0.0f;
    EXPECT_EQ(RunInit(sim), InitResult::kZeroTimeStep);
    EXPECT_EQ(ReadFile(dir / "out0/OUT-TIME-HISTORIES_ETA.dat"), "Time G1_101.000 G2_1007.000 \n");
    EXPECT_EQ(sim.levels[0].gaugeCount, 2);
    EXPECT_NE(ReadFile(dir / "out0/OUT-SUMMARY-INPUT.dat").find("DT = 0.000\n"), std::string::npos);

    fs::remove_all(dir / "out0");
    fs::create_directories(dir / "out0");
    settings.timeStep = 0.1f;
    grids[0].cellSize = 0.0;
    EXPECT_EQ(RunInit(sim), InitResult::kZeroGridSpacing);
    EXPECT_EQ(ReadFile(dir / "out0/OUT-SUMMARY-INPUT.dat").substr(0, 22), "DX = 0.000\nDT = 0.100\n");
    EXPECT_TRUE(fs::exists(dir / "out0/OUT-TIME-HISTORIES_ROUSE.dat"));
    settings.timeStep = 0.0f;  // both zero: the time step is named first
    EXPECT_EQ(RunInit(sim), InitResult::kZeroTimeStep);
}

TEST_F(ModelTest, LevelMemoryIsTheSumOfItsFields) {
    WriteNetCdf(dir / "big.nc", {.nx = 200, .ny = 300, .xMin = 0, .xMax = 1, .yMin = 0, .yMax = 1});
    Add("big.nc", 2).gaugeFile = dir.Write("gauges.txt", "A 0.5 0.5 B 0.25 0.25\n");
    ZellSimulatorVestra sim(&grids, &events);
    // 39 fields of 203 x 303 cells, three latitude arrays and the two gauges' indices.
    const size_t expected = 39 * 203u * 303u * sizeof(float) + 3 * 303 * sizeof(float) + 4 * sizeof(int32_t);
    const struct mallinfo2 before = mallinfo2();
    ASSERT_EQ(RunInit(sim), InitResult::kSuccess);
    const struct mallinfo2 after = mallinfo2();
    EXPECT_EQ(LevelFieldBytes(sim.levels[0]), expected);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator does not report through mallinfo2";
#endif
    // The fields (each rounded to 64 bytes and a page) plus strings: within 2 % of the fields.
    const double grown = double(after.uordblks + after.hblkhd) - double(before.uordblks + before.hblkhd);
    EXPECT_LT(grown, expected * 1.02);
    EXPECT_GT(grown, expected * 0.98);
}

}  // namespace
