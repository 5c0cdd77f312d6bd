#pragma once
// The mass update of a column's cells where no outflow limit can act, without branches: the cell
// and its four neighbours each hold at least what their outgoing fluxes take in the step, so every
// face flux is delivered whole. The loop runs in vector registers (AVX2 where the processor has it,
// chosen once at run time, else the baseline instruction set) and gives the same bits as the
// per-cell update (Continuity.cpp) for those cells: the same operations in the same order, the
// still-cell, dry and wet outcomes and the running extremes as selects. Cells where a limit could
// act are marked for the per-cell update; what the loop wrote into them is for it to overwrite.
#include <cstdint>

namespace wetmass {

// Rows handled per call; the caller's scratch holds this many entries.
inline constexpr int kChunk = 256;

// Column pointers around column i, each indexed by row.
struct Column {
    const float* fluxM[2] = {};     // x-fluxes of columns i-1 and i
    const float* fluxN = nullptr;   // y-fluxes of column i
    const float* eta = nullptr;     // current level of column i
    const float* depth = nullptr;   // still-water depth of column i
    const float* metricX = nullptr; // spherical only
    const float* cosLatitude = nullptr;
    const std::uint8_t* fits[3] = {};  // columns i-1 .. i+1: 1 where the cell holds its outflow (MarkFits)
    float* etaNext = nullptr;       // column i from here on
    float* totalDepthNext = nullptr;
    float* totalDepth = nullptr;
    float* maxFlowDepth = nullptr;
    float* etaMax = nullptr;
    float* etaMin = nullptr;
    float* timeOfMaxWave = nullptr;
    float* firstWaveArrival = nullptr;
};

struct Scalars {
    bool spherical = true;
    double factor = 1.0;          // timeStepFactor
    double cartesianScale = 1.0;  // f dt / dx
    double arrivalThreshold = 0.0;
    float stamp = 0.0f;           // model time in minutes
};

// Per-call scratch, on the caller's stack.
struct Scratch {
    std::int64_t general[kChunk];  // nonzero: the cell needs the per-cell update
};

// Rows lo .. hi of one column (fluxM, fluxN, eta, depth, metricX, cosLatitude as in Column):
// fits[j] = 1 where the cell holds at least what its outgoing fluxes take, with the per-cell
// update's expressions for both, else 0.
void MarkFits(const Column& c, const Scalars& s, int lo, int hi, std::uint8_t* fits, bool allowVector = true);

// Rows lo .. lo+count-1 (count <= kChunk) of column i: the new level, total depths, largest flow
// depth and extremes of every cell the loop takes, and general[k] for row lo+k where the per-cell
// update must run instead. With allowVector false, in the baseline instruction set whatever the
// processor.
void Update(const Column& c, const Scalars& s, int lo, int count, Scratch& scratch, bool allowVector = true);

// Whether this build and processor run the loop in AVX2.
bool VectorLoopAvailable();

}  // namespace wetmass
