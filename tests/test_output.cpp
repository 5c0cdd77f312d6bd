// Results output of a level: the field writer with its masks, ranges and host notice, snapshots
// of derived quantities in every format, the gauge summary and the end-of-run sequence. Values
// are hand-computed; layouts are compared with golden files under tests/data/output, netCDF
// files are read back through the netCDF library.
#include <gtest/gtest.h>
#include <netcdf.h>

#include <cmath>
#include <cstring>
#include <map>
#include <numbers>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "FieldWriter.h"
#include "GaugeSummary.h"
#include "HostFrameReceiverI.h"
#include "KernelFixture.h"
#include "Snapshot.h"
#include "TestSupport.h"
#include "TimeHistory.h"
#include "ZellSimulatorVestra.h"
#include "ZellUtility.h"

namespace fs = std::filesystem;

namespace {

const std::string kGolden = std::string(VESTRA_SOURCE_DIR) + "/tests/data/output/";

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
    for (int32_t i = 1; i <= nx; ++i) {
        for (int32_t j = 1; j <= ny; ++j) field[i][j] = static_cast<float>(f(i, j));
    }
}

// A Surfer binary grid read back: xMin, xMax, yMin, yMax, zMin, zMax and the payload. The byte
// layout itself is checked against golden files and GDAL in test_grid_files.
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

void ExpectNear(const std::vector<double>& actual, const std::vector<double>& expected, const std::string& what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (std::size_t k = 0; k < actual.size(); ++k) {
        EXPECT_NEAR(actual[k], expected[k], 2e-6 * std::max(1.0, std::fabs(expected[k]))) << what << " value " << k;
    }
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

}  // namespace

// ---------------------------------------------------------------------------------------------
// Field writer

TEST(FieldWriter, LandAndDrySeaBorderMasksAndTheirRanges) {
    ScratchFolder folder;
    // Depth: column 1 sea (5 m), column 2 shoreline (0), column 3 land (-2 m), column 4 sea.
    GridLevel level = MakeLevel(4, 3, folder.Slash());
    FillCells(level.depth, 4, 3, [](int i, int) { return i == 1 || i == 4 ? 5.0 : (i == 2 ? 0.0 : -2.0); });
    Field values;
    values.Allocate(4, 3);
    values.Fill(-77.0f);  // halo values must never reach the file
    FillCells(values, 4, 3, [](int i, int j) { return 10 * i + j; });
    // Dry sea border: depth >= 0 and |depth + etaMin| <= 0.001.
    FillCells(level.etaMin, 4, 3, [](int i, int j) {
        if (i == 1) return j == 1 ? -4.9995 : -4.99;  // reached the bed within 0.5 mm / missed it by 1 cm
        if (i == 2) return j == 3 ? -0.5 : 0.0;       // shoreline: untouched (0) counts as dry bed
        if (i == 3) return 2.0;                       // land: never marked
        return j == 2 ? -5.001 : -3.0;                // 1 mm below the bed still counts
    });
    const std::vector<float> land = {0, 21, 31, 0, 0, 22, 32, 0, 0, 23, 33, 0};  // where depth <= 0
    const struct { const Field* field; int32_t kind; std::vector<float> flat; double zMin, zMax; } cases[] = {
        {&values, kMaxDischargeFluxLand, land, 0, 33},  // the sea cells' zeros belong to the range
        {&values, kMaxDischargeFluxAngleLand, land, 0, 33},
        {&values, kMaxCurrentLand, land, 0, 33},
        {&values, kMaxCurrentAngleLand, land, 0, 33},
        {&values, kMaxMomentumFluxLand, land, 0, 33},
        // Kind 9 is masked by its caller: the writer passes the field unchanged.
        {&values, kMaxFlowDepthLand, {11, 21, 31, 41, 12, 22, 32, 42, 13, 23, 33, 43}, 11, 43},
        {&level.etaMin, kEtaMinDrySeaBorder, {1, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0}, 0, 1},
    };
    for (const auto& c : cases) {
        std::vector<float> flat(12);
        double zMin = 0, zMax = 0;
        FlattenField(c.field->cview(), level.depth.cview(), 4, 3, c.kind, 2, flat.data(), zMin, zMax);
        EXPECT_EQ(flat, c.flat) << "kind " << c.kind;
        EXPECT_EQ(std::make_pair(zMin, zMax), std::make_pair(c.zMin, c.zMax)) << "kind " << c.kind;
    }

    // Through the writer: the binary header carries the coordinates and the masked range.
    Simulator binary(SurferBinary);
    testing::internal::CaptureStdout();
    WriteKind(binary.sim, level, values, kMaxCurrentAngleLand);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              folder / "OUT-CURMAX-ANGLE_LAND" + " MM(33.000000, 0.000000)\n");
    const BinaryGrid grid = ReadBinary(folder / "OUT-CURMAX-ANGLE_LAND_bin.grd");
    EXPECT_EQ(grid.z, land);
    EXPECT_EQ(grid.head, (std::vector<double>{0, 3, 0, 2, 0, 33}));
}

TEST(FieldWriter, OneAndTwoThreadsGiveTheSerialBufferAndRange) {
    const int32_t nx = 61, ny = 37;
    GridLevel level = MakeLevel(nx, ny, "");
    std::mt19937 random(11);
    std::uniform_real_distribution<float> value(-50.0f, 80.0f);
    FillCells(level.maxCurrent, nx, ny, [&](int, int) { return value(random); });
    FillCells(level.depth, nx, ny, [&](int, int) { return value(random); });
    level.maxCurrent[5][7] = NAN;  // on land: skipped by the range, copied to the buffer
    level.depth[5][7] = -1.0f;

    // Serial reference: row-major from the first row, masked where depth > 0 (zeros in the range).
    std::vector<float> expected(nx * ny);
    double zMin = 0.0, zMax = 0.0;
    for (int32_t j = 1; j <= ny; ++j) {
        for (int32_t i = 1; i <= nx; ++i) {
            const float v = level.depth[i][j] <= 0.0f ? level.maxCurrent[i][j] : 0.0f;
            expected[(j - 1) * nx + (i - 1)] = v;
            if (!std::isnan(v)) zMin = std::min<double>(zMin, v), zMax = std::max<double>(zMax, v);
        }
    }
    for (int threads : {1, 2}) {
        std::vector<float> flat(nx * ny, -1.0f);
        double min = 0, max = 0;
        FlattenField(level.maxCurrent.cview(), level.depth.cview(), nx, ny, kMaxCurrentLand, threads, flat.data(),
                     min, max);
        EXPECT_EQ(std::memcmp(flat.data(), expected.data(), flat.size() * sizeof(float)), 0) << threads;
        EXPECT_EQ(std::make_pair(min, max), std::make_pair(zMin, zMax)) << threads;
    }
}

TEST(FieldWriter, WaterLevelFramesNotifyTheHostInGridFormatsOnly) {
    ScratchFolder folder;
    GridLevel level = MakeLevel(3, 2, folder.Slash());
    FillCells(level.eta, 3, 2, [](int i, int j) { return 0.25 * i - 0.5 * j; });
    const std::vector<float> expected = {-0.25f, 0.0f, 0.25f, -0.75f, -0.5f, -0.25f};
    RecordingReceiver receiver;

    Simulator text(SurferText);
    text.sim.SetHostContext(&receiver);
    testing::internal::CaptureStdout();
    WriteKind(text.sim, level, level.eta, kWaterLevelFrame, 600.0, 4, 2);
    WriteKind(text.sim, level, level.eta, kWaterLevelFrame, 1000000.0, 5, 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), folder / "t000600" + " MM(0.250000, -0.750000)\n" +
                                                          folder / "t1000000" + " MM(0.250000, -0.750000)\n");
    EXPECT_EQ(receiver.notices, (std::vector<std::pair<int32_t, int32_t>>{{2, 0}, {2, 0}}));
    EXPECT_EQ(receiver.frames, (std::vector<std::vector<float>>{expected, expected}));
    EXPECT_EQ(ReadSurferText(folder / "t000600.grd").z, Doubles(expected));
    EXPECT_NE(ReadFile(folder / "t000600.grd").find("\n-0.7500000  0.2500000\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(folder / "t1000000.grd"));

    // netCDF: one series, records as numbered by the caller, and no notice to the host.
    Simulator netcdf(NetCdf);
    netcdf.sim.SetHostContext(&receiver);
    WriteKind(netcdf.sim, level, level.eta, kWaterLevelFrame, 60.0, 0, 2);
    WriteKind(netcdf.sim, level, level.eta, kWaterLevelFrame, 120.0, 1, 2);
    EXPECT_EQ(receiver.frames.size(), 2u);
    EXPECT_EQ(NcValues(folder / "NETCDF_H.nc", "TIME"), (std::vector<double>{60.0, 120.0}));
    std::vector<double> twice = Doubles(expected);
    twice.insert(twice.end(), twice.begin(), twice.end());
    EXPECT_EQ(NcValues(folder / "NETCDF_H.nc", "HA"), twice);

    // Without a receiver the frame is written all the same; names truncate to whole seconds.
    Simulator binary(SurferBinary);
    testing::internal::CaptureStdout();
    WriteKind(binary.sim, level, level.eta, kWaterLevelFrame, 59.9);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ReadBinary(folder / "t000059_bin.grd").z, expected);
    EXPECT_EQ(TimedName("momentum", 1234567.9), "momentumt1234567");
}

TEST(FieldWriter, ExtremeNetCdfFilesEmptyGridsAndBadRequests) {
    ScratchFolder folder;
    GridLevel level = MakeLevel(3, 2, folder.Slash());
    FillCells(level.etaMax, 3, 2, [](int i, int j) { return i * j; });
    Simulator netcdf(NetCdf), text(SurferText);
    testing::internal::CaptureStdout();
    WriteKind(netcdf.sim, level, level.etaMax, kEtaMax, 0.0, 7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the netCDF writer prints nothing
    EXPECT_EQ(NcValues(folder / "OUT-ETA-MAX.nc", "HA"), (std::vector<double>{1, 2, 3, 2, 4, 6}));
    EXPECT_EQ(NcValues(folder / "OUT-ETA-MAX.nc", "TIME"), std::vector<double>{0.0});  // one record at 0

    // An empty grid has range (0, 0), not the starting sentinels.
    GridLevel empty = MakeLevel(0, 0, folder.Slash());
    testing::internal::CaptureStdout();
    WriteKind(text.sim, empty, empty.etaMin, kEtaMin);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), folder / "OUT-ETA-MIN" + " MM(0.000000, 0.000000)\n");

    // Unknown kinds and unallocated fields: a warning, no file, no crash.
    Field unallocated;
    GridLevel noDepth = MakeLevel(3, 2, folder.Slash());
    noDepth.depth.Release();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    WriteKind(text.sim, level, level.etaMax, 30);
    WriteKind(text.sim, level, level.etaMax, -1);
    WriteKind(text.sim, level, unallocated, kMaxCurrent);
    WriteKind(text.sim, noDepth, noDepth.etaMin, kEtaMinDrySeaBorder);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(CountLines(err), 4u) << err;
    EXPECT_NE(err.find("kind 30"), std::string::npos);
    EXPECT_NE(err.find(folder / "OUT-CURMAX"), std::string::npos);
    EXPECT_NE(err.find(folder / "OUT-ETA-MIN-DRY-SEA-BORDER"), std::string::npos);
    EXPECT_EQ(folder.Names(), (std::set<std::string>{"OUT-ETA-MAX.nc", "OUT-ETA-MIN.grd"}));
}

// ---------------------------------------------------------------------------------------------
// Snapshots

namespace {

// 3 x 2 cells, hand-computed quantities (g = 9.8):
//  (1,1) DM = DN = 2, M = 3, N = -4: u 1.5, v -2, Fr2 6.25/19.6, speed 2.5, dir atan(-0.75),
//        momentum sqrt(81/4 + 256/4)
//  (2,1) DM = DN = 0.0005, M = N = 0.0001: u, v, Fr2 in text only (below 1 mm elsewhere); no
//        momentum (depths below 0.01); direction 45 in text only (|N| not above 1e-4 elsewhere)
//  (3,1) dry, M = 0.00005: written in the text M file, cut to 0 in the binary one
//  (1,2) DM = DN = 1, M = -1, N = 2: u -1, v 2, Fr2 5/9.8, speed sqrt 5, dir atan(-0.5)
//  (2,2) DM = DN = 1, M = 0.5, N = 0: direction 0, momentum 0.25
//  (3,2) DM = DN = 0.005, M = N = 0.001: Fr2 0.08/0.049, momentum dry (depths below 0.01)
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

const double kWetFr2 = 6.25 / 19.6, kShallowFr2 = 0.08 / (0.0005 * 9.8), kMidFr2 = 0.08 / (0.005 * 9.8);
const double kDir11 = std::atan(-0.75) * 180 / std::numbers::pi, kDir12 = std::atan(-0.5) * 180 / std::numbers::pi;
const std::vector<double> kRouse = {1.5, 2, 2.5, 2.5, 3, 3.5};
const std::vector<double> kMomentum = {std::sqrt(84.25), 0, 0, std::sqrt(17.0), 0.25, 0};

}  // namespace

// Text files keep cells above 1e-5 m (their ranges only those above 1 mm), dry momentum cells
// as the text "0"; binary files use 1 mm, cut magnitudes below 1e-4 and have no speed or
// direction. The golden files hold the layout: header, ranges, column widths, empty lines.
TEST(Snapshot, GridFilesHoldTheHandComputedValuesInTheGoldenLayout) {
    const std::map<std::string, std::vector<double>> text = {
        {"dt000600.grd", {kWetFr2, kShallowFr2, 0, 5 / 9.8, 0.25 / 9.8, kMidFr2}},
        {"rot000600.grd", kRouse},
        {"momentumt000600.grd", kMomentum},
        {"mt000600.grd", {3, 0.0001, 0.00005, -1, 0.5, 0.001}},
        {"nt000600.grd", {-4, 0.0001, 0, 2, 0, 0.001}},
        {"ut000600.grd", {1.5, 0.2, 0, -1, 0.5, 0.2}},
        {"vt000600.grd", {-2, 0.2, 0, 2, 0, 0.2}},
        {"curt000600.grd", {2.5, std::sqrt(0.08), 0, std::sqrt(5.0), 0.5, std::sqrt(0.08)}},
        {"angt000600.grd", {kDir11, 45, 0, kDir12, 0, 45}}};
    const std::map<std::string, std::vector<double>> binary = {
        {"dt000600_bin.grd", {kWetFr2, 0, 0, 5 / 9.8, 0.25 / 9.8, kMidFr2}},
        {"Rot000600_bin.grd", kRouse},
        {"Momentumt000600_bin.grd", kMomentum},
        {"mt000600_bin.grd", {3, 0, 0, -1, 0.5, 0.001}},  // 0.0001f lies just below 1e-4
        {"nt000600_bin.grd", {-4, 0, 0, 2, 0, 0.001}},
        {"ut000600_bin.grd", {1.5, 0, 0, -1, 0.5, 0.2}},
        {"vt000600_bin.grd", {-2, 0, 0, 2, 0, 0.2}}};
    for (const auto* files : {&text, &binary}) {
        ScratchFolder folder;
        const GridLevel level = SnapshotLevel(folder.Slash());
        const int32_t format = files == &text ? SurferText : SurferBinary;
        for (int mode = 0; mode < 3; ++mode) Snap(format, true, level, mode, 600.0, 0);
        std::set<std::string> names;
        for (const auto& [name, values] : *files) {
            names.insert(name);
            const std::string path = folder / name;
            ExpectNear(files == &text ? ReadSurferText(path).z : Doubles(ReadBinary(path).z), values, name);
            EXPECT_EQ(ReadFile(path), ReadFile(kGolden + "snapshot/" + name)) << name;
        }
        EXPECT_EQ(folder.Names(), names);
    }
}

TEST(Snapshot, NetCdfSeriesAppendAndGridFilesOverwrite) {
    ScratchFolder folder;
    const GridLevel level = SnapshotLevel(folder.Slash());
    for (int record = 0; record < 2; ++record) {  // the same model time twice
        for (int mode = 0; mode < 3; ++mode) Snap(NetCdf, true, level, mode, 600.0, record);
    }
    EXPECT_EQ(folder.Names(), (std::set<std::string>{"NETCDF_D.nc", "NETCDF_Ro.nc", "NETCDF_Momentum.nc", "NETCDF_M.nc",
                                                     "NETCDF_N.nc", "NETCDF_U.nc", "NETCDF_V.nc", "NETCDF_CUR.nc",
                                                     "NETCDF_ANG.nc"}));
    EXPECT_EQ(NcValues(folder / "NETCDF_D.nc", "TIME"), (std::vector<double>{600.0, 600.0}));
    // The 1 mm and 1e-4 thresholds of the binary files, without the magnitude cut.
    const std::map<std::string, std::vector<double>> expected = {
        {"NETCDF_D.nc", {kWetFr2, 0, 0, 5 / 9.8, 0.25 / 9.8, kMidFr2}},
        {"NETCDF_M.nc", {3, 0.0001, 0.00005, -1, 0.5, 0.001}},
        {"NETCDF_ANG.nc", {kDir11, 0, 0, kDir12, 0, 45}}};
    for (const auto& [name, values] : expected) {
        std::vector<double> twice = values;
        twice.insert(twice.end(), values.begin(), values.end());
        ExpectNear(NcValues(folder / name, "HA"), twice, name);
    }

    // Snapshots in the ESRI setting are Surfer text grids; a second one of the same time replaces it.
    ScratchFolder text;
    GridLevel copy = SnapshotLevel(text.Slash());
    copy.fluxMNext[1][1] = 99.0f;
    Snap(EsriAscii, false, copy, kFluxes, 600.0, 0);
    Snap(EsriAscii, false, SnapshotLevel(text.Slash()), kFluxes, 600.0, 1);
    EXPECT_EQ(ReadFile(text / "mt000600.grd"), ReadFile(kGolden + "snapshot/mt000600.grd"));
    EXPECT_EQ(text.Names(), (std::set<std::string>{"mt000600.grd", "nt000600.grd"}));
}

TEST(Snapshot, DryLevelNoRouseWithoutCellFieldAndWideValues) {
    ScratchFolder folder;
    GridLevel dry = MakeLevel(3, 2, folder.Slash());
    for (int32_t format : {SurferText, SurferBinary, NetCdf}) Snap(format, false, dry, kFlowIndicators, 1e6, 0);
    Snap(SurferText, false, dry, kVelocities, 1000000.0, 0);
    EXPECT_EQ(folder.Names(), (std::set<std::string>{"dt1000000.grd", "momentumt1000000.grd", "dt1000000_bin.grd",
                                                     "Momentumt1000000_bin.grd", "NETCDF_D.nc", "NETCDF_Momentum.nc",
                                                     "ut1000000.grd", "vt1000000.grd", "curt1000000.grd",
                                                     "angt1000000.grd"}));
    const std::string header = "DSAA\n3   2\n0.0000000   2.0000000\n0.0000000   1.0000000\n0.0000000  0.0000000\n";
    const std::string zeros15 = "0.0000000      0.0000000      0.0000000\n\n";
    EXPECT_EQ(ReadFile(folder / "dt1000000.grd"), header + zeros15 + zeros15);
    EXPECT_EQ(ReadFile(folder / "ut1000000.grd"), header + zeros15 + zeros15);
    const std::string dryRow = "0            0            0\n\n";
    EXPECT_EQ(ReadFile(folder / "momentumt1000000.grd"), header + dryRow + dryRow);

    // A momentum flux wider than its 13-character column is still set off by one space.
    ScratchFolder wide;
    GridLevel energetic = MakeLevel(2, 2, wide.Slash());
    FillCells(energetic.totalDepthM, 2, 2, [](int, int) { return 0.02; });
    FillCells(energetic.totalDepthN, 2, 2, [](int, int) { return 0.02; });
    FillCells(energetic.fluxMNext, 2, 2, [](int i, int) { return i == 1 ? 0.01 : 1.0e4; });
    Snap(SurferText, false, energetic, kFlowIndicators, 0.0, 0);
    const std::string grid = ReadFile(wide / "momentumt000000.grd");
    EXPECT_NE(grid.find("\n0.0050000 5000000000.0000000\n"), std::string::npos) << grid;
}

TEST(Snapshot, CellThresholdsAreStrictAndPerDepth) {
    using snapshot::Cell;
    EXPECT_EQ(snapshot::VelocityU(Cell{1, 1, 0.0009f, 1}, 0.001), 0.0f);
    EXPECT_EQ(snapshot::VelocityU(Cell{1, 1, 0.0011f, 1}, 0.001), 1.0f / 0.0011f);
    EXPECT_EQ(snapshot::VelocityV(Cell{1, 1, 1, 0.0009f}, 0.001), 0.0f);
    EXPECT_EQ(snapshot::FroudeSquared(Cell{1, 1, 1, 0.0009f}, 0.001), 0.0f);
    EXPECT_EQ(snapshot::CurrentSpeed(Cell{1, 1, 0.0009f, 1}, 0.001), 0.0f);
    EXPECT_FALSE(snapshot::HasMomentumFlux(Cell{1, 1, -0.5f, 0.01f}));
    EXPECT_TRUE(snapshot::HasMomentumFlux(Cell{1, 1, -0.5f, 0.0101f}));  // magnitudes: negative depths count
    EXPECT_NEAR(snapshot::CurrentDirection(Cell{-3, -4, 2, 2}, 0.0001), 36.869897645844, 1e-5);
    EXPECT_EQ(snapshot::CurrentDirection(Cell{1, 0.00005f, 1, 1}, 0.0001), 0.0);
    EXPECT_NE(snapshot::CurrentDirection(Cell{1, 0.00005f, 1, 1}, 0.00001), 0.0);
}

// ---------------------------------------------------------------------------------------------
// Gauge summary and the end of a run

namespace {

// A water-level history of three gauges (G1 rises after 3 min and holds its maximum twice, G2
// stays negative, "A_B" carries a "_" in its name; the incomplete last row would raise G1's
// maximum and must be ignored), their gauge list, and the summary hand-computed from both.
const std::string kSummaryData = kGolden + "summary/";
const std::string kHistory = kSummaryData + kTimeHistoryFileNames[kHistoryEta];
const std::string kGaugeList = kSummaryData + "gauges.txt";
const std::string kSummary = kSummaryData + "OUT-SUMMARY-RESULT.dat";

}  // namespace

TEST(GaugeSummary, ResultsPerGaugeAndStatuses) {
    ScratchFolder folder;
    EXPECT_EQ(WriteGaugeSummary(kGaugeList, kHistory, folder / "summary.dat"), 0);
    EXPECT_EQ(ReadFile(folder / "summary.dat"), ReadFile(kSummary));
    // A history without a header line (no gauges were placed): a header-only summary.
    EXPECT_EQ(WriteGaugeSummary(kGaugeList, folder.Write("blank.dat", "\n\n"), folder / "blank-summary.dat"), 0);
    const std::string full = ReadFile(kSummary);
    EXPECT_EQ(ReadFile(folder / "blank-summary.dat"), full.substr(0, full.find('\n') + 1));

    // No gauge list: nothing written, status 0, no message. -2 without a history, -3 without a
    // gauge list or when the summary cannot be created; each failure is one warning line.
    testing::internal::CaptureStderr();
    EXPECT_EQ(WriteGaugeSummary("", kHistory, folder / "none.dat"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(WriteGaugeSummary(kGaugeList, folder / "missing.dat", folder / "s2.dat"), -2);
    EXPECT_EQ(WriteGaugeSummary(folder / "missing.txt", kHistory, folder / "s3.dat"), -3);
    EXPECT_EQ(WriteGaugeSummary(kGaugeList, kHistory, "/nonexistent-vestra/s.dat"), -3);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountLines(err), 3u) << err;
    EXPECT_NE(err.find(folder / "missing.dat"), std::string::npos) << err;
    EXPECT_NE(err.find(folder / "missing.txt"), std::string::npos) << err;
    EXPECT_NE(err.find("/nonexistent-vestra/s.dat"), std::string::npos) << err;
    EXPECT_EQ(folder.Names(), (std::set<std::string>{"summary.dat", "blank.dat", "blank-summary.dat"}));
}

namespace {

// Every extreme field of a Finish level, with the file it goes to.
const std::map<std::string, Field GridLevel::*> kExtremeFiles = {
    {"OUT-ETA-MAX", &GridLevel::etaMax}, {"OUT-ETA-MIN", &GridLevel::etaMin},
    {"OUT-TIME-MAX-WAVE", &GridLevel::timeOfMaxWave}, {"OUT-TIME-FIRST-WAVE", &GridLevel::firstWaveArrival},
    {"OUT-FLOWDEPTHMAX", &GridLevel::maxFlowDepth}, {"OUT-CURMAX-ANGLE", &GridLevel::maxCurrentAngle},
    {"OUT-CURMAX", &GridLevel::maxCurrent}, {"OUT-FR2MAX", &GridLevel::maxFroudeSquared},
    {"OUT-CURatFR2max", &GridLevel::currentAtMaxFroudeSquared},
    {"OUT-FDatFR2max", &GridLevel::flowDepthAtMaxFroudeSquared},
    {"OUT-timeatFr2max", &GridLevel::timeOfMaxFroudeSquared}, {"OUT-FD@curmax", &GridLevel::flowDepthAtMaxCurrent},
    {"OUT-time@curmax", &GridLevel::timeOfMaxCurrent}, {"OUT-FR2U", &GridLevel::froudeSquaredU},
    {"OUT-FR2V", &GridLevel::froudeSquaredV}, {"OUT-FRMAX", &GridLevel::maxFroude},
    {"OUT-FDRAG_MAX", &GridLevel::maxDragForce}, {"OUT-M-MAX", &GridLevel::maxFluxM},
    {"OUT-N-MAX", &GridLevel::maxFluxN}, {"OUT-MN-DISFLUX-MAX", &GridLevel::maxDischargeFlux},
    {"OUT-MN-DISFLUX-MAX-ANGLE", &GridLevel::maxDischargeFluxAngle},
    {"OUT-MN-MOMENTUM-FLUX", &GridLevel::maxMomentumFlux},
    // land files: the field where depth <= 0, else 0
    {"OUT-MN-DISFLUX-MAX_LAND", &GridLevel::maxDischargeFlux},
    {"OUT-MN-DISFLUX-MAX-ANGLE_LAND", &GridLevel::maxDischargeFluxAngle},
    {"OUT-CUR-MAX_LAND", &GridLevel::maxCurrent}, {"OUT-CURMAX-ANGLE_LAND", &GridLevel::maxCurrentAngle},
    {"OUT-MN-MOMENTUM-FLUX_LAND", &GridLevel::maxMomentumFlux}};

// The end-of-run sequence, one console line each (the momentum flux twice).
const std::vector<std::string> kFinishOrder = {
    "OUT-ETA-MAX", "OUT-ETA-MIN", "OUT-TIME-MAX-WAVE", "OUT-TIME-FIRST-WAVE", "OUT-FLOWDEPTHMAX",
    "OUT-CURMAX-ANGLE", "OUT-CURMAX", "OUT-FR2MAX", "OUT-FR2U", "OUT-FR2V", "OUT-CURatFR2max", "OUT-FDatFR2max",
    "OUT-timeatFr2max", "OUT-FD@curmax", "OUT-time@curmax", "OUT-FRMAX", "OUT-FDRAG_MAX", "OUT-M-MAX", "OUT-N-MAX",
    "OUT-MN-DISFLUX-MAX", "OUT-MN-DISFLUX-MAX-ANGLE", "OUT-MN-MOMENTUM-FLUX", "OUT-MN-MOMENTUM-FLUX",
    "OUT-MN-DISFLUX-MAX_LAND", "OUT-MN-DISFLUX-MAX-ANGLE_LAND", "OUT-CUR-MAX_LAND", "OUT-CURMAX-ANGLE_LAND",
    "OUT-MN-MOMENTUM-FLUX_LAND", "OUT-ETA-MIN-DRY-SEA-BORDER", "OUT-FLOWDEPTHMAXLAND"};

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
    for (int j = 1; j <= 2; ++j) {
        for (int i = 1; i <= 3; ++i) {
            const bool sea = name.find("_LAND") != std::string::npos && level.depth[i][j] > 0.0f;
            values.push_back(sea ? 0.0f : (level.*kExtremeFiles.at(name))[i][j]);
        }
    }
    return values;
}

}  // namespace

TEST(Finish, WritesEveryFileOfEveryLevelInOrderAndReleasesTheModel) {
    ScratchFolder folder;
    Simulator simulator(SurferBinary, 2);
    SimulationParameters settings = simulator.sim.Parameters();
    settings.cellFieldFromFile = true;
    settings.cellFieldFile = folder.Write("cells.grd", "DSAA\n3 2\n0 2\n0 1\n0 1\n0.1 0.2 0.3\n0.4 0.5 0.6\n");
    simulator.sim.SetParameters(settings);

    // Level 0: folder given with a trailing separator, gauges and a time history, Rouse numbers
    // K / (maxCurrent + 0.001) of 0.1, 200 (no current), 0.15 / 200, 5, 240, and (1,1) reached
    // its bed (the shoreline's etaMin 0.5 does not count). Level 1: without the separator and
    // without a gauge list, and no current anywhere.
    auto prepare = [](int index, const std::string& dir) {
        GridLevel level = FinishLevel(dir);
        const float current[2][3] = {{0.999f, 0.0005f, 1.999f}, {0.0f, 0.099f, 0.0015f}};
        FillCells(level.maxCurrent, 3, 2, [&](int i, int j) { return index == 0 ? current[j - 1][i - 1] : 0.0f; });
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

    testing::internal::CaptureStdout();
    simulator.sim.Finish();
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(simulator.sim.levels.empty());
    EXPECT_FALSE(simulator.sim.timeSeriesStream.is_open());

    // The console: one line per grid, in the order of the end-of-run sequence, level by level.
    std::string expectedConsole, consoleNames;
    for (const char* level : {"level0/", "level1/"}) {
        for (const std::string& name : kFinishOrder) expectedConsole += folder / level + name + " MM(";
    }
    std::istringstream lines(console);
    for (std::string line; std::getline(lines, line);) consoleNames += line.substr(0, line.find("MM(") + 3);
    EXPECT_EQ(consoleNames, expectedConsole);

    for (int index : {0, 1}) {
        const std::string dir = folder / ("level" + std::to_string(index)) + "/";
        std::set<std::string> names = {"OUT-ROUSE_NUMBER_MINIMUM.grd", "OUT-ROUSE_NUMBER_MINIMUM_LAND.grd"};
        for (const std::string& name : kFinishOrder) names.insert(name + "_bin.grd");
        if (index == 0) names.insert({"OUT-SUMMARY-RESULT.dat", kTimeHistoryFileNames[kHistoryEta]});
        std::set<std::string> written;
        for (const auto& entry : fs::directory_iterator(dir)) written.insert(entry.path().filename().string());
        EXPECT_EQ(written, names) << dir;
        for (const auto& [name, member] : kExtremeFiles) {
            EXPECT_EQ(ReadBinary(dir + name + "_bin.grd").z, ExpectedExtreme(reference[index], name)) << dir << name;
        }
        // Land flow depth: strictly negative depth only (the shoreline cell stays 0).
        const Field& flowDepth = reference[index].maxFlowDepth;
        EXPECT_EQ(ReadBinary(dir + "OUT-FLOWDEPTHMAXLAND_bin.grd").z,
                  (std::vector<float>{0, 0, flowDepth[3][1], flowDepth[1][2], 0, 0}));
    }
    EXPECT_EQ(ReadBinary(folder / "level0/OUT-ETA-MIN-DRY-SEA-BORDER_bin.grd").z,
              (std::vector<float>{1, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(fs::exists("OUT-ROUSE_NUMBER_MINIMUM.grd"));  // never in the current directory
    // Rouse grids: 6 decimals for coordinates, 4 for values, "200" for sea cells of the land grid.
    for (const char* rouse : {"level0/OUT-ROUSE_NUMBER_MINIMUM.grd", "level0/OUT-ROUSE_NUMBER_MINIMUM_LAND.grd",
                              "level1/OUT-ROUSE_NUMBER_MINIMUM.grd"}) {
        EXPECT_EQ(ReadFile(folder / rouse), ReadFile(kGolden + "finish/" + rouse)) << rouse;
    }
    EXPECT_EQ(ReadFile(folder / "level0/OUT-SUMMARY-RESULT.dat"), ReadFile(kSummary));
}

TEST(Finish, WithoutCellFieldAndWithAnUnwritableFolder) {
    ScratchFolder folder;
    Simulator simulator(SurferText);
    simulator.sim.levels.push_back(FinishLevel(folder.Slash()));
    simulator.sim.levels.push_back(FinishLevel("/nonexistent-vestra-output/level/"));
    simulator.sim.levels[1].gaugeFile = kGaugeList;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    simulator.sim.Finish();
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(simulator.sim.levels.empty());
    // Level 0: every grid, no Rouse grid and no summary (no gauge list).
    std::set<std::string> expected;
    for (const std::string& name : kFinishOrder) expected.insert(name + ".grd");
    EXPECT_EQ(folder.Names(), expected);
    // Level 1: one warning per grid file (the two momentum-flux writes included) and one for
    // the summary; the console keeps its lines.
    EXPECT_EQ(CountLines(err), kFinishOrder.size() + 1) << err;
    EXPECT_NE(err.find("/nonexistent-vestra-output/level/OUT-ETA-MAX.grd: " + std::string(std::strerror(ENOENT))),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("/nonexistent-vestra-output/level/OUT-SUMMARY-RESULT.dat"), std::string::npos) << err;
    EXPECT_EQ(CountLines(console), 2 * kFinishOrder.size());
}

TEST(Finish, ShortCellFieldFileFallsBackToTheModelsCellField) {
    ScratchFolder folder;
    Simulator simulator(SurferText);
    SimulationParameters settings = simulator.sim.Parameters();
    settings.cellFieldFromFile = true;
    settings.cellFieldFile = folder.Write("cells.grd", "DSAA\n2 1\n0 1\n0 0\n0.3 0.3\n0.3\n");  // one of two values
    simulator.sim.SetParameters(settings);
    GridLevel level = MakeLevel(2, 1, folder.Slash());
    level.cellField.Fill(0.7f);
    level.maxCurrent.Fill(0.999f);
    level.depth.Fill(-1.0f);
    simulator.sim.levels.push_back(std::move(level));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    simulator.sim.Finish();
    const std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_NE(err.find(settings.cellFieldFile + " supplies 1 of 2 coefficients"), std::string::npos) << err;
    EXPECT_EQ(CountLines(err), 1u) << err;
    // K / (0.999 + 0.001): 0.3 from the file, 0.7 from the model's cell field.
    const std::string grid = ReadFile(folder / "OUT-ROUSE_NUMBER_MINIMUM_LAND.grd");
    EXPECT_NE(grid.find("0.0000  0.7000\n0.3000       0.7000\n\n"), std::string::npos) << grid;
}
