// The built vestra command end to end: its refusals and help, the example command, one
// flooding run per result format feeding the summary, JSON, pictures and GDAL's reading of
// the grids, Ctrl-C, and fault files turned into source events.
#include <gdal.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "HostRun.h"
#include "Scenario.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// The value after the `occurrence`-th "key": in a JSON text; NaN for null or absent.
double JsonValue(const std::string& json, const std::string& key, int occurrence = 0) {
    const std::string pattern = "\"" + key + "\": ";
    std::size_t at = json.find(pattern);
    for (int k = 0; k < occurrence && at != std::string::npos; ++k) at = json.find(pattern, at + 1);
    if (at == std::string::npos || json.compare(at + pattern.size(), 4, "null") == 0) return NAN;
    return std::strtod(json.c_str() + at + pattern.size(), nullptr);
}

// A raster file as GDAL reads it: its driver, size, record count, geotransform and the last
// record's values, northernmost row first.
struct Raster {
    std::string driver;
    int nx = 0, ny = 0, records = 0;
    double transform[6] = {};
    std::vector<float> values;
};

Raster ReadRaster(const std::string& path) {
    GDALAllRegister();
    Raster r;
    GDALDatasetH data = GDALOpen(path.c_str(), GA_ReadOnly);
    if (data == nullptr) {
        ADD_FAILURE() << "GDAL cannot open " << path;
        return r;
    }
    r.driver = GDALGetDriverShortName(GDALGetDatasetDriver(data));
    r.nx = GDALGetRasterXSize(data), r.ny = GDALGetRasterYSize(data), r.records = GDALGetRasterCount(data);
    GDALGetGeoTransform(data, r.transform);
    r.values.resize(static_cast<std::size_t>(r.nx) * r.ny);
    if (r.driver != "PNG") {
        EXPECT_EQ(GDALRasterIO(GDALGetRasterBand(data, r.records), GF_Read, 0, 0, r.nx, r.ny, r.values.data(), r.nx,
                               r.ny, GDT_Float32, 0, 0),
                  CE_None);
    }
    GDALClose(data);
    return r;
}

// The beach example with the hump replaced by a 4 m swell just off the shore, so that a
// short run floods land: every summary number is then non-trivial.
constexpr int kBeachColumns = 60, kBeachRows = 40;
constexpr double kBeachCell = 500.0;

void WriteFloodingBeach(const ScratchFolder& dir, const std::string& name) {
    ASSERT_EQ(RunVestra({"example", "--beach", dir / name}, dir).status, 0);
    std::ostringstream eta;
    eta << "DSAA\n" << kBeachColumns << " " << kBeachRows << "\n0 29500\n0 19500\n0 4\n";
    for (int j = 0; j < kBeachRows; ++j)
        for (int i = 0; i < kBeachColumns; ++i) {
            const double x = i * kBeachCell;
            const double depth = 200.0 - 220.0 * x / 29500.0;
            const double swell = depth > 0.0 ? 4.0 * std::exp(-std::pow((x - 25000.0) / 800.0, 2)) : 0.0;
            eta << swell << (i + 1 < kBeachColumns ? " " : "\n");
        }
    WriteFile(dir / (name + "/initial-eta.grd"), eta.str());
}

std::vector<std::string> PngLines(const std::string& out) {
    std::vector<std::string> paths;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.ends_with(".png")) paths.push_back(line);
    return paths;
}

}  // namespace

TEST(Command, ExampleOptionsHelpAndBadInputGiveOneLineAndNoRun) {
    ScratchFolder dir("command");
    struct Case {
        std::string folder;
        std::vector<std::string> options;
        std::size_t grids;
        int format;
        bool spherical;
    };
    for (const Case& c : {Case{"plain", {}, 2, 2, true}, Case{"nest", {"--second-nest"}, 3, 2, true},
                          Case{"esri", {"--format", "3"}, 2, 3, true}, Case{"beach", {"--beach"}, 1, 0, false}}) {
        std::vector<std::string> args{"example", dir / c.folder};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ASSERT_EQ(RunVestra(args, dir).status, 0) << c.folder;
        Scenario s;
        std::string error;
        ASSERT_TRUE(LoadScenarioFile(dir / (c.folder + "/scenario.toml"), {}, &s, &error)) << error;
        EXPECT_EQ(s.grids.size(), c.grids) << c.folder;
        EXPECT_EQ(s.parameters.outputFormat, c.format) << c.folder;
        EXPECT_EQ(s.grids[0].gridType >= 2, c.spherical) << c.folder;
    }
    EXPECT_EQ(RunVestra({"example", "--format", "7", dir / "x"}, dir).status, 2);
    EXPECT_EQ(RunVestra({"example", "--beach", "--second-nest", dir / "x"}, dir).status, 2);
    EXPECT_EQ(RunVestra({"example", dir / "plain"}, dir).status, 1);  // never overwrites
    EXPECT_FALSE(fs::exists(dir / "x"));

    // Bad input: exit 1, one line naming the file, line and key (or the setting), nothing run
    // or created.
    const std::string broken = dir.Write("beach/broken.toml",
                                         "[parameters]\ntimeStep = 1.0\nhistoryEverySteps = 0\n[[grids]]\ncellSize = "
                                         "500.0\nbathymetryFile = \"bathymetry.grd\"\noutputFolder = \"fresh/level0\"\n"
                                         "[[sources]]\netaFile = \"initial-eta.grd\"\ninsertionTime = 0\n");
    const std::string scenario = dir / "beach/scenario.toml";
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> refused = {
        {{"run", broken, "--quiet"}, {"broken.toml:3:", "historyEverySteps = 0"}},
        {{"run", scenario, "--set", "outputFormat=9"}, {"--set outputFormat=9"}},
        {{"run", scenario, "--plugin", dir / "nothing.so"}, {"nothing.so"}},  // reported, not a crash
    };
    for (const auto& [args, pieces] : refused) {
        const Outcome o = RunVestra(args, dir);
        EXPECT_EQ(o.status, 1) << args.back();
        EXPECT_EQ(CountLines(o.err), 1u) << o.err;
        for (const std::string& piece : pieces) EXPECT_NE(o.err.find(piece), std::string::npos) << o.err;
        EXPECT_EQ(o.out, "");
        EXPECT_TRUE(args[2] == "--plugin" || !fs::exists(dir / "beach/output")) << args[2];
    }
    EXPECT_FALSE(fs::exists(dir / "beach/fresh"));

    // Help describes every option and command; a bad command line exits 2.
    Outcome o = RunVestra({"run", "--help"}, dir);
    EXPECT_EQ(o.status, 0);
    for (const char* option : {"--threads", "--set", "--plugin", "--quiet", "--json", "--no-plots", "130"})
        EXPECT_NE(o.out.find(option), std::string::npos) << option;
    o = RunVestra({"--help"}, dir);
    EXPECT_EQ(o.status, 0);
    for (const char* command : {"run", "example", "plot", "okada", "grid"})
        EXPECT_NE(o.out.find(command), std::string::npos) << command;
    EXPECT_EQ(RunVestra({"run", "--frobnicate", "x.toml"}, dir).status, 2);
    EXPECT_EQ(RunVestra({"run", "x.toml", "--threads", "many"}, dir).status, 2);
    EXPECT_EQ(RunVestra({"fly"}, dir).status, 2);
}

// One flooding run per result format, each moved aside afterwards. Text: progress, summary
// table and pictures; binary: quiet, its JSON aimed at a folder that does not exist; netCDF:
// quiet, the reference values; ESRI: --no-plots.
TEST(Command, FloodingRunInEveryFormatAgreesWithItsResultFiles) {
    ScratchFolder dir("flood");
    WriteFloodingBeach(dir, "beach");
    const bool plots = PythonHasPlotting();
    std::map<int, Outcome> runs;
    for (int format : {0, 1, 2, 3}) {
        const std::string tag = std::to_string(format);
        std::vector<std::string> args{"run", dir / "beach/scenario.toml", "--threads", "1", "--set", "endTime=3",
                                      "--set", "outputFormat=" + tag, "--json",
                                      format == 1 ? dir / "no/such/folder/s.json" : dir / (tag + ".json")};
        if (format == 1 || format == 2) args.push_back("--quiet");
        if (format != 0 || !plots) args.push_back("--no-plots");
        runs[format] = RunVestra(args, dir);
        EXPECT_EQ(runs[format].status, 0) << runs[format].err;
        fs::rename(dir / "beach/output", dir / ("out" + tag));
    }
    const Raster reference = ReadRaster(dir / "out2/level0/OUT-ETA-MAX.nc");
    ASSERT_EQ(reference.values.size(), static_cast<std::size_t>(kBeachColumns * kBeachRows));
    EXPECT_EQ(reference.records, 1);

    // GDAL reads every format's grids with the run's size and values. Surfer grids and netCDF
    // are node-registered: GDAL puts the outer pixel edges half a cell beyond the first and
    // last nodes. The ESRI header's xllcorner/yllcorner carry the first node itself, and GDAL
    // reads them as the outer corner: its extent is the others' moved half a cell north-east.
    struct Case {
        const char* suffix;
        double tolerance;  // relative: Surfer text keeps 7 decimals, ESRI 6 significant digits
        double shift;      // in cells
    };
    const std::map<int, Case> cases = {{0, {".grd", 1e-7, 0.0}}, {1, {"_bin.grd", 0.0, 0.0}},
                                       {2, {".nc", 0.0, 0.0}},   {3, {".asc", 6e-6, 0.5}}};
    for (const auto& [format, c] : cases) {
        SCOPED_TRACE(c.suffix);
        const std::string folder = dir / ("out" + std::to_string(format) + "/level0/");
        const Raster eta = ReadRaster(folder + "OUT-ETA-MAX" + c.suffix);
        const Raster land = ReadRaster(folder + "OUT-FLOWDEPTHMAXLAND" + c.suffix);
        ASSERT_TRUE(eta.nx == kBeachColumns && eta.ny == kBeachRows && land.nx == kBeachColumns);
        const double half = 0.5 * kBeachCell, shift = c.shift * kBeachCell;
        EXPECT_NEAR(eta.transform[0], 0.0 - half + shift, 1e-6);  // west edge
        EXPECT_NEAR(eta.transform[1], kBeachCell, 1e-9);
        EXPECT_NEAR(eta.transform[3], 19500.0 + half + shift, 1e-6);  // north edge
        EXPECT_NEAR(eta.transform[5], -kBeachCell, 1e-9);
        int mismatches = 0;
        for (std::size_t p = 0; p < eta.values.size(); ++p)
            mismatches += std::fabs(eta.values[p] - reference.values[p]) > c.tolerance * (1.0 + std::fabs(reference.values[p]));
        EXPECT_EQ(mismatches, 0);
        if (format == 1) continue;  // its JSON could not be written

        // The summary: highest water level and its node, largest flow depth on land and the
        // flooded land cells (0.25 km^2 each), from the grids GDAL read.
        const std::string json = ReadFile(dir / (std::to_string(format) + ".json"));
        const double highest = *std::max_element(eta.values.begin(), eta.values.end());
        EXPECT_GT(highest, 3.0);
        EXPECT_EQ(JsonValue(json, "nx"), kBeachColumns);
        EXPECT_EQ(JsonValue(json, "ny"), kBeachRows);
        EXPECT_NEAR(JsonValue(json, "highestWaterLevel"), highest, 1e-6 * highest);
        const double column = JsonValue(json, "highestWaterLevelX") / kBeachCell;  // a node holding the highest level
        const double rowFromNorth = (19500.0 - JsonValue(json, "highestWaterLevelY")) / kBeachCell;
        ASSERT_TRUE(column == std::round(column) && rowFromNorth == std::round(rowFromNorth)) << json;
        EXPECT_EQ(eta.values[static_cast<std::size_t>(rowFromNorth * kBeachColumns + column)], highest);
        const int flooded = static_cast<int>(std::count_if(land.values.begin(), land.values.end(), [](float v) { return v > 0; }));
        const double deepest = *std::max_element(land.values.begin(), land.values.end());
        EXPECT_GT(flooded, 0) << "the swell should reach land";
        EXPECT_NEAR(JsonValue(json, "maxFlowDepthOnLand"), deepest, 1e-6 * deepest);
        EXPECT_NEAR(JsonValue(json, "floodedAreaKm2"), flooded * 0.25, 1e-9);
        // Speed: every base step of the 3 minutes (indices 0 to 180) updates 60 x 40 cells.
        EXPECT_NEAR(JsonValue(json, "millionCellUpdatesPerSecond") * JsonValue(json, "wallTimeSeconds") * 1e6,
                    2400.0 * 181.0, 2400.0 * 181.0 * 1e-5);
    }

    // Text run: gauges of the result table in the JSON, in order.
    const std::string json = ReadFile(dir / "0.json"), folder = dir / "out0/level0/";
    std::istringstream table(ReadFile(folder + "OUT-SUMMARY-RESULT.dat"));
    std::string line;
    std::getline(table, line);  // labels
    int gauge = 0;
    for (; std::getline(table, line); ++gauge) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
        ASSERT_GE(fields.size(), 8u) << line;
        EXPECT_NE(json.find("\"name\": \"" + fields[0] + "\""), std::string::npos) << fields[0];
        EXPECT_NEAR(JsonValue(json, "arrivalMinutes", gauge), std::stod(fields[4]), 1e-6);
        EXPECT_NEAR(JsonValue(json, "maximum", gauge), std::stod(fields[6]), 1e-6);
        EXPECT_NEAR(JsonValue(json, "minimum", gauge), std::stod(fields[7]), 1e-6);
    }
    EXPECT_EQ(gauge, 3);
    EXPECT_GT(JsonValue(json, "maximum", 2), 0.0) << "the shore gauge sees the swell";

    // The wall time covers the simulator's own timing of its steps, plus set-up and little else.
    const Outcome& text = runs[0];
    const double wall = JsonValue(json, "wallTimeSeconds");
    const std::size_t took = text.out.find("Simulation Took ");
    ASSERT_NE(took, std::string::npos) << text.out;
    const double stepSeconds = std::strtod(text.out.c_str() + took + 16, nullptr);
    EXPECT_GE(wall, stepSeconds - 1e-3);
    EXPECT_LT(wall, stepSeconds + 10.0);
    // The table follows the simulator's lines on standard output, with the same numbers.
    const std::size_t summary = text.out.find("Run summary: Plane beach\n");
    ASSERT_NE(summary, std::string::npos) << text.out;
    EXPECT_GT(summary, took);
    char row[64];
    std::snprintf(row, sizeof row, "\n0      %-10.3f %.1f, %.1f", JsonValue(json, "highestWaterLevel"),
                  JsonValue(json, "highestWaterLevelX"), JsonValue(json, "highestWaterLevelY"));
    EXPECT_NE(text.out.find(row, summary), std::string::npos) << row << "\n" << text.out.substr(summary);
    EXPECT_NE(text.out.find("Shore ", summary), std::string::npos);
    EXPECT_NE(text.err.find("vestra: 100%"), std::string::npos) << text.err;
    EXPECT_EQ(text.err.find("warning"), std::string::npos) << text.err;
    if (plots) {  // three pictures in the level's folder, their paths after the summary
        const std::vector<std::string> pictures = PngLines(text.out);
        ASSERT_EQ(pictures.size(), 3u) << text.out << text.err;
        EXPECT_LT(summary, text.out.find(pictures.front()));
        for (const std::string& picture : pictures) {
            EXPECT_EQ(fs::path(picture).parent_path(), fs::path(dir / "beach/output/level0"));
            const Raster png = ReadRaster(folder + fs::path(picture).filename().string());
            EXPECT_EQ(png.driver, "PNG");
            EXPECT_TRUE(png.nx == 1200 && png.ny == 900) << picture;  // the gauge plot: 150 + 250 per gauge
        }
    }

    // Quiet: the simulator's lines and the JSON, no progress and no table. A JSON path that
    // cannot be written is one warning and does not turn a finished run into a failure.
    for (int format : {1, 2}) {
        EXPECT_NE(runs[format].out.find("Starting Simulation...\n"), std::string::npos) << runs[format].out;
        EXPECT_NE(runs[format].out.find("Simulation Took "), std::string::npos) << runs[format].out;
        EXPECT_EQ(runs[format].out.find("Run summary"), std::string::npos) << runs[format].out;
    }
    EXPECT_EQ(runs[2].err, "");
    EXPECT_EQ(CountLines(runs[1].err), 1u) << runs[1].err;
    EXPECT_NE(runs[1].err.find("no/such/folder/s.json"), std::string::npos) << runs[1].err;
    // --no-plots: no picture, no path.
    for (const auto& entry : fs::directory_iterator(dir / "out3/level0")) EXPECT_NE(entry.path().extension(), ".png");
    EXPECT_TRUE(PngLines(runs[3].out).empty());
}

TEST(Command, CtrlCStopsTheRunWhichReportsOnlyTheStepsItRan) {
    ScratchFolder dir("stopped");
    ASSERT_EQ(RunVestra({"example", "--beach", dir / "beach"}, dir).status, 0);
    // A run far too long to finish: it must end through the interrupt.
    const Outcome o = RunVestra({"run", dir / "beach/scenario.toml", "--threads", "1", "--set", "endTime=100000", "--set",
                                 "snapshotInterval=0", "--set", "historyEverySteps=1", "--json", dir / "s.json",
                                 "--no-plots"},
                                dir, {}, "Starting Simulation...");
    ASSERT_EQ(o.status, 130) << o.err;
    EXPECT_NE(o.out.find("Simulation Stopped after "), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("Simulation Took"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("stopping"), std::string::npos) << o.err;
    EXPECT_NE(o.out.find("Run summary"), std::string::npos);  // the finish still runs
    const std::string json = ReadFile(dir / "s.json");
    const double steps = JsonValue(json, "millionCellUpdatesPerSecond") * JsonValue(json, "wallTimeSeconds") * 1e6 / 2400.0;
    EXPECT_GE(steps, 1.0);
    EXPECT_NEAR(steps, std::round(steps), 1e-3 * steps) << "a whole number of base steps";
    EXPECT_LT(steps, 6.0e6) << "the planned 6 million steps were not run";
    // The gauge records, one per step, end within a step or two of the count.
    std::istringstream history(ReadFile(dir / "beach/output/level0/OUT-TIME-HISTORIES_ETA.dat"));
    std::string line, last;
    while (std::getline(history, line))
        if (!line.empty()) last = line;
    EXPECT_NEAR(std::strtod(last.c_str(), nullptr) * 60.0, steps, 2.5) << last;
}

TEST(Command, FaultSourcesBecomeEventsThatTheRunApplies) {
    ScratchFolder dir("faults");
    ASSERT_EQ(RunVestra({"example", "--beach", dir / "beach"}, dir).status, 0);
    const std::string scenario = ReadFile(dir / "beach/scenario.toml");
    const std::string faulted = Replace(scenario, "etaFile = \"initial-eta.grd\"", "faults = \"thrust.toml\"");
    // A thrust under the sea part of the beach (depth about 140 m above it), striking north.
    const std::string thrust = "reference = \"centroid\"\ndepth = 6.0\nstrike = 0.0\ndip = 30.0\nrake = 90.0\n"
                               "length = 12.0\nwidth = 8.0\n";
    const std::string near = "[[faults]]\nx = 8000.0\ny = 9750.0\nslip = 3.0\n", far = "[[faults]]\nx = 3000.0\ny = 3000.0\nslip = 0.3\n";
    WriteFile(dir / "beach/thrust.toml", near + thrust);
    WriteFile(dir / "beach/late.toml", far + thrust);
    // Three faults, two of them the same thrust, rupturing 1 ms apart, and a small far one
    // 30 s later: three events. The second copy lands in the same step as the first and, as a
    // netCDF grid, is added to it: the sea surface starts twice as high. (Written as Surfer
    // text it would replace the first and the peak would stay single.)
    WriteFile(dir / "beach/three.toml", near + thrust + near + "rupture_time = 0.001\n" + thrust + far +
                                            "rupture_time = 30\n" + thrust);
    WriteFile(dir / "beach/three-faults.toml", Replace(faulted, "thrust.toml", "three.toml"));
    const Outcome o = RunVestra({"run", dir / "beach/three-faults.toml", "--threads", "1", "--set", "endTime=1",
                                 "--no-plots", "--json", dir / "three.json"},
                                dir);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("source-1-0.grd"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("warning"), std::string::npos) << o.err;
    // The events are the very grids `vestra okada` writes for level 0's nodes.
    for (const auto& [faults, output] : {std::pair{"thrust.toml", "okada.grd"}, {"thrust.toml", "okada.nc"},
                                         {"late.toml", "late.nc"}})
        ASSERT_EQ(RunVestra({"okada", dir / (std::string("beach/") + faults), "--like", dir / "beach/bathymetry.grd", "-o", dir / output},
                            dir).status, 0);
    const std::string out = dir / "beach/output/level0/";
    const std::string okada = ReadFile(dir / "okada.grd");
    ASSERT_FALSE(okada.empty());
    EXPECT_EQ(ReadFile(out + "source-1-0.grd"), okada);
    EXPECT_FALSE(fs::exists(out + "source-1-0.001.grd"));
    for (const auto& [event, expected] : {std::pair{"source-1-0.001.nc", "okada.nc"}, {"source-1-30.nc", "late.nc"}}) {
        const Raster written = ReadRaster(out + event);
        EXPECT_EQ(written.values, ReadRaster(dir / expected).values) << event;
        EXPECT_EQ(written.records, 1) << "one record, as the model adds it";
        EXPECT_TRUE(written.nx == kBeachColumns && written.ny == kBeachRows) << event;
    }
    const SurferGrid uplift = ReadSurferText(dir / "okada.grd");
    const double peak = *std::max_element(uplift.z.begin(), uplift.z.end());
    EXPECT_GT(peak, 0.2);
    EXPECT_NEAR(JsonValue(ReadFile(dir / "three.json"), "highestWaterLevel"), 2.0 * peak, 0.1 * peak);

    // The plug-in's view of the same scenario: the events, their files and times.
    Scenario s;
    std::string error;
    ASSERT_TRUE(LoadScenarioFile(dir / "beach/three-faults.toml", {}, &s, &error)) << error;
    ASSERT_EQ(s.sourceFaultFiles, std::vector<std::string>{dir / "beach/three.toml"});
    EXPECT_TRUE(s.sources[0].etaFile.empty());
    std::vector<std::string> written;
    ASSERT_TRUE(ExpandFaultSources(&s, &written, &error)) << error;
    ASSERT_EQ(s.sources.size(), 3u);
    const std::vector<std::pair<std::string, float>> events = {
        {"source-1-0.grd", 0.0f}, {"source-1-0.001.nc", 0.001f}, {"source-1-30.nc", 30.0f}};
    for (std::size_t k = 0; k < events.size(); ++k) {
        EXPECT_EQ(s.sources[k].etaFile, out + events[k].first);
        EXPECT_EQ(s.sources[k].insertionTime, events[k].second);
    }
    EXPECT_EQ(written.size(), 3u);
    EXPECT_EQ(s.sourceFaultFiles, std::vector<std::string>(3));

    // Behind another source, or inserted later, even the first fault event is added (netCDF).
    const std::string behind = scenario + "\n[[sources]]\nfaults = \"thrust.toml\"\ninsertionTime = 0.0\n";
    ASSERT_TRUE(LoadScenarioText(behind, dir / "beach/behind.toml", {}, &s, &error)) << error;
    ASSERT_TRUE(ExpandFaultSources(&s, &written, &error)) << error;
    ASSERT_EQ(s.sources.size(), 2u);
    EXPECT_EQ(s.sources[0].etaFile, dir / "beach/initial-eta.grd");
    EXPECT_EQ(s.sources[1].etaFile, out + "source-2.nc");
    ASSERT_TRUE(LoadScenarioText(Replace(faulted, "insertionTime = 0.0", "insertionTime = 12.5"),
                                 dir / "beach/later.toml", {}, &s, &error))
        << error;
    ASSERT_TRUE(ExpandFaultSources(&s, &written, &error)) << error;
    EXPECT_EQ(s.sources[0].etaFile, out + "source-1.nc");
    EXPECT_EQ(s.sources[0].insertionTime, 12.5f);

    // Faults that cannot be used stop the command before anything runs: one line naming the
    // entry, the fault file and the key, exit status 1, no output folder.
    const std::vector<std::pair<std::string, std::vector<std::string>>> bad = {
        {near + Replace(thrust, "dip = 30.0", "dip = 95.0"), {"[[sources]] #1 faults", "bad.toml", "dip"}},
        {"[[faults]]\nlongitude = 140.0\nlatitude = 37.0\nslip = 3.0\n" + thrust,
         {"[[sources]] #1 faults", "bad.toml", "longitude/latitude"}},
        {near + "rigidity = 3e10\n" + thrust, {"bad.toml", "rigidity"}},
    };
    for (const auto& [faults, pieces] : bad) {
        WriteFile(dir / "beach/bad.toml", faults);
        WriteFile(dir / "beach/bad-faults.toml",
                  Replace(Replace(faulted, "thrust.toml", "bad.toml"), "output/level0", "refused/level0"));
        const Outcome refused = RunVestra({"run", dir / "beach/bad-faults.toml", "--no-plots"}, dir);
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(CountLines(refused.err), 1u) << refused.err;
        for (const std::string& piece : pieces) EXPECT_NE(refused.err.find(piece), std::string::npos) << refused.err;
        EXPECT_EQ(refused.out, "");
        EXPECT_FALSE(fs::exists(dir / "beach/refused")) << faults;
    }
}

// The two-level bundled example with a megathrust instead of its uplift, and a matplotlib
// that cannot be imported: one warning line for both levels, no picture, exit status 0.
TEST(Command, BundledExampleWithAMegathrustRunsEndToEnd) {
    ScratchFolder dir("mw8");
    ASSERT_EQ(RunVestra({"example", dir / "bay"}, dir).status, 0);
    WriteFile(dir / "bay/mw8.toml",
              "horizontal = true\n[[faults]]\nlongitude = 141.6\nlatitude = 37.5\nreference = \"top-centre\"\n"
              "depth = 5.0\nstrike = 180.0\ndip = 12.0\nrake = 90.0\nslip = 2.0\nlength = 200.0\nwidth = 80.0\n");
    WriteFile(dir / "bay/quake.toml", Replace(ReadFile(dir / "bay/scenario.toml"), "etaFile = \"initial-uplift.grd\"",
                                              "faults = \"mw8.toml\""));
    WriteFile(dir / "broken-python/matplotlib/__init__.py", "raise ImportError('no matplotlib here')\n");
    const Outcome o = RunVestra({"run", dir / "bay/quake.toml", "--quiet", "--set", "endTime=0.5", "--json",
                                 dir / "quake.json"},
                                dir, {"PYTHONPATH=" + dir / "broken-python"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(CountLines(o.err), 1u) << o.err;
    EXPECT_NE(o.err.find("matplotlib"), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(dir / "bay/out/level0/quicklook-max-water-level.png"));
    ASSERT_EQ(RunVestra({"okada", dir / "bay/mw8.toml", "--like", dir / "bay/bathymetry-level0.grd", "-o",
                         dir / "mw8.grd"},
                        dir)
                  .status,
              0);
    EXPECT_EQ(ReadFile(dir / "bay/out/level0/source-1.grd"), ReadFile(dir / "mw8.grd"));
    const std::string json = ReadFile(dir / "quake.json");
    EXPECT_EQ(JsonValue(json, "level", 1), 1.0);  // both levels summarised
    EXPECT_GT(JsonValue(json, "highestWaterLevel"), 0.5);  // the hanging wall's uplift
}
