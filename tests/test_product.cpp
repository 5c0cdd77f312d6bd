// The modeller's first day: the bundled example, the run summary and the quicklook pictures.
#include <gtest/gtest.h>
#include <netcdf.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <sstream>
#include <string>
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
    std::ifstream in(path);
    std::vector<GaugePoint> gauges;
    GaugePoint gauge;
    while (in >> gauge.name >> gauge.x >> gauge.y) gauges.push_back(gauge);
    return gauges;
}

// Writes a single-record grid with the result files' netCDF layout: TIME (unlimited), LON,
// LAT; "HA"(TIME, LAT, LON) as float.
void WriteTinyNetCdf(const std::string& path, int nx, int ny, double x0, double x1, double y0, double y1,
                     const std::vector<float>& values) {
    int ncid, timeDim, lonDim, latDim, timeVar, latVar, lonVar, haVar;
    ASSERT_EQ(nc_create(path.c_str(), NC_CLOBBER, &ncid), NC_NOERR);
    nc_def_dim(ncid, "TIME", NC_UNLIMITED, &timeDim);
    nc_def_dim(ncid, "LON", nx, &lonDim);
    nc_def_dim(ncid, "LAT", ny, &latDim);
    nc_def_var(ncid, "TIME", NC_DOUBLE, 1, &timeDim, &timeVar);
    nc_def_var(ncid, "LAT", NC_FLOAT, 1, &latDim, &latVar);
    nc_def_var(ncid, "LON", NC_FLOAT, 1, &lonDim, &lonVar);
    const int dims[3] = {timeDim, latDim, lonDim};
    nc_def_var(ncid, "HA", NC_FLOAT, 3, dims, &haVar);
    nc_put_att_text(ncid, haVar, "units", 1, "m");
    nc_enddef(ncid);
    std::vector<float> lon(nx), lat(ny);
    for (int i = 0; i < nx; ++i) lon[i] = static_cast<float>(x0 + i * (x1 - x0) / (nx - 1));
    for (int j = 0; j < ny; ++j) lat[j] = static_cast<float>(y0 + j * (y1 - y0) / (ny - 1));
    nc_put_var_float(ncid, lonVar, lon.data());
    nc_put_var_float(ncid, latVar, lat.data());
    const std::size_t zero = 0;
    const double time = 0.0;
    nc_put_var1_double(ncid, timeVar, &zero, &time);
    const std::size_t start[3] = {0, 0, 0}, count[3] = {1, static_cast<std::size_t>(ny), static_cast<std::size_t>(nx)};
    ASSERT_EQ(nc_put_vara_float(ncid, haVar, start, count, values.data()), NC_NOERR);
    ASSERT_EQ(nc_close(ncid), NC_NOERR);
}

// Surfer binary grid: "DSBB", two 16-bit counts, six doubles, then the floats, little-endian.
void WriteTinyBinary(const std::string& path, int nx, int ny, double x0, double x1, double y0, double y1,
                     const std::vector<float>& values) {
    std::string bytes = "DSBB";
    auto put = [&bytes](const void* data, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t k = 0; k < size; ++k) bytes.push_back(static_cast<char>(p[k]));  // host is little-endian
    };
    const int16_t counts[2] = {static_cast<int16_t>(nx), static_cast<int16_t>(ny)};
    put(counts, sizeof counts);
    const double header[6] = {x0, x1, y0, y1, 0.0, 1.0};
    put(header, sizeof header);
    put(values.data(), values.size() * sizeof(float));
    ASSERT_EQ(bytes.size(), 56 + 4 * values.size());
    WriteFile(path, bytes);
}

struct PngSize {
    bool valid = false;
    uint32_t width = 0, height = 0;
};

PngSize ReadPngSize(const std::string& path) {
    const std::string bytes = ReadFile(path);
    PngSize size;
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (bytes.size() < 33 || std::memcmp(bytes.data(), kSignature, 8) != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return size;
    auto big = [&bytes](std::size_t at) {
        uint32_t v = 0;
        for (std::size_t k = 0; k < 4; ++k) v = (v << 8) | static_cast<unsigned char>(bytes[at + k]);
        return v;
    };
    size.valid = big(8) == 13;
    size.width = big(16);
    size.height = big(20);
    return size;
}

// ---------------------------------------------------------------- the bundled example

TEST(ExampleGenerator, SameBytesEveryTimeAndNeverOverwrites) {
    ScratchFolder a, b;
    ExampleOptions options;
    options.secondNestedLevel = true;
    std::string error;
    ASSERT_TRUE(WriteRealisticExample(a.Path(), options, &error)) << error;
    ASSERT_TRUE(WriteRealisticExample(b / "nested/deeper", options, &error)) << error;

    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(a.Path())) names.push_back(entry.path().filename().string());
    EXPECT_EQ(names.size(), 8u);  // scenario, source, three bathymetries, three gauge lists
    for (const std::string& name : names) {
        const std::string first = ReadFile(a / name);
        EXPECT_FALSE(first.empty()) << name;
        EXPECT_EQ(first, ReadFile(b / ("nested/deeper/" + name))) << name << " differs between two runs";
    }
    std::size_t countB = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(b / "nested/deeper")) ++countB;
    EXPECT_EQ(countB, names.size());

    // A second write into the same folder refuses and leaves the files as they were.
    const std::string before = ReadFile(a / "scenario.toml");
    WriteFile(a / "scenario.toml", "# the user's own scenario\n");
    EXPECT_FALSE(WriteRealisticExample(a.Path(), options, &error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(a / "scenario.toml"), "# the user's own scenario\n");
    EXPECT_NE(before, ReadFile(a / "scenario.toml"));

    // Bad options and an impossible folder are refused with a reason.
    ExampleOptions badFormat;
    badFormat.outputFormat = 7;
    EXPECT_FALSE(WriteRealisticExample(b / "other", badFormat, &error));
    EXPECT_NE(error.find("format"), std::string::npos);
    WriteFile(b / "plainfile", "x");
    EXPECT_FALSE(WriteRealisticExample(b / "plainfile/sub", ExampleOptions{}, &error));
    EXPECT_NE(error.find("plainfile"), std::string::npos);
    EXPECT_FALSE(WriteRealisticExample("", ExampleOptions{}, &error));
}

TEST(ExampleGenerator, RealisticNestedLayoutThatTheRunAccepts) {
    ScratchFolder folder;
    ExampleOptions options;
    options.secondNestedLevel = true;
    std::string error;
    ASSERT_TRUE(WriteRealisticExample(folder.Path(), options, &error)) << error;

    // The scenario: read with toml++ directly.
    toml::table scenario = toml::parse_file(folder / "scenario.toml");
    const double timeStep = scenario["parameters"]["timeStep"].value_or(0.0);
    EXPECT_GT(timeStep, 0.0);
    EXPECT_GE(scenario["parameters"]["historyEverySteps"].value_or(0), 1);
    const toml::array* grids = scenario["grids"].as_array();
    ASSERT_NE(grids, nullptr);
    ASSERT_EQ(grids->size(), 3u);

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
    EXPECT_EQ(outer.nx, 181);
    EXPECT_EQ(outer.ny, 181);
    EXPECT_NEAR(outer.dx(), 1.0 / 60.0, 1e-12);
    EXPECT_NEAR(outer.dy(), 1.0 / 60.0, 1e-12);

    // Nesting rules, from the files alone: a third of the parent's cell, first (and last)
    // node on a parent node, at least 3 parent cells of margin on every side.
    for (std::size_t k = 1; k < levels.size(); ++k) {
        const SurferGrid& parent = levels[k - 1];
        const SurferGrid& child = levels[k];
        SCOPED_TRACE("level " + std::to_string(k));
        EXPECT_NEAR(child.dx() * 3.0, parent.dx(), parent.dx() * 1e-9);
        EXPECT_NEAR(child.dy() * 3.0, parent.dy(), parent.dy() * 1e-9);
        const double west = (child.xMin - parent.xMin) / parent.dx();
        const double south = (child.yMin - parent.yMin) / parent.dy();
        const double east = (parent.xMax - child.xMax) / parent.dx();
        const double north = (parent.yMax - child.yMax) / parent.dy();
        for (double offset : {west, south, east, north}) {
            EXPECT_NEAR(offset, std::round(offset), 1e-6) << "corner off the parent's nodes";
            EXPECT_GE(offset, 3.0 - 1e-9) << "margin below 3 parent cells";
        }
        EXPECT_EQ((child.nx - 1) % 3, 0);
        EXPECT_EQ((child.ny - 1) % 3, 0);
        // Both grids sample one sea floor: every child node on a parent node has its depth.
        for (int j = 0; j < child.ny; j += 3)
            for (int i = 0; i < child.nx; i += 3)
                ASSERT_NEAR(child.At(i, j), parent.Nearest(child.X(i), child.Y(j)), 0.011) << i << "," << j;
        // And the check that Init itself runs on the two levels accepts them.
        auto asLevel = [](const SurferGrid& grid) {
            GridLevel level;
            level.gridType = 2;
            level.nx = grid.nx;
            level.ny = grid.ny;
            level.xMin = grid.xMin;
            level.xMax = grid.xMax;
            level.yMin = grid.yMin;
            level.yMax = grid.yMax;
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
    EXPECT_GE(deepest, 3900.0);
    EXPECT_GE(highest, 300.0);
    EXPECT_GT(shelfNodes, 181 * 10);
    EXPECT_GT(slopeNodes, 181 * 10);
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
    EXPECT_EQ(uplift.nx, outer.nx);
    EXPECT_EQ(uplift.ny, outer.ny);
    EXPECT_EQ(uplift.xMin, outer.xMin);
    EXPECT_EQ(uplift.yMax, outer.yMax);
    std::size_t top = 0;
    for (std::size_t p = 0; p < uplift.z.size(); ++p)
        if (uplift.z[p] > uplift.z[top]) top = p;
    EXPECT_GE(uplift.z[top], 2.0);
    EXPECT_LE(uplift.z[top], 5.0);
    EXPECT_GT(outer.z[top], 300.0);
    EXPECT_LT(outer.z[top], 3500.0);
    for (int i = 0; i < uplift.nx; ++i) EXPECT_EQ(uplift.At(i, 0), 0.0);

    // Gauges: plain names, inside their level, on a wet node; offshore, shelf and bay.
    std::map<std::string, double> depthAt;
    for (std::size_t k = 0; k < levels.size(); ++k)
        for (const GaugePoint& gauge : gauges[k]) {
            EXPECT_EQ(gauge.name.find('_'), std::string::npos) << gauge.name;
            ASSERT_TRUE(levels[k].Contains(gauge.x, gauge.y)) << gauge.name << " outside level " << k;
            const double depth = levels[k].Nearest(gauge.x, gauge.y);
            EXPECT_GT(depth, 0.5) << gauge.name << " on a dry node of level " << k;
            depthAt[gauge.name] = depth;
        }
    ASSERT_EQ(gauges[0].size(), 3u);
    EXPECT_GT(depthAt["Offshore"], 3000.0);
    EXPECT_GT(depthAt["Shelf"], 20.0);
    EXPECT_LT(depthAt["Shelf"], 150.0);
    EXPECT_LT(depthAt["Bay"], 60.0);
    EXPECT_FALSE(gauges[1].empty());
    EXPECT_FALSE(gauges[2].empty());

    // Stability: level k steps timeStep / 3^k; the 2-D CFL number at the deepest node of
    // the narrowest (northernmost) row stays below 1.
    const double radius = 6371008.0, g = 9.80665, toRadians = std::numbers::pi / 180.0;
    double subStep = timeStep;
    for (const SurferGrid& level : levels) {
        double deepestHere = 0;
        for (double depth : level.z) deepestHere = std::max(deepestHere, depth);
        const double dxMetres = radius * std::cos(level.yMax * toRadians) * level.dx() * toRadians;
        const double dyMetres = radius * level.dy() * toRadians;
        const double courant = subStep * std::sqrt(g * deepestHere) *
                               std::sqrt(1.0 / (dxMetres * dxMetres) + 1.0 / (dyMetres * dyMetres));
        EXPECT_LT(courant, 0.7);
        subStep /= 3.0;
    }

    // The scenario reader of the vestra command accepts it as written.
    Scenario loaded;
    ASSERT_TRUE(LoadScenarioFile(folder / "scenario.toml", {}, &loaded, &error)) << error;
    EXPECT_EQ(loaded.name, "Bay example");
    EXPECT_EQ(loaded.grids.size(), 3u);
    EXPECT_EQ(loaded.parameters.outputFormat, 2);
    EXPECT_EQ(loaded.sources.size(), 1u);
    for (const HostGridRecord& grid : loaded.grids) EXPECT_TRUE(fs::is_regular_file(grid.bathymetryFile));

    // Without the option: two levels.
    ScratchFolder plain;
    ASSERT_TRUE(WriteRealisticExample(plain.Path(), ExampleOptions{}, &error)) << error;
    ASSERT_TRUE(LoadScenarioFile(plain / "scenario.toml", {}, &loaded, &error)) << error;
    EXPECT_EQ(loaded.grids.size(), 2u);
    EXPECT_FALSE(fs::exists(plain / "bathymetry-level2.grd"));
}

// ---------------------------------------------------------------- the run summary

const char* kSummaryHeader =
    "Name of gauge pt.\tDepth of gauge pt.(m)\tXCoord\tYCoord\tArrival time of initial wave (min)\t"
    "Arrival time of max.wave (min)\tMaximum (+)ve amp.(m)\tMaximum (-)ve amp.(m)\n";

// A 4 x 3 Cartesian level, 100 m cells, x 1000..1300, y 2000..2200: the highest level 2.5
// at column 3 of row 2 (x 1300, y 2200), a Surfer blank that is not a result, and four
// flooded land cells, the deepest 0.75 m.
const float kCartesianEtaMax[12] = {0.5f, 1.0f, 1.5f, 0.0f, 0.25f, 1.70141e38f, 2.0f, 0.0f, 0.0f, 0.0f, 1.0f, 2.5f};
const float kCartesianLand[12] = {0.0f, 0.3f, 0.0f, 0.0f, 0.75f, 0.0f, 0.0f, 0.1f, 0.2f, 0.0f, 0.0f, 0.0f};

std::string SurferText(const float* z) {
    std::ostringstream text;
    text << "DSAA\n4 3\n1000.0000000   1300.0000000\n2000.0000000   2200.0000000\n0.0000000  2.5000000\n";
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 4; ++i) text << z[j * 4 + i] << (i == 3 ? "\n\n" : "     ");
    }
    return text.str();
}

std::string EsriText(const float* z) {
    std::ostringstream text;
    text << "ncols 4\nnrows 3\nxllcorner 1000\nyllcorner 2000\ncellsize 100\nNODATA_value -9999\n";
    for (int j = 2; j >= 0; --j) {  // northernmost row first
        for (int i = 0; i < 4; ++i) text << z[j * 4 + i] << ' ';
        text << '\n';
    }
    return text.str();
}

TEST(RunSummary, NumbersFromEveryResultFormat) {
    ScratchFolder run;
    // Level 0: spherical, netCDF, 4 x 3 nodes 0.01 degrees apart from (140, 37).
    const std::vector<float> eta0 = {0.1f, 0.2f, 0.3f, 0.0f, 0.5f, 1.0f, 4.25f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    const std::vector<float> land0 = {0.0f, 1.75f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.5f, 0.25f};
    fs::create_directories(run / "level0");
    WriteTinyNetCdf(run / "level0/OUT-ETA-MAX.nc", 4, 3, 140.0, 140.03, 37.0, 37.02, eta0);
    WriteTinyNetCdf(run / "level0/OUT-FLOWDEPTHMAXLAND.nc", 4, 3, 140.0, 140.03, 37.0, 37.02, land0);
    WriteFile(run / "level0/OUT-SUMMARY-RESULT.dat",
              std::string(kSummaryHeader) + "Offshore\t4000.000\t142.05\t37.5\t3.5\t12.1667\t1.234\t-0.876\n" +
                  "Bay\t29.310\t140.62\t37.5\t21\t24.5\t4.5\t-2.25\n");
    // Levels 1-3: the same Cartesian level as Surfer text, Surfer binary and ESRI ASCII.
    WriteFile(run / "level1/OUT-ETA-MAX.grd", SurferText(kCartesianEtaMax));
    WriteFile(run / "level1/OUT-FLOWDEPTHMAXLAND.grd", SurferText(kCartesianLand));
    const std::vector<float> etaVector(kCartesianEtaMax, kCartesianEtaMax + 12);
    const std::vector<float> landVector(kCartesianLand, kCartesianLand + 12);
    WriteTinyBinary(run / "level2/OUT-ETA-MAX_bin.grd", 4, 3, 1000, 1300, 2000, 2200, etaVector);
    WriteTinyBinary(run / "level2/OUT-FLOWDEPTHMAXLAND_bin.grd", 4, 3, 1000, 1300, 2000, 2200, landVector);
    WriteFile(run / "level3/OUT-ETA-MAX.asc", EsriText(kCartesianEtaMax));
    WriteFile(run / "level3/OUT-FLOWDEPTHMAXLAND.asc", EsriText(kCartesianLand));
    fs::create_directories(run / "level4");  // a level whose run wrote nothing

    std::vector<SummaryLevelInput> inputs{{run / "level0/", true},
                                          {run / "level1", false},
                                          {run / "level2", false},
                                          {run / "level3", false},
                                          {run / "level4", false}};
    const RunSummary summary = CollectRunSummary("Tiny", inputs, -1, 12.5, 33.4);
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
    EXPECT_EQ(spherical.gauges[1].name, "Bay");
    EXPECT_EQ(spherical.gauges[1].depthText, "29.310");
    EXPECT_DOUBLE_EQ(spherical.gauges[1].arrivalMinutes, 21.0);
    EXPECT_DOUBLE_EQ(spherical.gauges[1].timeOfMaxMinutes, 24.5);
    EXPECT_DOUBLE_EQ(spherical.gauges[1].maximum, 4.5);
    EXPECT_DOUBLE_EQ(spherical.gauges[1].minimum, -2.25);
    EXPECT_DOUBLE_EQ(spherical.gauges[0].x, 142.05);

    for (int k = 1; k <= 3; ++k) {
        const LevelSummary& level = summary.levels[k];
        SCOPED_TRACE("level " + std::to_string(k));
        EXPECT_TRUE(level.problems.empty()) << level.problems.front();
        EXPECT_EQ(level.nx, 4);
        EXPECT_EQ(level.ny, 3);
        EXPECT_FLOAT_EQ(level.highestWaterLevel, 2.5);  // the Surfer blank is not a result
        EXPECT_NEAR(level.highestX, 1300.0, 1e-9);
        EXPECT_NEAR(level.highestY, 2200.0, 1e-9);
        EXPECT_FLOAT_EQ(level.maxFlowDepthOnLand, 0.75);
        EXPECT_NEAR(level.floodedAreaKm2, 4 * 0.01, 1e-12);  // four 100 m x 100 m cells
        EXPECT_TRUE(level.gauges.empty());
    }
    const LevelSummary& missing = summary.levels[4];
    EXPECT_TRUE(std::isnan(missing.highestWaterLevel));
    EXPECT_TRUE(std::isnan(missing.floodedAreaKm2));
    EXPECT_EQ(missing.problems.size(), 2u);

    // Cell updates of one base step: 12 (level 0) + 12*3 + 12*9 + 12*27, level 4 unread.
    EXPECT_DOUBLE_EQ(CellUpdatesPerBaseStep(summary), 12.0 * (1 + 3 + 9 + 27));

    // The printed table carries the numbers.
    std::ostringstream table;
    PrintRunSummary(summary, table);
    const std::string text = table.str();
    for (const char* expected : {"Tiny", "12.5 s", "33.4", "4.250", "140.0200, 37.0100", "1.750", "2.962", "0.040",
                                 "1300.0, 2200.0", "Offshore", "-2.250", "24.50", "level 4:"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << " missing from\n" << text;

    // JSON: parsed back by Python's json module when there is one, else by string search.
    const std::string jsonPath = run / "summary.json";
    ASSERT_TRUE(WriteRunSummaryJson(summary, jsonPath));
    const std::string json = ReadFile(jsonPath);
    for (const char* expected : {"\"highestWaterLevel\": 4.25,", "\"floodedAreaKm2\": 0.04,", "\"name\": \"Bay\"",
                                 "\"minimum\": -2.25", "\"highestWaterLevel\": null,", "\"wallTimeSeconds\": 12.5,"})
        EXPECT_NE(json.find(expected), std::string::npos) << expected << " missing from\n" << json;
    if (access(kPlotPython, X_OK) == 0) {
        const std::string check = run / "check.txt";
        const std::string command =
            std::string(kPlotPython) + " -c \"import json,sys; d=json.load(open(sys.argv[1])); " +
            "l=d['levels']; print(d['scenario'], d['millionCellUpdatesPerSecond'], l[0]['highestWaterLevel'], " +
            "round(l[0]['floodedAreaKm2'], 3), l[0]['gauges'][0]['name'], l[3]['nx'], l[4]['floodedAreaKm2'], " +
            "len(l[4]['problems']))\" " + jsonPath + " > " + check;
        ASSERT_EQ(std::system(command.c_str()), 0) << json;
        EXPECT_EQ(ReadFile(check), "Tiny 33.4 4.25 2.962 Offshore 4 None 2\n");
    }
    EXPECT_FALSE(WriteRunSummaryJson(summary, run / "no/such/folder/summary.json"));
}

TEST(RunSummary, ChoosesTheRunsFormatAndRefusesDamagedFiles) {
    ScratchFolder run;
    // Two formats of one name: the explicit format wins; without one, the newest file.
    WriteFile(run / "OUT-ETA-MAX.grd", SurferText(kCartesianEtaMax));
    const std::vector<float> other(12, 7.0f);
    WriteTinyBinary(run / "OUT-ETA-MAX_bin.grd", 4, 3, 0, 3, 0, 2, other);
    fs::last_write_time(run / "OUT-ETA-MAX.grd", fs::file_time_type::clock::now() - std::chrono::hours(1));
    OutputGrid grid;
    std::string error;
    ASSERT_TRUE(ReadOutputGrid(run / "OUT-ETA-MAX", 0, &grid, &error)) << error;
    EXPECT_FLOAT_EQ(grid.values[11], 2.5f);
    ASSERT_TRUE(ReadOutputGrid(run / "OUT-ETA-MAX", -1, &grid, &error)) << error;
    EXPECT_FLOAT_EQ(grid.values[11], 7.0f);
    EXPECT_FALSE(ReadOutputGrid(run / "OUT-ETA-MAX", 3, &grid, &error));
    EXPECT_NE(error.find("OUT-ETA-MAX.asc"), std::string::npos) << error;

    // Damaged files give a reason, never a crash or a huge allocation.
    const std::vector<std::pair<std::string, std::string>> damaged = {
        {"short.grd", "DSAA\n4 3\n0 3\n0 2\n0 1\n1 2 3\n"},
        {"huge.grd", "DSAA\n2000000000 2000000000\n0 3\n0 2\n0 1\n1 2 3\n"},
        {"word.grd", "DSAA\n2 1\n0 1\n0 0\n0 1\n1 x\n"},
        {"lower.grd", "dsaa\n2 1\n0 1\n0 0\n0 1\n1 2\n"},
        {"bad.asc", "ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\n1 2 3\n"},
        {"nocell.asc", "ncols 2\nnrows 1\nxllcorner 0\nyllcorner 0\n1 2\n"},
    };
    for (const auto& [name, text] : damaged) {
        WriteFile(run / name, text);
        const bool isText = name.ends_with(".grd");
        const bool read = isText ? ReadSurferTextGrid(run / name, &grid, &error) : ReadEsriAsciiGrid(run / name, &grid, &error);
        EXPECT_FALSE(read) << name;
        EXPECT_NE(error.find(name), std::string::npos) << error;
    }
    std::string truncated = ReadFile(run / "OUT-ETA-MAX_bin.grd");
    truncated.resize(truncated.size() - 6);
    WriteFile(run / "cut_bin.grd", truncated);
    EXPECT_FALSE(ReadSurferBinaryGrid(run / "cut_bin.grd", &grid, &error));
    WriteFile(run / "wrong.nc", "CDF\x01 not really");
    EXPECT_FALSE(ReadNetCdfGrid(run / "wrong.nc", &grid, &error));
    WriteFile(run / "OUT-SUMMARY-RESULT.dat", std::string(kSummaryHeader) + "Bay\t3\t1\t2\tsoon\t1\t1\t-1\n");
    std::vector<GaugeSummary> gauges;
    EXPECT_FALSE(ReadGaugeSummaryFile(run / "OUT-SUMMARY-RESULT.dat", &gauges, &error));
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
}

// ---------------------------------------------------------------- quicklook pictures

TEST(PlotCommand, WritesPngsOfTheStatedSize) {
    if (!PythonHasPlotting()) GTEST_SKIP() << "/usr/bin/python3 with matplotlib, numpy and netCDF4 is not installed";
    ScratchFolder run;
    // A spherical level of 6 x 5 nodes: two columns of land, a flooded land node at (1, 2).
    const int nx = 6, ny = 5;
    std::ostringstream bathymetry;
    bathymetry << "DSAA\n6 5\n140 140.05\n37 37.04\n-20 30\n";
    std::vector<float> eta(nx * ny), arrival(nx * ny), land(nx * ny, 0.0f);
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            bathymetry << 10 * (i - 2) << (i == nx - 1 ? "\n" : " ");
            const int p = j * nx + i;
            eta[p] = i >= 2 ? 1.0f + 0.1f * i + 0.05f * j : 0.0f;
            arrival[p] = i >= 2 ? 14.0f - i + 0.5f * j : 0.0f;
        }
    eta[2 * nx + 1] = 0.8f;
    land[2 * nx + 1] = 0.6f;
    WriteFile(run / "bathy.grd", bathymetry.str());
    WriteFile(run / "scenario.toml",
              "name = \"Tiny test\"\n[parameters]\ntimeStep = 1.0\n[[grids]]\ngridType = 2\ncellSize = 1000.0\n"
              "bathymetryFile = \"bathy.grd\"\noutputFolder = \"out/level0\"\n"
              "[[sources]]\netaFile = \"bathy.grd\"\n");
    const std::string level0 = run / "out/level0";
    fs::create_directories(level0);
    WriteTinyNetCdf(level0 + "/OUT-ETA-MAX.nc", nx, ny, 140.0, 140.05, 37.0, 37.04, eta);
    WriteTinyBinary(level0 + "/OUT-FLOWDEPTHMAXLAND_bin.grd", nx, ny, 140.0, 140.05, 37.0, 37.04, land);
    std::ostringstream arrivalText;
    arrivalText << "DSAA\n6   5\n140.0000000   140.0500000\n37.0000000   37.0400000\n0.0000000  14.0000000\n";
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) arrivalText << arrival[j * nx + i] << (i == nx - 1 ? "\n\n" : " ");
    WriteFile(level0 + "/OUT-TIME-FIRST-WAVE.grd", arrivalText.str());
    std::ostringstream history;
    history << "Time G1_12.500 G2_3.250 \n";
    for (int step = 0; step <= 40; ++step) {
        const double minutes = 0.5 * step;
        const double g1 = minutes < 3.0 ? 0.0 : std::sin(minutes - 3.0);
        const double g2 = minutes < 6.0 ? 0.0 : -0.5 * std::sin(minutes - 6.0);
        char line[96];
        std::snprintf(line, sizeof line, "%.5f%14.4f%12.4f\n", minutes, g1, g2);
        history << line;
    }
    WriteFile(level0 + "/OUT-TIME-HISTORIES_ETA.dat", history.str());
    WriteFile(level0 + "/OUT-SUMMARY-RESULT.dat",
              std::string(kSummaryHeader) + "G1\t12.500\t140.03\t37.02\t3.5\t4.5\t1\t-1\n");

    ASSERT_EQ(RunPlotCommand({level0, "--quiet"}), 0);
    const std::vector<std::pair<std::string, PngSize>> expected = {
        {"quicklook-max-water-level.png", {true, 1200, 900}},
        {"quicklook-first-arrival.png", {true, 1200, 900}},
        {"quicklook-gauges.png", {true, 1200, 150 + 250 * 2}}};
    for (const auto& [name, size] : expected) {
        const PngSize png = ReadPngSize(level0 + "/" + name);
        EXPECT_TRUE(png.valid) << name;
        EXPECT_EQ(png.width, size.width) << name;
        EXPECT_EQ(png.height, size.height) << name;
        EXPECT_GT(fs::file_size(level0 + "/" + name), 10000u) << name << " looks empty";
    }

    // A Cartesian level in ESRI ASCII, with no scenario and no gauges: the two maps only.
    const std::string level1 = run / "lonely";
    WriteFile(level1 + "/OUT-ETA-MAX.asc", EsriText(kCartesianEtaMax));
    WriteFile(level1 + "/OUT-TIME-FIRST-WAVE.asc", EsriText(kCartesianLand));
    ASSERT_EQ(RunPlotScript(kPlotPython, "", {level1, "--quiet", "--name", "Lonely", "--level", "3"}), 0);
    EXPECT_EQ(ReadPngSize(level1 + "/quicklook-max-water-level.png").width, 1200u);
    EXPECT_EQ(ReadPngSize(level1 + "/quicklook-first-arrival.png").height, 900u);
    EXPECT_FALSE(fs::exists(level1 + "/quicklook-gauges.png"));

    // Failures give an exit status and one line on standard error, never a picture.
    EXPECT_EQ(RunPlotCommand({run / "no-such-folder", "--quiet"}), 1);
    fs::create_directories(run / "empty");
    EXPECT_EQ(RunPlotCommand({run / "empty", "--quiet"}), 1);
    EXPECT_FALSE(fs::exists(run / "empty/quicklook-max-water-level.png"));
    EXPECT_EQ(RunPlotCommand({}), 2);  // no folder: a usage error
    EXPECT_EQ(RunPlotScript("/no/such/python3", "", {level0}), 2);
    EXPECT_EQ(RunPlotScript(kPlotPython, run / "missing.py", {level0}), 2);
}

TEST(PlotCommand, FindsItsScript) {
    const std::string script = FindPlotScript();
    ASSERT_FALSE(script.empty());
    EXPECT_TRUE(script.ends_with("/vestra_plot.py"));
    EXPECT_NE(ReadFile(script).find("quicklook-max-water-level.png"), std::string::npos);
    // The build copies the script beside the vestra executable.
    EXPECT_TRUE(fs::exists(std::string(VESTRA_BINARY_DIR) + "/vestra_plot.py"));
}

}  // namespace
