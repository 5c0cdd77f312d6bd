// Source events on level 0: Surfer text water levels replace the wave, netCDF ones add to it,
// flux grids add only on faces between two sea cells; bad files warn and
// change nothing; CheckSourceEvent names the misfit.
#include <gtest/gtest.h>
#include <netcdf.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "KernelFixture.h"
#include "SourceEvents.h"
#include "TestSupport.h"

namespace {

// Level 0 of 6 x 4 cells (non-square, so a transposed grid shows), all wet, every field the
// event may touch holding its own value.
constexpr int kNx = 6, kNy = 4;

GridLevel MakeLevel() {
    GridLevel level = fixture::CartesianLevel(kNx, kNy);
    level.xMax = kNx - 1;
    level.yMax = kNy - 1;
    level.depth.Fill(10.0f);
    level.eta.Fill(1.0f);
    level.etaNext.Fill(-1.0f);
    level.fluxM.Fill(0.5f);
    level.fluxMNext.Fill(9.0f);
    level.fluxN.Fill(0.25f);
    level.fluxNNext.Fill(7.0f);
    return level;
}

// A value that encodes its cell, with a fraction that single precision keeps exactly.
double Code(int i, int j) { return i + 0.125 * j; }

// Surfer text grid of nx x ny values value(i, j), rows from the south; `count` limits how many
// values are written (a short file).
std::string WriteSurfer(const ScratchFolder& dir, const std::string& name, int nx, int ny, double (*value)(int, int),
                        int count = -1, const char* keyword = "DSAA") {
    std::string text = std::string(keyword) + "\n" + std::to_string(nx) + " " + std::to_string(ny) + "\n0 " +
                       std::to_string(nx - 1) + "\n0 " + std::to_string(ny - 1) + "\n-5 5\n";
    for (int k = 0; k < (count < 0 ? nx * ny : count); ++k) text += std::to_string(value(k % nx + 1, k / nx + 1)) + ' ';
    return dir.Write(name, text);
}

// netCDF water level: "HA"(time, lat, lon) with `records` records of value(i, j).
std::string WriteNetCdf(const ScratchFolder& dir, const std::string& name, int nx, int ny, int records,
                        double (*value)(int, int), const char* variable = "HA") {
    const std::string path = dir / name;
    int ncid = 0, dims[3] = {0, 0, 0}, lat = 0, lon = 0, ha = 0;
    EXPECT_EQ(nc_create(path.c_str(), NC_CLOBBER, &ncid), NC_NOERR);
    nc_def_dim(ncid, "time", static_cast<size_t>(records), &dims[0]);
    nc_def_dim(ncid, "lat", static_cast<size_t>(ny), &dims[1]);
    nc_def_dim(ncid, "lon", static_cast<size_t>(nx), &dims[2]);
    nc_def_var(ncid, "LAT", NC_DOUBLE, 1, &dims[1], &lat);
    nc_def_var(ncid, "LON", NC_DOUBLE, 1, &dims[2], &lon);
    nc_def_var(ncid, variable, NC_FLOAT, 3, dims, &ha);
    nc_enddef(ncid);
    std::vector<float> values;
    for (int k = 0; k < records * nx * ny; ++k) values.push_back(static_cast<float>(value(k % nx + 1, k / nx % ny + 1)));
    EXPECT_EQ(nc_put_var_float(ncid, ha, values.data()), NC_NOERR);
    EXPECT_EQ(nc_close(ncid), NC_NOERR);
    return path;
}

SourceEvent Event(const std::string& eta, const std::string& m = "", const std::string& n = "") { return {eta, m, n}; }

// Every field the event may touch, to see that a refused file changes nothing at all.
std::vector<std::vector<float>> Snapshot(GridLevel& level) {
    std::vector<std::vector<float>> copy;
    for (const Field* f : {&level.eta, &level.etaNext, &level.fluxM, &level.fluxMNext, &level.fluxN, &level.fluxNNext})
        copy.emplace_back(f->Data(), f->Data() + f->Size());
    return copy;
}

TEST(SourceEvents, WaterLevelsReplaceFromSurferAndAddFromNetCdf) {
    // Surfer text: eta and etaNext take the grid, the halo and both flux fields stay; a smaller
    // grid covers cells (1, 1) onwards with its own nx and ny. netCDF: added to eta, etaNext follows.
    ScratchFolder dir;
    GridLevel full = MakeLevel(), partial = MakeLevel(), added = MakeLevel();
    added.eta[2][3] = 0.75f;
    ApplySourceEvent(full, Event(WriteSurfer(dir, "eta.grd", kNx, kNy, Code)));
    ApplySourceEvent(partial, Event(WriteSurfer(dir, "small.grd", 3, 2, [](int i, int j) { return -Code(i, j); })));
    ApplySourceEvent(added, Event(WriteNetCdf(dir, "eta.nc", kNx, kNy, 1, [](int i, int j) { return 0.5 * i + j / 16.0; })));
    fixture::ForEachCell(full, [&](int i, int j) {
        const bool interior = i >= 1 && i <= kNx && j >= 1 && j <= kNy;
        const float code = static_cast<float>(Code(i, j)), rise = static_cast<float>(0.5 * i + j / 16.0);
        const float sum = (i == 2 && j == 3 ? 0.75f : 1.0f) + rise;
        ASSERT_EQ(full.eta[i][j], interior ? code : 1.0f) << i << "," << j;
        ASSERT_EQ(full.etaNext[i][j], interior ? code : -1.0f) << i << "," << j;
        ASSERT_TRUE(full.fluxM[i][j] == 0.5f && full.fluxMNext[i][j] == 9.0f && full.fluxN[i][j] == 0.25f &&
                    full.fluxNNext[i][j] == 7.0f);
        ASSERT_EQ(partial.eta[i][j], interior && i <= 3 && j <= 2 ? -code : 1.0f) << i << "," << j;
        ASSERT_EQ(added.eta[i][j], interior ? sum : 1.0f) << i << "," << j;
        ASSERT_EQ(added.etaNext[i][j], interior ? sum : -1.0f) << i << "," << j;
    });
}

TEST(SourceEvents, FluxAddedOnlyOnFacesBetweenSeaCells) {
    ScratchFolder dir;
    GridLevel level = MakeLevel();
    level.depth[3][2] = 0.0f;   // land inside
    level.depth[6][4] = -4.0f;  // land in the north-east corner
    // Any keyword opens a Surfer flux grid.
    ApplySourceEvent(level, {WriteSurfer(dir, "eta.grd", kNx, kNy, Code),
                             WriteSurfer(dir, "m.grd", kNx, kNy, [](int i, int j) { return 10.0 * i + j; }),
                             WriteSurfer(dir, "n.grd", kNx, kNy, [](int i, int j) { return -10.0 * i - j; }, -1, "XXXX")});
    // Faces touching land, by hand, and the outer faces of the east column (M) and north row (N).
    const std::set<std::pair<int, int>> droppedM = {{3, 2}, {2, 2}, {5, 4}}, droppedN = {{3, 2}, {3, 1}, {6, 3}};
    fixture::ForEachCell(level, [&](int i, int j) {
        const bool interior = i >= 1 && i <= kNx && j >= 1 && j <= kNy;
        const bool addM = interior && i < kNx && droppedM.count({i, j}) == 0;
        const bool addN = interior && j < kNy && droppedN.count({i, j}) == 0;
        const float m = addM ? static_cast<float>(0.5 + 10.0 * i + j) : 0.5f;
        const float n = addN ? static_cast<float>(0.25 - (10.0 * i + j)) : 0.25f;
        // fluxMNext and fluxNNext follow; the halo is not touched.
        ASSERT_TRUE(level.fluxM[i][j] == m && level.fluxMNext[i][j] == (interior ? m : 9.0f)) << i << "," << j;
        ASSERT_TRUE(level.fluxN[i][j] == n && level.fluxNNext[i][j] == (interior ? n : 7.0f)) << i << "," << j;
    });
}

TEST(SourceEvents, BadFilesWarnOnceAndChangeNothing) {
    ScratchFolder dir;
    const std::string shortGrid = WriteSurfer(dir, "short.grd", kNx, kNy, Code, 20);
    const std::string bad[] = {
        dir / "missing.grd",
        shortGrid,
        dir.Write("word.grd", "DSAA\n6 4\n0 5\n0 3\n-1 1\n1 2 3 x 5 6\n"),
        dir.Write("nan.grd", "DSAA\n6 4\n0 5\n0 3\n-1 1\n1 2 3 nan 5 6\n"),
        dir.Write("header.grd", "DSAA\nsix 4\n"),
        dir.Write("garbage.bin", "\x89HDF\r\n\x1a\n garbage"),
        dir.Write("empty.grd", ""),
        WriteSurfer(dir, "wide.grd", kNx + 1, kNy, Code),
        WriteNetCdf(dir, "two.nc", kNx, kNy, 2, Code),
        WriteNetCdf(dir, "tall.nc", kNx, kNy + 1, 1, Code),
        WriteNetCdf(dir, "noha.nc", kNx, kNy, 1, Code, "Z"),
    };
    for (const std::string& path : bad) {
        for (int slot = 0; slot < 3; ++slot) {
            GridLevel level = MakeLevel();
            const auto before = Snapshot(level);
            SourceEvent event;
            (slot == 0 ? event.etaFile : slot == 1 ? event.fluxMFile : event.fluxNFile) = path;
            ::testing::internal::CaptureStderr();
            ApplySourceEvent(level, event);
            const std::string warning = ::testing::internal::GetCapturedStderr();
            EXPECT_EQ(CountLines(warning), 1u) << warning;
            EXPECT_NE(warning.find(path), std::string::npos) << warning;
            EXPECT_NE(warning.find("not applied"), std::string::npos) << warning;
            EXPECT_TRUE(Snapshot(level) == before) << path << " in slot " << slot;
        }
    }
    // A good water level still applies when its flux file is bad.
    GridLevel level = MakeLevel();
    ::testing::internal::CaptureStderr();
    ApplySourceEvent(level, Event(WriteSurfer(dir, "eta.grd", kNx, kNy, Code), shortGrid));
    EXPECT_EQ(CountLines(::testing::internal::GetCapturedStderr()), 1u);
    fixture::ExpectCells({{level.eta, kNx, kNy, Code(kNx, kNy)}, {level.fluxM, 2, 2, 0.5}, {level.fluxMNext, 2, 2, 9}});
}

TEST(SourceEvents, CheckNamesTheFileAndTheMisfit) {
    ScratchFolder dir;
    const GridLevel level = MakeLevel();
    const SourceEvent good = {WriteSurfer(dir, "eta.grd", kNx, kNy, Code), WriteSurfer(dir, "m.grd", kNx, kNy, Code),
                              WriteSurfer(dir, "n.grd", kNx, kNy, Code)};
    const std::string m = good.fluxMFile, n = good.fluxNFile;
    const struct {
        SourceEvent event;
        std::vector<std::string> parts;  // none: accepted
    } cases[] = {
        {good, {}},
        {{WriteNetCdf(dir, "eta.nc", kNx, kNy, 1, Code), m, n}, {}},
        {{WriteSurfer(dir, "small.grd", kNx - 1, kNy, Code), m, n},
         {"water-level file", "small.grd", "5 x 4 cells", "level 0 has 6 x 4"}},
        {{WriteNetCdf(dir, "two.nc", kNx, kNy, 2, Code), m, n}, {"2 records"}},
        {{WriteNetCdf(dir, "noha.nc", kNx, kNy, 1, Code, "Z"), m, n}, {"no variable \"HA\""}},
        {{dir / "missing.nc", m, n}, {"missing.nc", "cannot be opened"}},
        {{"", m, n}, {"no water-level file"}},
        {{good.etaFile, WriteSurfer(dir, "short.grd", kNx, kNy, Code, 20), n},
         {"x-flux file", "ends after 20 of 24 values"}},
        {{good.etaFile, m, WriteSurfer(dir, "tall.grd", kNx, kNy + 2, Code)}, {"y-flux file", "6 x 6 cells"}},
        {{WriteNetCdf(dir, "inf.nc", kNx, kNy, 1, [](int i, int) { return i == 3 ? 1e39 : 0.0; }), m, n},
         {"value 3 is not a finite number"}},
    };
    for (const auto& c : cases) {
        const std::string message = CheckSourceEvent(c.event, level);
        EXPECT_EQ(message.empty(), c.parts.empty()) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;  // one line
        for (const std::string& part : c.parts) EXPECT_NE(message.find(part), std::string::npos) << message;
    }
}

}  // namespace
