// The loop of ContinuityWet.h. This file is compiled twice: as it is (the baseline build, with the
// dispatch) and, through ContinuityWetAvx2.cpp, for AVX2 with VESTRA_WETMASS_AVX2 defined.
//
// Where a cell and its four neighbours each hold at least what their outgoing fluxes take, every
// share of the per-cell update is 1 and each face flux enters as it is. The per-cell update takes
// a zero flux as +0, the loop as it is stored (-0 too); the sign cannot show: where the fluxes
// balance the cell is still and its level does not read them, and otherwise a sum that comes
// out zero is +0 either way. The three outcomes of the per-cell update (still, dry, wet) are all
// worked out and one is selected.
#include <cmath>
#include <cstdint>

#include "ProcessorFeatures.h"
#include "ContinuityWet.h"
#include "KernelCells.h"

namespace wetmass {

template <bool Spherical>
void UpdateAvx2(const Column& c, const Scalars& s, int lo, int count, Scratch& scratch);
template <bool Spherical>
void MarkFitsAvx2(const Column& c, const Scalars& s, int lo, int hi, std::uint8_t* fits);

namespace {

using cells::kEpsilon;

// 0 < x ? x : 0, as std::max(0.0, x).
inline double Positive(double x) { return 0.0 < x ? x : 0.0; }

// Whether the cell at row j holds what its outgoing fluxes take, with the per-cell update's
// expression for both.
template <bool Spherical>
inline bool Fits(const Column& c, const Scalars& s, int j) {
    const double east = Positive(static_cast<double>(c.fluxM[1][j]));
    const double west = Positive(-static_cast<double>(c.fluxM[0][j]));
    const double north = Positive(static_cast<double>(c.fluxN[j]));
    const double south = Positive(-static_cast<double>(c.fluxN[j - 1]));
    double outgoing;
    if constexpr (Spherical) {
        outgoing = c.metricX[j] * s.factor *
                   ((east + west) + (static_cast<double>(c.cosLatitude[j]) * north +
                                     static_cast<double>(c.cosLatitude[j - 1]) * south));
    } else {
        outgoing = ((east + west) + (north + south)) * s.cartesianScale;
    }
    const double held = Positive(static_cast<double>(c.eta[j]) + c.depth[j]);
    return !(outgoing > held);
}

template <bool Spherical>
void FitsLoop(const Column& column, const Scalars& scalars, int lo, int hi, std::uint8_t* fits) {
    const Column c = column;
    const Scalars s = scalars;
#pragma omp simd
    for (int j = lo; j <= hi; ++j) fits[j] = Fits<Spherical>(c, s, j) ? 1 : 0;
}

template <bool Spherical>
void Loop(const Column& column, const Scalars& scalars, int lo, int count, Scratch& scratch) {
    const Column c = column;  // a local copy: its pointers stay in registers through the loops
    const Scalars s = scalars;
    const int hi = lo + count - 1;
    std::int64_t* general = scratch.general - lo;

    const float* fluxE = c.fluxM[1];
    const float* fluxW = c.fluxM[0];
    const float* fluxN = c.fluxN;
    const float* e = c.eta;
    const float* h = c.depth;
    const std::uint8_t* fitsW = c.fits[0];
    const std::uint8_t* fits = c.fits[1];
    const std::uint8_t* fitsE = c.fits[2];
#pragma omp simd
    for (int j = lo; j <= hi; ++j) {
        const bool taken = (fitsW[j] & fits[j - 1] & fits[j] & fits[j + 1] & fitsE[j]) != 0;
        general[j] = taken ? 0 : 1;
        const double east = static_cast<double>(fluxE[j]);
        const double west = static_cast<double>(fluxW[j]);
        double north = static_cast<double>(fluxN[j]);
        double south = static_cast<double>(fluxN[j - 1]);
        if constexpr (Spherical) {
            north *= c.cosLatitude[j];
            south *= c.cosLatitude[j - 1];
        }
        const bool still = east == west && north == south;
        const double here = e[j];
        const double bed = -static_cast<double>(h[j]);
        const double level0 = here < bed ? bed : here;
        double level1;
        if constexpr (Spherical) {
            level1 = level0 - c.metricX[j] * s.factor * ((east - west) + (north - south));
        } else {
            level1 = level0 - (((east - west) + north) - south) * s.cartesianScale;
        }
        const double total1 = h[j] + level1;
        const bool dry = total1 <= kEpsilon;
        const bool wet = !still && !dry;
        const float newLevel = static_cast<float>(level1);
        const float stillTotal = static_cast<float>(here + h[j]);
        const float newTotal = static_cast<float>(total1);

        const float oldNext = c.etaNext[j];
        const float levelOut = still ? e[j] : (dry && !(total1 > 0.0) ? -h[j] : newLevel);
        c.etaNext[j] = taken ? levelOut : oldNext;
        const float oldTotalNext = c.totalDepthNext[j];
        const float totalOut = still ? stillTotal : (dry ? 0.0f : newTotal);
        c.totalDepthNext[j] = taken ? totalOut : oldTotalNext;
        const float oldTotal = c.totalDepth[j];
        const float keptTotal = Spherical ? oldTotal : newTotal;
        const float totalNow = still ? stillTotal : (dry ? 0.0f : keptTotal);
        c.totalDepth[j] = taken ? totalNow : oldTotal;
        const float flowDepth = c.maxFlowDepth[j];
        c.maxFlowDepth[j] = taken && !still && total1 > flowDepth ? newTotal : flowDepth;

        const bool update = taken && wet;
        const float highest = c.etaMax[j];
        const float lowest = c.etaMin[j];
        const float timeOfMax = c.timeOfMaxWave[j];
        const float arrival = c.firstWaveArrival[j];
        c.timeOfMaxWave[j] = update && newLevel > highest ? s.stamp : timeOfMax;
        c.firstWaveArrival[j] =
            update && std::fabs(static_cast<double>(newLevel)) > s.arrivalThreshold && arrival == 0.0f ? s.stamp : arrival;
        c.etaMin[j] = update && newLevel < lowest ? newLevel : lowest;
        c.etaMax[j] = update && newLevel > highest ? newLevel : highest;
    }
}

template <bool Spherical>
void Run(const Column& c, const Scalars& s, int lo, int count, Scratch& scratch, bool allowVector) {
#if defined(VESTRA_HAVE_AVX2_WETMASS) && !defined(VESTRA_WETMASS_AVX2)
    if (allowVector && VectorLoopAvailable()) {
        UpdateAvx2<Spherical>(c, s, lo, count, scratch);
        return;
    }
#endif
    (void)allowVector;
    Loop<Spherical>(c, s, lo, count, scratch);
}

template <bool Spherical>
void RunFits(const Column& c, const Scalars& s, int lo, int hi, std::uint8_t* fits, bool allowVector) {
#if defined(VESTRA_HAVE_AVX2_WETMASS) && !defined(VESTRA_WETMASS_AVX2)
    if (allowVector && VectorLoopAvailable()) {
        MarkFitsAvx2<Spherical>(c, s, lo, hi, fits);
        return;
    }
#endif
    (void)allowVector;
    FitsLoop<Spherical>(c, s, lo, hi, fits);
}

}  // namespace

#ifdef VESTRA_WETMASS_AVX2
template <bool Spherical>
void UpdateAvx2(const Column& c, const Scalars& s, int lo, int count, Scratch& scratch) {
    Loop<Spherical>(c, s, lo, count, scratch);
}
template void UpdateAvx2<true>(const Column&, const Scalars&, int, int, Scratch&);
template void UpdateAvx2<false>(const Column&, const Scalars&, int, int, Scratch&);
template <bool Spherical>
void MarkFitsAvx2(const Column& c, const Scalars& s, int lo, int hi, std::uint8_t* fits) {
    FitsLoop<Spherical>(c, s, lo, hi, fits);
}
template void MarkFitsAvx2<true>(const Column&, const Scalars&, int, int, std::uint8_t*);
template void MarkFitsAvx2<false>(const Column&, const Scalars&, int, int, std::uint8_t*);
#else
bool VectorLoopAvailable() {
#if defined(VESTRA_HAVE_AVX2_WETMASS)
    return cells::ProcessorHasAvx2();
#else
    return false;
#endif
}

void Update(const Column& c, const Scalars& s, int lo, int count, Scratch& scratch, bool allowVector) {
    if (s.spherical) Run<true>(c, s, lo, count, scratch, allowVector);
    else Run<false>(c, s, lo, count, scratch, allowVector);
}

void MarkFits(const Column& c, const Scalars& s, int lo, int hi, std::uint8_t* fits, bool allowVector) {
    if (s.spherical) RunFits<true>(c, s, lo, hi, fits, allowVector);
    else RunFits<false>(c, s, lo, hi, fits, allowVector);
}
#endif

}  // namespace wetmass
