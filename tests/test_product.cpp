// The modeller's first day: the bundled realistic example, the run summary read back from
// every result format, and the quicklook pictures.
#include <gdal.h>
#include <gtest/gtest.h>
#include <netcdf.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <numbers>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <toml++/toml.h>

#include "ExampleGenerator.h"
#include "GridLevel.h"
#include "Nesting.h"
#include "Plot.h"
#include "RunSummary.h"
#include "Scenario.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

struct GaugePoint {
    std::string name;
    double x, y;
};

std::vector<GaugePoint> ReadGauges(const std::string& path) {
    std::istringstream in(ReadFile(path));
    std::vector<GaugePoint> gauges;
    for (GaugePoint gauge; in >> gauge.name >> gauge.x >> gauge.y;) gauges.push_back(gauge);
    return gauges;
}

// Nodes of a small test grid: nx x ny, first and last node coordinates.
struct Box {
    int nx, ny;
    double x0, x1, y0, y1;
};

// A single-record grid with the result files' netCDF layout: TIME (unlimited), LON, LAT;
// "HA"(TIME, LAT, LON) as float, rows from the south.
void WriteNetCdf(const std::string& path, const Box& b, const std::vector<float>& values) {
    int id, time, lon, lat, var[4];
    ASSERT_EQ(nc_create(path.c_str(), NC_CLOBBER, &id), NC_NOERR);
    nc_def_dim(id, "TIME", NC_UNLIMITED, &time);
    nc_def_dim(id, "LON", b.nx, &lon);
    nc_def_dim(id, "LAT", b.ny, &lat);
    const int dims[3] = {time, lat, lon};
    nc_def_var(id, "TIME", NC_DOUBLE, 1, &time, &var[0]);
    nc_def_var(id, "LAT", NC_FLOAT, 1, &lat, &var[1]);
    nc_def_var(id, "LON", NC_FLOAT, 1, &lon, &var[2]);
    nc_def_var(id, "HA", NC_FLOAT, 3, dims, &var[3]);
    nc_enddef(id);
    std::vector<float> xs(b.nx), ys(b.ny);
    for (int i = 0; i < b.nx; ++i) xs[i] = static_cast<float>(b.x0 + i * (b.x1 - b.x0) / (b.nx - 1));
    for (int j = 0; j < b.ny; ++j) ys[j] = static_cast<float>(b.y0 + j * (b.y1 - b.y0) / (b.ny - 1));
    const double zero = 0.0;
    const std::size_t start[3] = {0, 0, 0}, count[3] = {1, static_cast<std::size_t>(b.ny), static_cast<std::size_t>(b.nx)};
    nc_put_var1_double(id, var[0], start, &zero);
    nc_put_var_float(id, var[1], ys.data());
    nc_put_var_float(id, var[2], xs.data());
    ASSERT_EQ(nc_put_vara_float(id, var[3], start, count, values.data()), NC_NOERR);
    ASSERT_EQ(nc_close(id), NC_NOERR);
}

// A Surfer binary grid ("DSBB") written by GDAL; `values` rows from the south.
void WriteSurferBinary(const std::string& path, const Box& b, const std::vector<float>& values) {
    GDALAllRegister();
    GDALDatasetH data = GDALCreate(GDALGetDriverByName("GSBG"), path.c_str(), b.nx, b.ny, 1, GDT_Float32, nullptr);
    ASSERT_NE(data, nullptr) << path;
    const double dx = (b.x1 - b.x0) / (b.nx - 1), dy = (b.y1 - b.y0) / (b.ny - 1);
    double transform[6] = {b.x0 - dx / 2, dx, 0.0, b.y1 + dy / 2, 0.0, -dy};  // pixel edges around the nodes
    GDALSetGeoTransform(data, transform);
    // GDAL's rows run north to south: start at our last row and step backwards.
    void* north = const_cast<float*>(values.data() + static_cast<std::size_t>(b.ny - 1) * b.nx);
    EXPECT_EQ(GDALRasterIO(GDALGetRasterBand(data, 1), GF_Write, 0, 0, b.nx, b.ny, north, b.nx, b.ny, GDT_Float32, 0,
                           -static_cast<GSpacing>(sizeof(float)) * b.nx),
              CE_None);
    GDALClose(data);
}

// Width and height of a PNG picture as GDAL reads it; (0, 0) when it is not one.
std::pair<int, int> PngSize(const std::string& path) {
    GDALAllRegister();
    GDALDatasetH data = GDALOpen(path.c_str(), GA_ReadOnly);
    if (data == nullptr) return {0, 0};
    const bool png = std::string(GDALGetDriverShortName(GDALGetDatasetDriver(data))) == "PNG";
    const std::pair<int, int> size = png ? std::pair{GDALGetRasterXSize(data), GDALGetRasterYSize(data)} : std::pair{0, 0};
    GDALClose(data);
    return size;
}

}  // namespace

TEST(ExampleGenerator, RealisticNestedLayoutSameBytesEveryTimeThatTheRunAccepts) {
    ScratchFolder folder, again;
    ExampleOptions options;
    options.secondNestedLevel = true;
    std::string error;
    ASSERT_TRUE(WriteRealisticExample(folder.Path(), options, &error)) << error;
    ASSERT_TRUE(WriteRealisticExample(again / "nested/deeper", options, &error)) << error;
    // Scenario, source, three bathymetries, three gauge lists: the same bytes every time.
    EXPECT_EQ(folder.Names().size(), 8u);
    for (const std::string& name : folder.Names()) {
        EXPECT_FALSE(ReadFile(folder / name).empty()) << name;
        EXPECT_EQ(ReadFile(folder / name), ReadFile(again / ("nested/deeper/" + name))) << name;
    }
    EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(again / "nested/deeper"), {})), 8u);

    // The scenario: read with toml++ directly.
    toml::table scenario = toml::parse_file(folder / "scenario.toml");
    const double timeStep = scenario["parameters"]["timeStep"].value_or(0.0);
    EXPECT_GT(timeStep, 0.0);
    EXPECT_GE(scenario["parameters"]["historyEverySteps"].value_or(0), 1);
    const toml::array* grids = scenario["grids"].as_array();
    ASSERT_TRUE(grids && grids->size() == 3u);
    std::vector<SurferGrid> levels;
    std::vector<std::vector<GaugePoint>> gauges;
    for (std::size_t k = 0; k < grids->size(); ++k) {
        const toml::table& grid = *grids->get(k)->as_table();
        EXPECT_EQ(grid["gridType"].value_or(-1), 2) << "level " << k << " is spherical";
        levels.push_back(ReadSurferText(folder / grid["bathymetryFile"].value_or(std::string())));
        gauges.push_back(ReadGauges(folder / grid["gaugeFile"].value_or(std::string())));
        EXPECT_EQ(grid["outputFolder"].value_or(std::string()), "out/level" + std::to_string(k));
    }
    // Level 0: 3 x 3 degrees at 1 arc-minute, square cells.
    const SurferGrid& outer = levels[0];
    EXPECT_TRUE(outer.nx == 181 && outer.ny == 181);
    EXPECT_NEAR(outer.dx(), 1.0 / 60.0, 1e-12);
    EXPECT_NEAR(outer.dy(), 1.0 / 60.0, 1e-12);

    // Nesting rules, from the files alone: a third of the parent's cell, first (and last)
    // node on a parent node, at least 3 parent cells of margin on every side.
    for (std::size_t k = 1; k < levels.size(); ++k) {
        const SurferGrid &parent = levels[k - 1], &child = levels[k];
        SCOPED_TRACE("level " + std::to_string(k));
        EXPECT_NEAR(child.dx() * 3.0, parent.dx(), parent.dx() * 1e-9);
        EXPECT_NEAR(child.dy() * 3.0, parent.dy(), parent.dy() * 1e-9);
        for (double offset : {(child.xMin - parent.xMin) / parent.dx(), (child.yMin - parent.yMin) / parent.dy(),
                              (parent.xMax - child.xMax) / parent.dx(), (parent.yMax - child.yMax) / parent.dy()}) {
            EXPECT_NEAR(offset, std::round(offset), 1e-6) << "corner off the parent's nodes";
            EXPECT_GE(offset, 3.0 - 1e-9) << "margin below 3 parent cells";
        }
        EXPECT_TRUE((child.nx - 1) % 3 == 0 && (child.ny - 1) % 3 == 0);
        // Both grids sample one sea floor: every child node on a parent node has its depth.
        for (int j = 0; j < child.ny; j += 3)
            for (int i = 0; i < child.nx; i += 3)
                ASSERT_NEAR(child.At(i, j), parent.Nearest(child.X(i), child.Y(j)), 0.011) << i << "," << j;
        // And the check that Init itself runs on the two levels accepts them.
        auto asLevel = [](const SurferGrid& g) {
            GridLevel level;
            level.gridType = 2, level.nx = g.nx, level.ny = g.ny;
            level.xMin = g.xMin, level.xMax = g.xMax, level.yMin = g.yMin, level.yMax = g.yMax;
            return level;
        };
        EXPECT_EQ(CheckNestedLayout(asLevel(parent), asLevel(child)), "");
    }

    // The sea floor: a deep basin, a slope, a shelf and land; the bay's land rises far above
    // any flood (every row of level 1 starts on land higher than 100 m).
    double deepest = 0, highest = 0;
    int shelfNodes = 0, slopeNodes = 0;
    for (double depth : outer.z) {
        deepest = std::max(deepest, depth);
        highest = std::max(highest, -depth);
        shelfNodes += depth > 20 && depth <= 150;
        slopeNodes += depth > 300 && depth < 3500;
    }
    EXPECT_TRUE(deepest >= 3900.0 && highest >= 300.0 && shelfNodes > 1810 && slopeNodes > 1810);
    for (int j = 0; j < levels[1].ny; ++j) EXPECT_LT(levels[1].At(0, j), -100.0) << "row " << j;
    bool coastInLevel2 = false;
    for (int j = 0; j < levels[2].ny; ++j)
        for (int i = 0; i + 1 < levels[2].nx; ++i)
            coastInLevel2 = coastInLevel2 || (levels[2].At(i, j) <= 0) != (levels[2].At(i + 1, j) <= 0);
    EXPECT_TRUE(coastInLevel2);

    // The source: on level 0's nodes, a few metres at most, centred over the slope.
    const toml::array* sources = scenario["sources"].as_array();
    ASSERT_TRUE(sources && sources->size() == 1);
    const SurferGrid uplift = ReadSurferText(folder / (*sources->get(0)->as_table())["etaFile"].value_or(std::string()));
    EXPECT_TRUE(uplift.nx == outer.nx && uplift.ny == outer.ny && uplift.xMin == outer.xMin && uplift.yMax == outer.yMax);
    const std::size_t top = std::max_element(uplift.z.begin(), uplift.z.end()) - uplift.z.begin();
    EXPECT_TRUE(uplift.z[top] >= 2.0 && uplift.z[top] <= 5.0) << uplift.z[top];
    EXPECT_TRUE(outer.z[top] > 300.0 && outer.z[top] < 3500.0) << outer.z[top];
    for (int i = 0; i < uplift.nx; ++i) EXPECT_EQ(uplift.At(i, 0), 0.0);

    // Gauges: plain names, inside their level, on a wet node; offshore, shelf and bay.
    std::map<std::string, double> depthAt;
    for (std::size_t k = 0; k < levels.size(); ++k)
        for (const GaugePoint& gauge : gauges[k]) {
            EXPECT_EQ(gauge.name.find('_'), std::string::npos) << gauge.name;
            ASSERT_TRUE(levels[k].Contains(gauge.x, gauge.y)) << gauge.name << " outside level " << k;
            depthAt[gauge.name] = levels[k].Nearest(gauge.x, gauge.y);
            EXPECT_GT(depthAt[gauge.name], 0.5) << gauge.name << " on a dry node of level " << k;
        }
    ASSERT_EQ(gauges[0].size(), 3u);
    EXPECT_GT(depthAt["Offshore"], 3000.0);
    EXPECT_TRUE(depthAt["Shelf"] > 20.0 && depthAt["Shelf"] < 150.0);
    EXPECT_LT(depthAt["Bay"], 60.0);
    EXPECT_FALSE(gauges[1].empty() || gauges[2].empty());

    // Stability: level k steps timeStep / 3^k; the 2-D CFL number at the deepest node of
    // the narrowest (northernmost) row stays below 1.
    const double radius = 6371008.0, g = 9.80665, toRadians = std::numbers::pi / 180.0;
    double subStep = timeStep;
    for (const SurferGrid& level : levels) {
        const double deepestHere = *std::max_element(level.z.begin(), level.z.end());
        const double dxMetres = radius * std::cos(level.yMax * toRadians) * level.dx() * toRadians;
        const double dyMetres = radius * level.dy() * toRadians;
        EXPECT_LT(subStep * std::sqrt(g * deepestHere) * std::hypot(1.0 / dxMetres, 1.0 / dyMetres), 0.7);
        subStep /= 3.0;
    }

    // The scenario reader of the vestra command accepts it as written (the command's example
    // options, two levels without the second nest, are run in test_wiring).
    Scenario loaded;
    ASSERT_TRUE(LoadScenarioFile(folder / "scenario.toml", {}, &loaded, &error)) << error;
    EXPECT_EQ(loaded.name, "Bay example");
    EXPECT_TRUE(loaded.grids.size() == 3u && loaded.sources.size() == 1u && loaded.parameters.outputFormat == 2);
    for (const HostGridRecord& grid : loaded.grids) EXPECT_TRUE(fs::is_regular_file(grid.bathymetryFile));

    // A second write into the same folder refuses and leaves the files as they were.
    WriteFile(folder / "scenario.toml", "# the user's own scenario\n");
    EXPECT_FALSE(WriteRealisticExample(folder.Path(), options, &error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(folder / "scenario.toml"), "# the user's own scenario\n");
    // Bad options and an impossible folder are refused with a reason.
    ExampleOptions badFormat;
    badFormat.outputFormat = 7;
    EXPECT_FALSE(WriteRealisticExample(again / "other", badFormat, &error));
    EXPECT_NE(error.find("format"), std::string::npos);
    WriteFile(again / "plainfile", "x");
    EXPECT_FALSE(WriteRealisticExample(again / "plainfile/sub", ExampleOptions{}, &error));
    EXPECT_NE(error.find("plainfile"), std::string::npos);
    EXPECT_FALSE(WriteRealisticExample("", ExampleOptions{}, &error));
}

namespace {

const char* kSummaryHeader =
    "Name of gauge pt.\tDepth of gauge pt.(m)\tXCoord\tYCoord\tArrival time of initial wave (min)\t"
    "Arrival time of max.wave (min)\tMaximum (+)ve amp.(m)\tMaximum (-)ve amp.(m)\n";

// A 4 x 3 Cartesian level, 100 m cells, x 1000..1300, y 2000..2200: the highest level 2.5
// at column 3 of row 2 (x 1300, y 2200), a Surfer blank that is not a result, and four
// flooded land cells, the deepest 0.75 m.
const Box kCartesian{4, 3, 1000, 1300, 2000, 2200};
const std::vector<float> kCartesianEtaMax = {0.5f, 1.0f, 1.5f, 0.0f, 0.25f, 1.70141e38f, 2.0f, 0.0f, 0.0f, 0.0f, 1.0f, 2.5f};
const std::vector<float> kCartesianLand = {0.0f, 0.3f, 0.0f, 0.0f, 0.75f, 0.0f, 0.0f, 0.1f, 0.2f, 0.0f, 0.0f, 0.0f};

std::string SurferTextBytes(const std::vector<float>& z) {
    std::ostringstream text;
    text << "DSAA\n4 3\n1000.0000000   1300.0000000\n2000.0000000   2200.0000000\n0.0000000  2.5000000\n";
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 4; ++i) text << z[j * 4 + i] << (i == 3 ? "\n\n" : "     ");
    return text.str();
}

std::string EsriText(const std::vector<float>& z) {
    std::ostringstream text;
    text << "ncols 4\nnrows 3\nxllcorner 1000\nyllcorner 2000\ncellsize 100\nNODATA_value -9999\n";
    for (int j = 2; j >= 0; --j) {  // northernmost row first
        for (int i = 0; i < 4; ++i) text << z[j * 4 + i] << ' ';
        text << '\n';
    }
    return text.str();
}

}  // namespace

TEST(RunSummary, NumbersFromEveryResultFormat) {
    ScratchFolder run;
    // Level 0: spherical, netCDF, 4 x 3 nodes 0.01 degrees apart from (140, 37).
    const Box sphere{4, 3, 140.0, 140.03, 37.0, 37.02};
    fs::create_directories(run / "level0");
    WriteNetCdf(run / "level0/OUT-ETA-MAX.nc", sphere, {0.1f, 0.2f, 0.3f, 0.0f, 0.5f, 1.0f, 4.25f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f});
    WriteNetCdf(run / "level0/OUT-FLOWDEPTHMAXLAND.nc", sphere, {0.0f, 1.75f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.5f, 0.25f});
    WriteFile(run / "level0/OUT-SUMMARY-RESULT.dat", std::string(kSummaryHeader) +
                                                         "Offshore\t4000.000\t142.05\t37.5\t3.5\t12.1667\t1.234\t-0.876\n" +
                                                         "Bay\t29.310\t140.62\t37.5\t21\t24.5\t4.5\t-2.25\n");
    // Levels 1-3: the same Cartesian level as Surfer text, Surfer binary and ESRI ASCII.
    WriteFile(run / "level1/OUT-ETA-MAX.grd", SurferTextBytes(kCartesianEtaMax));
    WriteFile(run / "level1/OUT-FLOWDEPTHMAXLAND.grd", SurferTextBytes(kCartesianLand));
    fs::create_directories(run / "level2");
    WriteSurferBinary(run / "level2/OUT-ETA-MAX_bin.grd", kCartesian, kCartesianEtaMax);
    WriteSurferBinary(run / "level2/OUT-FLOWDEPTHMAXLAND_bin.grd", kCartesian, kCartesianLand);
    WriteFile(run / "level3/OUT-ETA-MAX.asc", EsriText(kCartesianEtaMax));
    WriteFile(run / "level3/OUT-FLOWDEPTHMAXLAND.asc", EsriText(kCartesianLand));
    fs::create_directories(run / "level4");  // a level whose run wrote nothing

    const RunSummary summary = CollectRunSummary(
        "Tiny", {{run / "level0/", true}, {run / "level1", false}, {run / "level2", false}, {run / "level3", false}, {run / "level4", false}},
        -1, 12.5, 33.4);
    ASSERT_EQ(summary.levels.size(), 5u);
    const LevelSummary& spherical = summary.levels[0];
    EXPECT_TRUE(spherical.problems.empty()) << spherical.problems.front();
    EXPECT_FLOAT_EQ(spherical.highestWaterLevel, 4.25);
    EXPECT_NEAR(spherical.highestX, 140.02, 1e-5);
    EXPECT_NEAR(spherical.highestY, 37.01, 1e-5);
    EXPECT_FLOAT_EQ(spherical.maxFlowDepthOnLand, 1.75);
    // R^2 (0.01 deg)^2 cos(lat), R = 6371.0088 km: 0.98746 km^2 at 37.00 N, 0.98720 at 37.02 N.
    EXPECT_NEAR(spherical.floodedAreaKm2, 0.98746 + 2 * 0.98720, 2e-3 * 3);
    ASSERT_EQ(spherical.gauges.size(), 2u);
    const GaugeSummary& bay = spherical.gauges[1];
    EXPECT_EQ(bay.name, "Bay");
    EXPECT_EQ(bay.depthText, "29.310");
    EXPECT_TRUE(bay.arrivalMinutes == 21.0 && bay.timeOfMaxMinutes == 24.5 && bay.maximum == 4.5 && bay.minimum == -2.25);
    EXPECT_DOUBLE_EQ(spherical.gauges[0].x, 142.05);
    for (int k = 1; k <= 3; ++k) {
        const LevelSummary& level = summary.levels[k];
        SCOPED_TRACE("level " + std::to_string(k));
        EXPECT_TRUE(level.problems.empty()) << level.problems.front();
        EXPECT_TRUE(level.nx == 4 && level.ny == 3 && level.gauges.empty());
        EXPECT_FLOAT_EQ(level.highestWaterLevel, 2.5);  // the Surfer blank is not a result
        EXPECT_NEAR(level.highestX, 1300.0, 1e-9);
        EXPECT_NEAR(level.highestY, 2200.0, 1e-9);
        EXPECT_FLOAT_EQ(level.maxFlowDepthOnLand, 0.75);
        EXPECT_NEAR(level.floodedAreaKm2, 4 * 0.01, 1e-12);  // four 100 m x 100 m cells
    }
    const LevelSummary& missing = summary.levels[4];
    EXPECT_TRUE(std::isnan(missing.highestWaterLevel) && std::isnan(missing.floodedAreaKm2));
    EXPECT_EQ(missing.problems.size(), 2u);
    // Cell updates of one base step: 12 (level 0) + 12*3 + 12*9 + 12*27, level 4 unread.
    EXPECT_DOUBLE_EQ(CellUpdatesPerBaseStep(summary), 12.0 * (1 + 3 + 9 + 27));

    // The printed table carries the numbers.
    std::ostringstream table;
    PrintRunSummary(summary, table);
    for (const char* expected : {"Tiny", "12.5 s", "33.4", "4.250", "140.0200, 37.0100", "1.750", "2.962", "0.040",
                                 "1300.0, 2200.0", "Offshore", "-2.250", "24.50", "level 4:"})
        EXPECT_NE(table.str().find(expected), std::string::npos) << expected << " missing from\n" << table.str();

    // JSON: parsed back by Python's json module when there is one, else by string search.
    const std::string jsonPath = run / "summary.json";
    ASSERT_TRUE(WriteRunSummaryJson(summary, jsonPath));
    const std::string json = ReadFile(jsonPath);
    for (const char* expected : {"\"highestWaterLevel\": 4.25,", "\"floodedAreaKm2\": 0.04,", "\"name\": \"Bay\"",
                                 "\"minimum\": -2.25", "\"highestWaterLevel\": null,", "\"wallTimeSeconds\": 12.5,"})
        EXPECT_NE(json.find(expected), std::string::npos) << expected << " missing from\n" << json;
    if (access(kPlotPython, X_OK) == 0) {
        EXPECT_EQ(RunShell(std::string(kPlotPython) + " -c \"import json,sys; d=json.load(open(sys.argv[1])); " +
                           "l=d['levels']; print(d['scenario'], d['millionCellUpdatesPerSecond'], l[0]['highestWaterLevel'], " +
                           "round(l[0]['floodedAreaKm2'], 3), l[0]['gauges'][0]['name'], l[3]['nx'], l[4]['floodedAreaKm2'], " +
                           "len(l[4]['problems']))\" " + jsonPath),
                  "Tiny 33.4 4.25 2.962 Offshore 4 None 2\n")
            << json;
    }
    EXPECT_FALSE(WriteRunSummaryJson(summary, run / "no/such/folder/summary.json"));
}

TEST(RunSummary, ChoosesTheRunsFormatAndRefusesDamagedFiles) {
    ScratchFolder run;
    // Two formats of one name: the explicit format wins; without one, the newest file.
    WriteFile(run / "OUT-ETA-MAX.grd", SurferTextBytes(kCartesianEtaMax));
    WriteSurferBinary(run / "OUT-ETA-MAX_bin.grd", {4, 3, 0, 3, 0, 2}, std::vector<float>(12, 7.0f));
    fs::last_write_time(run / "OUT-ETA-MAX.grd", fs::file_time_type::clock::now() - std::chrono::hours(1));
    OutputGrid grid;
    std::string error;
    ASSERT_TRUE(ReadOutputGrid(run / "OUT-ETA-MAX", 0, &grid, &error)) << error;
    EXPECT_FLOAT_EQ(grid.values[11], 2.5f);
    ASSERT_TRUE(ReadOutputGrid(run / "OUT-ETA-MAX", -1, &grid, &error)) << error;
    EXPECT_FLOAT_EQ(grid.values[11], 7.0f);
    EXPECT_FALSE(ReadOutputGrid(run / "OUT-ETA-MAX", 3, &grid, &error));
    EXPECT_NE(error.find("OUT-ETA-MAX.asc"), std::string::npos) << error;

    // Damaged files give a reason naming the file, never a crash or a huge allocation.
    std::string truncated = ReadFile(run / "OUT-ETA-MAX_bin.grd");
    truncated.resize(truncated.size() - 6);
    using Reader = bool (*)(const std::string&, OutputGrid*, std::string*);
    const std::vector<std::tuple<std::string, std::string, Reader>> damaged = {
        {"short.grd", "DSAA\n4 3\n0 3\n0 2\n0 1\n1 2 3\n", ReadSurferTextGrid},
        {"huge.grd", "DSAA\n2000000000 2000000000\n0 3\n0 2\n0 1\n1 2 3\n", ReadSurferTextGrid},
        {"word.grd", "DSAA\n2 1\n0 1\n0 0\n0 1\n1 x\n", ReadSurferTextGrid},
        {"lower.grd", "dsaa\n2 1\n0 1\n0 0\n0 1\n1 2\n", ReadSurferTextGrid},
        {"bad.asc", "ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\n1 2 3\n", ReadEsriAsciiGrid},
        {"nocell.asc", "ncols 2\nnrows 1\nxllcorner 0\nyllcorner 0\n1 2\n", ReadEsriAsciiGrid},
        {"cut_bin.grd", truncated, ReadSurferBinaryGrid},
        {"wrong.nc", "CDF\x01 not really", ReadNetCdfGrid},
    };
    for (const auto& [name, text, read] : damaged) {
        WriteFile(run / name, text);
        EXPECT_FALSE(read(run / name, &grid, &error)) << name;
        EXPECT_NE(error.find(name), std::string::npos) << error;
    }
    WriteFile(run / "OUT-SUMMARY-RESULT.dat", std::string(kSummaryHeader) + "Bay\t3\t1\t2\tsoon\t1\t1\t-1\n");
    std::vector<GaugeSummary> gauges;
    EXPECT_FALSE(ReadGaugeSummaryFile(run / "OUT-SUMMARY-RESULT.dat", &gauges, &error));
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
}

TEST(PlotCommand, FindsItsScriptAndWritesPngsOfTheStatedSize) {
    const std::string script = FindPlotScript();
    EXPECT_TRUE(script.ends_with("/vestra_plot.py")) << script;
    EXPECT_TRUE(fs::exists(std::string(VESTRA_BINARY_DIR) + "/vestra_plot.py"));  // beside the vestra executable
    EXPECT_NE(ReadFile(script).find("quicklook-max-water-level.png"), std::string::npos);
    if (!PythonHasPlotting()) GTEST_SKIP() << "/usr/bin/python3 with matplotlib, numpy and netCDF4 is not installed";
    ScratchFolder run;
    // A spherical level of 6 x 5 nodes: two columns of land, a flooded land node at (1, 2);
    // netCDF highest levels, a Surfer binary land grid and a Surfer text arrival grid.
    const Box box{6, 5, 140.0, 140.05, 37.0, 37.04};
    std::ostringstream bathymetry, arrivalText;
    bathymetry << "DSAA\n6 5\n140 140.05\n37 37.04\n-20 30\n";
    arrivalText << "DSAA\n6   5\n140.0000000   140.0500000\n37.0000000   37.0400000\n0.0000000  14.0000000\n";
    std::vector<float> eta(30, 0.0f), land(30, 0.0f);
    for (int j = 0; j < box.ny; ++j)
        for (int i = 0; i < box.nx; ++i) {
            bathymetry << 10 * (i - 2) << (i == box.nx - 1 ? "\n" : " ");
            eta[j * box.nx + i] = i >= 2 ? 1.0f + 0.1f * i + 0.05f * j : 0.0f;
            arrivalText << (i >= 2 ? 14.0f - i + 0.5f * j : 0.0f) << (i == box.nx - 1 ? "\n\n" : " ");
        }
    eta[2 * box.nx + 1] = 0.8f;
    land[2 * box.nx + 1] = 0.6f;
    WriteFile(run / "bathy.grd", bathymetry.str());
    WriteFile(run / "scenario.toml",
              "name = \"Tiny test\"\n[parameters]\ntimeStep = 1.0\n[[grids]]\ngridType = 2\ncellSize = 1000.0\n"
              "bathymetryFile = \"bathy.grd\"\noutputFolder = \"out/level0\"\n[[sources]]\netaFile = \"bathy.grd\"\n");
    const std::string level0 = run / "out/level0";
    WriteFile(level0 + "/OUT-TIME-FIRST-WAVE.grd", arrivalText.str());
    WriteNetCdf(level0 + "/OUT-ETA-MAX.nc", box, eta);
    WriteSurferBinary(level0 + "/OUT-FLOWDEPTHMAXLAND_bin.grd", box, land);
    std::ostringstream history;  // two gauges, 20 minutes
    history << "Time G1_12.500 G2_3.250 \n";
    for (int step = 0; step <= 40; ++step) {
        const double minutes = 0.5 * step;
        char line[96];
        std::snprintf(line, sizeof line, "%.5f%14.4f%12.4f\n", minutes, minutes < 3.0 ? 0.0 : std::sin(minutes - 3.0),
                      minutes < 6.0 ? 0.0 : -0.5 * std::sin(minutes - 6.0));
        history << line;
    }
    WriteFile(level0 + "/OUT-TIME-HISTORIES_ETA.dat", history.str());
    WriteFile(level0 + "/OUT-SUMMARY-RESULT.dat", std::string(kSummaryHeader) + "G1\t12.500\t140.03\t37.02\t3.5\t4.5\t1\t-1\n");

    ASSERT_EQ(RunPlotCommand({level0, "--quiet"}), 0);
    const std::vector<std::pair<std::string, std::pair<int, int>>> expected = {
        {"quicklook-max-water-level.png", {1200, 900}},
        {"quicklook-first-arrival.png", {1200, 900}},
        {"quicklook-gauges.png", {1200, 150 + 250 * 2}}};
    for (const auto& [name, size] : expected) {
        EXPECT_EQ(PngSize(level0 + "/" + name), size) << name;
        EXPECT_GT(fs::file_size(level0 + "/" + name), 10000u) << name << " looks empty";
    }

    // A Cartesian level in ESRI ASCII, with no scenario and no gauges: the two maps only.
    const std::string lonely = run / "lonely";
    WriteFile(lonely + "/OUT-ETA-MAX.asc", EsriText(kCartesianEtaMax));
    WriteFile(lonely + "/OUT-TIME-FIRST-WAVE.asc", EsriText(kCartesianLand));
    ASSERT_EQ(RunPlotScript(kPlotPython, "", {lonely, "--quiet", "--name", "Lonely", "--level", "3"}), 0);
    EXPECT_EQ(PngSize(lonely + "/quicklook-max-water-level.png"), std::pair(1200, 900));
    EXPECT_EQ(PngSize(lonely + "/quicklook-first-arrival.png"), std::pair(1200, 900));
    EXPECT_FALSE(fs::exists(lonely + "/quicklook-gauges.png"));

    // Failures give an exit status, never a picture.
    EXPECT_EQ(RunPlotCommand({run / "no-such-folder", "--quiet"}), 1);
    fs::create_directories(run / "empty");
    EXPECT_EQ(RunPlotCommand({run / "empty", "--quiet"}), 1);
    EXPECT_FALSE(fs::exists(run / "empty/quicklook-max-water-level.png"));
    EXPECT_EQ(RunPlotCommand({}), 2);  // no folder: a usage error
    EXPECT_EQ(RunPlotScript("/no/such/python3", "", {level0}), 2);
    EXPECT_EQ(RunPlotScript(kPlotPython, run / "missing.py", {level0}), 2);
}
