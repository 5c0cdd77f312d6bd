// Grid writers and reader, field writer, snapshots, gauge summary and the end of a run: hand-computed
// values, golden files under tests/data/output, and read-back by GDAL, ncdump and the netCDF library.
#include <gtest/gtest.h>
#include <netcdf.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <numbers>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "FieldWriter.h"
#include "GaugeSummary.h"
#include "GridFileReader.h"
#include "HostFrameReceiverI.h"
#include "KernelFixture.h"
#include "NetCdfWriter.h"
#include "Snapshot.h"
#include "TestSupport.h"
#include "TimeHistory.h"
#include "ZellSimulatorVestra.h"
#include "ZellUtility.h"

namespace fs = std::filesystem;

namespace {

const std::string kGolden = std::string(VESTRA_SOURCE_DIR) + "/tests/data/output/";
const std::vector<float> kThreeByTwo = {1, 2, 3, 4, 5, 6};  // first row (at yMin) 1 2 3, second 4 5 6

std::vector<float> Ramp(std::size_t count, float start) {
    std::vector<float> values(count);
    std::iota(values.begin(), values.end(), start);
    return values;
}

// A Surfer binary grid read back by hand: xMin, xMax, yMin, yMax, zMin, zMax and the payload.
struct BinaryGrid {
    std::vector<double> head = std::vector<double>(6);
    std::vector<float> z;
};
BinaryGrid ReadBinary(const std::string& path) {
    const std::string bytes = ReadFile(path);
    BinaryGrid grid;
    if (bytes.size() < 56) return grid;
    std::memcpy(grid.head.data(), bytes.data() + 8, 48);
    grid.z.resize((bytes.size() - 56) / 4);
    std::memcpy(grid.z.data(), bytes.data() + 56, grid.z.size() * 4);
    return grid;
}

// Every value of a netCDF variable as double, read through the netCDF library (empty if absent).
std::vector<double> NcValues(const std::string& path, const char* name) {
    int id = -1, var = -1, ndims = 0, dims[NC_MAX_VAR_DIMS];
    std::size_t count = 1, length = 0;
    if (nc_open(path.c_str(), NC_NOWRITE, &id) != NC_NOERR) return {};
    if (nc_inq_varid(id, name, &var) || nc_inq_var(id, var, nullptr, nullptr, &ndims, dims, nullptr)) count = 0;
    for (int d = 0; d < ndims; ++d) count *= nc_inq_dimlen(id, dims[d], &length) == NC_NOERR ? length : 0;
    std::vector<double> values(count);
    if (count > 0) nc_get_var_double(id, var, values.data());
    nc_close(id);
    return values;
}

std::vector<double> Doubles(const std::vector<float>& v) { return {v.begin(), v.end()}; }

void ExpectNear(const std::vector<double>& actual, const std::vector<double>& expected, const std::string& what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (std::size_t k = 0; k < actual.size(); ++k)
        EXPECT_NEAR(actual[k], expected[k], 2e-6 * std::max(1.0, std::fabs(expected[k]))) << what << " value " << k;
}

// Standard output and standard error of `f`.
template <class F>
std::pair<std::string, std::string> Captured(F f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    std::string err = testing::internal::GetCapturedStderr();
    return {testing::internal::GetCapturedStdout(), err};
}

std::string Binary(const std::vector<float>& values, uint32_t nx, uint32_t ny) {
    const auto head = SurferBinaryHeader(nx, ny, 0.0, 1.0, 0.0, 1.0, 0.0, 1.0);
    std::string bytes(head.begin(), head.end());
    bytes.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
    return bytes;
}

const std::string kHead = "DSAA 2 1 0 1 0 1 0 1\n";  // a 2 x 1 grid without its values

// nx x ny nodes 1 m apart from (0, 0), every field allocated and zero, output into `folder`.
GridLevel MakeLevel(int32_t nx, int32_t ny, std::string folder) {
    GridLevel level = fixture::CartesianLevel(nx, ny);
    level.xMax = nx - 1;
    level.yMax = ny - 1;
    level.outputFolder = std::move(folder);
    return level;
}

template <class F>
void FillCells(Field& field, int32_t nx, int32_t ny, F f) {
    for (int32_t i = 1; i <= nx; ++i)
        for (int32_t j = 1; j <= ny; ++j) field[i][j] = static_cast<float>(f(i, j));
}

struct Simulator {
    explicit Simulator(int32_t format, int32_t threads = 0) : sim(&grids, &sources) {
        SimulationParameters settings;
        settings.outputFormat = format;
        settings.threadCount = threads;
        sim.SetParameters(settings);
    }
    std::vector<HostGridRecord> grids;
    std::vector<SourceEvent> sources;
    ZellSimulatorVestra sim;
};

struct RecordingReceiver : HostFrameReceiverI {
    void FileWrittenNotice(int32_t levelIndex, std::unique_ptr<std::vector<float>> values, int32_t reserved) override {
        notices.push_back({levelIndex, reserved});
        frames.push_back(*values);
    }
    std::vector<std::pair<int32_t, int32_t>> notices;
    std::vector<std::vector<float>> frames;
};

void WriteKind(const ZellSimulatorVestra& sim, const GridLevel& level, const Field& field, int32_t kind,
               double time = 0.0, int32_t record = 0, int32_t levelIndex = 0) {
    WriteFieldGrid(sim, field.cview(), level.depth.cview(), time, level.xMin, level.xMax, level.yMin, level.yMax,
                   level.nx, level.ny, kind, level.outputFolder, record, levelIndex);
}

// 3 x 2 cells (g = 9.8): a wet cell, one of 0.5 mm depth (u, v, Fr2 and direction in text files only),
// a dry one, two of 1 m, and one of 5 mm (no momentum below 0.01 m depth).
GridLevel SnapshotLevel(const std::string& folder) {
    GridLevel level = MakeLevel(3, 2, folder);
    const float m[3][2] = {{3, -1}, {0.0001f, 0.5f}, {0.00005f, 0.001f}};
    const float n[3][2] = {{-4, 2}, {0.0001f, 0}, {0, 0.001f}};
    const float d[3][2] = {{2, 1}, {0.0005f, 1}, {0, 0.005f}};
    FillCells(level.fluxMNext, 3, 2, [&](int i, int j) { return m[i - 1][j - 1]; });
    FillCells(level.fluxNNext, 3, 2, [&](int i, int j) { return n[i - 1][j - 1]; });
    FillCells(level.totalDepthM, 3, 2, [&](int i, int j) { return d[i - 1][j - 1]; });
    FillCells(level.totalDepthN, 3, 2, [&](int i, int j) { return d[i - 1][j - 1]; });
    FillCells(level.rouseNumber, 3, 2, [](int i, int j) { return 0.5 * i + j; });
    return level;
}

void Snap(int32_t format, bool rouse, const GridLevel& level, int32_t mode, double time, int32_t record) {
    SimulationParameters settings;
    settings.outputFormat = format;
    settings.cellFieldFromFile = rouse;
    WriteSnapshot(settings, level.rouseNumber.cview(), level.fluxMNext.cview(), level.fluxNNext.cview(),
                  level.totalDepthM.cview(), level.totalDepthN.cview(), time, level.xMin, level.xMax, level.yMin,
                  level.yMax, level.nx, level.ny, mode, level.outputFolder, record);
}

const double kWetFr2 = 6.25 / 19.6, kMidFr2 = 0.08 / (0.005 * 9.8);
const double kDir11 = std::atan(-0.75) * 180 / std::numbers::pi, kDir12 = std::atan(-0.5) * 180 / std::numbers::pi;
const std::string kSnapshotHead = "DSAA\n3   2\n0.0000000   2.0000000\n0.0000000   1.0000000\n";

// Three gauges' history (a maximum held twice, one always negative, a "_" in a name, an incomplete
// last row to ignore), their list, and the summary hand-computed from both.
const std::string kSummaryData = kGolden + "summary/";
const std::string kHistory = kSummaryData + kTimeHistoryFileNames[kHistoryEta];
const std::string kGaugeList = kSummaryData + "gauges.txt";
const std::string kSummary = kSummaryData + "OUT-SUMMARY-RESULT.dat";

// Every extreme field of a Finish level, with the file it goes to.
const std::map<std::string, Field GridLevel::*> kExtremeFiles = {
    {"OUT-ETA-MAX", &GridLevel::etaMax}, {"OUT-ETA-MIN", &GridLevel::etaMin}, {"OUT-M-MAX", &GridLevel::maxFluxM},
    {"OUT-TIME-MAX-WAVE", &GridLevel::timeOfMaxWave}, {"OUT-TIME-FIRST-WAVE", &GridLevel::firstWaveArrival},
    {"OUT-FLOWDEPTHMAX", &GridLevel::maxFlowDepth}, {"OUT-CURMAX-ANGLE", &GridLevel::maxCurrentAngle},
    {"OUT-CURMAX", &GridLevel::maxCurrent}, {"OUT-FR2MAX", &GridLevel::maxFroudeSquared},
    {"OUT-CURatFR2max", &GridLevel::currentAtMaxFroudeSquared}, {"OUT-N-MAX", &GridLevel::maxFluxN},
    {"OUT-FDatFR2max", &GridLevel::flowDepthAtMaxFroudeSquared}, {"OUT-FRMAX", &GridLevel::maxFroude},
    {"OUT-timeatFr2max", &GridLevel::timeOfMaxFroudeSquared}, {"OUT-FD@curmax", &GridLevel::flowDepthAtMaxCurrent},
    {"OUT-time@curmax", &GridLevel::timeOfMaxCurrent}, {"OUT-FR2U", &GridLevel::froudeSquaredU},
    {"OUT-FR2V", &GridLevel::froudeSquaredV}, {"OUT-FDRAG_MAX", &GridLevel::maxDragForce},
    {"OUT-MN-DISFLUX-MAX", &GridLevel::maxDischargeFlux}, {"OUT-MN-MOMENTUM-FLUX", &GridLevel::maxMomentumFlux},
    {"OUT-MN-DISFLUX-MAX-ANGLE", &GridLevel::maxDischargeFluxAngle},
    // land files: the field where depth <= 0, else 0
    {"OUT-MN-DISFLUX-MAX_LAND", &GridLevel::maxDischargeFlux}, {"OUT-CUR-MAX_LAND", &GridLevel::maxCurrent},
    {"OUT-MN-DISFLUX-MAX-ANGLE_LAND", &GridLevel::maxDischargeFluxAngle},
    {"OUT-CURMAX-ANGLE_LAND", &GridLevel::maxCurrentAngle}, {"OUT-MN-MOMENTUM-FLUX_LAND", &GridLevel::maxMomentumFlux}};

// Depth rows 5, 0, -2 (south) and -1, 3, 4 (north); every field holds 100 k + 10 i + j with its
// own k, so that every file can be traced back to the field it was written from.
GridLevel FinishLevel(const std::string& folder) {
    GridLevel level = MakeLevel(3, 2, folder);
    const float depth[2][3] = {{5, 0, -2}, {-1, 3, 4}};
    FillCells(level.depth, 3, 2, [&](int i, int j) { return depth[j - 1][i - 1]; });
    int code = 1;
    for (const auto& [name, member] : kExtremeFiles) {
        FillCells(level.*member, 3, 2, [&](int i, int j) { return 100 * code + 10 * i + j; });
        ++code;
    }
    return level;
}

// What file `name` of a Finish level must hold: the field, masked for land files.
std::vector<float> ExpectedExtreme(const GridLevel& level, const std::string& name) {
    std::vector<float> values;
    for (int j = 1; j <= 2; ++j)
        for (int i = 1; i <= 3; ++i) {
            const bool sea = name.find("_LAND") != std::string::npos && level.depth[i][j] > 0.0f;
            values.push_back(sea ? 0.0f : (level.*kExtremeFiles.at(name))[i][j]);
        }
    return values;
}

}  // namespace

// Surfer text breaks lines at row ends, at p mod ny = ny - 1 and every tenth value, padding by
// integer digits; ESRI rows run north to south (cell size from y for one column); binary "DSBB".
TEST(GridFiles, WrittenBytesEqualTheGoldenFilesAndGdalReadsThem) {
    std::vector<float> square(121, 1.0f);
    const float firstRow[] = {1.5f, -12.5f, -0.5f, -1.5f, 123456.5f, -99999.0f, 1e20f, NAN, 0.25f, 7.0f};
    std::copy(std::begin(firstRow), std::end(firstRow), square.begin());
    const std::vector<float> column = {0.1f, 1234567.0f, 0.00001f};
    const GridFileHeader threeByTwo{.nx = 3, .ny = 2, .zMax = 6, .zMin = 1, .yMin = -0.5, .yMax = 0.5, .xMin = -1.5,
                                    .xMax = 1.5};
    const struct { const char* golden; uint32_t format; GridFileHeader header; const float* values; } cases[] = {
        {"grid-3x2.grd", SurferText, threeByTwo, kThreeByTwo.data()},
        {"grid-3x2.asc", EsriAscii, threeByTwo, kThreeByTwo.data()},
        {"grid-column.asc", EsriAscii, {.nx = 1, .ny = 3, .yMax = 4, .xMin = 5, .xMax = 5}, column.data()},
    };
    ScratchFolder folder;
    for (const auto& c : cases) {
        const std::string golden = c.golden;
        Captured([&] { WriteGridFile(c.values, c.header, folder / golden.substr(0, golden.find('.')), c.format); });
        EXPECT_EQ(ReadFile(folder / golden), ReadFile(kGolden + golden)) << golden;
    }
    Captured([&] {
        WriteGridFile(square.data(), {.nx = 11, .ny = 11, .zMax = 1e20f, .zMin = -99999, .yMax = 10, .xMax = 10},
                      folder / "square", SurferText);
    });
    std::string ones;
    for (int k = 0; k < 10; ++k) ones += k < 9 ? "1.0000000     " : "1.0000000\n1.0000000\n\n";
    std::string expected = "DSAA\n11   11\n0.0000000   10.0000000\n0.0000000   10.0000000\n"
                           "-99999.0000000  100000002004087734272.0000000\n1.5000000     -12.5000000   -0.5000000"
                           "     -1.5000000    123456.5000000 -99999.0000000 100000002004087734272.0000000 nan "
                           "0.2500000     7.0000000\n1.0000000\n\n";
    for (int row = 1; row < 11; ++row) expected += ones;
    EXPECT_EQ(ReadFile(folder / "square.grd"), expected);
    const auto write = [&] { WriteGridFile(kThreeByTwo.data(), threeByTwo, folder / "grid-3x2", SurferBinary); };
    EXPECT_EQ(Captured(write).first, folder / "grid-3x2 MM(6.000000, 1.000000)\n");
    EXPECT_EQ(ReadFile(folder / "grid-3x2_bin.grd").substr(0, 8), std::string("DSBB\x03\x00\x02\x00", 8));
    const BinaryGrid binary = ReadBinary(folder / "grid-3x2_bin.grd");
    EXPECT_EQ(binary.head, (std::vector<double>{-1.5, 1.5, -0.5, 0.5, 1, 6}));
    EXPECT_EQ(binary.z, kThreeByTwo);
}

// The netCDF stub, an unknown format, a missing folder, a full device: one warning each, console line kept.
TEST(GridFiles, NetCdfStubUnknownFormatAndUnwritableFiles) {
    ScratchFolder folder;
    const GridFileHeader header{.nx = 3, .ny = 2, .zMax = 2.345678f, .zMin = -1.234567f, .yMax = 1, .xMax = 2};
    const std::string missing = "/nonexistent-vestra-folder/sub/OUT-ETA-MAX", mm = " MM(2.345678, -1.234567)\n";
    const auto [out, err] = Captured([&] {
        EXPECT_EQ(WriteGridFile(kThreeByTwo.data(), header, folder / "n", NetCdf), 0);
        EXPECT_EQ(WriteGridFile(kThreeByTwo.data(), header, folder / "u", 7), 1);
        for (uint32_t format : {SurferText, SurferBinary, EsriAscii})
            WriteGridFile(kThreeByTwo.data(), header, missing, format);
        WriteSurferTextGrid(kThreeByTwo.data(), header, "/dev/full");
    });
    EXPECT_EQ(out, "Stub Write File " + folder / "n.nc" + mm + folder / "n" + mm + missing + mm + missing + mm +
                       missing + mm);
    EXPECT_TRUE(folder.Names().empty());
    EXPECT_EQ(CountLines(err), 5u) << err;
    EXPECT_NE(err.find("ZellCommon/ZellUtility: \"false\""), std::string::npos) << err;
    for (const char* name : {".grd: ", "_bin.grd: ", ".asc: "})
        EXPECT_NE(err.find(missing + name + std::strerror(ENOENT)), std::string::npos) << err;
    EXPECT_NE(err.find(std::string("/dev/full: ") + std::strerror(ENOSPC)), std::string::npos) << err;
}

TEST(NetCdf, NcdumpShowsLayoutAttributesAndAppendedRecords) {
    if (RunShell("command -v ncdump").empty()) GTEST_SKIP() << "ncdump not installed (Debian netcdf-bin)";
    ScratchFolder folder;
    const std::string path = folder / "dump.nc";
    WriteNetCdfGrid(Ramp(15, 0.5f).data(), path, 0.0, 26.0, 30.0, -10.0, -9.0, 5, 3, 0);
    WriteNetCdfGrid(Ramp(15, 100.0f).data(), path, 60.0, 26.0, 30.0, -10.0, -9.0, 5, 3, 1);
    EXPECT_EQ(RunShell("ncdump -h '" + path + "'"), ReadFile(kGolden + "netcdf-two-records.cdl"));
    EXPECT_EQ(NcValues(path, "LAT"), (std::vector<double>{-10, -9.5, -9}));
    EXPECT_EQ(RunShell("ncdump -k '" + path + "'"), "classic\n");
    int id = -1;
    std::size_t length = 0;  // ncdump hides a terminating zero; text attributes carry none
    ASSERT_EQ(nc_open(path.c_str(), NC_NOWRITE, &id), NC_NOERR);
    EXPECT_EQ(nc_inq_attlen(id, NC_GLOBAL, "history", &length), NC_NOERR);
    nc_close(id);
    EXPECT_EQ(length, std::strlen("ZELL-QUORL v4"));
}

TEST(NetCdf, RecreationSingleColumnAxesAndFailures) {
    ScratchFolder folder;
    const std::string path = folder / "NETCDF_M.nc";
    WriteNetCdfGrid(kThreeByTwo.data(), path, 0.0, 0.0, 2.0, 0.0, 1.0, 3, 2, 0);
    WriteNetCdfGrid(kThreeByTwo.data(), path, 30.0, 0.0, 2.0, 0.0, 1.0, 3, 2, 1);
    WriteNetCdfGrid(Ramp(6, -7.0f).data(), path, 5.0, 0.0, 2.0, 0.0, 1.0, 3, 2, 0);  // record 0 starts a new file
    EXPECT_EQ(NcValues(path, "TIME"), std::vector<double>{5.0});
    EXPECT_EQ(NcValues(path, "HA"), Doubles(Ramp(6, -7.0f)));
    // A single column's coordinate is the axis start, not a division by zero.
    WriteNetCdfGrid(kThreeByTwo.data(), folder / "column.nc", 0.0, 7.0, 9.0, 0.0, 4.0, 1, 3, 0);
    EXPECT_EQ(NcValues(folder / "column.nc", "LON"), std::vector<double>{7.0});
    EXPECT_EQ(NcValues(folder / "column.nc", "LAT"), (std::vector<double>{0, 2, 4}));

    // Append to a missing file, create in a missing folder, append another size: a warning, no file.
    const std::string err = Captured([&] {
        WriteNetCdfGrid(kThreeByTwo.data(), folder / "absent.nc", 60.0, 0, 1, 0, 1, 1, 3, 1);
        WriteNetCdfGrid(kThreeByTwo.data(), "/nonexistent-vestra-folder/NETCDF_H.nc", 0.0, 0, 1, 0, 1, 1, 3, 0);
        WriteNetCdfGrid(kThreeByTwo.data(), folder / "column.nc", 60.0, 0, 1, 0, 1, 3, 2, 1);
    }).second;
    EXPECT_EQ(CountLines(err), 3u) << err;
    EXPECT_NE(err.find(folder / "column.nc: the existing file holds a grid of another size"), std::string::npos);
    EXPECT_EQ(folder.Names(), (std::set<std::string>{"NETCDF_M.nc", "column.nc"}));
}

// One row per refusal: the fault, its reason, and the grid left as it was.
TEST(GridReader, RefusesEveryMalformedFileWithItsFaultAndReason) {
    ScratchFolder dir;
    const GridReadOptions strict, lenient{.finite = false};
    const std::string twoRecords = dir / "two.nc";
    const std::vector<float> withNan = {1, NAN};
    WriteNetCdfGrid(withNan.data(), twoRecords, 0.0, 0, 1, 0, 0, 2, 1, 0);
    WriteNetCdfGrid(withNan.data(), twoRecords, 60.0, 0, 1, 0, 0, 2, 1, 1);
    using F = GridFault;
    const auto W = [&](const char* name, const std::string& text) { return dir.Write(name, text); };
    const struct { std::string path; GridFileFormat format; GridReadOptions options; GridFault fault; const char* why; }
        cases[] = {
        {dir / "missing.grd", SurferText, strict, F::kUnreadable, "cannot be opened"},
        {W("lower.grd", "dsaa 1 1 0 1 0 1 0 1 5"), SurferText, strict, F::kNotDsaa, "first word is not \"DSAA\""},
        {W("other.grd", "XY 2 1 0 1 0 1 0 1 5 nan"), SurferText, {.finite = false, .anyFirstWord = true},
         F::kNone, ""},
        {W("inf.grd", "DSAA 2 1 0 inf 0 1 0 1 5 6"), SurferText, lenient, F::kNotNumber, "entry 4 (\"inf\")"},
        {W("cells.grd", "DSAA 50000 50000 0 1 0 1 0 1"), SurferText, strict, F::kBadSize, "50000 x 50000 is out"},
        {W("huge.grd", "DSAA 40000 40000 0 1 0 1 0 1 5"), SurferText, strict, F::kShort,
         "holds fewer than the 1600000000 values"},
        {W("short.grd", "DSAA 2 2 0 1 0 1 0 1 1 2 3"), SurferText, strict, F::kShort, "ends after 3 of 4 values"},
        {W("nan.grd", kHead + "1 nan"), SurferText, strict, F::kNotNumber, "value 2 is not a finite number"},
        {W("x_bin.grd", "DSBX" + std::string(60, '\0')), SurferBinary, lenient, F::kNotDsaa, "no \"DSBB\" header"},
        {W("nan_bin.grd", Binary({1, NAN}, 2, 1)), SurferBinary, strict, F::kNotNumber, "value 2 is not a finite"},
        {W("cut_bin.grd", Binary({1, 2, 3}, 2, 2)), SurferBinary, lenient, F::kShort, "does not match"},
        {W("text.nc", "CDF\x01 not really"), NetCdf, strict, F::kUnreadable, "cannot be opened as netCDF"},
        {twoRecords, NetCdf, strict, F::kRecords, "\"HA\" holds 2 records, not 1"},
        {twoRecords, NetCdf, {.finite = false, .recordDimension = true, .lastRecord = true}, F::kNone, ""},
    };
    for (const auto& c : cases) {
        GridFile grid;
        grid.nx = 99;
        std::string reason;
        EXPECT_EQ(ReadGridFile(c.path, c.format, c.options, grid, reason), c.fault) << c.path << ": " << reason;
        EXPECT_NE(reason.find(c.why), std::string::npos) << c.path << ": " << reason;
        EXPECT_TRUE(c.fault == F::kNone || grid.nx == 99) << c.path << " changed the grid";
    }
}

TEST(GridReader, ReadsBackWhatTheWritersWrite) {
    ScratchFolder dir;
    // 4 x 3 nodes 0.25 apart, every value exact in each format's notation; -9999 is ESRI's no-data.
    const GridFileHeader header{.nx = 4, .ny = 3, .zMax = 5.5f, .zMin = -2.75f, .yMin = -35.5, .yMax = -35.0,
                                .xMin = 140.25, .xMax = 141.0};
    const std::vector<float> values{-2.75f, 0.5f, 1.25f, 2.0f, 0.0f, 0.25f, -9999.0f, 3.5f, 4.0f, 4.5f, 5.0f, 5.5f};
    WriteSurferTextGrid(values.data(), header, dir / "g.grd");
    WriteSurferBinaryGrid(values.data(), header, dir / "g_bin.grd");
    WriteEsriAsciiGrid(values.data(), header, dir / "g.asc");
    WriteNetCdfGrid(Ramp(12, 7.0f).data(), dir / "g.nc", 0.0, 140.25, 141.0, -35.5, -35.0, 4, 3, 0);
    WriteNetCdfGrid(values.data(), dir / "g.nc", 60.0, 140.25, 141.0, -35.5, -35.0, 4, 3, 1);
    const GridReadOptions options{.finite = false, .lastRecord = true};
    for (const auto& [name, format] : std::map<std::string, GridFileFormat>{
             {"g.grd", SurferText}, {"g_bin.grd", SurferBinary}, {"g.asc", EsriAscii}, {"g.nc", NetCdf}}) {
        GridFile grid;
        std::string reason;
        ASSERT_EQ(ReadGridFile(dir / name, format, options, grid, reason), GridFault::kNone) << name << ": " << reason;
        EXPECT_EQ(std::vector<double>({1.0 * grid.nx, 1.0 * grid.ny, grid.xMin, grid.xMax, grid.yMin, grid.yMax}),
                  std::vector<double>({4, 3, 140.25, 141.0, -35.5, -35.0})) << name;
        std::vector<float> expected = values;
        if (format == EsriAscii) expected[6] = 1e30f;  // read as NaN
        std::ranges::replace_if(grid.values, [](float v) { return std::isnan(v); }, 1e30f);
        EXPECT_EQ(grid.values, expected) << name;
    }
    // Values read as doubles keep a text grid's decimals; the format of a name and of a first word.
    BasicGridFile<double> wide;
    std::string reason;
    ASSERT_EQ(ReadGridFile(dir.Write("d.grd", kHead + "0.1 -0.3"), SurferText, {}, wide, reason), GridFault::kNone);
    EXPECT_EQ(wide.values, (std::vector<double>{0.1, -0.3}));
    EXPECT_EQ(FormatFromFirstWord(dir / "d.grd"), SurferText);
    EXPECT_EQ(FormatFromFirstWord(dir.Write("x.grd", " DSAAx 1")), NetCdf);
}

TEST(FieldWriter, LandAndDrySeaBorderMasksAndTheirRanges) {
    ScratchFolder folder;
    // Depth: column 1 sea (5 m), column 2 shoreline (0), column 3 land (-2 m), column 4 sea.
    GridLevel level = MakeLevel(4, 3, folder.Slash());
    FillCells(level.depth, 4, 3, [](int i, int) { return i == 1 || i == 4 ? 5.0 : (i == 2 ? 0.0 : -2.0); });
    Field& values = level.maxCurrentAngle;
    values.Fill(-77.0f);  // halo values must never reach the file
    FillCells(values, 4, 3, [](int i, int j) { return 10 * i + j; });
    // Dry sea border: depth >= 0 and |depth + etaMin| <= 0.001.
    FillCells(level.etaMin, 4, 3, [](int i, int j) {
        if (i == 1) return j == 1 ? -4.9995 : -4.99;  // reached the bed within 0.5 mm / missed it by 1 cm
        if (i == 2) return j == 3 ? -0.5 : 0.0;       // shoreline: untouched (0) counts as dry bed
        if (i == 3) return 2.0;                       // land: never marked
        return j == 2 ? -5.001 : -3.0;                // 1 mm below the bed still counts
    });
    std::vector<float> flat(12);
    double zMin = 0, zMax = 0;
    FlattenField(level.etaMin.cview(), level.depth.cview(), 4, 3, kEtaMinDrySeaBorder, 2, flat.data(), zMin, zMax);
    EXPECT_EQ(flat, (std::vector<float>{1, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(std::make_pair(zMin, zMax), std::make_pair(0.0, 1.0));
    // 61 x 37 (not whole tiles), 1 and 2 threads: the row-major land-masked copy; NaN kept out of the range.
    GridLevel big = MakeLevel(61, 37, "");
    FillCells(big.maxCurrent, 61, 37, [](int i, int j) { return std::fmod(7.31 * i + 3.17 * j, 11.0) - 5.0; });
    FillCells(big.depth, 61, 37, [](int i, int j) { return std::fmod(2.9 * i + 5.3 * j, 7.0) - 3.5; });
    big.maxCurrent[5][7] = NAN, big.depth[5][7] = -1.0f;
    std::vector<float> serial;
    double low = 0, high = 0;  // masked cells give zeros, so 0 lies in the range
    for (int j = 1; j <= 37; ++j)
        for (int i = 1; i <= 61; ++i) {
            const float v = big.depth[i][j] <= 0.0f ? big.maxCurrent[i][j] : 0.0f;
            serial.push_back(v);
            if (!std::isnan(v)) low = std::min<double>(low, v), high = std::max<double>(high, v);
        }
    for (int threads : {1, 2}) {
        flat.assign(61 * 37, -9.0f);
        FlattenField(big.maxCurrent.cview(), big.depth.cview(), 61, 37, kMaxCurrentLand, threads, flat.data(), zMin,
                     zMax);
        EXPECT_EQ(std::memcmp(flat.data(), serial.data(), flat.size() * sizeof(float)), 0) << threads;
        EXPECT_EQ(std::make_pair(zMin, zMax), std::make_pair(low, high)) << threads;
    }
    // Through the writer: the binary header carries the coordinates and the masked range.
    Simulator binary(SurferBinary);
    EXPECT_EQ(Captured([&] { WriteKind(binary.sim, level, values, kMaxCurrentAngleLand); }).first,
              folder / "OUT-CURMAX-ANGLE_LAND MM(33.000000, 0.000000)\n");
    const BinaryGrid grid = ReadBinary(folder / "OUT-CURMAX-ANGLE_LAND_bin.grd");
    EXPECT_EQ(grid.z, (std::vector<float>{0, 21, 31, 0, 0, 22, 32, 0, 0, 23, 33, 0}));  // where depth <= 0
    EXPECT_EQ(grid.head, (std::vector<double>{0, 3, 0, 2, 0, 33}));
}

// Frames go to the host in grid formats only, named in whole seconds; netCDF prints nothing and
// keeps extremes as one record at time 0.
TEST(FieldWriter, FramesExtremesEmptyGridsAndBadRequests) {
    ScratchFolder folder;
    GridLevel level = MakeLevel(3, 2, folder.Slash());
    FillCells(level.eta, 3, 2, [](int i, int j) { return 0.25 * i - 0.5 * j; });
    const std::vector<float> expected = {-0.25f, 0.0f, 0.25f, -0.75f, -0.5f, -0.25f};
    RecordingReceiver receiver;
    Simulator text(SurferText), netcdf(NetCdf), binary(SurferBinary);
    text.sim.SetHostContext(&receiver);
    netcdf.sim.SetHostContext(&receiver);
    EXPECT_EQ(Captured([&] { WriteKind(text.sim, level, level.eta, kWaterLevelFrame, 600.0, 4, 2); }).first,
              folder / "t000600 MM(0.250000, -0.750000)\n");
    EXPECT_EQ(Captured([&] {
                  WriteKind(netcdf.sim, level, level.eta, kWaterLevelFrame, 60.0, 0, 2);
                  WriteKind(netcdf.sim, level, level.eta, kEtaMax, 0.0, 7);
              }).first, "");
    Captured([&] { WriteKind(binary.sim, level, level.eta, kWaterLevelFrame, 59.9); });
    EXPECT_EQ(receiver.notices, (std::vector<std::pair<int32_t, int32_t>>{{2, 0}}));
    EXPECT_EQ(receiver.frames, (std::vector<std::vector<float>>{expected}));
    EXPECT_EQ(ReadBinary(folder / "t000059_bin.grd").z, expected);
    EXPECT_EQ(NcValues(folder / "OUT-ETA-MAX.nc", "HA"), Doubles(expected));
    EXPECT_EQ(NcValues(folder / "OUT-ETA-MAX.nc", "TIME"), std::vector<double>{0.0});
    EXPECT_EQ(NcValues(folder / "NETCDF_H.nc", "HA"), Doubles(expected));
    // An empty grid has range (0, 0), not the starting sentinels.
    GridLevel empty = MakeLevel(0, 0, folder.Slash());
    EXPECT_EQ(Captured([&] { WriteKind(text.sim, empty, empty.etaMin, kEtaMin); }).first,
              folder / "OUT-ETA-MIN MM(0.000000, 0.000000)\n");
    // Unknown kinds and unallocated fields: a warning, no file, no crash.
    const std::set<std::string> before = folder.Names();
    Field unallocated;
    GridLevel noDepth = MakeLevel(3, 2, folder.Slash());
    noDepth.depth.Release();
    const auto [out, err] = Captured([&] {
        WriteKind(text.sim, level, level.etaMax, 30);
        WriteKind(text.sim, level, unallocated, kMaxCurrent);
        WriteKind(text.sim, noDepth, noDepth.etaMin, kEtaMinDrySeaBorder);
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(CountLines(err), 3u) << err;
    EXPECT_NE(err.find("kind 30"), std::string::npos) << err;
    EXPECT_EQ(folder.Names(), before);
}

// Text files keep cells above 1e-5 m (their ranges only those above 1 mm) in columns of 13 or
// 15 characters, dry momentum cells as the text "0"; binary files use 1 mm, cut magnitudes below
// 1e-4, have no speed or direction, and their ranges start from 0. Rouse numbers need a cell field.
TEST(Snapshot, GridFilesHoldTheHandComputedValues) {
    const std::map<std::string, std::string> text = {
        {"dt000600.grd", "0.0000000  1.6326534\n0.3188775     16.3265266      0.0000000\n\n"
                         "0.5102041      0.0255102      1.6326534\n\n"},
        {"momentumt000600.grd", "0.0000000  9.1787796\n9.1787796            0            0\n\n"
                                "4.1231055    0.2500000            0\n\n"},
        {"mt000600.grd", "-1.0000000  3.0000000\n3.0000000    0.0001000    0.0000500\n\n"
                         "-1.0000000    0.5000000    0.0010000\n\n"},
        {"ut000600.grd", "-1.0000000  1.5000000\n1.5000000      0.2000000      0.0000000\n\n"
                         "-1.0000000      0.5000000      0.2000000\n\n"},
        {"curt000600.grd", "0.0000000  2.5000000\n2.5000000      0.2828427      0.0000000\n\n"
                           "2.2360680      0.5000000      0.2828427\n\n"},
        {"angt000600.grd", "-36.8698976  45.0000000\n-36.8698976     45.0000000      0.0000000\n\n"
                           "-26.5650512      0.0000000     45.0000000\n\n"}};
    const std::vector<double> momentum = {std::sqrt(84.25), 0, 0, std::sqrt(17.0), 0.25, 0};
    const std::map<std::string, std::vector<double>> binary = {
        {"dt000600_bin.grd", {kWetFr2, 0, 0, 5 / 9.8, 0.25 / 9.8, kMidFr2}},
        {"Rot000600_bin.grd", {1.5, 2, 2.5, 2.5, 3, 3.5}},
        {"Momentumt000600_bin.grd", momentum},
        {"mt000600_bin.grd", {3, 0, 0, -1, 0.5, 0.001}},  // 0.0001f lies just below 1e-4
        {"nt000600_bin.grd", {-4, 0, 0, 2, 0, 0.001}},
        {"ut000600_bin.grd", {1.5, 0, 0, -1, 0.5, 0.2}},
        {"vt000600_bin.grd", {-2, 0, 0, 2, 0, 0.2}}};
    ScratchFolder textFolder, binaryFolder;
    for (int mode = 0; mode < 3; ++mode) {
        Snap(SurferText, false, SnapshotLevel(textFolder.Slash()), mode, 600.0, 0);  // no Rouse file
        Snap(SurferBinary, true, SnapshotLevel(binaryFolder.Slash()), mode, 600.0, 0);
    }
    std::set<std::string> names = {"nt000600.grd", "vt000600.grd"};  // laid out as the M and U files
    for (const auto& [name, body] : text) {
        EXPECT_EQ(ReadFile(textFolder / name), kSnapshotHead + body) << name;
        names.insert(name);
    }
    EXPECT_EQ(textFolder.Names(), names);
    names.clear();
    for (const auto& [name, values] : binary) {
        const BinaryGrid grid = ReadBinary(binaryFolder / name);
        std::vector<double> all = {0, 2, 0, 1, std::min(0.0, std::ranges::min(values)), std::ranges::max(values)};
        all.insert(all.end(), values.begin(), values.end());
        std::vector<double> read = grid.head;
        read.insert(read.end(), grid.z.begin(), grid.z.end());
        ExpectNear(read, all, name);
        names.insert(name);
    }
    EXPECT_EQ(binaryFolder.Names(), names);
}

TEST(Snapshot, NetCdfSeriesAndTheEsriSetting) {
    ScratchFolder folder, text;
    for (int record = 0; record < 2; ++record)  // the same model time twice
        for (int mode = 0; mode < 3; ++mode) Snap(NetCdf, true, SnapshotLevel(folder.Slash()), mode, 600.0, record);
    EXPECT_EQ(folder.Names().size(), 9u);  // D, Ro, Momentum, M, N, U, V, CUR, ANG
    // The 1 mm and 1e-4 thresholds of the binary files, without the magnitude cut.
    const std::vector<double> m = NcValues(folder / "NETCDF_M.nc", "HA");
    const std::vector<double> angle = NcValues(folder / "NETCDF_ANG.nc", "HA");
    ASSERT_EQ(m.size() + angle.size(), 24u);
    ExpectNear({m.begin() + 6, m.end()}, {3, 0.0001, 0.00005, -1, 0.5, 0.001}, "second M record");
    ExpectNear({angle.begin() + 6, angle.end()}, {kDir11, 0, 0, kDir12, 0, 45}, "second ANG record");
    // Snapshots in the ESRI setting are Surfer text grids.
    Snap(EsriAscii, false, SnapshotLevel(text.Slash()), kFluxes, 600.0, 0);
    EXPECT_EQ(ReadSurferText(text / "mt000600.grd").z, (std::vector<double>{3, 0.0001, 0.00005, -1, 0.5, 0.001}));
    EXPECT_EQ(text.Names(), (std::set<std::string>{"mt000600.grd", "nt000600.grd"}));
}

TEST(GaugeSummary, ResultsPerGaugeAndStatuses) {
    ScratchFolder folder;
    // A history without a header line (no gauges were placed): a header-only summary.
    EXPECT_EQ(WriteGaugeSummary(kGaugeList, folder.Write("blank.dat", "\n\n"), folder / "blank-summary.dat"), 0);
    const std::string full = ReadFile(kSummary);
    EXPECT_EQ(ReadFile(folder / "blank-summary.dat"), full.substr(0, full.find('\n') + 1));

    // No gauge list: 0, silently; -2 without a history, -3 without a list or an unwritable summary.
    const std::string err = Captured([&] {
        EXPECT_EQ(WriteGaugeSummary("", kHistory, folder / "none.dat"), 0);
        EXPECT_EQ(WriteGaugeSummary(kGaugeList, folder / "missing.dat", folder / "s2.dat"), -2);
        EXPECT_EQ(WriteGaugeSummary(folder / "missing.txt", kHistory, folder / "s3.dat"), -3);
        EXPECT_EQ(WriteGaugeSummary(kGaugeList, kHistory, "/nonexistent-vestra/s.dat"), -3);
    }).second;
    EXPECT_EQ(CountLines(err), 3u) << err;
    EXPECT_NE(err.find(folder / "missing.dat"), std::string::npos) << err;
    EXPECT_EQ(folder.Names(), (std::set<std::string>{"blank.dat", "blank-summary.dat"}));
}

TEST(Finish, WritesEveryFileOfEveryLevelAndReleasesTheModel) {
    ScratchFolder folder;
    Simulator simulator(SurferBinary, 2);
    SimulationParameters settings = simulator.sim.Parameters();
    settings.cellFieldFromFile = true;
    settings.cellFieldFile = folder.Write("cells.grd", "DSAA\n3 2\n0 2\n0 1\n0 1\n0.1 0.2 0.3\n0.4 0.5\n");
    simulator.sim.SetParameters(settings);

    // Level 0: trailing separator, gauges, Rouse numbers K / (maxCurrent + 0.001) with K 0.3 from the
    // model (the file is one value short), (1,1) reached its bed. Level 1: no separator, gauges or current.
    auto prepare = [](int index, const std::string& dir) {
        GridLevel level = FinishLevel(dir);
        const float current[2][3] = {{0.999f, 0.0005f, 1.999f}, {0.0f, 0.099f, 0.0015f}};
        FillCells(level.maxCurrent, 3, 2, [&](int i, int j) { return index == 0 ? current[j - 1][i - 1] : 0.0f; });
        level.cellField.Fill(0.3f);
        if (index == 0) FillCells(level.etaMin, 3, 2, [](int i, int j) { return i == 1 && j == 1 ? -4.9995 : 0.5; });
        return level;
    };
    const GridLevel reference[2] = {prepare(0, ""), prepare(1, "")};
    simulator.sim.levels.push_back(prepare(0, folder.Folder("level0")));
    simulator.sim.levels.push_back(prepare(1, folder / "level1"));
    fs::create_directories(folder / "level1");
    GridLevel& first = simulator.sim.levels[0];
    first.gaugeFile = kGaugeList;
    first.gaugeColumns = {1, 2, 3}, first.gaugeRows = {1, 1, 2}, first.gaugeCount = 3;
    fs::copy_file(kHistory, folder / "level0" + "/" + kTimeHistoryFileNames[kHistoryEta]);
    simulator.sim.timeSeriesStream.open(folder.Write("series.txt", "0 0 0 0\n"));

    const auto [console, err] = Captured([&] { simulator.sim.Finish(); });
    EXPECT_NE(err.find(settings.cellFieldFile + " supplies 5 of 6 coefficients"), std::string::npos) << err;
    EXPECT_EQ(CountLines(err), 2u) << err;  // one for each level
    EXPECT_TRUE(simulator.sim.levels.empty());
    EXPECT_FALSE(simulator.sim.timeSeriesStream.is_open());

    EXPECT_EQ(CountLines(console), 60u) << console;  // one line per grid written, the momentum flux twice
    for (int index : {0, 1}) {
        const std::string dir = folder / ("level" + std::to_string(index)) + "/";
        std::set<std::string> names = {"OUT-ROUSE_NUMBER_MINIMUM.grd", "OUT-ROUSE_NUMBER_MINIMUM_LAND.grd",
                                       "OUT-ETA-MIN-DRY-SEA-BORDER_bin.grd", "OUT-FLOWDEPTHMAXLAND_bin.grd"};
        for (const auto& [name, member] : kExtremeFiles) names.insert(name + "_bin.grd");
        if (index == 0) names.insert({"OUT-SUMMARY-RESULT.dat", kTimeHistoryFileNames[kHistoryEta]});
        std::set<std::string> written;
        for (const auto& entry : fs::directory_iterator(dir)) written.insert(entry.path().filename().string());
        EXPECT_EQ(written, names) << dir;
        for (const auto& [name, member] : kExtremeFiles)
            EXPECT_EQ(ReadBinary(dir + name + "_bin.grd").z, ExpectedExtreme(reference[index], name)) << dir << name;
        // Land flow depth: strictly negative depth only (the shoreline cell stays 0).
        const Field& flowDepth = reference[index].maxFlowDepth;
        EXPECT_EQ(ReadBinary(dir + "OUT-FLOWDEPTHMAXLAND_bin.grd").z,
                  (std::vector<float>{0, 0, flowDepth[3][1], flowDepth[1][2], 0, 0}));
    }
    EXPECT_EQ(ReadBinary(folder / "level0/OUT-ETA-MIN-DRY-SEA-BORDER_bin.grd").z,
              (std::vector<float>{1, 0, 0, 0, 0, 0}));
    // Rouse grids: 6 decimals for coordinates, 4 for values, "200" for sea cells of the land grid.
    const std::string head = "DSAA\n3   2\n0.000000   2.000000\n0.000000   1.000000\n0.0000  200.0000\n";
    EXPECT_EQ(ReadFile(folder / "level0/OUT-ROUSE_NUMBER_MINIMUM.grd"),
              head + "0.1000     200.0000       0.1500\n\n200.0000       5.0000     120.0000\n\n");
    EXPECT_EQ(ReadFile(folder / "level0/OUT-ROUSE_NUMBER_MINIMUM_LAND.grd"),
              head + "200          200       0.1500\n\n200.0000          200          200\n\n");
    EXPECT_EQ(ReadSurferText(folder / "level1/OUT-ROUSE_NUMBER_MINIMUM.grd").z, std::vector<double>(6, 200.0));
    EXPECT_EQ(ReadFile(folder / "level0/OUT-SUMMARY-RESULT.dat"), ReadFile(kSummary));
}
