#pragma once
// The field writer: flattens one field of a level into a row-major buffer, applies the mask of
// its kind, finds the range and writes the grid file (or netCDF record) of the kind.
#include <cstdint>
#include <string>

#include "Field.h"

class ZellSimulatorVestra;

// What a written field is, which selects its file name and its mask. Kind 0 is the periodic
// water-level frame; kinds 1 to 29 are the extreme-value files written at the end of a run.
enum FieldKind : int32_t {
    kWaterLevelFrame = 0,             // eta: P + "t" + %06d seconds, or "NETCDF_H.nc"
    kEtaMax = 1,                      // "OUT-ETA-MAX"
    kEtaMin = 2,                      // "OUT-ETA-MIN"
    kTimeOfMaxWave = 3,               // "OUT-TIME-MAX-WAVE"
    kFirstWaveArrival = 4,            // "OUT-TIME-FIRST-WAVE"
    kMaxFlowDepth = 5,                // "OUT-FLOWDEPTHMAX"
    kMaxCurrentAngle = 6,             // "OUT-CURMAX-ANGLE"
    kMaxCurrent = 7,                  // "OUT-CURMAX"
    kMaxFroudeSquared = 8,            // "OUT-FR2MAX"
    kMaxFlowDepthLand = 9,            // "OUT-FLOWDEPTHMAXLAND" (the caller passes the land-masked field)
    kCurrentAtMaxFroudeSquared = 10,  // "OUT-CURatFR2max"
    kFlowDepthAtMaxFroudeSquared = 11,  // "OUT-FDatFR2max"
    kTimeOfMaxFroudeSquared = 12,     // "OUT-timeatFr2max"
    kFlowDepthAtMaxCurrent = 13,      // "OUT-FD@curmax"
    kTimeOfMaxCurrent = 14,           // "OUT-time@curmax"
    kFroudeSquaredU = 15,             // "OUT-FR2U"
    kFroudeSquaredV = 16,             // "OUT-FR2V"
    kMaxFroude = 17,                  // "OUT-FRMAX"
    kMaxDragForce = 18,               // "OUT-FDRAG_MAX"
    kMaxFluxM = 19,                   // "OUT-M-MAX"
    kMaxFluxN = 20,                   // "OUT-N-MAX"
    kMaxDischargeFlux = 21,           // "OUT-MN-DISFLUX-MAX"
    kMaxDischargeFluxAngle = 22,      // "OUT-MN-DISFLUX-MAX-ANGLE"
    kMaxMomentumFlux = 23,            // "OUT-MN-MOMENTUM-FLUX"
    kMaxDischargeFluxLand = 24,       // "OUT-MN-DISFLUX-MAX_LAND": field where depth <= 0, else 0
    kMaxDischargeFluxAngleLand = 25,  // "OUT-MN-DISFLUX-MAX-ANGLE_LAND"
    kMaxCurrentLand = 26,             // "OUT-CUR-MAX_LAND"
    kMaxCurrentAngleLand = 27,        // "OUT-CURMAX-ANGLE_LAND"
    kMaxMomentumFluxLand = 28,        // "OUT-MN-MOMENTUM-FLUX_LAND"
    kEtaMinDrySeaBorder = 29,         // "OUT-ETA-MIN-DRY-SEA-BORDER": 1 where the sea bed fell dry, else 0
};

// File name (without folder and extension) of kinds 1 to 29; null for kind 0 and unknown kinds.
const char* FieldKindFileName(int32_t kind);

// `stem` + "t" + the model time truncated to whole seconds, at least six digits, zero-filled
// ("%06d"): TimedName("d", 600) is "dt000600".
std::string TimedName(const char* stem, double timeSeconds);

// Writes `field` (interior i = 1..nx, j = 1..ny) as a file of `kind` into the folder `prefix`,
// in the simulator's outputFormat. `depth` supplies the masks of kinds 24 to 29. Kind 0 uses
// `time` in its name (grid formats) or as netCDF record `record`, and in the grid formats hands
// the flattened values to the host's frame receiver with `levelIndex`.
void WriteFieldGrid(const ZellSimulatorVestra& simulator, ConstView field, ConstView depth, double time,
                    double xMin, double xMax, double yMin, double yMax, int32_t nx, int32_t ny, int32_t kind,
                    std::string prefix, int32_t record, int32_t levelIndex);

// The flattening step alone, exposed for tests and benchmarks: fills `values` (nx * ny floats)
// with the masked field on `threads` threads (< 1: the runtime default) and returns its range
// through zMin and zMax; (0, 0) when there is no finite value.
void FlattenField(ConstView field, ConstView depth, int32_t nx, int32_t ny, int32_t kind, int32_t threads,
                  float* values, double& zMin, double& zMax);
