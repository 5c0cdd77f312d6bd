// The vestra host in-process: scenario files into the plug-in's records, refusals of bad input,
// command-line settings, the beach example and the progress display (the command: test_wiring).
#include <chrono>
#include <cstring>

#include "ExampleScenario.h"
#include "HostRun.h"
#include "ProgressBar.h"
#include "Scenario.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// The smallest valid scenario body after the [parameters] table.
const std::string kGrid = "[[grids]]\ncellSize = 100\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"out\"\n";
const std::string kSource = "[[sources]]\netaFile = \"eta.grd\"\ninsertionTime = 0\n";

// A folder holding the input files the scenarios below name.
struct ScenarioFolder : ScratchFolder {
    ScenarioFolder() {
        Write("bathy.grd", "DSAA\n1 1\n0 0\n0 0\n1 1\n1\n");
        Write("eta.grd", "DSAA\n1 1\n0 0\n0 0\n0 0\n0\n");
        Write("f.toml", "");  // a fault file is only opened here; its content is read before a run
    }
    bool Load(const std::string& text, Scenario* s, std::string* error, const std::vector<std::string>& sets = {}) {
        return LoadScenarioText(text, Path("scenario.toml"), sets, s, error);
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
    ScenarioFolder dir;
    dir.Write("series/t-eta.txt", "0 0 0 0\n");
    dir.Write("cells.grd", "DSAA\n");
    // Every field away from its default: integer literals for reals, paths from the scenario's folder.
    const std::vector<std::string> lines = {
        "reservedA = 7", "threadCount = 3", "outputFormat = 2", "adaptiveTimeStepEnabled = true", "timeStep = 0.25",
        "startTime = 2", "endTime = 20.5", "snapshotInterval = 30", "historyEverySteps = 4", "reservedB = -5.5",
        "roughnessMode = 0", "manningCoefficient = 0.025", "roughnessFile = \"rough/n.grd\"",
        "snapshotMode1Enabled = true", "snapshotMode2Enabled = true", "snapshotMode0Enabled = true",
        "snapshotMode1Interval = 120.0", "snapshotMode2Interval = 240", "snapshotMode0Interval = 360.5",
        "landCutoffDepth = -12.5", "velocityLimit = 20", "flowDepthLimit = 0.05", "timeSeriesEnabled = true",
        "timeSeriesFile = \"series/t-eta.txt\"", "seriesFirstIndex = 3", "seriesLastIndex = 4000000000",
        "seriesMode = 2", "useEtaOnly = false", "cellFieldFromFile = true", "cellFieldFile = \"series/../cells.grd\""};
    auto show = [](const SimulationParameters& p) {
        std::ostringstream text;
        text << std::boolalpha << p.reservedA << " " << p.threadCount << " " << p.outputFormat << " "
             << p.adaptiveTimeStepEnabled << " " << p.timeStep << " " << p.startTime << " " << p.endTime << " "
             << p.snapshotInterval << " " << p.historyEverySteps << " " << p.reservedB << " " << p.roughnessMode << " "
             << p.manningCoefficient << " " << p.roughnessFile << " " << p.snapshotMode1Enabled << " "
             << p.snapshotMode2Enabled << " " << p.snapshotMode0Enabled << " " << p.snapshotMode1Interval << " "
             << p.snapshotMode2Interval << " " << p.snapshotMode0Interval << " " << p.landCutoffDepth << " "
             << p.velocityLimit << " " << p.flowDepthLimit << " " << p.timeSeriesEnabled << " " << p.timeSeriesFile
             << " " << p.seriesFirstIndex << " " << p.seriesLastIndex << " " << p.seriesMode << " " << p.useEtaOnly
             << " " << p.cellFieldFromFile << " " << p.cellFieldFile;
        return text.str();
    };
    std::string text = "[parameters]\n";
    for (const std::string& line : lines) text += line + "\n";
    Scenario set, omitted;
    std::string error;
    ASSERT_TRUE(dir.Load(text + kGrid + kSource, &set, &error)) << error;
    ASSERT_TRUE(dir.Load(kGrid + kSource, &omitted, &error)) << error;
    const std::string folder = dir.Slash();
    EXPECT_EQ(show(set.parameters), "7 3 2 true 0.25 2 20.5 30 4 -5.5 0 0.025 " + folder + "rough/n.grd true true " +
                                        "true 120 240 360.5 -12.5 20 0.05 true " + folder + "series/t-eta.txt 3 " +
                                        "4000000000 2 false true " + folder + "cells.grd");
    EXPECT_EQ(show(omitted.parameters), show(SimulationParameters{}));
}

TEST(Scenario, GridsAndSourcesBecomeHostRecordsWithResolvedPaths) {
    ScenarioFolder dir;
    const std::string text =
        "[[grids]]\ngridType = 3\ncoriolis = true\noption = 15.5\ncellSize = 1852.5\n"
        "bathymetryFile = \"bathy.grd\"\noutputFolder = \"results/./level0//\"\ngaugeFile = \"f.toml\"\n"
        "[[grids]]\ngridType = 1\noption = 10\nbathymetryFile = \"inner/../eta.grd\"\n"
        "outputFolder = \"" + dir.Path("abs/level1") + "\"\n"
        "[[sources]]\netaFile = \"eta.grd\"\nfluxMFile = \"bathy.grd\"\nfluxNFile = \"\"\ninsertionTime = 12.5\n"
        "[[transects]]\nname = \"north\"\nlevel = 1\nstart = [1.5, 2]\nend = [-3, 4.25]\n";
    Scenario s;
    std::string error;
    // A relative scenario path: its folder still becomes absolute.
    const fs::path previous = fs::current_path();
    fs::current_path(dir.Path());
    const bool loaded = LoadScenarioText(text, "./scenario.toml", {}, &s, &error);
    fs::current_path(previous);
    ASSERT_TRUE(loaded) << error;
    // Paths from the scenario's folder, folders ending in one separator, only grid 1's cell size.
    auto in = [&dir](const std::string& path) {  // a path inside the folder, from it
        return path.starts_with(dir.Slash()) ? path.substr(dir.Slash().size()) : "?" + path;
    };
    auto grid = [&in](const HostGridRecord& g) {
        return Show(g.gridType) + " " + Show(g.coriolis) + " " + Show(g.optionNumber) + " " + Show(g.cellSize) + " " +
               in(g.bathymetryFile) + " " + in(g.outputFolder) + " " + g.gaugeFile;
    };
    ASSERT_TRUE(s.grids.size() == 2u && s.sources.size() == 1u);
    EXPECT_EQ(grid(s.grids[0]), "3 true 15.5 1852.5 bathy.grd results/level0/ " + dir.Slash() + "f.toml");
    EXPECT_EQ(grid(s.grids[1]), "1 false 10 0 eta.grd abs/level1/ ");
    const SourceEvent& e = s.sources[0];
    EXPECT_EQ(in(e.etaFile) + " " + in(e.fluxMFile) + " " + e.fluxNFile + " " + Show(e.insertionTime),
              "eta.grd bathy.grd  12.5");
    ASSERT_EQ(s.transects.size(), 1u);
    const Transect& t = s.transects[0];
    EXPECT_TRUE(t.name == "north" && t.level == 1 && t.x0 == 1.5 && t.y0 == 2 && t.x1 == -3 && t.y1 == 4.25);
    // Nothing is created while reading; CreateOutputFolders makes them, parents included.
    EXPECT_FALSE(fs::exists(dir.Path("results")));
    ASSERT_TRUE(CreateOutputFolders(s, &error)) << error;
    EXPECT_TRUE(fs::is_directory(dir.Path("results/level0")) && fs::is_directory(dir.Path("abs/level1")));
}

// One row per kind of refusal: each names the file, the line and the key, on one line.
TEST(Scenario, BadScenariosAreRefusedNamingFileLineAndKey) {
    ScenarioFolder dir;
    const std::string body = kGrid + kSource, g1 = "[[grids]]\ncellSize = 1\nbathymetryFile = \"bathy.grd\"\n";
    auto set = [&body](const std::string& lines) { return "[parameters]\n" + lines + "\n" + body; };
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {set("timeStpe = 0.5"), {"scenario.toml:2:", "timeStpe", "unknown key", "did you mean timeStep"}},
        {set("timeStep = \"fast\""), {":2:", "timeStep", "must be a number"}},
        {set("\nhistoryEverySteps = 0"), {":3:", "historyEverySteps = 0", "at least 1"}},
        {set("timeStep = 1e-50"), {":2:", "timeStep", "greater than 0"}},  // 0 as a float
        {set("timeStep = nan"), {":2:", "timeStep", "finite"}},
        {set("velocityLimit = 1e40"), {":2:", "velocityLimit", "too large"}},
        {set("seriesFirstIndex = -1"), {":2:", "seriesFirstIndex", "negative"}},
        {set("threadCount = 2.5"), {":2:", "threadCount", "integer"}},
        {set("reservedA = 3000000000"), {":2:", "reservedA", "does not fit"}},
        {set("useEtaOnly = 1"), {":2:", "useEtaOnly", "true or false"}},
        {set("startTime = 30\nendTime = 10"), {":3:", "endTime", "later than startTime"}},
        {set("timeSeriesEnabled = true"), {":2:", "timeSeriesEnabled", "timeSeriesFile"}},
        {set("cellFieldFromFile = true\ncellFieldFile = \"none.grd\""), {":3:", "cellFieldFile", "none.grd", "cannot"}},
        {g1 + "gridType = 7\noutputFolder = \"o\"\n" + kSource, {":4:", "[[grids]] #1", "gridType = 7", "0 to 3"}},
        {kGrid + "\n[[grids]]\ngridType = 1\noutputFolder = \"o2\"\n" + kSource,
         {":6:", "[[grids]] #2", "missing required key bathymetryFile"}},
        {g1 + "outputFolder = \"o\"\ngaugeFile = \"g.txt\"\n" + kSource, {":5:", "gaugeFile", "g.txt"}},
        {kGrid + "[[grids]]\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"out/\"\n" + kSource,
         {"outputFolder", "already used by [[grids]] #1"}},
        {kGrid + "[[sources]]\ninsertionTime = 0\n", {":5:", "[[sources]] #1", "missing required key etaFile"}},
        {kGrid + "[[sources]]\netaFile = \"eta.grd\"\nfaults = \"f.toml\"\ninsertionTime = 0\n",
         {":5:", "[[sources]] #1", "etaFile and faults"}},
        {kGrid, {"scenario.toml", "no [[sources]]"}},
        {set("timeStep = = 1"), {"scenario.toml:2:", "TOML syntax error"}},
        {body + "[[transects]]\nname = \"t\"\nstart = [0, 1]\n", {":8:", "[[transects]] #1", "missing required key end"}},
        {body + "[[transects]]\nname = \"t\"\nstart = [0]\nend = [1, 1]\n", {":10:", "start", "point [x, y]"}},
        {body + "[[transects]]\nname = \"t\"\nlevel = 1\nstart = [0, 0]\nend = [1, 1]\n",
         {"[[transects]] #1", "level = 1", "only 1 level"}},
    };
    for (const auto& [text, pieces] : cases) {
        Scenario s;
        std::string error;
        EXPECT_FALSE(dir.Load(text, &s, &error)) << text;
        for (const std::string& piece : pieces)
            EXPECT_NE(error.find(piece), std::string::npos) << "message: " << error << "\nwanted: " << piece;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_TRUE(s.grids.empty());  // the caller's scenario is left untouched
    }
}

TEST(Scenario, CommandLineSettingsFollowTheFileWithTheSameChecks) {
    ScenarioFolder dir;
    const std::string text = "[parameters]\ntimeStep = 0.5\nendTime = 20\n" + kGrid + kSource;
    Scenario s;
    std::string error;
    ASSERT_TRUE(dir.Load(text, &s, &error, {"timeStep=0.25", "useEtaOnly=false", "cellFieldFile=\"quoted name.grd\""}))
        << error;
    EXPECT_TRUE(s.parameters.timeStep == 0.25f && s.parameters.endTime == 20.0f && !s.parameters.useEtaOnly);
    // Paths on the command line start at the current folder, not the scenario's.
    EXPECT_EQ(s.parameters.cellFieldFile, (fs::current_path() / "quoted name.grd").lexically_normal().string());
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"gridType=1", "unknown parameter gridType"}, {"timeStep", "NAME=VALUE"},
        {"timeStep=fast", "not a valid value"},      {"timeStep=1\nendTime = 3", "not a single value"}};
    for (const auto& [setting, reason] : bad) {
        Scenario t;
        EXPECT_FALSE(dir.Load(text, &t, &error, {setting})) << setting;
        EXPECT_NE(error.find("--set " + setting), std::string::npos) << error;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
    // Checked with the file's values: a start moved past the file's end names both places.
    EXPECT_FALSE(dir.Load(text, &s, &error, {"startTime=30"}));
    EXPECT_NE(error.find("scenario.toml:3: [parameters] endTime = 20"), std::string::npos) << error;
    EXPECT_NE(error.find("--set startTime=30"), std::string::npos) << error;
}

TEST(ExampleScenario, BeachIsValidStableAndNeverOverwritten) {
    ScratchFolder dir;
    const std::string folder = dir.Path("nested/example");
    std::string error;
    ASSERT_TRUE(WriteExampleScenario(folder, &error)) << error;
    Scenario s;
    ASSERT_TRUE(LoadScenarioFile(folder + "/scenario.toml", {}, &s, &error)) << error;
    ASSERT_TRUE(s.grids.size() == 1 && s.sources.size() == 1);
    // Stable: the step is well under the gravity-wave limit dx / sqrt(g h) of the deepest cell.
    EXPECT_LT(s.parameters.timeStep, s.grids[0].cellSize / std::sqrt(9.8 * 200.0));
    const SurferGrid depth = ReadSurferText(s.grids[0].bathymetryFile), eta = ReadSurferText(s.sources[0].etaFile);
    ASSERT_TRUE(depth.z.size() == 2400u && eta.z.size() == 2400u && depth.dx() == s.grids[0].cellSize);
    // Hump centre (7500 m, 9750 m): node (15, 19) is 250 m away, the peak of the 2000 m wide hump.
    EXPECT_NEAR(eta.At(15, 19), std::exp(-250.0 * 250.0 / (2.0 * 2000.0 * 2000.0)), 1e-4);
    EXPECT_EQ(*std::max_element(eta.z.begin(), eta.z.end()), eta.At(15, 19));
    for (std::size_t k = 0; k < eta.z.size(); ++k)
        EXPECT_TRUE(depth.z[k] > 0.0 || eta.z[k] == 0.0) << k;  // no water above dry land
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
            reporter.StepDone(0);  // before Init: nothing to show
            reporter.InitFinished(0);
            reporter.SetRange(range);
            for (int32_t i = 0; i <= range; i += advance) reporter.StepDone(i);
            reporter.RunCompleted();
        }
        EXPECT_TRUE(display.completed() && display.initCode() == 0 && display.WaitReleased({}));
        std::rewind(out);
        std::vector<int> percents;
        for (char line[512]; std::fgets(line, sizeof line, out) != nullptr;) {
            EXPECT_TRUE(std::strstr(line, "steps/s") && std::strstr(line, "remaining")) << line;
            EXPECT_EQ(std::sscanf(line, "vestra: %d%%", &percents.emplace_back(-1)), 1) << line;
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
        EXPECT_FALSE(failed.WaitReleased(std::chrono::milliseconds(1)));
        reporter.InitFinished(30);
    }
    EXPECT_TRUE(failed.WaitReleased(std::chrono::milliseconds(0)));
    EXPECT_TRUE(!failed.completed() && failed.initCode() == 30);
    const std::vector<std::pair<double, std::string>> durations = {{59.4, "0:59"}, {3661.0, "1:01:01"}, {NAN, "--:--"}};
    for (const auto& [seconds, text] : durations) EXPECT_EQ(ProgressDisplay::FormatDuration(seconds), text);
    EXPECT_NE(InitFailureMessage(30).find("30 (a bathymetry file cannot be opened)"), std::string::npos);
}
