// Results output of a level: the field writer with its masks, ranges and host notice, snapshots
// of derived quantities in every format, the gauge summary and the end-of-run sequence. Values
// are hand-computed; files are read back byte by byte or through the netCDF library.
#include <gtest/gtest.h>
#include <netcdf.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "FieldWriter.h"
#include "GaugeSummary.h"
#include "HostFrameReceiverI.h"
#include "Snapshot.h"
#include "TimeHistory.h"
#include "ZellSimulatorVestra.h"
#include "ZellUtility.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// Every field a level's output reads, allocated with its halo and zeroed.
constexpr Field GridLevel::*kLevelFields[] = {
    &GridLevel::flowDepthAtMaxCurrent, &GridLevel::timeOfMaxCurrent, &GridLevel::maxDischargeFlux,
    &GridLevel::maxFluxN, &GridLevel::maxFluxM, &GridLevel::depth, &GridLevel::fluxMNext, &GridLevel::fluxNNext,
    &GridLevel::totalDepthM, &GridLevel::cellField, &GridLevel::totalDepthN, &GridLevel::rouseNumber,
    &GridLevel::eta, &GridLevel::etaMax, &GridLevel::etaMin, &GridLevel::timeOfMaxWave, &GridLevel::firstWaveArrival,
    &GridLevel::maxCurrentAngle, &GridLevel::maxCurrent, &GridLevel::maxFlowDepth, &GridLevel::maxFroude,
    &GridLevel::maxFroudeSquared, &GridLevel::maxDragForce, &GridLevel::maxDischargeFluxAngle,
    &GridLevel::froudeSquaredU, &GridLevel::froudeSquaredV, &GridLevel::maxMomentumFlux,
    &GridLevel::currentAtMaxFroudeSquared, &GridLevel::flowDepthAtMaxFroudeSquared,
    &GridLevel::timeOfMaxFroudeSquared};

GridLevel MakeLevel(int32_t nx, int32_t ny, std::string folder) {
    GridLevel level;
    level.nx = nx;
    level.ny = ny;
    level.xMin = 0.0;
    level.xMax = nx - 1;
    level.yMin = 0.0;
    level.yMax = ny - 1;
    level.outputFolder = std::move(folder);
    for (Field GridLevel::*member : kLevelFields) {
        (level.*member).Allocate(nx, ny);
        (level.*member).Fill(0.0f);
    }
    return level;
}

// Fills the interior with f(i, j).
template <class F>
void FillCells(Field& field, int32_t nx, int32_t ny, F f) {
    for (int32_t i = 1; i <= nx; ++i) {
        for (int32_t j = 1; j <= ny; ++j) field[i][j] = static_cast<float>(f(i, j));
    }
}

struct BinaryGrid {
    int16_t nx = 0, ny = 0;
    double xMin = 0, xMax = 0, yMin = 0, yMax = 0, zMin = 0, zMax = 0;
    std::vector<float> values;
    bool ok = false;
};

BinaryGrid ReadBinaryGrid(const std::string& path) {
    BinaryGrid grid;
    const std::string bytes = ReadFile(path);
    if (bytes.size() < 56 || bytes.compare(0, 4, "DSBB") != 0) return grid;
    std::memcpy(&grid.nx, bytes.data() + 4, 2);
    std::memcpy(&grid.ny, bytes.data() + 6, 2);
    double doubles[6];
    std::memcpy(doubles, bytes.data() + 8, 48);
    grid.xMin = doubles[0];
    grid.xMax = doubles[1];
    grid.yMin = doubles[2];
    grid.yMax = doubles[3];
    grid.zMin = doubles[4];
    grid.zMax = doubles[5];
    grid.values.resize((bytes.size() - 56) / 4);
    std::memcpy(grid.values.data(), bytes.data() + 56, grid.values.size() * 4);
    grid.ok = grid.values.size() == static_cast<std::size_t>(grid.nx) * static_cast<std::size_t>(grid.ny);
    return grid;
}

// A Surfer text grid read back: the five header lines and every value token ("0" included).
struct TextGrid {
    std::vector<std::string> header;
    std::vector<double> values;
    std::vector<std::string> lines;  // the value lines, empty lines included
};

TextGrid ReadTextGrid(const std::string& path) {
    TextGrid grid;
    std::istringstream text(ReadFile(path));
    std::string line;
    for (int k = 0; k < 5 && std::getline(text, line); ++k) grid.header.push_back(line);
    while (std::getline(text, line)) {
        grid.lines.push_back(line);
        std::istringstream words(line);
        for (double v; words >> v;) grid.values.push_back(v);
    }
    return grid;
}

std::vector<float> NetCdfValues(const std::string& path, std::size_t* records = nullptr) {
    int id = -1, varid = -1, dim = -1;
    std::vector<float> values;
    if (nc_open(path.c_str(), NC_NOWRITE, &id) != NC_NOERR) return values;
    std::size_t length = 0, lon = 0, lat = 0;
    nc_inq_dimid(id, "TIME", &dim);
    nc_inq_dimlen(id, dim, &length);
    nc_inq_dimid(id, "LON", &dim);
    nc_inq_dimlen(id, dim, &lon);
    nc_inq_dimid(id, "LAT", &dim);
    nc_inq_dimlen(id, dim, &lat);
    values.resize(length * lon * lat);
    nc_inq_varid(id, "HA", &varid);
    nc_get_var_float(id, varid, values.data());
    if (records != nullptr) *records = length;
    nc_close(id);
    return values;
}

std::vector<double> NetCdfTimes(const std::string& path) {
    int id = -1, varid = -1, dim = -1;
    std::vector<double> times;
    if (nc_open(path.c_str(), NC_NOWRITE, &id) != NC_NOERR) return times;
    std::size_t length = 0;
    nc_inq_dimid(id, "TIME", &dim);
    nc_inq_dimlen(id, dim, &length);
    times.resize(length);
    nc_inq_varid(id, "TIME", &varid);
    nc_get_var_double(id, varid, times.data());
    nc_close(id);
    return times;
}

class Simulator {
public:
    explicit Simulator(int32_t format, int32_t threads = 0) : sim(&grids, &sources) {
        SimulationParameters settings;
        settings.outputFormat = format;
        settings.threadCount = threads;
        sim.SetParameters(settings);
    }
    void Set(const SimulationParameters& settings) { sim.SetParameters(settings); }
    std::vector<HostGridRecord> grids;
    std::vector<SourceEvent> sources;
    ZellSimulatorVestra sim;
};

class RecordingReceiver : public HostFrameReceiverI {
public:
    void FileWrittenNotice(int32_t levelIndex, std::unique_ptr<std::vector<float>> values, int32_t reserved) override {
        levels.push_back(levelIndex);
        frames.push_back(*values);
        reservedValues.push_back(reserved);
    }
    std::vector<int32_t> levels, reservedValues;
    std::vector<std::vector<float>> frames;
};

void WriteKind(const ZellSimulatorVestra& sim, const GridLevel& level, const Field& field, int32_t kind,
               double time = 0.0, int32_t record = 0, int32_t levelIndex = 0) {
    WriteFieldGrid(sim, field.cview(), level.depth.cview(), time, level.xMin, level.xMax, level.yMin, level.yMax,
                   level.nx, level.ny, kind, level.outputFolder, record, levelIndex);
}

// Depth of the mask level: column 1 sea (5 m), column 2 shoreline (0), column 3 land (-2 m),
// column 4 sea (5 m); three rows.
GridLevel MaskLevel(const std::string& folder) {
    GridLevel level = MakeLevel(4, 3, folder);
    FillCells(level.depth, 4, 3, [](int i, int) { return i == 1 || i == 4 ? 5.0 : (i == 2 ? 0.0 : -2.0); });
    return level;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Field writer

TEST(FieldWriter, LandAndDrySeaBorderMasksAndTheirRanges) {
    ScratchFolder folder;
    GridLevel level = MaskLevel(folder.Slash());
    Field values;
    values.Allocate(4, 3);
    values.Fill(-77.0f);  // halo values must never reach the file
    FillCells(values, 4, 3, [](int i, int j) { return 10 * i + j; });
    std::vector<float> flat(12);
    double zMin = 0, zMax = 0;

    for (int32_t kind = kMaxDischargeFluxLand; kind <= kMaxMomentumFluxLand; ++kind) {
        FlattenField(values.cview(), level.depth.cview(), 4, 3, kind, 2, flat.data(), zMin, zMax);
        // Land where depth <= 0: the shoreline (column 2) and the land column 3.
        const std::vector<float> expected = {0, 21, 31, 0, 0, 22, 32, 0, 0, 23, 33, 0};
        EXPECT_EQ(flat, expected) << "kind " << kind;
        EXPECT_EQ(zMin, 0.0) << "the zeros of the sea cells belong to the range";
        EXPECT_EQ(zMax, 33.0);
    }
    // Kind 9 is masked by its caller: the writer passes the field unchanged.
    FlattenField(values.cview(), level.depth.cview(), 4, 3, kMaxFlowDepthLand, 1, flat.data(), zMin, zMax);
    EXPECT_EQ(flat, (std::vector<float>{11, 21, 31, 41, 12, 22, 32, 42, 13, 23, 33, 43}));
    EXPECT_EQ(zMin, 11.0);
    EXPECT_EQ(zMax, 43.0);

    // Dry sea border: depth >= 0 and |depth + etaMin| <= 0.001.
    FillCells(level.etaMin, 4, 3, [](int i, int j) {
        if (i == 1) return j == 1 ? -4.9995 : -4.99;  // reached the bed within 0.5 mm / missed it by 1 cm
        if (i == 2) return j == 3 ? -0.5 : 0.0;       // shoreline: untouched (0) counts as dry bed
        if (i == 3) return 2.0;                       // land: never marked
        return j == 2 ? -5.001 : -3.0;                // 1 mm below the bed still counts
    });
    FlattenField(level.etaMin.cview(), level.depth.cview(), 4, 3, kEtaMinDrySeaBorder, 2, flat.data(), zMin, zMax);
    EXPECT_EQ(flat, (std::vector<float>{1, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(zMin, 0.0);
    EXPECT_EQ(zMax, 1.0);

    // A level of sea only: the land files are zeros with range (0, 0).
    GridLevel sea = MakeLevel(4, 3, folder.Slash());
    sea.depth.Fill(12.0f);
    FlattenField(values.cview(), sea.depth.cview(), 4, 3, kMaxCurrentLand, 2, flat.data(), zMin, zMax);
    EXPECT_EQ(flat, std::vector<float>(12, 0.0f));
    EXPECT_EQ(zMin, 0.0);
    EXPECT_EQ(zMax, 0.0);

    // Through the writer: the binary header carries the masked range, the payload the mask.
    Simulator binary(SurferBinary);
    testing::internal::CaptureStdout();
    WriteKind(binary.sim, level, values, kMaxCurrentAngleLand);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              folder / "OUT-CURMAX-ANGLE_LAND" + " MM(33.000000, 0.000000)\n");
    const BinaryGrid grid = ReadBinaryGrid(folder / "OUT-CURMAX-ANGLE_LAND_bin.grd");
    ASSERT_TRUE(grid.ok);
    EXPECT_EQ(grid.values, (std::vector<float>{0, 21, 31, 0, 0, 22, 32, 0, 0, 23, 33, 0}));
    EXPECT_EQ(grid.zMin, 0.0);
    EXPECT_EQ(grid.zMax, 33.0);
    EXPECT_EQ(grid.xMax, 3.0);
    EXPECT_EQ(grid.yMax, 2.0);
}

TEST(FieldWriter, OneAndTwoThreadsGiveIdenticalBuffersRangesAndFiles) {
    const int32_t nx = 61, ny = 37;
    ScratchFolder folder;
    GridLevel level = MakeLevel(nx, ny, folder.Slash());
    std::mt19937 random(11);
    std::uniform_real_distribution<float> value(-50.0f, 80.0f);
    FillCells(level.maxCurrent, nx, ny, [&](int, int) { return value(random); });
    FillCells(level.depth, nx, ny, [&](int, int) { return value(random); });
    level.maxCurrent[5][7] = NAN;  // skipped by the range, copied to the buffer

    double serialMin = 1e300, serialMax = -1e300;
    for (int32_t j = 1; j <= ny; ++j) {
        for (int32_t i = 1; i <= nx; ++i) {
            if (level.depth[i][j] > 0.0f || std::isnan(level.maxCurrent[i][j])) continue;
            serialMin = std::min<double>(serialMin, level.maxCurrent[i][j]);
            serialMax = std::max<double>(serialMax, level.maxCurrent[i][j]);
        }
    }
    serialMin = std::min(serialMin, 0.0);  // masked sea cells contribute zeros
    serialMax = std::max(serialMax, 0.0);

    std::vector<float> one(nx * ny, -1.0f), two(nx * ny, -2.0f);
    double min1 = 0, max1 = 0, min2 = 0, max2 = 0;
    FlattenField(level.maxCurrent.cview(), level.depth.cview(), nx, ny, kMaxCurrentLand, 1, one.data(), min1, max1);
    FlattenField(level.maxCurrent.cview(), level.depth.cview(), nx, ny, kMaxCurrentLand, 2, two.data(), min2, max2);
    EXPECT_EQ(std::memcmp(one.data(), two.data(), one.size() * sizeof(float)), 0);
    std::size_t wrong = 0;  // every cell at (j - 1) * nx + (i - 1), masked where depth > 0
    for (int32_t j = 1; j <= ny; ++j) {
        for (int32_t i = 1; i <= nx; ++i) {
            const float expected = level.depth[i][j] <= 0.0f ? level.maxCurrent[i][j] : 0.0f;
            const float actual = one[(j - 1) * nx + (i - 1)];
            if (std::memcmp(&expected, &actual, sizeof(float)) != 0) ++wrong;
        }
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(min1, serialMin);
    EXPECT_EQ(max1, serialMax);
    EXPECT_EQ(min2, serialMin);
    EXPECT_EQ(max2, serialMax);

    fs::create_directories(folder / "t1");
    fs::create_directories(folder / "t2");
    testing::internal::CaptureStdout();
    for (int threads : {1, 2}) {
        Simulator text(SurferText, threads);
        level.outputFolder = folder / (threads == 1 ? "t1" : "t2");
        WriteKind(text.sim, level, level.maxCurrent, kMaxCurrentLand);
        WriteKind(text.sim, level, level.maxCurrent, kMaxCurrent);
    }
    testing::internal::GetCapturedStdout();
    for (const char* name : {"/OUT-CUR-MAX_LAND.grd", "/OUT-CURMAX.grd"}) {
        const std::string a = ReadFile(folder / "t1" + name), b = ReadFile(folder / "t2" + name);
        EXPECT_GT(a.size(), 1000u);
        EXPECT_EQ(a, b) << name;
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
    EXPECT_EQ(receiver.levels, (std::vector<int32_t>{2, 2}));
    EXPECT_EQ(receiver.reservedValues, (std::vector<int32_t>{0, 0}));
    ASSERT_EQ(receiver.frames.size(), 2u);
    EXPECT_EQ(receiver.frames[0], expected);
    const TextGrid grid = ReadTextGrid(folder / "t000600.grd");
    EXPECT_EQ(grid.header[4], "-0.7500000  0.2500000");
    EXPECT_EQ(grid.values, std::vector<double>(expected.begin(), expected.end()));
    EXPECT_TRUE(fs::exists(folder / "t1000000.grd"));

    // netCDF: one series, records as numbered by the caller, and no notice to the host.
    Simulator netcdf(NetCdf);
    netcdf.sim.SetHostContext(&receiver);
    WriteKind(netcdf.sim, level, level.eta, kWaterLevelFrame, 60.0, 0, 2);
    WriteKind(netcdf.sim, level, level.eta, kWaterLevelFrame, 120.0, 1, 2);
    EXPECT_EQ(receiver.frames.size(), 2u);
    EXPECT_EQ(NetCdfTimes(folder / "NETCDF_H.nc"), (std::vector<double>{60.0, 120.0}));
    std::vector<float> twice = expected;
    twice.insert(twice.end(), expected.begin(), expected.end());
    EXPECT_EQ(NetCdfValues(folder / "NETCDF_H.nc"), twice);

    // Without a receiver the frame is written all the same.
    Simulator binary(SurferBinary);
    testing::internal::CaptureStdout();
    WriteKind(binary.sim, level, level.eta, kWaterLevelFrame, 59.9);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ReadBinaryGrid(folder / "t000059_bin.grd").values, expected);

    EXPECT_EQ(TimedName("", 600.0), "t000600");
    EXPECT_EQ(TimedName("momentum", 1234567.9), "momentumt1234567");
    EXPECT_EQ(TimedName("d", 0.0), "dt000000");
}

TEST(FieldWriter, ExtremeNetCdfFilesEmptyGridsAndBadRequests) {
    ScratchFolder folder;
    GridLevel level = MakeLevel(3, 2, folder.Slash());
    FillCells(level.etaMax, 3, 2, [](int i, int j) { return i * j; });
    Simulator netcdf(NetCdf);
    testing::internal::CaptureStdout();
    WriteKind(netcdf.sim, level, level.etaMax, kEtaMax, 0.0, 7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the netCDF writer prints nothing
    std::size_t records = 0;
    EXPECT_EQ(NetCdfValues(folder / "OUT-ETA-MAX.nc", &records), (std::vector<float>{1, 2, 3, 2, 4, 6}));
    EXPECT_EQ(records, 1u);
    EXPECT_EQ(NetCdfTimes(folder / "OUT-ETA-MAX.nc"), std::vector<double>{0.0});

    // An empty grid has range (0, 0), not the starting sentinels.
    GridLevel empty = MakeLevel(0, 0, folder.Slash());
    Simulator text(SurferText);
    testing::internal::CaptureStdout();
    WriteKind(text.sim, empty, empty.etaMin, kEtaMin);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), folder / "OUT-ETA-MIN" + " MM(0.000000, 0.000000)\n");

    // Unknown kind and unallocated fields: a warning, no file, no crash.
    Field unallocated;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    WriteKind(text.sim, level, level.etaMax, 30);
    WriteKind(text.sim, level, level.etaMax, -1);
    WriteKind(text.sim, level, unallocated, kMaxCurrent);
    GridLevel noDepth = MakeLevel(3, 2, folder.Slash());
    noDepth.depth.Release();
    WriteKind(text.sim, noDepth, noDepth.etaMin, kEtaMinDrySeaBorder);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 4) << err;
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
//  (2,1) DM = DN = 0.0005, M = N = 0.0001: Fr2 0.08/0.0049 in text only (below 1 mm elsewhere)
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

void Snap(const SimulationParameters& settings, const GridLevel& level, int32_t mode, double time, int32_t record) {
    WriteSnapshot(settings, level.rouseNumber.cview(), level.fluxMNext.cview(), level.fluxNNext.cview(),
                  level.totalDepthM.cview(), level.totalDepthN.cview(), time, level.xMin, level.xMax, level.yMin,
                  level.yMax, level.nx, level.ny, mode, level.outputFolder, record);
}

SimulationParameters Settings(int32_t format, bool rouse) {
    SimulationParameters settings;
    settings.outputFormat = format;
    settings.cellFieldFromFile = rouse;
    return settings;
}

const double kDegrees = 180.0 / 3.14159265358979323846;

void ExpectNear(const std::vector<double>& actual, const std::vector<double>& expected, const std::string& what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (std::size_t k = 0; k < actual.size(); ++k) {
        EXPECT_NEAR(actual[k], expected[k], 2e-6 * std::max(1.0, std::fabs(expected[k]))) << what << " value " << k;
    }
}

}  // namespace

TEST(Snapshot, TextFilesValuesRangesAndLayout) {
    ScratchFolder folder;
    const GridLevel level = SnapshotLevel(folder.Slash());
    for (int mode = 0; mode < 3; ++mode) Snap(Settings(SurferText, true), level, mode, 600.0, 0);
    EXPECT_EQ(folder.Names(),
              (std::set<std::string>{"dt000600.grd", "rot000600.grd", "momentumt000600.grd", "mt000600.grd",
                                     "nt000600.grd", "ut000600.grd", "vt000600.grd", "curt000600.grd",
                                     "angt000600.grd"}));
    const double fr2Wet = 6.25 / 19.6, fr2Shallow = 0.08 / (0.0005 * 9.8), fr2Mid = 0.08 / (0.005 * 9.8);
    TextGrid d = ReadTextGrid(folder / "dt000600.grd");
    EXPECT_EQ(d.header[0], "DSAA");
    EXPECT_EQ(d.header[1], "3   2");
    EXPECT_EQ(d.header[2], "0.0000000   2.0000000");
    EXPECT_EQ(d.header[3], "0.0000000   1.0000000");
    // The shallow cell is written (text threshold 1e-5 m) but left out of the range (1 mm).
    ExpectNear(d.values, {fr2Wet, fr2Shallow, 0, 5 / 9.8, 0.25 / 9.8, fr2Mid}, "Fr2");
    EXPECT_EQ(d.header[4].substr(0, 11), "0.0000000  ");
    EXPECT_NEAR(std::stod(d.header[4].substr(11)), fr2Mid, 1e-6);
    // Column layout, width 15: the first value bare, the others right-aligned; empty line per row.
    ASSERT_EQ(d.lines.size(), 4u);
    EXPECT_EQ(d.lines[0].size(), 9u + 15 + 15);
    EXPECT_EQ(d.lines[1], "");
    EXPECT_EQ(d.lines[3], "");

    const TextGrid momentum = ReadTextGrid(folder / "momentumt000600.grd");
    ExpectNear(momentum.values, {std::sqrt(84.25), 0, 0, std::sqrt(17.0), 0.25, 0}, "momentum");
    EXPECT_EQ(momentum.header[4].substr(0, 11), "0.0000000  ");
    EXPECT_NEAR(std::stod(momentum.header[4].substr(11)), std::sqrt(84.25), 1e-6);
    // Dry cells are the bare text "0", right-aligned in 13 characters.
    EXPECT_EQ(momentum.lines[0].substr(9), std::string(12, ' ') + "0" + std::string(12, ' ') + "0");
    EXPECT_EQ(momentum.lines[2].substr(momentum.lines[2].size() - 13), std::string(12, ' ') + "0");

    const TextGrid rouse = ReadTextGrid(folder / "rot000600.grd");
    ExpectNear(rouse.values, {1.5, 2, 2.5, 2.5, 3, 3.5}, "Rouse");
    EXPECT_EQ(rouse.header[4], "0.0000000  3.5000000");  // the range starts at 0

    const TextGrid m = ReadTextGrid(folder / "mt000600.grd");
    ExpectNear(m.values, {3, 0.0001, 0.00005, -1, 0.5, 0.001}, "M");
    EXPECT_EQ(m.header[4], "-1.0000000  3.0000000");
    EXPECT_EQ(m.lines[0], "3.0000000    0.0001000    0.0000500");

    const TextGrid u = ReadTextGrid(folder / "ut000600.grd");
    ExpectNear(u.values, {1.5, 0.2, 0, -1, 0.5, 0.2}, "u");
    EXPECT_EQ(u.header[4], "-1.0000000  1.5000000");
    const TextGrid cur = ReadTextGrid(folder / "curt000600.grd");
    ExpectNear(cur.values, {2.5, std::sqrt(0.08), 0, std::sqrt(5.0), 0.5, std::sqrt(0.08)}, "speed");
    const TextGrid ang = ReadTextGrid(folder / "angt000600.grd");
    const double dir11 = std::atan(-0.75) * kDegrees, dir12 = std::atan(-0.5) * kDegrees;
    ExpectNear(ang.values, {dir11, 45.0, 0, dir12, 0, 45.0}, "direction");
    EXPECT_LT(dir11, 0.0);  // negative M with positive N, or the reverse: a negative angle
    EXPECT_EQ(ang.header[4].substr(ang.header[4].size() - 12), "  45.0000000");
    EXPECT_NEAR(std::stod(ang.header[4]), dir11, 1e-5);
}

TEST(Snapshot, BinaryFilesCutSmallValuesAndCarryTheTextRanges) {
    ScratchFolder folder;
    const GridLevel level = SnapshotLevel(folder.Slash());
    for (int mode = 0; mode < 3; ++mode) Snap(Settings(SurferBinary, true), level, mode, 600.0, 0);
    // Speed and direction have no binary files.
    EXPECT_EQ(folder.Names(),
              (std::set<std::string>{"dt000600_bin.grd", "Rot000600_bin.grd", "Momentumt000600_bin.grd",
                                     "mt000600_bin.grd", "nt000600_bin.grd", "ut000600_bin.grd",
                                     "vt000600_bin.grd"}));
    const BinaryGrid d = ReadBinaryGrid(folder / "dt000600_bin.grd");
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.nx, 3);
    EXPECT_EQ(d.ny, 2);
    EXPECT_EQ(d.values[1], 0.0f);  // the shallow cell: below 1 mm here
    EXPECT_NEAR(d.values[0], 6.25 / 19.6, 1e-6);
    EXPECT_EQ(d.zMin, 0.0);
    EXPECT_NEAR(d.zMax, 0.08 / (0.005 * 9.8), 1e-6);
    const BinaryGrid m = ReadBinaryGrid(folder / "mt000600_bin.grd");
    // Magnitudes below 1e-4 become 0: 5e-5, and 0.0001f too (it lies just below 1e-4).
    EXPECT_EQ(m.values, (std::vector<float>{3, 0, 0, -1, 0.5f, 0.001f}));
    EXPECT_EQ(m.zMin, -1.0);
    EXPECT_EQ(m.zMax, 3.0);
    const BinaryGrid momentum = ReadBinaryGrid(folder / "Momentumt000600_bin.grd");
    EXPECT_EQ(momentum.values[2], 0.0f);
    EXPECT_EQ(momentum.values[5], 0.0f);
    EXPECT_NEAR(momentum.values[3], std::sqrt(17.0), 1e-5);
    const BinaryGrid v = ReadBinaryGrid(folder / "vt000600_bin.grd");
    EXPECT_EQ(v.values, (std::vector<float>{-2, 0, 0, 2, 0, 0.001f / 0.005f}));
    EXPECT_EQ(v.zMin, -2.0);
    EXPECT_EQ(v.zMax, 2.0);
}

TEST(Snapshot, NetCdfSeriesAppendAndGridFilesOverwrite) {
    ScratchFolder folder;
    const GridLevel level = SnapshotLevel(folder.Slash());
    for (int record = 0; record < 2; ++record) {  // the same model time twice
        for (int mode = 0; mode < 3; ++mode) Snap(Settings(NetCdf, true), level, mode, 600.0, record);
    }
    EXPECT_EQ(folder.Names(),
              (std::set<std::string>{"NETCDF_D.nc", "NETCDF_Ro.nc", "NETCDF_Momentum.nc", "NETCDF_M.nc", "NETCDF_N.nc",
                                     "NETCDF_U.nc", "NETCDF_V.nc", "NETCDF_CUR.nc", "NETCDF_ANG.nc"}));
    EXPECT_EQ(NetCdfTimes(folder / "NETCDF_D.nc"), (std::vector<double>{600.0, 600.0}));
    const std::vector<float> d = NetCdfValues(folder / "NETCDF_D.nc");
    ASSERT_EQ(d.size(), 12u);
    EXPECT_EQ(d[1], 0.0f);  // the shallow cell
    const std::vector<float> m = NetCdfValues(folder / "NETCDF_M.nc");
    EXPECT_EQ(m[2], 0.00005f);  // no magnitude cut in netCDF
    const std::vector<float> ang = NetCdfValues(folder / "NETCDF_ANG.nc");
    EXPECT_NEAR(ang[3], std::atan(-0.5) * kDegrees, 1e-4);
    EXPECT_EQ(ang[4], 0.0f);

    // Grid files of the same time are replaced, not duplicated.
    ScratchFolder text;
    GridLevel copy = SnapshotLevel(text.Slash());
    Snap(Settings(EsriAscii, false), copy, kFluxes, 600.0, 0);
    const std::string first = ReadFile(text / "mt000600.grd");
    Snap(Settings(EsriAscii, false), copy, kFluxes, 600.0, 1);
    EXPECT_EQ(ReadFile(text / "mt000600.grd"), first);
    EXPECT_EQ(text.Names(), (std::set<std::string>{"mt000600.grd", "nt000600.grd"}));
}

TEST(Snapshot, DryLevelNoRouseWithoutCellFieldAndWideValues) {
    ScratchFolder folder;
    GridLevel dry = MakeLevel(3, 2, folder.Slash());
    for (int32_t format : {SurferText, SurferBinary, NetCdf}) {
        Snap(Settings(format, false), dry, kFlowIndicators, 1000000.0, 0);
    }
    Snap(Settings(SurferText, false), dry, kVelocities, 1000000.0, 0);
    EXPECT_EQ(folder.Names(),
              (std::set<std::string>{"dt1000000.grd", "momentumt1000000.grd", "dt1000000_bin.grd",
                                     "Momentumt1000000_bin.grd", "NETCDF_D.nc", "NETCDF_Momentum.nc",
                                     "ut1000000.grd", "vt1000000.grd", "curt1000000.grd", "angt1000000.grd"}));
    const std::string header = "DSAA\n3   2\n0.0000000   2.0000000\n0.0000000   1.0000000\n0.0000000  0.0000000\n";
    const std::string zeros15 = "0.0000000      0.0000000      0.0000000\n\n";
    EXPECT_EQ(ReadFile(folder / "dt1000000.grd"), header + zeros15 + zeros15);
    EXPECT_EQ(ReadFile(folder / "ut1000000.grd"), header + zeros15 + zeros15);
    const std::string pad12(12, ' ');
    const std::string dryRow = std::string("0").append(pad12).append("0").append(pad12).append("0\n\n");
    EXPECT_EQ(ReadFile(folder / "momentumt1000000.grd"), header + dryRow + dryRow);

    // A momentum flux wider than its 13-character column is still set off by one space.
    ScratchFolder wide;
    GridLevel energetic = MakeLevel(2, 2, wide.Slash());
    FillCells(energetic.totalDepthM, 2, 2, [](int, int) { return 0.02; });
    FillCells(energetic.totalDepthN, 2, 2, [](int, int) { return 0.02; });
    FillCells(energetic.fluxMNext, 2, 2, [](int i, int) { return i == 1 ? 0.01 : 1.0e4; });
    Snap(Settings(SurferText, false), energetic, kFlowIndicators, 0.0, 0);
    const TextGrid grid = ReadTextGrid(wide / "momentumt000000.grd");
    ASSERT_FALSE(grid.lines.empty());
    EXPECT_EQ(std::count(grid.lines[0].begin(), grid.lines[0].end(), ' '), 1) << grid.lines[0];
    ASSERT_EQ(grid.values.size(), 4u);
    EXPECT_NEAR(grid.values[1], 5.0e9, 5.0e9 * 1e-6);
}

TEST(Snapshot, CellFormulas) {
    using snapshot::Cell;
    const Cell wet{3, -4, 2, 2};
    EXPECT_FLOAT_EQ(snapshot::FroudeSquared(wet, 0.001), 6.25f / 19.6f);
    EXPECT_FLOAT_EQ(snapshot::MomentumFlux(wet), std::sqrt(84.25f));
    EXPECT_FLOAT_EQ(snapshot::CurrentSpeed(wet, 0.001), 2.5f);
    EXPECT_NEAR(snapshot::CurrentDirection(wet, 0.0001), -36.869897645844, 1e-5);
    EXPECT_NEAR(snapshot::CurrentDirection(Cell{-3, -4, 2, 2}, 0.0001), 36.869897645844, 1e-5);
    // Thresholds are strict and taken on each depth separately.
    EXPECT_EQ(snapshot::VelocityU(Cell{1, 1, 0.0009f, 1}, 0.001), 0.0f);
    EXPECT_EQ(snapshot::VelocityU(Cell{1, 1, 0.0011f, 1}, 0.001), 1.0f / 0.0011f);
    EXPECT_EQ(snapshot::VelocityV(Cell{1, 1, 1, 0.0009f}, 0.001), 0.0f);
    EXPECT_EQ(snapshot::FroudeSquared(Cell{1, 1, 1, 0.0009f}, 0.001), 0.0f);
    EXPECT_FALSE(snapshot::HasMomentumFlux(Cell{1, 1, -0.5f, 0.01f}));
    EXPECT_TRUE(snapshot::HasMomentumFlux(Cell{1, 1, -0.5f, 0.0101f}));  // magnitudes: negative depths count
    EXPECT_EQ(snapshot::CurrentDirection(Cell{1, 0.00005f, 1, 1}, 0.0001), 0.0);
    EXPECT_NE(snapshot::CurrentDirection(Cell{1, 0.00005f, 1, 1}, 0.00001), 0.0);
}

// ---------------------------------------------------------------------------------------------
// Gauge summary and the end of a run

namespace {

const char* kSummaryHeader =
    "Name of gauge pt.\tDepth of gauge pt.(m)\tXCoord\tYCoord\tArrival time of initial wave (min)\t"
    "Arrival time of max.wave (min)\tMaximum (+)ve amp.(m)\tMaximum (-)ve amp.(m)\n";

// Three gauges: G1 rises after 3 min and holds its maximum twice, G2 stays negative, "A_B"
// carries a "_" in its name.
// The last line is an incomplete row and must be ignored (it would raise G1's maximum).
const char* kEtaHistory =
    "Time G1_12.500 G2_3.250 A_B_7.000 \n"
    "0.00000        0.0000     0.0000     0.0000\n"
    "1.50000        0.0000    -0.1000     0.0000\n"
    "3.00000        0.5000    -0.2500     0.0000\n"
    "4.50000        0.7500    -0.0500     0.0000\n"
    "6.00000        0.7500    -0.3000     0.00001\n"
    "7.50000       -0.1250    -0.2000     0.0000\n"
    "9.00000        0.9000\n";
const char* kGaugeList = "G1 12.3456789 1234567\nG2 -5 0.5\nA_B 100 200\n";
const std::string kSummaryRows =
    "G1\t12.500\t12.3457\t1.23457e+06\t3\t4.5\t0.75\t-0.125\n"
    "G2\t3.250\t-5\t0.5\t1.5\t0\t0\t-0.3\n"
    "A\tB_7.000\t100\t200\t6\t6\t1e-05\t0\n";

}  // namespace

TEST(GaugeSummary, ResultsPerGaugeAndStatuses) {
    ScratchFolder folder;
    WriteFile(folder / "eta.dat", kEtaHistory);
    WriteFile(folder / "gauges.txt", kGaugeList);
    EXPECT_EQ(WriteGaugeSummary(folder / "gauges.txt", folder / "eta.dat", folder / "summary.dat"), 0);
    EXPECT_EQ(ReadFile(folder / "summary.dat"), kSummaryHeader + kSummaryRows);

    // No gauge list: nothing written, status 0, no message.
    testing::internal::CaptureStderr();
    EXPECT_EQ(WriteGaugeSummary("", folder / "eta.dat", folder / "none.dat"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(fs::exists(folder / "none.dat"));

    // -2 without a history, -3 without a gauge list or when the summary cannot be created;
    // each failure is one warning line.
    testing::internal::CaptureStderr();
    EXPECT_EQ(WriteGaugeSummary(folder / "gauges.txt", folder / "missing.dat", folder / "s2.dat"), -2);
    EXPECT_EQ(WriteGaugeSummary(folder / "missing.txt", folder / "eta.dat", folder / "s3.dat"), -3);
    EXPECT_EQ(WriteGaugeSummary(folder / "gauges.txt", folder / "eta.dat", "/nonexistent-vestra/s.dat"), -3);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;
    EXPECT_NE(err.find(folder / "missing.dat"), std::string::npos);
    EXPECT_NE(err.find(folder / "missing.txt"), std::string::npos);
    EXPECT_NE(err.find("/nonexistent-vestra/s.dat"), std::string::npos);
    EXPECT_FALSE(fs::exists(folder / "s2.dat"));
    EXPECT_FALSE(fs::exists(folder / "s3.dat"));

    // A history without a header line (no gauges were placed): a header-only summary.
    WriteFile(folder / "blank.dat", "\n\n");
    EXPECT_EQ(WriteGaugeSummary(folder / "gauges.txt", folder / "blank.dat", folder / "blank-summary.dat"), 0);
    EXPECT_EQ(ReadFile(folder / "blank-summary.dat"), kSummaryHeader);
}

namespace {

// Each extreme field of a Finish level carries its own code, so that every file can be traced
// back to the field it was written from.
std::map<std::string, Field GridLevel::*> ExtremeFiles() {
    return {
        {"OUT-ETA-MAX", &GridLevel::etaMax},
        {"OUT-ETA-MIN", &GridLevel::etaMin},
        {"OUT-TIME-MAX-WAVE", &GridLevel::timeOfMaxWave},
        {"OUT-TIME-FIRST-WAVE", &GridLevel::firstWaveArrival},
        {"OUT-FLOWDEPTHMAX", &GridLevel::maxFlowDepth},
        {"OUT-CURMAX-ANGLE", &GridLevel::maxCurrentAngle},
        {"OUT-CURMAX", &GridLevel::maxCurrent},
        {"OUT-FR2MAX", &GridLevel::maxFroudeSquared},
        {"OUT-CURatFR2max", &GridLevel::currentAtMaxFroudeSquared},
        {"OUT-FDatFR2max", &GridLevel::flowDepthAtMaxFroudeSquared},
        {"OUT-timeatFr2max", &GridLevel::timeOfMaxFroudeSquared},
        {"OUT-FD@curmax", &GridLevel::flowDepthAtMaxCurrent},
        {"OUT-time@curmax", &GridLevel::timeOfMaxCurrent},
        {"OUT-FR2U", &GridLevel::froudeSquaredU},
        {"OUT-FR2V", &GridLevel::froudeSquaredV},
        {"OUT-FRMAX", &GridLevel::maxFroude},
        {"OUT-FDRAG_MAX", &GridLevel::maxDragForce},
        {"OUT-M-MAX", &GridLevel::maxFluxM},
        {"OUT-N-MAX", &GridLevel::maxFluxN},
        {"OUT-MN-DISFLUX-MAX", &GridLevel::maxDischargeFlux},
        {"OUT-MN-DISFLUX-MAX-ANGLE", &GridLevel::maxDischargeFluxAngle},
        {"OUT-MN-MOMENTUM-FLUX", &GridLevel::maxMomentumFlux},
    };
}
std::map<std::string, Field GridLevel::*> LandFiles() {
    return {
        {"OUT-MN-DISFLUX-MAX_LAND", &GridLevel::maxDischargeFlux},
        {"OUT-MN-DISFLUX-MAX-ANGLE_LAND", &GridLevel::maxDischargeFluxAngle},
        {"OUT-CUR-MAX_LAND", &GridLevel::maxCurrent},
        {"OUT-CURMAX-ANGLE_LAND", &GridLevel::maxCurrentAngle},
        {"OUT-MN-MOMENTUM-FLUX_LAND", &GridLevel::maxMomentumFlux},
    };
}

// Depth rows: 5, 0, -2 (south) and -1, 3, 4 (north); every field coded 100 * code + 10 i + j.
GridLevel FinishLevel(const std::string& folder) {
    GridLevel level = MakeLevel(3, 2, folder);
    const float depth[2][3] = {{5, 0, -2}, {-1, 3, 4}};
    FillCells(level.depth, 3, 2, [&](int i, int j) { return depth[j - 1][i - 1]; });
    int code = 1;
    for (const auto& [name, member] : ExtremeFiles()) {
        FillCells(level.*member, 3, 2, [&](int i, int j) { return 100 * code + 10 * i + j; });
        ++code;
    }
    return level;
}

const std::vector<std::string> kFinishOrder = {
    "OUT-ETA-MAX", "OUT-ETA-MIN", "OUT-TIME-MAX-WAVE", "OUT-TIME-FIRST-WAVE", "OUT-FLOWDEPTHMAX",
    "OUT-CURMAX-ANGLE", "OUT-CURMAX", "OUT-FR2MAX", "OUT-FR2U", "OUT-FR2V", "OUT-CURatFR2max", "OUT-FDatFR2max",
    "OUT-timeatFr2max", "OUT-FD@curmax", "OUT-time@curmax", "OUT-FRMAX", "OUT-FDRAG_MAX", "OUT-M-MAX", "OUT-N-MAX",
    "OUT-MN-DISFLUX-MAX", "OUT-MN-DISFLUX-MAX-ANGLE", "OUT-MN-MOMENTUM-FLUX", "OUT-MN-MOMENTUM-FLUX",
    "OUT-MN-DISFLUX-MAX_LAND", "OUT-MN-DISFLUX-MAX-ANGLE_LAND", "OUT-CUR-MAX_LAND", "OUT-CURMAX-ANGLE_LAND",
    "OUT-MN-MOMENTUM-FLUX_LAND", "OUT-ETA-MIN-DRY-SEA-BORDER", "OUT-FLOWDEPTHMAXLAND"};

}  // namespace

TEST(Finish, WritesEveryFileOfEveryLevelInOrderAndReleasesTheModel) {
    ScratchFolder folder;
    fs::create_directories(folder / "level0");
    fs::create_directories(folder / "level1");
    Simulator simulator(SurferBinary, 2);
    SimulationParameters settings = simulator.sim.Parameters();
    settings.cellFieldFromFile = true;
    settings.cellFieldFile = folder / "cells.grd";
    simulator.Set(settings);
    WriteFile(settings.cellFieldFile, "DSAA\n3 2\n0 2\n0 1\n0 1\n0.1 0.2 0.3\n0.4 0.5 0.6\n");

    // Level 0: folder given with a trailing separator, gauges and a time history; level 1:
    // without the separator and without a gauge list.
    simulator.sim.levels.push_back(FinishLevel(folder / "level0/"));
    simulator.sim.levels.push_back(FinishLevel(folder / "level1"));
    GridLevel& first = simulator.sim.levels[0];
    first.gaugeFile = folder / "gauges.txt";
    first.gaugeColumns = {1, 2, 3};
    first.gaugeRows = {1, 1, 2};
    first.gaugeCount = 3;
    first.outputCounters[0] = 17;
    WriteFile(first.gaugeFile, kGaugeList);
    WriteFile(folder / "level0" + "/" + kTimeHistoryFileNames[kHistoryEta], kEtaHistory);
    // Rouse numbers K / (maxCurrent + 0.001): 0.1, 200 (no current), 0.15 / 200, 5, 240.
    const float current[2][3] = {{0.999f, 0.0005f, 1.999f}, {0.0f, 0.099f, 0.0015f}};
    FillCells(first.maxCurrent, 3, 2, [&](int i, int j) { return current[j - 1][i - 1]; });
    FillCells(first.etaMin, 3, 2, [](int i, int j) { return i == 1 && j == 1 ? -4.9995 : 0.5; });
    simulator.sim.levels[1].maxCurrent.Fill(0.0f);  // no current anywhere: Rouse numbers all 200
    WriteFile(folder / "series.txt", "0 0 0 0\n");
    simulator.sim.timeSeriesStream.open(folder / "series.txt");
    ASSERT_TRUE(simulator.sim.timeSeriesStream.is_open());

    const GridLevel reference0 = FinishLevel(folder / "level0/");
    testing::internal::CaptureStdout();
    simulator.sim.Finish();
    const std::string console = testing::internal::GetCapturedStdout();

    EXPECT_TRUE(simulator.sim.levels.empty());
    EXPECT_FALSE(simulator.sim.timeSeriesStream.is_open());

    // The console: one line per grid, in the order of the end-of-run sequence, level by level.
    std::string expectedConsole;
    for (const char* level : {"level0/", "level1/"}) {
        for (const std::string& name : kFinishOrder) {
            expectedConsole += folder / level + name + " MM(";
        }
    }
    std::istringstream lines(console);
    std::string consoleNames;
    for (std::string line; std::getline(lines, line);) consoleNames += line.substr(0, line.find("MM(") + 3);
    EXPECT_EQ(consoleNames, expectedConsole);

    for (const char* level : {"level0", "level1"}) {
        const std::string dir = folder / level;
        std::set<std::string> expectedNames;
        for (const std::string& name : kFinishOrder) expectedNames.insert(name + "_bin.grd");
        expectedNames.insert("OUT-ROUSE_NUMBER_MINIMUM.grd");
        expectedNames.insert("OUT-ROUSE_NUMBER_MINIMUM_LAND.grd");
        if (std::string(level) == "level0") {
            expectedNames.insert("OUT-SUMMARY-RESULT.dat");
            expectedNames.insert(kTimeHistoryFileNames[kHistoryEta]);
        }
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
        EXPECT_EQ(names, expectedNames) << level;
    }
    EXPECT_FALSE(fs::exists("OUT-ROUSE_NUMBER_MINIMUM.grd"));  // never in the current directory

    // Every extreme file holds its own field; land files the field where depth <= 0.
    const std::string dir0 = folder / "level0/";
    for (const auto& [name, member] : ExtremeFiles()) {
        const BinaryGrid grid = ReadBinaryGrid(dir0 + name + "_bin.grd");
        ASSERT_TRUE(grid.ok) << name;
        const Field& source = member == &GridLevel::maxCurrent ? first.maxCurrent : reference0.*member;
        for (int j = 1; j <= 2; ++j) {
            for (int i = 1; i <= 3; ++i) {
                const float expected = member == &GridLevel::maxCurrent ? current[j - 1][i - 1]
                                       : member == &GridLevel::etaMin ? (i == 1 && j == 1 ? -4.9995f : 0.5f)
                                                                       : source[i][j];
                EXPECT_EQ(grid.values[(j - 1) * 3 + (i - 1)], expected) << name << " " << i << "," << j;
            }
        }
    }
    for (const auto& [name, member] : LandFiles()) {
        const BinaryGrid grid = ReadBinaryGrid(dir0 + name + "_bin.grd");
        ASSERT_TRUE(grid.ok) << name;
        const Field& source = reference0.*member;
        const float land = member == &GridLevel::maxCurrent ? 1.999f : source[3][1];
        const float shore = member == &GridLevel::maxCurrent ? 0.0005f : source[2][1];
        const float north = member == &GridLevel::maxCurrent ? 0.0f : source[1][2];
        EXPECT_EQ(grid.values, (std::vector<float>{0, shore, land, north, 0, 0})) << name;
    }
    // Land flow depth: strictly negative depth only (the shoreline cell stays 0).
    const BinaryGrid landDepth = ReadBinaryGrid(dir0 + "OUT-FLOWDEPTHMAXLAND_bin.grd");
    const Field& flowDepth = reference0.maxFlowDepth;
    EXPECT_EQ(landDepth.values, (std::vector<float>{0, 0, flowDepth[3][1], flowDepth[1][2], 0, 0}));
    // Dry sea border: (1,1) reached its bed; the shoreline's etaMin 0.5 does not count.
    EXPECT_EQ(ReadBinaryGrid(dir0 + "OUT-ETA-MIN-DRY-SEA-BORDER_bin.grd").values,
              (std::vector<float>{1, 0, 0, 0, 0, 0}));

    // Rouse grids, byte for byte.
    EXPECT_EQ(ReadFile(dir0 + "OUT-ROUSE_NUMBER_MINIMUM.grd"),
              "DSAA\n3   2\n0.000000   2.000000\n0.000000   1.000000\n0.0000  240.0000\n"
              "0.1000     200.0000       0.1500\n\n"
              "200.0000       5.0000     240.0000\n\n");
    EXPECT_EQ(ReadFile(dir0 + "OUT-ROUSE_NUMBER_MINIMUM_LAND.grd"),
              "DSAA\n3   2\n0.000000   2.000000\n0.000000   1.000000\n0.0000  200.0000\n"
              "200          200       0.1500\n\n"
              "200.0000          200          200\n\n");
    EXPECT_EQ(ReadFile(folder / "level1/OUT-ROUSE_NUMBER_MINIMUM.grd"),
              "DSAA\n3   2\n0.000000   2.000000\n0.000000   1.000000\n0.0000  200.0000\n"
              "200.0000     200.0000     200.0000\n\n"
              "200.0000     200.0000     200.0000\n\n");

    EXPECT_EQ(ReadFile(dir0 + "OUT-SUMMARY-RESULT.dat"), kSummaryHeader + kSummaryRows);
}

TEST(Finish, WithoutCellFieldAndWithAnUnwritableFolder) {
    ScratchFolder folder;
    Simulator simulator(SurferText);
    simulator.sim.levels.push_back(FinishLevel(folder.Slash()));
    simulator.sim.levels.push_back(FinishLevel("/nonexistent-vestra-output/level/"));
    simulator.sim.levels[1].gaugeFile = folder / "gauges.txt";
    WriteFile(folder / "gauges.txt", kGaugeList);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    simulator.sim.Finish();
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(simulator.sim.levels.empty());
    // Level 0: every grid, no Rouse grid and no summary (no gauge list).
    std::set<std::string> expected;
    for (const std::string& name : kFinishOrder) expected.insert(name + ".grd");
    expected.insert("gauges.txt");
    EXPECT_EQ(folder.Names(), expected);
    // Level 1: one warning per grid file (the two kind-23 writes included) and one for the summary;
    // the console keeps its lines.
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), static_cast<long>(kFinishOrder.size()) + 1) << err;
    EXPECT_NE(err.find("/nonexistent-vestra-output/level/OUT-ETA-MAX.grd: " + std::string(std::strerror(ENOENT))),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("/nonexistent-vestra-output/level/OUT-SUMMARY-RESULT.dat"), std::string::npos) << err;
    EXPECT_EQ(std::count(console.begin(), console.end(), '\n'), 2 * static_cast<long>(kFinishOrder.size()));
    // The text grid of the land current mask: sea columns 0, the land and shoreline cells kept.
    const TextGrid land = ReadTextGrid(folder / "OUT-CURMAX-ANGLE_LAND.grd");
    const GridLevel reference = FinishLevel(folder.Slash());
    EXPECT_EQ(land.values, (std::vector<double>{0, reference.maxCurrentAngle[2][1], reference.maxCurrentAngle[3][1],
                                                reference.maxCurrentAngle[1][2], 0, 0}));
}

TEST(Finish, ShortCellFieldFileFallsBackToTheModelsCellField) {
    ScratchFolder folder;
    Simulator simulator(SurferText);
    SimulationParameters settings = simulator.sim.Parameters();
    settings.cellFieldFromFile = true;
    settings.cellFieldFile = folder / "cells.grd";
    simulator.Set(settings);
    WriteFile(settings.cellFieldFile, "DSAA\n2 1\n0 1\n0 0\n0.3 0.3\n0.3\n");  // one of two values
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
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    // K / (0.999 + 0.001): 0.3 from the file, 0.7 from the model's cell field.
    const std::string grid = ReadFile(folder / "OUT-ROUSE_NUMBER_MINIMUM_LAND.grd");
    EXPECT_NE(grid.find("0.0000  0.7000\n0.3000       0.7000\n\n"), std::string::npos) << grid;
}
