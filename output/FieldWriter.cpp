#include "FieldWriter.h"

#include <omp.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "HostFrameReceiverI.h"
#include "NetCdfWriter.h"
#include "PathJoin.h"
#include "ZellSimulatorVestra.h"
#include "ZellUtility.h"

namespace {

bool IsLandMaskKind(int32_t kind) { return kind >= kMaxDischargeFluxLand && kind <= kMaxMomentumFluxLand; }

// A cell of the dry-sea-border map: a sea or shoreline cell (depth >= 0) whose lowest water
// level came within 1 mm of the sea bed, i.e. the cell fell dry during the drawdown.
inline float DrySeaBorder(float depth, float etaMin) {
    const float bedClearance = depth + etaMin;  // single precision, as the solver keeps both
    return depth >= 0.0f && std::fabs(static_cast<double>(bedClearance)) <= 0.001 ? 1.0f : 0.0f;
}

// The range narrowed to a float header value; a double beyond the float range becomes infinite
// instead of being converted out of range.
float NarrowToFloat(double value) {
    if (value > FLT_MAX) return INFINITY;
    if (value < -FLT_MAX) return -INFINITY;
    return static_cast<float>(value);
}

}  // namespace

const char* FieldKindFileName(int32_t kind) {
    static const char* const names[] = {
        nullptr,
        "OUT-ETA-MAX",
        "OUT-ETA-MIN",
        "OUT-TIME-MAX-WAVE",
        "OUT-TIME-FIRST-WAVE",
        "OUT-FLOWDEPTHMAX",
        "OUT-CURMAX-ANGLE",
        "OUT-CURMAX",
        "OUT-FR2MAX",
        "OUT-FLOWDEPTHMAXLAND",
        "OUT-CURatFR2max",
        "OUT-FDatFR2max",
        "OUT-timeatFr2max",
        "OUT-FD@curmax",
        "OUT-time@curmax",
        "OUT-FR2U",
        "OUT-FR2V",
        "OUT-FRMAX",
        "OUT-FDRAG_MAX",
        "OUT-M-MAX",
        "OUT-N-MAX",
        "OUT-MN-DISFLUX-MAX",
        "OUT-MN-DISFLUX-MAX-ANGLE",
        "OUT-MN-MOMENTUM-FLUX",
        "OUT-MN-DISFLUX-MAX_LAND",
        "OUT-MN-DISFLUX-MAX-ANGLE_LAND",
        "OUT-CUR-MAX_LAND",
        "OUT-CURMAX-ANGLE_LAND",
        "OUT-MN-MOMENTUM-FLUX_LAND",
        "OUT-ETA-MIN-DRY-SEA-BORDER",
    };
    constexpr int32_t kindCount = static_cast<int32_t>(sizeof names / sizeof names[0]);
    return kind >= 0 && kind < kindCount ? names[kind] : nullptr;
}

std::string TimedName(const char* stem, double timeSeconds) {
    const double whole = std::trunc(timeSeconds);
    const long long seconds = std::fabs(whole) < 9.0e18 ? static_cast<long long>(whole) : 0;  // NaN gives 0
    char text[64];
    std::snprintf(text, sizeof text, "t%06lld", seconds);
    std::string name = stem;
    name += text;
    return name;
}

void FlattenField(ConstView field, ConstView depth, int32_t nx, int32_t ny, int32_t kind, int32_t threads,
                  float* values, double& zMin, double& zMax) {
    const bool landMask = IsLandMaskKind(kind);
    const bool drySeaBorder = kind == kEtaMinDrySeaBorder;
    const int threadCount = threads >= 1 ? threads : omp_get_max_threads();
    // The field is stored column by column (j contiguous) and the buffer row by row, so the
    // copy is a transpose. It runs over tiles of 16 rows: within a tile each column is read as
    // one contiguous run of 16 floats (one cache line) and 16 buffer rows are filled side by side.
    // Tiles are dealt to the threads in contiguous blocks (static schedule); no two threads write
    // the same row. Each thread keeps its own extremes and OpenMP merges them once at the end;
    // minimum and maximum do not depend on the merge order, so the range equals the serial one
    // bit for bit. NaN never wins a comparison and is skipped.
    constexpr int32_t kRowTile = 16;
    const int32_t tiles = (ny + kRowTile - 1) / kRowTile;
    double lowest = DBL_MAX;
    double highest = -DBL_MAX;
#pragma omp parallel for schedule(static) num_threads(threadCount) reduction(min : lowest) reduction(max : highest)
    for (int32_t tile = 0; tile < tiles; ++tile) {
        const int32_t firstRow = tile * kRowTile;
        const int32_t endRow = firstRow + kRowTile < ny ? firstRow + kRowTile : ny;
        for (int32_t i = 0; i < nx; ++i) {
            const float* column = field[i + 1];
            const float* depthColumn = landMask || drySeaBorder ? depth[i + 1] : nullptr;
            for (int32_t j = firstRow; j < endRow; ++j) {
                const float source = column[j + 1];
                float value = source;
                if (drySeaBorder) {
                    value = DrySeaBorder(depthColumn[j + 1], source);
                } else if (landMask) {
                    value = depthColumn[j + 1] <= 0.0f ? source : 0.0f;
                }
                values[static_cast<std::size_t>(nx) * static_cast<std::size_t>(j) + static_cast<std::size_t>(i)] =
                    value;
                const double widened = value;
                lowest = widened < lowest ? widened : lowest;
                highest = widened > highest ? widened : highest;
            }
        }
    }
    // No finite value at all (an empty grid, or NaN everywhere): the range is (0, 0) rather than
    // the starting sentinels.
    if (!(lowest <= highest)) lowest = highest = 0.0;
    zMin = lowest;
    zMax = highest;
}

void WriteFieldGrid(const ZellSimulatorVestra& simulator, ConstView field, ConstView depth, double time,
                    double xMin, double xMax, double yMin, double yMax, int32_t nx, int32_t ny, int32_t kind,
                    std::string prefix, int32_t record, int32_t levelIndex) {
    const SimulationParameters& settings = simulator.Parameters();
    const uint32_t format = static_cast<uint32_t>(settings.outputFormat);
    const char* fileName = FieldKindFileName(kind);
    if (kind != kWaterLevelFrame && fileName == nullptr) {
        std::fprintf(stderr, "vestra: warning: no output file belongs to field kind %d; nothing written\n", kind);
        return;
    }
    const std::string target = kind == kWaterLevelFrame ? JoinPath(prefix, TimedName("", time))
                                                        : JoinPath(prefix, fileName);
    const bool needsDepth = IsLandMaskKind(kind) || kind == kEtaMinDrySeaBorder;
    if (field.empty() || (needsDepth && depth.empty()) || nx < 0 || ny < 0) {
        WarnFileNotWritten(target, "the field is not allocated");
        return;
    }

    const std::size_t count = static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny);
    // A water-level frame in a grid format is handed to the host, which keeps the buffer; every
    // other grid is flattened into a buffer that this thread reuses, so that writing the extreme
    // fields and netCDF frames touches no fresh memory after the first one.
    auto* receiver = static_cast<HostFrameReceiverI*>(simulator.hostContext);
    const bool handedOver = kind == kWaterLevelFrame && format != NetCdf && receiver != nullptr;
    thread_local std::vector<float> reused;
    std::unique_ptr<std::vector<float>> owned;
    std::vector<float>* values = &reused;
    if (handedOver) {
        owned = std::make_unique<std::vector<float>>(count);
        values = owned.get();
    } else if (reused.size() < count) {
        reused.resize(count);
    }
    double zMin = 0.0, zMax = 0.0;
    FlattenField(field, depth, nx, ny, kind, settings.threadCount, values->data(), zMin, zMax);

    GridFileHeader header;
    header.nx = static_cast<uint32_t>(nx);
    header.ny = static_cast<uint32_t>(ny);
    header.zMax = NarrowToFloat(zMax);
    header.zMin = NarrowToFloat(zMin);
    header.yMin = yMin;
    header.yMax = yMax;
    header.xMin = xMin;
    header.xMax = xMax;

    if (kind == kWaterLevelFrame) {
        if (format == NetCdf) {
            WriteNetCdfGrid(values->data(), JoinPath(prefix, "NETCDF_H.nc"), time, xMin, xMax, yMin, yMax, nx, ny,
                            record);
            return;
        }
        const int32_t result = WriteGridFile(values->data(), header, target, format);
        // The host shows the new frame; the buffer becomes its own.
        if (result == 0 && handedOver) receiver->FileWrittenNotice(levelIndex, std::move(owned), 0);
        return;
    }
    if (format == NetCdf) {
        // Each extreme field is a single-record file at time 0.
        WriteNetCdfGrid(values->data(), target + ".nc", 0.0, xMin, xMax, yMin, yMax, nx, ny, 0);
    } else {
        WriteGridFile(values->data(), header, target, format);
    }
}
