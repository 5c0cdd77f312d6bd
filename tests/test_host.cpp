// The vestra host in-process: scenario files into the plug-in's records, their refusal of bad
// input, command-line settings, the beach example's files and the progress display. The
// built command itself is run in test_wiring.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ExampleScenario.h"
#include "HostRun.h"
#include "ProgressBar.h"
#include "Scenario.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// The smallest valid scenario body after the [parameters] table.
const std::string kOneGridOneSource =
    "[[grids]]\ncellSize = 100\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"out\"\n"
    "[[sources]]\netaFile = \"eta.grd\"\ninsertionTime = 0\n";

// A folder holding the input files the scenarios below name.
struct ScenarioFolder : ScratchFolder {
    explicit ScenarioFolder(const std::string& name) : ScratchFolder(name) {
        Write("bathy.grd", "DSAA\n1 1\n0 0\n0 0\n1 1\n1\n");
        Write("eta.grd", "DSAA\n1 1\n0 0\n0 0\n0 0\n0\n");
        Write("f.toml", "");  // a fault file is only opened here; its content is read before a run
    }
};

template <typename T>
std::string Show(const T& value) {
    std::ostringstream text;
    text << std::boolalpha << value;
    return text.str();
}

}  // namespace

TEST(Scenario, EveryParameterReachesItsFieldAndOmittedOnesKeepTheirDefaults) {
    ScenarioFolder dir("params");
    dir.Write("series/t-eta.txt", "0 0 0 0\n");
    dir.Write("cells.grd", "DSAA\n");
    using Get = std::function<std::string(const SimulationParameters&)>;
#define FIELD(name) [](const SimulationParameters& p) { return Show(p.name); }
    struct Field {
        std::string line;  // "name = value", every field away from its default, in record order
        Get get;
        std::string want;
    };
    const std::vector<Field> fields = {
        {"reservedA = 7", FIELD(reservedA), "7"},
        {"threadCount = 3", FIELD(threadCount), "3"},
        {"outputFormat = 2", FIELD(outputFormat), "2"},
        {"adaptiveTimeStepEnabled = true", FIELD(adaptiveTimeStepEnabled), "true"},
        {"timeStep = 0.25", FIELD(timeStep), "0.25"},
        {"startTime = 2", FIELD(startTime), "2"},  // integer literals for reals
        {"endTime = 20.5", FIELD(endTime), "20.5"},
        {"snapshotInterval = 30", FIELD(snapshotInterval), "30"},
        {"historyEverySteps = 4", FIELD(historyEverySteps), "4"},
        {"reservedB = -5.5", FIELD(reservedB), "-5.5"},
        {"roughnessMode = 0", FIELD(roughnessMode), "0"},
        {"manningCoefficient = 0.025", FIELD(manningCoefficient), "0.025"},
        {"roughnessFile = \"rough/n.grd\"", FIELD(roughnessFile), dir.Path("rough/n.grd")},  // from the file's folder
        {"snapshotMode1Enabled = true", FIELD(snapshotMode1Enabled), "true"},
        {"snapshotMode2Enabled = true", FIELD(snapshotMode2Enabled), "true"},
        {"snapshotMode0Enabled = true", FIELD(snapshotMode0Enabled), "true"},
        {"snapshotMode1Interval = 120.0", FIELD(snapshotMode1Interval), "120"},
        {"snapshotMode2Interval = 240", FIELD(snapshotMode2Interval), "240"},
        {"snapshotMode0Interval = 360.5", FIELD(snapshotMode0Interval), "360.5"},
        {"landCutoffDepth = -12.5", FIELD(landCutoffDepth), "-12.5"},
        {"velocityLimit = 20", FIELD(velocityLimit), "20"},
        {"flowDepthLimit = 0.05", FIELD(flowDepthLimit), "0.05"},
        {"timeSeriesEnabled = true", FIELD(timeSeriesEnabled), "true"},
        {"timeSeriesFile = \"series/t-eta.txt\"", FIELD(timeSeriesFile), dir.Path("series/t-eta.txt")},
        {"seriesFirstIndex = 3", FIELD(seriesFirstIndex), "3"},
        {"seriesLastIndex = 4000000000", FIELD(seriesLastIndex), "4000000000"},  // beyond int32: unsigned
        {"seriesMode = 2", FIELD(seriesMode), "2"},
        {"useEtaOnly = false", FIELD(useEtaOnly), "false"},
        {"cellFieldFromFile = true", FIELD(cellFieldFromFile), "true"},
        {"cellFieldFile = \"series/../cells.grd\"", FIELD(cellFieldFile), dir.Path("cells.grd")},
    };
#undef FIELD
    std::string text = "[parameters]\n";
    std::vector<std::string> names;
    for (const Field& f : fields) {
        text += f.line + "\n";
        names.push_back(f.line.substr(0, f.line.find(' ')));
    }
    EXPECT_EQ(names, ParameterNames());  // the table names every settable field once, in order

    Scenario set, omitted;
    std::string error;
    ASSERT_TRUE(LoadScenarioText(text + kOneGridOneSource, dir.Path("scenario.toml"), {}, &set, &error)) << error;
    ASSERT_TRUE(LoadScenarioText(kOneGridOneSource, dir.Path("scenario.toml"), {}, &omitted, &error)) << error;
    const SimulationParameters defaults;
    for (const Field& f : fields) {
        EXPECT_EQ(f.get(set.parameters), f.want) << f.line;
        EXPECT_EQ(f.get(omitted.parameters), f.get(defaults)) << f.line;
    }
}

TEST(Scenario, GridsAndSourcesBecomeHostRecordsWithResolvedPaths) {
    ScenarioFolder dir("records");
    dir.Write("inner/bathy2.nc", "not read here");
    dir.Write("gauges.txt", "A 0 0\n");
    dir.Write("m.grd", "DSAA\n");
    const std::string text =
        "name = \"Two levels\"\n"
        "[[grids]]\ngridType = 3\ncoriolis = true\noption = 15.5\ncellSize = 1852.5\n"
        "bathymetryFile = \"bathy.grd\"\noutputFolder = \"results/./level0//\"\ngaugeFile = \"gauges.txt\"\n"
        "[[grids]]\ngridType = 1\noption = 10\nbathymetryFile = \"inner/../inner/bathy2.nc\"\n"
        "outputFolder = \"" + dir.Path("abs/level1") + "\"\n"
        "[[sources]]\netaFile = \"eta.grd\"\nfluxMFile = \"m.grd\"\nfluxNFile = \"\"\ninsertionTime = 12.5\n"
        "[[sources]]\netaFile = \"eta.grd\"\ninsertionTime = 600\n";
    Scenario s;
    std::string error;
    // A relative scenario path: its folder still becomes absolute.
    const fs::path previous = fs::current_path();
    fs::current_path(dir.Path());
    const bool loaded = LoadScenarioText(text, "./scenario.toml", {}, &s, &error);
    fs::current_path(previous);
    ASSERT_TRUE(loaded) << error;

    // Every field of every record, paths relative to the scenario's folder, output folders
    // with one separator at the end, and only the first grid's cell size.
    auto grid = [&dir](const HostGridRecord& g) {
        return Show(g.gridType) + " " + Show(g.coriolis) + " " + Show(g.optionNumber) + " " + Show(g.cellSize) + " " +
               g.bathymetryFile.substr(dir.Slash().size()) + " " + g.outputFolder + " " + g.gaugeFile;
    };
    auto source = [](const SourceEvent& e) { return e.etaFile + " " + e.fluxMFile + " " + e.fluxNFile + " " + Show(e.insertionTime); };
    EXPECT_EQ(s.name, "Two levels");
    ASSERT_TRUE(s.grids.size() == 2u && s.sources.size() == 2u);
    EXPECT_EQ(grid(s.grids[0]), "3 true 15.5 1852.5 bathy.grd " + dir.Path("results/level0/") + " " + dir.Path("gauges.txt"));
    EXPECT_EQ(grid(s.grids[1]), "1 false 10 0 inner/bathy2.nc " + dir.Path("abs/level1/") + " ");
    EXPECT_EQ(source(s.sources[0]), dir.Path("eta.grd") + " " + dir.Path("m.grd") + "  12.5");
    EXPECT_EQ(source(s.sources[1]), dir.Path("eta.grd") + "   600");

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
    const std::string body = grid + source, g1 = "[[grids]]\ncellSize = 1\nbathymetryFile = \"bathy.grd\"\n";
    struct Case {
        std::string text;
        std::vector<std::string> expected;  // every piece must appear in the message
    };
    const std::vector<Case> cases = {
        {"[parameters]\ntimeStpe = 0.5\n" + body, {"scenario.toml:2:", "timeStpe", "unknown key", "did you mean timeStep"}},
        {"[parameters]\ntimeStep = \"fast\"\n" + body, {":2:", "timeStep", "must be a number"}},
        {"[parameters]\n\nhistoryEverySteps = 0\n" + body, {":3:", "historyEverySteps = 0", "at least 1"}},
        {"[parameters]\ntimeStep = 0\n" + body, {":2:", "timeStep", "greater than 0"}},
        {"[parameters]\ntimeStep = 1e-50\n" + body, {":2:", "timeStep", "greater than 0"}},
        {"[parameters]\ntimeStep = nan\n" + body, {":2:", "timeStep", "finite"}},
        {"[parameters]\nvelocityLimit = 1e40\n" + body, {":2:", "velocityLimit", "too large"}},
        {"[parameters]\noutputFormat = 4\n" + body, {":2:", "outputFormat = 4", "ESRI"}},
        {"[parameters]\nseriesMode = 3\n" + body, {":2:", "seriesMode"}},
        {"[parameters]\nseriesFirstIndex = -1\n" + body, {":2:", "seriesFirstIndex", "negative"}},
        {"[parameters]\nthreadCount = 2.5\n" + body, {":2:", "threadCount", "integer"}},
        {"[parameters]\nreservedA = 3000000000\n" + body, {":2:", "reservedA", "does not fit"}},
        {"[parameters]\nuseEtaOnly = 1\n" + body, {":2:", "useEtaOnly", "true or false"}},
        {"[parameters]\nstartTime = 30\nendTime = 10\n" + body, {":3:", "endTime", "later than startTime"}},
        {"[parameters]\ntimeSeriesEnabled = true\n" + body, {":2:", "timeSeriesEnabled", "timeSeriesFile"}},
        {"[parameters]\ncellFieldFromFile = true\ncellFieldFile = \"none.grd\"\n" + body,
         {":3:", "cellFieldFile", "none.grd", "cannot be opened"}},
        {"[[grids]]\ngridType = 7\ncellSize = 1\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"o\"\n" + source,
         {":2:", "[[grids]] #1", "gridType = 7", "0 to 3"}},
        {grid + "\n[[grids]]\ngridType = 1\noutputFolder = \"o2\"\n" + source,
         {":6:", "[[grids]] #2", "missing required key bathymetryFile"}},
        {g1 + source, {":1:", "missing required key outputFolder"}},
        {"[[grids]]\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"o\"\n" + source, {":1:", "missing required key cellSize"}},
        {"[[grids]]\ncellSize = 0\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"o\"\n" + source, {":2:", "cellSize"}},
        {"[[grids]]\ncellSize = 1\nbathymetryFile = \"missing.grd\"\noutputFolder = \"o\"\n" + source,
         {":3:", "bathymetryFile", "missing.grd", "cannot be opened"}},
        {g1 + "outputFolder = \"o\"\ngaugeFile = \"g.txt\"\n" + source, {":5:", "gaugeFile", "g.txt"}},
        {g1 + "outputFolder = \"o\"\nspacing = 2\n" + source, {":5:", "spacing", "unknown key"}},
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
        {"title = \"x\"\n" + body, {":1:", "title", "unknown key"}},
        {"[parameters]\ntimeStep = = 1\n" + body, {"scenario.toml:2:", "TOML syntax error"}},
        {"name = 3\n" + body, {":1:", "name"}},
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
    // An unreadable file is named too.
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
        {"historyEverySteps=0", "at least 1"},      {"timeStep=-1", "greater than 0"},
        {"gridType=1", "unknown parameter gridType"}, {"timeStep", "NAME=VALUE"},
        {"timeStep=fast", "not a valid value"},     {"timeStep=1\nendTime = 3", "not a single value"},
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

TEST(ExampleScenario, BeachIsValidStableAndNeverOverwritten) {
    ScratchFolder dir("example");
    const std::string folder = dir.Path("nested/example");
    std::string error;
    ASSERT_TRUE(WriteExampleScenario(folder, &error)) << error;
    Scenario s;
    ASSERT_TRUE(LoadScenarioFile(folder + "/scenario.toml", {}, &s, &error)) << error;
    ASSERT_TRUE(s.grids.size() == 1 && s.sources.size() == 1);
    EXPECT_EQ(s.parameters.outputFormat, 0);
    EXPECT_EQ(s.grids[0].gridType, 0);
    EXPECT_EQ(s.grids[0].outputFolder, folder + "/output/level0/");
    // Stable: the step is well under the gravity-wave limit dx / sqrt(g h) of the deepest cell.
    EXPECT_LT(s.parameters.timeStep, s.grids[0].cellSize / std::sqrt(9.8 * 200.0));

    const SurferGrid depth = ReadSurferText(s.grids[0].bathymetryFile), eta = ReadSurferText(s.sources[0].etaFile);
    ASSERT_TRUE(depth.nx == 60 && depth.ny == 40 && depth.z.size() == 2400u);
    EXPECT_DOUBLE_EQ(depth.dx(), s.grids[0].cellSize);  // node spacing is the cell size
    EXPECT_DOUBLE_EQ(depth.dy(), s.grids[0].cellSize);
    EXPECT_EQ(depth.z.front(), 200.0);  // deep water in the west
    EXPECT_EQ(depth.z.back(), -20.0);   // dry land in the east
    // The source covers the grid exactly; the header carries the depth range.
    ASSERT_TRUE(eta.nx == depth.nx && eta.ny == depth.ny && eta.xMin == depth.xMin && eta.yMax == depth.yMax);
    std::istringstream header(ReadFile(s.grids[0].bathymetryFile));  // DSAA nx ny x0 x1 y0 y1 z0 z1
    std::vector<std::string> words{std::istream_iterator<std::string>(header), {}};
    EXPECT_TRUE(std::stod(words[7]) == -20.0 && std::stod(words[8]) == 200.0) << words[7] << " " << words[8];
    // Hump centre at (7500 m, 9750 m): nodes i = 15 and j = 19, 20 lie 250 m from it, so the
    // peak is exp(-250^2 / (2 * 2000^2)) of the 1 m amplitude.
    const double peak = std::exp(-250.0 * 250.0 / (2.0 * 2000.0 * 2000.0));
    EXPECT_NEAR(eta.At(15, 19), peak, 1e-4);
    EXPECT_NEAR(eta.At(15, 20), peak, 1e-4);
    EXPECT_NEAR(*std::max_element(eta.z.begin(), eta.z.end()), peak, 1e-4);
    for (std::size_t k = 0; k < eta.z.size(); ++k)
        if (depth.z[k] <= 0.0) {
            EXPECT_EQ(eta.z[k], 0.0) << k;  // no water above dry land
        }

    // Every gauge has a plain name and lies inside the grid.
    std::istringstream gauges(ReadFile(s.grids[0].gaugeFile));
    int count = 0;
    std::string name;
    for (double x, y; gauges >> name >> x >> y; ++count) {
        EXPECT_EQ(name.find('_'), std::string::npos);
        EXPECT_TRUE(depth.Contains(x, y)) << name;
    }
    EXPECT_GE(count, 1);

    // A second example into the same folder refuses to overwrite it.
    const std::string before = ReadFile(folder + "/scenario.toml");
    EXPECT_FALSE(WriteExampleScenario(folder, &error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(folder + "/scenario.toml"), before);
}

TEST(ProgressDisplay, PlainLinesAtEveryTenthAndRunState) {
    // The percentages printed for a run of `range` steps reported `advance` at a time.
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
        std::vector<int> percents;
        char line[512];
        while (std::fgets(line, sizeof line, out) != nullptr) {
            EXPECT_TRUE(std::strstr(line, "steps/s") && std::strstr(line, "remaining")) << line;
            int percent = -1;
            EXPECT_EQ(std::sscanf(line, "vestra: %d%%", &percent), 1) << line;
            percents.push_back(percent);
        }
        std::fclose(out);
        return percents;
    };
    EXPECT_EQ(run(false, 6000, 1), (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
    // Advances of more than one step cross several tenths at once: one line each time.
    EXPECT_EQ(run(false, 100, 25), (std::vector<int>{25, 50, 75, 100}));
    EXPECT_EQ(run(false, 0, 1), (std::vector<int>{100}));
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

    const std::vector<std::pair<double, std::string>> durations = {
        {0.0, "0:00"}, {59.4, "0:59"}, {61.0, "1:01"}, {3661.0, "1:01:01"}, {NAN, "--:--"}};
    for (const auto& [seconds, text] : durations) EXPECT_EQ(ProgressDisplay::FormatDuration(seconds), text);
    EXPECT_EQ(InitFailureMessage(30).find('\n'), std::string::npos);
    EXPECT_NE(InitFailureMessage(30).find("30 (a bathymetry file cannot be opened)"), std::string::npos);
}
