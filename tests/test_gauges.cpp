// Gauge time histories: nearest-node placement, the end of a gauge list, and the header and
// data lines of the thirteen files byte for byte (values hand-computed from the fields).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ModelSetup.h"
#include "TestSupport.h"
#include "TimeHistory.h"

namespace fs = std::filesystem;

namespace {

class GaugeTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vestra_gauges_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        // 5 x 6 nodes, 10 m apart, from (0, 0) to (40, 50); every field 0.
        level.nx = 5;
        level.ny = 6;
        level.xMax = 40;
        level.yMax = 50;
        AllocateLevelFields(level);
        InitialiseLevelFields(level, std::vector<float>(30, 0.0f), 0.015f, nullptr, 1);
        level.outputFolder = dir + "/";
        level.gaugeFile = dir + "/gauges.txt";
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string File(int quantity) const { return dir + "/" + kTimeHistoryFileNames[quantity]; }

    std::string dir;
    GridLevel level;
};

TEST_F(GaugeTest, NearestNodePlacement) {
    int32_t i = 0, j = 0;
    ASSERT_TRUE(NearestGaugeCell(level, 0, 0, i, j));  // the first node is cell 1, not the halo
    EXPECT_EQ(i, 1);
    EXPECT_EQ(j, 1);
    ASSERT_TRUE(NearestGaugeCell(level, 40, 50, i, j));  // on xMax and yMax: the last node
    EXPECT_EQ(i, 5);
    EXPECT_EQ(j, 6);
    ASSERT_TRUE(NearestGaugeCell(level, 20 + 10.0 / 3, 30 - 10.0 / 3, i, j));  // a third of a cell off node (3, 4)
    EXPECT_EQ(i, 3);
    EXPECT_EQ(j, 4);
    ASSERT_TRUE(NearestGaugeCell(level, 20 + 20.0 / 3, 30 - 20.0 / 3, i, j));  // two thirds: the next node
    EXPECT_EQ(i, 4);
    EXPECT_EQ(j, 3);
    ASSERT_TRUE(NearestGaugeCell(level, 5, 45, i, j));  // halfway between nodes: rounds up
    EXPECT_EQ(i, 2);
    EXPECT_EQ(j, 6);
    EXPECT_FALSE(NearestGaugeCell(level, 40.001, 10, i, j));
    EXPECT_FALSE(NearestGaugeCell(level, 10, -0.001, i, j));

    // A grid stored from north to south (yMin > yMax) still takes gauges on its nodes.
    GridLevel flipped;
    flipped.nx = 1;
    flipped.ny = 6;
    flipped.xMin = flipped.xMax = 7;
    flipped.yMin = 50;
    flipped.yMax = 0;
    ASSERT_TRUE(NearestGaugeCell(flipped, 7, 50, i, j));
    EXPECT_EQ(i, 1);  // a single column
    EXPECT_EQ(j, 1);
    ASSERT_TRUE(NearestGaugeCell(flipped, 7, 12, i, j));
    EXPECT_EQ(j, 5);
    EXPECT_FALSE(NearestGaugeCell(flipped, 7.5, 12, i, j));
}

TEST_F(GaugeTest, GaugeListHeadersAndTheEndOfTheList) {
    level.depth[2][3] = 12.5f;
    level.depth[5][6] = 3.25f;
    // The third gauge lies outside: it and the fourth are ignored.
    WriteFile(level.gaugeFile, "G1 10 20\nG2 40 50\nG3 41 20\nG4 0 0\n");
    ASSERT_TRUE(PlaceGaugesAndWriteHeaders(level));
    EXPECT_EQ(level.gaugeCount, 2);
    EXPECT_EQ(level.gaugeColumns, (std::vector<int32_t>{2, 5}));
    EXPECT_EQ(level.gaugeRows, (std::vector<int32_t>{3, 6}));
    for (int q = 0; q < kTimeHistoryFileCount; ++q) {
        SCOPED_TRACE(kTimeHistoryFileNames[q]);
        EXPECT_EQ(ReadFile(File(q)), q < 9 ? "Time G1_12.500 G2_3.250 \n" : "Time G1_12.500000 G2_3.250000 \n");
    }
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    EXPECT_EQ(names.size(), 14u);  // the thirteen files and the gauge list, nothing else

    // A 39-character name is kept; a 40-character one ends the list. "_" stays in a name.
    const std::string name39(39, 'n');
    WriteFile(level.gaugeFile, "A_B 0 0\n" + name39 + " 10 10\n" + name39 + "x 20 20\nC 30 30\n");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(PlaceGaugesAndWriteHeaders(level));
    const std::string message = testing::internal::GetCapturedStderr();
    EXPECT_NE(message.find("longer than 39 characters"), std::string::npos);
    EXPECT_EQ(level.gaugeCount, 2);
    EXPECT_EQ(ReadFile(File(kHistoryEta)), "Time A_B_0.000 " + name39 + "_0.000 \n");

    // An incomplete record ends the list; the header is still written.
    WriteFile(level.gaugeFile, "P 10 20\nQ 30\n");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(PlaceGaugesAndWriteHeaders(level));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(level.gaugeCount, 1);
    EXPECT_EQ(ReadFile(File(kHistoryU)), "Time P_12.500 \n");

    // A gauge list that does not open: no gauges and no files.
    fs::remove_all(dir);
    fs::create_directories(dir);
    level.gaugeFile = dir + "/absent.txt";
    EXPECT_FALSE(PlaceGaugesAndWriteHeaders(level));
    EXPECT_EQ(level.gaugeCount, 0);
    EXPECT_TRUE(level.gaugeColumns.empty());
    EXPECT_TRUE(fs::is_empty(dir));
    level.gaugeFile.clear();
    EXPECT_FALSE(PlaceGaugesAndWriteHeaders(level));
}

TEST_F(GaugeTest, DataLinesByteForByte) {
    level.depth[2][3] = 12.5f;
    level.depth[4][5] = 3.25f;
    WriteFile(level.gaugeFile, "A 10 20\nB 30 40\n");
    ASSERT_TRUE(PlaceGaugesAndWriteHeaders(level));
    // Gauge A, cell (2, 3): wet, u = v = 0.5.
    level.etaNext[2][3] = 0.5f;
    level.fluxMNext[2][3] = 1.0f;
    level.totalDepthM[2][3] = 2.0f;
    level.fluxNNext[2][3] = 1.0f;
    level.totalDepthN[2][3] = 2.0f;
    level.totalDepth[2][3] = 2.5f;
    level.rouseNumber[2][3] = 0.75f;
    // Gauge B, cell (4, 5): the M face at the dry threshold, v = -0.25.
    level.etaNext[4][5] = -0.25f;
    level.fluxMNext[4][5] = 3.0f;
    level.totalDepthM[4][5] = 0.00001f;
    level.fluxNNext[4][5] = -0.5f;
    level.totalDepthN[4][5] = 2.0f;

    SimulationParameters settings;
    WriteGaugeHistories(settings, level, level.outputFolder, 90.0);
    const std::string header = "Time A_12.500 B_3.250 \n";
    const std::string header6 = "Time A_12.500000 B_3.250000 \n";
    // FR2 = (u^2 + v^2) / ((hM + hN) * 9.8 / 2) = 0.5 / 19.6; flux angle = atan(M / N) * 180 / 3.14.
    const std::string expected[kTimeHistoryFileCount] = {
        header + "1.50000        0.5000     -0.2500\n",
        header + "1.50000    0.5000   -0.2500\n",
        header + "1.5000    0.5000    0.0000\n",
        header + "1.5000     0.70711     0.00000\n",
        header + "1.5000      0.0255      0.0000\n",
        header + "1.5000      0.1597    0.0000\n",
        header + "1.5000      1.0000      3.0000\n",
        header + "1.5000      1.0000     -0.5000\n",
        header + "1.5000     45.0228    -80.5785\n",
        header6 + "1.5000      1.4142      3.0414\n",
        header6 + "1.5000      0.7071      0.0000\n",
        header6 + "1.5000      2.5000      0.0000\n",
        header6,  // Rouse numbers only when the cell field comes from a file
    };
    for (int q = 0; q < kTimeHistoryFileCount; ++q) {
        SCOPED_TRACE(kTimeHistoryFileNames[q]);
        EXPECT_EQ(ReadFile(File(q)), expected[q]);
    }

    // With the cell field from a file, the Rouse file gets its line too; folders without
    // a trailing separator are joined with one.
    settings.cellFieldFromFile = true;
    level.etaNext[2][3] = 1.0e10f;  // wider than its field: written in full, with nothing before it
    WriteGaugeHistories(settings, level, dir, 150.0);
    EXPECT_EQ(ReadFile(File(kHistoryRouse)), header6 + "2.5000      0.7500      0.0000\n");
    EXPECT_EQ(ReadFile(File(kHistoryEta)), expected[kHistoryEta] + "2.5000010000000000.0000     -0.2500\n");
}

TEST_F(GaugeTest, ThresholdsOfDerivedQuantities) {
    auto set = [&](int32_t i, float m, float depthM, float n, float depthN) {
        level.fluxMNext[i][1] = m;
        level.totalDepthM[i][1] = depthM;
        level.fluxNNext[i][1] = n;
        level.totalDepthN[i][1] = depthN;
    };
    set(1, 1.0f, 0.00002f, 1.0f, 0.0001f);  // M face just wet, N face at the V threshold
    EXPECT_FLOAT_EQ(GaugeValue(level, kHistoryU, 1, 1), 1.0f / 0.00002f);
    EXPECT_EQ(GaugeValue(level, kHistoryV, 1, 1), 0.0);
    EXPECT_GT(GaugeValue(level, kHistoryCurrent, 1, 1), 0.0);  // both faces above 0.00001
    set(2, 1.0f, 1.0f, 1.0f, 0.00011f);
    EXPECT_FLOAT_EQ(GaugeValue(level, kHistoryV, 2, 1), 1.0f / 0.00011f);
    set(3, 1.0f, 1.0f, 0.2f, 0.00001f);  // N face at the shared threshold
    EXPECT_EQ(GaugeValue(level, kHistoryCurrent, 3, 1), 0.0);
    EXPECT_EQ(GaugeValue(level, kHistoryFroudeSquared, 3, 1), 0.0);
    EXPECT_EQ(GaugeValue(level, kHistoryFroude, 3, 1), 0.0);
    EXPECT_EQ(GaugeValue(level, kHistoryMomentumFlux, 3, 1), 0.0);
    EXPECT_FLOAT_EQ(GaugeValue(level, kHistoryU, 3, 1), 1.0f);
    set(4, 2.0f, 1.0f, 0.0f, 1.0f);  // no N flux: the angle is 0
    EXPECT_EQ(GaugeValue(level, kHistoryFluxAngle, 4, 1), 0.0);
    set(4, 2.0f, 1.0f, 0.0001f, 1.0f);
    EXPECT_EQ(GaugeValue(level, kHistoryFluxAngle, 4, 1), 0.0);
    EXPECT_FLOAT_EQ(GaugeValue(level, kHistoryFluxMagnitude, 4, 1), 2.0f);
    // Momentum flux sqrt(M^4 / hM^2 + N^4 / hN^2) with M = 2, hM = 2, N = 1, hN = 1: sqrt(5).
    set(5, 2.0f, 2.0f, 1.0f, 1.0f);
    EXPECT_FLOAT_EQ(GaugeValue(level, kHistoryMomentumFlux, 5, 1), std::sqrt(5.0f));
}

TEST_F(GaugeTest, LevelsWithoutGaugesAndUnwritableFolders) {
    // No gauges: one empty line per call, as the time is written only before gauge values.
    SimulationParameters settings;
    WriteGaugeHistories(settings, level, level.outputFolder, 60.0);
    WriteGaugeHistories(settings, level, level.outputFolder, 120.0);
    EXPECT_EQ(ReadFile(File(kHistoryFlowDepth)), "\n\n");
    EXPECT_FALSE(fs::exists(File(kHistoryRouse)));

    // A folder that does not exist: one warning per file, the first time only; nothing crashes.
    level.gaugeCount = 0;
    const std::string missing = dir + "/absent/";
    testing::internal::CaptureStderr();
    WriteGaugeHistories(settings, level, missing, 60.0);
    WriteGaugeHistories(settings, level, missing, 120.0);
    const std::string warnings = testing::internal::GetCapturedStderr();
    int lines = 0;
    for (char c : warnings) lines += c == '\n';
    EXPECT_EQ(lines, kTimeHistoryFileCount - 1);
    EXPECT_NE(warnings.find(missing + "OUT-TIME-HISTORIES_ETA.dat"), std::string::npos);
}

}  // namespace
