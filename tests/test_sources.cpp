// Source events on level 0: Surfer text water levels replace the wave, netCDF ones add to it,
// flux grids add only where a cell and its four neighbours are wet; bad files warn and
// change nothing; CheckSourceEvent names the misfit.
#include <gtest/gtest.h>
#include <netcdf.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "SourceEvents.h"

namespace {

namespace fs = std::filesystem;

// Level 0 of 6 x 4 cells (non-square, so a transposed grid shows), all wet.
constexpr int32_t kNx = 6, kNy = 4;

GridLevel MakeLevel() {
    GridLevel level;
    level.nx = kNx;
    level.ny = kNy;
    level.xMax = kNx - 1;
    level.yMax = kNy - 1;
    for (Field* field : {&level.depth, &level.eta, &level.etaNext, &level.fluxM, &level.fluxMNext, &level.fluxN,
                         &level.fluxNNext})
        field->Allocate(kNx, kNy);
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
double Code(int32_t i, int32_t j) { return i + 0.125 * j; }

class SourceEvents : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("vestra-sources-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string PathOf(const std::string& name) const { return (folder_ / name).string(); }

    // Surfer text grid of nx x ny values value(i, j), rows from the south; `count` limits how
    // many values are written (a short file).
    std::string WriteSurfer(const std::string& name, int32_t nx, int32_t ny, double (*value)(int32_t, int32_t),
                            int32_t count = -1, const char* keyword = "DSAA") const {
        std::ofstream out(PathOf(name));
        out << keyword << "\n" << nx << " " << ny << "\n0 " << nx - 1 << "\n0 " << ny - 1 << "\n-5 5\n";
        int32_t written = 0;
        for (int32_t j = 1; j <= ny; ++j) {
            for (int32_t i = 1; i <= nx; ++i)
                if (count < 0 || written++ < count) out << value(i, j) << " ";
            out << "\n";
        }
        return PathOf(name);
    }

    // netCDF water level: "HA"(time, lat, lon) with `records` records of value(i, j).
    std::string WriteNetCdf(const std::string& name, int32_t nx, int32_t ny, int records, double (*value)(int32_t, int32_t),
                            const char* variable = "HA") const {
        const std::string path = PathOf(name);
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
        for (int r = 0; r < records; ++r)
            for (int32_t j = 1; j <= ny; ++j)
                for (int32_t i = 1; i <= nx; ++i) values.push_back(static_cast<float>(value(i, j)));
        EXPECT_EQ(nc_put_var_float(ncid, ha, values.data()), NC_NOERR);
        EXPECT_EQ(nc_close(ncid), NC_NOERR);
        return path;
    }

    fs::path folder_;
};

std::vector<float> Copy(const Field& field) { return {field.Data(), field.Data() + field.Size()}; }

// Every field the event may touch, to see that a refused file changes nothing at all.
std::vector<std::vector<float>> Snapshot(const GridLevel& level) {
    return {Copy(level.eta), Copy(level.etaNext), Copy(level.fluxM), Copy(level.fluxMNext), Copy(level.fluxN),
            Copy(level.fluxNNext)};
}

int CountLines(const std::string& text) {
    int lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

}  // namespace

TEST_F(SourceEvents, SurferWaterLevelReplacesTheWave) {
    GridLevel level = MakeLevel();
    SourceEvent event;
    event.etaFile = WriteSurfer("eta.grd", kNx, kNy, Code);
    ApplySourceEvent(level, event);
    for (int32_t i = 0; i <= kNx + 2; ++i)
        for (int32_t j = 0; j <= kNy + 2; ++j) {
            const bool interior = i >= 1 && i <= kNx && j >= 1 && j <= kNy;
            ASSERT_FLOAT_EQ(level.eta[i][j], interior ? static_cast<float>(Code(i, j)) : 1.0f) << i << "," << j;
            ASSERT_FLOAT_EQ(level.etaNext[i][j], interior ? static_cast<float>(Code(i, j)) : -1.0f) << i << "," << j;
            // No flux files: both flux fields untouched.
            ASSERT_FLOAT_EQ(level.fluxM[i][j], 0.5f);
            ASSERT_FLOAT_EQ(level.fluxMNext[i][j], 9.0f);
            ASSERT_FLOAT_EQ(level.fluxN[i][j], 0.25f);
            ASSERT_FLOAT_EQ(level.fluxNNext[i][j], 7.0f);
        }

    // A smaller grid covers cells (1, 1) onwards with its own nx and ny.
    GridLevel partial = MakeLevel();
    event.etaFile = WriteSurfer("small.grd", 3, 2, [](int32_t i, int32_t j) { return -Code(i, j); });
    ApplySourceEvent(partial, event);
    for (int32_t i = 1; i <= kNx; ++i)
        for (int32_t j = 1; j <= kNy; ++j)
            EXPECT_FLOAT_EQ(partial.eta[i][j], i <= 3 && j <= 2 ? static_cast<float>(-Code(i, j)) : 1.0f);
}

TEST_F(SourceEvents, NetCdfWaterLevelAddsToTheWave) {
    GridLevel level = MakeLevel();
    level.eta[2][3] = 0.75f;
    SourceEvent event;
    event.etaFile = WriteNetCdf("eta.nc", kNx, kNy, 1, [](int32_t i, int32_t j) { return 0.5 * i + 0.0625 * j; });
    ApplySourceEvent(level, event);
    for (int32_t i = 1; i <= kNx; ++i)
        for (int32_t j = 1; j <= kNy; ++j) {
            const float before = i == 2 && j == 3 ? 0.75f : 1.0f;
            const float expected = before + static_cast<float>(0.5 * i + 0.0625 * j);
            ASSERT_EQ(level.eta[i][j], expected) << i << "," << j;
            ASSERT_EQ(level.etaNext[i][j], expected) << i << "," << j;
        }
    EXPECT_FLOAT_EQ(level.eta[0][1], 1.0f);
    EXPECT_FLOAT_EQ(level.etaNext[kNx + 1][1], -1.0f);
}

TEST_F(SourceEvents, FluxAddedOnlyWhereFiveCellsAreWet) {
    GridLevel level = MakeLevel();
    level.depth[3][2] = 0.0f;   // land inside
    level.depth[6][4] = -4.0f;  // land in the north-east corner
    SourceEvent event;
    event.etaFile = WriteSurfer("eta.grd", kNx, kNy, Code);
    event.fluxMFile = WriteSurfer("m.grd", kNx, kNy, [](int32_t i, int32_t j) { return 10.0 * i + j; });
    event.fluxNFile = WriteSurfer("n.grd", kNx, kNy, [](int32_t i, int32_t j) { return -(10.0 * i + j); }, -1, "XXXX");
    ApplySourceEvent(level, event);

    // Cells with land among themselves and their four neighbours, by hand.
    const std::set<std::pair<int32_t, int32_t>> dropped = {{3, 2}, {2, 2}, {4, 2}, {3, 1}, {3, 3},
                                                           {6, 4}, {5, 4}, {6, 3}};
    for (int32_t i = 1; i <= kNx; ++i)
        for (int32_t j = 1; j <= kNy; ++j) {
            const bool drop = dropped.count({i, j}) > 0;
            const float m = drop ? 0.5f : static_cast<float>(0.5 + 10.0 * i + j);
            const float n = drop ? 0.25f : static_cast<float>(0.25 - (10.0 * i + j));
            ASSERT_EQ(level.fluxM[i][j], m) << i << "," << j;
            ASSERT_EQ(level.fluxMNext[i][j], m) << i << "," << j;
            ASSERT_EQ(level.fluxN[i][j], n) << i << "," << j;
            ASSERT_EQ(level.fluxNNext[i][j], n) << i << "," << j;
        }
    EXPECT_FLOAT_EQ(level.fluxMNext[0][0], 9.0f);  // the halo is not touched
}

TEST_F(SourceEvents, BadFilesWarnOnceAndChangeNothing) {
    const std::string shortGrid = WriteSurfer("short.grd", kNx, kNy, Code, 20);
    const std::string wordy = PathOf("word.grd");
    std::ofstream(wordy) << "DSAA\n6 4\n0 5\n0 3\n-1 1\n1 2 3 x 5 6\n";
    const std::string notFinite = PathOf("nan.grd");
    std::ofstream(notFinite) << "DSAA\n6 4\n0 5\n0 3\n-1 1\n1 2 3 nan 5 6\n";
    const std::string noHeader = PathOf("header.grd");
    std::ofstream(noHeader) << "DSAA\nsix 4\n";
    const std::string garbage = PathOf("garbage.bin");
    std::ofstream(garbage) << "\x89HDF\r\n\x1a\n garbage";
    const std::string empty = PathOf("empty.grd");
    std::ofstream{empty};
    const std::string bad[] = {
        PathOf("missing.grd"),
        shortGrid,
        wordy,
        notFinite,
        noHeader,
        garbage,
        empty,
        WriteSurfer("wide.grd", kNx + 1, kNy, Code),
        WriteNetCdf("two.nc", kNx, kNy, 2, Code),
        WriteNetCdf("tall.nc", kNx, kNy + 1, 1, Code),
        WriteNetCdf("noha.nc", kNx, kNy, 1, Code, "Z"),
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
            EXPECT_EQ(CountLines(warning), 1) << warning;
            EXPECT_NE(warning.find(path), std::string::npos) << warning;
            EXPECT_NE(warning.find("not applied"), std::string::npos) << warning;
            EXPECT_TRUE(Snapshot(level) == before) << path << " in slot " << slot;
        }
    }

    // A good water level still applies when its flux file is bad.
    GridLevel level = MakeLevel();
    SourceEvent event;
    event.etaFile = WriteSurfer("eta.grd", kNx, kNy, Code);
    event.fluxMFile = shortGrid;
    ::testing::internal::CaptureStderr();
    ApplySourceEvent(level, event);
    EXPECT_EQ(CountLines(::testing::internal::GetCapturedStderr()), 1);
    EXPECT_FLOAT_EQ(level.eta[kNx][kNy], static_cast<float>(Code(kNx, kNy)));
    EXPECT_FLOAT_EQ(level.fluxM[2][2], 0.5f);
    EXPECT_FLOAT_EQ(level.fluxMNext[2][2], 9.0f);
}

TEST_F(SourceEvents, CheckNamesTheFileAndTheMisfit) {
    const GridLevel level = MakeLevel();
    SourceEvent event;
    event.etaFile = WriteSurfer("eta.grd", kNx, kNy, Code);
    event.fluxMFile = WriteSurfer("m.grd", kNx, kNy, Code);
    event.fluxNFile = WriteSurfer("n.grd", kNx, kNy, Code);
    EXPECT_EQ(CheckSourceEvent(event, level), "");
    event.etaFile = WriteNetCdf("eta.nc", kNx, kNy, 1, Code);
    EXPECT_EQ(CheckSourceEvent(event, level), "");

    auto check = [&level](SourceEvent e) { return CheckSourceEvent(e, level); };
    auto has = [](const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    };
    SourceEvent misfit = event;
    misfit.etaFile = WriteSurfer("small.grd", kNx - 1, kNy, Code);
    std::string message = check(misfit);
    EXPECT_TRUE(has(message, "water-level file") && has(message, "small.grd") && has(message, "5 x 4 cells") &&
                has(message, "level 0 has 6 x 4"))
        << message;
    misfit.etaFile = WriteNetCdf("two.nc", kNx, kNy, 2, Code);
    message = check(misfit);
    EXPECT_TRUE(has(message, "2 records")) << message;
    misfit.etaFile = WriteNetCdf("noha.nc", kNx, kNy, 1, Code, "Z");
    message = check(misfit);
    EXPECT_TRUE(has(message, "no variable \"HA\"")) << message;
    misfit.etaFile = PathOf("missing.nc");
    message = check(misfit);
    EXPECT_TRUE(has(message, "missing.nc") && has(message, "cannot be opened")) << message;
    misfit.etaFile = "";
    EXPECT_TRUE(has(check(misfit), "no water-level file"));

    misfit = event;
    misfit.fluxMFile = WriteSurfer("short.grd", kNx, kNy, Code, 20);
    message = check(misfit);
    EXPECT_TRUE(has(message, "x-flux file") && has(message, "ends after 20 of 24 values")) << message;
    misfit = event;
    misfit.fluxNFile = WriteSurfer("tall.grd", kNx, kNy + 2, Code);
    message = check(misfit);
    EXPECT_TRUE(has(message, "y-flux file") && has(message, "6 x 6 cells")) << message;
    misfit = event;
    misfit.etaFile = WriteNetCdf("inf.nc", kNx, kNy, 1, [](int32_t i, int32_t) { return i == 3 ? 1e39 : 0.0; });
    message = check(misfit);
    EXPECT_TRUE(has(message, "value 3 is not a finite number")) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos);
}
