#pragma once
// Both fluxes of a column's cells whose whole stencil is wet, without branches: the
// loop runs in vector registers (AVX2 where the processor has it, chosen once at run time, else
// the baseline instruction set) and gives the same bits as the general per-cell update
// (Momentum.cpp) for those cells, with the same operations in the same order and the Manning
// power from cells::ManningPower. Cells that need the general update are marked for it; their
// face depths are left as they were (that update reads them) and their fluxes are for it to
// overwrite.
#include <cstdint>

namespace wetflux {

// Rows handled per call; the caller's scratch holds this many entries.
inline constexpr int kChunk = 256;

// Column pointers around column i. Offsets are relative to i, index [offset + 2].
struct Column {
    const float* totalNext[5] = {};  // new total depth, columns i-2 .. i+2
    const float* total[5] = {};      // total depth before the mass update, columns i-1 .. i+2 used
    const float* fluxM[5] = {};      // current x-flux, columns i-2 .. i+1
    const float* fluxN[5] = {};      // current y-flux, columns i-1 .. i+1
    const float* depth = nullptr;    // still-water depth of column i
    const float* eta0 = nullptr;     // new water level, columns i and i+1
    const float* eta1 = nullptr;
    const float* manning = nullptr;
    const float* metricX = nullptr;
    const float* gravityMetricX = nullptr;
    const float* gravityMetricY = nullptr;
    const float* cosLatitude = nullptr;
    const float* coriolisCentre = nullptr;
    const float* coriolisEdge = nullptr;
    float* fluxMNext = nullptr;
    float* fluxNNext = nullptr;
    float* totalDepthM = nullptr;  // read as the face's own depth, then (spherical) overwritten with the flux depth
    float* totalDepthN = nullptr;
    const float* faceMWest = nullptr;  // Cartesian: the x-face depths of columns i-1 and i+1 as stored
    const float* faceMEast = nullptr;
};

struct Scalars {
    bool spherical = true;
    double advection = 0.0;  // Cartesian: f dt/dx and g f dt/dx; spherical levels take them from the metric
    double pressure = 0.0;
    double factor = 1.0;
    double frictionBase = 0.0;
    double frictionFloor = 0.0;
    double flowDepthLimit = 0.0;
    double velocityLimit = 0.0;
    double velocityLimitM = 0.0;  // the x-flux's (Cartesian: at most 30 m/s)
    double fluxCutM = 0.0;  // must be > 0 (a zero flux leaves the update as +0)
    double fluxCutN = 0.0;
    float landCutoff = 0.0f;
    bool coriolis = false;
    bool optionEnabled = false;
    double optionValue = 0.0;
};

// Per-call scratch, on the caller's stack.
struct Scratch {
    double powerM[kChunk];
    double powerN[kChunk];
    // Rows lo-1 .. hi+1: the mean y-flux around each east face and the two face depths of the
    // column, each worked out once for the three rows that read it.
    double nBar[kChunk + 2];
    double faceM[kChunk + 2];
    double faceN[kChunk + 2];
    std::int64_t general[kChunk];  // nonzero: the cell needs the general update
    float wetDepths[kChunk];
};

// Rows lo .. lo+count-1 (count <= kChunk, rows 3 .. ny-3 of a column 3 .. nx-3): writes both
// fluxes and the face depths the general update writes of every wholly wet cell and sets general[k] for row lo+k
// where the general update must run instead. With allowVector false, in the baseline
// instruction set whatever the processor.
void Fluxes(const Column& c, const Scalars& s, int lo, int count, Scratch& scratch, bool allowVector = true);

// Whether this build and processor run the loop in AVX2.
bool VectorLoopAvailable();

}  // namespace wetflux
