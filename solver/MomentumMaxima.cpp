// The loop of MomentumMaxima.h. This file is compiled twice: as it is (the baseline build, with
// the dispatch) and, through MomentumMaximaAvx2.cpp, for AVX2 with VESTRA_MAXIMA_AVX2 defined.
#include <cmath>

#include "ProcessorFeatures.h"
#include "KernelCells.h"
#include "MomentumMaxima.h"

namespace maxima {

template <bool Spherical>
void UpdateAvx2(const Column& o, const Scalars& s, int lo, int hi);

namespace {

inline double Square(double x) { return x * x; }

// The largest float not above c: for a float x, x > c exactly when x > FloatAtMost(c), so that the
// depth tests run on the stored floats in single-precision lanes.
inline float FloatAtMost(double c) {
    const float f = static_cast<float>(c);
    return static_cast<double>(f) > c ? std::nextafter(f, -INFINITY) : f;
}

inline float Capped(double value) {
    const float narrowed = static_cast<float>(value);
    return value > cells::kCappedValue ? cells::kCappedValue : narrowed;
}

// Every candidate value is worked out (and narrowed to float) for every cell and each maximum is
// kept or replaced by a select, so that the loop has no branches; still cells select nothing.
// A maximum that stands alone is compared in single precision: a double value above the stored
// float narrows to at least that float, so the float comparison keeps the same value (it differs
// only where the narrowed value equals the maximum, which the double comparison would store
// again). Maxima with companion fields (time, depth) compare the double value, as the companions
// follow the comparison.
// The divisions by the two face depths and by the wave-speed scale are taken once each, as
// reciprocals: the values are rounded to float, which a unit in the last place of the double
// intermediate moves once in some hundred million values; the fluxes do not read them.
template <bool Spherical, bool RouseFromFile>
void Loop(const Column& column, const Scalars& s, int lo, int hi) {
    const Column o = column;  // a local copy: its pointers stay in registers through the loop
    const double g = cells::kGravityDerived;
    const float depthLimit = FloatAtMost(s.depthLimit);
    const float wetLimit = FloatAtMost(0.05), deepLimit = FloatAtMost(0.01), rouseLimit = FloatAtMost(0.001);
    const float minutes = s.minutes;
    const float* centreDepth = o.centreDepth;
#pragma omp simd
    for (int j = lo; j <= hi; ++j) {
        const float mNext = o.fluxMNext[j];
        const float nNext = o.fluxNNext[j];
        const float dMF = o.totalDepthM[j];
        const float dNF = o.totalDepthN[j];
        const double dM = dMF;
        const double dN = dNF;
        const double meanDepth = (dM + dN) / 2.0;
        // Every candidate value is worked out (and narrowed to float) for every cell; the
        // selects below keep what the conditions allow.
        const float meanDepthF = static_cast<float>(meanDepth);
        if constexpr (!Spherical) {
            o.maxFlowDepth[j] = meanDepthF > o.maxFlowDepth[j] ? meanDepthF : o.maxFlowDepth[j];
        }
        // Still water changes none of the maxima (they start at 0 and only grow); only the
        // Rouse number is set.
        const bool moving = (mNext != 0.0f) | (nNext != 0.0f);
        const double inverseM = 1.0 / dM, inverseN = 1.0 / dN;
        const double u = mNext * inverseM;
        const double v = nNext * inverseN;
        const double speedSquared = v * v + u * u;
        const double speed = std::sqrt(speedSquared);
        // (D~ + D^) g / 2, the wave-speed scale of the Froude numbers.
        const double gravityDepth = (dM + dN) * g * 0.5;
        const double inverseGravityDepth = 1.0 / gravityDepth;

        const float current = static_cast<float>(speed);
        const bool wetEnough = Spherical ? (dNF > wetLimit) & (dMF > wetLimit) : true;
        const bool newCurrent =
            moving & (dNF > depthLimit) & (dMF > depthLimit) & (current > o.maxCurrent[j]) & wetEnough;
        o.maxCurrent[j] = newCurrent ? current : o.maxCurrent[j];
        o.flowDepthAtMaxCurrent[j] = newCurrent ? meanDepthF : o.flowDepthAtMaxCurrent[j];
        o.timeOfMaxCurrent[j] = newCurrent ? minutes : o.timeOfMaxCurrent[j];

        if constexpr (RouseFromFile) {
            const bool rouseFromFile = moving & (dNF > rouseLimit) & (dMF > rouseLimit) & (speedSquared > 0.001);
            const float rouse = static_cast<float>(o.cellField[j] / (speed + 0.001));
            o.rouseNumber[j] = rouseFromFile ? rouse : 200.0f;
        } else {
            o.rouseNumber[j] = 200.0f;
        }

        double froudeSquared;
        bool storeFroude;
        if constexpr (Spherical) {
            const float centreF = centreDepth[j];
            const double centre = centreF;
            froudeSquared = speedSquared / (g * centre);
            storeFroude = moving & (froudeSquared > o.maxFroudeSquared[j]) & (centreF > wetLimit) & (dNF > wetLimit) &
                          (dMF > wetLimit);
        } else {
            froudeSquared = speedSquared * inverseGravityDepth;
            storeFroude = moving & (froudeSquared > o.maxFroudeSquared[j]);
        }
        const float froudeSquaredF = Capped(froudeSquared);
        const float speedF = Capped(speed);
        o.maxFroudeSquared[j] = storeFroude ? froudeSquaredF : o.maxFroudeSquared[j];
        o.currentAtMaxFroudeSquared[j] = storeFroude ? speedF : o.currentAtMaxFroudeSquared[j];
        o.flowDepthAtMaxFroudeSquared[j] = storeFroude ? meanDepthF : o.flowDepthAtMaxFroudeSquared[j];
        o.timeOfMaxFroudeSquared[j] = storeFroude ? minutes : o.timeOfMaxFroudeSquared[j];

        const bool deep = moving & (std::fabs(dMF) > deepLimit) & (std::fabs(dNF) > deepLimit);
        const double froude = std::sqrt(speedSquared * inverseGravityDepth);
        const float froudeF = static_cast<float>(froude);
        const bool meaningful =
            (speedSquared > 0.0) & (Spherical ? std::fabs(meanDepth) > 0.001 : meanDepth > 0.0);
        o.maxFroude[j] = deep & meaningful & (froudeF > o.maxFroude[j]) ? froudeF : o.maxFroude[j];
        const double drag = speedSquared * (dM + dN) / 2.0;
        const float dragF = static_cast<float>(drag);
        o.maxDragForce[j] = deep & (dragF > o.maxDragForce[j]) ? dragF : o.maxDragForce[j];
        const double n2 = Square(nNext);
        const double m2 = Square(mNext);
        const double momentum = std::sqrt(n2 * n2 * (inverseN * inverseN) + m2 * m2 * (inverseM * inverseM));
        const float momentumF = static_cast<float>(momentum);
        o.maxMomentumFlux[j] = deep & (momentumF > o.maxMomentumFlux[j]) ? momentumF : o.maxMomentumFlux[j];

        const double partU = u * u * inverseGravityDepth;
        const float partUF = static_cast<float>(partU);
        o.froudeSquaredU[j] = moving & (dMF > depthLimit) & (partUF > o.froudeSquaredU[j]) ? partUF : o.froudeSquaredU[j];
        const double partV = v * v * inverseGravityDepth;
        const float partVF = static_cast<float>(partV);
        o.froudeSquaredV[j] = moving & (dNF > depthLimit) & (partVF > o.froudeSquaredV[j]) ? partVF : o.froudeSquaredV[j];

        o.maxFluxN[j] = moving & (nNext > o.maxFluxN[j]) ? nNext : o.maxFluxN[j];
        o.maxFluxM[j] = moving & (mNext > o.maxFluxM[j]) ? mNext : o.maxFluxM[j];
        const float discharge = static_cast<float>(std::sqrt(n2 + m2));
        o.maxDischargeFlux[j] = moving & (discharge > o.maxDischargeFlux[j]) ? discharge : o.maxDischargeFlux[j];
    }
}

// Directions of the current (overwritten every step) and of the discharge (a maximum), where N is
// not 0, from atan(|M| / |N|) rounded to float, all in selects.
template <bool Spherical>
void DirectionLoop(const Column& column, int lo, int hi) {
    const Column o = column;
    const float* m = o.fluxMNext;
    const float* n = o.fluxNNext;
    float* currentAngle = o.maxCurrentAngle;
    float* dischargeAngle = o.maxDischargeFluxAngle;
    const float definedLimit = FloatAtMost(Spherical ? 1e-5 : 0.001);
#pragma omp simd
    for (int j = lo; j <= hi; ++j) {
        const bool moving = n[j] != 0.0f;
        const float atanRatio = cells::ArcTangent(moving ? std::fabs(m[j]) : 0.0f, moving ? std::fabs(n[j]) : 1.0f);
        const float current = cells::CurrentAngle(atanRatio, m[j], n[j]);
        const bool defined = moving & (std::fabs(n[j]) > definedLimit);
        currentAngle[j] = defined ? current : currentAngle[j];
        const float angle = cells::DischargeAngle(atanRatio, m[j], n[j]);
        dischargeAngle[j] = moving & (angle > dischargeAngle[j]) ? angle : dischargeAngle[j];
    }
}

template <bool Spherical>
void AllMaxima(const Column& o, const Scalars& s, int lo, int hi) {
    if (s.cellFieldFromFile) {
        Loop<Spherical, true>(o, s, lo, hi);
    } else {
        Loop<Spherical, false>(o, s, lo, hi);
    }
    DirectionLoop<Spherical>(o, lo, hi);
}

}  // namespace

#ifdef VESTRA_MAXIMA_AVX2
template <bool Spherical>
void UpdateAvx2(const Column& o, const Scalars& s, int lo, int hi) {
    AllMaxima<Spherical>(o, s, lo, hi);
}
template void UpdateAvx2<true>(const Column&, const Scalars&, int, int);
template void UpdateAvx2<false>(const Column&, const Scalars&, int, int);
#else
namespace {

template <bool Spherical>
void Update(const Column& o, const Scalars& s, int lo, int hi, bool allowVector) {
#if defined(VESTRA_HAVE_AVX2_MAXIMA)
    if (allowVector && VectorLoopAvailable()) {
        UpdateAvx2<Spherical>(o, s, lo, hi);
        return;
    }
#endif
    (void)allowVector;
    AllMaxima<Spherical>(o, s, lo, hi);
}

}  // namespace

bool VectorLoopAvailable() {
#if defined(VESTRA_HAVE_AVX2_MAXIMA)
    return cells::ProcessorHasAvx2();
#else
    return false;
#endif
}

void UpdateSpherical(const Column& o, const Scalars& s, int lo, int hi, bool allowVector) {
    Update<true>(o, s, lo, hi, allowVector);
}
void UpdateCartesian(const Column& o, const Scalars& s, int lo, int hi, bool allowVector) {
    Update<false>(o, s, lo, hi, allowVector);
}
#endif

}  // namespace maxima
