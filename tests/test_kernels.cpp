// The kernels cell by cell: hand-computed updates of single cells and faces, and every
// threshold, gate, clamp and edge rule that guards their behaviour.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <numbers>

#include "KernelFixture.h"
#include "Kernels.h"

namespace {

using fixture::CartesianLevel;
using fixture::SetDepth;
using fixture::SphericalLevel;

constexpr double kG = static_cast<double>(9.80665f);

KernelSettings Settings(float dt) {
    KernelSettings s;
    s.threadCount = 2;
    s.timeStep = dt;
    return s;
}

GridLevel FlatCartesian(int nx, int ny, double depth, float manning = 0.0f) {
    GridLevel level = CartesianLevel(nx, ny, manning);
    SetDepth(level, [=](int, int) { return depth; });
    return level;
}

// Sets the new water level of one cell and its total depth to match.
void SetNewLevel(GridLevel& level, int i, int j, float eta) {
    level.etaNext[i][j] = eta;
    level.totalDepthNext[i][j] = level.depth[i][j] + eta;
}

void FillFlux(Field& field, float value) { field.Fill(value); }

TEST(Continuity, CartesianCellsFollowTheFluxDivergence) {
    GridLevel level = FlatCartesian(8, 8, 10.0);
    const double ratio = 0.1;
    // Cell (4,4): out 3 east, in 1 west, out 0.5 north, in 1.5 south: net outflow 1.
    level.fluxM[4][4] = 3.0f;
    level.fluxM[3][4] = 1.0f;
    level.fluxN[4][4] = 0.5f;
    level.fluxN[4][3] = 1.5f;
    // Column 2 and row 2 are interior cells of the Cartesian update.
    level.fluxM[2][6] = 0.2f;
    level.fluxN[6][2] = 0.2f;
    // A shallow cell drained below its bed, and a land cell reached by a trickle.
    level.depth[6][6] = 0.05f;
    level.totalDepth[6][6] = level.totalDepthNext[6][6] = 0.05f;
    level.fluxM[6][6] = 1.0f;
    level.depth[7][7] = -0.5f;
    level.totalDepth[7][7] = level.totalDepthNext[7][7] = 0.0f;
    level.fluxM[6][7] = 0.01f;
    ContinuityCartesian(level, ratio, 12.5, Settings(1.0f));

    const float lowered = static_cast<float>(0.0 - (((3.0 - 1.0) + 0.5) - 1.5) * ratio);  // -0.1
    EXPECT_FLOAT_EQ(level.etaNext[4][4], lowered);
    EXPECT_FLOAT_EQ(level.eta[4][4], lowered);  // both time levels on Cartesian grids
    EXPECT_FLOAT_EQ(level.totalDepthNext[4][4], 9.9f);
    EXPECT_FLOAT_EQ(level.totalDepth[4][4], 9.9f);
    EXPECT_FLOAT_EQ(level.etaMin[4][4], lowered);
    EXPECT_EQ(level.etaMax[4][4], 0.0f);
    EXPECT_EQ(level.timeOfMaxWave[4][4], 0.0f);
    EXPECT_FLOAT_EQ(level.firstWaveArrival[4][4], 12.5f);
    // East neighbour gains the 3 that left through the shared face: +0.3, a new maximum.
    EXPECT_FLOAT_EQ(level.etaNext[5][4], 0.3f);
    EXPECT_FLOAT_EQ(level.etaMax[5][4], 0.3f);
    EXPECT_FLOAT_EQ(level.timeOfMaxWave[5][4], 12.5f);
    // Second column and second row move.
    EXPECT_FLOAT_EQ(level.etaNext[2][6], -0.02f);
    EXPECT_FLOAT_EQ(level.etaNext[6][2], -0.02f);
    EXPECT_FLOAT_EQ(level.etaNext[6][3], 0.02f);
    // Both below the 5 cm arrival threshold of Cartesian grids.
    EXPECT_EQ(level.firstWaveArrival[2][6], 0.0f);
    // Drained cell: total depth -0.05 is dry; the surface rests on the bed.
    EXPECT_EQ(level.totalDepthNext[6][6], 0.0f);
    EXPECT_EQ(level.totalDepth[6][6], 0.0f);
    EXPECT_EQ(level.etaNext[6][6], -0.05f);
    EXPECT_EQ(level.eta[6][6], -0.05f);
    // Land cell whose level (0) starts below its ground (0.5 m): the trickle (1 mm) lands on
    // the ground and stays there as water, rather than being used up to lift the level.
    EXPECT_FLOAT_EQ(level.totalDepthNext[7][7], 0.001f);
    EXPECT_FLOAT_EQ(level.eta[7][7], 0.501f);
    EXPECT_FLOAT_EQ(level.etaMax[7][7], 0.501f);
}

TEST(Continuity, NoFluxShortcutAndArrivalStamps) {
    GridLevel level = FlatCartesian(8, 8, 10.0);
    // Large fluxes that balance in pairs: the level of (3,3) cannot change and no extreme is set.
    level.eta[3][3] = 0.7f;
    level.fluxM[3][3] = level.fluxM[2][3] = 50.0f;
    level.fluxN[3][3] = level.fluxN[3][2] = -20.0f;
    // Cartesian arrival threshold 0.05 m: 0.04 is not an arrival, 0.06 is.
    level.fluxM[4][5] = 0.4f;   // cell (5,5) rises 0.04 (ratio 0.1)
    level.fluxM[5][6] = -0.6f;  // cell (5,6) rises 0.06 through its east face
    ContinuityCartesian(level, 0.1, 3.0, Settings(1.0f));
    EXPECT_EQ(level.etaNext[3][3], 0.7f);
    EXPECT_FLOAT_EQ(level.totalDepth[3][3], 10.7f);
    EXPECT_FLOAT_EQ(level.totalDepthNext[3][3], 10.7f);
    EXPECT_EQ(level.etaMax[3][3], 0.0f);
    EXPECT_EQ(level.firstWaveArrival[3][3], 0.0f);
    EXPECT_EQ(level.firstWaveArrival[5][5], 0.0f);
    EXPECT_FLOAT_EQ(level.firstWaveArrival[5][6], 3.0f);
    // A later, larger wave does not move the arrival stamp.
    level.fluxM[5][6] = -2.0f;
    ContinuityCartesian(level, 0.1, 9.0, Settings(1.0f));
    EXPECT_FLOAT_EQ(level.firstWaveArrival[5][6], 3.0f);
    EXPECT_FLOAT_EQ(level.timeOfMaxWave[5][6], 9.0f);

    // Spherical threshold 0.005 m.
    GridLevel sphere = SphericalLevel(8, 8, 140.0, 0.0, 1.0, 10.0);
    SetDepth(sphere, [](int, int) { return 10.0; });
    const double metric = sphere.metricX[5][5];
    sphere.fluxM[4][5] = static_cast<float>(0.004 / metric);
    sphere.fluxM[5][6] = static_cast<float>(-0.006 / metric);
    ContinuitySpherical(sphere, 4.0, Settings(10.0f));
    EXPECT_NEAR(sphere.etaNext[5][5], 0.004, 1e-6);
    EXPECT_EQ(sphere.firstWaveArrival[5][5], 0.0f);
    EXPECT_FLOAT_EQ(sphere.firstWaveArrival[5][6], 4.0f);
}

TEST(Continuity, SphericalCellsWeighTheMeridionalFluxByLatitude) {
    GridLevel level = SphericalLevel(10, 10, 140.0, 40.0, 1.0, 10.0);
    SetDepth(level, [](int, int) { return 10.0; });
    level.metricX[5][5] = 0.01f;
    level.cosLatitude[5] = 0.8f;
    level.cosLatitude[4] = 0.9f;
    level.fluxM[5][5] = 3.0f;
    level.fluxM[4][5] = 1.0f;
    level.fluxN[5][5] = 0.5f;
    level.fluxN[5][4] = 1.5f;
    // A cell of 1 mm that loses 2 mm, and fluxes around column 2, which belongs to the edge.
    level.depth[7][7] = 0.001f;
    level.totalDepth[7][7] = level.totalDepthNext[7][7] = 0.001f;
    level.fluxM[7][7] = static_cast<float>(0.002 / level.metricX[7][7]);
    level.fluxM[2][6] = 5.0f;
    ContinuitySpherical(level, 1.5, Settings(10.0f));

    const double expected = 0.0 - 0.01f * ((3.0 - 1.0) + (0.8f * 0.5 - 0.9f * 1.5));  // -0.0105
    EXPECT_FLOAT_EQ(level.etaNext[5][5], static_cast<float>(expected));
    EXPECT_EQ(level.eta[5][5], 0.0f);  // the current level stays until AdvanceTimeLevel
    EXPECT_FLOAT_EQ(level.totalDepthNext[5][5], static_cast<float>(10.0 + expected));
    EXPECT_EQ(level.totalDepth[5][5], 10.0f);
    EXPECT_FLOAT_EQ(level.maxFlowDepth[5][5], static_cast<float>(10.0 + expected));
    EXPECT_FLOAT_EQ(level.firstWaveArrival[5][5], 1.5f);
    // Drained: dry, level on the bed, both total depths 0, no flow depth recorded.
    EXPECT_EQ(level.etaNext[7][7], -0.001f);
    EXPECT_EQ(level.eta[7][7], -0.001f);
    EXPECT_EQ(level.totalDepthNext[7][7], 0.0f);
    EXPECT_EQ(level.totalDepth[7][7], 0.0f);
    EXPECT_EQ(level.maxFlowDepth[7][7], 0.0f);
    // Column 2 is left to the radiation condition, which sees a flat surface.
    EXPECT_EQ(level.etaNext[2][6], 0.0f);
}

// One raised cell (5,5) by 0.1 m in a Cartesian sea 10 m deep flowing east at M = 1 m^2/s.
struct RaisedCell {
    GridLevel level = FlatCartesian(10, 10, 10.0, 0.03f);
    RaisedCell() {
        FillFlux(level.fluxM, 1.0f);
        SetNewLevel(level, 5, 5, 0.1f);
    }
};

TEST(Momentum, CartesianFacesFromHandComputation) {
    RaisedCell c;
    GridLevel& level = c.level;
    const double ratio = 0.01, dt = 1.0, n = 0.03;
    MomentumCartesian(level, ratio, 125.0, Settings(static_cast<float>(dt)));
    const double k = 0.5 * kG * dt * n * n;

    // East face of the raised cell: depth (10.1 + 10) / 2, level falling by 0.1 eastwards.
    const double dEast = (10.1f + 10.0) / 2.0;
    const double fEast = k * 1.0 / std::pow(dEast, 2.333333);
    const double mEast = ((1.0 - fEast) * 1.0 - kG * ratio * dEast * (0.0 - 0.1f)) / (1.0 + fEast);
    EXPECT_FLOAT_EQ(level.fluxMNext[5][5], static_cast<float>(mEast));
    // West face: rising level, and upwind advection of M^2/D from the face with the lower
    // averaged depth (10 m) into the face beside the raised cell (10.025 m).
    const double faceOwn = (10.0 + 10.0 + 10.1f + 10.0) / 4.0;
    const double fWest = k * 1.0 / std::pow(dEast, 2.333333);
    double mWest = (1.0 - fWest) * 1.0 - kG * ratio * dEast * (0.1f - 0.0);
    mWest -= ratio * (1.0 / static_cast<float>(faceOwn) - 1.0 / 10.0);
    mWest /= 1.0 + fWest;
    EXPECT_FLOAT_EQ(level.fluxMNext[4][5], static_cast<float>(mWest));
    // North face: still N, level falling northwards, friction from the mean M = 1 around it.
    const double fNorth = k * std::sqrt(1.0) / std::pow(dEast, 2.333333);
    const double nNorth = (0.0 - kG * ratio * dEast * (0.0 - 0.1f)) / (1.0 + fNorth);
    EXPECT_FLOAT_EQ(level.fluxNNext[5][5], static_cast<float>(nNorth));
    // Far from the cell a uniform flow only feels friction.
    const double fFar = k / std::pow(10.0, 2.333333);
    EXPECT_FLOAT_EQ(level.fluxMNext[8][8], static_cast<float>((1.0 - fFar) / (1.0 + fFar)));
    // The Cartesian update stores the flux depth at the N face only.
    EXPECT_FLOAT_EQ(level.totalDepthN[5][5], static_cast<float>(dEast));
    EXPECT_FLOAT_EQ(level.totalDepthM[5][5], static_cast<float>(faceOwn));
}

TEST(Momentum, DerivedFieldsOfOneCell) {
    RaisedCell c;
    GridLevel& level = c.level;
    MomentumCartesian(level, 0.01, 125.0, Settings(1.0f));
    const double m = level.fluxMNext[5][5], nf = level.fluxNNext[5][5];
    const double dm = level.totalDepthM[5][5], dn = level.totalDepthN[5][5];
    const double u = m / dm, v = nf / dn, s2 = u * u + v * v;
    const double minutes = 125.0 / 60.0;
    EXPECT_FLOAT_EQ(level.maxCurrent[5][5], static_cast<float>(std::sqrt(s2)));
    EXPECT_FLOAT_EQ(level.flowDepthAtMaxCurrent[5][5], static_cast<float>((dm + dn) / 2));
    EXPECT_FLOAT_EQ(level.timeOfMaxCurrent[5][5], static_cast<float>(minutes));
    EXPECT_FLOAT_EQ(level.maxFlowDepth[5][5], static_cast<float>((dm + dn) / 2));
    EXPECT_EQ(level.rouseNumber[5][5], 200.0f);
    EXPECT_NEAR(level.maxCurrentAngle[5][5], std::atan(m / nf) * 180.0 / std::numbers::pi, 1e-4);
    EXPECT_FLOAT_EQ(level.maxFroudeSquared[5][5], static_cast<float>(s2 / ((dm + dn) * 9.8 * 0.5)));
    EXPECT_FLOAT_EQ(level.currentAtMaxFroudeSquared[5][5], static_cast<float>(std::sqrt(s2)));
    EXPECT_FLOAT_EQ(level.timeOfMaxFroudeSquared[5][5], static_cast<float>(minutes));
    EXPECT_FLOAT_EQ(level.maxFroude[5][5], static_cast<float>(std::sqrt(s2 / ((dm + dn) * 9.8 * 0.5))));
    EXPECT_FLOAT_EQ(level.maxDragForce[5][5], static_cast<float>(s2 * (dm + dn) / 2));
    EXPECT_FLOAT_EQ(level.froudeSquaredU[5][5], static_cast<float>(u * u / ((dm + dn) * 9.8 * 0.5)));
    EXPECT_FLOAT_EQ(level.froudeSquaredV[5][5], static_cast<float>(v * v / ((dm + dn) * 9.8 * 0.5)));
    EXPECT_FLOAT_EQ(level.maxFluxM[5][5], static_cast<float>(m));
    EXPECT_FLOAT_EQ(level.maxFluxN[5][5], static_cast<float>(nf));
    EXPECT_FLOAT_EQ(level.maxDischargeFlux[5][5], static_cast<float>(std::hypot(m, nf)));
    EXPECT_NEAR(level.maxDischargeFluxAngle[5][5], std::atan(m / nf) * 57.31, 1e-4);
    EXPECT_FLOAT_EQ(level.maxMomentumFlux[5][5],
                    static_cast<float>(std::sqrt(std::pow(nf, 4) / (dn * dn) + std::pow(m, 4) / (dm * dm))));
    // A second, calmer step towards the south-west keeps the maxima; the direction is per step.
    const float current = level.maxCurrent[5][5];
    level.fluxM.Fill(0.0f);
    SetNewLevel(level, 5, 5, 0.0f);
    level.fluxM[5][5] = -0.5f;
    level.fluxN[5][5] = -0.5f;
    MomentumCartesian(level, 0.01, 250.0, Settings(1.0f));
    const double m2 = level.fluxMNext[5][5], n2 = level.fluxNNext[5][5];
    ASSERT_LT(m2, 0.0);
    ASSERT_LT(n2, 0.0);
    EXPECT_EQ(level.maxCurrent[5][5], current);
    EXPECT_NEAR(level.maxCurrentAngle[5][5], std::atan(m2 / n2) * 180.0 / std::numbers::pi + 180.0, 1e-4);
    EXPECT_FLOAT_EQ(level.timeOfMaxCurrent[5][5], static_cast<float>(minutes));

    // Rouse numbers from the cell field where water flows, 200 where it does not.
    RaisedCell r;
    KernelSettings rouse = Settings(1.0f);
    rouse.cellFieldFromFile = true;
    r.level.cellField[5][5] = 0.3f;
    MomentumCartesian(r.level, 0.01, 0.0, rouse);
    const double speed = std::sqrt(std::pow(r.level.fluxMNext[5][5] / r.level.totalDepthM[5][5], 2) +
                                   std::pow(r.level.fluxNNext[5][5] / r.level.totalDepthN[5][5], 2));
    EXPECT_FLOAT_EQ(r.level.rouseNumber[5][5], static_cast<float>(0.3f / (speed + 0.001)));
    r.level.fluxM.Fill(0.0f);
    SetNewLevel(r.level, 5, 5, 0.0f);
    MomentumCartesian(r.level, 0.01, 0.0, rouse);
    EXPECT_EQ(r.level.rouseNumber[5][5], 200.0f);
}

TEST(Momentum, FrictionOpposesTheFlowWithManningMagnitude) {
    // Uniform flow over a flat bed 2 m deep: only friction acts, q' = q (1 - F) / (1 + F) with
    // F = g dt n^2 |q| / (2 D^(7/3)).
    for (float q : {1.0f, -1.0f}) {
        for (float factor : {1.0f, 0.5f}) {
            GridLevel level = FlatCartesian(12, 12, 2.0, 0.05f);
            FillFlux(level.fluxM, q);
            KernelSettings s = Settings(10.0f);
            s.timeStepFactor = factor;
            MomentumCartesian(level, 0.01, 0.0, s);
            const double f = factor * 0.5 * kG * 10.0 * 0.05 * 0.05 * 1.0 / std::pow(2.0, 2.333333);
            const float expected = static_cast<float>(q * (1.0 - f) / (1.0 + f));
            EXPECT_FLOAT_EQ(level.fluxMNext[6][6], expected) << q << " " << factor;
            EXPECT_LT(std::fabs(level.fluxMNext[6][6]), 1.0f);
            EXPECT_EQ(std::signbit(level.fluxMNext[6][6]), std::signbit(q));
        }
    }
    // Without roughness the flow keeps its flux exactly.
    GridLevel smooth = FlatCartesian(12, 12, 2.0, 0.0f);
    FillFlux(smooth.fluxM, 1.0f);
    MomentumCartesian(smooth, 0.01, 0.0, Settings(10.0f));
    EXPECT_EQ(smooth.fluxMNext[6][6], 1.0f);
}

TEST(Momentum, LimitsAndCuts) {
    // A steep step in the level: 5 m up and 5 m down between neighbours 10 m deep.
    auto step = [](GridLevel& level) {
        SetNewLevel(level, 5, 5, 5.0f);
        SetNewLevel(level, 6, 5, -5.0f);
        SetNewLevel(level, 5, 6, -5.0f);
    };
    {
        GridLevel level = SphericalLevel(10, 10, 140.0, 40.0, 1.0, 60.0);
        SetDepth(level, [](int, int) { return 10.0; });
        step(level);
        KernelSettings s = Settings(60.0f);
        s.velocityLimit = 2.0f;
        MomentumSpherical(level, 0.0, s);
        EXPECT_EQ(level.fluxMNext[5][5], 20.0f);  // 2 m/s x 10 m
        EXPECT_EQ(level.fluxNNext[5][5], 20.0f);
        EXPECT_EQ(level.totalDepthM[5][5], 10.0f);  // the flux depth used
    }
    {
        // Cartesian x-fluxes are held to 30 m/s x depth whatever velocityLimit says; y-fluxes
        // to velocityLimit x depth.
        GridLevel level = FlatCartesian(10, 10, 10.0);
        step(level);
        KernelSettings s = Settings(1.0f);
        s.velocityLimit = 100.0f;
        MomentumCartesian(level, 2.0, 0.0, s);
        EXPECT_EQ(level.fluxMNext[5][5], 300.0f);
        EXPECT_EQ(level.fluxNNext[5][5], 1000.0f);
    }
    {
        // Flux depths of 5 cm: below flowDepthLimit (0.1 m) a face carries nothing, except a
        // Cartesian x-face, which is cut only at 1e-5 m.
        auto shallow = [](GridLevel& level) {
            SetDepth(level, [](int, int) { return 0.05; });
            SetNewLevel(level, 5, 5, 0.01f);
        };
        GridLevel cart = CartesianLevel(10, 10);
        shallow(cart);
        MomentumCartesian(cart, 0.1, 0.0, Settings(1.0f));
        EXPECT_GT(cart.fluxMNext[5][5], 0.0f);  // out of the raised cell, eastwards
        EXPECT_LT(cart.fluxMNext[4][5], 0.0f);  // and westwards
        EXPECT_EQ(cart.fluxNNext[5][5], 0.0f);
        GridLevel sphere = SphericalLevel(10, 10, 140.0, 40.0, 1.0, 60.0);
        shallow(sphere);
        MomentumSpherical(sphere, 0.0, Settings(60.0f));
        EXPECT_EQ(sphere.fluxMNext[5][5], 0.0f);
        EXPECT_EQ(sphere.fluxMNext[4][5], 0.0f);
        EXPECT_EQ(sphere.fluxNNext[5][5], 0.0f);
    }
    {
        // Small fluxes: below 1e-4 they vanish; Cartesian y-fluxes already below 1e-3.
        GridLevel cart = FlatCartesian(10, 10, 10.0);
        FillFlux(cart.fluxM, 5e-4f);
        FillFlux(cart.fluxN, 5e-4f);
        MomentumCartesian(cart, 0.01, 0.0, Settings(1.0f));
        EXPECT_EQ(cart.fluxMNext[5][5], 5e-4f);
        EXPECT_EQ(cart.fluxNNext[5][5], 0.0f);
        FillFlux(cart.fluxM, 5e-5f);
        MomentumCartesian(cart, 0.01, 0.0, Settings(1.0f));
        EXPECT_EQ(cart.fluxMNext[5][5], 0.0f);
        GridLevel sphere = SphericalLevel(10, 10, 140.0, 40.0, 1.0, 60.0);
        SetDepth(sphere, [](int, int) { return 10.0; });
        FillFlux(sphere.fluxN, 5e-4f);
        FillFlux(sphere.fluxM, 5e-5f);
        MomentumSpherical(sphere, 0.0, Settings(60.0f));
        EXPECT_NEAR(sphere.fluxNNext[5][5], 5e-4f, 1e-6f);
        EXPECT_EQ(sphere.fluxMNext[5][5], 0.0f);
    }
}

TEST(Momentum, LandCutoffAndNonlinearDepthGate) {
    GridLevel level = SphericalLevel(10, 10, 140.0, 45.0, 1.0, 60.0, 0.0f, true);
    SetDepth(level, [](int i, int) { return i <= 5 ? 200.0 : 50.0; });
    level.depth[8][8] = -50.0f;  // higher than the 40 m cut-off
    level.depth[8][3] = -30.0f;  // lower land
    level.totalDepth[8][8] = level.totalDepthNext[8][8] = 0.0f;
    level.totalDepth[8][3] = level.totalDepthNext[8][3] = 0.0f;
    FillFlux(level.fluxN, 1.0f);
    level.fluxMNext.Fill(7.0f);
    level.optionEnabled = 1;
    level.optionValue = 100;
    MomentumSpherical(level, 0.0, Settings(60.0f));
    EXPECT_EQ(level.fluxM[8][8], 0.0f);
    EXPECT_EQ(level.fluxN[8][8], 0.0f);
    EXPECT_EQ(level.fluxMNext[8][8], 0.0f);
    EXPECT_EQ(level.fluxNNext[8][8], 0.0f);
    EXPECT_EQ(level.fluxN[8][3], 1.0f);  // below the cut-off height: current flux untouched
    // A still x-face under a northward flow turns east only through Coriolis: f dt N with
    // coriolisCentre = Omega dt/2 sin(phi) applied to the sum of the four N around the face.
    EXPECT_FLOAT_EQ(level.fluxMNext[7][5], 4.0f * level.coriolisCentre[5]);
    // Deeper than optionValue: neither advection nor Coriolis.
    EXPECT_EQ(level.fluxMNext[3][5], 0.0f);
    EXPECT_EQ(level.fluxNNext[3][5], 1.0f);
}

TEST(Momentum, FroudeValuesAreCappedAt99999) {
    // The east column's x-face opens to the halo (still, dry): with a raised level there the
    // sweep gives the face a flux while the averaged depth at the face is 0, so u is unbounded
    // (the edge treatment then takes that flux off the face).
    GridLevel level = FlatCartesian(8, 8, 1.0);
    SetNewLevel(level, 8, 4, 0.5f);
    MomentumCartesian(level, 0.1, 0.0, Settings(1.0f));
    EXPECT_EQ(level.fluxMNext[8][4], 0.0f);
    EXPECT_EQ(level.maxFroudeSquared[8][4], 99999.0f);
    EXPECT_EQ(level.currentAtMaxFroudeSquared[8][4], 99999.0f);
}

TEST(Auxiliary, AverageFaceDepthsAndTheReachedDepth) {
    for (bool spherical : {true, false}) {
        GridLevel level = spherical ? SphericalLevel(8, 8, 140.0, 40.0, 1.0, 60.0) : CartesianLevel(8, 8);
        SetDepth(level, [](int i, int j) { return 10.0 * i + j; });
        KernelSettings s = Settings(1.0f);
        EXPECT_EQ(AverageFaceDepths(level, s), 0.0f) << "nothing has moved";
        level.totalDepth[4][4] = 1.0f;
        level.totalDepthNext[4][4] = 2.0f;
        level.totalDepthNext[5][4] = 3.0f;
        level.totalDepth[5][4] = 4.0f;
        level.totalDepthNext[4][5] = 5.0f;
        level.totalDepth[4][5] = 6.0f;
        for (int i = 2; i <= 3; ++i) {
            level.totalDepth[i][2] = level.totalDepthNext[i][2] = 4e-6f;
            level.totalDepth[i][3] = level.totalDepthNext[i][3] = 4e-6f;
        }
        level.etaNext[3][6] = -0.1f;  // a trough at depth 36
        level.etaNext[2][5] = 0.2f;   // a crest at depth 25
        level.etaNext[8][8] = 0.5f;   // outside the face-depth range
        for (int threads : {1, 2, 3}) {
            s.threadCount = threads;
            EXPECT_EQ(AverageFaceDepths(level, s), spherical ? 36.0f : 25.0f) << threads;
        }
        EXPECT_EQ(level.totalDepthM[4][4], 2.5f);
        EXPECT_EQ(level.totalDepthN[4][4], 3.5f);
        EXPECT_EQ(level.totalDepthM[2][2], 0.0f);  // 4e-6 m is no water
        EXPECT_EQ(level.totalDepthN[2][2], 0.0f);
    }
}

TEST(Auxiliary, RadiationEdges) {
    GridLevel level = SphericalLevel(10, 10, 140.0, 40.0, 1.0, 60.0);
    SetDepth(level, [](int, int) { return 10.0; });
    level.eta[3][5] = 0.2f;  // west
    level.eta[5][3] = 0.2f;  // south
    level.eta[6][8] = 0.2f;  // north (ny - 2)
    level.eta[3][7] = 0.2f;
    level.depth[2][7] = 0.0f;  // a dry edge cell
    level.etaNext[1][7] = 0.3f;
    level.totalDepthNext[2][7] = 0.0f;
    RadiateOpenBoundariesSpherical(level, Settings(60.0f));
    const double c = std::sqrt(10.0f * kG);
    const float west = static_cast<float>(c * level.metricX[2][5] * 0.2f);
    EXPECT_FLOAT_EQ(level.etaNext[2][5], west);
    EXPECT_EQ(level.etaNext[1][5], level.etaNext[2][5]);
    EXPECT_FLOAT_EQ(level.totalDepthNext[1][5], 10.0f + west);
    // Across the south and north edges the cell size is R dPhi: metricX times cos(latitude).
    const float south =
        static_cast<float>(c * (static_cast<double>(level.metricX[5][2]) * level.cosLatitude[2]) * 0.2f);
    EXPECT_FLOAT_EQ(level.etaNext[5][2], south);
    EXPECT_EQ(level.etaNext[5][1], level.etaNext[5][2]);
    const float north =
        static_cast<float>(c * (static_cast<double>(level.metricX[6][9]) * level.cosLatitude[9]) * 0.2f);
    EXPECT_FLOAT_EQ(level.etaNext[6][9], north);
    EXPECT_EQ(level.etaNext[6][10], level.etaNext[6][9]);
    EXPECT_EQ(level.etaNext[2][7], 0.0f);  // dry: unchanged, and no copy outwards
    EXPECT_EQ(level.etaNext[1][7], 0.3f);

    GridLevel cart = FlatCartesian(10, 10, 10.0);
    cart.eta[1][4] = 0.1f;
    cart.eta[2][4] = 0.3f;
    cart.etaNext[1][4] = 0.1f;
    cart.eta[2][6] = 0.01f;  // a change below 1 mm is kept
    const double ratio = 0.01;
    RadiateOpenBoundariesCartesian(cart, ratio, Settings(1.0f));
    const double depth = 0.1f + 10.0;
    const double rise = static_cast<double>(0.3f) - 0.1f;
    EXPECT_FLOAT_EQ(cart.etaNext[1][4], static_cast<float>(0.1f + std::sqrt(depth * kG) * ratio * rise));
    EXPECT_FLOAT_EQ(cart.totalDepthNext[1][4], cart.etaNext[1][4] + 10.0f);
    EXPECT_FLOAT_EQ(cart.etaNext[1][6], static_cast<float>(std::sqrt(10.0 * kG) * ratio * 0.01f));
    EXPECT_EQ(cart.etaNext[0][4], 0.0f);  // nothing is copied into the halo
}

TEST(Auxiliary, SmoothEdgeFluxes) {
    auto prepare = [](GridLevel& level) {
        SetDepth(level, [](int, int) { return 10.0; });
        for (int i = 1; i <= 6; ++i) {
            for (int j = 1; j <= 6; ++j) {
                level.fluxMNext[i][j] = static_cast<float>(10 * i + j);
                level.fluxNNext[i][j] = static_cast<float>(-(10 * i + j));
                level.fluxM[i][j] = 1.0f;
                level.fluxN[i][j] = 2.0f;
                level.etaNext[i][j] = 0.5f;
            }
        }
    };
    GridLevel sphere = SphericalLevel(6, 6, 140.0, 40.0, 1.0, 60.0);
    prepare(sphere);
    SmoothEdgeFluxesSpherical(sphere, Settings(60.0f));
    EXPECT_EQ(sphere.fluxMNext[3][1], 0.5f * (32.0f + 1.0f));   // south, from row 2
    EXPECT_EQ(sphere.fluxNNext[3][6], 0.5f * (-35.0f + 2.0f));  // north, from row 5
    EXPECT_EQ(sphere.fluxMNext[1][4], 0.5f * (24.0f + 1.0f));   // west, from column 2
    EXPECT_EQ(sphere.fluxMNext[6][4], 0.5f * (54.0f + 1.0f));   // east, from column 5
    // Corner: the south row is done first, so the west column then sees the new (2,1).
    EXPECT_EQ(sphere.fluxMNext[1][1], 0.5f * (0.5f * (22.0f + 1.0f) + 1.0f));
    EXPECT_EQ(sphere.totalDepthM[6][4], 10.5f);
    EXPECT_EQ(sphere.totalDepthN[3][6], 10.5f);
    // The faces between the radiating cells and the interior: rows 2|3 and 4|5, columns 2|3, 4|5.
    EXPECT_EQ(sphere.fluxNNext[3][2], 0.5f * (-33.0f + 2.0f));
    EXPECT_EQ(sphere.fluxNNext[3][4], 0.5f * (-33.0f + 2.0f));
    EXPECT_EQ(sphere.fluxMNext[4][3], 0.5f * (33.0f + 1.0f));

    GridLevel cart = CartesianLevel(6, 6);
    prepare(cart);
    SmoothEdgeFluxesCartesian(cart, Settings(1.0f));
    EXPECT_EQ(cart.fluxMNext[3][1], 0.5f * (32.0f + 1.0f));
    EXPECT_EQ(cart.fluxNNext[1][4], 0.5f * (-24.0f + 2.0f));
    EXPECT_EQ(cart.totalDepthM[1][4], 10.5f);
    EXPECT_EQ(cart.totalDepthN[1][4], 0.0f);  // not set on the west column
    EXPECT_EQ(cart.totalDepthN[3][1], 10.5f);
    // North and east mirror south and west: the edge cell's along-edge flux, the face to its
    // inner neighbour, and nothing into the halo.
    EXPECT_EQ(cart.fluxMNext[3][6], 0.5f * (35.0f + 1.0f));
    EXPECT_EQ(cart.fluxNNext[3][5], 0.5f * (-34.0f + 2.0f));
    EXPECT_EQ(cart.fluxNNext[3][6], 0.0f);
    EXPECT_EQ(cart.fluxNNext[6][4], 0.5f * (-54.0f + 2.0f));
    EXPECT_EQ(cart.fluxMNext[5][4], 0.5f * (44.0f + 1.0f));
    EXPECT_EQ(cart.fluxMNext[6][4], 0.0f);
    EXPECT_EQ(cart.totalDepthM[5][4], 10.5f);
}

TEST(Auxiliary, AdvanceTimeLevelCopiesTheInteriorOnly) {
    GridLevel level = CartesianLevel(5, 4);
    for (Field* f : {&level.etaNext, &level.fluxMNext, &level.fluxNNext, &level.totalDepthNext}) {
        for (int i = 0; i <= 7; ++i) {
            for (int j = 0; j <= 6; ++j) (*f)[i][j] = static_cast<float>(100 * i + j);
        }
    }
    AdvanceTimeLevel(level, Settings(1.0f));
    for (Field* f : {&level.eta, &level.fluxM, &level.fluxN, &level.totalDepth}) {
        for (int i = 0; i <= 7; ++i) {
            for (int j = 0; j <= 6; ++j) {
                const bool interior = i >= 1 && i <= 5 && j >= 1 && j <= 4;
                EXPECT_EQ((*f)[i][j], interior ? static_cast<float>(100 * i + j) : 0.0f) << i << "," << j;
            }
        }
    }
}

TEST(Auxiliary, MalformedAndTinyLevelsAreSafe) {
    KernelSettings s = Settings(1.0f);
    GridLevel empty;
    empty.nx = 10;
    empty.ny = 10;
    ContinuityCartesian(empty, 0.1, 0.0, s);
    EXPECT_EQ(MomentumCartesian(empty, 0.1, 0.0, s), 0.0f);
    GridLevel cartesian = CartesianLevel(6, 6);
    cartesian.gridType = 2;  // claims to be spherical but has no latitude tables
    cartesian.cosLatitude.clear();
    ContinuitySpherical(cartesian, 0.0, s);
    EXPECT_EQ(MomentumSpherical(cartesian, 0.0, s), 0.0f);
    GridLevel wrongSize = CartesianLevel(6, 6);
    wrongSize.nx = 60;  // header larger than the arrays
    ContinuityCartesian(wrongSize, 0.1, 0.0, s);
    EXPECT_EQ(MomentumCartesian(wrongSize, 0.1, 0.0, s), 0.0f);
    AdvanceTimeLevel(wrongSize, s);
    // Grids of 1 to 4 cells a side run every kernel without touching memory they do not own.
    for (int n = 1; n <= 4; ++n) {
        GridLevel cart = FlatCartesian(n, n, 5.0);
        fixture::SetLevel(cart, [](int, int) { return 0.5; });
        fixture::StepCartesian(cart, 0.1, 1.0, s);
        GridLevel sphere = SphericalLevel(n, n, 140.0, 40.0, 1.0, 10.0, 0.0f, true);
        SetDepth(sphere, [](int, int) { return 5.0; });
        fixture::SetLevel(sphere, [](int, int) { return 0.5; });
        fixture::StepSpherical(sphere, 1.0, s);
        EXPECT_TRUE(std::isfinite(cart.eta[1][1]) && std::isfinite(sphere.eta[1][1])) << n;
    }
}

TEST(Auxiliary, TeamSize) {
    KernelSettings s;
    s.threadCount = 3;
    EXPECT_EQ(KernelTeamSize(s), 3);
    s.threadCount = 0;
    EXPECT_EQ(KernelTeamSize(s), omp_get_max_threads());
    s.threadCount = -2;
    EXPECT_EQ(KernelTeamSize(s), omp_get_max_threads());
}

}  // namespace
