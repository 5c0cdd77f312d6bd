// The kernels cell by cell: hand-computed updates of single cells and faces, and the
// thresholds, gates, clamps and edge rules that guard them.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <numbers>

#include "KernelFixture.h"

namespace {

using namespace fixture;

KernelSettings S(float dt) { return Settings(dt, 2); }

GridLevel Flat(int nx, int ny, double depth, float manning = 0.0f) {
    GridLevel level = CartesianLevel(nx, ny, manning);
    SetDepth(level, [=](int, int) { return depth; });
    return level;
}

// 10 x 10 cells of 1 arc-minute from 140 E, 40 N, 10 m deep, metric of a 60 s step.
GridLevel Sphere(int n = 10, double dt = 60.0, bool coriolis = false) {
    GridLevel level = SphericalLevel(n, n, 140.0, 40.0, 1.0, dt, 0.0f, coriolis);
    SetDepth(level, [](int, int) { return 10.0; });
    return level;
}

// One raised cell (5,5) by 0.1 m in a Cartesian sea 10 m deep (n = 0.03) flowing east at M = 1 m^2/s.
GridLevel RaisedCell() {
    GridLevel level = Flat(10, 10, 10.0, 0.03f);
    level.fluxM.Fill(1.0f);
    SetNewLevel(level, 5, 5, 0.1f);
    return level;
}

TEST(Continuity, CartesianCellsFollowTheFluxDivergence) {
    GridLevel l = Flat(12, 8, 10.0);
    // A shallow cell drained below its bed, and a land cell (ground 0.5 m) reached by a trickle.
    SetDepth(l, [](int i, int j) { return i == 6 && j == 6 ? 0.05 : i == 7 && j == 7 ? -0.5 : 10.0; });
    l.fluxM[6][6] = 1.0f;
    l.fluxM[6][7] = 0.01f;
    // Cell (4,4): out 3 east, in 1 west, out 0.5 north, in 1.5 south: net outflow 1, at ratio 0.1 -0.1 m.
    l.fluxM[4][4] = 3.0f;
    l.fluxM[3][4] = 1.0f;
    l.fluxN[4][4] = 0.5f;
    l.fluxN[4][3] = 1.5f;
    // Column 2 and row 2 are interior cells of the Cartesian update.
    l.fluxM[2][6] = l.fluxN[6][2] = 0.2f;
    // Large fluxes that balance in pairs: the level of (10,3) cannot change and no extreme is set.
    l.eta[10][3] = 0.7f;
    l.fluxM[10][3] = l.fluxM[9][3] = 50.0f;
    l.fluxN[10][3] = l.fluxN[10][2] = -20.0f;
    l.fluxM[9][6] = 0.4f;    // cell (10,6) rises 0.04: below the 5 cm arrival threshold
    l.fluxM[10][7] = -0.6f;  // cell (10,7) rises 0.06 through its east face: an arrival
    ContinuityCartesian(l, 0.1, 12.5, S(1.0f));
    ExpectCells({// both time levels move on Cartesian grids; the extremes and arrival are stamped
                 {l.etaNext, 4, 4, -0.1}, {l.eta, 4, 4, -0.1}, {l.totalDepthNext, 4, 4, 9.9},
                 {l.totalDepth, 4, 4, 9.9}, {l.etaMin, 4, 4, -0.1}, {l.etaMax, 4, 4, 0}, {l.timeOfMaxWave, 4, 4, 0},
                 {l.firstWaveArrival, 4, 4, 12.5},
                 // the east neighbour gains the 3 that left through the shared face: a new maximum
                 {l.etaNext, 5, 4, 0.3}, {l.etaMax, 5, 4, 0.3}, {l.timeOfMaxWave, 5, 4, 12.5},
                 {l.etaNext, 2, 6, -0.02}, {l.etaNext, 6, 2, -0.02}, {l.etaNext, 6, 3, 0.02},
                 {l.etaNext, 10, 3, 0.7}, {l.totalDepth, 10, 3, 10.7}, {l.totalDepthNext, 10, 3, 10.7},
                 {l.etaMax, 10, 3, 0}, {l.firstWaveArrival, 10, 3, 0}, {l.firstWaveArrival, 10, 6, 0},
                 {l.firstWaveArrival, 10, 7, 12.5},
                 // drained: dry, the surface resting on the bed
                 {l.totalDepthNext, 6, 6, 0}, {l.totalDepth, 6, 6, 0}, {l.etaNext, 6, 6, -0.05}, {l.eta, 6, 6, -0.05},
                 // land whose level (0) starts below its ground (0.5 m): the 1 mm trickle lands on the
                 // ground and stays there as water, rather than being used up to lift the level
                 {l.totalDepthNext, 7, 7, 0.001f}, {l.eta, 7, 7, 0.501f}, {l.etaMax, 7, 7, 0.501f}});
    // A later, larger wave does not move the arrival stamp.
    l.fluxM[10][7] = -2.0f;
    ContinuityCartesian(l, 0.1, 20.0, S(1.0f));
    ExpectCells({{l.firstWaveArrival, 10, 7, 12.5}, {l.timeOfMaxWave, 10, 7, 20}});
}

TEST(Continuity, SphericalCellsWeighTheMeridionalFluxByLatitude) {
    GridLevel l = Sphere();
    l.metricX[5][5] = 0.01f;
    l.cosLatitude[5] = 0.8f;
    l.cosLatitude[4] = 0.9f;
    l.fluxM[5][5] = 3.0f;
    l.fluxM[4][5] = 1.0f;
    l.fluxN[5][5] = 0.5f;
    l.fluxN[5][4] = 1.5f;
    // A cell of 1 mm that loses 2 mm, and fluxes around column 2, which belongs to the edge.
    SetDepth(l, [](int i, int j) { return i == 7 && j == 7 ? 0.001 : 10.0; });
    l.fluxM[7][7] = static_cast<float>(0.002 / l.metricX[7][7]);
    l.fluxM[2][6] = 5.0f;
    // Arrival threshold 5 mm: cell (4,8) rises 4 mm, cell (8,3) 6 mm.
    l.fluxM[3][8] = static_cast<float>(0.004 / l.metricX[4][8]);
    l.fluxM[8][3] = static_cast<float>(-0.006 / l.metricX[8][3]);
    ContinuitySpherical(l, 1.5, S(10.0f));
    const double expected = -0.01f * ((3.0 - 1.0) + (0.8f * 0.5 - 0.9f * 1.5));  // -0.0105
    ExpectCells({{l.etaNext, 5, 5, expected}, {l.totalDepthNext, 5, 5, 10.0 + expected},
                 {l.maxFlowDepth, 5, 5, 10.0 + expected}, {l.firstWaveArrival, 5, 5, 1.5},
                 // the current level stays until AdvanceTimeLevel
                 {l.eta, 5, 5, 0}, {l.totalDepth, 5, 5, 10},
                 // drained: dry, level on the bed, both total depths 0, no flow depth recorded
                 {l.etaNext, 7, 7, -0.001}, {l.eta, 7, 7, -0.001}, {l.totalDepthNext, 7, 7, 0}, {l.totalDepth, 7, 7, 0},
                 {l.maxFlowDepth, 7, 7, 0},
                 // column 2 is left to the radiation condition, which sees a flat surface
                 {l.etaNext, 2, 6, 0}, {l.etaNext, 4, 8, 0.004}, {l.firstWaveArrival, 4, 8, 0},
                 {l.firstWaveArrival, 8, 3, 1.5}});
}

TEST(Momentum, CartesianFacesAndDerivedFieldsFromHandComputation) {
    GridLevel l = RaisedCell();
    const double ratio = 0.01, k = 0.5 * kG * 1.0 * 0.03 * 0.03;  // dt 1 s, n = 0.03
    MomentumCartesian(l, ratio, 125.0, S(1.0f));
    // East face of the raised cell: depth (10.1 + 10) / 2, level falling by 0.1 eastwards.
    const double d = (10.1f + 10.0) / 2.0, f = k / std::pow(d, 2.333333);
    const double east = ((1.0 - f) - kG * ratio * d * (0.0 - 0.1f)) / (1.0 + f);
    // West face: rising level, and upwind advection of M^2/D from the face with the lower
    // averaged depth (10 m) into the face beside the raised cell (10.025 m).
    const double faceOwn = (10.0 + 10.0 + 10.1f + 10.0) / 4.0;
    const double advection = ratio * (1.0 / static_cast<float>(faceOwn) - 1.0 / 10.0);
    const double west = ((1.0 - f) - kG * ratio * d * 0.1f - advection) / (1.0 + f);
    // North face: still N, level falling northwards, friction from the mean M = 1 around it.
    const double north = (0.0 - kG * ratio * d * (0.0 - 0.1f)) / (1.0 + f);
    // Far from the cell a uniform flow only feels friction.
    const double fFar = k / std::pow(10.0, 2.333333);
    // The Cartesian update stores the flux depth at the N face only.
    ExpectCells({{l.fluxMNext, 5, 5, east}, {l.fluxMNext, 4, 5, west}, {l.fluxNNext, 5, 5, north},
                 {l.fluxMNext, 8, 8, (1.0 - fFar) / (1.0 + fFar)}, {l.totalDepthN, 5, 5, d},
                 {l.totalDepthM, 5, 5, faceOwn}});

    // The derived maxima of the raised cell from its own fluxes and face depths.
    const double m = l.fluxMNext[5][5], n = l.fluxNNext[5][5], dm = l.totalDepthM[5][5], dn = l.totalDepthN[5][5];
    const double u = m / dm, v = n / dn, s2 = u * u + v * v, dc = (dm + dn) / 2, gd = 9.8 * dc, t = 125.0 / 60.0;
    ExpectCells({{l.maxCurrent, 5, 5, std::sqrt(s2)}, {l.flowDepthAtMaxCurrent, 5, 5, dc},
                 {l.timeOfMaxCurrent, 5, 5, t}, {l.maxFlowDepth, 5, 5, dc}, {l.rouseNumber, 5, 5, 200},
                 {l.maxFroudeSquared, 5, 5, s2 / gd},
                 {l.currentAtMaxFroudeSquared, 5, 5, std::sqrt(s2)}, {l.timeOfMaxFroudeSquared, 5, 5, t},
                 {l.maxFroude, 5, 5, std::sqrt(s2 / gd)}, {l.maxDragForce, 5, 5, s2 * dc},
                 {l.froudeSquaredU, 5, 5, u * u / gd}, {l.froudeSquaredV, 5, 5, v * v / gd}, {l.maxFluxM, 5, 5, m},
                 {l.maxFluxN, 5, 5, n}, {l.maxDischargeFlux, 5, 5, std::hypot(m, n)},
                 {l.maxMomentumFlux, 5, 5, std::sqrt(std::pow(n, 4) / (dn * dn) + std::pow(m, 4) / (dm * dm))}});
    EXPECT_NEAR(l.maxCurrentAngle[5][5], std::atan(m / n) * 180.0 / std::numbers::pi, 1e-4);
    EXPECT_NEAR(l.maxDischargeFluxAngle[5][5], std::atan(m / n) * 57.31, 1e-4);
    // A second, calmer step towards the south-west keeps the maxima; the direction is per step.
    const float current = l.maxCurrent[5][5];
    l.fluxM.Fill(0.0f);
    SetNewLevel(l, 5, 5, 0.0f);
    l.fluxM[5][5] = l.fluxN[5][5] = -0.5f;
    MomentumCartesian(l, 0.01, 250.0, S(1.0f));
    const double m2 = l.fluxMNext[5][5], n2 = l.fluxNNext[5][5];
    ASSERT_TRUE(m2 < 0.0 && n2 < 0.0);
    EXPECT_EQ(l.maxCurrent[5][5], current);
    EXPECT_NEAR(l.maxCurrentAngle[5][5], std::atan(m2 / n2) * 180.0 / std::numbers::pi + 180.0, 1e-4);
    EXPECT_FLOAT_EQ(l.timeOfMaxCurrent[5][5], static_cast<float>(t));

    // Rouse numbers from the cell field where water flows, 200 where it does not.
    GridLevel r = RaisedCell();
    KernelSettings rouse = S(1.0f);
    rouse.cellFieldFromFile = true;
    r.cellField[5][5] = 0.3f;
    MomentumCartesian(r, 0.01, 0.0, rouse);
    const double speed = std::hypot(r.fluxMNext[5][5] / r.totalDepthM[5][5], r.fluxNNext[5][5] / r.totalDepthN[5][5]);
    EXPECT_FLOAT_EQ(r.rouseNumber[5][5], static_cast<float>(0.3f / (speed + 0.001)));
    r.fluxM.Fill(0.0f);
    SetNewLevel(r, 5, 5, 0.0f);
    MomentumCartesian(r, 0.01, 0.0, rouse);
    EXPECT_EQ(r.rouseNumber[5][5], 200.0f);
}

TEST(Momentum, FrictionOpposesTheFlowWithManningMagnitude) {
    // Uniform flow over a flat bed 2 m deep: only friction acts, q' = q (1 - F) / (1 + F) with
    // F = g dt n^2 |q| / (2 D^(7/3)); without roughness (n = 0) the flux stays exactly.
    for (float n : {0.05f, 0.0f}) {
        for (float q : {1.0f, -1.0f}) {
            for (float factor : {1.0f, 0.5f}) {
                GridLevel level = Flat(12, 12, 2.0, n);
                level.fluxM.Fill(q);
                KernelSettings s = S(10.0f);
                s.timeStepFactor = factor;
                MomentumCartesian(level, 0.01, 0.0, s);
                const double f = factor * 0.5 * kG * 10.0 * n * n / std::pow(2.0, 2.333333);
                EXPECT_FLOAT_EQ(level.fluxMNext[6][6], static_cast<float>(q * (1.0 - f) / (1.0 + f))) << n << " " << q;
                if (n == 0.0f) {
                    EXPECT_EQ(level.fluxMNext[6][6], q);
                }
            }
        }
    }
}

TEST(Momentum, LimitsAndCuts) {
    // A steep step in the level: 5 m up and 5 m down between neighbours 10 m deep. Spherical
    // fluxes are held to velocityLimit x depth; Cartesian x-fluxes to 30 m/s x depth whatever
    // velocityLimit says, y-fluxes to velocityLimit x depth.
    auto step = [](GridLevel& level) {
        SetNewLevel(level, 5, 5, 5.0f);
        SetNewLevel(level, 6, 5, -5.0f);
        SetNewLevel(level, 5, 6, -5.0f);
    };
    GridLevel sphere = Sphere();
    step(sphere);
    KernelSettings s = S(60.0f);
    s.velocityLimit = 2.0f;
    MomentumSpherical(sphere, 0.0, s);
    GridLevel cart = Flat(10, 10, 10.0);
    step(cart);
    s = S(1.0f);
    s.velocityLimit = 100.0f;
    MomentumCartesian(cart, 2.0, 0.0, s);
    ExpectCells({{sphere.fluxMNext, 5, 5, 20}, {sphere.fluxNNext, 5, 5, 20}, {sphere.totalDepthM, 5, 5, 10},
                 {cart.fluxMNext, 5, 5, 300}, {cart.fluxNNext, 5, 5, 1000}});

    // Flux depths of 5 cm: below flowDepthLimit (0.1 m) a face carries nothing, except a
    // Cartesian x-face, which is cut only at 1e-5 m.
    cart = CartesianLevel(10, 10);
    sphere = SphericalLevel(10, 10, 140.0, 40.0, 1.0, 60.0);
    for (GridLevel* level : {&cart, &sphere}) {
        SetDepth(*level, [](int, int) { return 0.05; });
        SetNewLevel(*level, 5, 5, 0.01f);
    }
    MomentumCartesian(cart, 0.1, 0.0, S(1.0f));
    MomentumSpherical(sphere, 0.0, S(60.0f));
    EXPECT_GT(cart.fluxMNext[5][5], 0.0f);  // out of the raised cell, eastwards
    EXPECT_LT(cart.fluxMNext[4][5], 0.0f);  // and westwards
    ExpectCells({{cart.fluxNNext, 5, 5, 0}, {sphere.fluxMNext, 5, 5, 0}, {sphere.fluxMNext, 4, 5, 0},
                 {sphere.fluxNNext, 5, 5, 0}});

    // Small fluxes: below 1e-4 they vanish; Cartesian y-fluxes already below 1e-3.
    cart = Flat(10, 10, 10.0);
    cart.fluxM.Fill(5e-4f);
    cart.fluxN.Fill(5e-4f);
    MomentumCartesian(cart, 0.01, 0.0, S(1.0f));
    ExpectCells({{cart.fluxMNext, 5, 5, 5e-4f}, {cart.fluxNNext, 5, 5, 0}});
    cart.fluxM.Fill(5e-5f);
    MomentumCartesian(cart, 0.01, 0.0, S(1.0f));
    sphere = Sphere();
    sphere.fluxN.Fill(5e-4f);
    sphere.fluxM.Fill(5e-5f);
    MomentumSpherical(sphere, 0.0, S(60.0f));
    EXPECT_NEAR(sphere.fluxNNext[5][5], 5e-4f, 1e-6f);
    ExpectCells({{cart.fluxMNext, 5, 5, 0}, {sphere.fluxMNext, 5, 5, 0}});
}

TEST(Momentum, LandCutoffAndNonlinearDepthGate) {
    GridLevel l = SphericalLevel(10, 10, 140.0, 45.0, 1.0, 60.0, 0.0f, true);
    // Deep water west of column 6, land higher (8,8) and lower (8,3) than the 40 m cut-off.
    SetDepth(l, [](int i, int j) { return i != 8 || j % 5 != 3 ? (i <= 5 ? 200.0 : 50.0) : j == 8 ? -50.0 : -30.0; });
    l.fluxN.Fill(1.0f);
    l.fluxMNext.Fill(7.0f);
    l.optionEnabled = 1;
    l.optionValue = 100;
    MomentumSpherical(l, 0.0, S(60.0f));
    ExpectCells({{l.fluxM, 8, 8, 0}, {l.fluxN, 8, 8, 0}, {l.fluxMNext, 8, 8, 0}, {l.fluxNNext, 8, 8, 0},
                 {l.fluxN, 8, 3, 1},  // below the cut-off height: current flux untouched
                 // A still x-face under a northward flow turns east only through Coriolis: f dt N with
                 // coriolisCentre = Omega dt/2 sin(phi) applied to the sum of the four N around the face.
                 {l.fluxMNext, 7, 5, 4.0f * l.coriolisCentre[5]},
                 // deeper than optionValue: neither advection nor Coriolis
                 {l.fluxMNext, 3, 5, 0}, {l.fluxNNext, 3, 5, 1}});

    // The east column's x-face of a Cartesian level opens to the halo (still, dry): with a raised
    // level there the sweep gives the face a flux while its averaged depth is 0, so the Froude
    // values, unbounded, are capped (the edge treatment then takes that flux off the face).
    GridLevel c = Flat(8, 8, 1.0);
    SetNewLevel(c, 8, 4, 0.5f);
    MomentumCartesian(c, 0.1, 0.0, S(1.0f));
    ExpectCells({{c.fluxMNext, 8, 4, 0}, {c.maxFroudeSquared, 8, 4, 99999}, {c.currentAtMaxFroudeSquared, 8, 4, 99999}});
}

TEST(Auxiliary, AverageFaceDepthsAndTheReachedDepth) {
    for (bool spherical : {true, false}) {
        GridLevel l = spherical ? SphericalLevel(8, 8, 140.0, 40.0, 1.0, 60.0) : CartesianLevel(8, 8);
        SetDepth(l, [](int i, int j) { return 10.0 * i + j; });
        KernelSettings s = S(1.0f);
        EXPECT_EQ(AverageFaceDepths(l, s), 0.0f) << "nothing has moved";
        l.totalDepth[4][4] = 1.0f;
        l.totalDepthNext[4][4] = 2.0f;
        l.totalDepthNext[5][4] = 3.0f;
        l.totalDepth[5][4] = 4.0f;
        l.totalDepthNext[4][5] = 5.0f;
        l.totalDepth[4][5] = 6.0f;
        ForEachCell(l, [&](int i, int j) {  // 4e-6 m is no water
            if (i >= 2 && i <= 3 && j >= 2 && j <= 3) l.totalDepth[i][j] = l.totalDepthNext[i][j] = 4e-6f;
        });
        l.etaNext[3][6] = -0.1f;  // a trough at depth 36
        l.etaNext[2][5] = 0.2f;   // a crest at depth 25
        l.etaNext[8][8] = 0.5f;   // outside the face-depth range
        for (int threads : {1, 2, 3}) {
            s.threadCount = threads;
            EXPECT_EQ(AverageFaceDepths(l, s), spherical ? 36.0f : 25.0f) << threads;
        }
        ExpectCells({{l.totalDepthM, 4, 4, 2.5}, {l.totalDepthN, 4, 4, 3.5}, {l.totalDepthM, 2, 2, 0},
                     {l.totalDepthN, 2, 2, 0}});
    }
}

TEST(Auxiliary, RadiationEdges) {
    GridLevel l = Sphere();
    l.eta[3][5] = l.eta[5][3] = l.eta[6][8] = l.eta[3][7] = 0.2f;  // west, south, north (ny - 2), west
    SetDepth(l, [](int i, int j) { return i == 2 && j == 7 ? 0.0 : 10.0; });  // a dry edge cell
    l.etaNext[1][7] = 0.3f;
    RadiateOpenBoundariesSpherical(l, S(60.0f));
    const double c = std::sqrt(10.0f * kG);
    const double west = c * l.metricX[2][5] * 0.2f;
    // Across the south and north edges the cell size is R dPhi: metricX times cos(latitude).
    const double south = c * (static_cast<double>(l.metricX[5][2]) * l.cosLatitude[2]) * 0.2f;
    const double north = c * (static_cast<double>(l.metricX[6][9]) * l.cosLatitude[9]) * 0.2f;
    ExpectCells({{l.etaNext, 2, 5, west}, {l.etaNext, 1, 5, west}, {l.totalDepthNext, 1, 5, 10.0f + west},
                 {l.etaNext, 5, 2, south}, {l.etaNext, 5, 1, south}, {l.etaNext, 6, 9, north},
                 {l.etaNext, 6, 10, north},
                 // dry: unchanged, and no copy outwards
                 {l.etaNext, 2, 7, 0}, {l.etaNext, 1, 7, 0.3}});

    GridLevel cart = Flat(10, 10, 10.0);
    cart.eta[1][4] = cart.etaNext[1][4] = 0.1f;
    cart.eta[2][4] = 0.3f;
    cart.eta[2][6] = 0.01f;  // a change below 1 mm is kept
    RadiateOpenBoundariesCartesian(cart, 0.01, S(1.0f));
    const double rise = static_cast<double>(0.3f) - 0.1f;
    const float edge = static_cast<float>(0.1f + std::sqrt((0.1f + 10.0) * kG) * 0.01 * rise);
    // nothing is copied into the halo
    ExpectCells({{cart.etaNext, 1, 4, edge}, {cart.totalDepthNext, 1, 4, edge + 10.0f}, {cart.etaNext, 1, 6, std::sqrt(10.0 * kG) * 0.01 * 0.01f},
                 {cart.etaNext, 0, 4, 0}});
}

TEST(Auxiliary, SmoothEdgeFluxes) {
    GridLevel s = SphericalLevel(6, 6, 140.0, 40.0, 1.0, 60.0), c = CartesianLevel(6, 6);
    for (GridLevel* level : {&s, &c}) {
        SetDepth(*level, [](int, int) { return 10.0; });
        ForEachCell(*level, [&](int i, int j) {
            level->fluxMNext[i][j] = static_cast<float>(10 * i + j);
            level->fluxNNext[i][j] = static_cast<float>(-(10 * i + j));
            level->fluxM[i][j] = 1.0f;
            level->fluxN[i][j] = 2.0f;
            level->etaNext[i][j] = 0.5f;
        }, false);
    }
    SmoothEdgeFluxesSpherical(s, S(60.0f));
    SmoothEdgeFluxesCartesian(c, S(1.0f));
    ExpectCells({// south from row 2, north from row 5, west from column 2, east from column 5
                 {s.fluxMNext, 3, 1, 0.5 * (32 + 1)}, {s.fluxNNext, 3, 6, 0.5 * (-35 + 2)},
                 {s.fluxMNext, 1, 4, 0.5 * (24 + 1)}, {s.fluxMNext, 6, 4, 0.5 * (54 + 1)},
                 // corner: the south row is done first, so the west column then sees the new (2,1)
                 {s.fluxMNext, 1, 1, 0.5 * (0.5 * (22 + 1) + 1)}, {s.totalDepthM, 6, 4, 10.5},
                 {s.totalDepthN, 3, 6, 10.5},
                 // Cartesian: south row and west column only; no N-face depth on the west column
                 {c.fluxMNext, 3, 1, 0.5 * (32 + 1)}, {c.fluxNNext, 1, 4, 0.5 * (-24 + 2)}, {c.totalDepthM, 1, 4, 10.5},
                 {c.totalDepthN, 1, 4, 0}, {c.totalDepthN, 3, 1, 10.5},
                 // the faces between the spherical radiating cells and the interior: rows 2|3, 4|5, column 3|4
                 {s.fluxNNext, 3, 2, 0.5 * (-33 + 2)}, {s.fluxNNext, 3, 4, 0.5 * (-33 + 2)},
                 {s.fluxMNext, 4, 3, 0.5 * (33 + 1)},
                 // Cartesian north and east mirror south and west: the edge cell's along-edge flux, the
                 // face to its inner neighbour, and nothing into the halo
                 {c.fluxMNext, 3, 6, 0.5 * (35 + 1)}, {c.fluxNNext, 3, 5, 0.5 * (-34 + 2)}, {c.fluxNNext, 3, 6, 0},
                 {c.fluxNNext, 6, 4, 0.5 * (-54 + 2)}, {c.fluxMNext, 5, 4, 0.5 * (44 + 1)}, {c.fluxMNext, 6, 4, 0},
                 {c.totalDepthM, 5, 4, 10.5}});
}

TEST(Auxiliary, AdvanceTimeLevelAndMalformedOrTinyLevels) {
    // The next time level becomes the current one over the interior only.
    GridLevel a = CartesianLevel(5, 4);
    auto code = [](int i, int j) { return static_cast<float>(100 * i + j); };
    ForEachCell(a, [&](int i, int j) {
        a.etaNext[i][j] = a.fluxMNext[i][j] = a.fluxNNext[i][j] = a.totalDepthNext[i][j] = code(i, j);
    });
    KernelSettings s = S(1.0f);
    AdvanceTimeLevel(a, s);
    ForEachCell(a, [&](int i, int j) {
        const float want = i >= 1 && i <= 5 && j >= 1 && j <= 4 ? code(i, j) : 0.0f;
        EXPECT_TRUE(a.eta[i][j] == want && a.fluxM[i][j] == want && a.fluxN[i][j] == want &&
                    a.totalDepth[i][j] == want) << i << "," << j;
    });
    // Levels without arrays, spherical ones without latitude tables and headers larger than the
    // arrays are left alone.
    GridLevel empty, cartesian = CartesianLevel(6, 6), wrongSize = CartesianLevel(6, 6);
    empty.nx = empty.ny = 10;
    cartesian.gridType = 2;
    wrongSize.nx = 60;
    ContinuityCartesian(empty, 0.1, 0.0, s);
    EXPECT_EQ(MomentumCartesian(empty, 0.1, 0.0, s), 0.0f);
    ContinuitySpherical(cartesian, 0.0, s);
    EXPECT_EQ(MomentumSpherical(cartesian, 0.0, s), 0.0f);
    ContinuityCartesian(wrongSize, 0.1, 0.0, s);
    EXPECT_EQ(MomentumCartesian(wrongSize, 0.1, 0.0, s), 0.0f);
    AdvanceTimeLevel(wrongSize, s);
    // Grids of 1 to 4 cells a side run every kernel without touching memory they do not own.
    for (int n = 1; n <= 4; ++n) {
        GridLevel cart = CartesianLevel(n, n), sphere = SphericalLevel(n, n, 140.0, 40.0, 1.0, 10.0, 0.0f, true);
        for (GridLevel* level : {&cart, &sphere}) {
            SetDepth(*level, [](int, int) { return 5.0; });
            SetLevel(*level, [](int, int) { return 0.5; });
            Step(*level, 1.0, s, 0.1);
            EXPECT_TRUE(std::isfinite(level->eta[1][1])) << n;
        }
    }
    // A team of fewer than one thread is the OpenMP runtime's default team.
    for (int threads : {3, 0, -2}) {
        s.threadCount = threads;
        EXPECT_EQ(KernelTeamSize(s), threads > 0 ? threads : omp_get_max_threads());
    }
}

}  // namespace
