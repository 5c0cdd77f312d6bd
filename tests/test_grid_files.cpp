// Grid files and netCDF result files: golden bytes under tests/data/output, the console line,
// failures reported on standard error, and files read back by independent readers (GDAL,
// ncdump and the netCDF C library).
#include <gtest/gtest.h>
#include <netcdf.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "NetCdfWriter.h"
#include "TestSupport.h"
#include "ZellUtility.h"

namespace {

const std::string kGolden = std::string(VESTRA_SOURCE_DIR) + "/tests/data/output/";

GridFileHeader Header(uint32_t nx, uint32_t ny, double xMin, double xMax, double yMin, double yMax, float zMin,
                      float zMax) {
    GridFileHeader h;
    h.nx = nx, h.ny = ny, h.zMin = zMin, h.zMax = zMax, h.xMin = xMin, h.xMax = xMax, h.yMin = yMin, h.yMax = yMax;
    return h;
}

std::vector<float> Ramp(std::size_t count, float start = 0.0f) {
    std::vector<float> values(count);
    for (std::size_t k = 0; k < count; ++k) values[k] = start + static_cast<float>(k);
    return values;
}

const std::vector<float> kThreeByTwo = {1, 2, 3, 4, 5, 6};  // first row (at yMin) 1 2 3, second 4 5 6

// Every value of a netCDF variable as double, read through the netCDF library (empty if absent).
std::vector<double> NcValues(const std::string& path, const char* name) {
    int id = -1, var = -1, ndims = 0, dims[NC_MAX_VAR_DIMS];
    std::vector<double> values;
    if (nc_open(path.c_str(), NC_NOWRITE, &id) != NC_NOERR) return values;
    if (nc_inq_varid(id, name, &var) == NC_NOERR && nc_inq_var(id, var, nullptr, nullptr, &ndims, dims, nullptr) == 0) {
        std::size_t count = 1;
        for (int d = 0; d < ndims; ++d) {
            std::size_t length = 0;
            nc_inq_dimlen(id, dims[d], &length);
            count *= length;
        }
        values.resize(count);
        nc_get_var_double(id, var, values.data());
    }
    nc_close(id);
    return values;
}

std::vector<double> Doubles(const std::vector<float>& v) { return {v.begin(), v.end()}; }

}  // namespace

// One row per layout rule. Surfer text: the row end breaks the line, so does p mod ny = ny - 1
// (inside rows of non-square grids, an empty line after square rows), and every tenth value of a
// line; the padding after a value depends on its integer digits (one space from five digits on,
// also for NaN and values beyond 32 bits). ESRI: rows from north to south, %g, cell size from x
// (from y for a single column). Binary: "DSBB", nx and ny as int16, six doubles, floats.
TEST(GridFiles, WrittenBytesEqualTheGoldenFiles) {
    std::vector<float> padded(100, 1.0f);
    const float firstRow[] = {1.5f, -12.5f, -0.5f, -1.5f, 123456.5f, -99999.0f, 1e20f, NAN, 0.25f, 7.0f};
    std::copy(std::begin(firstRow), std::end(firstRow), padded.begin());
    std::vector<float> square(625);
    for (std::size_t p = 0; p < square.size(); ++p) square[p] = static_cast<float>(p % 7) - 3.25f;
    const std::vector<float> twelve = Ramp(12);
    const std::vector<float> general = {0.1f, 1234567.0f, 0.00001f, -0.5f, 123.456789f, 0.0f};
    const struct {
        const char* golden;
        uint32_t format;
        GridFileHeader header;
        const float* values;
    } cases[] = {
        {"grid-3x2.grd", SurferText, Header(3, 2, -1, 1, -0.5, 0.5, 1, 6), kThreeByTwo.data()},
        {"grid-3x2_bin.grd", SurferBinary, Header(3, 2, -1, 1, -0.5, 0.5, 1, 6), kThreeByTwo.data()},
        {"grid-3x2.asc", EsriAscii, Header(3, 2, -1, 1, -0.5, 0.5, 1, 6), kThreeByTwo.data()},
        {"grid-4x3.grd", SurferText, Header(4, 3, -1.5, 1.5, 0.1, 100000, 0, 11), twelve.data()},
        {"grid-12x1.grd", SurferText, Header(12, 1, 0, 11, 0, 0, 0, 11), twelve.data()},
        {"grid-10x10-padding.grd", SurferText, Header(10, 10, 0, 9, 0, 9, -99999, 1e20f), padded.data()},
        {"grid-25x25.grd", SurferText, Header(25, 25, 0, 24, 0, 24, -3.25f, 2.75f), square.data()},
        {"grid-0x0.grd", SurferText, Header(0, 0, 0, 0, 0, 0, 0, 0), nullptr},
        {"grid-general.asc", EsriAscii, Header(2, 3, 26.125, 26.5, -8.0, 100.0, 0, 0), general.data()},
        {"grid-column.asc", EsriAscii, Header(1, 3, 5, 5, 0, 4, 0, 0), general.data()},
    };
    ScratchFolder folder;
    for (const auto& c : cases) {
        const std::string golden = c.golden;
        const std::string base = golden.substr(0, golden.find(c.format == SurferBinary ? "_bin" : "."));
        testing::internal::CaptureStdout();
        EXPECT_EQ(WriteGridFile(c.values, c.header, folder / base, c.format), 0) << golden;
        const std::string console = testing::internal::GetCapturedStdout();
        EXPECT_EQ(console.rfind(folder / base + " MM(", 0), 0u) << console;
        EXPECT_EQ(CountLines(console), 1u) << console;
        EXPECT_EQ(ReadFile(folder / golden), ReadFile(kGolden + golden)) << golden;
    }
    // Counts beyond 16 bits keep their low 16 bits (70000 = 0x11170, 70001 = 0x11171).
    const auto header = SurferBinaryHeader(70000, 70001, 1.0, 2.0, -1.0, 0.5, -2.0, 3.25);
    EXPECT_EQ(std::string(header.begin(), header.begin() + 8), std::string("DSBB\x70\x11\x71\x11", 8));
}

TEST(GridFiles, GdalReadsTheGoldenGridsAlike) {
    if (RunShell("command -v gdal_translate").empty()) GTEST_SKIP() << "gdal_translate not installed";
    // GDAL lists the cells from the northern row down: 4 5 6 (at y = 0.5) then 1 2 3 (at y = -0.5);
    // Surfer grids carry node coordinates, ESRI grids cell corners.
    for (const char* name : {"grid-3x2.grd", "grid-3x2_bin.grd", "grid-3x2.asc"}) {
        const std::string xyz = RunShell("gdal_translate -q -of XYZ '" + kGolden + name + "' /vsistdout/ 2>/dev/null");
        std::istringstream lines(xyz);
        std::vector<double> values, ys;
        for (double x, y, z; lines >> x >> y >> z;) values.push_back(z), ys.push_back(y);
        EXPECT_EQ(values, (std::vector<double>{4, 5, 6, 1, 2, 3})) << name << "\n" << xyz;
        if (std::string(name).find(".asc") == std::string::npos) {
            EXPECT_EQ(ys, (std::vector<double>{0.5, 0.5, 0.5, -0.5, -0.5, -0.5})) << name;
        }
    }
}

TEST(NumberFormat, MatchesPrintfFixedAndGeneral) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
    std::uniform_int_distribution<int> exponent(-9, 12);
    for (int k = 0; k < 3000; ++k) {
        const double value = mantissa(random) * std::pow(10.0, exponent(random));
        char reference[512];
        std::string mine;
        std::snprintf(reference, sizeof reference, "%.7f", value);
        AppendFixed(mine, value, 7);
        ASSERT_EQ(mine, reference);
        mine.clear();
        std::snprintf(reference, sizeof reference, "%g", static_cast<double>(static_cast<float>(value)));
        AppendGeneral(mine, static_cast<float>(value));
        ASSERT_EQ(mine, reference);
    }
    std::string halves;  // ties round to even, as printf does
    AppendFixed(halves, 0.5, 0);
    AppendFixed(halves, -12.5, 7);
    EXPECT_EQ(halves, "0-12.5000000");
}

TEST(ColumnLayout, TenPerLineRightAlignedAndAlwaysSeparated) {
    std::string out;
    ColumnLayoutText layout(out, 13, 7);
    for (int i = 0; i < 12; ++i) layout.Value(i);
    layout.EndRow();
    layout.Text("0");
    layout.Value(-2.5);
    layout.Value(123456.0);  // 14 characters: one space before it
    layout.EndRow();
    layout.EndRow();  // a row without values leaves no text
    std::string expected = "0.0000000";
    for (int i = 1; i < 10; ++i) expected += "    " + std::to_string(i) + ".0000000";
    expected += "\n10.0000000   11.0000000\n\n0   -2.5000000 123456.0000000\n\n";
    EXPECT_EQ(out, expected);
}

TEST(WriteGridFile, NetCdfStubUnknownFormatAndUnwritableFiles) {
    ScratchFolder folder;
    const auto header = Header(3, 2, 0, 2, 0, 1, -1.234567f, 2.345678f);
    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteGridFile(kThreeByTwo.data(), header, folder / "n", NetCdf), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(WriteGridFile(kThreeByTwo.data(), header, folder / "u", 7), 1);
    const std::string diagnostic = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Stub Write File " + folder / "n.nc" +
                                                          " MM(2.345678, -1.234567)\n" + folder / "n" +
                                                          " MM(2.345678, -1.234567)\n");
    EXPECT_TRUE(folder.Names().empty());
    EXPECT_NE(diagnostic.find("ZellCommon/ZellUtility: \"false\""), std::string::npos) << diagnostic;
    EXPECT_EQ(CountLines(diagnostic), 1u);

    // A missing folder, and a device that accepts the open but not the bytes: one warning
    // naming the file and the reason; the console line stays.
    const std::string missing = "/nonexistent-vestra-folder/sub/OUT-ETA-MAX";
    for (uint32_t format : {SurferText, SurferBinary, EsriAscii}) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(WriteGridFile(kThreeByTwo.data(), header, missing, format), 0);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), missing + " MM(2.345678, -1.234567)\n");
        EXPECT_NE(err.find(missing), std::string::npos) << err;
        EXPECT_NE(err.find(std::strerror(ENOENT)), std::string::npos) << err;
        EXPECT_EQ(CountLines(err), 1u) << err;
    }
    testing::internal::CaptureStderr();
    WriteSurferTextGrid(kThreeByTwo.data(), header, "/dev/full");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(std::string("/dev/full: ") + std::strerror(ENOSPC)), std::string::npos) << err;
}

TEST(NetCdf, NcdumpShowsLayoutAttributesAndAppendedRecords) {
    if (RunShell("command -v ncdump").empty()) GTEST_SKIP() << "ncdump not installed (Debian netcdf-bin)";
    ScratchFolder folder;
    const std::string path = folder / "dump.nc";
    WriteNetCdfGrid(Ramp(15, 0.5f).data(), path, 0.0, 26.0, 30.0, -10.0, -9.0, 5, 3, 0);
    WriteNetCdfGrid(Ramp(15, 100.0f).data(), path, 60.0, 26.0, 30.0, -10.0, -9.0, 5, 3, 1);
    EXPECT_EQ(RunShell("ncdump '" + path + "'"), ReadFile(kGolden + "netcdf-two-records.cdl"));
    EXPECT_EQ(RunShell("ncdump -k '" + path + "'"), "classic\n");
    // Text attributes are stored without a terminating zero (ncdump would not show one).
    int id = -1, natts = 0;
    ASSERT_EQ(nc_open(path.c_str(), NC_NOWRITE, &id), NC_NOERR);
    for (int var = NC_GLOBAL; var < 4; ++var) {
        nc_inq_varnatts(id, var, &natts);
        for (int a = 0; a < natts; ++a) {
            char name[NC_MAX_NAME + 1];
            std::size_t length = 0;
            nc_inq_attname(id, var, a, name);
            nc_inq_attlen(id, var, name, &length);
            std::string text(length, '\0');
            nc_get_att_text(id, var, name, text.data());
            EXPECT_EQ(text.find('\0'), std::string::npos) << name;
        }
    }
    nc_close(id);
}

TEST(NetCdf, RecreationSingleNodeAxesAndFailures) {
    ScratchFolder folder;
    const std::string path = folder / "NETCDF_M.nc";
    WriteNetCdfGrid(kThreeByTwo.data(), path, 0.0, 0.0, 2.0, 0.0, 1.0, 3, 2, 0);
    WriteNetCdfGrid(kThreeByTwo.data(), path, 30.0, 0.0, 2.0, 0.0, 1.0, 3, 2, 1);
    // Record 0 again creates a new file: only the new field remains.
    WriteNetCdfGrid(Ramp(6, -7.0f).data(), path, 5.0, 0.0, 2.0, 0.0, 1.0, 3, 2, 0);
    EXPECT_EQ(NcValues(path, "TIME"), std::vector<double>{5.0});
    EXPECT_EQ(NcValues(path, "HA"), Doubles(Ramp(6, -7.0f)));

    // A single node and a single column: the coordinate is the axis start, not a division by zero.
    const float one = 2.5f;
    WriteNetCdfGrid(&one, folder / "one.nc", 0.0, 141.25, 141.25, 38.5, 38.5, 1, 1, 0);
    EXPECT_EQ(NcValues(folder / "one.nc", "LON"), std::vector<double>{141.25});
    EXPECT_EQ(NcValues(folder / "one.nc", "LAT"), std::vector<double>{38.5});
    EXPECT_EQ(NcValues(folder / "one.nc", "HA"), std::vector<double>{2.5});
    WriteNetCdfGrid(kThreeByTwo.data(), folder / "column.nc", 0.0, 7.0, 9.0, 0.0, 4.0, 1, 3, 0);
    EXPECT_EQ(NcValues(folder / "column.nc", "LON"), std::vector<double>{7.0});
    EXPECT_EQ(NcValues(folder / "column.nc", "LAT"), (std::vector<double>{0, 2, 4}));

    // Appending to a missing file, creating in a missing folder, appending a grid of another
    // size: one warning each, naming the file, and no file left behind or changed.
    const std::string missingFolder = "/nonexistent-vestra-folder/NETCDF_H.nc";
    testing::internal::CaptureStderr();
    WriteNetCdfGrid(kThreeByTwo.data(), folder / "absent.nc", 60.0, 0, 1, 0, 1, 1, 3, 1);
    WriteNetCdfGrid(kThreeByTwo.data(), missingFolder, 0.0, 0, 1, 0, 1, 1, 3, 0);
    WriteNetCdfGrid(kThreeByTwo.data(), folder / "column.nc", 60.0, 0, 1, 0, 1, 3, 2, 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountLines(err), 3u) << err;
    EXPECT_NE(err.find(folder / "absent.nc"), std::string::npos) << err;
    EXPECT_NE(err.find(missingFolder + ": " + nc_strerror(ENOENT)), std::string::npos) << err;
    EXPECT_NE(err.find(folder / "column.nc" + ": the existing file holds a grid of another size"), std::string::npos)
        << err;
    EXPECT_FALSE(std::filesystem::exists(folder / "absent.nc"));
    EXPECT_EQ(NcValues(folder / "column.nc", "TIME").size(), 1u);
}
