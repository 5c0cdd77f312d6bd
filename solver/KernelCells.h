#pragma once
// Arithmetic of one cell or face, shared by the kernels and testable on its own.
// Fields are single precision; every function computes in double from widened floats.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>

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

// Manning power D^kFrictionExponent of a positive depth, in arithmetic only (no library call), so
// that the wet-cell loop computes it in vector lanes and every loop gets the same bits for a depth.
// The exponent is 7/3 - 1e-6/3: D^(7/3) = D^3 r^2 with r = D^(-1/3) from four Newton steps
// (a guess from a third of the float's bits, 3.9 % off, then 3e-3, 2e-5, 7e-10, rounding),
// times D^(-1e-6/3) = exp(x), x = (kFrictionExponent - 7/3) ln D, from three terms of its series;
// ln D needs only 1e-9 here, from the float exponent and a series in (m - 1) / (m + 1). Within
// 4e-15 of pow for depths of 1e-7 to 1e5 m (tests/test_kernels.cpp); the depth must be positive
// and below 1e30 m (the float guess).
inline double ManningPower(double depth) {
    const float guessOf = static_cast<float>(depth);
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(guessOf);
    double r = std::bit_cast<float>(0x54a2fa8cu - bits / 3u);
    for (int k = 0; k < 4; ++k) r = r * (4.0 - depth * r * r * r) * (1.0 / 3.0);
    const double cubeRootPower = depth * depth * (depth * r * r);

    // ln D = e ln 2 + ln m, m = D / 2^e in [sqrt(1/2), sqrt(2)) (up to the guess's rounding).
    int exponent = static_cast<int>(bits >> 23) - 127;
    double m = depth * static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(127 - exponent) << 23));
    const bool high = m > 1.4142135623730951;
    m = high ? m * 0.5 : m;
    exponent = high ? exponent + 1 : exponent;
    const double t = (m - 1.0) / (m + 1.0), t2 = t * t;
    const double series = 1.0 + t2 * (1.0 / 3 + t2 * (1.0 / 5 + t2 * (1.0 / 7 + t2 * (1.0 / 9 + t2 * (1.0 / 11)))));
    const double logDepth = exponent * 0.69314718055994531 + 2.0 * t * series;
    const double x = (kFrictionExponent - 7.0 / 3.0) * logDepth;
    return cubeRootPower * (1.0 + x * (1.0 + x * (0.5 + x * (1.0 / 6.0))));
}

// Manning friction factor F of a face, for the semi-implicit update q' = ((1 - F) q - ...) / (1 + F):
// F = K |q| / D^(7/3) with K = g dt n^2 / 2. Zero when n = 0 or the face is still, without the power.
inline double FrictionFactor(double k, double along, double across, double fluxDepth, double depthFloor) {
    if (k == 0.0 || (along == 0.0 && across == 0.0)) return 0.0;
    return k * std::sqrt(across * across + along * along) / ManningPower(std::max(fluxDepth, depthFloor));
}

inline double ClampFlux(double flux, double limit) { return std::clamp(flux, -limit, limit); }

// atan(a / b) of non-negative a and b (not both 0), rounded to float, in arithmetic only so that
// it runs in vector lanes, with one division: a > b folds to pi/2 - atan(b / a); then
// atan(x) = atan(c) + atan((x - c) / (1 + x c)) with c = 0, tan(pi/8) or 1 leaves
// |y| <= tan(pi/16). y and the sums are taken in double; the series' tail after y (at most
// y^3 / 3, five terms, within 2e-10 of the exact tail) in single precision, whose rounding stays
// below 1e-10 of the result. The result is within one unit in the last place of the correctly
// rounded atan, and equal to it but for under one in a thousand.
inline float ArcTangent(float a, float b) {
    const bool folded = a > b;
    const double p = folded ? b : a, q = folded ? a : b;  // atan(p / q), p <= q
    constexpr double kTanSixteenth = 0.19891236737965800691, kTanThreeSixteenths = 0.66817863791929891999;
    constexpr double kTanEighth = 0.41421356237309504880, kEighth = 0.39269908169872415481;
    const bool middle = p > kTanSixteenth * q, top = p > kTanThreeSixteenths * q;
    const double c = top ? 1.0 : middle ? kTanEighth : 0.0;
    const double base = top ? 2.0 * kEighth : middle ? kEighth : 0.0;
    const double y = (p - c * q) / (q + c * p);
    const float yF = static_cast<float>(y), y2 = yF * yF;
    const float tail = yF * y2 * (-1.0f / 3 + y2 * (1.0f / 5 - y2 * (1.0f / 7 - y2 * (1.0f / 9))));
    const double angle = base + (y + static_cast<double>(tail));
    return static_cast<float>(folded ? 4.0 * kEighth - angle : angle);
}

// Direction of a current in degrees from atan(|M| / |N|), offset by quadrant. The offset is a
// select (the signs of M and N change from cell to cell); adding 0 leaves a (never -0) as it is.
inline float CurrentAngle(float absRatioAtan, float m, float n) {
    const double a = static_cast<double>(absRatioAtan) * (180.0 / std::numbers::pi);
    const double offset = m < 0.0f ? (n > 0.0f ? 90.0 : n < 0.0f ? 180.0 : 0.0) : (m > 0.0f && n < 0.0f ? 270.0 : 0.0);
    return static_cast<float>(a + offset);
}

// Direction of a discharge in degrees, with the coarser degree factor 57.31.
inline float DischargeAngle(float absRatioAtan, float m, float n) {
    const double quadrant = m < 0.0f ? (n > 0.0f ? 90.0 : n < 0.0f ? 180.0 : 0.0) : (m > 0.0f && n < 0.0f ? 270.0 : 0.0);
    return static_cast<float>(static_cast<double>(absRatioAtan) * 57.31 + quadrant);
}

}  // namespace cells
