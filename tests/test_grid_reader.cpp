// The common grid reader: every refusal of every format in one table, and each format read back
// from the project's own writers.
#include <netcdf.h>

#include <array>
#include <cmath>
#include <numeric>

#include "GridFileReader.h"
#include "NetCdfWriter.h"
#include "TestSupport.h"
#include "ZellUtility.h"

namespace {

// A netCDF file with "HA" of the given dimension lengths (0: an unlimited dimension without
// records) holding 1, s.second, 1, ..., and "LAT" and "LON" running from latFirst and 0 up.
struct NcSpec {
    std::vector<std::size_t> haDims{1, 3, 2};
    nc_type type = NC_FLOAT;
    double second = 2.0;
    bool lat = true, ha = true;
    std::size_t latLength = 0;  // 0: as many as "HA" has rows
    double latFirst = -5.0;
};

std::string WriteNc(const std::string& path, const NcSpec& s) {
    int id = 0, dims[3] = {}, latDim = 0, lonDim = 0, latVar = 0, lonVar = 0, haVar = 0;
    EXPECT_EQ(nc_create(path.c_str(), NC_CLOBBER, &id), NC_NOERR);
    const std::size_t nd = s.haDims.size(), rows = nd > 1 ? s.haDims[nd - 2] : 1, columns = s.haDims[nd - 1];
    std::size_t count = 1;
    for (std::size_t d = 0; d < nd; ++d) {
        nc_def_dim(id, std::array{"d0", "d1", "d2"}[d], s.haDims[d] ? s.haDims[d] : NC_UNLIMITED, &dims[d]);
        count *= s.haDims[d];
    }
    nc_def_dim(id, "lat", s.latLength ? s.latLength : rows, &latDim);
    nc_def_dim(id, "lon", columns, &lonDim);
    if (s.lat) nc_def_var(id, "LAT", NC_DOUBLE, 1, &latDim, &latVar);
    nc_def_var(id, "LON", NC_DOUBLE, 1, &lonDim, &lonVar);
    if (s.ha) nc_def_var(id, "HA", s.type, static_cast<int>(nd), dims, &haVar);
    nc_enddef(id);
    std::vector<double> lat(s.latLength ? s.latLength : rows), lon(columns), ha(count, 1.0);
    std::iota(lat.begin(), lat.end(), s.latFirst);
    std::iota(lon.begin(), lon.end(), 0.0);
    if (count > 1) ha[1] = s.second;
    if (s.lat) nc_put_var_double(id, latVar, lat.data());
    nc_put_var_double(id, lonVar, lon.data());
    if (s.ha && s.type != NC_CHAR && count > 0) nc_put_var_double(id, haVar, ha.data());
    EXPECT_EQ(nc_close(id), NC_NOERR);
    return path;
}

std::string Binary(double xMin, const std::vector<float>& values, uint32_t nx, uint32_t ny) {
    const auto head = SurferBinaryHeader(nx, ny, xMin, 1.0, 0.0, 1.0, 0.0, 1.0);
    std::string bytes(head.begin(), head.end());
    bytes.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
    return bytes;
}

const std::string kHead = "DSAA 2 1 0 1 0 1 0 1\n";  // a 2 x 1 grid without its values

}  // namespace

TEST(GridReader, RefusesEveryMalformedFileWithItsFaultAndReason) {
    ScratchFolder dir;
    const GridReadOptions strict, lenient{.finite = false}, anyWord{.anyFirstWord = true},
        threeValues{.anyFirstWord = true, .valueCount = 3}, noCoordinates{.coordinates = false},
        needRecord{.recordDimension = true}, lastRecord{.lastRecord = true};
    const float nan = NAN;
    using F = GridFault;
    struct Case { std::string path; GridFileFormat format; GridReadOptions options; GridFault fault; const char* reason; };
    const Case cases[] = {
        {dir / "missing.grd", SurferText, strict, F::kUnreadable, "cannot be opened"},
        {dir.Folder("folder.grd"), SurferText, strict, F::kUnreadable, "cannot be read"},
        {dir.Write("empty.grd", " \n"), SurferText, strict, F::kShort, "is empty"},
        {dir.Write("lower.grd", "dsaa 1 1 0 1 0 1 0 1 5"), SurferText, strict, F::kNotDsaa, "first word is not \"DSAA\""},
        {dir.Write("other.grd", "XY 2 1 0 1 0 1 0 1 5 6"), SurferText, anyWord, F::kNone, ""},
        {dir.Write("head.grd", "DSAA 2 1 0 1 0 1"), SurferText, strict, F::kShort, "ends before its header"},
        {dir.Write("count.grd", "DSAA 2 x 0 1 0 1 0 1 5 6"), SurferText, strict, F::kNotNumber, "entry 2 (\"x\")"},
        {dir.Write("half.grd", "DSAA 2.5 1 0 1 0 1 0 1 5 6"), SurferText, strict, F::kNotNumber, "entry 1 (\"2.5\")"},
        {dir.Write("inf.grd", "DSAA 2 1 0 inf 0 1 0 1 5 6"), SurferText, lenient, F::kNotNumber, "entry 4 (\"inf\")"},
        {dir.Write("znan.grd", "DSAA 2 1 0 1 0 1 nan 1 5 6"), SurferText, strict, F::kNotNumber, "entry 7 (\"nan\")"},
        {dir.Write("nan2.grd", "DSAA 2 1 0 1 0 1 nan 1 5 nan"), SurferText, lenient, F::kNone, ""},
        {dir.Write("zero.grd", "DSAA 0 2 0 1 0 1 0 1"), SurferText, strict, F::kBadSize, "grid size 0 x 2 is out of range"},
        {dir.Write("wide.grd", "DSAA 1000001 1 0 1 0 1 0 1"), SurferText, strict, F::kBadSize, "out of range"},
        {dir.Write("cells.grd", "DSAA 50000 50000 0 1 0 1 0 1"), SurferText, strict, F::kBadSize, "out of range"},
        {dir.Write("huge.grd", "DSAA 40000 40000 0 1 0 1 0 1 5"), SurferText, strict, F::kShort,
         "holds fewer than the 1600000000 values"},
        {dir.Write("short.grd", "DSAA 2 2 0 1 0 1 0 1 1 2 3"), SurferText, strict, F::kShort, "ends after 3 of 4 values"},
        {dir.Write("sign.grd", kHead + "1 +-2"), SurferText, strict, F::kNotNumber, "value 2 of 2 (\"+-2\") is not a number"},
        {dir.Write("range.grd", kHead + "1 1e39"), SurferText, lenient, F::kNotNumber, "value 2 of 2 (\"1e39\")"},
        {dir.Write("nan.grd", kHead + "1 nan"), SurferText, strict, F::kNotNumber, "value 2 is not a finite number"},
        {dir.Write("few.grd", "XY 1 1 0 1 0 1 0 1 5 6"), SurferText, threeValues, F::kShort, "ends after 2 of 3 values"},
        {dir.Write("x_bin.grd", "DSBX" + std::string(60, '\0')), SurferBinary, lenient, F::kNotDsaa, "no \"DSBB\" header"},
        {dir.Write("cut_bin.grd", Binary(0, {1, 2, 3}, 2, 2)), SurferBinary, lenient, F::kShort, "does not match"},
        {dir.Write("ext_bin.grd", Binary(nan, {1, 2}, 2, 1)), SurferBinary, lenient, F::kNotNumber, "extent is not finite"},
        {dir.Write("nan_bin.grd", Binary(0, {1, nan}, 2, 1)), SurferBinary, strict, F::kNotNumber, "value 2 is not a finite"},
        {dir.Write("short.asc", "ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\n1 2 3\n"), EsriAscii, lenient,
         F::kShort, "ends after 3 of 4 values"},
        {dir.Write("nocell.asc", "ncols 2\nnrows 1\nxllcorner 0\nyllcorner 0\n1 2\n"), EsriAscii, lenient, F::kShort,
         "lacks xllcorner, yllcorner or cellsize"},
        {dir.Write("label.asc", "ncols 2\nfoo 3\n"), EsriAscii, lenient, F::kNotNumber, "\"foo\" is unknown"},
        {dir.Write("count.asc", "ncols x\n"), EsriAscii, lenient, F::kNotNumber, "\"ncols\" has no number"},
        {dir.Write("text.nc", "CDF\x01 not really"), NetCdf, strict, F::kUnreadable, "cannot be opened as netCDF"},
        {WriteNc(dir / "nolat.nc", {.lat = false}), NetCdf, strict, F::kMalformed, "has no variable \"LAT\""},
        {WriteNc(dir / "nolat2.nc", {.lat = false}), NetCdf, noCoordinates, F::kNone, ""},
        {WriteNc(dir / "noha.nc", {.ha = false}), NetCdf, noCoordinates, F::kMalformed, "has no variable \"HA\""},
        {WriteNc(dir / "flat.nc", {.haDims = {2}}), NetCdf, strict, F::kMalformed, "\"HA\" has 1 dimensions"},
        {WriteNc(dir / "plain.nc", {.haDims = {3, 2}}), NetCdf, strict, F::kNone, ""},
        {WriteNc(dir / "plain2.nc", {.haDims = {3, 2}}), NetCdf, needRecord, F::kMalformed, "2 dimensions, not (record"},
        {WriteNc(dir / "two.nc", {.haDims = {2, 3, 2}}), NetCdf, strict, F::kRecords, "\"HA\" holds 2 records, not 1"},
        {WriteNc(dir / "none.nc", {.haDims = {0, 3, 2}}), NetCdf, lastRecord, F::kRecords, "holds 0 records"},
        {WriteNc(dir / "lat.nc", {.latLength = 4}), NetCdf, strict, F::kMalformed, "\"LAT\" is not a coordinate of 3"},
        {WriteNc(dir / "latnan.nc", {.latFirst = NAN}), NetCdf, strict, F::kMalformed, "\"LAT\" ends are not finite"},
        {WriteNc(dir / "hanan.nc", {.second = NAN}), NetCdf, strict, F::kNotNumber, "value 2 is not a finite number"},
        {WriteNc(dir / "char.nc", {.type = NC_CHAR}), NetCdf, strict, F::kMalformed, "\"HA\" cannot be read"},
        {WriteNc(dir / "big.nc", {.type = NC_DOUBLE, .second = 1e39}), NetCdf, lenient, F::kMalformed, "cannot be read"},
    };
    for (const Case& c : cases) {
        GridFile grid;
        grid.nx = 99;
        std::string reason;
        EXPECT_EQ(ReadGridFile(c.path, c.format, c.options, grid, reason), c.fault) << c.path << ": " << reason;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.path << ": " << reason;
        if (c.fault != F::kNone) {
            EXPECT_EQ(grid.nx, 99) << c.path << " changed the grid";
        }
    }
}

TEST(GridReader, ReadsBackWhatTheWritersWrite) {
    ScratchFolder dir;
    // 4 x 3 nodes, 0.25 apart on both axes, every value exact in each format's notation.
    const GridFileHeader header{.nx = 4, .ny = 3, .zMax = 5.5f, .zMin = -2.75f, .yMin = -35.5, .yMax = -35.0,
                                .xMin = 140.25, .xMax = 141.0};
    const std::vector<float> values{-2.75f, 0.5f, 1.25f, 2.0f, 0.0f, 0.25f, -9999.0f, 3.5f, 4.0f, 4.5f, 5.0f, 5.5f};
    WriteSurferTextGrid(values.data(), header, dir / "g.grd");
    WriteSurferBinaryGrid(values.data(), header, dir / "g_bin.grd");
    WriteEsriAsciiGrid(values.data(), header, dir / "g.asc");
    std::vector<float> first(values.size(), 7.0f);
    WriteNetCdfGrid(first.data(), dir / "g.nc", 0.0, 140.25, 141.0, -35.5, -35.0, 4, 3, 0);
    WriteNetCdfGrid(values.data(), dir / "g.nc", 60.0, 140.25, 141.0, -35.5, -35.0, 4, 3, 1);
    const GridReadOptions options{.finite = false, .lastRecord = true};
    const std::pair<const char*, GridFileFormat> files[] = {
        {"g.grd", SurferText}, {"g_bin.grd", SurferBinary}, {"g.asc", EsriAscii}, {"g.nc", NetCdf}};
    for (const auto& [name, format] : files) {
        GridFile grid;
        std::string reason;
        ASSERT_EQ(ReadGridFile(dir / name, format, options, grid, reason), GridFault::kNone) << name << ": " << reason;
        EXPECT_EQ(std::vector<double>({1.0 * grid.nx, 1.0 * grid.ny, grid.xMin, grid.xMax, grid.yMin, grid.yMax}),
                  std::vector<double>({4, 3, 140.25, 141.0, -35.5, -35.0})) << name;
        std::vector<float> expected = values;
        if (format == EsriAscii) expected[6] = NAN;  // the raster's no-data value
        ASSERT_EQ(grid.values.size(), expected.size()) << name;
        for (std::size_t k = 0; k < expected.size(); ++k)
            EXPECT_TRUE(grid.values[k] == expected[k] || (std::isnan(grid.values[k]) && std::isnan(expected[k])))
                << name << " value " << k << ": " << grid.values[k];
    }
    // Values read as doubles keep a text grid's decimals; the format of a name and of a first word.
    BasicGridFile<double> wide;
    std::string reason;
    ASSERT_EQ(ReadGridFile(dir.Write("d.grd", kHead + "0.1 -0.3"), SurferText, {}, wide, reason), GridFault::kNone);
    EXPECT_EQ(wide.values, (std::vector<double>{0.1, -0.3}));
    EXPECT_TRUE(IsSurferTextName("a.GRD") && IsSurferTextName("b.grd") && !IsSurferTextName("c.nc"));
    EXPECT_EQ(FormatFromFirstWord(dir / "d.grd"), SurferText);
    EXPECT_EQ(FormatFromFirstWord(dir.Write("x.grd", " DSAAx 1")), NetCdf);
    EXPECT_EQ(FormatFromFirstWord(dir / "g.nc"), NetCdf);
}
