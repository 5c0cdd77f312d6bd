// The built vestra command end to end: refusals and help, the example command, flooding runs
// feeding the summary, JSON and pictures, Ctrl-C, and fault files turned into source events.
#include <gdal.h>

#include "HostRun.h"
#include "Scenario.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// The value after the `occurrence`-th "key": in a JSON text; NaN for null or absent.
double JsonValue(const std::string& json, const std::string& key, int occurrence = 0) {
    const std::string pattern = "\"" + key + "\": ";
    std::size_t at = json.find(pattern);
    for (int k = 0; k < occurrence && at != std::string::npos; ++k) at = json.find(pattern, at + 1);
    if (at == std::string::npos || json.compare(at + pattern.size(), 4, "null") == 0) return NAN;
    return std::strtod(json.c_str() + at + pattern.size(), nullptr);
}

// A raster file as GDAL reads it: size, record count, the last record's values from the north.
struct Raster {
    int nx = 0, ny = 0, records = 0;
    std::vector<float> values;
};

Raster ReadRaster(const std::string& path) {
    GDALAllRegister();
    Raster r;
    GDALDatasetH data = GDALOpen(path.c_str(), GA_ReadOnly);
    if (data == nullptr) return r;
    r.nx = GDALGetRasterXSize(data), r.ny = GDALGetRasterYSize(data), r.records = GDALGetRasterCount(data);
    r.values.resize(static_cast<std::size_t>(r.nx) * r.ny);
    EXPECT_EQ(GDALRasterIO(GDALGetRasterBand(data, r.records), GF_Read, 0, 0, r.nx, r.ny, r.values.data(), r.nx,
                           r.ny, GDT_Float32, 0, 0),
              CE_None);
    GDALClose(data);
    return r;
}

// `vestra okada FAULTS --like GRID -o OUTPUT`: the displacement on the nodes of GRID.
int Okada(const ScratchFolder& dir, const std::string& faults, const std::string& grid, const std::string& output) {
    return RunVestra({"okada", dir / faults, "--like", dir / grid, "-o", dir / output}, dir).status;
}

// A refused command: exit status 1, one line on standard error with every piece, no output.
void ExpectRefused(const Outcome& o, const std::vector<std::string>& pieces) {
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(CountLines(o.err), 1u) << o.err;
    for (const std::string& piece : pieces) EXPECT_NE(o.err.find(piece), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
}

constexpr int kBeachColumns = 60, kBeachRows = 40;
constexpr double kBeachCell = 500.0;

}  // namespace

TEST(Command, ExampleOptionsHelpAndBadInputGiveOneLineAndNoRun) {
    ScratchFolder dir;
    ASSERT_EQ(RunVestra({"example", dir / "nest", "--second-nest", "--format", "3"}, dir).status, 0);
    Scenario s;
    std::string error;
    ASSERT_TRUE(LoadScenarioFile(dir / "nest/scenario.toml", {}, &s, &error)) << error;
    EXPECT_TRUE(s.grids.size() == 3u && s.parameters.outputFormat == 3);  // the options reach the scenario
    ASSERT_EQ(RunVestra({"example", "--beach", dir / "beach"}, dir).status, 0);
    // Bad command lines exit 2; an example never overwrites (1).
    const std::vector<std::pair<std::vector<std::string>, int>> statuses = {
        {{"example", "--format", "7", dir / "x"}, 2},   {{"example", "--beach", "--second-nest", dir / "x"}, 2},
        {{"example", "--beach", dir / "beach"}, 1},     {{"run", "--frobnicate", "x.toml"}, 2},
        {{"run", "x.toml", "--threads", "many"}, 2}, {{"fly"}, 2}, {{"run", dir / "absent.toml"}, 1}};
    for (const auto& [args, status] : statuses) EXPECT_EQ(RunVestra(args, dir).status, status) << args.back();
    EXPECT_FALSE(fs::exists(dir / "x"));
    // Bad input: one line naming the file, line and key (or the setting), nothing run or created.
    const std::string scenario = dir / "beach/scenario.toml";
    const std::string broken =
        dir.Write("beach/broken.toml", Replace(ReadFile(scenario), "historyEverySteps = 5", "historyEverySteps = 0"));
    ExpectRefused(RunVestra({"run", broken, "--quiet"}, dir), {"broken.toml:9:", "historyEverySteps = 0"});
    ExpectRefused(RunVestra({"run", scenario, "--set", "outputFormat=9"}, dir), {"--set outputFormat=9"});
    EXPECT_FALSE(fs::exists(dir / "beach/output"));
    ExpectRefused(RunVestra({"run", scenario, "--plugin", dir / "nothing.so"}, dir), {"nothing.so"});  // not a crash
    const Outcome help = RunVestra({"run", "--help"}, dir);
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--threads", "--set", "--plugin", "--quiet", "--json", "--no-plots", "130"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

// The beach with a 4 m swell just off the shore, which floods land, run twice: Surfer text with
// progress, table, JSON and pictures; netCDF, quiet, its JSON aimed at a missing folder.
TEST(Command, FloodingRunsAgreeWithTheirResultFilesAndSummary) {
    ScratchFolder dir;
    ASSERT_EQ(RunVestra({"example", "--beach", dir / "beach"}, dir).status, 0);
    std::ostringstream swell;
    swell << "DSAA\n" << kBeachColumns << " " << kBeachRows << "\n0 29500\n0 19500\n0 4\n";
    for (int j = 0; j < kBeachRows; ++j)
        for (int i = 0; i < kBeachColumns; ++i) {
            const double x = i * kBeachCell, depth = 200.0 - 220.0 * x / 29500.0;
            swell << (depth > 0.0 ? 4.0 * std::exp(-std::pow((x - 25000.0) / 800.0, 2)) : 0.0)
                  << (i + 1 < kBeachColumns ? " " : "\n");
        }
    WriteFile(dir / "beach/initial-eta.grd", swell.str());
    const bool plots = PythonHasPlotting();
    std::vector<std::string> args{"run", dir / "beach/scenario.toml", "--threads", "1", "--set", "endTime=3"};
    const std::vector<std::string> base = args;
    args.insert(args.end(), {"--set", "outputFormat=0", "--json", dir / "s.json"});
    if (!plots) args.push_back("--no-plots");
    const Outcome text = RunVestra(args, dir);
    ASSERT_EQ(text.status, 0) << text.err;
    fs::rename(dir / "beach/output", dir / "text");
    args = base;
    args.insert(args.end(), {"--set", "outputFormat=2", "--quiet", "--no-plots", "--json", dir / "no/such/s.json"});
    const Outcome quiet = RunVestra(args, dir);
    EXPECT_EQ(quiet.status, 0) << quiet.err;

    // GDAL reads both runs' grids alike (Surfer text keeps 7 decimals).
    const Raster eta = ReadRaster(dir / "text/level0/OUT-ETA-MAX.grd");
    const Raster land = ReadRaster(dir / "text/level0/OUT-FLOWDEPTHMAXLAND.grd");
    const Raster reference = ReadRaster(dir / "beach/output/level0/OUT-ETA-MAX.nc");
    ASSERT_TRUE(eta.nx == kBeachColumns && eta.ny == kBeachRows && land.values.size() == eta.values.size());
    ASSERT_TRUE(reference.values.size() == eta.values.size() && reference.records == 1);
    for (std::size_t p = 0; p < eta.values.size(); ++p)
        ASSERT_NEAR(eta.values[p], reference.values[p], 1e-7 * (1.0 + std::fabs(reference.values[p]))) << p;
    // The summary from the grids GDAL read; flooded land cells are 0.25 km^2 each.
    const std::string json = ReadFile(dir / "s.json");
    const double highest = *std::max_element(eta.values.begin(), eta.values.end());
    EXPECT_GT(highest, 3.0);
    EXPECT_TRUE(JsonValue(json, "nx") == kBeachColumns && JsonValue(json, "ny") == kBeachRows);
    EXPECT_NEAR(JsonValue(json, "highestWaterLevel"), highest, 1e-6 * highest);
    const double column = JsonValue(json, "highestWaterLevelX") / kBeachCell;  // a node holding the highest level
    const double rowFromNorth = (19500.0 - JsonValue(json, "highestWaterLevelY")) / kBeachCell;
    ASSERT_TRUE(column == std::round(column) && rowFromNorth == std::round(rowFromNorth)) << json;
    EXPECT_EQ(eta.values[static_cast<std::size_t>(rowFromNorth * kBeachColumns + column)], highest);
    const auto flooded = std::count_if(land.values.begin(), land.values.end(), [](float v) { return v > 0; });
    const double deepest = *std::max_element(land.values.begin(), land.values.end());
    EXPECT_GT(flooded, 0) << "the swell should reach land";
    EXPECT_NEAR(JsonValue(json, "maxFlowDepthOnLand"), deepest, 1e-6 * deepest);
    EXPECT_NEAR(JsonValue(json, "floodedAreaKm2"), flooded * 0.25, 1e-9);
    // Speed: every base step of the 3 minutes (indices 0 to 180) updates 60 x 40 cells.
    const double wall = JsonValue(json, "wallTimeSeconds");
    EXPECT_NEAR(JsonValue(json, "millionCellUpdatesPerSecond") * wall * 1e6, 2400.0 * 181, 2400.0 * 181 * 1e-5);
    // Three gauges, the shore one reached by the swell.
    EXPECT_TRUE(JsonValue(json, "maximum", 2) > 0.0 && std::isnan(JsonValue(json, "maximum", 3))) << json;

    // The wall time covers the simulator's own timing of its steps, plus set-up and little else.
    const std::size_t took = text.out.find("Simulation Took ");
    ASSERT_NE(took, std::string::npos) << text.out;
    const double stepSeconds = std::strtod(text.out.c_str() + took + 16, nullptr);
    EXPECT_TRUE(wall >= stepSeconds - 1e-3 && wall < stepSeconds + 10.0) << wall << " " << stepSeconds;
    // The table follows the simulator's lines on standard output, with the same numbers.
    const std::size_t summary = text.out.find("Run summary: Plane beach\n");
    ASSERT_NE(summary, std::string::npos) << text.out;
    EXPECT_GT(summary, took);
    char row[64];
    std::snprintf(row, sizeof row, "\n0      %-10.3f %.1f, %.1f", JsonValue(json, "highestWaterLevel"),
                  JsonValue(json, "highestWaterLevelX"), JsonValue(json, "highestWaterLevelY"));
    EXPECT_NE(text.out.find(row, summary), std::string::npos) << row << "\n" << text.out.substr(summary);
    EXPECT_NE(text.err.find("vestra: 100%"), std::string::npos) << text.err;
    EXPECT_EQ(text.err.find("warning"), std::string::npos) << text.err;
    // Three pictures, their paths after the summary; the gauge plot is 150 + 250 per gauge high.
    for (const char* name : {"quicklook-max-water-level.png", "quicklook-first-arrival.png", "quicklook-gauges.png"}) {
        if (!plots) break;
        EXPECT_GT(text.out.find(dir / "beach/output/level0/" + name + "\n"), summary) << name << "\n" << text.out;
        EXPECT_EQ(PngSize(dir / "text/level0/" + name), std::pair(1200, 900)) << name;
    }
    // Quiet: the simulator's lines, no progress, no table, no picture. A JSON path that cannot
    // be written is one warning and does not turn a finished run into a failure.
    EXPECT_NE(quiet.out.find("Starting Simulation...\n"), std::string::npos) << quiet.out;
    EXPECT_NE(quiet.out.find("Simulation Took "), std::string::npos) << quiet.out;
    EXPECT_TRUE(quiet.out.find("Run summary") == std::string::npos && quiet.out.find(".png") == std::string::npos);
    EXPECT_EQ(CountLines(quiet.err), 1u) << quiet.err;
    EXPECT_NE(quiet.err.find("no/such/s.json"), std::string::npos) << quiet.err;
    for (const auto& entry : fs::directory_iterator(dir / "beach/output/level0"))
        EXPECT_NE(entry.path().extension(), ".png");
}

TEST(Command, CtrlCStopsTheRunWhichReportsOnlyTheStepsItRan) {
    ScratchFolder dir;
    ASSERT_EQ(RunVestra({"example", "--beach", dir / "beach"}, dir).status, 0);
    // A run far too long to finish: it must end through the interrupt.
    const Outcome o = RunVestra({"run", dir / "beach/scenario.toml", "--threads", "1", "--set", "endTime=100000",
                                 "--set", "snapshotInterval=0", "--set", "historyEverySteps=1", "--json",
                                 dir / "s.json", "--no-plots"},
                                dir, "", "Starting Simulation...");
    ASSERT_EQ(o.status, 130) << o.err;
    EXPECT_NE(o.out.find("Simulation Stopped after "), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("Simulation Took"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("stopping"), std::string::npos) << o.err;
    EXPECT_NE(o.out.find("Run summary"), std::string::npos);  // the finish still runs
    const std::string json = ReadFile(dir / "s.json");
    const double steps = JsonValue(json, "millionCellUpdatesPerSecond") * JsonValue(json, "wallTimeSeconds") / 2.4e-3;
    EXPECT_TRUE(steps >= 1.0 && steps < 6.0e6) << "not the planned 6 million steps";
    EXPECT_NEAR(steps, std::round(steps), 1e-3 * steps) << "a whole number of base steps";
    // The gauge records, one per step, end within a step or two of the count.
    std::istringstream history(ReadFile(dir / "beach/output/level0/OUT-TIME-HISTORIES_ETA.dat"));
    std::string line, last;
    while (std::getline(history, line))
        if (!line.empty()) last = line;
    EXPECT_NEAR(std::strtod(last.c_str(), nullptr) * 60.0, steps, 2.5) << last;
}

TEST(Command, FaultSourcesBecomeEventsThatTheRunApplies) {
    ScratchFolder dir;
    ASSERT_EQ(RunVestra({"example", "--beach", dir / "beach"}, dir).status, 0);
    const std::string scenario = ReadFile(dir / "beach/scenario.toml");
    const std::string faulted = Replace(scenario, "etaFile = \"initial-eta.grd\"", "faults = \"thrust.toml\"");
    // A thrust under the sea part of the beach (depth about 140 m above it), striking north.
    const std::string thrust = "reference = \"centroid\"\ndepth = 6.0\nstrike = 0.0\ndip = 30.0\nrake = 90.0\n"
                               "length = 12.0\nwidth = 8.0\n";
    const std::string near = "[[faults]]\nx = 8000.0\ny = 9750.0\nslip = 3.0\n";
    const std::string far = "[[faults]]\nx = 3000.0\ny = 3000.0\nslip = 0.3\n";
    WriteFile(dir / "beach/thrust.toml", near + thrust);
    WriteFile(dir / "beach/late.toml", far + thrust);
    // The same thrust twice, 1 ms apart, and a small far one 30 s later: three events. The second
    // lands in the first one's step and, as netCDF, is added: the sea starts twice as high.
    WriteFile(dir / "beach/three.toml",
              near + thrust + near + "rupture_time = 0.001\n" + thrust + far + "rupture_time = 30\n" + thrust);
    WriteFile(dir / "beach/three-faults.toml", Replace(faulted, "thrust.toml", "three.toml"));
    const Outcome o = RunVestra({"run", dir / "beach/three-faults.toml", "--threads", "1", "--set", "endTime=1",
                                 "--no-plots", "--json", dir / "three.json"},
                                dir);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("source-1-0.grd"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("warning"), std::string::npos) << o.err;
    // The events are the very grids `vestra okada` writes for level 0's nodes.
    for (const auto& [faults, output] : {std::pair{"thrust", "okada.grd"}, {"thrust", "okada.nc"}, {"late", "late.nc"}})
        ASSERT_EQ(Okada(dir, "beach/" + std::string(faults) + ".toml", "beach/bathymetry.grd", output), 0);
    const std::string out = dir / "beach/output/level0/";
    EXPECT_EQ(ReadFile(out + "source-1-0.grd"), ReadFile(dir / "okada.grd"));
    EXPECT_FALSE(fs::exists(out + "source-1-0.001.grd"));
    for (const auto& [event, expected] : {std::pair{"source-1-0.001.nc", "okada.nc"}, {"source-1-30.nc", "late.nc"}}) {
        const Raster written = ReadRaster(out + event);
        EXPECT_EQ(written.values, ReadRaster(dir / expected).values) << event;
        EXPECT_TRUE(written.records == 1 && written.nx == kBeachColumns && written.ny == kBeachRows) << event;
    }
    const SurferGrid uplift = ReadSurferText(dir / "okada.grd");
    const double peak = *std::max_element(uplift.z.begin(), uplift.z.end());
    EXPECT_GT(peak, 0.2);
    EXPECT_NEAR(JsonValue(ReadFile(dir / "three.json"), "highestWaterLevel"), 2.0 * peak, 0.1 * peak);
    // Behind another source, or inserted later, even the first fault event is added (netCDF).
    auto events = [&dir](const std::string& text) {
        Scenario s;
        std::vector<std::string> written;
        std::string error, list;
        EXPECT_TRUE(LoadScenarioText(text, dir / "beach/x.toml", {}, &s, &error)) << error;
        EXPECT_TRUE(ExpandFaultSources(&s, &written, &error)) << error;
        for (const SourceEvent& e : s.sources)
            list += fs::path(e.etaFile).filename().string() + "@" + std::to_string(e.insertionTime) + " ";
        return list;
    };
    EXPECT_EQ(events(scenario + "[[sources]]\nfaults = \"thrust.toml\"\ninsertionTime = 0.0\n"),
              "initial-eta.grd@0.000000 source-2.nc@0.000000 ");
    EXPECT_EQ(events(Replace(faulted, "insertionTime = 0.0", "insertionTime = 12.5")), "source-1.nc@12.500000 ");
    // A fault that cannot be used stops the command before anything runs.
    WriteFile(dir / "beach/bad.toml", near + Replace(thrust, "dip = 30.0", "dip = 95.0"));
    WriteFile(dir / "beach/bad-faults.toml", Replace(Replace(faulted, "thrust.toml", "bad.toml"), "output/", "no/"));
    ExpectRefused(RunVestra({"run", dir / "beach/bad-faults.toml"}, dir), {"[[sources]] #1 faults", "bad.toml", "dip"});
    EXPECT_FALSE(fs::exists(dir / "beach/no"));
}

// The two-level bundled example with a megathrust instead of its uplift, and a matplotlib
// that cannot be imported: one warning line for both levels, no picture, exit status 0.
TEST(Command, BundledExampleWithAMegathrustRunsEndToEnd) {
    ScratchFolder dir;
    ASSERT_EQ(RunVestra({"example", dir / "bay"}, dir).status, 0);
    WriteFile(dir / "bay/mw8.toml",
              "horizontal = true\n[[faults]]\nlongitude = 141.6\nlatitude = 37.5\nreference = \"top-centre\"\n"
              "depth = 5.0\nstrike = 180.0\ndip = 12.0\nrake = 90.0\nslip = 2.0\nlength = 200.0\nwidth = 80.0\n");
    const std::string bay = ReadFile(dir / "bay/scenario.toml");
    WriteFile(dir / "bay/quake.toml", Replace(bay, "etaFile = \"initial-uplift.grd\"", "faults = \"mw8.toml\""));
    WriteFile(dir / "broken-python/matplotlib/__init__.py", "raise ImportError('no matplotlib here')\n");
    const Outcome o = RunVestra({"run", dir / "bay/quake.toml", "--quiet", "--set", "endTime=0.5", "--json",
                                 dir / "quake.json"},
                                dir, "PYTHONPATH=" + dir / "broken-python");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(CountLines(o.err), 1u) << o.err;
    EXPECT_NE(o.err.find("matplotlib"), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(dir / "bay/out/level0/quicklook-max-water-level.png"));
    ASSERT_EQ(Okada(dir, "bay/mw8.toml", "bay/bathymetry-level0.grd", "mw8.grd"), 0);
    EXPECT_EQ(ReadFile(dir / "bay/out/level0/source-1.grd"), ReadFile(dir / "mw8.grd"));
    const std::string json = ReadFile(dir / "quake.json");
    EXPECT_EQ(JsonValue(json, "level", 1), 1.0);  // both levels summarised
    EXPECT_GT(JsonValue(json, "highestWaterLevel"), 0.5);  // the hanging wall's uplift
}
