#pragma once
// Step length control and the boundary time series of the outer grid.
#include <cstdint>
#include <istream>

#include "GridLevel.h"
#include "Nesting.h"
#include "Kernels.h"

// Inputs of the step-length choice for one call of the step driver.
struct StepLengthRequest {
    float stepMaximum = 0.0f;       // largest still-water depth the wave has reached on level 0, m
    bool adaptive = false;          // adaptiveTimeStepEnabled
    float timeStep = 0.0f;          // base step, s
    double rowSpacingMetres = 0.0;  // level 0's row spacing, m
    float snapshotInterval = 0.0f;  // water-level frame period, s (its integer part aligns the steps)
    double t = 0.0;                 // model time at the start of the call, s
};

// Length of the next step, s. Adaptive: half the Courant limit of the deepest wet water,
// dy / (2 sqrt(g h)), cut back when the second estimate of the leap-frog bound is smaller;
// otherwise timeStep. The length is then shortened so that it ends on the next whole
// frame time instead of stepping over it (no alignment without a positive frame period).
float ChooseStepLength(const StepLengthRequest& request);

// Whole base steps covered by a step of the given length: never below 1.
int32_t AdvanceForLength(float length, float timeStep);

// Row spacing of level 0 in metres: degrees converted on spherical grids, the cell size
// (gridSpacing) on Cartesian ones.
double RowSpacingMetres(const GridLevel& level0, float gridSpacing);

// One record of the boundary time series: time (discarded), water level, x-flux, y-flux.
struct SeriesRecord {
    double eta = 0.0, fluxM = 0.0, fluxN = 0.0;
};

// Reads the next record; false (and nothing applied) once the stream is exhausted or
// unreadable.
bool ReadSeriesRecord(std::istream& stream, SeriesRecord* record);

// The band of level 0 that receives the series: mode 1 or 2, columns first..last over rows
// 2..ny-1; mode 0 or 2, rows first..last over columns 2..nx-1; wet cells (depth > 1e-5) only.
// On spherical levels a band on the outermost or second column (row) holds both: the open edge
// there is two cells deep.
struct SeriesBand {
    uint32_t first = 0, last = 0;
    int32_t mode = 0;
};

// The series holds the band's water level through the step. At the start of the step: eta of
// the band takes the record's water level.
void ApplySeriesWaterLevel(GridLevel& level0, const SeriesBand& band, const SeriesRecord& record);
// After the mass update (and its radiating edges): etaNext and totalDepthNext of the band follow
// the record, so that the momentum update sees the forced level.
void HoldSeriesWaterLevel(GridLevel& level0, const SeriesBand& band, const SeriesRecord& record);
// Before the momentum update, when the series' fluxes are used: fluxM and fluxN of the band take
// the record's fluxes.
void ApplySeriesFluxes(GridLevel& level0, const SeriesBand& band, const SeriesRecord& record);
// The level-0 cells the band can touch, as up to two boxes of the level's own indices (columns,
// then rows); returns how many.
int32_t SeriesBandBoxes(const GridLevel& level0, const SeriesBand& band, ParentIndexBox boxes[2]);
// After the momentum update: where the band lies on the level's open edge, the faces between
// it and the interior (which the edge treatment would otherwise set) carry the flux that the
// forced level drives through them (pressure gradient and friction), or, `withFluxes`, the
// record's flux across them (x-flux for columns, y-flux for rows) wherever they carry water.
// ratio = timeStep / gridSpacing on Cartesian levels.
void SetSeriesEdgeFluxes(GridLevel& level0, const SeriesBand& band, const SeriesRecord& record, bool withFluxes,
                         double ratio, const KernelSettings& settings);
// True when every index of the band lies inside the grid (checked once at setup).
bool SeriesBandFits(const GridLevel& level0, const SeriesBand& band);
