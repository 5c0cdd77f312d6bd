#pragma once
// The numerical kernels of one grid level: the mass update (continuity), the momentum update
// and the small boundary and auxiliary kernels around them. The step driver calls, per (sub)step:
//
//   ContinuitySpherical / ContinuityCartesian   water level, wet/dry state, radiating edges
//   MomentumSpherical   / MomentumCartesian     face depths, fluxes, derived maxima, edge fluxes
//   AdvanceTimeLevel                             next time level becomes the current one
//
// Every kernel is a set of OpenMP parallel loops over columns i (j, the contiguous index, runs
// innermost) with static schedules; none allocates. Results do not depend on the thread count:
// each cell writes only its own entries and reads its neighbours only from fields that no thread
// of the same loop writes (see the momentum sweep in Momentum.cpp for the one subtle case).
//
// The kernels never write halo cells (indices 0, n+1, n+2) and expect them to hold what the setup
// left there (zero): the Cartesian update reads them as still, dry water at its north and east edges.
#include <cstdint>
#include <vector>

#include "GridLevel.h"
#include "SimulationParameters.h"

// The run settings and step scalars the kernels need; the driver fills it once per phase.
struct KernelSettings {
    int32_t threadCount = 0;         // threads per parallel loop; < 1 means the OpenMP runtime's default
    float timeStep = 0.1f;           // step length used by the Manning friction term, s
    float timeStepFactor = 1.0f;     // scales every use of the step length (1 in normal runs)
    float landCutoffDepth = -40.0f;  // spherical: cells with a still-water depth below this carry no flux, m
    float velocityLimit = 40.0f;     // flux limit |q| <= velocityLimit * face depth, m/s
    float flowDepthLimit = 0.1f;     // faces with a shallower flux depth carry no flux, m
    bool cellFieldFromFile = false;  // compute Rouse numbers from cellField
    float smallFluxCut = -1.0f;      // fluxes below this are set to 0, m^2/s; < 0: the classic cuts
    int32_t parentRing = 0;          // outer rows and columns per side whose level a parent sets (nested: 2)
    bool dispersion = false;         // dispersive correction of the new fluxes (Dispersion.h)
    float dispersionMinDepth = 0.0f; // faces over shallower still water stay long-wave, m
    bool frontVelocityHead = false;  // runup fronts open on the wet level plus the velocity head (Momentum.cpp)
    // Flux sweep, cells whose stencil is wholly wet (same bits whichever): 0 through the
    // general per-cell update, 1 through the wet-cell loop in the baseline instruction set, 2 through
    // that loop in vector registers where the processor allows.
    int32_t wetCellLoop = 2;
    // Mass update, cells where no outflow limit can act (same bits whichever): 0 through the
    // per-cell update, 1 through the branch-free loop in the baseline instruction set, 2 through
    // that loop in vector registers where the processor allows.
    int32_t wetMassLoop = 2;
};

// Settings of a run, with the driver's current timeStepFactor.
KernelSettings MakeKernelSettings(const SimulationParameters& parameters, float timeStepFactor);

// Number of threads a parallel loop of the kernels runs with.
int KernelTeamSize(const KernelSettings& settings);

// Mass update of a spherical level (interior columns 3..nx-1, rows 3..ny-1), then its radiating
// edges. tMinutes stamps the arrival and maximum times. With settings.parentRing = 2 (a nested
// level) the update covers columns 3..nx-2 and rows 3..ny-2 and there are no radiating edges:
// the parent sets the outer rings (Nesting.h), and the faces between two ring cells keep only the
// flux the ring cell they leave can deliver. The same holds for the Cartesian update.
void ContinuitySpherical(GridLevel& level, double tMinutes, const KernelSettings& settings);

// Mass update of a Cartesian level (interior columns 2..nx-1, rows 2..ny-1), then its radiating
// edges. ratio = timeStep / gridSpacing (s/m).
void ContinuityCartesian(GridLevel& level, double ratio, double tMinutes, const KernelSettings& settings);

// Momentum update of a spherical level: AverageFaceDepths, the land cut-off, the flux sweep over
// columns 2..nx and rows 2..ny with its derived maxima, then SmoothEdgeFluxes. tWhole is the model
// time in whole seconds. Returns AverageFaceDepths' maximum (the level's stepMaximum).
float MomentumSpherical(GridLevel& level, double tWhole, const KernelSettings& settings);

// The same for a Cartesian level.
float MomentumCartesian(GridLevel& level, double ratio, double tWhole, const KernelSettings& settings);

// First-order radiation of the water level through the open edges. Spherical: the second and
// second-to-last rows and columns, copied into the outermost ones. Cartesian: the outermost ones.
void RadiateOpenBoundariesSpherical(GridLevel& level, const KernelSettings& settings);
void RadiateOpenBoundariesCartesian(GridLevel& level, double ratio, const KernelSettings& settings);

// Four-point face depths totalDepthM and totalDepthN over columns 2..nx-1 and rows 2..ny-1.
// Returns the largest still-water depth among those cells whose water level has moved
// (etaNext != 0 on spherical levels, etaNext > 0 on Cartesian ones), 0 when none has.
float AverageFaceDepths(GridLevel& level, const KernelSettings& settings);

// AverageFaceDepths fused with the land cut-off of spherical levels: also zeroes the current and
// next fluxes of every cell of the momentum sweep (columns 2..nx, rows 2..ny) whose still-water
// depth is below landCutoffDepth, so that high land never carries flux and every neighbour of
// such a cell sees its zero fluxes during the sweep.
float AverageFaceDepthsWithLandCutoff(GridLevel& level, const KernelSettings& settings);

// Outermost next-level fluxes become the mean of the next flux one cell inwards and the current
// flux at the edge; the edge face depths become the cell's total depth. Spherical: all four edges;
// Cartesian: the south row and the west column only.
void SmoothEdgeFluxesSpherical(GridLevel& level, const KernelSettings& settings);
void SmoothEdgeFluxesCartesian(GridLevel& level, const KernelSettings& settings);

// eta, fluxM, fluxN and totalDepth take the next-level values over columns 1..nx, rows 1..ny.
void AdvanceTimeLevel(GridLevel& level, const KernelSettings& settings);

// Still-water skipping (ActiveWindow in GridLevel.h). ResetActiveRegions makes the next two steps
// of a level update the whole level again: call it after anything outside the step kernels
// changes a level's fields (a source, a restored state) or the step's settings. With tracking on,
// AdvanceTimeLevel narrows the window to the cells that changed, widened by kActiveMargin.
inline constexpr int32_t kActiveMargin = 5;
void ResetActiveRegions(GridLevel& level);
void ResetActiveRegions(std::vector<GridLevel>& levels);
// Widens the window of the coming step over columns iMin..iMax and rows jMin..jMax, grown by
// kActiveMargin: for cells that something outside the step kernels (the nesting exchange) has
// changed or may change within the step. An empty box (iMin > iMax) widens nothing.
void KeepActive(GridLevel& level, int32_t iMin, int32_t iMax, int32_t jMin, int32_t jMax);
