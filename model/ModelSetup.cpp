#include "ModelSetup.h"

#include <algorithm>
#include <cmath>
#include <limits>

bool LevelFromHostRecord(const HostGridRecord& record, GridLevel& level) {
    if (record.gridType < 0 || record.gridType > 3) return false;
    level.bathymetryFile = record.bathymetryFile;
    level.gaugeFile = record.gaugeFile;
    level.outputFolder = record.outputFolder;
    level.gridType = record.gridType;
    level.coriolisEnabled = record.gridType >= 2 && record.coriolis ? 1 : 0;
    const bool hasOption = record.gridType == 1 || record.gridType == 3;
    level.optionEnabled = hasOption ? 1 : 0;
    // Truncation toward zero of the option depth; a value beyond the int range saturates.
    const double option = std::trunc(static_cast<double>(record.optionNumber));
    level.optionValue = !hasOption || !std::isfinite(option) ? 0
                        : option >= 2147483647.0            ? 2147483647
                        : option <= -2147483648.0           ? -2147483647 - 1
                                                            : static_cast<int32_t>(option);
    return true;
}

void AllocateLevelFields(GridLevel& level) {
    for (Field GridLevel::*member : kLevelFields) (level.*member).Allocate(level.nx, level.ny);
    AllocateLimitScratch(level);
    const std::size_t rows = static_cast<std::size_t>(level.ny) + 3;
    if (level.IsSpherical()) {
        for (Field GridLevel::*member : kSphericalLevelFields) (level.*member).Allocate(level.nx, level.ny);
        level.cosLatitude.assign(rows, 0.0f);
        level.coriolisCentre.assign(rows, 0.0f);
        level.coriolisEdge.assign(rows, 0.0f);
    } else {
        for (Field GridLevel::*member : kSphericalLevelFields) (level.*member).Release();
        level.cosLatitude = {};
        level.coriolisCentre = {};
        level.coriolisEdge = {};
    }
}

void AllocateLimitScratch(GridLevel& level) {
    for (Field* f : {&level.limitedFluxM, &level.limitedFluxN}) {
        f->Allocate(level.nx, level.ny);
        f->Fill(std::numeric_limits<float>::quiet_NaN());
    }
    level.limitedRows.assign(4 * (static_cast<std::size_t>(level.nx) + 3), 0);
    level.outflowFits.Allocate(level.nx, level.ny);
    level.outflowFits.Fill(0);
}

void InitialiseLevelFields(GridLevel& level, const std::vector<float>& depthValues, float manningCoefficient,
                           const std::vector<float>* cellFieldValues, int threads) {
    const int32_t nx = level.nx, ny = level.ny;
    const int32_t columns = nx + 3, rows = ny + 3;
    const bool spherical = level.IsSpherical();
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int32_t i = 0; i < columns; ++i) {
        for (Field GridLevel::*member : kLevelFields) std::fill_n((level.*member)[i], rows, 0.0f);
        if (spherical)
            for (Field GridLevel::*member : kSphericalLevelFields) std::fill_n((level.*member)[i], rows, 0.0f);
        float* cell = level.cellField[i];
        std::fill_n(cell, rows, kDefaultCellField);
        // The mass update's scratch holds NaN wherever it holds no limited flux.
        for (Field* f : {&level.limitedFluxM, &level.limitedFluxN})
            if (!f->empty()) std::fill_n((*f)[i], rows, std::numeric_limits<float>::quiet_NaN());
        if (i < 1 || i > nx) continue;

        float* depth = level.depth[i];
        float* manning = level.manning[i];
        float* totalDepth = level.totalDepth[i];
        float* totalDepthNext = level.totalDepthNext[i];
        const std::size_t offset = static_cast<std::size_t>(i) - 1;
        for (int32_t j = 1; j <= ny; ++j) {
            const float d = depthValues[static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(nx) + offset];
            depth[j] = d;
            manning[j] = manningCoefficient;
            totalDepth[j] = d > 0.0f ? d : 0.0f;  // dry land starts with no water on it
            totalDepthNext[j] = totalDepth[j];
        }
        if (cellFieldValues != nullptr)
            for (int32_t j = 1; j <= ny; ++j)
                cell[j] = (*cellFieldValues)[static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(nx) + offset];
    }
}

float LevelTimeStep(float timeStep, int32_t levelIndex) {
    double divisor = 1.0;
    for (int32_t k = 0; k < levelIndex; ++k) divisor *= 3.0;
    return timeStep / static_cast<float>(divisor);
}

void ComputeSphericalCoefficients(GridLevel& level, float dt, int threads) {
    const int32_t nx = level.nx, ny = level.ny;
    // Cell size in arc-minutes; cells are square in arc-minutes, so it is also the row spacing.
    const double cellMinutes = std::fabs((level.xMax - level.xMin) * 60.0 / (nx - 1));
    const double dtd = dt;
    const double ratio = dtd / (cellMinutes / 60.0 * kEarthRadiusMetric * kDegreesToRadians);
    const double halfRotation = dtd * 0.5 * kEarthRotationRate;

    // cos of the cell-centre latitude of each row, kept in double for the metric terms.
    std::vector<double> cosCentre(static_cast<std::size_t>(ny) + 1, 1.0);
    for (int32_t j = 1; j <= ny; ++j) {
        const double centre = ((j * cellMinutes - cellMinutes * 0.5) / 60.0 + level.yMin) * kDegreesToRadians;
        const double edge = ((j * cellMinutes) / 60.0 + level.yMin) * kDegreesToRadians;  // north face
        cosCentre[j] = std::cos(centre);
        level.cosLatitude[j] = static_cast<float>(cosCentre[j]);
        level.coriolisCentre[j] = static_cast<float>(std::sin(centre) * halfRotation);
        level.coriolisEdge[j] = static_cast<float>(std::sin(edge) * halfRotation);
    }
    const double gravityTerm = 2.0 * (ratio * kHalfGravity);
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int32_t i = 1; i <= nx; ++i) {
        float* metric = level.metricX[i];
        float* gravityX = level.gravityMetricX[i];
        float* gravityY = level.gravityMetricY[i];
        for (int32_t j = 1; j <= ny; ++j) {
            metric[j] = static_cast<float>(ratio / cosCentre[j]);
            gravityX[j] = static_cast<float>(gravityTerm / cosCentre[j]);
            gravityY[j] = static_cast<float>(gravityTerm);
        }
    }
}

std::size_t LevelFieldBytes(const GridLevel& level) {
    std::size_t bytes = 0;
    for (Field GridLevel::*member : kLevelFields) bytes += (level.*member).Size() * sizeof(float);
    for (Field GridLevel::*member : kSphericalLevelFields) bytes += (level.*member).Size() * sizeof(float);
    bytes += (level.limitedFluxM.Size() + level.limitedFluxN.Size()) * sizeof(float);
    bytes += level.outflowFits.Size();
    for (const FieldStorage<double>* f : {&level.dispersionRhsM, &level.dispersionRhsN, &level.dispersionUpper})
        bytes += f->Size() * sizeof(double);
    bytes += (level.dispersionFactorM.Size() + level.dispersionFactorN.Size()) * sizeof(float);
    bytes += (level.dispersionCosCentre.capacity() + level.dispersionCosEdge.capacity()) * sizeof(double);
    for (const std::vector<float>* row : {&level.cosLatitude, &level.coriolisCentre, &level.coriolisEdge})
        bytes += row->capacity() * sizeof(float);
    bytes += (level.gaugeColumns.capacity() + level.gaugeRows.capacity() + level.limitedRows.capacity()) * sizeof(int32_t);
    return bytes;
}
