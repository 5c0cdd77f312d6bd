#include "Snapshot.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include "FieldWriter.h"
#include "NetCdfWriter.h"
#include "PathJoin.h"
#include "ZellUtility.h"

namespace snapshot {

namespace {
constexpr float kGravity = 9.8f;
}

float FroudeSquared(const Cell& cell, double e) {
    if (!(cell.totalDepthM > e && cell.totalDepthN > e)) return 0.0f;
    const float u = cell.fluxM / cell.totalDepthM;
    const float v = cell.fluxN / cell.totalDepthN;
    return (u * u + v * v) / (cell.totalDepthM * kGravity);
}

bool HasMomentumFlux(const Cell& cell) {
    return std::fabs(cell.totalDepthM) > 0.01 && std::fabs(cell.totalDepthN) > 0.01;
}

float MomentumFlux(const Cell& cell) {
    if (!HasMomentumFlux(cell)) return 0.0f;
    const float m2 = cell.fluxM * cell.fluxM;
    const float n2 = cell.fluxN * cell.fluxN;
    return std::sqrt(m2 * m2 / (cell.totalDepthM * cell.totalDepthM) +
                     n2 * n2 / (cell.totalDepthN * cell.totalDepthN));
}

float VelocityU(const Cell& cell, double e) { return cell.totalDepthM > e ? cell.fluxM / cell.totalDepthM : 0.0f; }

float VelocityV(const Cell& cell, double e) { return cell.totalDepthN > e ? cell.fluxN / cell.totalDepthN : 0.0f; }

float CurrentSpeed(const Cell& cell, double e) {
    if (!(cell.totalDepthM > e && cell.totalDepthN > e)) return 0.0f;
    const float u = cell.fluxM / cell.totalDepthM;
    const float v = cell.fluxN / cell.totalDepthN;
    return std::sqrt(u * u + v * v);
}

double CurrentDirection(const Cell& cell, double a) {
    if (!(std::fabs(cell.fluxN) > a)) return 0.0;
    return std::atan(static_cast<double>(cell.fluxM / cell.fluxN)) * 180.0 / std::acos(-1.0);
}

}  // namespace snapshot

namespace {

using snapshot::Cell;

// Thresholds of the depth tests: the text files keep very shallow cells (1e-5 m), their header
// ranges, the binary and the netCDF files ignore cells below 1 mm; the direction needs |N| above
// 1e-5 in text and 1e-4 elsewhere. Binary files drop magnitudes below 1e-4 to 0.
constexpr double kTextDepth = 0.00001;
constexpr double kRangeDepth = 0.001;
constexpr double kTextDirectionFlux = 0.00001;
constexpr double kRangeDirectionFlux = 0.0001;
constexpr double kBinaryCut = 0.0001;

// What one snapshot file holds. `text` gives the text file's value of a cell (none: the dry
// entry "0"); `range` the value its header range considers (none: the cell is left out; the
// range starts at (0, 0) in any case); `stored` the value of the binary and netCDF files.
struct QuantityFiles {
    const char* textName;    // text grid: <textName> "t" T ".grd"
    const char* binaryName;  // binary grid: <binaryName> "t" T "_bin.grd"; null: not written
    const char* netCdfName;  // netCDF series
    int width;               // column width of the text layout
};

class SnapshotWriter {
public:
    SnapshotWriter(const SimulationParameters& settings, ConstView rouse, ConstView fluxM, ConstView fluxN,
                   ConstView depthM, ConstView depthN, double time, double xMin, double xMax, double yMin,
                   double yMax, int32_t nx, int32_t ny, std::string folder, int32_t record)
        : settings_(settings), rouse_(rouse), fluxM_(fluxM), fluxN_(fluxN), depthM_(depthM), depthN_(depthN),
          time_(time), xMin_(xMin), xMax_(xMax), yMin_(yMin), yMax_(yMax), nx_(nx), ny_(ny),
          folder_(std::move(folder)), record_(record) {}

    Cell At(int32_t i, int32_t j) const {
        return Cell{fluxM_[i][j], fluxN_[i][j], depthM_[i][j], depthN_[i][j]};
    }
    float Rouse(int32_t i, int32_t j) const { return rouse_[i][j]; }

    template <class TextFn, class RangeFn, class StoredFn>
    void Write(const QuantityFiles& files, TextFn text, RangeFn range, StoredFn stored);

private:
    template <class RangeFn>
    void Range(RangeFn range, double& zMin, double& zMax) const;

    const SimulationParameters& settings_;
    ConstView rouse_, fluxM_, fluxN_, depthM_, depthN_;
    double time_, xMin_, xMax_, yMin_, yMax_;
    int32_t nx_, ny_;
    std::string folder_;
    int32_t record_;
    std::vector<float> scratch_;
};

template <class RangeFn>
void SnapshotWriter::Range(RangeFn range, double& zMin, double& zMax) const {
    zMin = 0.0;
    zMax = 0.0;
    for (int32_t j = 1; j <= ny_; ++j) {
        for (int32_t i = 1; i <= nx_; ++i) {
            const std::optional<double> value = range(i, j);
            if (!value) continue;
            if (*value < zMin) zMin = *value;
            if (*value > zMax) zMax = *value;
        }
    }
}

template <class TextFn, class RangeFn, class StoredFn>
void SnapshotWriter::Write(const QuantityFiles& files, TextFn text, RangeFn range, StoredFn stored) {
    const uint32_t nx = static_cast<uint32_t>(nx_);
    const uint32_t ny = static_cast<uint32_t>(ny_);
    switch (settings_.outputFormat) {
    case SurferText:
    case EsriAscii: {  // snapshots of derived quantities are Surfer text grids in both cases
        double zMin = 0.0, zMax = 0.0;
        Range(range, zMin, zMax);
        OutputFile file(JoinPath(folder_, TimedName(files.textName, time_) + ".grd"));
        if (!file.IsOpen()) return;
        std::string& out = file.Buffer();
        AppendSurferTextHeader(out, nx, ny, xMin_, xMax_, yMin_, yMax_, zMin, zMax);
        ColumnLayoutText layout(out, files.width, 7);
        for (int32_t j = 1; j <= ny_; ++j) {
            for (int32_t i = 1; i <= nx_; ++i) {
                const std::optional<double> value = text(i, j);
                if (value) {
                    layout.Value(*value);
                } else {
                    layout.Text("0");
                }
            }
            layout.EndRow();
            file.FlushIfLarge();
        }
        file.Close();
        return;
    }
    case SurferBinary: {
        if (files.binaryName == nullptr) return;
        double zMin = 0.0, zMax = 0.0;
        Range(range, zMin, zMax);
        OutputFile file(JoinPath(folder_, TimedName(files.binaryName, time_) + "_bin.grd"), true);
        if (!file.IsOpen()) return;
        const auto header = SurferBinaryHeader(nx, ny, xMin_, xMax_, yMin_, yMax_, zMin, zMax);
        file.Append(header.data(), header.size());
        for (int32_t j = 1; j <= ny_; ++j) {
            for (int32_t i = 1; i <= nx_; ++i) {
                float value = stored(i, j);
                if (std::fabs(static_cast<double>(value)) < kBinaryCut) value = 0.0f;
                file.Append(&value, sizeof value);
            }
        }
        file.Close();
        return;
    }
    case NetCdf: {
        scratch_.resize(static_cast<std::size_t>(nx) * ny);
        std::size_t position = 0;
        for (int32_t j = 1; j <= ny_; ++j) {
            for (int32_t i = 1; i <= nx_; ++i) scratch_[position++] = stored(i, j);
        }
        WriteNetCdfGrid(scratch_.data(), JoinPath(folder_, files.netCdfName), time_, xMin_, xMax_, yMin_, yMax_,
                        nx_, ny_, record_);
        return;
    }
    default:
        return;  // reported once per call by WriteSnapshot
    }
}

}  // namespace

void WriteSnapshot(const SimulationParameters& settings, ConstView rouseNumber, ConstView fluxM, ConstView fluxN,
                   ConstView totalDepthM, ConstView totalDepthN, double time, double xMin, double xMax, double yMin,
                   double yMax, int32_t nx, int32_t ny, int32_t mode, std::string prefix, int32_t record) {
    if (settings.outputFormat < 0 || settings.outputFormat > 3) {
        std::fprintf(stderr, "vestra: warning: unknown output format %d; snapshot %s not written\n",
                     settings.outputFormat, TimedName("", time).c_str());
        return;
    }
    if (mode < kFlowIndicators || mode > kVelocities || nx < 0 || ny < 0) return;
    const bool withRouse = mode == kFlowIndicators && settings.cellFieldFromFile;
    if (fluxM.empty() || fluxN.empty() || totalDepthM.empty() || totalDepthN.empty() ||
        (withRouse && rouseNumber.empty())) {
        WarnFileNotWritten(JoinPath(prefix, TimedName("", time)), "a snapshot field is not allocated");
        return;
    }
    SnapshotWriter writer(settings, rouseNumber, fluxM, fluxN, totalDepthM, totalDepthN, time, xMin, xMax, yMin,
                          yMax, nx, ny, std::move(prefix), record);
    using Value = std::optional<double>;
    auto cell = [&writer](int32_t i, int32_t j) { return writer.At(i, j); };

    switch (mode) {
    case kFlowIndicators:
        writer.Write(
            {"d", "d", "NETCDF_D.nc", 15},
            [&](int32_t i, int32_t j) { return Value(snapshot::FroudeSquared(cell(i, j), kTextDepth)); },
            [&](int32_t i, int32_t j) { return Value(snapshot::FroudeSquared(cell(i, j), kRangeDepth)); },
            [&](int32_t i, int32_t j) { return snapshot::FroudeSquared(cell(i, j), kRangeDepth); });
        if (withRouse) {
            auto rouse = [&writer](int32_t i, int32_t j) { return Value(writer.Rouse(i, j)); };
            writer.Write({"ro", "Ro", "NETCDF_Ro.nc", 13}, rouse, rouse,
                         [&writer](int32_t i, int32_t j) { return writer.Rouse(i, j); });
        }
        {
            // A dry cell has no momentum flux: "0" in the text file, left out of the range.
            auto momentum = [&](int32_t i, int32_t j) {
                const Cell c = cell(i, j);
                return snapshot::HasMomentumFlux(c) ? Value(snapshot::MomentumFlux(c)) : Value();
            };
            writer.Write({"momentum", "Momentum", "NETCDF_Momentum.nc", 13}, momentum, momentum,
                         [&](int32_t i, int32_t j) { return snapshot::MomentumFlux(cell(i, j)); });
        }
        return;
    case kFluxes: {
        auto m = [&](int32_t i, int32_t j) { return cell(i, j).fluxM; };
        auto n = [&](int32_t i, int32_t j) { return cell(i, j).fluxN; };
        auto mValue = [&](int32_t i, int32_t j) { return Value(m(i, j)); };
        auto nValue = [&](int32_t i, int32_t j) { return Value(n(i, j)); };
        writer.Write({"m", "m", "NETCDF_M.nc", 13}, mValue, mValue, m);
        writer.Write({"n", "n", "NETCDF_N.nc", 13}, nValue, nValue, n);
        return;
    }
    case kVelocities:
        writer.Write(
            {"u", "u", "NETCDF_U.nc", 15},
            [&](int32_t i, int32_t j) { return Value(snapshot::VelocityU(cell(i, j), kTextDepth)); },
            [&](int32_t i, int32_t j) { return Value(snapshot::VelocityU(cell(i, j), kRangeDepth)); },
            [&](int32_t i, int32_t j) { return snapshot::VelocityU(cell(i, j), kRangeDepth); });
        writer.Write(
            {"v", "v", "NETCDF_V.nc", 15},
            [&](int32_t i, int32_t j) { return Value(snapshot::VelocityV(cell(i, j), kTextDepth)); },
            [&](int32_t i, int32_t j) { return Value(snapshot::VelocityV(cell(i, j), kRangeDepth)); },
            [&](int32_t i, int32_t j) { return snapshot::VelocityV(cell(i, j), kRangeDepth); });
        // Speed and direction have no binary files.
        writer.Write(
            {"cur", nullptr, "NETCDF_CUR.nc", 15},
            [&](int32_t i, int32_t j) { return Value(snapshot::CurrentSpeed(cell(i, j), kTextDepth)); },
            [&](int32_t i, int32_t j) { return Value(snapshot::CurrentSpeed(cell(i, j), kRangeDepth)); },
            [&](int32_t i, int32_t j) { return snapshot::CurrentSpeed(cell(i, j), kRangeDepth); });
        writer.Write(
            {"ang", nullptr, "NETCDF_ANG.nc", 15},
            [&](int32_t i, int32_t j) { return Value(snapshot::CurrentDirection(cell(i, j), kTextDirectionFlux)); },
            [&](int32_t i, int32_t j) { return Value(snapshot::CurrentDirection(cell(i, j), kRangeDirectionFlux)); },
            [&](int32_t i, int32_t j) {
                return static_cast<float>(snapshot::CurrentDirection(cell(i, j), kRangeDirectionFlux));
            });
        return;
    default:
        return;
    }
}
