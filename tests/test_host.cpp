// The vestra host: scenario files into the plug-in's records, their refusal of bad input,
// the example scenario, the progress display, and the built command end to end.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ExampleScenario.h"
#include "TestSupport.h"
#include "HostRun.h"
#include "ProgressBar.h"
#include "Scenario.h"

namespace fs = std::filesystem;

namespace {

// The smallest valid scenario body after the [parameters] table.
const std::string kOneGridOneSource =
    "[[grids]]\n"
    "cellSize = 100\n"
    "bathymetryFile = \"bathy.grd\"\n"
    "outputFolder = \"out\"\n"
    "[[sources]]\n"
    "etaFile = \"eta.grd\"\n"
    "insertionTime = 0\n";

// A folder holding the input files the scenarios below name.
struct ScenarioFolder : ScratchFolder {
    explicit ScenarioFolder(const std::string& name) : ScratchFolder(name) {
        Write("bathy.grd", "DSAA\n1 1\n0 0\n0 0\n1 1\n1\n");
        Write("eta.grd", "DSAA\n1 1\n0 0\n0 0\n0 0\n0\n");
        Write("f.toml", "");  // a fault file is only opened here; its content is read before a run
    }
};

}  // namespace

TEST(Scenario, EveryParameterReachesItsFieldFromTheFile) {
    ScenarioFolder dir("params");
    dir.Write("series/t-eta.txt", "0 0 0 0\n");
    dir.Write("cells.grd", "DSAA\n");
    // Every field at a value other than its default; integer literals for some reals.
    const std::string text =
        "[parameters]\n"
        "reservedA = 7\n"
        "threadCount = 3\n"
        "outputFormat = 2\n"
        "adaptiveTimeStepEnabled = true\n"
        "timeStep = 0.25\n"
        "startTime = 2\n"
        "endTime = 20.5\n"
        "snapshotInterval = 30\n"
        "historyEverySteps = 4\n"
        "reservedB = -5.5\n"
        "roughnessMode = 0\n"
        "manningCoefficient = 0.025\n"
        "roughnessFile = \"rough/n.grd\"\n"
        "snapshotMode1Enabled = true\n"
        "snapshotMode2Enabled = true\n"
        "snapshotMode0Enabled = true\n"
        "snapshotMode1Interval = 120.0\n"
        "snapshotMode2Interval = 240\n"
        "snapshotMode0Interval = 360.5\n"
        "landCutoffDepth = -12.5\n"
        "velocityLimit = 20\n"
        "flowDepthLimit = 0.05\n"
        "timeSeriesEnabled = true\n"
        "timeSeriesFile = \"series/t-eta.txt\"\n"
        "seriesFirstIndex = 3\n"
        "seriesLastIndex = 4000000000\n"
        "seriesMode = 2\n"
        "useEtaOnly = false\n"
        "cellFieldFromFile = true\n"
        "cellFieldFile = \"series/../cells.grd\"\n" +
        kOneGridOneSource;

    Scenario s;
    std::string error;
    ASSERT_TRUE(LoadScenarioText(text, dir.Path("scenario.toml"), {}, &s, &error)) << error;
    const SimulationParameters& p = s.parameters;
    EXPECT_EQ(p.reservedA, 7);
    EXPECT_EQ(p.threadCount, 3);
    EXPECT_EQ(p.outputFormat, 2);
    EXPECT_TRUE(p.adaptiveTimeStepEnabled);
    EXPECT_EQ(p.timeStep, 0.25f);
    EXPECT_EQ(p.startTime, 2.0f);
    EXPECT_EQ(p.endTime, 20.5f);
    EXPECT_EQ(p.snapshotInterval, 30.0f);
    EXPECT_EQ(p.historyEverySteps, 4);
    EXPECT_EQ(p.reservedB, -5.5f);
    EXPECT_EQ(p.roughnessMode, 0);
    EXPECT_EQ(p.manningCoefficient, 0.025f);
    EXPECT_EQ(p.roughnessFile, dir.Path("rough/n.grd"));  // relative to the scenario's folder
    EXPECT_TRUE(p.snapshotMode1Enabled);
    EXPECT_TRUE(p.snapshotMode2Enabled);
    EXPECT_TRUE(p.snapshotMode0Enabled);
    EXPECT_EQ(p.snapshotMode1Interval, 120.0f);
    EXPECT_EQ(p.snapshotMode2Interval, 240.0f);
    EXPECT_EQ(p.snapshotMode0Interval, 360.5f);
    EXPECT_EQ(p.landCutoffDepth, -12.5f);
    EXPECT_EQ(p.velocityLimit, 20.0f);
    EXPECT_EQ(p.flowDepthLimit, 0.05f);
    EXPECT_TRUE(p.timeSeriesEnabled);
    EXPECT_EQ(p.timeSeriesFile, dir.Path("series/t-eta.txt"));
    EXPECT_EQ(p.seriesFirstIndex, 3u);
    EXPECT_EQ(p.seriesLastIndex, 4000000000u);  // beyond int32: the field is unsigned
    EXPECT_EQ(p.seriesMode, 2);
    EXPECT_FALSE(p.useEtaOnly);
    EXPECT_TRUE(p.cellFieldFromFile);
    EXPECT_EQ(p.cellFieldFile, dir.Path("cells.grd"));

    // The text above names every settable field once, in record order.
    std::vector<std::string> named;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line) && line != "[[grids]]";)
        if (line.find(" = ") != std::string::npos) named.push_back(line.substr(0, line.find(" = ")));
    EXPECT_EQ(named, ParameterNames());
    EXPECT_EQ(ParameterNames().size(), 30u);

    // Omitted parameters keep the record's defaults.
    Scenario d;
    ASSERT_TRUE(LoadScenarioText(kOneGridOneSource, dir.Path("scenario.toml"), {}, &d, &error)) << error;
    const SimulationParameters defaults;
    EXPECT_EQ(d.parameters.timeStep, defaults.timeStep);
    EXPECT_EQ(d.parameters.historyEverySteps, defaults.historyEverySteps);
    EXPECT_EQ(d.parameters.useEtaOnly, defaults.useEtaOnly);
    EXPECT_EQ(d.parameters.outputFormat, defaults.outputFormat);
}

TEST(Scenario, GridsAndSourcesBecomeHostRecordsWithResolvedPaths) {
    ScenarioFolder dir("records");
    dir.Write("inner/bathy2.nc", "not read here");
    dir.Write("gauges.txt", "A 0 0\n");
    dir.Write("m.grd", "DSAA\n");
    const std::string text =
        "name = \"Two levels\"\n"
        "[[grids]]\n"
        "gridType = 3\n"
        "coriolis = true\n"
        "option = 15.5\n"
        "cellSize = 1852.5\n"
        "bathymetryFile = \"bathy.grd\"\n"
        "outputFolder = \"results/./level0//\"\n"
        "gaugeFile = \"gauges.txt\"\n"
        "[[grids]]\n"
        "gridType = 1\n"
        "option = 10\n"
        "bathymetryFile = \"inner/../inner/bathy2.nc\"\n"
        "outputFolder = \"" + dir.Path("abs/level1") + "\"\n"
        "[[sources]]\n"
        "etaFile = \"eta.grd\"\n"
        "fluxMFile = \"m.grd\"\n"
        "fluxNFile = \"\"\n"
        "insertionTime = 12.5\n"
        "[[sources]]\n"
        "etaFile = \"eta.grd\"\n"
        "insertionTime = 600\n";
    Scenario s;
    std::string error;
    // A relative scenario path: its folder still becomes absolute.
    const fs::path previous = fs::current_path();
    fs::current_path(dir.Path());
    const bool loaded = LoadScenarioText(text, "./scenario.toml", {}, &s, &error);
    fs::current_path(previous);
    ASSERT_TRUE(loaded) << error;

    EXPECT_EQ(s.name, "Two levels");
    ASSERT_EQ(s.grids.size(), 2u);
    EXPECT_EQ(s.grids[0].gridType, 3);
    EXPECT_TRUE(s.grids[0].coriolis);
    EXPECT_EQ(s.grids[0].optionNumber, 15.5f);
    EXPECT_EQ(s.grids[0].cellSize, static_cast<double>(1852.5f));
    EXPECT_EQ(s.grids[0].bathymetryFile, dir.Path("bathy.grd"));
    EXPECT_EQ(s.grids[0].outputFolder, dir.Path("results/level0") + "/");  // one separator, at the end
    EXPECT_EQ(s.grids[0].gaugeFile, dir.Path("gauges.txt"));
    EXPECT_EQ(s.grids[1].gridType, 1);
    EXPECT_FALSE(s.grids[1].coriolis);
    EXPECT_EQ(s.grids[1].optionNumber, 10.0f);
    EXPECT_EQ(s.grids[1].cellSize, 0.0);  // only the first grid's cell size is read
    EXPECT_EQ(s.grids[1].bathymetryFile, dir.Path("inner/bathy2.nc"));
    EXPECT_EQ(s.grids[1].outputFolder, dir.Path("abs/level1") + "/");
    EXPECT_EQ(s.grids[1].gaugeFile, "");
    ASSERT_EQ(s.sources.size(), 2u);
    EXPECT_EQ(s.sources[0].etaFile, dir.Path("eta.grd"));
    EXPECT_EQ(s.sources[0].fluxMFile, dir.Path("m.grd"));
    EXPECT_EQ(s.sources[0].fluxNFile, "");
    EXPECT_EQ(s.sources[0].insertionTime, 12.5f);
    EXPECT_EQ(s.sources[1].fluxMFile, "");
    EXPECT_EQ(s.sources[1].insertionTime, 600.0f);

    // Nothing is created while reading; CreateOutputFolders makes them, parents included.
    EXPECT_FALSE(fs::exists(dir.Path("results")));
    ASSERT_TRUE(CreateOutputFolders(s, &error)) << error;
    EXPECT_TRUE(fs::is_directory(dir.Path("results/level0")));
    EXPECT_TRUE(fs::is_directory(dir.Path("abs/level1")));
    // A file where a folder should be is reported, not ignored.
    dir.Write("blocked", "a file");
    s.grids[1].outputFolder = dir.Path("blocked/level1") + "/";
    EXPECT_FALSE(CreateOutputFolders(s, &error));
    EXPECT_NE(error.find("blocked/level1"), std::string::npos) << error;
}

TEST(Scenario, BadScenariosAreRefusedNamingFileLineAndKey) {
    ScenarioFolder dir("bad");
    const std::string grid = "[[grids]]\ncellSize = 100\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"out\"\n";
    const std::string source = "[[sources]]\netaFile = \"eta.grd\"\ninsertionTime = 0\n";
    struct Case {
        std::string text;
        std::vector<std::string> expected;  // every piece must appear in the message
    };
    const std::vector<Case> cases = {
        {"[parameters]\ntimeStpe = 0.5\n" + grid + source, {"scenario.toml:2:", "timeStpe", "unknown key", "did you mean timeStep"}},
        {"[parameters]\ntimeStep = \"fast\"\n" + grid + source, {":2:", "timeStep", "must be a number"}},
        {"[parameters]\n\nhistoryEverySteps = 0\n" + grid + source, {":3:", "historyEverySteps = 0", "at least 1"}},
        {"[parameters]\ntimeStep = 0\n" + grid + source, {":2:", "timeStep", "greater than 0"}},
        {"[parameters]\ntimeStep = 1e-50\n" + grid + source, {":2:", "timeStep", "greater than 0"}},
        {"[parameters]\ntimeStep = nan\n" + grid + source, {":2:", "timeStep", "finite"}},
        {"[parameters]\nvelocityLimit = 1e40\n" + grid + source, {":2:", "velocityLimit", "too large"}},
        {"[parameters]\noutputFormat = 4\n" + grid + source, {":2:", "outputFormat = 4", "ESRI"}},
        {"[parameters]\nseriesMode = 3\n" + grid + source, {":2:", "seriesMode"}},
        {"[parameters]\nseriesFirstIndex = -1\n" + grid + source, {":2:", "seriesFirstIndex", "negative"}},
        {"[parameters]\nthreadCount = 2.5\n" + grid + source, {":2:", "threadCount", "integer"}},
        {"[parameters]\nreservedA = 3000000000\n" + grid + source, {":2:", "reservedA", "does not fit"}},
        {"[parameters]\nuseEtaOnly = 1\n" + grid + source, {":2:", "useEtaOnly", "true or false"}},
        {"[parameters]\nstartTime = 30\nendTime = 10\n" + grid + source, {":3:", "endTime", "later than startTime"}},
        {"[parameters]\ntimeSeriesEnabled = true\n" + grid + source, {":2:", "timeSeriesEnabled", "timeSeriesFile"}},
        {"[parameters]\ncellFieldFromFile = true\ncellFieldFile = \"none.grd\"\n" + grid + source,
         {":3:", "cellFieldFile", "none.grd", "cannot be opened"}},
        {"[[grids]]\ngridType = 7\ncellSize = 1\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"o\"\n" + source,
         {":2:", "[[grids]] #1", "gridType = 7", "0 to 3"}},
        {grid + "\n[[grids]]\ngridType = 1\noutputFolder = \"o2\"\n" + source,
         {":6:", "[[grids]] #2", "missing required key bathymetryFile"}},
        {"[[grids]]\ncellSize = 1\nbathymetryFile = \"bathy.grd\"\n" + source, {":1:", "missing required key outputFolder"}},
        {"[[grids]]\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"o\"\n" + source, {":1:", "missing required key cellSize"}},
        {"[[grids]]\ncellSize = 0\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"o\"\n" + source, {":2:", "cellSize"}},
        {"[[grids]]\ncellSize = 1\nbathymetryFile = \"missing.grd\"\noutputFolder = \"o\"\n" + source,
         {":3:", "bathymetryFile", "missing.grd", "cannot be opened"}},
        {"[[grids]]\ncellSize = 1\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"o\"\ngaugeFile = \"g.txt\"\n" + source,
         {":5:", "gaugeFile", "g.txt"}},
        {"[[grids]]\ncellSize = 1\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"o\"\nspacing = 2\n" + source,
         {":5:", "spacing", "unknown key"}},
        {grid + "[[grids]]\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"out/\"\n" + source,
         {"outputFolder", "already used by [[grids]] #1"}},
        {grid + "[[sources]]\ninsertionTime = 0\n", {":5:", "[[sources]] #1", "missing required key etaFile", "faults"}},
        {grid + "[[sources]]\netaFile = \"eta.grd\"\nfaults = \"f.toml\"\ninsertionTime = 0\n",
         {":5:", "[[sources]] #1", "etaFile and faults"}},
        {grid + "[[sources]]\nfaults = \"f.toml\"\nfluxMFile = \"eta.grd\"\ninsertionTime = 0\n",
         {":5:", "[[sources]] #1", "fluxMFile cannot go with faults"}},
        {grid + "[[sources]]\nfaults = \"none.toml\"\ninsertionTime = 0\n", {":6:", "faults", "none.toml", "cannot be opened"}},
        {grid + "[[sources]]\nfault = \"f.toml\"\ninsertionTime = 0\n", {":6:", "fault", "did you mean faults"}},
        {grid + "[[sources]]\netaFile = \"eta.grd\"\n", {":5:", "missing required key insertionTime"}},
        {grid + "[[sources]]\netaFile = \"eta.grd\"\ninsertionTime = -1\n", {":7:", "insertionTime"}},
        {grid + "[[sources]]\netaFile = \"eta.grd\"\nfluxNFile = \"n.grd\"\ninsertionTime = 0\n", {":7:", "fluxNFile", "n.grd"}},
        {"[parameters]\ntimeStep = 1\n" + source, {"scenario.toml", "no [[grids]]"}},
        {grid, {"scenario.toml", "no [[sources]]"}},
        {"[grids]\ncellSize = 1\n" + source, {":1:", "[[grids]]"}},
        {"title = \"x\"\n" + grid + source, {":1:", "title", "unknown key"}},
        {"[parameters]\ntimeStep = = 1\n" + grid + source, {"scenario.toml:2:", "TOML syntax error"}},
        {"name = 3\n" + grid + source, {":1:", "name"}},
    };
    for (const Case& c : cases) {
        Scenario s;
        std::string error;
        EXPECT_FALSE(LoadScenarioText(c.text, dir.Path("scenario.toml"), {}, &s, &error)) << c.text;
        for (const std::string& piece : c.expected)
            EXPECT_NE(error.find(piece), std::string::npos) << "message: " << error << "\nwanted: " << piece;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;  // one line
        EXPECT_TRUE(s.grids.empty());  // the caller's scenario is left untouched
    }
    // The same file name is given in every message, also for an unreadable file.
    Scenario s;
    std::string error;
    EXPECT_FALSE(LoadScenarioFile(dir.Path("absent.toml"), {}, &s, &error));
    EXPECT_NE(error.find("absent.toml"), std::string::npos) << error;
    EXPECT_FALSE(LoadScenarioFile(dir.Path(), {}, &s, &error));
    EXPECT_NE(error.find("folder"), std::string::npos) << error;
}

TEST(Scenario, CommandLineSettingsFollowTheFileWithTheSameChecks) {
    ScenarioFolder dir("set");
    const std::string text = "[parameters]\ntimeStep = 0.5\nendTime = 20\n" + kOneGridOneSource;
    Scenario s;
    std::string error;
    ASSERT_TRUE(LoadScenarioText(text, dir.Path("scenario.toml"),
                                 {"timeStep=0.25", "threadCount=2", "useEtaOnly=false", "roughnessFile=n.grd",
                                  "cellFieldFile=\"quoted name.grd\"", "outputFormat = 3"},
                                 &s, &error))
        << error;
    EXPECT_EQ(s.parameters.timeStep, 0.25f);  // the command line wins over the file
    EXPECT_EQ(s.parameters.endTime, 20.0f);
    EXPECT_EQ(s.parameters.threadCount, 2);
    EXPECT_FALSE(s.parameters.useEtaOnly);
    EXPECT_EQ(s.parameters.outputFormat, 3);
    // Paths on the command line start at the current folder, not the scenario's.
    EXPECT_EQ(s.parameters.roughnessFile, (fs::current_path() / "n.grd").lexically_normal().string());
    EXPECT_EQ(s.parameters.cellFieldFile, (fs::current_path() / "quoted name.grd").lexically_normal().string());

    const std::vector<std::pair<std::string, std::string>> bad = {
        {"historyEverySteps=0", "at least 1"},
        {"timeStep=-1", "greater than 0"},
        {"gridType=1", "unknown parameter gridType"},
        {"timeStep", "NAME=VALUE"},
        {"timeStep=fast", "not a valid value"},
        {"timeStep=1\nendTime = 3", "not a single value"},
        {"outputFormat=2.0", "integer"},
        {"endTime=-1", "later than startTime"},  // checked with the file's values
    };
    for (const auto& [setting, reason] : bad) {
        Scenario t;
        EXPECT_FALSE(LoadScenarioText(text, dir.Path("scenario.toml"), {setting}, &t, &error)) << setting;
        EXPECT_NE(error.find("--set " + setting), std::string::npos) << error;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
    // A start moved past the file's end names both places.
    Scenario t;
    EXPECT_FALSE(LoadScenarioText(text, dir.Path("scenario.toml"), {"startTime=30"}, &t, &error));
    EXPECT_NE(error.find("scenario.toml:3: [parameters] endTime = 20"), std::string::npos) << error;
    EXPECT_NE(error.find("--set startTime=30"), std::string::npos) << error;

    SimulationParameters p;
    EXPECT_TRUE(ApplyParameterSetting("seriesLastIndex=4294967295", "/base", &p, &error)) << error;
    EXPECT_EQ(p.seriesLastIndex, 4294967295u);
    EXPECT_FALSE(ApplyParameterSetting("seriesLastIndex=4294967296", "/base", &p, &error));
    EXPECT_TRUE(ApplyParameterSetting("timeSeriesFile=data/t.txt", "/base", &p, &error)) << error;
    EXPECT_EQ(p.timeSeriesFile, "/base/data/t.txt");
}

TEST(ExampleScenario, WritesAValidScenarioWithConsistentGrids) {
    ScratchFolder dir("example");
    const std::string folder = dir.Path("nested/example");
    std::string error;
    ASSERT_TRUE(WriteExampleScenario(folder, &error)) << error;

    Scenario s;
    ASSERT_TRUE(LoadScenarioFile(folder + "/scenario.toml", {}, &s, &error)) << error;
    EXPECT_EQ(s.parameters.outputFormat, 0);
    ASSERT_EQ(s.grids.size(), 1u);
    EXPECT_EQ(s.grids[0].gridType, 0);
    EXPECT_EQ(s.grids[0].outputFolder, folder + "/output/level0/");
    ASSERT_EQ(s.sources.size(), 1u);
    // Stable: the step is well under the gravity-wave limit dx / sqrt(g h) of the deepest cell.
    EXPECT_LT(s.parameters.timeStep, s.grids[0].cellSize / std::sqrt(9.8 * 200.0));

    // Read the two grids back as plain Surfer text: header, count, values.
    auto readGrid = [](const std::string& path, int* nx, int* ny, double header[6], std::vector<double>* values) {
        std::ifstream in(path);
        std::string token;
        in >> token >> *nx >> *ny;
        for (int k = 0; k < 6; ++k) in >> header[k];
        values->clear();
        for (double v; in >> v;) values->push_back(v);
        return token;
    };
    int nx = 0, ny = 0;
    double h[6];
    std::vector<double> depth, eta;
    EXPECT_EQ(readGrid(s.grids[0].bathymetryFile, &nx, &ny, h, &depth), "DSAA");
    EXPECT_EQ(nx, 60);
    EXPECT_EQ(ny, 40);
    ASSERT_EQ(depth.size(), 2400u);
    // Node spacing of the header equals the grid's cell size.
    EXPECT_DOUBLE_EQ((h[1] - h[0]) / (nx - 1), s.grids[0].cellSize);
    EXPECT_DOUBLE_EQ((h[3] - h[2]) / (ny - 1), s.grids[0].cellSize);
    EXPECT_DOUBLE_EQ(depth.front(), 200.0);  // deep water in the west
    EXPECT_DOUBLE_EQ(depth.back(), -20.0);   // dry land in the east
    EXPECT_DOUBLE_EQ(h[4], -20.0);
    EXPECT_DOUBLE_EQ(h[5], 200.0);

    int enx = 0, eny = 0;
    double eh[6];
    EXPECT_EQ(readGrid(s.sources[0].etaFile, &enx, &eny, eh, &eta), "DSAA");
    EXPECT_EQ(enx, nx);  // the source covers the outer grid exactly
    EXPECT_EQ(eny, ny);
    ASSERT_EQ(eta.size(), 2400u);
    // Hump centre at (7500 m, 9750 m): nodes i = 15 and j = 19, 20 lie 250 m from it, so the
    // peak is exp(-250^2 / (2 * 2000^2)) of the 1 m amplitude.
    const double peak = std::exp(-250.0 * 250.0 / (2.0 * 2000.0 * 2000.0));
    EXPECT_NEAR(eta[19 * 60 + 15], peak, 1e-4);
    EXPECT_NEAR(eta[20 * 60 + 15], peak, 1e-4);
    EXPECT_NEAR(*std::max_element(eta.begin(), eta.end()), peak, 1e-4);
    for (size_t k = 0; k < eta.size(); ++k)
        if (depth[k] <= 0.0) {
            EXPECT_EQ(eta[k], 0.0) << k;  // no water above dry land
        }

    // Every gauge lies inside the grid.
    std::ifstream gauges(s.grids[0].gaugeFile);
    int count = 0;
    std::string name;
    for (double x, y; gauges >> name >> x >> y; ++count) {
        EXPECT_EQ(name.find('_'), std::string::npos);
        EXPECT_TRUE(x >= h[0] && x <= h[1] && y >= h[2] && y <= h[3]) << name;
    }
    EXPECT_GE(count, 1);

    // A second example into the same folder refuses to overwrite it.
    const std::string before = ReadFile(folder + "/scenario.toml");
    EXPECT_FALSE(WriteExampleScenario(folder, &error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(folder + "/scenario.toml"), before);
}

TEST(ProgressDisplay, PlainLinesAtEveryTenthAndRunState) {
    auto run = [](bool quiet, int32_t range, int32_t advance) {
        std::FILE* out = std::tmpfile();
        ProgressDisplay display(out, false, quiet);
        {
            ProgressReporter reporter(&display);
            reporter.SetRange(0);
            reporter.StepDone(0);  // before Init: nothing to show
            reporter.InitFinished(0);
            reporter.SetRange(range);
            for (int32_t i = 0; i <= range; i += advance) reporter.StepDone(i);
            reporter.RunCompleted();
        }
        EXPECT_TRUE(display.completed());
        EXPECT_EQ(display.initCode(), 0);
        EXPECT_TRUE(display.WaitReleased(std::chrono::milliseconds(0)));
        std::rewind(out);
        std::vector<std::string> percents;
        char line[512];
        while (std::fgets(line, sizeof line, out) != nullptr) {
            EXPECT_NE(std::strstr(line, "steps/s"), nullptr) << line;
            EXPECT_NE(std::strstr(line, "remaining"), nullptr) << line;
            int percent = -1;
            EXPECT_EQ(std::sscanf(line, "vestra: %d%%", &percent), 1) << line;
            percents.push_back(std::to_string(percent));
        }
        std::fclose(out);
        return percents;
    };
    EXPECT_EQ(run(false, 6000, 1), (std::vector<std::string>{"10", "20", "30", "40", "50", "60", "70", "80", "90", "100"}));
    // Advances of more than one step cross several tenths at once: one line each time.
    EXPECT_EQ(run(false, 100, 25), (std::vector<std::string>{"25", "50", "75", "100"}));
    EXPECT_EQ(run(false, 0, 1), (std::vector<std::string>{"100"}));
    EXPECT_TRUE(run(true, 100, 1).empty());

    ProgressDisplay failed(stderr, false, true);
    {
        ProgressReporter reporter(&failed);
        EXPECT_TRUE(failed.reporterCreated());
        EXPECT_FALSE(failed.WaitReleased(std::chrono::milliseconds(1)));
        reporter.SetRange(0);
        reporter.InitFinished(30);
    }
    EXPECT_TRUE(failed.WaitReleased(std::chrono::milliseconds(0)));
    EXPECT_FALSE(failed.completed());
    EXPECT_EQ(failed.initCode(), 30);

    EXPECT_EQ(ProgressDisplay::FormatDuration(0.0), "0:00");
    EXPECT_EQ(ProgressDisplay::FormatDuration(59.4), "0:59");
    EXPECT_EQ(ProgressDisplay::FormatDuration(61.0), "1:01");
    EXPECT_EQ(ProgressDisplay::FormatDuration(3661.0), "1:01:01");
    EXPECT_EQ(ProgressDisplay::FormatDuration(NAN), "--:--");
    EXPECT_EQ(InitFailureMessage(30).find('\n'), std::string::npos);
    EXPECT_NE(InitFailureMessage(30).find("30 (a bathymetry file cannot be opened)"), std::string::npos);
}


TEST(VestraCommand, ExampleRunsAndBadInputGivesOneLineAndNoRun) {
    ScratchFolder dir("command");
    Outcome o = RunVestra({"example", "--beach", dir.Path("ex")}, dir);
    ASSERT_EQ(o.status, 0) << o.err;
    o = RunVestra({"run", dir.Path("ex/scenario.toml"), "--quiet", "--threads", "1", "--no-plots"}, dir);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("Starting Simulation...\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Simulation Took "), std::string::npos) << o.out;
    EXPECT_EQ(o.err, "");  // --quiet: no progress
    EXPECT_EQ(o.out.find("Run summary"), std::string::npos) << o.out;  // and no summary
    Scenario s0;
    std::string error;
    ASSERT_TRUE(LoadScenarioFile(dir.Path("ex/scenario.toml"), {}, &s0, &error)) << error;
    for (const auto& g : s0.grids) EXPECT_TRUE(fs::is_directory(g.outputFolder)) << g.outputFolder;

    // An invalid value: exit 1, one line naming file, line and key, nothing run or created.
    const std::string brokenPath = dir.Write("ex/broken.toml",
                                             "[parameters]\n"
                                             "timeStep = 1.0\n"
                                             "historyEverySteps = 0\n"
                                             "[[grids]]\n"
                                             "cellSize = 500.0\n"
                                             "bathymetryFile = \"" + s0.grids[0].bathymetryFile + "\"\n"
                                             "outputFolder = \"fresh/level0\"\n"
                                             "[[sources]]\n"
                                             "etaFile = \"" + s0.sources[0].etaFile + "\"\n"
                                             "insertionTime = 0\n");
    o = RunVestra({"run", brokenPath}, dir);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(CountLines(o.err), 1u) << o.err;
    EXPECT_NE(o.err.find("broken.toml:3:"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("historyEverySteps = 0"), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_FALSE(fs::exists(dir.Path("ex/fresh")));

    // A command-line setting is checked the same way.
    o = RunVestra({"run", dir.Path("ex/scenario.toml"), "--set", "outputFormat=9"}, dir);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(CountLines(o.err), 1u) << o.err;
    EXPECT_NE(o.err.find("--set outputFormat=9"), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");

    // A plug-in that cannot be loaded is reported, not a crash.
    o = RunVestra({"run", dir.Path("ex/scenario.toml"), "--plugin", dir.Path("nothing.so")}, dir);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("nothing.so"), std::string::npos) << o.err;

    // Help describes every option; a bad command line exits 2.
    o = RunVestra({"run", "--help"}, dir);
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

TEST(VestraCommand, CtrlCStopsTheRunAndFinishStillRuns) {
    ScratchFolder dir("interrupt");
    ASSERT_EQ(RunVestra({"example", "--beach", dir.Path("ex")}, dir).status, 0);
    // A run far too long to finish: it must end through the interrupt.
    const Outcome o = RunVestra({"run", dir.Path("ex/scenario.toml"), "--threads", "1", "--set", "endTime=100000", "--set",
                                 "historyEverySteps=1000000", "--set", "snapshotInterval=0", "--no-plots"},
                                dir, {}, "Starting Simulation...", std::chrono::milliseconds(100));
    EXPECT_EQ(o.status, 130) << o.err;
    EXPECT_NE(o.out.find("Simulation Stopped after "), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("Simulation Took"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("stopping"), std::string::npos) << o.err;
}
