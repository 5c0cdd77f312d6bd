// The loop of MomentumWet.h. This file is compiled twice: as it is (the baseline build, with the
// dispatch) and, through MomentumWetAvx2.cpp, for AVX2 with VESTRA_WETFLUX_AVX2 defined.
//
// For a wholly wet cell the general update (Momentum.cpp) takes, at every branch, the two-sided
// form of each term, so here each upwind choice is a select between two values that are both
// worked out. The general update skips the advection and Coriolis terms of still water; here they
// are added, but they are then exact zeros of either sign, which leave a non-zero flux as it is
// and a zero one below the flux cut, where it becomes +0 in both (hence a cut above 0).
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "ProcessorFeatures.h"
#include "KernelCells.h"
#include "MomentumWet.h"

namespace wetflux {

template <bool Spherical, bool Coriolis>
void FluxesAvx2(const Column& c, const Scalars& s, int lo, int count, Scratch& scratch);

namespace {

using cells::kEpsilon;

inline double Square(double x) { return x * x; }

// cells::FaceAverageDepth, widened: 0 where the face is dry.
inline double FaceDepth(float a, float aNext, float bNext, float b) {
    const double d = 0.25 * (static_cast<double>(a) + aNext + bNext + b);
    return d < kEpsilon ? 0.0 : static_cast<double>(static_cast<float>(d));
}

inline double Clamp(double v, double limit) { return v < -limit ? -limit : (limit < v ? limit : v); }

// The argument of the Manning power where the friction factor is not zero, else 0.
inline double PowerArgument(double k, double along, double across, double fluxDepth, const Scalars& s) {
    const bool needed = (k != 0.0) & ((along != 0.0) | (across != 0.0));
    const double floored = fluxDepth < s.frictionFloor ? s.frictionFloor : fluxDepth;
    return needed ? floored : 0.0;
}

template <bool Spherical, bool Coriolis>
void Loop(const Column& column, const Scalars& scalars, int lo, int count, Scratch& scratch) {
    const Column c = column;  // a local copy: its pointers stay in registers through the loops
    const Scalars s = scalars;
    const float* tn0 = c.totalNext[2];
    const float* tn1 = c.totalNext[3];
    const float* tn2 = c.totalNext[4];
    const float* tnW = c.totalNext[1];
    const float* tnW2 = c.totalNext[0];
    const float* t0 = c.total[2];
    const float* t1 = c.total[3];
    const float* t2 = c.total[4];
    const float* tW = c.total[1];
    const float* m0 = c.fluxM[2];
    const float* m1 = c.fluxM[3];
    const float* mW = c.fluxM[1];
    const float* mW2 = c.fluxM[0];
    const float* n0 = c.fluxN[2];
    const float* n1 = c.fluxN[3];
    const float* nW = c.fluxN[1];
    double* powerM = scratch.powerM - lo;
    double* powerN = scratch.powerN - lo;
    std::int64_t* general = scratch.general - lo;
    const int hi = lo + count - 1;
    // Without the option every depth allows the nonlinear terms (an infinite depth goes to the
    // general update, which is never wrong).
    const double optionLimit = s.optionEnabled ? s.optionValue : HUGE_VAL;

    // Which cells the loop takes: the whole stencil wet, that is every total depth the two fluxes
    // read, at both time levels where they read the eight neighbouring faces (four depths of at
    // least kEpsilon make a face of at least kEpsilon), and both own faces; land not cut off. In
    // single precision (kEpsilon is a float), 1 or 0.
    constexpr float kEpsilonF = static_cast<float>(kEpsilon);
    float* wetDepths = scratch.wetDepths - lo;
#pragma omp simd
    for (int j = lo; j <= hi; ++j) {
        float wet = 1.0f;
        const auto atLeast = [&wet](float x) { wet = x >= kEpsilonF ? wet : 0.0f; };
        atLeast(tn0[j - 2]);
        atLeast(tn0[j - 1]);
        atLeast(tn0[j]);
        atLeast(tn0[j + 1]);
        atLeast(tn0[j + 2]);
        atLeast(tn1[j - 2]);
        atLeast(tn1[j - 1]);
        atLeast(tn1[j]);
        atLeast(tn1[j + 1]);
        atLeast(tn1[j + 2]);
        atLeast(tn2[j]);
        atLeast(tn2[j + 1]);
        atLeast(tnW[j]);
        atLeast(tnW[j + 1]);
        atLeast(tnW2[j]);
        atLeast(tnW2[j + 1]);
        atLeast(t0[j - 1]);
        atLeast(t0[j]);
        atLeast(t0[j + 1]);
        atLeast(t0[j + 2]);
        atLeast(t1[j - 1]);
        atLeast(t1[j]);
        atLeast(t1[j + 1]);
        atLeast(t2[j]);
        atLeast(tW[j]);
        atLeast(tW[j + 1]);
        atLeast(c.totalDepthM[j]);
        atLeast(c.totalDepthN[j]);
        if constexpr (Spherical) {
            wetDepths[j] = c.depth[j] < s.landCutoff ? 0.0f : wet;
        } else {
            // The x-faces of the neighbours as stored (a Cartesian sweep does not write them).
            atLeast(c.faceMEast[j]);
            atLeast(c.faceMWest[j]);
            atLeast(c.totalDepthM[j - 1]);
            atLeast(c.totalDepthM[j + 1]);
            wetDepths[j] = wet;
        }
    }

    // What a row's neighbours read of it: the mean y-flux around its east face (the upwind
    // choice of M N / D) and its x- and y-face depths (the upwind depths). On Cartesian levels
    // the x-face depths are the stored ones (the sweep does not write them); on spherical levels
    // the sweep overwrites them with flux depths, so they are worked out again.
    double* nBars = scratch.nBar - (lo - 1);
    double* facesM = scratch.faceM - (lo - 1);
    double* facesN = scratch.faceN - (lo - 1);
#pragma omp simd
    for (int j = lo - 1; j <= hi + 1; ++j) {
        nBars[j] = 0.25 * (static_cast<double>(n1[j]) + n0[j] + n0[j - 1] + n1[j - 1]);
        facesM[j] = Spherical ? FaceDepth(t0[j], tn0[j], tn1[j], t1[j]) : c.totalDepthM[j];
        facesN[j] = FaceDepth(t0[j], tn0[j], tn0[j + 1], t0[j + 1]);
    }

    // Further, both flux depths deep enough and the nonlinear terms allowed; the arguments of the
    // Manning powers of the cells taken.
#pragma omp simd
    for (int j = lo; j <= hi; ++j) {
        const double h = c.depth[j];
        const double fdM = (static_cast<double>(tn0[j]) + tn1[j]) / 2.0;
        const double fdN = (static_cast<double>(tn0[j]) + tn0[j + 1]) / 2.0;
        double wet = wetDepths[j];
        wet = (Spherical ? fdM >= s.flowDepthLimit : fdM > kEpsilon) ? wet : 0.0;
        wet = fdN >= s.flowDepthLimit ? wet : 0.0;
        wet = std::fabs(h) < optionLimit ? wet : 0.0;
        general[j] = wet != 0.0 ? 0 : 1;

        const double k = s.frictionBase * c.manning[j] * c.manning[j];
        const double nBar = nBars[j];
        const double mBar = 0.25 * (static_cast<double>(m0[j]) + m0[j + 1] + mW[j] + mW[j + 1]);
        const double argumentM = wet != 0.0 ? PowerArgument(k, m0[j], nBar, fdM, s) : 0.0;
        const double argumentN = wet != 0.0 ? PowerArgument(k, n0[j], mBar, fdN, s) : 0.0;
        // The powers in vector lanes (1 stands in where there is none, then 0 is kept).
        const double powerOfM = cells::ManningPower(argumentM > 0.0 ? argumentM : 1.0);
        const double powerOfN = cells::ManningPower(argumentN > 0.0 ? argumentN : 1.0);
        powerM[j] = argumentM > 0.0 ? powerOfM : argumentM;
        powerN[j] = argumentN > 0.0 ? powerOfN : argumentN;
    }

    // x-flux on the east face. Each upwind choice selects its operands before the one division,
    // as the general update computes only the branch it takes.
#pragma omp simd
    for (int j = lo; j <= hi; ++j) {
        const bool wet = general[j] == 0;
        const double k = s.frictionBase * c.manning[j] * c.manning[j];
        const double cosJ = Spherical ? static_cast<double>(c.cosLatitude[j]) : 1.0;
        const double a = Spherical ? s.factor * c.metricX[j] : s.advection;
        const double own = c.totalDepthM[j];
        const double fd = (static_cast<double>(tn0[j]) + tn1[j]) / 2.0;
        const double m = m0[j];
        const double nBar = nBars[j];
        const double friction = powerM[j] > 0.0 ? k * std::sqrt(nBar * nBar + m * m) / powerM[j] : 0.0;
        const double pressure = Spherical ? s.factor * c.gravityMetricX[j] : s.pressure;
        double flux = (1.0 - friction) * m - pressure * fd * (static_cast<double>(c.eta1[j]) - c.eta0[j]);
        // d(M^2/D)/dx, upwind on M.
        const double self = m * m / own;
        const bool fromEast = m <= 0.0;
        const double mEast = m1[j], mWest = mW[j];
        const double faceEast = Spherical ? FaceDepth(t1[j], tn1[j], tn2[j], t2[j]) : c.faceMEast[j];
        const double faceWest = Spherical ? FaceDepth(tW[j], tnW[j], tn0[j], t0[j]) : c.faceMWest[j];
        const double up = Square(fromEast ? mEast : mWest) / (fromEast ? faceEast : faceWest);
        flux -= a * (fromEast ? up - self : self - up);
        // d(M N/D)/dy, upwind on the mean N around the face.
        const double across = cosJ * m * nBar / own;
        const bool fromSouth = nBar > 0.0;
        const double nSouth = nBars[j - 1];
        const double nNorth = nBars[j + 1];
        const double cosSouth = Spherical ? static_cast<double>(c.cosLatitude[j - 1]) : 1.0;
        const double cosNorth = Spherical ? static_cast<double>(c.cosLatitude[j + 1]) : 1.0;
        const double mSouth = m0[j - 1], mNorth = m0[j + 1];
        const double cosUp = fromSouth ? cosSouth : cosNorth;
        const double mUp = fromSouth ? mSouth : mNorth;
        const double faceUp = fromSouth ? facesM[j - 1] : facesM[j + 1];
        const double upwind = cosUp * mUp * (fromSouth ? nSouth : nNorth) / faceUp;
        flux -= a * (fromSouth ? across - upwind : upwind - across);
        if constexpr (Coriolis) {
            flux += s.factor * c.coriolisCentre[j] * (static_cast<double>(n0[j]) + n1[j] + n0[j - 1] + n1[j - 1]);
        }
        flux /= 1.0 + friction;
        flux = std::fabs(flux) < s.fluxCutM ? 0.0 : flux;
        c.fluxMNext[j] = static_cast<float>(Clamp(flux, s.velocityLimitM * fd));
        // Cells left to the general update keep their face depths: it reads them. (A Cartesian
        // sweep keeps every x-face depth.)
        if constexpr (Spherical) c.totalDepthM[j] = wet ? static_cast<float>(fd) : c.totalDepthM[j];
    }

    // y-flux on the north face.
#pragma omp simd
    for (int j = lo; j <= hi; ++j) {
        const bool wet = general[j] == 0;
        const double k = s.frictionBase * c.manning[j] * c.manning[j];
        const double cosJ = Spherical ? static_cast<double>(c.cosLatitude[j]) : 1.0;
        const double a = Spherical ? s.factor * c.metricX[j] : s.advection;
        const double own = c.totalDepthN[j];
        const double fd = (static_cast<double>(tn0[j]) + tn0[j + 1]) / 2.0;
        const double n = n0[j];
        const double mBar = 0.25 * (static_cast<double>(m0[j]) + m0[j + 1] + mW[j] + mW[j + 1]);
        const double friction = powerN[j] > 0.0 ? k * std::sqrt(mBar * mBar + n * n) / powerN[j] : 0.0;
        const double pressure = Spherical ? s.factor * c.gravityMetricY[j] : s.pressure;
        double flux = (1.0 - friction) * n - pressure * fd * (static_cast<double>(c.eta0[j + 1]) - c.eta0[j]);
        // d(N^2/D)/dy, upwind on N.
        const double self = cosJ * n * n / own;
        const bool fromNorth = n <= 0.0;
        const double cosSouth = Spherical ? static_cast<double>(c.cosLatitude[j - 1]) : 1.0;
        const double cosNorth = Spherical ? static_cast<double>(c.cosLatitude[j + 1]) : 1.0;
        const double nSouth = n0[j - 1], nNorth = n0[j + 1];
        const double cosUp = fromNorth ? cosNorth : cosSouth;
        const double nUp = fromNorth ? nNorth : nSouth;
        const double faceUp = fromNorth ? facesN[j + 1] : facesN[j - 1];
        const double up = cosUp * Square(nUp) / faceUp;
        flux -= a * (fromNorth ? up - self : self - up);
        // d(M N/D)/dx, upwind on the mean M around the face.
        const double across = n * mBar / own;
        const bool fromEast = mBar <= 0.0;
        const double mEast = 0.25 * (static_cast<double>(m1[j]) + m1[j + 1] + m0[j] + m0[j + 1]);
        const double mWest = 0.25 * (static_cast<double>(mW[j + 1]) + mW[j] + mW2[j] + mW2[j + 1]);
        const double nEast = n1[j], nWest = nW[j];
        const double nSide = fromEast ? nEast : nWest;
        const double faceEast = FaceDepth(t1[j], tn1[j], tn1[j + 1], t1[j + 1]);
        const double faceWest = FaceDepth(tW[j], tnW[j], tnW[j + 1], tW[j + 1]);
        const double faceSide = fromEast ? faceEast : faceWest;
        const double upwind = nSide * (fromEast ? mEast : mWest) / faceSide;
        flux -= a * (fromEast ? upwind - across : across - upwind);
        if constexpr (Coriolis) {
            flux -= s.factor * c.coriolisEdge[j] * (static_cast<double>(m0[j]) + m0[j + 1] + mW[j] + mW[j + 1]);
        }
        flux /= 1.0 + friction;
        flux = std::fabs(flux) < s.fluxCutN ? 0.0 : flux;
        c.fluxNNext[j] = static_cast<float>(Clamp(flux, s.velocityLimit * fd));
        c.totalDepthN[j] = wet ? static_cast<float>(fd) : c.totalDepthN[j];
    }
}

template <bool Spherical, bool Coriolis>
void Run(const Column& c, const Scalars& s, int lo, int count, Scratch& scratch, bool allowVector) {
#if defined(VESTRA_HAVE_AVX2_WETFLUX) && !defined(VESTRA_WETFLUX_AVX2)
    if (allowVector && VectorLoopAvailable()) {
        FluxesAvx2<Spherical, Coriolis>(c, s, lo, count, scratch);
        return;
    }
#endif
    (void)allowVector;
    Loop<Spherical, Coriolis>(c, s, lo, count, scratch);
}

}  // namespace

#ifdef VESTRA_WETFLUX_AVX2
template <bool Spherical, bool Coriolis>
void FluxesAvx2(const Column& c, const Scalars& s, int lo, int count, Scratch& scratch) {
    Loop<Spherical, Coriolis>(c, s, lo, count, scratch);
}
template void FluxesAvx2<true, true>(const Column&, const Scalars&, int, int, Scratch&);
template void FluxesAvx2<true, false>(const Column&, const Scalars&, int, int, Scratch&);
template void FluxesAvx2<false, false>(const Column&, const Scalars&, int, int, Scratch&);
#else
bool VectorLoopAvailable() {
#if defined(VESTRA_HAVE_AVX2_WETFLUX)
    return cells::ProcessorHasAvx2();
#else
    return false;
#endif
}

void Fluxes(const Column& c, const Scalars& s, int lo, int count, Scratch& scratch, bool allowVector) {
    if (!s.spherical) Run<false, false>(c, s, lo, count, scratch, allowVector);
    else if (s.coriolis) Run<true, true>(c, s, lo, count, scratch, allowVector);
    else Run<true, false>(c, s, lo, count, scratch, allowVector);
}
#endif

}  // namespace wetflux
