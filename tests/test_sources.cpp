// Source events on level 0: water levels, fluxes between sea cells, and bad files refused or left out.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "KernelFixture.h"
#include "NetCdfWriter.h"
#include "SourceEvents.h"
#include "TestSupport.h"

namespace {

// Level 0 of 6 x 4 cells (non-square, so a transposed grid shows), all wet, each touched field its own value.
constexpr int kNx = 6, kNy = 4;
std::vector<Field*> Touched(GridLevel& l) {
    return {&l.eta, &l.etaNext, &l.fluxM, &l.fluxMNext, &l.fluxN, &l.fluxNNext};
}

GridLevel MakeLevel() {
    GridLevel level = fixture::CartesianLevel(kNx, kNy);
    level.xMax = kNx - 1;
    level.yMax = kNy - 1;
    level.depth.Fill(10.0f);
    for (int k = 0; Field* f : Touched(level)) f->Fill(std::vector<float>{1.0f, -1.0f, 0.5f, 9.0f, 0.25f, 7.0f}[k++]);
    return level;
}

// A value that encodes its cell, with a fraction that single precision keeps exactly.
double Code(int i, int j) { return i + 0.125 * j; }

// Surfer text grid of nx x ny values value(i, j), rows from the south; `count` values only.
std::string WriteSurfer(const ScratchFolder& dir, const std::string& name, int nx, int ny, double (*value)(int, int),
                        int count = -1, const char* keyword = "DSAA") {
    std::string text = std::string(keyword) + "\n" + std::to_string(nx) + " " + std::to_string(ny) + "\n0 " +
                       std::to_string(nx - 1) + "\n0 " + std::to_string(ny - 1) + "\n-5 5\n";
    for (int k = 0; k < (count < 0 ? nx * ny : count); ++k) text += std::to_string(value(k % nx + 1, k / nx + 1)) + ' ';
    return dir.Write(name, text);
}

// netCDF water level of level 0's size with `records` records of value(i, j).
std::string WriteNetCdf(const ScratchFolder& dir, const std::string& name, double (*value)(int, int), int records) {
    std::vector<float> values;
    for (int k = 0; k < kNx * kNy; ++k) values.push_back(static_cast<float>(value(k % kNx + 1, k / kNx + 1)));
    for (int r = 0; r < records; ++r) WriteNetCdfGrid(values.data(), dir / name, r, 0, 5, 0, 3, kNx, kNy, r);
    return dir / name;
}

TEST(SourceEvents, WaterLevelsReplaceOrAddAndFluxesAddOnlyBetweenSeaCells) {
    // Surfer: eta and etaNext take the grid. netCDF: added to eta, etaNext follows. The halo stays.
    ScratchFolder dir;
    GridLevel surfer = MakeLevel(), added = MakeLevel();
    surfer.depth[3][2] = 0.0f;   // land inside
    surfer.depth[6][4] = -4.0f;  // land in the north-east corner
    added.eta[2][3] = 0.75f;
    // Any keyword opens a Surfer flux grid.
    ApplySourceEvent(surfer, {WriteSurfer(dir, "eta.grd", kNx, kNy, Code),
                              WriteSurfer(dir, "m.grd", kNx, kNy, [](int i, int j) { return 10.0 * i + j; }),
                              WriteSurfer(dir, "n", kNx, kNy, [](int i, int j) { return -10.0 * i - j; }, -1, "X")});
    ApplySourceEvent(added, {WriteNetCdf(dir, "eta.nc", [](int i, int j) { return 0.5 * i + j / 16.0; }, 1), "", ""});
    // Faces touching land, by hand, and the outer faces of the east column (M) and north row (N).
    const std::set<std::pair<int, int>> droppedM = {{3, 2}, {2, 2}, {5, 4}}, droppedN = {{3, 2}, {3, 1}, {6, 3}};
    fixture::ForEachCell(surfer, [&](int i, int j) {
        const bool in = fixture::Interior(surfer, i, j);
        const float code = static_cast<float>(Code(i, j));
        const float sum = (i == 2 && j == 3 ? 0.75f : 1.0f) + static_cast<float>(0.5 * i + j / 16.0);
        const float m = in && i < kNx && !droppedM.count({i, j}) ? static_cast<float>(0.5 + 10.0 * i + j) : 0.5f;
        const float n = in && j < kNy && !droppedN.count({i, j}) ? static_cast<float>(0.25 - (10.0 * i + j)) : 0.25f;
        ASSERT_TRUE(surfer.eta[i][j] == (in ? code : 1.0f) && surfer.etaNext[i][j] == (in ? code : -1.0f)) << i << j;
        ASSERT_TRUE(added.eta[i][j] == (in ? sum : 1.0f) && added.etaNext[i][j] == (in ? sum : -1.0f)) << i << j;
        ASSERT_TRUE(surfer.fluxM[i][j] == m && surfer.fluxMNext[i][j] == (in ? m : 9.0f)) << i << "," << j;
        ASSERT_TRUE(surfer.fluxN[i][j] == n && surfer.fluxNNext[i][j] == (in ? n : 7.0f)) << i << "," << j;
    });
}

TEST(SourceEvents, BadFilesAreRefusedByTheCheckAndWarnedAboutAndLeftOutWhenApplied) {
    ScratchFolder dir;
    const GridLevel good = MakeLevel();
    const SourceEvent fine = {WriteSurfer(dir, "eta.grd", kNx, kNy, Code), WriteSurfer(dir, "m.grd", kNx, kNy, Code),
                              WriteSurfer(dir, "n.grd", kNx, kNy, Code)};
    EXPECT_EQ(CheckSourceEvent(fine, good), "");
    EXPECT_EQ(CheckSourceEvent({WriteNetCdf(dir, "eta.nc", Code, 1), fine.fluxMFile, ""}, good), "");
    EXPECT_EQ(CheckSourceEvent({"", fine.fluxMFile, ""}, good), "the event names no water-level file");
    const struct {
        int slot;  // water level, x-flux, y-flux
        std::string path, part;
    } cases[] = {
        {0, dir / "missing.nc", "cannot be opened"},
        {0, WriteNetCdf(dir, "two.nc", Code, 2), "2 records"},
        {0, WriteSurfer(dir, "wide.grd", kNx + 1, kNy, Code), "has 7 x 4 cells, level 0 has 6 x 4"},
        {1, WriteSurfer(dir, "short.grd", kNx, kNy, Code, 20), "ends after 20 of 24 values"},
        {2, WriteSurfer(dir, "tall.grd", kNx, kNy + 2, Code), "has 6 x 6 cells, level 0 has 6 x 4"},
    };
    const std::string label[] = {"water-level file ", "x-flux file ", "y-flux file "};
    auto with = [](SourceEvent e, int slot, const std::string& path) {
        (slot == 0 ? e.etaFile : slot == 1 ? e.fluxMFile : e.fluxNFile) = path;
        return e;
    };
    for (const auto& c : cases) {
        const std::string message = CheckSourceEvent(with(fine, c.slot, c.path), good);
        EXPECT_TRUE(message.starts_with(label[c.slot] + c.path + ": ") &&
                    message.find(c.part) != std::string::npos) << message;
        // A bad flux file leaves the event's good water level applied: the fields as after the level alone.
        GridLevel level = MakeLevel(), fresh = MakeLevel();
        const SourceEvent levelOnly = {c.slot == 0 ? "" : fine.etaFile, "", ""};
        ApplySourceEvent(fresh, levelOnly);
        ::testing::internal::CaptureStderr();
        ApplySourceEvent(level, with(levelOnly, c.slot, c.path));
        const std::string warning = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(warning.starts_with("vestra: warning: source grid " + c.path + " not applied: ")) << warning;
        EXPECT_TRUE(CountLines(warning) == 1 && warning.find(c.part) != std::string::npos) << warning;
        for (int k = 0; k < 6; ++k) EXPECT_TRUE(fixture::SameBytes(*Touched(level)[k], *Touched(fresh)[k])) << c.path;
    }
}

}  // namespace
