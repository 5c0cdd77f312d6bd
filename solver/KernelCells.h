#pragma once
// Arithmetic of one cell or face, shared by the kernels and testable on its own.
// Fields are single precision; every function computes in double from widened floats.
#include <algorithm>
#include <cmath>
#if defined(VESTRA_HAVE_LIBMVEC)
#include <emmintrin.h>
// glibc's vector maths library: pow of two lanes, callable from baseline x86-64 code.
extern "C" __m128d _ZGVbN2vv_pow(__m128d, __m128d);
#endif

namespace cells {

inline constexpr double kGravity = static_cast<double>(9.80665f);  // equations of motion, m/s^2
inline constexpr double kGravityDerived = 9.8;                     // Froude numbers and drag only
inline constexpr double kEpsilon = static_cast<double>(1e-5f);     // dry threshold and face-depth floor, m
inline constexpr double kFrictionExponent = 2.333333;              // Manning depth exponent (about 7/3)
inline constexpr float kCappedValue = 99999.0f;                    // ceiling of stored Froude values

// A wave has arrived at a cell once its level moves by more than this (m).
inline constexpr double ArrivalThreshold(bool spherical) { return spherical ? 0.005 : 0.05; }

// Face depth from the total depths at both time levels of the two cells beside the face;
// a face shallower than kEpsilon counts as dry (0).
inline float FaceAverageDepth(float depthA, float depthNextA, float depthNextB, float depthB) {
    const double d = 0.25 * (static_cast<double>(depthA) + depthNextA + depthNextB + depthB);
    return d < kEpsilon ? 0.0f : static_cast<float>(d);
}

// Depth of water that a face carries between cell a (west or south) and cell b (east or north),
// from their new total depths D, still-water depths h and water levels eta. Both cells wet: the
// mean. One cell dry: the water of the wet cell above the dry cell's bed (the wet level plus the
// dry still-water depth), provided it stands above that bed. Returns -1 when the face carries no water.
inline double FaceFluxDepth(double totalA, double totalB, double depthA, double depthB, double etaA, double etaB) {
    if (totalA > 0.0 && totalB > 0.0) return (totalA + totalB) / 2.0;
    if (totalB > 0.0 && depthA + etaB > 0.0) return depthA + etaB;
    if (totalA > 0.0 && etaA + depthB > 0.0) return etaA + depthB;
    return -1.0;
}

// Velocities of films thinner than this are taken over this depth at a runup front (m): a flux of
// 1e-4 m^2/s in a 20 µm film reads as 5 m/s, which would throw its water metres uphill.
inline constexpr double kFrontVelocityDepth = 0.01;

// Depth of water a face at a wet/dry front carries while the water of its wet cell runs towards the
// dry one, from levelDepth (FaceFluxDepth's answer for the face), the wet cell's level etaWet, the
// dry cell's still-water depth depthDry, and the flux and depth of the wet cell's far face (the face
// the water comes in by; flux positive towards the dry cell). Water moving uphill at u climbs a
// further u^2 / (2g): the face opens once the wet level plus that velocity head stands above the
// dry cell's bed and carries the excess, the depth of the flow over the bed there. u is the flux
// over the far face's depth, that depth taken as at least velocityDepth, and at most
// velocityLimit. Where the water does not run towards the dry cell, levelDepth.
inline double FrontHeadDepth(double levelDepth, double etaWet, double depthDry, double flux, double farDepth,
                             double velocityDepth, double velocityLimit) {
    if (!(flux > 0.0) || !(farDepth > 0.0)) return levelDepth;
    const double u = std::min(flux / std::max(farDepth, velocityDepth), velocityLimit);
    const double excess = etaWet + u * u / (2.0 * kGravity) + depthDry;
    return excess > 0.0 ? std::max(levelDepth, excess) : levelDepth;
}

// Manning powers D^kFrictionExponent of two depths in one call; a value that is not positive is
// left as it is. Every friction factor takes its power from here, so that a depth gets the same
// bits whichever loop computes its cell and however the rows are split between threads. With
// glibc's vector library, its two-lane pow (about 14 % cheaper a value than std::pow; a lane's
// result does not depend on the other lane); elsewhere std::pow.
inline void ManningPowers(double& a, double& b) {
#if defined(VESTRA_HAVE_LIBMVEC)
    const bool takeA = a > 0.0, takeB = b > 0.0;
    if (!takeA && !takeB) return;
    const __m128d p = _ZGVbN2vv_pow(_mm_set_pd(takeB ? b : 1.0, takeA ? a : 1.0), _mm_set1_pd(kFrictionExponent));
    if (takeA) a = _mm_cvtsd_f64(p);
    if (takeB) b = _mm_cvtsd_f64(_mm_unpackhi_pd(p, p));
#else
    if (a > 0.0) a = std::pow(a, kFrictionExponent);
    if (b > 0.0) b = std::pow(b, kFrictionExponent);
#endif
}

// The Manning power of one positive depth (both lanes the same depth).
inline double ManningPower(double depth) {
    double a = depth, b = depth;
    ManningPowers(a, b);
    return a;
}

// Manning friction factor F of a face, for the semi-implicit update q' = ((1 - F) q - ...) / (1 + F):
// F = K |q| / D^(7/3) with K = g dt n^2 / 2. Zero when n = 0 or the face is still, without the power.
// In two steps, so that a caller can take the powers of two faces in one call: the depth whose
// power is needed (0 where none is), then the factor from that power.
inline double FrictionPowerArgument(double k, double along, double across, double fluxDepth, double depthFloor) {
    return k == 0.0 || (along == 0.0 && across == 0.0) ? 0.0 : std::max(fluxDepth, depthFloor);
}
inline double FrictionFromPower(double k, double along, double across, double power) {
    return power > 0.0 ? k * std::sqrt(across * across + along * along) / power : 0.0;
}
inline double FrictionFactor(double k, double along, double across, double fluxDepth, double depthFloor) {
    const double argument = FrictionPowerArgument(k, along, across, fluxDepth, depthFloor);
    return argument > 0.0 ? FrictionFromPower(k, along, across, ManningPower(argument)) : 0.0;
}

inline double ClampFlux(double flux, double limit) { return std::clamp(flux, -limit, limit); }

// Direction of a current in degrees from atan(|M| / |N|), offset by quadrant. The offset is a
// select (the signs of M and N change from cell to cell); adding 0 leaves a (never -0) as it is.
inline float CurrentAngle(float absRatioAtan, float m, float n) {
    const double a = static_cast<double>(absRatioAtan) * 180.0 / std::acos(-1.0);
    const double offset = m < 0.0f ? (n > 0.0f ? 90.0 : n < 0.0f ? 180.0 : 0.0) : (m > 0.0f && n < 0.0f ? 270.0 : 0.0);
    return static_cast<float>(a + offset);
}

// Direction of a discharge in degrees, with the coarser degree factor 57.31.
inline float DischargeAngle(float absRatioAtan, float m, float n) {
    const double quadrant = m < 0.0f ? (n > 0.0f ? 90.0 : n < 0.0f ? 180.0 : 0.0) : (m > 0.0f && n < 0.0f ? 270.0 : 0.0);
    return static_cast<float>(static_cast<double>(absRatioAtan) * 57.31 + quadrant);
}

}  // namespace cells
