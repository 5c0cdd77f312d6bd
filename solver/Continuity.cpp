// Mass conservation: d(eta)/dt + div(M, N) = 0 on the staggered grid, with the wet/dry rule and
// the running extremes of the water level.
//
// Staggering: eta at the centre of cell (i, j); fluxM[i][j] on its east face, fluxN[i][j] on its
// north face. The update reads only the current fluxes, which nobody writes in this phase, and
// writes only its own cell, so the columns are independent.
#include <algorithm>
#include <cmath>

#include "KernelCells.h"
#include "KernelChecks.h"
#include "Kernels.h"

using cells::kEpsilon;

namespace {

template <bool Spherical>
void ContinuityInterior(GridLevel& level, double ratio, double tMinutes, const KernelSettings& settings) {
    // The update runs up to column nx - 1 and row ny - 1 of the extent left once the rings that
    // the parent owns beyond the first are taken off.
    const int inset = std::max(settings.parentRing - 1, 0);
    const int nx = level.nx - inset;
    const int ny = level.ny - inset;
    const ConstView fluxM = level.fluxM.cview();
    const ConstView fluxN = level.fluxN.cview();
    const ConstView depth = level.depth.cview();
    const View eta = level.eta.view();
    const View etaNext = level.etaNext.view();
    const View totalDepth = level.totalDepth.view();
    const View totalDepthNext = level.totalDepthNext.view();
    const View etaMax = level.etaMax.view();
    const View etaMin = level.etaMin.view();
    const View timeOfMaxWave = level.timeOfMaxWave.view();
    const View firstWaveArrival = level.firstWaveArrival.view();
    const View maxFlowDepth = level.maxFlowDepth.view();
    const ConstView metricX = Spherical ? level.metricX.cview() : ConstView{};
    const float* cosLatitude = Spherical ? level.cosLatitude.data() : nullptr;

    const double factor = settings.timeStepFactor;
    const double cartesianScale = factor * ratio;  // dt / dx
    const float stamp = static_cast<float>(tMinutes);
    const double arrivalThreshold = cells::ArrivalThreshold(Spherical);
    // The spherical radiation condition owns columns 1, 2 and rows 1, 2; the Cartesian one only 1.
    // On a nested level the parent owns the two outer rings on every side.
    const int first = std::max(Spherical ? 3 : 2, settings.parentRing + 1);

#pragma omp parallel for schedule(static) num_threads(KernelTeamSize(settings))
    for (int i = first; i <= nx - 1; ++i) {
        const float* mEast = fluxM[i];
        const float* mWest = fluxM[i - 1];
        const float* n = fluxN[i];
        const float* h = depth[i];
        float* e = eta[i];
        float* eNext = etaNext[i];
        float* d = totalDepth[i];
        float* dNext = totalDepthNext[i];
        for (int j = first; j <= ny - 1; ++j) {
            // Inflow equals outflow in both directions: the level cannot change.
            if (mEast[j] == mWest[j] && n[j] == n[j - 1]) {
                eNext[j] = e[j];
                const float still = static_cast<float>(static_cast<double>(e[j]) + h[j]);
                dNext[j] = still;
                d[j] = still;
                continue;
            }
            double level1;
            if constexpr (Spherical) {
                // On the sphere the meridional flux is weighted by the cosine of the latitude; each
                // face carries the same weight seen from both sides, so volume is conserved exactly.
                const double divergence = (static_cast<double>(mEast[j]) - mWest[j]) +
                                          (static_cast<double>(cosLatitude[j]) * n[j] -
                                           static_cast<double>(cosLatitude[j - 1]) * n[j - 1]);
                level1 = e[j] - metricX[i][j] * factor * divergence;
            } else {
                const double divergence = ((static_cast<double>(mEast[j]) - mWest[j]) + n[j]) - n[j - 1];
                level1 = e[j] - divergence * cartesianScale;
            }
            if (std::fabs(level1) < kEpsilon) level1 = 0.0;
            const double total1 = h[j] + level1;
            if constexpr (Spherical) {
                if (total1 > maxFlowDepth[i][j]) maxFlowDepth[i][j] = static_cast<float>(total1);
            }
            if (total1 <= kEpsilon) {
                // Dry: the surface rests on the bed.
                dNext[j] = 0.0f;
                d[j] = 0.0f;
                e[j] = -h[j];
                eNext[j] = -h[j];
                continue;
            }
            const float newLevel = static_cast<float>(level1);
            dNext[j] = static_cast<float>(total1);
            eNext[j] = newLevel;
            if constexpr (!Spherical) {
                d[j] = static_cast<float>(total1);
                e[j] = newLevel;
            }
            if (newLevel > etaMax[i][j]) timeOfMaxWave[i][j] = stamp;
            if (std::fabs(static_cast<double>(newLevel)) > arrivalThreshold && firstWaveArrival[i][j] == 0.0f) {
                firstWaveArrival[i][j] = stamp;
            }
            if (newLevel < etaMin[i][j]) etaMin[i][j] = newLevel;
            if (newLevel > etaMax[i][j]) etaMax[i][j] = newLevel;
        }
    }
}

}  // namespace

void ContinuitySpherical(GridLevel& level, double tMinutes, const KernelSettings& settings) {
    if (!kernels::HasSphericalFields(level)) return;
    ContinuityInterior<true>(level, 0.0, tMinutes, settings);
    if (settings.parentRing == 0) RadiateOpenBoundariesSpherical(level, settings);
}

void ContinuityCartesian(GridLevel& level, double ratio, double tMinutes, const KernelSettings& settings) {
    if (!kernels::HasLevelFields(level)) return;
    ContinuityInterior<false>(level, ratio, tMinutes, settings);
    if (settings.parentRing == 0) RadiateOpenBoundariesCartesian(level, ratio, settings);
}
