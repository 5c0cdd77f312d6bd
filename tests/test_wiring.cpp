// The vestra command wired end to end: a run followed by its summary, JSON and pictures,
// fault files turned into source events, and result files read back by independent readers
// (our own token reader, the netCDF library, GDAL).
#include <gdal.h>
#include <gtest/gtest.h>
#include <netcdf.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HostRun.h"
#include "TestSupport.h"
#include "Scenario.h"

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

bool JsonIsValid(const std::string& path) {
    if (access("/usr/bin/python3", X_OK) != 0) return true;  // no independent parser to ask
    const std::string command = "/usr/bin/python3 -c 'import json, sys; json.load(open(sys.argv[1]))' '" + path + "'";
    return std::system(command.c_str()) == 0;
}

// "HA" of a netCDF file, as floats, with its dimension lengths.
std::vector<float> ReadNetCdfHa(const std::string& path, std::vector<std::size_t>* lengths) {
    int ncid = 0, varid = 0, ndims = 0;
    std::vector<float> values;
    if (nc_open(path.c_str(), NC_NOWRITE, &ncid) != NC_NOERR) {
        ADD_FAILURE() << path << " is not a netCDF file";
        return values;
    }
    EXPECT_EQ(nc_inq_varid(ncid, "HA", &varid), NC_NOERR);
    nc_inq_varndims(ncid, varid, &ndims);
    int dims[NC_MAX_VAR_DIMS];
    nc_inq_vardimid(ncid, varid, dims);
    lengths->assign(static_cast<std::size_t>(ndims), 0);
    std::size_t count = 1;
    for (int d = 0; d < ndims; ++d) {
        nc_inq_dimlen(ncid, dims[d], &(*lengths)[static_cast<std::size_t>(d)]);
        count *= (*lengths)[static_cast<std::size_t>(d)];
    }
    values.resize(count);
    EXPECT_EQ(nc_get_var_float(ncid, varid, values.data()), NC_NOERR);
    nc_close(ncid);
    return values;
}

bool IsPng(const std::string& path) {
    static const char kSignature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};
    const std::string bytes = ReadFile(path);
    return bytes.size() > 8 && std::memcmp(bytes.data(), kSignature, 8) == 0;
}

std::vector<std::string> PngLines(const std::string& out) {
    std::vector<std::string> paths;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.size() > 4 && line.compare(line.size() - 4, 4, ".png") == 0) paths.push_back(line);
    return paths;
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

}  // namespace

TEST(Wiring, SummaryAndJsonAgreeWithTheResultFiles) {
    ScratchFolder dir("summary");
    WriteFloodingBeach(dir, "beach");
    const Outcome o = RunVestra({"run", dir / "beach/scenario.toml", "--threads", "1", "--set", "endTime=3", "--json",
                                 dir / "summary.json", "--no-plots"},
                                dir);
    ASSERT_EQ(o.status, 0) << o.err;
    const std::string json = ReadFile(dir / "summary.json");
    ASSERT_FALSE(json.empty());
    EXPECT_TRUE(JsonIsValid(dir / "summary.json")) << json;
    const std::string folder = dir / "beach/output/level0/";

    // Highest water level and its node, from the text grid read here.
    const SurferGrid etaMax = ReadSurferText(folder + "OUT-ETA-MAX.grd");
    const auto top = std::max_element(etaMax.z.begin(), etaMax.z.end()) - etaMax.z.begin();
    const double highest = etaMax.z[static_cast<std::size_t>(top)];
    EXPECT_GT(highest, 3.0);
    EXPECT_EQ(JsonValue(json, "nx"), kBeachColumns);
    EXPECT_EQ(JsonValue(json, "ny"), kBeachRows);
    EXPECT_NEAR(JsonValue(json, "highestWaterLevel"), highest, 1e-6 * highest);
    EXPECT_DOUBLE_EQ(JsonValue(json, "highestWaterLevelX"), etaMax.xMin + static_cast<double>(top % kBeachColumns) * etaMax.dx());
    EXPECT_DOUBLE_EQ(JsonValue(json, "highestWaterLevelY"), etaMax.yMin + static_cast<double>(top / kBeachColumns) * etaMax.dy());

    // Flooding: land cells with a positive largest flow depth, 0.25 km^2 each.
    const SurferGrid land = ReadSurferText(folder + "OUT-FLOWDEPTHMAXLAND.grd");
    double deepest = 0.0;
    int flooded = 0;
    for (double v : land.z)
        if (v > 0.0) {
            deepest = std::max(deepest, v);
            ++flooded;
        }
    EXPECT_GT(flooded, 0) << "the swell should reach land";
    EXPECT_NEAR(JsonValue(json, "maxFlowDepthOnLand"), deepest, 1e-6 * deepest);
    EXPECT_NEAR(JsonValue(json, "floodedAreaKm2"), flooded * 0.25, 1e-9);

    // Gauges: the rows of the result table, in order.
    std::istringstream table(ReadFile(folder + "OUT-SUMMARY-RESULT.dat"));
    std::string line;
    std::getline(table, line);  // labels
    int gauge = 0;
    while (std::getline(table, line)) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
        ASSERT_GE(fields.size(), 8u) << line;
        EXPECT_NE(json.find("\"name\": \"" + fields[0] + "\""), std::string::npos) << fields[0];
        EXPECT_NEAR(JsonValue(json, "arrivalMinutes", gauge), std::stod(fields[4]), 1e-6);
        EXPECT_NEAR(JsonValue(json, "maximum", gauge), std::stod(fields[6]), 1e-6);
        EXPECT_NEAR(JsonValue(json, "minimum", gauge), std::stod(fields[7]), 1e-6);
        ++gauge;
    }
    EXPECT_EQ(gauge, 3);
    EXPECT_GT(JsonValue(json, "maximum", 2), 0.0) << "the shore gauge sees the swell";

    // Speed: every base step of the 3 minutes (indices 0 to 180) updates 60 x 40 cells.
    const double wall = JsonValue(json, "wallTimeSeconds");
    const double speed = JsonValue(json, "millionCellUpdatesPerSecond");
    EXPECT_NEAR(speed * wall * 1e6, 60.0 * 40.0 * 181.0, 60.0 * 40.0 * 181.0 * 1e-5);
    // The wall time covers the simulator's own timing of its steps, plus set-up and little else.
    const std::size_t took = o.out.find("Simulation Took ");
    ASSERT_NE(took, std::string::npos) << o.out;
    const double stepSeconds = std::strtod(o.out.c_str() + took + 16, nullptr);
    EXPECT_GE(wall, stepSeconds - 1e-3);
    EXPECT_LT(wall, stepSeconds + 10.0);

    // The table follows the simulator's lines on standard output, with the same numbers.
    const std::size_t summary = o.out.find("Run summary: Plane beach\n");
    ASSERT_NE(summary, std::string::npos) << o.out;
    EXPECT_GT(summary, took);
    char row[64];
    std::snprintf(row, sizeof row, "\n0      %-10.3f %.1f, %.1f", highest,
                  etaMax.xMin + static_cast<double>(top % kBeachColumns) * etaMax.dx(),
                  etaMax.yMin + static_cast<double>(top / kBeachColumns) * etaMax.dy());
    EXPECT_NE(o.out.find(row, summary), std::string::npos) << row << "\n" << o.out.substr(summary);
    EXPECT_NE(o.out.find("Shore ", summary), std::string::npos);
    EXPECT_EQ(o.err.find("warning"), std::string::npos) << o.err;

    // --no-plots: no picture, no path.
    for (const auto& entry : fs::directory_iterator(folder)) EXPECT_NE(entry.path().extension(), ".png") << entry.path();
    EXPECT_TRUE(PngLines(o.out).empty());

    // --quiet keeps the JSON but drops the table; an unwritable JSON path is one warning and
    // does not turn a finished run into a failure.
    const Outcome quiet = RunVestra({"run", dir / "beach/scenario.toml", "--threads", "1", "--set", "endTime=0.5",
                                     "--quiet", "--no-plots", "--json", dir / "quiet.json"},
                                    dir);
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.out.find("Run summary"), std::string::npos);
    EXPECT_NEAR(JsonValue(ReadFile(dir / "quiet.json"), "millionCellUpdatesPerSecond") *
                    JsonValue(ReadFile(dir / "quiet.json"), "wallTimeSeconds") * 1e6,
                60.0 * 40.0 * 31.0, 60.0 * 40.0 * 31.0 * 1e-5);
    const Outcome unwritable = RunVestra({"run", dir / "beach/scenario.toml", "--threads", "1", "--set", "endTime=0.5",
                                          "--quiet", "--no-plots", "--json", dir / "no/such/folder/s.json"},
                                         dir);
    EXPECT_EQ(unwritable.status, 0);
    EXPECT_EQ(CountLines(unwritable.err), 1u) << unwritable.err;
    EXPECT_NE(unwritable.err.find("no/such/folder/s.json"), std::string::npos) << unwritable.err;
}

TEST(Wiring, StoppedRunReportsOnlyTheStepsItRan) {
    ScratchFolder dir("stopped");
    ASSERT_EQ(RunVestra({"example", "--beach", dir / "beach"}, dir).status, 0);
    const Outcome o = RunVestra({"run", dir / "beach/scenario.toml", "--threads", "1", "--set", "endTime=100000", "--set",
                                 "snapshotInterval=0", "--set", "historyEverySteps=1", "--json", dir / "s.json",
                                 "--no-plots"},
                                dir, {}, "Starting Simulation...");
    ASSERT_EQ(o.status, 130) << o.err;
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
    const double lastMinutes = std::strtod(last.c_str(), nullptr);
    EXPECT_NEAR(lastMinutes * 60.0, steps, 2.5) << last;
    EXPECT_NE(o.out.find("Run summary"), std::string::npos);
}

TEST(Wiring, PicturesUnlessNoPlotsAndOneWarningWithoutMatplotlib) {
    ScratchFolder dir("plots");
    ASSERT_EQ(RunVestra({"example", "--beach", dir / "beach"}, dir).status, 0);
    // A matplotlib that cannot be imported: one warning line, no picture, exit status 0. The
    // two-level example shows that the warning is not repeated per level.
    ASSERT_EQ(RunVestra({"example", dir / "bay"}, dir).status, 0);
    WriteFile(dir / "broken-python/matplotlib/__init__.py", "raise ImportError('no matplotlib here')\n");
    const Outcome broken =
        RunVestra({"run", dir / "bay/scenario.toml", "--quiet", "--set", "endTime=0.2"}, dir,
                  {"PYTHONPATH=" + dir / "broken-python"});
    EXPECT_EQ(broken.status, 0) << broken.err;
    EXPECT_EQ(CountLines(broken.err), 1u) << broken.err;
    EXPECT_NE(broken.err.find("matplotlib"), std::string::npos) << broken.err;
    EXPECT_FALSE(fs::exists(dir / "bay/out/level0/quicklook-max-water-level.png"));

    if (!PythonHasPlotting()) GTEST_SKIP() << "/usr/bin/python3 lacks matplotlib, numpy or netCDF4";
    const Outcome o = RunVestra({"run", dir / "beach/scenario.toml", "--threads", "1", "--set", "endTime=1"}, dir);
    ASSERT_EQ(o.status, 0) << o.err;
    const std::vector<std::string> pictures = PngLines(o.out);
    ASSERT_EQ(pictures.size(), 3u) << o.out << o.err;
    for (const std::string& picture : pictures) {
        EXPECT_TRUE(IsPng(picture)) << picture;
        EXPECT_EQ(fs::path(picture).parent_path(), fs::path(dir / "beach/output/level0"));
    }
    // The paths come last, after the summary.
    EXPECT_LT(o.out.find("Run summary"), o.out.find(pictures.front()));
}

TEST(Wiring, FaultSourcesBecomeEventsThatTheRunApplies) {
    ScratchFolder dir("faults");
    ASSERT_EQ(RunVestra({"example", "--beach", dir / "beach"}, dir).status, 0);
    const std::string scenario = ReadFile(dir / "beach/scenario.toml");
    const std::string faulted = Replace(scenario, "etaFile = \"initial-eta.grd\"", "faults = \"thrust.toml\"");
    // A thrust under the sea part of the beach (depth about 140 m above it), striking north.
    const std::string thrust =
        "reference = \"centroid\"\ndepth = 6.0\nstrike = 0.0\ndip = 30.0\nrake = 90.0\nlength = 12.0\n"
        "width = 8.0\n";
    WriteFile(dir / "beach/thrust.toml", "[[faults]]\nx = 8000.0\ny = 9750.0\nslip = 3.0\n" + thrust);
    WriteFile(dir / "beach/faulted.toml", faulted);

    // One rupture time: "source-1.grd", the very bytes `vestra okada` writes for the grid.
    Outcome o = RunVestra({"run", dir / "beach/faulted.toml", "--threads", "1", "--set", "endTime=0.5", "--no-plots",
                           "--json", dir / "one.json"},
                          dir);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("source-1.grd"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("warning"), std::string::npos) << o.err;
    ASSERT_EQ(RunVestra({"okada", dir / "beach/thrust.toml", "--like", dir / "beach/bathymetry.grd", "-o",
                         dir / "okada.grd"},
                        dir)
                  .status,
              0);
    const std::string okada = ReadFile(dir / "okada.grd");
    ASSERT_FALSE(okada.empty());
    EXPECT_EQ(ReadFile(dir / "beach/output/level0/source-1.grd"), okada);
    const SurferGrid uplift = ReadSurferText(dir / "okada.grd");
    const double peak = *std::max_element(uplift.z.begin(), uplift.z.end());
    EXPECT_GT(peak, 0.2);
    EXPECT_NEAR(JsonValue(ReadFile(dir / "one.json"), "highestWaterLevel"), peak, 0.1 * peak);

    // Three faults, two of them the same thrust, rupturing 1 ms apart, and a small far one
    // 30 s later: three events. The second copy lands in the same step as the first and, as a
    // netCDF grid, is added to it: the sea surface starts twice as high. (Written as Surfer
    // text it would replace the first and the peak would stay single.)
    WriteFile(dir / "beach/three.toml", "[[faults]]\nx = 8000.0\ny = 9750.0\nslip = 3.0\n" + thrust +
                                            "[[faults]]\nx = 8000.0\ny = 9750.0\nslip = 3.0\nrupture_time = 0.001\n" +
                                            thrust +
                                            "[[faults]]\nx = 3000.0\ny = 3000.0\nslip = 0.3\nrupture_time = 30\n" + thrust);
    WriteFile(dir / "beach/late.toml", "[[faults]]\nx = 3000.0\ny = 3000.0\nslip = 0.3\n" + thrust);
    WriteFile(dir / "beach/three-faults.toml", Replace(faulted, "thrust.toml", "three.toml"));
    o = RunVestra({"run", dir / "beach/three-faults.toml", "--threads", "1", "--set", "endTime=1", "--no-plots", "--json",
                   dir / "three.json"},
                  dir);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err.find("warning"), std::string::npos) << o.err;
    const std::string out = dir / "beach/output/level0/";
    EXPECT_EQ(ReadFile(out + "source-1-0.grd"), okada);
    EXPECT_FALSE(fs::exists(out + "source-1-0.001.grd"));
    ASSERT_EQ(RunVestra({"okada", dir / "beach/thrust.toml", "--like", dir / "beach/bathymetry.grd", "-o",
                         dir / "okada.nc"},
                        dir)
                  .status,
              0);
    ASSERT_EQ(RunVestra({"okada", dir / "beach/late.toml", "--like", dir / "beach/bathymetry.grd", "-o",
                         dir / "late.nc"},
                        dir)
                  .status,
              0);
    std::vector<std::size_t> shape, expectedShape;
    EXPECT_EQ(ReadNetCdfHa(out + "source-1-0.001.nc", &shape), ReadNetCdfHa(dir / "okada.nc", &expectedShape));
    EXPECT_EQ(shape, (std::vector<std::size_t>{1, kBeachRows, kBeachColumns})) << "one record, as the model adds it";
    EXPECT_EQ(ReadNetCdfHa(out + "source-1-30.nc", &shape), ReadNetCdfHa(dir / "late.nc", &expectedShape));
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
    EXPECT_EQ(s.sources[0].etaFile, out + "source-1-0.grd");
    EXPECT_EQ(s.sources[1].etaFile, out + "source-1-0.001.nc");
    EXPECT_EQ(s.sources[2].etaFile, out + "source-1-30.nc");
    EXPECT_EQ(s.sources[0].insertionTime, 0.0f);
    EXPECT_EQ(s.sources[1].insertionTime, 0.001f);
    EXPECT_EQ(s.sources[2].insertionTime, 30.0f);
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
    struct Bad {
        std::string faults;
        std::vector<std::string> expected;
    };
    const std::vector<Bad> bad = {
        {"[[faults]]\nx = 8000.0\ny = 9750.0\nslip = 3.0\n" + Replace(thrust, "dip = 30.0", "dip = 95.0"),
         {"[[sources]] #1 faults", "bad.toml", "dip"}},
        {"[[faults]]\nlongitude = 140.0\nlatitude = 37.0\nslip = 3.0\n" + thrust,
         {"[[sources]] #1 faults", "bad.toml", "longitude/latitude"}},
        {"[[faults]]\nx = 8000.0\ny = 9750.0\nslip = 3.0\nrigidity = 3e10\n" + thrust, {"bad.toml", "rigidity"}},
    };
    for (const Bad& b : bad) {
        ScratchFolder fresh("bad-faults");
        ASSERT_EQ(RunVestra({"example", "--beach", fresh / "beach"}, fresh).status, 0);
        WriteFile(fresh / "beach/bad.toml", b.faults);
        WriteFile(fresh / "beach/faulted.toml", Replace(faulted, "thrust.toml", "bad.toml"));
        const Outcome refused = RunVestra({"run", fresh / "beach/faulted.toml", "--no-plots"}, fresh);
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(CountLines(refused.err), 1u) << refused.err;
        for (const std::string& piece : b.expected) EXPECT_NE(refused.err.find(piece), std::string::npos) << refused.err;
        EXPECT_EQ(refused.out, "");
        EXPECT_FALSE(fs::exists(fresh / "beach/output")) << b.faults;
    }
    WriteFile(dir / "beach/both.toml",
              Replace(faulted, "faults = \"thrust.toml\"", "faults = \"thrust.toml\"\netaFile = \"initial-eta.grd\""));
    const Outcome twice = RunVestra({"run", dir / "beach/both.toml"}, dir);
    EXPECT_EQ(twice.status, 1);
    EXPECT_EQ(CountLines(twice.err), 1u) << twice.err;
    EXPECT_NE(twice.err.find("etaFile and faults"), std::string::npos) << twice.err;
}

TEST(Wiring, BundledExampleWithAMegathrustRunsEndToEnd) {
    ScratchFolder dir("mw8");
    ASSERT_EQ(RunVestra({"example", dir / "bay"}, dir).status, 0);
    WriteFile(dir / "bay/mw8.toml",
              "horizontal = true\n[[faults]]\nlongitude = 141.6\nlatitude = 37.5\nreference = \"top-centre\"\n"
              "depth = 5.0\nstrike = 180.0\ndip = 12.0\nrake = 90.0\nslip = 2.0\nlength = 200.0\nwidth = 80.0\n");
    WriteFile(dir / "bay/quake.toml", Replace(ReadFile(dir / "bay/scenario.toml"), "etaFile = \"initial-uplift.grd\"",
                                              "faults = \"mw8.toml\""));
    const Outcome o = RunVestra({"run", dir / "bay/quake.toml", "--set", "endTime=0.5", "--no-plots", "--json",
                                 dir / "quake.json"},
                                dir);
    ASSERT_EQ(o.status, 0) << o.err;
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

TEST(Wiring, ExampleCommandOptions) {
    ScratchFolder dir("example");
    struct Case {
        std::string folder;
        std::vector<std::string> options;
        std::size_t grids;
        int format;
        bool spherical;
    };
    for (const Case& c : {Case{"plain", {}, 2, 2, true}, Case{"nest", {"--second-nest"}, 3, 2, true},
                          Case{"esri", {"--format", "3"}, 2, 3, true}, Case{"beach", {"--beach"}, 1, 0, false}}) {
        const std::string folder = dir / c.folder;
        std::vector<std::string> args{"example", folder};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const Outcome o = RunVestra(args, dir);
        ASSERT_EQ(o.status, 0) << o.err;
        Scenario s;
        std::string error;
        ASSERT_TRUE(LoadScenarioFile(folder + "/scenario.toml", {}, &s, &error)) << error;
        EXPECT_EQ(s.grids.size(), c.grids) << folder;
        EXPECT_EQ(s.parameters.outputFormat, c.format) << folder;
        EXPECT_EQ(s.grids[0].gridType >= 2, c.spherical) << folder;
    }
    EXPECT_EQ(RunVestra({"example", "--format", "7", dir / "x"}, dir).status, 2);
    EXPECT_EQ(RunVestra({"example", "--beach", "--second-nest", dir / "x"}, dir).status, 2);
    EXPECT_EQ(RunVestra({"example", dir / "plain"}, dir).status, 1);  // never overwrites
    EXPECT_FALSE(fs::exists(dir / "x"));
}

// GDAL reads the highest-water-level grid of the Surfer text, Surfer binary and ESRI ASCII
// runs with the run's size and values; the netCDF run of the same scenario is the reference.
TEST(Wiring, GdalReadsTheGridOutputs) {
    GDALAllRegister();
    for (const char* driver : {"GSAG", "GSBG", "AAIGrid"})
        if (GDALGetDriverByName(driver) == nullptr) GTEST_SKIP() << "GDAL lacks the " << driver << " driver";
    ScratchFolder dir("gdal");
    WriteFloodingBeach(dir, "beach");
    auto run = [&dir](int format) {
        const std::string output = "out" + std::to_string(format);
        const Outcome o = RunVestra({"run", dir / "beach/scenario.toml", "--threads", "1", "--no-plots", "--quiet", "--set",
                                     "endTime=1", "--set", "outputFormat=" + std::to_string(format), "--set",
                                     "snapshotInterval=0"},
                                    dir);
        EXPECT_EQ(o.status, 0) << o.err;
        fs::rename(dir / "beach/output", dir / output);
        return dir / (output + "/level0/OUT-ETA-MAX");
    };
    std::vector<std::size_t> shape;
    const std::vector<float> reference = ReadNetCdfHa(run(2) + ".nc", &shape);
    ASSERT_EQ(reference.size(), static_cast<std::size_t>(kBeachColumns * kBeachRows));
    const auto top = std::max_element(reference.begin(), reference.end()) - reference.begin();
    ASSERT_GT(reference[static_cast<std::size_t>(top)], 1.0f);

    struct Case {
        int format;
        const char* suffix;
        double tolerance;  // relative: Surfer text keeps 7 decimals, ESRI 6 significant digits
        double shift;      // in cells: where GDAL puts the first node relative to Surfer's placement
    };
    // Surfer grids are node-registered: GDAL puts the outer pixel edges half a cell beyond the
    // first and last nodes. The ESRI header's xllcorner/yllcorner carry the first node itself, and
    // GDAL reads them as the outer corner: its extent is the Surfer one moved half a cell north-east.
    for (const Case& c : {Case{0, ".grd", 1e-7, 0.0}, Case{1, "_bin.grd", 0.0, 0.0}, Case{3, ".asc", 6e-6, 0.5}}) {
        SCOPED_TRACE(c.suffix);
        const std::string path = run(c.format) + c.suffix;
        GDALDatasetH data = GDALOpen(path.c_str(), GA_ReadOnly);
        ASSERT_NE(data, nullptr) << path;
        EXPECT_EQ(GDALGetRasterXSize(data), kBeachColumns);
        EXPECT_EQ(GDALGetRasterYSize(data), kBeachRows);
        double transform[6];
        ASSERT_EQ(GDALGetGeoTransform(data, transform), CE_None);
        const double half = 0.5 * kBeachCell, shift = c.shift * kBeachCell;
        EXPECT_NEAR(transform[0], 0.0 - half + shift, 1e-6);                           // west edge
        EXPECT_NEAR(transform[1], kBeachCell, 1e-9);
        EXPECT_NEAR(transform[3], 19500.0 + half + shift, 1e-6);                       // north edge
        EXPECT_NEAR(transform[5], -kBeachCell, 1e-9);
        std::vector<float> rows(static_cast<std::size_t>(kBeachColumns * kBeachRows));
        ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(data, 1), GF_Read, 0, 0, kBeachColumns, kBeachRows, rows.data(),
                               kBeachColumns, kBeachRows, GDT_Float32, 0, 0),
                  CE_None);
        GDALClose(data);
        // GDAL's first row is the northernmost.
        int mismatches = 0;
        for (int j = 0; j < kBeachRows; ++j)
            for (int i = 0; i < kBeachColumns; ++i) {
                const float expected = reference[static_cast<std::size_t>(j * kBeachColumns + i)];
                const float read = rows[static_cast<std::size_t>((kBeachRows - 1 - j) * kBeachColumns + i)];
                mismatches += std::fabs(static_cast<double>(read) - expected) > c.tolerance * (1.0 + std::fabs(expected));
            }
        EXPECT_EQ(mismatches, 0);
        EXPECT_NEAR(rows[static_cast<std::size_t>((kBeachRows - 1 - top / kBeachColumns) * kBeachColumns +
                                                  top % kBeachColumns)],
                    reference[static_cast<std::size_t>(top)], c.tolerance * 5.0);
    }
}
