// End of a run: the extreme-value files of every level, the Rouse-number minimum grids, the
// land-only flow depth, the gauge summary, then the release of the model.
#include <omp.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "FieldWriter.h"
#include "GaugeSummary.h"
#include "Nesting.h"
#include "PathJoin.h"
#include "TimeHistory.h"
#include "VolumeBudget.h"
#include "ZellSimulatorVestra.h"
#include "ZellUtility.h"

namespace {

// A cell whose largest current stays at or below 1 mm/s gets this Rouse number: no current
// ever lifted sediment there.
constexpr float kRouseWithoutCurrent = 200.0f;

// Per-cell coefficients K for the Rouse grids, read again from the cell-field file: a keyword,
// the eight header numbers, then ny rows of nx values from south to north. Values the file
// does not supply are taken from the level's own cell field (the coefficient the run used).
std::vector<float> ReadRouseCoefficients(const GridLevel& level, const std::string& path) {
    const GridWindow w = level.UserWindow();
    const int32_t nx = w.nx, ny = w.ny;
    const ConstView cellField = w.Crop(level.cellField.cview());
    std::vector<float> coefficients(static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny));
    std::size_t read = 0;
    std::ifstream in(path);
    if (in) {
        std::string keyword;
        double headerValue = 0.0;
        in >> keyword;
        for (int k = 0; k < 8 && in; ++k) in >> headerValue;
        for (float value = 0.0f; read < coefficients.size() && in >> value;) coefficients[read++] = value;
    }
    if (read < coefficients.size()) {
        std::fprintf(stderr,
                     "vestra: warning: the cell-field file %s supplies %zu of %zu coefficients; the Rouse grids "
                     "of %s take the rest from the model's cell field\n",
                     path.c_str(), read, coefficients.size(), level.outputFolder.c_str());
        for (std::size_t p = read; p < coefficients.size(); ++p) {
            const int32_t i = static_cast<int32_t>(p % static_cast<std::size_t>(nx)) + 1;
            const int32_t j = static_cast<int32_t>(p / static_cast<std::size_t>(nx)) + 1;
            coefficients[p] = cellField.empty() ? 0.1f : cellField[i][j];
        }
    }
    return coefficients;
}

// One Rouse grid in its Surfer text layout: coordinates with 6 decimals, range and values with
// 4, ten values to a line right-aligned in 13 characters. In the land grid sea and shoreline
// cells hold the entry "200".
void WriteRouseGrid(const GridLevel& level, const std::vector<float>& rouse, bool landOnly, double zMin,
                    double zMax, const std::string& path) {
    OutputFile file(path);
    if (!file.IsOpen()) return;
    std::string& out = file.Buffer();
    const GridWindow w = level.UserWindow();
    const ConstView depth = w.Crop(level.depth.cview());
    out += "DSAA\n" + std::to_string(w.nx) + "   " + std::to_string(w.ny) + "\n";
    AppendFixed(out, w.xMin, 6);
    out += "   ";
    AppendFixed(out, w.xMax, 6);
    out += '\n';
    AppendFixed(out, w.yMin, 6);
    out += "   ";
    AppendFixed(out, w.yMax, 6);
    out += '\n';
    AppendFixed(out, zMin, 4);
    out += "  ";
    AppendFixed(out, zMax, 4);
    out += '\n';
    ColumnLayoutText layout(out, 13, 4);
    std::size_t p = 0;
    for (int32_t j = 1; j <= w.ny; ++j) {
        for (int32_t i = 1; i <= w.nx; ++i, ++p) {
            if (landOnly && depth[i][j] >= 0.0f) {
                layout.Text("200");
            } else {
                layout.Value(rouse[p]);
            }
        }
        layout.EndRow();
        file.FlushIfLarge();
    }
    file.Close();
}

// The smallest Rouse number each cell saw, K / (largest current + 0.001), for all cells and for
// land cells only, as two grids in the level's output folder.
void WriteRouseMinimumGrids(const GridLevel& level, const std::string& cellFieldFile) {
    if (level.maxCurrent.empty() || level.depth.empty()) return;
    const std::vector<float> coefficients = ReadRouseCoefficients(level, cellFieldFile);
    std::vector<float> rouse(coefficients.size());
    double zMinAll = 0.0, zMaxAll = 0.0, zMinLand = 0.0, zMaxLand = 0.0;
    const GridWindow w = level.UserWindow();
    const ConstView maxCurrent = w.Crop(level.maxCurrent.cview());
    const ConstView depth = w.Crop(level.depth.cview());
    std::size_t p = 0;
    for (int32_t j = 1; j <= w.ny; ++j) {
        for (int32_t i = 1; i <= w.nx; ++i, ++p) {
            const float current = maxCurrent[i][j];
            const float value = std::fabs(current) > 0.001
                                    ? static_cast<float>(static_cast<double>(coefficients[p]) /
                                                         (static_cast<double>(current) + 0.001))
                                    : kRouseWithoutCurrent;
            rouse[p] = value;
            zMinAll = value < zMinAll ? value : zMinAll;
            zMaxAll = value > zMaxAll ? value : zMaxAll;
            if (depth[i][j] < 0.0f) {
                zMinLand = value < zMinLand ? value : zMinLand;
                zMaxLand = value > zMaxLand ? value : zMaxLand;
            }
        }
    }
    WriteRouseGrid(level, rouse, false, zMinAll, zMaxAll, JoinPath(level.outputFolder, "OUT-ROUSE_NUMBER_MINIMUM.grd"));
    WriteRouseGrid(level, rouse, true, zMinLand, zMaxLand,
                   JoinPath(level.outputFolder, "OUT-ROUSE_NUMBER_MINIMUM_LAND.grd"));
}

// The largest flow depth on land (depth < 0) and 0 elsewhere, halo included.
Field LandFlowDepth(const GridLevel& level, int32_t threads) {
    Field land;
    if (level.maxFlowDepth.empty() || level.depth.empty()) return land;
    land.Allocate(level.nx, level.ny);
    land.Fill(0.0f);
    const int threadCount = threads >= 1 ? threads : omp_get_max_threads();
    const int32_t nx = level.nx, ny = level.ny;
#pragma omp parallel for schedule(static) num_threads(threadCount)
    for (int32_t i = 1; i <= nx; ++i) {
        for (int32_t j = 1; j <= ny; ++j) {
            land[i][j] = level.depth[i][j] < 0.0f ? level.maxFlowDepth[i][j] : 0.0f;
        }
    }
    return land;
}

}  // namespace

void ZellSimulatorVestra::Finish() {
    if (timeSeriesStream.is_open()) timeSeriesStream.close();

    // The volume account closes with the stored volume at the end of the run.
    if (diagnostics.volumeBudgets.size() == levels.size()) {
        for (std::size_t k = 0; k < levels.size(); ++k)
            diagnostics.volumeBudgets[k].storedChange +=
                LevelStoredVolume(levels[k], static_cast<int32_t>(k), gridSpacing, parameters.timeStep);
    }

    // The two outer rings of every nested level take their extreme levels from its parent's.
    for (std::size_t k = 1; k < levels.size(); ++k) SmoothChildRingExtremes(levels[k - 1], levels[k]);

    for (std::size_t index = 0; index < levels.size(); ++index) {
        GridLevel& level = levels[index];
        level.outputCounters[0] = 0;
        // Every grid shows the user's grid only (a frame around level 0 is cropped off).
        const GridWindow w = level.UserWindow();
        auto write = [&](const Field& field, int32_t kind) {
            WriteFieldGrid(*this, w.Crop(field.cview()), w.Crop(level.depth.cview()), 0.0, w.xMin, w.xMax, w.yMin,
                           w.yMax, w.nx, w.ny, kind, level.outputFolder, 0, static_cast<int32_t>(index));
        };
        write(level.etaMax, kEtaMax);
        write(level.etaMin, kEtaMin);
        write(level.timeOfMaxWave, kTimeOfMaxWave);
        write(level.firstWaveArrival, kFirstWaveArrival);
        write(level.maxFlowDepth, kMaxFlowDepth);
        write(level.maxCurrentAngle, kMaxCurrentAngle);
        write(level.maxCurrent, kMaxCurrent);
        write(level.maxFroudeSquared, kMaxFroudeSquared);
        write(level.froudeSquaredU, kFroudeSquaredU);
        write(level.froudeSquaredV, kFroudeSquaredV);
        write(level.currentAtMaxFroudeSquared, kCurrentAtMaxFroudeSquared);
        write(level.flowDepthAtMaxFroudeSquared, kFlowDepthAtMaxFroudeSquared);
        write(level.timeOfMaxFroudeSquared, kTimeOfMaxFroudeSquared);
        write(level.flowDepthAtMaxCurrent, kFlowDepthAtMaxCurrent);
        write(level.timeOfMaxCurrent, kTimeOfMaxCurrent);
        write(level.maxFroude, kMaxFroude);
        write(level.maxDragForce, kMaxDragForce);

        if (parameters.cellFieldFromFile) WriteRouseMinimumGrids(level, parameters.cellFieldFile);

        write(level.maxFluxM, kMaxFluxM);
        write(level.maxFluxN, kMaxFluxN);
        write(level.maxDischargeFlux, kMaxDischargeFlux);
        write(level.maxDischargeFluxAngle, kMaxDischargeFluxAngle);
        // Written twice in a row, as the established end-of-run sequence does (two console
        // lines); the second write leaves the same file.
        write(level.maxMomentumFlux, kMaxMomentumFlux);
        write(level.maxMomentumFlux, kMaxMomentumFlux);
        write(level.maxDischargeFlux, kMaxDischargeFluxLand);
        write(level.maxDischargeFluxAngle, kMaxDischargeFluxAngleLand);
        write(level.maxCurrent, kMaxCurrentLand);
        write(level.maxCurrentAngle, kMaxCurrentAngleLand);
        write(level.maxMomentumFlux, kMaxMomentumFluxLand);
        write(level.etaMin, kEtaMinDrySeaBorder);

        const Field land = LandFlowDepth(level, parameters.threadCount);
        write(land, kMaxFlowDepthLand);

        WriteGaugeSummary(level.gaugeFile, JoinPath(level.outputFolder, kTimeHistoryFileNames[kHistoryEta]),
                          JoinPath(level.outputFolder, "OUT-SUMMARY-RESULT.dat"));

        std::vector<int32_t>().swap(level.gaugeColumns);
        std::vector<int32_t>().swap(level.gaugeRows);
        level.gaugeCount = 0;
    }
    levels.clear();
}
