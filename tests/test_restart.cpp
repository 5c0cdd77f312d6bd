// Restartable runs of the built vestra command on the bundled nested example and the single-level
// beach (whose steps skip still water): a run stopped (--until, SIGTERM) and resumed on another
// thread count leaves the same bytes in every output file as a run never stopped; a checkpoint
// that does not fit the run is refused untouched.
#include <map>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// Twelve minutes of the example with a water-level frame every two: six frames, 360 steps.
std::vector<std::string> RunArgs(const std::string& scenario, const std::string& threads,
                                 std::vector<std::string> extra = {}, const std::string& endTime = "12") {
    std::vector<std::string> args = {"run",   scenario, "--set",      "endTime=" + endTime, "--set", "snapshotInterval=120",
                                     "--threads", threads, "--no-plots", "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// The example, in outputFormat `format`, written into dir/name; returns its scenario file.
std::string Example(const ScratchFolder& dir, const std::string& name, const std::string& format) {
    EXPECT_EQ(RunVestra({"example", dir / name, "--format", format}, dir).status, 0);
    return dir / (name + "/scenario.toml");
}

// Every file under `folder` by its path there, with its bytes.
std::map<std::string, std::string> Files(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) files[fs::relative(entry.path(), folder).string()] = ReadFile(entry.path());
    return files;
}

// Names the files that differ, so that a failure says where.
std::string Differences(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b) {
    std::string text;
    for (const auto& [name, bytes] : a)
        if (!b.contains(name) || b.at(name) != bytes) text += name + " ";
    for (const auto& [name, bytes] : b)
        if (!a.contains(name)) text += name + "(extra) ";
    return text;
}

}  // namespace

TEST(Restart, UntilThenResumeOnTwoThreadsWritesWhatOneRunWritesAndRefusesCheckpointsThatDoNotFit) {
    ScratchFolder dir;
    const std::string reference = Example(dir, "reference", "2"), scenario = Example(dir, "run", "2");
    ASSERT_EQ(RunVestra(RunArgs(reference, "1"), dir).status, 0);
    const auto expected = Files(dir / "reference/out");
    ASSERT_GT(expected.size(), 50u);  // frames, extremes and histories of both levels

    const Outcome stopped = RunVestra(RunArgs(scenario, "1", {"--until", "5"}), dir);
    ASSERT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_NE(stopped.out.find("(model time 5 min) written"), std::string::npos) << stopped.out;
    const std::string checkpoint = dir / "run/scenario.checkpoint";
    ASSERT_TRUE(fs::exists(checkpoint));
    const auto atSeven = Files(dir / "run/out");
    EXPECT_NE(Differences(atSeven, expected), "");  // the stopped run is not the whole run

    // Each refusal: exit 1, one line naming what differs, no output file touched.
    const std::string gauges = dir / "run/gauges-level1.txt", history = dir / "run/out/level1/OUT-TIME-HISTORIES_ETA.dat";
    const std::string gaugeList = ReadFile(gauges), historyText = ReadFile(history), state = ReadFile(checkpoint);
    struct Refusal {
        std::vector<std::string> args;
        std::string file, text;  // written into `file` before the run, the original put back after
        std::vector<std::string> pieces;
    };
    std::string flipped = state, otherBuild = state;
    flipped[flipped.size() / 2] ^= 0x10;
    otherBuild[16 + 8] ^= 0x01;  // the build text follows the magic, the version and its length
    const std::vector<Refusal> refusals = {
        {{"--set", "endTime=30"}, "", "", {checkpoint, "another scenario", "endTime was 12, is 30"}},
        {{}, gauges, "Renamed" + gaugeList, {checkpoint, "[[grids]] #2 gaugeFile", gauges}},
        {{}, checkpoint, flipped, {checkpoint, "damaged"}},
        {{}, checkpoint, otherBuild, {checkpoint, "another build"}},
        {{}, history, historyText.substr(0, historyText.size() - 10), {history, "bytes"}},
    };
    for (const Refusal& r : refusals) {
        const std::string original = r.file.empty() ? "" : ReadFile(r.file);
        if (!r.file.empty()) WriteFile(r.file, r.text);
        std::vector<std::string> args = {"--resume"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const Outcome o = RunVestra(RunArgs(scenario, "2", args), dir);
        if (!r.file.empty()) WriteFile(r.file, original);
        EXPECT_EQ(o.status, 1) << r.pieces.back();
        EXPECT_EQ(CountLines(o.err), 1u) << o.err;
        for (const std::string& piece : r.pieces) EXPECT_NE(o.err.find(piece), std::string::npos) << o.err;
        EXPECT_EQ(Differences(Files(dir / "run/out"), atSeven), "") << r.pieces.back();
    }

    // A run killed after its checkpoint has written lines beyond it: the resumed run drops them.
    WriteFile(history, historyText + "  5.1000  9.9999\n");
    const Outcome resumed = RunVestra(RunArgs(scenario, "2", {"--resume"}), dir);
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(Differences(Files(dir / "run/out"), expected), "");
    // A finished run leaves no checkpoint, and a second --resume says so in one line.
    EXPECT_FALSE(fs::exists(checkpoint));
    const Outcome again = RunVestra(RunArgs(scenario, "1", {"--resume"}), dir);
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(CountLines(again.err), 1u) << again.err;
    EXPECT_NE(again.err.find(checkpoint), std::string::npos) << again.err;
}

const std::string kLongRun = "30";

TEST(Restart, SigtermWritesACheckpointFromWhichTheRunEndsAsIfNeverStopped) {
    ScratchFolder dir;
    // Surfer binary frames: one file per frame, besides the histories and extremes.
    const std::string reference = Example(dir, "reference", "1"), scenario = Example(dir, "run", "1");
    ASSERT_EQ(RunVestra(RunArgs(reference, "1", {}, kLongRun), dir).status, 0);
    const auto expected = Files(dir / "reference/out");

    // SIGTERM right after the first checkpoint of --checkpoint-every: a later one replaces it. The
    // run goes on for 28 more minutes (about two seconds), so that a loaded machine still delivers
    // the signal before the run ends on its own.
    const Outcome stopped = RunVestra(RunArgs(scenario, "1", {"--checkpoint-every", "2"}, kLongRun), dir, "", "Checkpoint", "TERM", "0");
    ASSERT_EQ(stopped.status, 143) << stopped.err;
    EXPECT_TRUE(fs::exists(dir / "run/scenario.checkpoint"));
    EXPECT_NE(Differences(Files(dir / "run/out"), expected), "");

    const Outcome resumed = RunVestra(RunArgs(scenario, "2", {"--resume"}, kLongRun), dir);
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(Differences(Files(dir / "run/out"), expected), "");
}

// A single level skips still water (nested runs do not); the skipped region is not saved, so a
// resumed run starts with the whole level active and must still give the same bytes.
TEST(Restart, SingleLevelRunThatSkipsStillWaterResumesExactly) {
    ScratchFolder dir;
    for (const std::string name : {"reference", "run"})
        ASSERT_EQ(RunVestra({"example", "--beach", dir / name}, dir).status, 0);
    const auto args = [&](const std::string& name, const std::string& threads, std::vector<std::string> extra) {
        std::vector<std::string> a = {"run", dir / (name + "/scenario.toml"), "--threads", threads, "--no-plots", "--quiet"};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    };
    ASSERT_EQ(RunVestra(args("reference", "1", {}), dir).status, 0);
    ASSERT_EQ(RunVestra(args("run", "2", {"--until", "2"}), dir).status, 0);
    const Outcome resumed = RunVestra(args("run", "1", {"--resume"}), dir);
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(Differences(Files(dir / "run/output"), Files(dir / "reference/output")), "");
}
