// The kernels cell by cell: hand-computed cells and faces, one per term, limit and edge rule.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "AbsorbingLayer.h"
#include "KernelCells.h"
#include "KernelFixture.h"
#include "MomentumMaxima.h"
#include "Nesting.h"

namespace {

using namespace fixture;

KernelSettings S(float dt) { return Settings(dt, 2); }

// Cartesian levels and spherical ones of 10 x 10 cells of 1 arc-minute from 140 E, 40 N (60 s steps).
GridLevel Flat(int nx, int ny, double depth, float manning = 0.0f) {
    GridLevel level = CartesianLevel(nx, ny, manning);
    SetDepth(level, [=](int, int) { return depth; });
    return level;
}
GridLevel Sphere(double depth = 10.0, int n = 10) {
    GridLevel level = SphericalLevel(n, n, 140.0, 40.0, 1.0, 60.0, 0.0f, n < 10);
    SetDepth(level, [=](int, int) { return depth; });
    return level;
}

TEST(Continuity, CartesianCellsFollowTheFluxDivergenceWithinWhatTheyHold) {
    // (4,4) loses 1 at ratio 0.1; (6,6), 5 cm deep, is asked for 10 cm; land (7,7) 0.5 m high gets a trickle.
    GridLevel l = Flat(12, 8, 10.0);
    SetDepth(l, [](int i, int j) { return i == 6 && j == 6 ? 0.05 : i == 7 && j == 7 ? -0.5 : 10.0; });
    SetCells({{l.fluxM, 4, 4, 3}, {l.fluxM, 3, 4, 1}, {l.fluxN, 4, 4, 0.5}, {l.fluxN, 4, 3, 1.5}, {l.fluxM, 6, 6, 1},
              {l.fluxM, 6, 7, 0.01}, {l.eta, 10, 3, 0.7}, {l.fluxM, 10, 3, 50}, {l.fluxM, 9, 3, 50},
              {l.fluxN, 10, 3, -20}, {l.fluxN, 10, 2, -20}, {l.fluxM, 9, 6, 0.4}, {l.fluxM, 10, 7, -0.6}});
    ContinuityCartesian(l, 0.1, 12.5, S(1.0f));
    ExpectCells({{l.etaNext, 4, 4, -0.1}, {l.eta, 4, 4, -0.1}, {l.totalDepth, 4, 4, 9.9}, {l.etaMin, 4, 4, -0.1},
                 {l.etaMax, 4, 4, 0}, {l.firstWaveArrival, 4, 4, 12.5}, {l.etaNext, 5, 4, 0.3}, {l.etaMax, 5, 4, 0.3},
                 {l.timeOfMaxWave, 5, 4, 12.5}, {l.etaNext, 10, 3, 0.7}, {l.totalDepthNext, 10, 3, 10.7},
                 {l.etaMax, 10, 3, 0}, {l.firstWaveArrival, 10, 6, 0}, {l.firstWaveArrival, 10, 7, 12.5},
                 // the drained cell rests on its bed, its neighbour gets only the 5 cm it held
                 {l.totalDepthNext, 6, 6, 0}, {l.eta, 6, 6, -0.05}, {l.etaNext, 7, 6, 0.05},
                 // the 1 mm trickle lands on the ground as water rather than lifting the level to it
                 {l.totalDepthNext, 7, 7, 0.001f}, {l.eta, 7, 7, 0.501f}});
    l.fluxM[10][7] = -2.0f;  // a later, larger wave does not move the arrival stamp
    ContinuityCartesian(l, 0.1, 20.0, S(1.0f));
    ExpectCells({{l.firstWaveArrival, 10, 7, 12.5}, {l.timeOfMaxWave, 10, 7, 20}});
}

TEST(Continuity, AShallowCellSharesItsWaterOutOnAllFourSides) {
    // 5 cm asked for 40 cm (four fluxes of 1 at ratio 0.1): each neighbour gets an eighth of 10 cm,
    // whether it lies east, west, north or south of the cell. The stored fluxes become what was
    // delivered: the neighbour's gain over the ratio. (2,2), 5 cm deep at the first updated column
    // and row, is asked for 20 cm across the faces to the edge cells: a quarter goes each way.
    // With one and two threads, and over a still-water window whose first column and row are the
    // first cell's (its west and south neighbours and (2,2) are then left alone).
    for (int threads : {1, 2}) {
        for (bool window : {false, true}) {
            GridLevel l = Flat(10, 10, 10.0);
            SetDepth(l, [](int i, int j) { return (i == 5 && j == 5) || (i == 2 && j == 2) ? 0.05 : 10.0; });
            SetCells({{l.fluxM, 5, 5, 1}, {l.fluxM, 4, 5, -1}, {l.fluxN, 5, 5, 1}, {l.fluxN, 5, 4, -1},
                      {l.fluxM, 1, 2, -1}, {l.fluxN, 2, 1, -1}, {l.fluxM, 7, 7, 0.5}});
            if (window) l.activeWindow = ActiveWindow{5, 8, 5, 8, 0, true};
            ContinuityCartesian(l, 0.1, 1.0, Settings(1.0f, threads));
            const double gain = l.etaNext[6][5];
            EXPECT_FLOAT_EQ(gain, 0.0125f);
            ExpectCells({{l.etaNext, 4, 5, window ? 0 : gain}, {l.etaNext, 5, 6, gain}, {l.etaNext, 5, 4, window ? 0 : gain},
                         {l.totalDepthNext, 5, 5, 0}, {l.etaNext, 6, 6, 0}, {l.fluxM, 5, 5, gain / 0.1},
                         {l.fluxM, 4, 5, -gain / 0.1}, {l.fluxN, 5, 5, gain / 0.1}, {l.fluxN, 5, 4, -gain / 0.1},
                         {l.totalDepthNext, 2, 2, window ? 0.05 : 0}, {l.fluxM, 1, 2, window ? -1 : -0.25},
                         {l.fluxN, 2, 1, window ? -1 : -0.25},
                         {l.fluxM, 7, 7, 0.5}});
        }
    }
}

TEST(Continuity, SphericalCellsWeighTheMeridionalFluxByLatitude) {
    // A cell of 1 mm that would lose 2 mm; arrival threshold 5 mm: (4,8) rises 4 mm, (8,3) 6 mm.
    GridLevel l = Sphere();
    SetDepth(l, [](int i, int j) { return i == 7 && j == 7 ? 0.001 : 10.0; });
    l.cosLatitude[5] = 0.8f;
    l.cosLatitude[4] = 0.9f;
    SetCells({{l.metricX, 5, 5, 0.01}, {l.fluxM, 5, 5, 3}, {l.fluxM, 4, 5, 1}, {l.fluxN, 5, 5, 0.5},
              {l.fluxN, 5, 4, 1.5}, {l.fluxM, 7, 7, 0.002 / l.metricX[7][7]},
              {l.fluxM, 3, 8, 0.004 / l.metricX[4][8]}, {l.fluxM, 8, 3, -0.006 / l.metricX[8][3]}});
    ContinuitySpherical(l, 1.5, S(10.0f));
    const double expected = -0.01f * ((3.0 - 1.0) + (0.8f * 0.5 - 0.9f * 1.5));  // -0.0105
    ExpectCells({{l.etaNext, 5, 5, expected}, {l.maxFlowDepth, 5, 5, 10.0 + expected}, {l.eta, 5, 5, 0},
                 {l.firstWaveArrival, 5, 5, 1.5}, {l.firstWaveArrival, 4, 8, 0}, {l.firstWaveArrival, 8, 3, 1.5},
                 {l.eta, 7, 7, -0.001}, {l.totalDepthNext, 7, 7, 0}, {l.etaNext, 8, 7, 0.001},
                 // the 1 mm cell delivered half its flux, and that is the flux kept
                 {l.fluxM, 7, 7, 0.001 / l.metricX[7][7]}, {l.fluxM, 5, 5, 3}});
}

TEST(Momentum, CartesianFacesAndDerivedFieldsFromHandComputation) {
    // One cell (5,5) raised 0.1 m in a sea 10 m deep (n = 0.03) flowing east at M = 1 m^2/s; dt 1 s.
    GridLevel l = Flat(10, 10, 10.0, 0.03f);
    l.fluxM.Fill(1.0f);
    SetNewLevel(l, 5, 5, 0.1f);
    const double ratio = 0.01, k = 0.5 * kG * 1.0 * 0.03 * 0.03;
    EXPECT_EQ(MomentumCartesian(l, ratio, 125.0, S(1.0f)), 10.0f);  // the depth reached by the wave
    const double d = (10.1f + 10.0) / 2.0, f = k / std::pow(d, 2.333333), fFar = k / std::pow(10.0, 2.333333);
    // East face: pressure and friction. West face: also the upwind advection of M^2/D from the face
    // with the lower averaged depth (10 m) into the one beside the raised cell (10.025 m).
    const double east = ((1.0 - f) - kG * ratio * d * (0.0 - 0.1f)) / (1.0 + f);
    const double faceOwn = (10.0 + 10.0 + 10.1f + 10.0) / 4.0;
    const double advection = ratio * (1.0 / static_cast<float>(faceOwn) - 1.0 / 10.0);
    const double west = ((1.0 - f) - kG * ratio * d * 0.1f - advection) / (1.0 + f);
    ExpectCells({{l.fluxMNext, 5, 5, east}, {l.fluxMNext, 4, 5, west}, {l.fluxMNext, 8, 8, (1 - fFar) / (1 + fFar)},
                 {l.fluxNNext, 5, 5, (0.0 - kG * ratio * d * (0.0 - 0.1f)) / (1.0 + f)}, {l.totalDepthN, 5, 5, d},
                 {l.totalDepthM, 5, 5, faceOwn}});
    const double m = l.fluxMNext[5][5], n = l.fluxNNext[5][5], dm = l.totalDepthM[5][5], dn = l.totalDepthN[5][5];
    const double u = m / dm, v = n / dn, s2 = u * u + v * v, dc = (dm + dn) / 2, gd = 9.8 * dc, t = 125.0 / 60.0;
    ExpectCells({{l.maxCurrent, 5, 5, std::sqrt(s2)}, {l.flowDepthAtMaxCurrent, 5, 5, dc}, {l.maxFluxM, 5, 5, m},
                 {l.timeOfMaxCurrent, 5, 5, t}, {l.maxFlowDepth, 5, 5, dc}, {l.rouseNumber, 5, 5, 200},
                 {l.maxFroudeSquared, 5, 5, s2 / gd}, {l.currentAtMaxFroudeSquared, 5, 5, std::sqrt(s2)},
                 {l.timeOfMaxFroudeSquared, 5, 5, t}, {l.maxFroude, 5, 5, std::sqrt(s2 / gd)}, {l.maxFluxN, 5, 5, n},
                 {l.maxDragForce, 5, 5, s2 * dc}, {l.froudeSquaredU, 5, 5, u * u / gd},
                 {l.froudeSquaredV, 5, 5, v * v / gd}, {l.maxDischargeFlux, 5, 5, std::hypot(m, n)},
                 {l.maxMomentumFlux, 5, 5, std::sqrt(std::pow(n, 4) / (dn * dn) + std::pow(m, 4) / (dm * dm))}});
    EXPECT_NEAR(l.maxCurrentAngle[5][5], std::atan(m / n) * 180.0 / std::numbers::pi, 1e-4);
    EXPECT_NEAR(l.maxDischargeFluxAngle[5][5], std::atan(m / n) * 57.31, 1e-4);
}

TEST(Momentum, ManningPowerWithinUnitsInTheLastPlace) {
    // Depths log-uniform from 1e-7 m to 1e5 m (the depth floor is 1e-5 m) and powers of two with
    // their neighbours (where the float guess rounds across an exponent) against pow in extended
    // precision, with the exponent exactly as the code writes it.
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> logDepth(std::log(1e-7), std::log(1e5));
    std::vector<double> depths;
    for (int i = 0; i < 200000; ++i) depths.push_back(std::exp(logDepth(random)));
    for (int e = -20; e <= 16; ++e) {
        const double p = std::ldexp(1.0, e);
        depths.insert(depths.end(), {p, std::nextafter(p, 0.0), std::nextafter(p, 1e9), p * 1.4142135623730951});
    }
    const long double exponent = cells::kFrictionExponent;
    double worst = 0.0;
    for (double d : depths) {
        const long double exact = std::pow(static_cast<long double>(d), exponent);
        worst = std::max(worst, static_cast<double>(std::fabs((cells::ManningPower(d) - exact) / exact)));
    }
    EXPECT_LT(worst, 4e-15) << worst;  // about 18 units in the last place; pow of 7/3 would be 1e-6 off
}

TEST(Momentum, ArcTangentWithinAUnitInTheLastPlace) {
    // Quotients log-uniform over 1e-8..1e8 of random floats, the reduction's boundaries with their
    // neighbours, and zero over a flux, against atan in extended precision rounded to float.
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> logRatio(std::log(1e-8), std::log(1e8)), logFlux(std::log(1e-4), std::log(1e3));
    std::vector<std::pair<float, float>> pairs{{0.0f, 1.0f}, {1.0f, 1.0f}, {3e38f, 1e-30f}};
    for (double b : {0.19891236737965800691, 0.66817863791929891999, 1.0, 1.4966057626654890, 5.0273394921233370}) {
        const float f = static_cast<float>(b);
        for (float r : {f, std::nextafter(f, 0.0f), std::nextafter(f, 10.0f)}) pairs.emplace_back(r, 1.0f);
    }
    for (int i = 0; i < 300000; ++i) {
        const double n = std::exp(logFlux(random));
        pairs.emplace_back(static_cast<float>(n * std::exp(logRatio(random))), static_cast<float>(n));
    }
    int off = 0, fartherOff = 0;
    for (auto [a, b] : pairs) {
        const long double exact = std::atan2(static_cast<long double>(a), static_cast<long double>(b));
        const float rounded = static_cast<float>(exact), got = cells::ArcTangent(a, b);
        off += got != rounded;
        fartherOff += got != rounded && got != std::nextafter(rounded, 0.0f) && got != std::nextafter(rounded, 2.0f);
    }
    EXPECT_EQ(fartherOff, 0);
    EXPECT_LT(off, 600) << "of " << pairs.size();  // correctly rounded but for under 2 in 1000
}

TEST(Momentum, LimitsAndCuts) {
    // A 5 m step around (3,5); faces 5 cm deep, below flowDepthLimit, around (7,5); small fluxes everywhere.
    GridLevel sphere = Sphere(), cart = Flat(10, 10, 10.0);
    for (GridLevel* l : {&sphere, &cart}) {
        SetDepth(*l, [](int i, int j) { return i >= 6 && i <= 8 && j >= 4 && j <= 6 ? 0.05 : 10.0; });
        l->fluxM.Fill(5e-5f);
        l->fluxN.Fill(5e-4f);
        SetNewLevel(*l, 3, 5, 5.0f);
        SetNewLevel(*l, 4, 5, -5.0f);
        SetNewLevel(*l, 3, 6, -5.0f);
        SetNewLevel(*l, 7, 5, 0.01f);
    }
    KernelSettings s = S(60.0f);
    s.velocityLimit = 2.0f;
    EXPECT_EQ(MomentumSpherical(sphere, 0.0, s), 10.0f);  // a fall counts as a move
    s.velocityLimit = 100.0f;
    MomentumCartesian(cart, 2.0, 0.0, s);
    // Cartesian x-fluxes are held to 30 m/s x depth when velocityLimit is higher; Cartesian N vanish below 1e-3.
    ExpectCells({{sphere.fluxMNext, 3, 5, 20}, {sphere.fluxNNext, 3, 5, 20}, {cart.fluxMNext, 3, 5, 300},
                 {cart.fluxNNext, 3, 5, 1000}, {sphere.fluxMNext, 7, 5, 0}, {sphere.fluxNNext, 7, 5, 0},
                 {cart.fluxNNext, 7, 5, 0}, {sphere.fluxMNext, 5, 8, 0}, {sphere.fluxNNext, 5, 8, 5e-4},
                 {cart.fluxMNext, 5, 8, 0}, {cart.fluxNNext, 5, 8, 0}});
    EXPECT_TRUE(cart.fluxMNext[7][5] > 0.0f && cart.fluxMNext[6][5] < 0.0f);  // out of the raised cell
    s.velocityLimit = 2.0f;  // a lower velocityLimit holds the Cartesian x-flux too
    MomentumCartesian(cart, 2.0, 0.0, s);
    ExpectCells({{cart.fluxMNext, 3, 5, 20}, {cart.fluxNNext, 3, 5, 20}});
}

TEST(Momentum, CoriolisLandCutoffAndNonlinearDepthGate) {
    // Deep water west of column 6, land higher (8,8) and lower (8,3) than the 40 m cut-off; N = 1.
    GridLevel l = SphericalLevel(10, 10, 140.0, 45.0, 1.0, 60.0, 0.0f, true);
    SetDepth(l, [](int i, int j) { return i != 8 || j % 5 != 3 ? (i <= 5 ? 200.0 : 50.0) : j == 8 ? -50.0 : -30.0; });
    l.fluxN.Fill(1.0f);
    l.fluxMNext.Fill(7.0f);
    l.optionEnabled = 1;
    l.optionValue = 100;
    MomentumSpherical(l, 0.0, S(60.0f));
    ExpectCells({{l.fluxM, 8, 8, 0}, {l.fluxN, 8, 8, 0}, {l.fluxMNext, 8, 8, 0}, {l.fluxNNext, 8, 8, 0},
                 {l.fluxN, 8, 3, 1},                               // below the cut-off: untouched
                 {l.fluxMNext, 7, 5, 4.0f * l.coriolisCentre[5]},  // Omega dt/2 sin(phi) times the four N
                 {l.fluxMNext, 3, 5, 0}, {l.fluxNNext, 3, 5, 1}});  // deeper than optionValue: no Coriolis
}

TEST(Boundary, SphericalEdgesRadiateAcrossTheirOwnCellSize) {
    // c dt / dn (eta inside - eta edge); across the south and north edges dn is R dPhi. (2,7) is dry.
    GridLevel l = Sphere();
    SetDepth(l, [](int i, int j) { return i == 2 && j == 7 ? 0.0 : 10.0; });
    SetCells({{l.eta, 3, 5, 0.2}, {l.eta, 5, 3, 0.2}, {l.eta, 6, 8, 0.2}, {l.eta, 3, 7, 0.2}, {l.etaNext, 1, 7, 0.3}});
    RadiateOpenBoundariesSpherical(l, S(60.0f));
    const double c = std::sqrt(10.0f * kG), west = c * l.metricX[2][5] * 0.2f;
    const double south = c * (static_cast<double>(l.metricX[5][2]) * l.cosLatitude[2]) * 0.2f;
    const double north = c * (static_cast<double>(l.metricX[6][9]) * l.cosLatitude[9]) * 0.2f;
    ExpectCells({{l.etaNext, 2, 5, west}, {l.etaNext, 1, 5, west}, {l.totalDepthNext, 1, 5, 10.0f + west},
                 {l.etaNext, 5, 2, south}, {l.etaNext, 5, 1, south}, {l.etaNext, 6, 9, north},
                 {l.etaNext, 6, 10, north}, {l.etaNext, 2, 7, 0}, {l.etaNext, 1, 7, 0.3}});
}

TEST(Boundary, TinyOrMalformedLevels) {
    // Levels without arrays, without latitude tables or larger than their arrays are left alone.
    for (int n = 1; n <= 4; ++n) {
        GridLevel cart = Flat(n, n, 5.0), sphere = Sphere(5.0, n);  // with Coriolis
        for (GridLevel* level : {&cart, &sphere}) {
            SetLevel(*level, [](int, int) { return 0.5; });
            Step(*level, 1.0, S(1.0f), 0.1);
            EXPECT_TRUE(std::isfinite(level->eta[1][1])) << n;
        }
    }
    GridLevel empty, cartesian = CartesianLevel(6, 6), wrongSize = CartesianLevel(6, 6);
    empty.nx = empty.ny = 10;
    cartesian.gridType = 2;
    wrongSize.nx = 60;
    for (GridLevel* level : {&empty, &cartesian, &wrongSize}) {
        Step(*level, 1.0, S(1.0f), 0.1);
        EXPECT_EQ(level->stepMaximum, 0.0f);
    }
}

// The running maxima give the same bytes in vector registers as in the baseline instruction set:
// random columns with still cells, faces below the depth limits, currents beyond the Froude cap
// and maxima already set, on both grid kinds, with and without a Rouse field from file.
TEST(Momentum, VectorMaximaMatchTheBaselineByteForByte) {
    if (!maxima::VectorLoopAvailable()) GTEST_SKIP() << "no vector loop on this build or processor";
    constexpr int kCells = 203, kFields = 25;
    std::mt19937 random(7);
    auto pick = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(random); };
    std::vector<float> inputs(kFields * kCells);
    for (int f = 0; f < kFields; ++f)
        for (int j = 0; j < kCells; ++j) {
            float& v = inputs[f * kCells + j];
            if (f < 2) v = j % 7 == 0 ? 0.0f : static_cast<float>(pick(-50.0, 50.0));      // fluxes, some still
            else if (f < 4) v = static_cast<float>(j % 11 == 0 ? pick(0.0, 0.06) : pick(0.0, 30.0));  // flux depths
            else if (f == 24) v = static_cast<float>(j % 13 == 0 ? 1e-3 : pick(0.0, 40.0));  // centre depths
            else v = static_cast<float>(pick(0.0, j % 5 == 0 ? 1e6 : 2.0));               // maxima so far
        }
    for (const bool spherical : {false, true})
        for (const bool fromFile : {false, true}) {
            std::vector<float> a = inputs, b = inputs;
            auto column = [&](std::vector<float>& d) {
                float* p[kFields];
                for (int f = 0; f < kFields; ++f) p[f] = d.data() + f * kCells;
                maxima::Column c;
                float** out[] = {&c.fluxMNext, &c.fluxNNext, &c.totalDepthM, &c.totalDepthN, &c.rouseNumber,
                                 &c.maxFlowDepth, &c.maxCurrent, &c.flowDepthAtMaxCurrent, &c.timeOfMaxCurrent,
                                 &c.maxCurrentAngle, &c.maxFroudeSquared, &c.currentAtMaxFroudeSquared,
                                 &c.flowDepthAtMaxFroudeSquared, &c.timeOfMaxFroudeSquared, &c.maxFroude,
                                 &c.maxDragForce, &c.froudeSquaredU, &c.froudeSquaredV, &c.maxFluxM, &c.maxFluxN,
                                 &c.maxDischargeFlux, &c.maxDischargeFluxAngle, &c.maxMomentumFlux};
                for (int f = 0; f < 23; ++f) *out[f] = p[f];
                c.cellField = p[23];
                c.centreDepth = p[24];
                return c;
            };
            const maxima::Scalars s{0.05, 12.5f, fromFile};
            for (const bool vector : {true, false}) {
                std::vector<float>& d = vector ? a : b;
                if (spherical) maxima::UpdateSpherical(column(d), s, 1, kCells - 2, vector);
                else maxima::UpdateCartesian(column(d), s, 1, kCells - 2, vector);
            }
            EXPECT_NE(a, inputs);
            EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0)
                << (spherical ? "spherical" : "Cartesian") << (fromFile ? ", Rouse field from file" : "");
        }
}

// The wet-cell loop of the flux sweep changes no byte: a level stepped with it (baseline and vector
// build, 1 and 2 threads, both grid kinds) matches one stepped with the general per-cell update
// alone, through waves around an island and high land below the cut-off and over a sloping shore,
// still water ahead of the waves, columns longer than one chunk of the loop, friction and
// Coriolis, and the option that keeps the nonlinear terms to shallow water with a cut-off that
// takes wet cells. The mass update runs its own loop alongside (on) or not (off).
TEST(Momentum, WetCellLoopMatchesTheGeneralUpdateByteForByte) {
    struct Case {
        bool spherical;
        int threads, loop;
        bool option;
    };
    for (const Case c : {Case{true, 1, 2, false}, Case{true, 2, 2, false}, Case{true, 1, 1, true},
                         Case{false, 1, 2, false}, Case{false, 2, 1, true}}) {
        auto make = [&] {
            GridLevel l = c.spherical ? SphericalLevel(24, 300, 140.0, -20.0, 1.0, 10.0, 0.025f, true)
                                      : CartesianLevel(24, 300, 0.025f);
            SetDepth(l, [](int i, int j) {
                const bool block = i >= 10 && i <= 13;
                if (block && j >= 60 && j <= 70) return -5.0;   // an island
                if (block && j >= 90 && j <= 100) return -60.0;  // high land: cut off
                return j > 250 ? 60.0 - 3.0 * (j - 250) : 20.0 + 4.0 * i;  // a shore with dry land
            });
            SetLevel(l, [](int i, int j) {
                const int r2 = (i - 12) * (i - 12) + (j - 254) * (j - 254);
                return (j < 120 ? 0.3 * std::cos(0.4 * i) * std::sin(0.3 * j) : 0.0) +
                       (r2 < 100 ? 2.0 * std::exp(-r2 / 20.0) : 0.0);
            });
            l.optionEnabled = c.option ? 1 : 0;
            l.optionValue = 90.0;
            return l;
        };
        KernelSettings general = Settings(10.0f, c.threads);
        if (c.option) general.landCutoffDepth = 45.0f;  // wet cells cut off too (columns 3 to 6)
        KernelSettings wet = general;
        general.wetCellLoop = 0;
        general.wetMassLoop = 0;
        wet.wetCellLoop = c.loop;
        wet.wetMassLoop = c.loop;
        GridLevel a = make(), b = make();
        for (int n = 0; n < 60; ++n) {
            Step(a, 10.0 * n, general, 10.0 / 1850.0);
            Step(b, 10.0 * n, wet, 10.0 / 1850.0);
        }
        const std::string name = (c.spherical ? "spherical" : "Cartesian") + std::string(", threads ") +
                                 std::to_string(c.threads) + ", loop " + std::to_string(c.loop) +
                                 (c.option ? ", option" : "");
        if (!c.option || !c.spherical) {  // (the spherical cut-off takes the shore)
            EXPECT_GT(a.maxCurrent[12][266], 0.0f) << name << ": the wave never reached the shore";
        }
        std::vector<Field*> x = AllFields(a), y = AllFields(b);
        for (std::size_t f = 0; f < x.size(); ++f) EXPECT_TRUE(SameBytes(*x[f], *y[f])) << name << ", field " << f;
    }
}

// The mass update's loop changes no byte: random levels and fluxes (zeros of both signs, still
// stretches where inflow equals outflow), with shallow cells whose outflow the limit scales down,
// a neighbour of such a cell, dry land and extremes already set, two updates in a row on both grid
// kinds, 1 and 2 threads, baseline and vector build, a nested level's inset, compared with the
// per-cell update alone.
TEST(Continuity, WetCellLoopMatchesThePerCellUpdateByteForByte) {
    struct Case {
        bool spherical;
        int threads, loop, ring;
    };
    for (const Case c : {Case{true, 1, 2, 0}, Case{true, 2, 1, 0}, Case{false, 1, 1, 0}, Case{false, 2, 2, 0},
                         Case{true, 2, 2, 2}}) {
        auto make = [&] {
            GridLevel l = c.spherical ? SphericalLevel(20, 600, 140.0, -20.0, 1.0, 10.0) : CartesianLevel(20, 600);
            std::mt19937 random(7);
            std::uniform_real_distribution<double> u(0.0, 1.0);
            for (int i = 1; i <= l.nx; ++i) {
                for (int j = 1; j <= l.ny; ++j) {
                    const double kind = u(random);
                    const double h = kind < 0.8 ? 5.0 + 45.0 * u(random) : kind < 0.9 ? 0.001 + 0.1 * u(random) : -2.0 * u(random);
                    l.depth[i][j] = static_cast<float>(h);
                    const double e = h > 1.0 ? 0.5 * u(random) - 0.25 : h > 0.0 ? 0.0 : -h + 0.01 * (u(random) < 0.5);
                    l.eta[i][j] = l.etaNext[i][j] = static_cast<float>(e);
                    l.totalDepth[i][j] = l.totalDepthNext[i][j] = static_cast<float>(std::max(0.0, h + e));
                    const bool still = j >= 99 && j < 140;
                    for (Field* flux : {&l.fluxM, &l.fluxN}) {
                        const double f = u(random);
                        (*flux)[i][j] = still ? (flux == &l.fluxM ? 1.5f : f < 0.5 ? 0.0f : -0.0f)
                                              : f < 0.15 ? 0.0f : f < 0.3 ? -0.0f : static_cast<float>(6.0 * f - 3.9);
                    }
                    l.etaMax[i][j] = static_cast<float>(0.2 * u(random));
                    l.etaMin[i][j] = static_cast<float>(-0.2 * u(random));
                    l.maxFlowDepth[i][j] = static_cast<float>(30.0 * u(random));
                    l.firstWaveArrival[i][j] = u(random) < 0.5 ? 0.0f : 3.0f;
                }
            }
            return l;
        };
        KernelSettings perCell = Settings(10.0f, c.threads);
        perCell.parentRing = c.ring;
        perCell.wetMassLoop = 0;
        KernelSettings loop = perCell;
        loop.wetMassLoop = c.loop;
        GridLevel a = make(), b = make(), before = make();
        for (const double minutes : {4.0, 4.5}) {
            for (auto& [level, s] : {std::pair<GridLevel&, KernelSettings&>{a, perCell}, {b, loop}}) {
                if (c.spherical) ContinuitySpherical(level, minutes, s);
                else ContinuityCartesian(level, 10.0 / 1850.0, minutes, s);
            }
        }
        const std::string name = std::string(c.spherical ? "spherical" : "Cartesian") + ", threads " +
                                 std::to_string(c.threads) + ", loop " + std::to_string(c.loop);
        EXPECT_FALSE(SameBytes(a.fluxM, before.fluxM)) << name << ": no outflow was limited";
        std::vector<Field*> x = AllFields(a), y = AllFields(b);
        for (std::size_t f = 0; f < x.size(); ++f) EXPECT_TRUE(SameBytes(*x[f], *y[f])) << name << ", field " << f;
    }
}

// Still-water skipping changes no byte: a level stepped with its active window tracked matches one
// stepped whole, on both grid kinds, team sizes and edge kinds, through a wave that starts by the
// west or the east edge over a bay with a dry shore, still water with a level of its own below the
// flux cut, friction and Coriolis, and a bump put in from outside half-way (which the skipping
// level is told of with ResetActiveRegions).
TEST(ActiveWindow, SkippingStillWaterChangesNoByte) {
    struct Case {
        bool spherical;
        int threads, centre, layerCells;
    };
    for (const Case c : {Case{false, 1, 12, 0}, Case{false, 2, 57, 0}, Case{true, 1, 12, 0}, Case{true, 2, 57, 0},
                         Case{true, 1, 57, 6}, Case{false, 2, 12, 6}}) {
        auto make = [&] {
            GridLevel l = c.spherical ? SphericalLevel(70, 60, 140.0, 30.0, 1.0, 2.0, 0.025f, true)
                                      : CartesianLevel(70, 60, 0.025f);
            SetDepth(l, [](int i, int j) { return i > 55 && j > 40 ? 3.0 - 0.5 * (i - 55) : 200.0; });
            SetLevel(l, [&](int i, int j) {
                const int r2 = (i - c.centre) * (i - c.centre) + (j - 12) * (j - 12);
                return r2 < 36 ? 2.0 * std::exp(-r2 / 8.0) : i > 45 && i < 60 && j > 30 && j < 50 ? 1e-6 : 0.0;
            });
            if (c.layerCells > 0) {
                l.absorbingLayer = true;
                l.layerCells = c.layerCells;
                for (Field* f : {&l.layerEtaX, &l.layerEtaY}) {
                    f->Allocate(l.nx, l.ny);
                    f->Fill(0.0f);
                }
            }
            return l;
        };
        const KernelSettings s = Settings(2.0f, c.threads);
        const double ratio = 2.0 / 1800.0;
        auto step = [&](GridLevel& l, double t) {  // as the step driver runs a level
            if (c.spherical) ContinuitySpherical(l, t / 60.0, s);
            else ContinuityCartesian(l, ratio, t / 60.0, s);
            AbsorbingLayerMass(l, ratio, s);
            l.stepMaximum = c.spherical ? MomentumSpherical(l, std::trunc(t), s)
                                        : MomentumCartesian(l, ratio, std::trunc(t), s);
            AbsorbingLayerMomentum(l, ratio, s);
            AdvanceTimeLevel(l, s);
        };
        GridLevel whole = make(), skipping = make();
        skipping.activeWindow.tracking = true;
        int narrowest = 70;
        for (int n = 0; n < 50; ++n) {
            if (n == 25) {
                for (GridLevel* l : {&whole, &skipping}) SetLevel(*l, [&](int i, int j) {
                    return i == 40 && j == 50 ? 0.5 : static_cast<double>(l->eta[i][j]);
                });
                ResetActiveRegions(skipping);
            }
            step(whole, 2.0 * n);
            step(skipping, 2.0 * n);
            narrowest = std::min(narrowest, skipping.activeWindow.iMax - skipping.activeWindow.iMin + 1);
        }
        const std::string name = (c.spherical ? "spherical" : "Cartesian") + std::string(", threads ") +
                                 std::to_string(c.threads) + ", hump at " + std::to_string(c.centre) + ", layer " +
                                 std::to_string(c.layerCells);
        EXPECT_LT(narrowest, 40) << name << ": the window never narrowed";
        std::vector<Field*> a = AllFields(whole), b = AllFields(skipping);
        a.insert(a.end(), {&whole.layerEtaX, &whole.layerEtaY});
        b.insert(b.end(), {&skipping.layerEtaX, &skipping.layerEtaY});
        for (std::size_t f = 0; f < a.size(); ++f) EXPECT_TRUE(SameBytes(*a[f], *b[f])) << name << ", field " << f;
    }
}

// The same across the nesting exchange: a parent and its child stepped as the driver steps them,
// both skipping, match both stepped whole. A wave starts in the parent west of the child, enters
// it across its border (where a coast crosses the child's north-east corner) and leaves again.
TEST(ActiveWindow, NestedLevelsSkipStillWaterExactly) {
    for (const bool spherical : {false, true}) {
        const double dx = 500.0, dt = spherical ? 10.0 : 5.0, corner = 20.0 / 60.0;
        // Parent and child cells at parent position (x, y), counted in parent cells from its node 1.
        auto depth = [](double x, double y) { return x > 35.0 && y > 35.0 ? -5.0 : 100.0; };
        auto make = [&] {
            std::pair<GridLevel, GridLevel> pair{
                spherical ? SphericalLevel(60, 60, 140.0, 30.0, 1.0, dt, 0.025f, true) : CartesianLevel(60, 60, 0.025f),
                spherical ? SphericalLevel(61, 61, 140.0 + corner, 30.0 + corner, 1.0 / 3.0, dt / 3.0, 0.025f, true)
                          : CartesianLevel(61, 61, 0.025f)};
            auto& [parent, child] = pair;
            if (!spherical) {
                parent.xMin = parent.yMin = child.xMin = child.yMin = 0.0;
                parent.xMax = parent.yMax = 59 * dx;
                child.xMin = child.yMin = 20 * dx;
                child.xMax = child.yMax = 40 * dx;
            }
            SetDepth(parent, [&](int i, int j) { return depth(i - 1, j - 1); });
            SetDepth(child, [&](int i, int j) { return depth(20 + (i - 1) / 3.0, 20 + (j - 1) / 3.0); });
            SetLevel(parent, [](int i, int j) { return 1.5 * std::exp(-((i - 8) * (i - 8) + (j - 30) * (j - 30)) / 8.0); });
            SetLevel(child, [](int, int) { return 0.0; });
            return pair;
        };
        auto [wholeParent, wholeChild] = make();
        auto [parent, child] = make();
        ASSERT_EQ(CheckNestedLayout(parent, child), "");
        parent.activeWindow.tracking = child.activeWindow.tracking = true;
        KernelSettings childSettings = Settings(dt / 3.0, spherical ? 1 : 2), parentSettings = Settings(dt);
        childSettings.parentRing = 2;
        const double ratio = dt / dx;
        auto step = [&](GridLevel& p, GridLevel& c, double t) {  // as the step driver runs the pair
            for (int s = 0; s < 3; ++s) {
                NestBoundaryFluxes(p, c);
                SetChildBoundaryWaterLevel(p, c);
                fixture::Step(c, t, childSettings, ratio);
                RecordChildBoundaryExtremes(c, t / 60.0);
            }
            KeepCoveredCellsActive(p, c);
            if (spherical) ContinuitySpherical(p, t / 60.0, parentSettings);
            else ContinuityCartesian(p, ratio, t / 60.0, parentSettings);
            FeedBackWaterLevel(c, p);
            if (spherical) MomentumSpherical(p, t, parentSettings);
            else MomentumCartesian(p, ratio, t, parentSettings);
            AdvanceTimeLevel(p, parentSettings);
        };
        int narrowestParent = 60, narrowestChild = 61;
        for (int n = 0; n < 160; ++n) {
            step(wholeParent, wholeChild, n * dt);
            step(parent, child, n * dt);
            narrowestParent = std::min(narrowestParent, parent.activeWindow.iMax - parent.activeWindow.iMin + 1);
            narrowestChild = std::min(narrowestChild, child.activeWindow.iMax - child.activeWindow.iMin + 1);
        }
        const char* name = spherical ? "spherical" : "Cartesian";
        EXPECT_LT(narrowestParent, 40) << name;
        EXPECT_LT(narrowestChild, 40) << name;
        EXPECT_GT(wholeChild.etaMax[30][30], 0.01f) << name << ": the wave never reached the child";
        std::vector<Field*> a = AllFields(wholeParent), b = AllFields(parent), c = AllFields(wholeChild),
                            d = AllFields(child);
        for (std::size_t f = 0; f < a.size(); ++f) EXPECT_TRUE(SameBytes(*a[f], *b[f])) << name << ", parent field " << f;
        for (std::size_t f = 0; f < c.size(); ++f) EXPECT_TRUE(SameBytes(*c[f], *d[f])) << name << ", child field " << f;
    }
}

}  // namespace
