#pragma once
// Arithmetic of one cell or face, shared by the kernels and testable on its own.
// Fields are single precision; every function computes in double from widened floats.
#include <algorithm>
#include <cmath>

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

// Manning friction factor F of a face, for the semi-implicit update q' = ((1 - F) q - ...) / (1 + F):
// F = K |q| / D^(7/3) with K = g dt n^2 / 2. Zero when n = 0 or the face is still, without the power.
inline double FrictionFactor(double k, double along, double across, double fluxDepth, double depthFloor) {
    if (k == 0.0 || (along == 0.0 && across == 0.0)) return 0.0;
    return k * std::sqrt(across * across + along * along) / std::pow(std::max(fluxDepth, depthFloor), kFrictionExponent);
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
