#pragma once
// Setup of one grid level: its type from the host record, its fields (allocated and given
// their initial values in one first-touch pass), and the spherical coefficients.
#include <omp.h>

#include <array>
#include <cstdint>
#include <vector>

#include "GridLevel.h"
#include "HostRecords.h"

// Two-dimensional fields every level has, and those only spherical levels have.
inline constexpr std::array<Field GridLevel::*, 36> kLevelFields = {
    &GridLevel::flowDepthAtMaxCurrent, &GridLevel::timeOfMaxCurrent, &GridLevel::maxDischargeFlux,
    &GridLevel::maxFluxN, &GridLevel::maxFluxM, &GridLevel::depth, &GridLevel::fluxM, &GridLevel::fluxMNext,
    &GridLevel::fluxN, &GridLevel::fluxNNext, &GridLevel::totalDepthM, &GridLevel::cellField,
    &GridLevel::totalDepthN, &GridLevel::rouseNumber, &GridLevel::totalDepth, &GridLevel::totalDepthNext,
    &GridLevel::manning, &GridLevel::eta, &GridLevel::etaNext, &GridLevel::etaMax, &GridLevel::etaMin,
    &GridLevel::timeOfMaxWave, &GridLevel::firstWaveArrival, &GridLevel::maxCurrentAngle, &GridLevel::maxCurrent,
    &GridLevel::maxFlowDepth, &GridLevel::maxFroude, &GridLevel::maxFroudeSquared, &GridLevel::maxDragForce,
    &GridLevel::maxDischargeFluxAngle, &GridLevel::froudeSquaredU, &GridLevel::froudeSquaredV,
    &GridLevel::maxMomentumFlux, &GridLevel::currentAtMaxFroudeSquared, &GridLevel::flowDepthAtMaxFroudeSquared,
    &GridLevel::timeOfMaxFroudeSquared};
inline constexpr std::array<Field GridLevel::*, 3> kSphericalLevelFields = {
    &GridLevel::metricX, &GridLevel::gravityMetricX, &GridLevel::gravityMetricY};

// Initial Rouse-number numerator of every cell when no cell-field file is read.
inline constexpr float kDefaultCellField = 0.1f;

// Spherical metric constants.
inline constexpr double kEarthRadiusMetric = 6371008.0;      // m
inline constexpr double kEarthRotationRate = 7.2921159e-5;    // 1/s
inline constexpr double kDegreesToRadians = 0.017453292519943295;
inline constexpr double kHalfGravity = 4.903325080871582;     // half of the single-precision 9.80665

// OpenMP team size of the setup loops: the run's thread count, or the runtime default below 1.
inline int SetupThreads(int32_t threadCount) { return threadCount >= 1 ? threadCount : omp_get_max_threads(); }

// Sets the strings and type fields of a level from its host record; false for a grid type
// other than 0 to 3 (the level is then left as it was).
bool LevelFromHostRecord(const HostGridRecord& record, GridLevel& level);

// Allocates every field of the level for its nx x ny (and, when spherical, the spherical
// fields and the three latitude arrays). Throws std::bad_alloc when memory runs out.
void AllocateLevelFields(GridLevel& level);

// Allocates the mass update's scratch of limited fluxes (limitedFluxM, limitedFluxN: NaN
// everywhere; limitedRows). AllocateLevelFields calls it.
void AllocateLimitScratch(GridLevel& level);

// Gives every allocated field its initial values in one parallel pass over the columns i
// (static schedule, so each column is first touched by the thread that will work on it):
// every cell, halo included, 0, except cellField (0.1, or `cellFieldValues` on the interior
// when given); then on the interior depth from `depthValues` (row-major from (xMin, yMin)),
// manning = manningCoefficient, totalDepth = totalDepthNext = depth at sea and 0 on land.
void InitialiseLevelFields(GridLevel& level, const std::vector<float>& depthValues, float manningCoefficient,
                           const std::vector<float>* cellFieldValues, int threads);

// Time step of level k: each nesting level is three times finer and takes three sub-steps
// per step of its parent, so level k advances by timeStep / 3^k (divided in single precision).
float LevelTimeStep(float timeStep, int32_t levelIndex);

// Metric and Coriolis coefficients of a spherical level for its time step dt.
void ComputeSphericalCoefficients(GridLevel& level, float dt, int threads);

// Bytes held by the level's fields and arrays (capacity, not just size).
std::size_t LevelFieldBytes(const GridLevel& level);
