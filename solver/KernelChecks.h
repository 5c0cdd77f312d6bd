#pragma once
// Shape checks run once at the entry of every kernel: a level whose fields are missing or do not
// match its nx x ny header is left untouched rather than read out of bounds.
#include <algorithm>
#include <cstddef>
#include <initializer_list>

#include "GridLevel.h"
#include "Kernels.h"

namespace kernels {

inline bool FieldsMatch(const GridLevel& level, std::initializer_list<const Field*> fields) {
    if (level.nx < 1 || level.ny < 1) return false;
    for (const Field* field : fields) {
        if (field->empty() || field->Columns() != level.nx + 3 || field->Stride() != level.ny + 3) return false;
    }
    return true;
}

// The fields every kernel of both grid kinds reads or writes.
inline bool HasLevelFields(const GridLevel& level) {
    const GridLevel& l = level;
    return FieldsMatch(l, {&l.flowDepthAtMaxCurrent, &l.timeOfMaxCurrent, &l.maxDischargeFlux, &l.maxFluxN,
                           &l.maxFluxM, &l.depth, &l.fluxM, &l.fluxMNext, &l.fluxN, &l.fluxNNext, &l.totalDepthM,
                           &l.cellField, &l.totalDepthN, &l.rouseNumber, &l.totalDepth, &l.totalDepthNext,
                           &l.manning, &l.eta, &l.etaNext, &l.etaMax, &l.etaMin, &l.timeOfMaxWave,
                           &l.firstWaveArrival, &l.maxCurrentAngle, &l.maxCurrent, &l.maxFlowDepth, &l.maxFroude,
                           &l.maxFroudeSquared, &l.maxDragForce, &l.maxDischargeFluxAngle, &l.froudeSquaredU,
                           &l.froudeSquaredV, &l.maxMomentumFlux, &l.currentAtMaxFroudeSquared,
                           &l.flowDepthAtMaxFroudeSquared, &l.timeOfMaxFroudeSquared});
}

// The level fields plus the metric coefficients of a longitude/latitude grid.
inline bool HasSphericalFields(const GridLevel& level) {
    const std::size_t rows = static_cast<std::size_t>(level.ny) + 3;
    return HasLevelFields(level) && FieldsMatch(level, {&level.metricX, &level.gravityMetricX, &level.gravityMetricY}) &&
           level.cosLatitude.size() >= rows && level.coriolisCentre.size() >= rows && level.coriolisEdge.size() >= rows;
}

// The scratch of the mass update's limited fluxes.
inline bool HasLimitScratch(const GridLevel& level) {
    return FieldsMatch(level, {&level.limitedFluxM, &level.limitedFluxN}) &&
           level.limitedRows.size() >= 4 * (static_cast<std::size_t>(level.nx) + 3) &&
           level.outflowFits.Columns() == level.nx + 3 && level.outflowFits.Stride() == level.ny + 3;
}

// Team for a loop along one edge: its cells are independent, so any team gives the same result,
// but below a few thousand cells the fork and join of a team cost more than the loop itself.
inline int EdgeTeamSize(const KernelSettings& settings, int cells) {
    return cells >= 4096 ? KernelTeamSize(settings) : 1;
}

// Index range lo..hi of a kernel loop cut down to the level's active window.
struct Span {
    int lo, hi;
};
inline Span ColumnsInWindow(const GridLevel& level, int lo, int hi) {
    return {std::max(lo, level.activeWindow.iMin), std::min(hi, level.activeWindow.iMax)};
}
inline Span RowsInWindow(const GridLevel& level, int lo, int hi) {
    return {std::max(lo, level.activeWindow.jMin), std::min(hi, level.activeWindow.jMax)};
}

}  // namespace kernels
