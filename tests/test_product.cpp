// The modeller's first day: the bundled realistic example, the run summary read back from the
// result files, and the quicklook pictures.
#include <chrono>
#include <map>
#include <numbers>

#include "ExampleGenerator.h"
#include "GridLevel.h"
#include "Nesting.h"
#include "NetCdfWriter.h"
#include "Plot.h"
#include "RunSummary.h"
#include "Scenario.h"
#include "TestSupport.h"
#include "ZellUtility.h"

namespace fs = std::filesystem;

namespace {

// A result grid as a run writes it, `values` rows from the south; `format` as outputFormat.
void WriteResult(const std::string& base, int format, const GridFileHeader& h, const std::vector<float>& values) {
    fs::create_directories(fs::path(base).parent_path());
    if (format != NetCdf) return (void)WriteGridFile(values.data(), h, base, format);
    WriteNetCdfGrid(values.data(), base + ".nc", 0.0, h.xMin, h.xMax, h.yMin, h.yMax, h.nx, h.ny, 0);
}

const char* kSummaryHeader =
    "Name of gauge pt.\tDepth of gauge pt.(m)\tXCoord\tYCoord\tArrival time of initial wave (min)\t"
    "Arrival time of max.wave (min)\tMaximum (+)ve amp.(m)\tMaximum (-)ve amp.(m)\n";

// A 4 x 3 Cartesian level, 100 m cells: the highest level 2.5 at (1300, 2200), a Surfer blank
// that is not a result, and four flooded land cells, the deepest 0.75 m.
const GridFileHeader kCartesian{.nx = 4, .ny = 3, .yMin = 2000, .yMax = 2200, .xMin = 1000, .xMax = 1300};
const std::vector<float> kCartesianEtaMax = {0.5f, 1.0f, 1.5f, 0, 0.25f, 1.70141e38f, 2.0f, 0, 0, 0, 1.0f, 2.5f};
const std::vector<float> kCartesianLand = {0, 0.3f, 0, 0, 0.75f, 0, 0, 0.1f, 0.2f, 0, 0, 0};

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
    for (const std::string& name : folder.Names())
        EXPECT_EQ(ReadFile(folder / name), ReadFile(again / ("nested/deeper/" + name))) << name;
    Scenario s;
    ASSERT_TRUE(LoadScenarioFile(folder / "scenario.toml", {}, &s, &error)) << error;
    ASSERT_TRUE(s.grids.size() == 3u && s.sources.size() == 1u && s.parameters.outputFormat == 2);
    std::vector<SurferGrid> levels;
    std::map<std::string, double> depthAt;  // still depth at each gauge
    for (std::size_t k = 0; k < s.grids.size(); ++k) {
        EXPECT_EQ(s.grids[k].gridType, 2) << "level " << k << " is spherical";
        levels.push_back(ReadSurferText(s.grids[k].bathymetryFile));
        // Gauges: plain names, inside their level, on a wet node.
        std::istringstream gauges(ReadFile(s.grids[k].gaugeFile));
        std::string name;
        for (double x, y; gauges >> name >> x >> y;) {
            EXPECT_EQ(name.find('_'), std::string::npos) << name;
            ASSERT_TRUE(levels[k].Contains(x, y)) << name << " outside level " << k;
            depthAt[name] = levels[k].Nearest(x, y);
            EXPECT_GT(depthAt[name], 0.5) << name << " on a dry node of level " << k;
        }
    }
    EXPECT_EQ(depthAt.size(), 4u) << "offshore, shelf and bay; the bay's head in the second nest";
    EXPECT_TRUE(depthAt["Offshore"] > 3000.0 && depthAt["Bay"] < 60.0);
    EXPECT_TRUE(depthAt["Shelf"] > 20.0 && depthAt["Shelf"] < 150.0);
    const SurferGrid& outer = levels[0];  // 3 x 3 degrees at 1 arc-minute
    EXPECT_TRUE(outer.nx == 181 && outer.ny == 181);
    EXPECT_TRUE(std::fabs(outer.dx() - 1.0 / 60) < 1e-12 && std::fabs(outer.dy() - 1.0 / 60) < 1e-12);
    for (std::size_t k = 1; k < levels.size(); ++k) {
        const SurferGrid &parent = levels[k - 1], &child = levels[k];
        // The check Init runs accepts the nest, and both grids sample one sea floor.
        auto asLevel = [](const SurferGrid& g) {
            GridLevel level;
            level.gridType = 2, level.nx = g.nx, level.ny = g.ny;
            level.xMin = g.xMin, level.xMax = g.xMax, level.yMin = g.yMin, level.yMax = g.yMax;
            return level;
        };
        EXPECT_EQ(CheckNestedLayout(asLevel(parent), asLevel(child)), "") << "level " << k;
        for (int j = 0; j < child.ny; j += 3)
            for (int i = 0; i < child.nx; i += 3)
                ASSERT_NEAR(child.At(i, j), parent.Nearest(child.X(i), child.Y(j)), 0.011) << k << ":" << i << "," << j;
    }
    // The sea floor: a deep basin, a slope, a shelf and land; level 2 holds the coast.
    const auto count = [&outer](double low, double high) {
        return std::count_if(outer.z.begin(), outer.z.end(), [=](double d) { return d > low && d <= high; });
    };
    EXPECT_TRUE(count(3900, 1e9) > 0 && count(-1e9, -300) > 0);
    EXPECT_TRUE(count(20, 150) > 1810 && count(300, 3500) > 1810);
    const auto [shallowest, deepest] = std::minmax_element(levels[2].z.begin(), levels[2].z.end());
    EXPECT_TRUE(*shallowest < 0.0 && *deepest > 0.0);
    // The source: on level 0's nodes, a few metres at most, centred over the slope.
    const SurferGrid uplift = ReadSurferText(s.sources[0].etaFile);
    EXPECT_TRUE(uplift.nx == 181 && uplift.ny == 181 && uplift.xMin == outer.xMin && uplift.yMax == outer.yMax);
    const std::size_t top = std::max_element(uplift.z.begin(), uplift.z.end()) - uplift.z.begin();
    EXPECT_TRUE(uplift.z[top] >= 2.0 && uplift.z[top] <= 5.0) << uplift.z[top];
    EXPECT_TRUE(outer.z[top] > 300.0 && outer.z[top] < 3500.0) << outer.z[top];
    // Stable: level k steps timeStep / 3^k; the CFL number, deepest node, northern row, below 1.
    const double metres = 6371008.0 * std::numbers::pi / 180.0;  // of a degree of latitude
    double step = s.parameters.timeStep;
    for (const SurferGrid& level : levels) {
        const double dx = metres * std::cos(level.yMax * std::numbers::pi / 180) * level.dx(), dy = metres * level.dy();
        const double celerity = std::sqrt(9.80665 * *std::max_element(level.z.begin(), level.z.end()));
        EXPECT_LT(step * celerity * std::hypot(1.0 / dx, 1.0 / dy), 0.7);
        step /= 3.0;
    }
    // A second write into the same folder refuses and leaves the files as they were.
    WriteFile(folder / "scenario.toml", "# the user's own scenario\n");
    EXPECT_FALSE(WriteRealisticExample(folder.Path(), options, &error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(folder / "scenario.toml"), "# the user's own scenario\n");
    EXPECT_FALSE(WriteRealisticExample(again / "other", ExampleOptions{.outputFormat = 7}, &error));
    EXPECT_NE(error.find("format"), std::string::npos);
}

TEST(RunSummary, NumbersFromTheResultFilesOfEveryLevel) {
    ScratchFolder run;
    // Level 0: spherical, netCDF, 4 x 3 nodes 0.01 degrees apart from (140, 37).
    const GridFileHeader sphere{.nx = 4, .ny = 3, .yMin = 37.0, .yMax = 37.02, .xMin = 140.0, .xMax = 140.03};
    WriteResult(run / "level0/OUT-ETA-MAX", NetCdf, sphere, {0.1f, 0.2f, 0.3f, 0, 0.5f, 1.0f, 4.25f, 0, 0, 0, 0, 0});
    WriteResult(run / "level0/OUT-FLOWDEPTHMAXLAND", NetCdf, sphere, {0, 1.75f, 0, 0, 0, 0, 0, 0, 0, 0, 0.5f, 0.25f});
    WriteFile(run / "level0/OUT-SUMMARY-RESULT.dat", kSummaryHeader +
                  std::string("Offshore\t4000.000\t142.05\t37.5\t3.5\t12.1667\t1.234\t-0.876\n") +
                  "Bay\t29.310\t140.62\t37.5\t21\t24.5\t4.5\t-2.25\n");
    // Level 1: Cartesian, Surfer binary; level 2: its run wrote nothing.
    WriteResult(run / "level1/OUT-ETA-MAX", SurferBinary, kCartesian, kCartesianEtaMax);
    WriteResult(run / "level1/OUT-FLOWDEPTHMAXLAND", SurferBinary, kCartesian, kCartesianLand);
    fs::create_directories(run / "level2");
    const RunSummary summary =
        CollectRunSummary("Tiny", {{run / "level0/", true}, {run / "level1", false}, {run / "level2", false}}, -1, 12.5,
                          33.4);
    ASSERT_EQ(summary.levels.size(), 3u);
    const LevelSummary &spherical = summary.levels[0], &cartesian = summary.levels[1];
    EXPECT_TRUE(spherical.problems.empty() && cartesian.problems.empty());
    EXPECT_FLOAT_EQ(spherical.highestWaterLevel, 4.25);
    EXPECT_TRUE(std::fabs(spherical.highestX - 140.02) < 1e-5 && std::fabs(spherical.highestY - 37.01) < 1e-5);
    EXPECT_FLOAT_EQ(spherical.maxFlowDepthOnLand, 1.75);
    // The runup: the highest level over wet land, over the level or within a window (bounds included).
    auto windowed = [&](double x0, double x1, double y0, double y1) {
        return CollectRunSummary("", {{run / "level0/", true, x0, x1, y0, y1}}, -1, 0, 0).levels[0];
    };
    const LevelSummary north = windowed(140.0, 140.03, 37.015, 37.03);
    EXPECT_TRUE(spherical.runup == 0.2f && north.runup == 0.0 && std::fabs(north.runupX - 140.02) < 1e-5)
        << spherical.runup << " " << north.runup << " " << north.runupX;
    EXPECT_FLOAT_EQ(windowed(140.005, 140.015, 36.0, 37.0).runup, 0.2);
    EXPECT_TRUE(std::isnan(windowed(140.0, 140.015, 37.005, 37.02).runup));
    // R^2 (0.01 deg)^2 cos(lat), R = 6371.0088 km: 0.98746 km^2 at 37.00 N, 0.98720 at 37.02 N.
    EXPECT_NEAR(spherical.floodedAreaKm2, 0.98746 + 2 * 0.98720, 2e-3 * 3);
    ASSERT_EQ(spherical.gauges.size(), 2u);
    const GaugeSummary& bay = spherical.gauges[1];
    EXPECT_TRUE(bay.name == "Bay" && bay.depthText == "29.310" && bay.x == 140.62);
    EXPECT_TRUE(bay.arrivalMinutes == 21 && bay.timeOfMaxMinutes == 24.5 && bay.maximum == 4.5 && bay.minimum == -2.25);
    EXPECT_TRUE(cartesian.nx == 4 && cartesian.ny == 3 && cartesian.gauges.empty());
    EXPECT_FLOAT_EQ(cartesian.highestWaterLevel, 2.5);  // the Surfer blank is not a result
    EXPECT_TRUE(cartesian.highestX == 1300.0 && cartesian.highestY == 2200.0);
    EXPECT_FLOAT_EQ(cartesian.maxFlowDepthOnLand, 0.75);
    EXPECT_NEAR(cartesian.floodedAreaKm2, 4 * 0.01, 1e-12);  // four 100 m x 100 m cells
    EXPECT_TRUE(std::isnan(summary.levels[2].highestWaterLevel) && summary.levels[2].problems.size() == 2u);
    // Cell updates of one base step: 12 (level 0) + 12 * 3, level 2 unread.
    EXPECT_DOUBLE_EQ(CellUpdatesPerBaseStep(summary), 12.0 * (1 + 3));

    std::ostringstream table;
    PrintRunSummary(summary, table);
    for (const char* expected : {"Tiny", "12.5 s", "33.4", "4.250", "140.0200, 37.0100", "1.750", "2.962", "0.040",
                                 "1300.0, 2200.0", "Offshore", "-2.250", "24.50", "level 2:"})
        EXPECT_NE(table.str().find(expected), std::string::npos) << expected << " missing from\n" << table.str();
    // JSON, parsed back by Python's json module.
    const std::string json = run / "summary.json";
    ASSERT_TRUE(WriteRunSummaryJson(summary, json));
    EXPECT_EQ(RunShell(std::string(kPlotPython) + " -c \"import json,sys; d=json.load(open(sys.argv[1])); " +
                       "l=d['levels']; print(d['scenario'], d['millionCellUpdatesPerSecond'], " +
                       "l[0]['highestWaterLevel'], round(l[0]['floodedAreaKm2'], 3), l[0]['gauges'][1]['minimum'], " +
                       "l[1]['nx'], l[2]['floodedAreaKm2'], len(l[2]['problems']))\" " + json),
              "Tiny 33.4 4.25 2.962 -2.25 4 None 2\n")
        << ReadFile(json);
    EXPECT_FALSE(WriteRunSummaryJson(summary, run / "no/such/folder/summary.json"));
}

// A planar beach, ground 0.1 (x - 5) m on 1 m nodes (x 0..10, y 0..4), whose rows the water ran
// up to 0.12, 0.22, 0.32, 0.26, 0.14 m: a wet node (ground below that) holds that level plus 1 mm
// per column, so the last wet node is the highest, and a flow depth of level minus ground; dry
// nodes hold a level of 9 m that must not count. Along a row whose last two wet nodes are land,
// the runup is where the level plane 0.32 + 0.001 x meets the ground: x = 0.82 / 0.099; elsewhere
// the level of the highest wet land node the line crosses, found by hand.
TEST(RunSummary, RunupAlongTransectsOfAPlanarBeach) {
    const double runup[5] = {0.12, 0.22, 0.32, 0.26, 0.14};
    OutputGrid eta, land;
    for (OutputGrid* g : {&eta, &land}) {
        g->nx = 11;
        g->ny = 5;
        g->xMax = 10.0;
        g->yMax = 4.0;
    }
    for (int j = 0; j < 5; ++j)
        for (int i = 0; i <= 10; ++i) {
            const double ground = 0.1 * (i - 5);
            const bool wet = ground < runup[j];
            const double level = runup[j] + 0.001 * i;
            eta.values.push_back(static_cast<float>(wet ? level : 9.0));
            land.values.push_back(static_cast<float>(wet && ground > 0.0 ? level - ground : 0.0));
        }
    const std::tuple<Transect, double, double, double> cases[] = {
        {{"row 2", 0, 0, 2, 10, 2}, 0.1 * (0.82 / 0.099 - 5), 0.82 / 0.099, 2},
        {{"row 2 landward first", 0, 10, 2, 0, 2}, 0.1 * (0.82 / 0.099 - 5), 0.82 / 0.099, 2},
        {{"row 4", 0, 0, 4, 10, 4}, 0.146, 6, 4},  // the node below (5,4) is not land
        {{"diagonal", 0, 5, 0, 9, 4}, 0.327, 7, 2},  // (6,1) 0.226, (7,2) 0.327 (deeper), (8,3) dry
        {{"from off the grid", 0, -5, 3, 7.4, 3}, 0.267, 7, 3},  // ends before (8,3)
        {{"at sea", 0, 2, 0, 2, 4}, kNoValue, kNoValue, kNoValue},
        {{"beyond the grid", 0, 12, 0, 12, 4}, kNoValue, kNoValue, kNoValue},
    };
    for (const auto& [line, level, x, y] : cases) {
        const TransectRunup r = RunupAlongTransect(eta, land, line);
        EXPECT_EQ(r.name, line.name);
        if (std::isnan(level)) {
            EXPECT_TRUE(std::isnan(r.runup) && std::isnan(r.x)) << line.name << ": " << r.runup;
        } else {
            EXPECT_TRUE(std::fabs(r.runup - level) < 1e-6 && std::fabs(r.x - x) < 1e-6 && r.y == y)
                << line.name << ": " << r.runup << " at " << r.x << ", " << r.y;
        }
    }
    // Through the summary of a level folder: the table and the JSON carry each line.
    ScratchFolder run;
    const GridFileHeader beach{.nx = 11, .ny = 5, .yMin = 0, .yMax = 4, .xMin = 0, .xMax = 10};
    WriteResult(run / "OUT-ETA-MAX", NetCdf, beach, eta.values);
    WriteResult(run / "OUT-FLOWDEPTHMAXLAND", NetCdf, beach, land.values);
    const RunSummary summary = CollectRunSummary(
        "Beach", {{.outputFolder = run.Path(), .spherical = false, .transects = {std::get<0>(cases[0]), std::get<0>(cases[5])}}},
        NetCdf, 1.0, 1.0);
    std::ostringstream table;
    PrintRunSummary(summary, table);
    EXPECT_NE(table.str().find("row 2          0      0.3283     8.283, 2.000"), std::string::npos) << table.str();
    EXPECT_NE(table.str().find("at sea         0      stayed dry"), std::string::npos) << table.str();
    const std::string json = run / "summary.json";
    ASSERT_TRUE(WriteRunSummaryJson(summary, json));
    EXPECT_EQ(RunShell(std::string(kPlotPython) + " -c \"import json,sys; t=json.load(open(sys.argv[1]))['levels'][0]" +
                       "['transects']; print([(x['name'], round(x['runup'] or -1, 4), x['x'] and round(x['x'], 3)) for x in t])\" " + json),
              "[('row 2', 0.3283, 8.283), ('at sea', -1, None)]\n")
        << ReadFile(json);
}

TEST(RunSummary, ChoosesTheRunsFormatAndRefusesDamagedFiles) {
    ScratchFolder run;
    // Two formats of one name: the explicit format wins; without one, the newest file.
    WriteResult(run / "OUT-ETA-MAX", SurferText, kCartesian, kCartesianEtaMax);
    WriteResult(run / "OUT-ETA-MAX", SurferBinary, kCartesian, std::vector<float>(12, 7.0f));
    fs::last_write_time(run / "OUT-ETA-MAX.grd", fs::file_time_type::clock::now() - std::chrono::hours(1));
    OutputGrid grid;
    std::string error;
    ASSERT_TRUE(ReadOutputGrid(run / "OUT-ETA-MAX", 0, &grid, &error)) << error;
    EXPECT_FLOAT_EQ(grid.values[11], 2.5f);
    ASSERT_TRUE(ReadOutputGrid(run / "OUT-ETA-MAX", -1, &grid, &error)) << error;
    EXPECT_FLOAT_EQ(grid.values[11], 7.0f);
    EXPECT_FALSE(ReadOutputGrid(run / "OUT-ETA-MAX", 3, &grid, &error));
    EXPECT_NE(error.find("OUT-ETA-MAX.asc"), std::string::npos) << error;
    // Damaged files give a reason naming the file.
    EXPECT_FALSE(ReadResultGrid(run.Write("short.grd", "DSAA\n4 3\n0 3\n0 2\n0 1\n1 2 3\n"), SurferText, &grid,
                                &error));
    EXPECT_NE(error.find("short.grd"), std::string::npos) << error;
    WriteFile(run / "OUT-SUMMARY-RESULT.dat", std::string(kSummaryHeader) + "Bay\t3\t1\t2\tsoon\t1\t1\t-1\n");
    std::vector<GaugeSummary> gauges;
    EXPECT_FALSE(ReadGaugeSummaryFile(run / "OUT-SUMMARY-RESULT.dat", &gauges, &error));
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
}

// The maps of a level with no scenario and no gauges, grids in three formats (a run's pictures
// are drawn in test_wiring); failures give an exit status, never a picture.
TEST(PlotCommand, FindsItsScriptAndWritesPngsOfTheStatedSize) {
    const std::string script = FindPlotScript();
    EXPECT_TRUE(script.ends_with("/vestra_plot.py")) << script;
    EXPECT_TRUE(fs::exists(std::string(VESTRA_BINARY_DIR) + "/vestra_plot.py"));  // beside the vestra executable
    if (!PythonHasPlotting()) GTEST_SKIP() << "/usr/bin/python3 with matplotlib, numpy and netCDF4 is not installed";
    ScratchFolder run;
    const std::string level = run / "level3";
    WriteResult(level + "/OUT-ETA-MAX", NetCdf, kCartesian, kCartesianEtaMax);
    WriteResult(level + "/OUT-FLOWDEPTHMAXLAND", SurferBinary, kCartesian, kCartesianLand);
    WriteResult(level + "/OUT-TIME-FIRST-WAVE", EsriAscii, kCartesian, kCartesianLand);
    ASSERT_EQ(RunPlotScript(kPlotPython, "", {level, "--quiet", "--name", "Lonely", "--level", "3"}), 0);
    for (const char* name : {"/quicklook-max-water-level.png", "/quicklook-first-arrival.png"}) {
        EXPECT_EQ(PngSize(level + name), std::pair(1200, 900)) << name;
        EXPECT_GT(fs::file_size(level + name), 10000u) << name << " looks empty";
    }
    EXPECT_FALSE(fs::exists(level + "/quicklook-gauges.png"));
    EXPECT_EQ(RunPlotCommand({run / "no-such-folder", "--quiet"}), 1);
    fs::create_directories(run / "empty");
    EXPECT_EQ(RunPlotCommand({run / "empty", "--quiet"}), 1);
    EXPECT_FALSE(fs::exists(run / "empty/quicklook-max-water-level.png"));
    EXPECT_EQ(RunPlotCommand({}), 2);  // no folder: a usage error
    EXPECT_EQ(RunPlotScript("/no/such/python3", "", {level}), 2);
    EXPECT_EQ(RunPlotScript(kPlotPython, run / "missing.py", {level}), 2);
}
