#pragma once
// The running maxima of the flux sweep's second pass, over one column of cells: the loop runs in
// vector registers where the processor allows (AVX2, chosen once at run time) and in the baseline
// instruction set elsewhere, with the same operations in the same order, so every result is the
// same bit for bit (no fused multiply-add, no reassociation).

namespace maxima {

// Column pointers of the new fluxes, the flux depths and the maxima of one column.
struct Column {
    float *fluxMNext = nullptr, *fluxNNext = nullptr, *totalDepthM = nullptr, *totalDepthN = nullptr;
    float *rouseNumber = nullptr, *maxFlowDepth = nullptr, *maxCurrent = nullptr, *flowDepthAtMaxCurrent = nullptr;
    float *timeOfMaxCurrent = nullptr, *maxCurrentAngle = nullptr, *maxFroudeSquared = nullptr;
    float *currentAtMaxFroudeSquared = nullptr, *flowDepthAtMaxFroudeSquared = nullptr;
    float *timeOfMaxFroudeSquared = nullptr, *maxFroude = nullptr, *maxDragForce = nullptr;
    float *froudeSquaredU = nullptr, *froudeSquaredV = nullptr, *maxFluxM = nullptr, *maxFluxN = nullptr;
    float *maxDischargeFlux = nullptr, *maxDischargeFluxAngle = nullptr, *maxMomentumFlux = nullptr;
    const float *cellField = nullptr, *depth = nullptr;
    const float* centreDepth = nullptr;  // new total depth of the cells (spherical Froude numbers)
};

struct Scalars {
    double depthLimit = 0.0;  // flowDepthLimit
    float minutes = 0.0f;     // model time stamped into the time-of-maximum fields
    bool cellFieldFromFile = false;
};

// Running maxima of cells lo..hi of the column, from its new fluxes and flux depths, and the
// directions of the current and the discharge; with allowVector false, in the baseline
// instruction set whatever the processor.
void UpdateSpherical(const Column& o, const Scalars& s, int lo, int hi, bool allowVector = true);
void UpdateCartesian(const Column& o, const Scalars& s, int lo, int hi, bool allowVector = true);
// Whether this build and processor run the loop in AVX2.
bool VectorLoopAvailable();

}  // namespace maxima
