#pragma once
// Small grid levels for the solver tests and benchmarks, built without the model setup (spherical
// coefficients from their defining formulas), the driver's step, and tables of cell values.
#include <cmath>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <vector>

#include "GridLevel.h"
#include "Kernels.h"
#include "ModelSetup.h"

namespace fixture {

inline constexpr double kDegree = 0.017453292519943295, kEarthRadius = 6371008.0, kEarthRotation = 7.2921159e-5;
inline constexpr double kG = static_cast<double>(9.80665f);

inline std::vector<Field*> AllFields(GridLevel& l) {
    return {&l.flowDepthAtMaxCurrent, &l.timeOfMaxCurrent, &l.maxDischargeFlux, &l.maxFluxN, &l.maxFluxM,
            &l.depth, &l.fluxM, &l.fluxMNext, &l.fluxN, &l.fluxNNext, &l.totalDepthM, &l.cellField,
            &l.totalDepthN, &l.rouseNumber, &l.totalDepth, &l.totalDepthNext, &l.manning, &l.metricX,
            &l.gravityMetricX, &l.gravityMetricY, &l.eta, &l.etaNext, &l.etaMax, &l.etaMin, &l.timeOfMaxWave,
            &l.firstWaveArrival, &l.maxCurrentAngle, &l.maxCurrent, &l.maxFlowDepth, &l.maxFroude,
            &l.maxFroudeSquared, &l.maxDragForce, &l.maxDischargeFluxAngle, &l.froudeSquaredU, &l.froudeSquaredV,
            &l.maxMomentumFlux, &l.currentAtMaxFroudeSquared, &l.flowDepthAtMaxFroudeSquared,
            &l.timeOfMaxFroudeSquared};
}

inline KernelSettings Settings(float dt, int threads = 1) { return {.threadCount = threads, .timeStep = dt}; }

// Cartesian level with every field zero except cellField (0.1) and the given Manning n.
inline GridLevel CartesianLevel(int nx, int ny, float manning = 0.0f) {
    GridLevel level;
    level.nx = nx;
    level.ny = ny;
    for (Field* f : AllFields(level)) {
        f->Allocate(nx, ny);
        f->Fill(0.0f);
    }
    level.cellField.Fill(0.1f);
    level.manning.Fill(manning);
    AllocateLimitScratch(level);
    return level;
}

// Spherical level from (xMin, yMin), square cells of cellMinutes arc-minutes, the metric of a step dt (s).
inline GridLevel SphericalLevel(int nx, int ny, double xMin, double yMin, double cellMinutes, double dt,
                                float manning = 0.0f, bool coriolis = false) {
    GridLevel level = CartesianLevel(nx, ny, manning);
    level.gridType = 2;
    level.coriolisEnabled = coriolis ? 1 : 0;
    level.xMin = xMin;
    level.xMax = xMin + (nx - 1) * cellMinutes / 60.0;
    level.yMin = yMin;
    level.yMax = yMin + (ny - 1) * cellMinutes / 60.0;
    const double dl = cellMinutes, halfG = 4.903325080871582, r = dt / (dl / 60.0 * kEarthRadius * kDegree);
    level.cosLatitude.assign(ny + 3, 0.0f);
    level.coriolisCentre.assign(ny + 3, 0.0f);
    level.coriolisEdge.assign(ny + 3, 0.0f);
    for (int j = 1; j <= ny; ++j) {
        const double centre = ((j * dl - dl * 0.5) / 60.0 + yMin) * kDegree;
        const double edge = ((j * dl) / 60.0 + yMin) * kDegree;
        level.cosLatitude[j] = static_cast<float>(std::cos(centre));
        level.coriolisCentre[j] = static_cast<float>(std::sin(centre) * (dt * 0.5 * kEarthRotation));
        level.coriolisEdge[j] = static_cast<float>(std::sin(edge) * (dt * 0.5 * kEarthRotation));
        for (int i = 1; i <= nx; ++i) {
            level.metricX[i][j] = static_cast<float>(r / std::cos(centre));
            level.gravityMetricX[i][j] = static_cast<float>(2.0 * (r * halfG) / std::cos(centre));
            level.gravityMetricY[i][j] = static_cast<float>(2.0 * (r * halfG));
        }
    }
    return level;
}

// Calls f(i, j) for every cell of the level, halo included (0..nx+2, 0..ny+2), or the interior only.
inline void ForEachCell(const GridLevel& level, const std::function<void(int, int)>& f, bool halo = true) {
    for (int i = halo ? 0 : 1; i <= level.nx + (halo ? 2 : 0); ++i) {
        for (int j = halo ? 0 : 1; j <= level.ny + (halo ? 2 : 0); ++j) f(i, j);
    }
}

inline bool Interior(const GridLevel& l, int i, int j) { return i >= 1 && i <= l.nx && j >= 1 && j <= l.ny; }

// Still-water depth of every interior cell from depthAt(i, j), total depths of a level at rest.
inline void SetDepth(GridLevel& level, const std::function<double(int, int)>& depthAt) {
    ForEachCell(level, [&](int i, int j) {
        const float h = static_cast<float>(depthAt(i, j));
        level.depth[i][j] = h;
        level.totalDepth[i][j] = level.totalDepthNext[i][j] = h > 0.0f ? h : 0.0f;
    }, false);
}

// Water level etaAt(i, j) of the wet interior cells at both time levels.
inline void SetLevel(GridLevel& level, const std::function<double(int, int)>& etaAt) {
    ForEachCell(level, [&](int i, int j) {
        if (level.depth[i][j] <= 0.0f) return;
        level.eta[i][j] = level.etaNext[i][j] = static_cast<float>(etaAt(i, j));
        level.totalDepth[i][j] = level.totalDepthNext[i][j] = level.depth[i][j] + level.eta[i][j];
    }, false);
}

inline void SetNewLevel(GridLevel& level, int i, int j, float eta) {
    level.etaNext[i][j] = eta;
    level.totalDepthNext[i][j] = level.depth[i][j] + eta;
}

// One full (sub)step at model time t (s) as the step driver runs it; ratio = dt / dx (s/m).
inline void StepSpherical(GridLevel& level, double t, const KernelSettings& s) {
    ContinuitySpherical(level, t / 60.0, s);
    level.stepMaximum = MomentumSpherical(level, std::trunc(t), s);
    AdvanceTimeLevel(level, s);
}
inline void StepCartesian(GridLevel& level, double ratio, double t, const KernelSettings& s) {
    ContinuityCartesian(level, ratio, t / 60.0, s);
    level.stepMaximum = MomentumCartesian(level, ratio, std::trunc(t), s);
    AdvanceTimeLevel(level, s);
}
inline void Step(GridLevel& level, double t, const KernelSettings& s, double ratio = 0.0) {
    level.IsSpherical() ? StepSpherical(level, t, s) : StepCartesian(level, ratio, t, s);
}

// One value of one cell: SetCells writes a table of them, ExpectCells checks one to float precision.
struct Cell {
    Field& field;
    int i, j;
    double value;
};
inline void SetCells(std::initializer_list<Cell> cells) {
    for (const Cell& c : cells) c.field[c.i][c.j] = static_cast<float>(c.value);
}

inline bool SameBytes(const Field& a, const Field& b) {
    return a.Size() == b.Size() && std::memcmp(a.Data(), b.Data(), a.Size() * sizeof(float)) == 0;
}

#ifdef EXPECT_FLOAT_EQ
inline void ExpectCells(std::initializer_list<Cell> cells) {
    for (const Cell& c : cells)
        EXPECT_FLOAT_EQ(c.field[c.i][c.j], static_cast<float>(c.value)) << "entry " << &c - cells.begin() << ": " << c.i
                                                                         << "," << c.j;
}
#endif

}  // namespace fixture
