#pragma once
// Snapshots of derived quantities of one level at one model time: flow indicators (squared
// Froude number, Rouse number, momentum flux), the discharge fluxes, or the velocities (u, v,
// current speed and direction). Surfer text grids for outputFormat 0 and 3, Surfer binary grids
// for 1, one record of a netCDF series per call for 2.
#include <cstdint>
#include <string>

#include "Field.h"
#include "SimulationParameters.h"

enum SnapshotMode : int32_t {
    kFlowIndicators = 0,  // "d" (Fr^2), "ro" (Rouse number, with cellFieldFromFile), "momentum"
    kFluxes = 1,          // "m", "n"
    kVelocities = 2,      // "u", "v", "cur", "ang"
};

// Writes the files of `mode` for one level at `time` seconds into the folder `prefix`.
// fluxM, fluxN are the next-level fluxes M and N; totalDepthM, totalDepthN the total depths at
// their points. `record` numbers the netCDF record (0 creates the series' files).
void WriteSnapshot(const SimulationParameters& settings, ConstView rouseNumber, ConstView fluxM, ConstView fluxN,
                   ConstView totalDepthM, ConstView totalDepthN, double time, double xMin, double xMax, double yMin,
                   double yMax, int32_t nx, int32_t ny, int32_t mode, std::string prefix, int32_t record);

// Per-cell quantities, computed in single precision from the stored fields (g = 9.8). Each
// returns 0 for a cell that fails its depth test.
namespace snapshot {
struct Cell {
    float fluxM, fluxN, totalDepthM, totalDepthN;
};
// ((M/DM)^2 + (N/DN)^2) / (DM g) where DM > e and DN > e.
float FroudeSquared(const Cell& cell, double e);
// sqrt(M^4/DM^2 + N^4/DN^2) where |DM| > 0.01 and |DN| > 0.01.
bool HasMomentumFlux(const Cell& cell);
float MomentumFlux(const Cell& cell);
float VelocityU(const Cell& cell, double e);  // M / DM where DM > e
float VelocityV(const Cell& cell, double e);  // N / DN where DN > e
float CurrentSpeed(const Cell& cell, double e);  // sqrt(u^2 + v^2) where DM > e and DN > e
// atan(M/N) in degrees (within +-90, measured from the y axis) where |N| > a.
double CurrentDirection(const Cell& cell, double a);
}  // namespace snapshot
