// Gauge time histories: nearest-node placement, the end of a gauge list, the derived quantities
// at their dry-face thresholds, and the thirteen files byte for byte (golden files under
// tests/data/output/gauges, values hand-computed from the fields below).
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
    }
    std::string File(int quantity) const { return dir / kTimeHistoryFileNames[quantity]; }

    ScratchFolder dir;
    GridLevel level;
};

TEST_F(GaugeTest, NearestNodePlacement) {
    GridLevel flipped;  // a single column stored from north to south (yMin > yMax)
    flipped.nx = 1;
    flipped.ny = 6;
    flipped.xMin = flipped.xMax = 7;
    flipped.yMin = 50;
    const struct { const GridLevel* grid; double x, y; bool inside; int32_t i, j; } cases[] = {
        {&level, 0, 0, true, 1, 1},                                // the first node is cell 1, not the halo
        {&level, 40, 50, true, 5, 6},                              // on xMax and yMax: the last node
        {&level, 20 + 10.0 / 3, 30 - 10.0 / 3, true, 3, 4},        // a third of a cell off node (3, 4)
        {&level, 20 + 20.0 / 3, 30 - 20.0 / 3, true, 4, 3},        // two thirds: the next node
        {&level, 5, 45, true, 2, 6},                               // halfway between nodes: rounds up
        {&level, 40.001, 10, false, 0, 0},
        {&level, 10, -0.001, false, 0, 0},
        {&flipped, 7, 50, true, 1, 1},
        {&flipped, 7, 12, true, 1, 5},
        {&flipped, 7.5, 12, false, 0, 0},
    };
    for (const auto& c : cases) {
        int32_t i = 0, j = 0;
        EXPECT_EQ(NearestGaugeCell(*c.grid, c.x, c.y, i, j), c.inside) << c.x << ", " << c.y;
        if (c.inside) {
            EXPECT_EQ(std::make_pair(i, j), std::make_pair(c.i, c.j)) << c.x << ", " << c.y;
        }
    }
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
        EXPECT_EQ(ReadFile(File(q)), q < 9 ? "Time G1_12.500 G2_3.250 \n" : "Time G1_12.500000 G2_3.250000 \n")
            << kTimeHistoryFileNames[q];
    }
    EXPECT_EQ(dir.Names().size(), 14u);  // the thirteen files and the gauge list, nothing else

    // A 39-character name is kept, a 40-character one ends the list with a message; "_" stays
    // in a name. An incomplete record ends the list too.
    const std::string name39(39, 'n');
    const struct { std::string list; int32_t count; int quantity; std::string header; } lists[] = {
        {"A_B 0 0\n" + name39 + " 10 10\n" + name39 + "x 20 20\nC 30 30\n", 2, kHistoryEta,
         "Time A_B_0.000 " + name39 + "_0.000 \n"},
        {"P 10 20\nQ 30\n", 1, kHistoryU, "Time P_12.500 \n"},
    };
    for (const auto& l : lists) {
        WriteFile(level.gaugeFile, l.list);
        testing::internal::CaptureStderr();
        ASSERT_TRUE(PlaceGaugesAndWriteHeaders(level));
        EXPECT_EQ(CountLines(testing::internal::GetCapturedStderr()), 1u) << l.list;
        EXPECT_EQ(level.gaugeCount, l.count);
        EXPECT_EQ(ReadFile(File(l.quantity)), l.header);
    }

    // A gauge list that does not open (or none): no gauges and no files.
    for (const std::string& list : {dir / "absent.txt", std::string()}) {
        fs::remove_all(dir.Path());
        fs::create_directories(dir.Path());
        level.gaugeFile = list;
        EXPECT_FALSE(PlaceGaugesAndWriteHeaders(level));
        EXPECT_EQ(level.gaugeCount, 0);
        EXPECT_TRUE(level.gaugeColumns.empty());
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
    level.depth[2][3] = 12.5f;
    level.depth[4][5] = 3.25f;
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
    EXPECT_EQ(ReadFile(File(kHistoryRouse)), "Time A_12.500000 B_3.250000 \n");
    settings.cellFieldFromFile = true;
    level.etaNext[2][3] = 1.0e10f;
    WriteGaugeHistories(settings, level, dir.Path().string(), 150.0);
    const std::string golden = std::string(VESTRA_SOURCE_DIR) + "/tests/data/output/gauges/";
    for (int q = 0; q < kTimeHistoryFileCount; ++q) {
        EXPECT_EQ(ReadFile(File(q)), ReadFile(golden + kTimeHistoryFileNames[q])) << kTimeHistoryFileNames[q];
    }
}

TEST_F(GaugeTest, ThresholdsOfDerivedQuantities) {
    // Faces count as wet above 1e-5 m, the V face and the N flux of the angle above 1e-4.
    auto at = [&](float m, float depthM, float n, float depthN, int quantity) {
        level.fluxMNext[1][1] = m, level.totalDepthM[1][1] = depthM;
        level.fluxNNext[1][1] = n, level.totalDepthN[1][1] = depthN;
        return GaugeValue(level, quantity, 1, 1);
    };
    EXPECT_FLOAT_EQ(at(1, 0.00002f, 1, 0.0001f, kHistoryU), 1 / 0.00002f);  // M face just wet
    EXPECT_EQ(at(1, 0.00002f, 1, 0.0001f, kHistoryV), 0.0);                // N face at the V threshold
    EXPECT_FLOAT_EQ(at(1, 0.00002f, 1, 0.0001f, kHistoryCurrent), 1 / 0.00002f);
    EXPECT_FLOAT_EQ(at(1, 1, 1, 0.00011f, kHistoryV), 1 / 0.00011f);
    for (int quantity : {kHistoryCurrent, kHistoryFroudeSquared, kHistoryFroude, kHistoryMomentumFlux}) {
        EXPECT_EQ(at(1, 1, 0.2f, 0.00001f, quantity), 0.0) << quantity;  // N face at the shared threshold
    }
    EXPECT_FLOAT_EQ(at(1, 1, 0.2f, 0.00001f, kHistoryU), 1.0f);
    EXPECT_EQ(at(2, 1, 0, 1, kHistoryFluxAngle), 0.0);  // no N flux: the angle is 0
    EXPECT_EQ(at(2, 1, 0.0001f, 1, kHistoryFluxAngle), 0.0);
    EXPECT_FLOAT_EQ(at(2, 1, 0.0001f, 1, kHistoryFluxMagnitude), 2.0f);
    // Momentum flux sqrt(M^4 / hM^2 + N^4 / hN^2) with M = 2, hM = 2, N = 1, hN = 1: sqrt(5).
    EXPECT_FLOAT_EQ(at(2, 2, 1, 1, kHistoryMomentumFlux), std::sqrt(5.0f));
}

TEST_F(GaugeTest, LevelsWithoutGaugesAndUnwritableFolders) {
    // No gauges: one empty line per call, as the time is written only before gauge values.
    SimulationParameters settings;
    WriteGaugeHistories(settings, level, level.outputFolder, 60.0);
    WriteGaugeHistories(settings, level, level.outputFolder, 120.0);
    EXPECT_EQ(ReadFile(File(kHistoryFlowDepth)), "\n\n");
    EXPECT_FALSE(fs::exists(File(kHistoryRouse)));

    // A folder that does not exist: one warning per file, the first time only; nothing crashes.
    const std::string missing = dir / "absent/";
    testing::internal::CaptureStderr();
    WriteGaugeHistories(settings, level, missing, 60.0);
    WriteGaugeHistories(settings, level, missing, 120.0);
    const std::string warnings = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountLines(warnings), static_cast<std::size_t>(kTimeHistoryFileCount - 1));
    EXPECT_NE(warnings.find(missing + "OUT-TIME-HISTORIES_ETA.dat"), std::string::npos);
}

}  // namespace
