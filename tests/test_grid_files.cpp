// Grid files and netCDF result files: golden bytes for small grids, the binary header layout,
// the console line, failures reported on standard error, and files read back by independent
// readers (the netCDF C library, ncdump, GDAL).
#include <gtest/gtest.h>
#include <netcdf.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "NetCdfWriter.h"
#include "TestSupport.h"
#include "ZellUtility.h"

namespace fs = std::filesystem;

namespace {

GridFileHeader Header(uint32_t nx, uint32_t ny, double xMin, double xMax, double yMin, double yMax, float zMin,
                      float zMax) {
    GridFileHeader header;
    header.nx = nx;
    header.ny = ny;
    header.zMin = zMin;
    header.zMax = zMax;
    header.xMin = xMin;
    header.xMax = xMax;
    header.yMin = yMin;
    header.yMax = yMax;
    return header;
}

bool HaveCommand(const char* name) { return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0; }

const std::vector<float> kThreeByTwo = {1, 2, 3, 4, 5, 6};  // first row (at yMin) 1 2 3, second 4 5 6

}  // namespace

TEST(SurferText, UtilityLayoutGoldenGrids) {
    ScratchFolder folder;
    // 3 x 2: rule 2 (p mod ny = ny - 1) also breaks inside the rows; row ends leave an empty line.
    WriteSurferTextGrid(kThreeByTwo.data(), Header(3, 2, 0, 2, 10, 11, 1, 6), folder / "a.grd");
    EXPECT_EQ(ReadFile(folder / "a.grd"),
              "DSAA\n3   2\n0.0000000   2.0000000\n10.0000000   11.0000000\n1.0000000  6.0000000\n"
              "1.0000000     2.0000000\n3.0000000\n\n4.0000000\n5.0000000     6.0000000\n\n");

    // 4 x 3: the first row breaks after position 2 (a line of three values and a line of one).
    std::vector<float> twelve(12);
    for (int p = 0; p < 12; ++p) twelve[p] = static_cast<float>(p);
    WriteSurferTextGrid(twelve.data(), Header(4, 3, -1.5, 1.5, 0.1, 100000, 0, 11), folder / "b.grd");
    EXPECT_EQ(ReadFile(folder / "b.grd"),
              "DSAA\n4   3\n-1.5000000   1.5000000\n0.1000000   100000.0000000\n0.0000000  11.0000000\n"
              "0.0000000     1.0000000     2.0000000\n3.0000000\n\n"
              "4.0000000     5.0000000\n6.0000000     7.0000000\n\n"
              "8.0000000\n9.0000000     10.0000000    11.0000000\n\n");

    // 12 x 1: with one row every position ends a "row" of rule 2, so each value has its own line.
    std::string expected = "DSAA\n12   1\n0.0000000   11.0000000\n0.0000000   0.0000000\n0.0000000  11.0000000\n";
    for (int p = 0; p < 12; ++p) expected += std::to_string(p) + ".0000000\n" + (p == 11 ? "\n" : "");
    WriteSurferTextGrid(twelve.data(), Header(12, 1, 0, 11, 0, 0, 0, 11), folder / "c.grd");
    EXPECT_EQ(ReadFile(folder / "c.grd"), expected);

    // Padding after 1.5, -12.5, -0.5, -1.5 and 123456.5 on a square grid.
    std::vector<float> padded(25, 0.0f);
    const float firstRow[5] = {1.5f, -12.5f, -0.5f, -1.5f, 123456.5f};
    std::copy(firstRow, firstRow + 5, padded.begin());
    WriteSurferTextGrid(padded.data(), Header(5, 5, 0, 4, 0, 4, -12.5f, 123456.5f), folder / "d.grd");
    const std::string paddedText = ReadFile(folder / "d.grd");
    EXPECT_NE(paddedText.find("\n1.5000000     -12.5000000   -0.5000000     -1.5000000    123456.5000000\n\n"
                              "0.0000000     0.0000000"),
              std::string::npos)
        << paddedText;
    EXPECT_EQ(SurferUtilityPadding(1.5f), 5);
    EXPECT_EQ(SurferUtilityPadding(-12.5f), 3);
    EXPECT_EQ(SurferUtilityPadding(-0.5f), 5);
    EXPECT_EQ(SurferUtilityPadding(-1.5f), 4);
    EXPECT_EQ(SurferUtilityPadding(123456.5f), 1);
    EXPECT_EQ(SurferUtilityPadding(-99999.0f), 1);
    EXPECT_EQ(SurferUtilityPadding(1e20f), 1);  // beyond 32 bits: no overflow, one space
    EXPECT_EQ(SurferUtilityPadding(NAN), 1);

    // nx = ny = 0: the header alone.
    WriteSurferTextGrid(nullptr, Header(0, 0, 0, 0, 0, 0, 0, 0), folder / "e.grd");
    EXPECT_EQ(ReadFile(folder / "e.grd"),
              "DSAA\n0   0\n0.0000000   0.0000000\n0.0000000   0.0000000\n0.0000000  0.0000000\n");
}

TEST(SurferText, SquareGridOf25BreaksRowsIntoTenTenFive) {
    ScratchFolder folder;
    std::vector<float> values(625);
    for (std::size_t p = 0; p < values.size(); ++p) values[p] = static_cast<float>(p % 7) - 3.25f;
    WriteSurferTextGrid(values.data(), Header(25, 25, 0, 24, 0, 24, -3.25f, 2.75f), folder / "g.grd");
    std::istringstream text(ReadFile(folder / "g.grd"));
    std::string line;
    for (int k = 0; k < 5; ++k) std::getline(text, line);  // header
    std::vector<std::size_t> counts;
    std::vector<float> readBack;
    while (std::getline(text, line)) {
        std::istringstream words(line);
        std::size_t n = 0;
        for (float v; words >> v; ++n) readBack.push_back(v);
        counts.push_back(n);
    }
    std::vector<std::size_t> expected;
    for (int row = 0; row < 25; ++row) expected.insert(expected.end(), {10, 10, 5, 0});
    EXPECT_EQ(counts, expected);
    EXPECT_EQ(readBack, values);

    // A square grid of exactly ten values per row: one empty line after each row, not two.
    std::vector<float> hundred(100, 1.0f);
    WriteSurferTextGrid(hundred.data(), Header(10, 10, 0, 9, 0, 9, 1, 1), folder / "h.grd");
    const std::string body = ReadFile(folder / "h.grd");
    EXPECT_EQ(body.find("\n\n\n"), std::string::npos);
    EXPECT_NE(body.find("1.0000000\n\n1.0000000     1.0000000"), std::string::npos);
}

TEST(SurferBinary, HeaderBytesAndPayload) {
    const auto header = SurferBinaryHeader(70000, 2, 1.0, 2.0, -1.0, 0.5, -2.0, 3.25);
    ASSERT_EQ(header.size(), 56u);
    const unsigned char expected[56] = {
        'D', 'S', 'B', 'B', 0x70, 0x11, 0x02, 0x00,     // "DSBB", 70000 & 0xffff = 0x1170, 2
        0, 0, 0, 0, 0, 0, 0xF0, 0x3F,                   // xMin 1.0
        0, 0, 0, 0, 0, 0, 0x00, 0x40,                   // xMax 2.0
        0, 0, 0, 0, 0, 0, 0xF0, 0xBF,                   // yMin -1.0
        0, 0, 0, 0, 0, 0, 0xE0, 0x3F,                   // yMax 0.5
        0, 0, 0, 0, 0, 0, 0x00, 0xC0,                   // zMin -2.0
        0, 0, 0, 0, 0, 0, 0x0A, 0x40,                   // zMax 3.25
    };
    EXPECT_EQ(std::memcmp(header.data(), expected, 56), 0);

    ScratchFolder folder;
    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteGridFile(kThreeByTwo.data(), Header(3, 2, 100.0, 102.0, -5.0, -4.0, 1, 6), folder / "b",
                            SurferBinary),
              0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), folder / "b" + " MM(6.000000, 1.000000)\n");
    const std::string bytes = ReadFile(folder / "b_bin.grd");
    ASSERT_EQ(bytes.size(), 56u + 6 * 4);
    EXPECT_EQ(bytes.substr(0, 4), "DSBB");
    int16_t nx = 0, ny = 0;
    double doubles[6];
    std::memcpy(&nx, bytes.data() + 4, 2);
    std::memcpy(&ny, bytes.data() + 6, 2);
    std::memcpy(doubles, bytes.data() + 8, 48);
    EXPECT_EQ(nx, 3);
    EXPECT_EQ(ny, 2);
    EXPECT_EQ(doubles[0], 100.0);
    EXPECT_EQ(doubles[1], 102.0);
    EXPECT_EQ(doubles[2], -5.0);
    EXPECT_EQ(doubles[3], -4.0);
    EXPECT_EQ(doubles[4], 1.0);  // zMin widened from the header's float
    EXPECT_EQ(doubles[5], 6.0);
    std::vector<float> payload(6);
    std::memcpy(payload.data(), bytes.data() + 56, 24);
    EXPECT_EQ(payload, kThreeByTwo);
}

TEST(EsriAscii, RowsFromNorthToSouthInGeneralNotation) {
    ScratchFolder folder;
    testing::internal::CaptureStdout();
    WriteGridFile(kThreeByTwo.data(), Header(3, 2, 0, 2, 10, 11, 1, 6), folder / "r", EsriAscii);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), folder / "r" + " MM(6.000000, 1.000000)\n");
    EXPECT_EQ(ReadFile(folder / "r.asc"),
              "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 10\ncellsize 1\nNODATA_value -9999\n4 5 6 \n1 2 3 \n");

    // %g notation: six significant digits, exponent below 1e-4 and from 1e6; the cell size comes
    // from the x spacing alone.
    const std::vector<float> values = {0.1f, 1234567.0f, 0.00001f, -0.5f, 123.456789f, 0.0f};
    WriteEsriAsciiGrid(values.data(), Header(2, 3, 26.125, 26.5, -8.0, 100.0, 0, 0), folder / "g.asc");
    EXPECT_EQ(ReadFile(folder / "g.asc"),
              "ncols 2\nnrows 3\nxllcorner 26.125\nyllcorner -8\ncellsize 0.375\nNODATA_value -9999\n"
              "123.457 0 \n1e-05 -0.5 \n0.1 1.23457e+06 \n");

    // A single column has no x spacing: the y spacing stands in (no division by zero).
    WriteEsriAsciiGrid(values.data(), Header(1, 3, 5, 5, 0, 4, 0, 0), folder / "c.asc");
    EXPECT_NE(ReadFile(folder / "c.asc").find("\ncellsize 2\n"), std::string::npos);
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
    std::string halves;
    AppendFixed(halves, 0.5, 0);
    halves += ' ';
    AppendFixed(halves, -12.5, 7);
    EXPECT_EQ(halves, "0 -12.5000000");
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
    const std::string pad4 = "    ";
    std::string expected = "0.0000000";
    for (int i = 1; i < 10; ++i) expected += pad4 + std::to_string(i) + ".0000000";
    expected += "\n10.0000000" + std::string(3, ' ') + "11.0000000\n\n";
    expected += "0   -2.5000000 123456.0000000\n\n";
    EXPECT_EQ(out, expected);

    // A row of exactly ten values ends with one empty line, not a further break.
    std::string ten;
    ColumnLayoutText tenLayout(ten, 15, 7);
    for (int i = 0; i < 10; ++i) tenLayout.Value(0.0);
    tenLayout.EndRow();
    EXPECT_EQ(ten.size(), 9u + 9 * 15 + 2);
    EXPECT_EQ(ten.substr(ten.size() - 3), "0\n\n");
}

TEST(WriteGridFile, ConsoleLinesNetCdfStubAndUnknownFormat) {
    ScratchFolder folder;
    const auto header = Header(3, 2, 0, 2, 0, 1, -1.234567f, 2.345678f);
    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteGridFile(kThreeByTwo.data(), header, folder / "t000600", SurferText), 0);
    EXPECT_EQ(WriteGridFile(kThreeByTwo.data(), header, folder / "n", NetCdf), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(WriteGridFile(kThreeByTwo.data(), header, folder / "u", 7), 1);
    const std::string diagnostic = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              folder / "t000600" + " MM(2.345678, -1.234567)\n" + "Stub Write File " + folder / "n.nc" +
                  " MM(2.345678, -1.234567)\n" + folder / "n" + " MM(2.345678, -1.234567)\n");
    EXPECT_TRUE(fs::exists(folder / "t000600.grd"));
    EXPECT_FALSE(fs::exists(folder / "n.nc"));
    EXPECT_NE(diagnostic.find("ZellCommon/ZellUtility"), std::string::npos);
    EXPECT_NE(diagnostic.find("\"false\""), std::string::npos);
    EXPECT_EQ(std::count(diagnostic.begin(), diagnostic.end(), '\n'), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder / ""), fs::directory_iterator()), 1);
}

TEST(WriteGridFile, UnwritableFilesWarnOnStandardErrorAndGoOn) {
    const std::string missing = "/nonexistent-vestra-folder/sub/OUT-ETA-MAX";
    for (uint32_t format : {0u, 1u, 3u}) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(WriteGridFile(kThreeByTwo.data(), Header(3, 2, 0, 1, 0, 1, 1, 6), missing, format), 0);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), missing + " MM(6.000000, 1.000000)\n");
        EXPECT_NE(err.find(missing), std::string::npos) << err;
        EXPECT_NE(err.find(std::strerror(ENOENT)), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    // A device that accepts the open but not the bytes: the write failure is reported too.
    if (fs::exists("/dev/full")) {
        testing::internal::CaptureStderr();
        WriteSurferTextGrid(kThreeByTwo.data(), Header(3, 2, 0, 1, 0, 1, 1, 6), "/dev/full");
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("/dev/full"), std::string::npos);
        EXPECT_NE(err.find(std::strerror(ENOSPC)), std::string::npos) << err;
    }
}

TEST(GridFiles, GdalReadsTheSameGridInEveryFormat) {
    if (!HaveCommand("gdal_translate")) GTEST_SKIP() << "gdal_translate not installed";
    ScratchFolder folder;
    testing::internal::CaptureStdout();
    const auto header = Header(3, 2, 0, 2, 10, 11, 1, 6);
    WriteGridFile(kThreeByTwo.data(), header, folder / "g", SurferText);
    WriteGridFile(kThreeByTwo.data(), header, folder / "g", SurferBinary);
    WriteGridFile(kThreeByTwo.data(), header, folder / "g", EsriAscii);
    testing::internal::GetCapturedStdout();
    // GDAL lists the cells from the northern row down: 4 5 6 (at y = 11) then 1 2 3 (at y = 10).
    for (const char* name : {"g.grd", "g_bin.grd", "g.asc"}) {
        const std::string xyz =
            RunShell("gdal_translate -q -of XYZ '" + folder / name + "' /vsistdout/ 2>/dev/null");
        std::istringstream lines(xyz);
        std::vector<double> values, ys;
        for (double x, y, z; lines >> x >> y >> z;) {
            values.push_back(z);
            ys.push_back(y);
        }
        EXPECT_EQ(values, (std::vector<double>{4, 5, 6, 1, 2, 3})) << name << "\n" << xyz;
        if (std::string(name) != "g.asc") {  // Surfer grids carry node coordinates
            ASSERT_EQ(ys.size(), 6u);
            EXPECT_DOUBLE_EQ(ys.front(), 11.0) << name;
            EXPECT_DOUBLE_EQ(ys.back(), 10.0) << name;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// netCDF

namespace {

struct NcFile {
    explicit NcFile(const std::string& path) { status = nc_open(path.c_str(), NC_NOWRITE, &id); }
    ~NcFile() {
        if (status == NC_NOERR) nc_close(id);
    }
    std::string Text(const char* variable, const char* name) const {
        int varid = NC_GLOBAL;
        if (variable != nullptr && nc_inq_varid(id, variable, &varid) != NC_NOERR) return "<no variable>";
        std::size_t length = 0;
        nc_type type = NC_NAT;
        if (nc_inq_att(id, varid, name, &type, &length) != NC_NOERR || type != NC_CHAR) return "<no text>";
        std::string text(length, '\0');
        nc_get_att_text(id, varid, name, text.data());
        return text;
    }
    std::vector<float> Floats(const char* variable) const {
        int varid = -1, ndims = 0, dims[NC_MAX_VAR_DIMS];
        nc_inq_varid(id, variable, &varid);
        nc_inq_varndims(id, varid, &ndims);
        nc_inq_vardimid(id, varid, dims);
        std::size_t count = 1;
        for (int d = 0; d < ndims; ++d) {
            std::size_t length = 0;
            nc_inq_dimlen(id, dims[d], &length);
            count *= length;
        }
        std::vector<float> values(count);
        nc_get_var_float(id, varid, values.data());
        return values;
    }
    std::vector<double> Times() const {
        int varid = -1, dim = -1;
        std::size_t length = 0;
        nc_inq_varid(id, "TIME", &varid);
        nc_inq_dimid(id, "TIME", &dim);
        nc_inq_dimlen(id, dim, &length);
        std::vector<double> values(length);
        nc_get_var_double(id, varid, values.data());
        return values;
    }
    int id = -1;
    int status = NC_NOERR;
};

std::vector<float> Ramp(std::size_t count, float start) {
    std::vector<float> values(count);
    for (std::size_t k = 0; k < count; ++k) values[k] = start + static_cast<float>(k);
    return values;
}

}  // namespace

TEST(NetCdf, NewFileLayoutAttributesAndCoordinates) {
    ScratchFolder folder;
    const std::vector<float> values = Ramp(15, 0.5f);
    WriteNetCdfGrid(values.data(), folder / "NETCDF_H.nc", 60.0, 26.0, 30.0, -10.0, -9.0, 5, 3, 0);
    NcFile file(folder / "NETCDF_H.nc");
    ASSERT_EQ(file.status, NC_NOERR);
    int format = -1;
    nc_inq_format(file.id, &format);
    EXPECT_EQ(format, NC_FORMAT_CLASSIC);

    int ndims = 0, nvars = 0, ngatts = 0, unlimited = -1;
    nc_inq(file.id, &ndims, &nvars, &ngatts, &unlimited);
    ASSERT_EQ(ndims, 3);
    EXPECT_EQ(nvars, 4);
    EXPECT_EQ(ngatts, 1);
    const char* dimNames[3] = {"TIME", "LON", "LAT"};
    const std::size_t dimLengths[3] = {1, 5, 3};
    for (int d = 0; d < 3; ++d) {
        char name[NC_MAX_NAME + 1];
        std::size_t length = 0;
        nc_inq_dim(file.id, d, name, &length);
        EXPECT_STREQ(name, dimNames[d]);
        EXPECT_EQ(length, dimLengths[d]);
    }
    EXPECT_EQ(unlimited, 0);

    struct Expected {
        const char* name;
        nc_type type;
        std::vector<int> dims;
        std::vector<std::pair<const char*, const char*>> attributes;
    };
    const Expected variables[4] = {
        {"TIME", NC_DOUBLE, {0}, {{"units", "SECONDS"}}},
        {"LAT", NC_FLOAT, {2}, {{"point_spacing", "even"}, {"units", "degrees_north"}}},
        {"LON", NC_FLOAT, {1}, {{"units", "degrees_east"}, {"point_spacing", "uneven"}}},
        {"HA", NC_FLOAT, {0, 2, 1}, {{"units", "m"}}},
    };
    for (int v = 0; v < 4; ++v) {
        char name[NC_MAX_NAME + 1];
        nc_type type = NC_NAT;
        int varDims = 0, dimIds[NC_MAX_VAR_DIMS], natts = 0;
        nc_inq_var(file.id, v, name, &type, &varDims, dimIds, &natts);
        EXPECT_STREQ(name, variables[v].name);
        EXPECT_EQ(type, variables[v].type) << name;
        EXPECT_EQ(std::vector<int>(dimIds, dimIds + varDims), variables[v].dims) << name;
        ASSERT_EQ(natts, static_cast<int>(variables[v].attributes.size())) << name;
        for (int a = 0; a < natts; ++a) {
            char attName[NC_MAX_NAME + 1];
            nc_inq_attname(file.id, v, a, attName);
            EXPECT_STREQ(attName, variables[v].attributes[a].first);
            // Text without a terminating zero: the stored length is the string's length.
            const std::string text = file.Text(name, attName);
            EXPECT_EQ(text, variables[v].attributes[a].second);
            EXPECT_EQ(text.size(), std::strlen(variables[v].attributes[a].second));
        }
    }
    EXPECT_EQ(file.Text(nullptr, "history"), "ZELL-QUORL v4");

    EXPECT_EQ(file.Floats("LON"), (std::vector<float>{26, 27, 28, 29, 30}));
    EXPECT_EQ(file.Floats("LAT"), (std::vector<float>{-10.0f, -9.5f, -9.0f}));
    EXPECT_EQ(file.Times(), std::vector<double>{60.0});
    EXPECT_EQ(file.Floats("HA"), values);  // HA[0][j][i] in the buffer's row-major order
}

TEST(NetCdf, RecordsAppendAndRecreationStartsOver) {
    ScratchFolder folder;
    const std::string path = folder / "NETCDF_M.nc";
    for (int record = 0; record < 4; ++record) {
        const std::vector<float> values = Ramp(6, 100.0f * record);
        WriteNetCdfGrid(values.data(), path, 30.0 * record, 0.0, 2.0, 0.0, 1.0, 3, 2, record);
    }
    {
        NcFile file(path);
        ASSERT_EQ(file.status, NC_NOERR);
        EXPECT_EQ(file.Times(), (std::vector<double>{0, 30, 60, 90}));
        const std::vector<float> all = file.Floats("HA");
        ASSERT_EQ(all.size(), 24u);
        for (int record = 0; record < 4; ++record) {
            EXPECT_EQ(std::vector<float>(all.begin() + 6 * record, all.begin() + 6 * (record + 1)),
                      Ramp(6, 100.0f * record));
        }
        EXPECT_EQ(file.Floats("LON"), (std::vector<float>{0, 1, 2}));
        EXPECT_EQ(file.Text("LON", "units"), "degrees_east");
    }
    // Record 0 again creates a new file: only the new field remains.
    const std::vector<float> fresh = Ramp(6, -7.0f);
    WriteNetCdfGrid(fresh.data(), path, 5.0, 0.0, 2.0, 0.0, 1.0, 3, 2, 0);
    NcFile file(path);
    EXPECT_EQ(file.Times(), std::vector<double>{5.0});
    EXPECT_EQ(file.Floats("HA"), fresh);
}

TEST(NetCdf, SingleColumnAndRowCoordinatesAndFailures) {
    ScratchFolder folder;
    const float one = 2.5f;
    WriteNetCdfGrid(&one, folder / "one.nc", 0.0, 141.25, 141.25, 38.5, 38.5, 1, 1, 0);
    {
        NcFile file(folder / "one.nc");
        ASSERT_EQ(file.status, NC_NOERR);
        EXPECT_EQ(file.Floats("LON"), std::vector<float>{141.25f});
        EXPECT_EQ(file.Floats("LAT"), std::vector<float>{38.5f});
        EXPECT_EQ(file.Floats("HA"), std::vector<float>{2.5f});
    }
    const std::vector<float> column = {1, 2, 3};
    WriteNetCdfGrid(column.data(), folder / "column.nc", 0.0, 7.0, 9.0, 0.0, 4.0, 1, 3, 0);
    {
        NcFile file(folder / "column.nc");
        EXPECT_EQ(file.Floats("LON"), std::vector<float>{7.0f});
        EXPECT_EQ(file.Floats("LAT"), (std::vector<float>{0, 2, 4}));
    }

    // Appending to a missing file, creating in a missing folder, appending a grid of another
    // size: one warning each, naming the file, and no file left behind.
    const std::string missingFolder = "/nonexistent-vestra-folder/NETCDF_H.nc";
    testing::internal::CaptureStderr();
    WriteNetCdfGrid(column.data(), folder / "absent.nc", 60.0, 0, 1, 0, 1, 1, 3, 1);
    WriteNetCdfGrid(column.data(), missingFolder, 0.0, 0, 1, 0, 1, 1, 3, 0);
    WriteNetCdfGrid(kThreeByTwo.data(), folder / "column.nc", 60.0, 0, 1, 0, 1, 3, 2, 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;
    EXPECT_NE(err.find(folder / "absent.nc"), std::string::npos) << err;
    EXPECT_NE(err.find(missingFolder + ": " + nc_strerror(ENOENT)), std::string::npos) << err;
    EXPECT_NE(err.find(folder / "column.nc" + ": the existing file holds a grid of another size"), std::string::npos)
        << err;
    EXPECT_FALSE(fs::exists(folder / "absent.nc"));
    NcFile file(folder / "column.nc");
    EXPECT_EQ(file.Times().size(), 1u);
}

TEST(NetCdf, NcdumpHeaderOfAWrittenFile) {
    if (!HaveCommand("ncdump")) GTEST_SKIP() << "ncdump not installed (Debian netcdf-bin)";
    ScratchFolder folder;
    const std::vector<float> values = Ramp(15, 0.0f);
    WriteNetCdfGrid(values.data(), folder / "dump.nc", 0.0, 26.0, 30.0, 0.0, 2.0, 5, 3, 0);
    WriteNetCdfGrid(values.data(), folder / "dump.nc", 60.0, 26.0, 30.0, 0.0, 2.0, 5, 3, 1);
    EXPECT_EQ(RunShell("ncdump -h '" + folder / "dump.nc" + "'"),
              "netcdf dump {\n"
              "dimensions:\n"
              "\tTIME = UNLIMITED ; // (2 currently)\n"
              "\tLON = 5 ;\n"
              "\tLAT = 3 ;\n"
              "variables:\n"
              "\tdouble TIME(TIME) ;\n"
              "\t\tTIME:units = \"SECONDS\" ;\n"
              "\tfloat LAT(LAT) ;\n"
              "\t\tLAT:point_spacing = \"even\" ;\n"
              "\t\tLAT:units = \"degrees_north\" ;\n"
              "\tfloat LON(LON) ;\n"
              "\t\tLON:units = \"degrees_east\" ;\n"
              "\t\tLON:point_spacing = \"uneven\" ;\n"
              "\tfloat HA(TIME, LAT, LON) ;\n"
              "\t\tHA:units = \"m\" ;\n"
              "\n"
              "// global attributes:\n"
              "\t\t:history = \"ZELL-QUORL v4\" ;\n"
              "}\n");
}
