// Gauge time histories: nearest-node placement, the end of a gauge list, the derived quantities
// at their dry-face thresholds, and the thirteen files byte for byte (values hand-computed).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
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
        // 5 x 6 nodes, 10 m apart, from (0, 0) to (40, 50); every field 0.
        level.nx = 5, level.ny = 6, level.xMax = 40, level.yMax = 50;
        AllocateLevelFields(level);
        InitialiseLevelFields(level, std::vector<float>(30, 0.0f), 0.015f, nullptr, 1);
        level.outputFolder = dir.Slash();
        level.gaugeFile = dir / "gauges.txt";
        level.depth[2][3] = 12.5f;
        level.depth[4][5] = 3.25f;
    }
    std::string File(int quantity) const { return dir / kTimeHistoryFileNames[quantity]; }

    ScratchFolder dir;
    GridLevel level;
};

TEST_F(GaugeTest, NearestNodePlacement) {
    GridLevel flipped;  // a single column stored from north to south (yMin > yMax)
    flipped.nx = 1, flipped.ny = 6, flipped.xMin = flipped.xMax = 7, flipped.yMin = 50;
    const struct { const GridLevel* grid; double x, y; bool inside; int32_t i, j; } cases[] = {
        {&level, 0, 0, true, 1, 1},                          // the first node is cell 1, not the halo
        {&level, 40, 50, true, 5, 6},                        // on xMax and yMax: the last node
        {&level, 20 + 20.0 / 3, 30 - 20.0 / 3, true, 4, 3},  // two thirds of a cell off node (3, 4)
        {&level, 5, 45, true, 2, 6},                         // halfway between nodes: rounds up
        {&level, 40.001, 10, false, 0, 0},
        {&flipped, 7, 12, true, 1, 5},
    };
    for (const auto& c : cases) {
        int32_t i = 0, j = 0;
        EXPECT_EQ(NearestGaugeCell(*c.grid, c.x, c.y, i, j), c.inside) << c.x << ", " << c.y;
        EXPECT_TRUE(!c.inside || std::make_pair(i, j) == std::make_pair(c.i, c.j)) << c.x << ", " << c.y;
    }
}

TEST_F(GaugeTest, GaugeListHeadersAndTheEndOfTheList) {
    // The third gauge lies outside: it and the fourth are ignored.
    WriteFile(level.gaugeFile, "G1 10 20\nG2 30 40\nG3 41 20\nG4 0 0\n");
    ASSERT_TRUE(PlaceGaugesAndWriteHeaders(level));
    EXPECT_EQ(level.gaugeColumns, (std::vector<int32_t>{2, 4}));
    EXPECT_EQ(level.gaugeRows, (std::vector<int32_t>{3, 5}));
    EXPECT_EQ(dir.Names().size(), 14u);  // the thirteen files and the gauge list, nothing else

    // A 39-character name is kept, a 40-character one ends the list with a message; "_" stays
    // in a name.
    const std::string name39(39, 'n');
    WriteFile(level.gaugeFile, "A_B 0 0\n" + name39 + " 10 10\n" + name39 + "x 20 20\nC 30 30\n");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(PlaceGaugesAndWriteHeaders(level));
    EXPECT_EQ(CountLines(testing::internal::GetCapturedStderr()), 1u);
    EXPECT_EQ(level.gaugeCount, 2);
    EXPECT_EQ(ReadFile(File(kHistoryEta)), "Time A_B_0.000 " + name39 + "_0.000 \n");

    // A gauge list that does not open (or none): no gauges and no files.
    for (const std::string& list : {dir / "absent.txt", std::string()}) {
        fs::remove_all(dir.Path());
        fs::create_directories(dir.Path());
        level.gaugeFile = list;
        EXPECT_FALSE(PlaceGaugesAndWriteHeaders(level));
        EXPECT_EQ(level.gaugeCount, 0);
        EXPECT_TRUE(fs::is_empty(dir.Path()));
    }
}

// Gauge A, cell (2, 3): wet, eta 0.5, M = N = 1 on faces 2 m deep (u = v = 0.5), total depth
// 2.5, Rouse 0.75: speed 0.70711, Fr2 = (u^2 + v^2) / ((hM + hN) * 9.8 / 2) = 0.0255, Fr 0.1597,
// flux angle atan(M / N) * 180 / 3.14 = 45.0228, flux sqrt 2, momentum flux sqrt(1/4 + 1/4).
// Gauge B, cell (4, 5): the M face at the dry threshold (u, speed, Fr 0), v = -0.25, angle of
// M = 3, N = -0.5 -80.5785, flux 3.0414. The Rouse line is written only with a cell-field file;
// the second line (at 2.5 min, into a folder named without a trailing separator) carries a
// water level wider than its column, written in full with nothing before it.
TEST_F(GaugeTest, DataLinesByteForByte) {
    WriteFile(level.gaugeFile, "A 10 20\nB 30 40\n");
    ASSERT_TRUE(PlaceGaugesAndWriteHeaders(level));
    level.etaNext[2][3] = 0.5f;
    level.fluxMNext[2][3] = level.fluxNNext[2][3] = 1.0f;
    level.totalDepthM[2][3] = level.totalDepthN[2][3] = 2.0f;
    level.totalDepth[2][3] = 2.5f, level.rouseNumber[2][3] = 0.75f;
    level.etaNext[4][5] = -0.25f, level.fluxMNext[4][5] = 3.0f, level.totalDepthM[4][5] = 0.00001f;
    level.fluxNNext[4][5] = -0.5f, level.totalDepthN[4][5] = 2.0f;

    SimulationParameters settings;
    WriteGaugeHistories(settings, level, level.outputFolder, 90.0);
    settings.cellFieldFromFile = true;
    level.etaNext[2][3] = 1.0e10f;
    WriteGaugeHistories(settings, level, dir.Path().string(), 150.0);
    // The line at 1.5 min of each file; the one at 2.5 min differs in its first digit only.
    const char* lines[kTimeHistoryFileCount] = {
        "1.50000        0.5000     -0.2500", "1.50000    0.5000   -0.2500",     "1.5000    0.5000    0.0000",
        "1.5000     0.70711     0.00000",   "1.5000      0.0255      0.0000", "1.5000      0.1597    0.0000",
        "1.5000      1.0000      3.0000",   "1.5000      1.0000     -0.5000", "1.5000     45.0228    -80.5785",
        "1.5000      1.4142      3.0414",   "1.5000      0.7071      0.0000", "1.5000      2.5000      0.0000",
        "1.5000      0.7500      0.0000"};
    for (int q = 0; q < kTimeHistoryFileCount; ++q) {
        std::string expected = q <= kHistoryFluxAngle ? "Time A_12.500 B_3.250 \n" : "Time A_12.500000 B_3.250000 \n";
        std::string line = lines[q];
        if (q != kHistoryRouse) expected += line + "\n";
        line[0] = '2';
        expected += (q == kHistoryEta ? "2.5000010000000000.0000     -0.2500" : line) + "\n";
        EXPECT_EQ(ReadFile(File(q)), expected) << kTimeHistoryFileNames[q];
    }
}

// Faces count as wet above 1e-5 m, the V face above 1e-4 m.
TEST_F(GaugeTest, ThresholdsOfDerivedQuantities) {
    auto at = [&](float m, float depthM, float n, float depthN, int quantity) {
        level.fluxMNext[1][1] = m, level.totalDepthM[1][1] = depthM;
        level.fluxNNext[1][1] = n, level.totalDepthN[1][1] = depthN;
        return GaugeValue(level, quantity, 1, 1);
    };
    EXPECT_FLOAT_EQ(at(1, 0.00002f, 1, 0.0001f, kHistoryU), 1 / 0.00002f);  // M face just wet
    EXPECT_EQ(at(1, 0.00002f, 1, 0.0001f, kHistoryV), 0.0);                // N face at the V threshold
    EXPECT_FLOAT_EQ(at(1, 1, 1, 0.00011f, kHistoryV), 1 / 0.00011f);
    for (int quantity : {kHistoryCurrent, kHistoryFroudeSquared, kHistoryFroude, kHistoryMomentumFlux}) {
        EXPECT_EQ(at(1, 1, 0.2f, 0.00001f, quantity), 0.0) << quantity;  // N face at the shared threshold
    }
}

// A folder that does not exist: one warning per file (no Rouse file without a cell field), the
// first time only; nothing crashes.
TEST_F(GaugeTest, UnwritableFolderWarnsOnce) {
    SimulationParameters settings;
    const std::string missing = dir / "absent/";
    testing::internal::CaptureStderr();
    WriteGaugeHistories(settings, level, missing, 60.0);
    WriteGaugeHistories(settings, level, missing, 120.0);
    const std::string warnings = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountLines(warnings), static_cast<std::size_t>(kTimeHistoryFileCount - 1));
    EXPECT_NE(warnings.find(missing + "OUT-TIME-HISTORIES_ETA.dat"), std::string::npos);
}

}  // namespace
