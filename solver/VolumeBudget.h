#pragma once
// The volume account of a level, kept by the step driver with sums along the level's edges only.
//
// Stored volume is the water above the still level, sum of A (D - max(h, 0)) over the level's
// window (the user's grid; the absorbing layer and the wall frame are outside it), D = max(h + eta, 0)
// the total depth and A the cell area with which the mass update conserves volume exactly:
// Cartesian dx^2, spherical R^2 cos(phi) dlambda dphi (taken as K / metricX, K = R dlambda dt).
//
// Each (sub)step the mass update moves volume only across faces: the cells it updates in flux form
// (the core) exchange volume with the rest solely through the core's boundary faces. The core is
// the window itself where the window is surrounded by a layer or a wall frame; on a level with
// edges of its own (classic radiating edges, a nested level's boundary) it is the window less its
// two outermost rows and columns, whose levels the edge rules set. Then, per step,
//   outflow = (flux out of the core) dt - (change of the ring's volume during the mass update),
// which is the volume the edge rules let out of the level. Every other change of the level
// (source events, the boundary series, the levels a parent sets on a child's edge, the child's
// levels fed back into its parent) is measured as the difference of the affected cells' volume.
#include <cstdint>

#include "GridLevel.h"
#include "Nesting.h"

struct VolumeScale {
    bool spherical = false;
    double cellArea = 0.0;      // Cartesian: dx^2, m^2
    double metricVolume = 0.0;  // spherical: K = R dlambda dt of the level, m^2 s (cell area K / metricX)
    double faceVolume = 0.0;    // volume per unit of flux difference in the mass update, per (sub)step, m s
    int32_t ring = 0;           // rows and columns of the window that the edge rules own
};

// The scale of level `levelIndex` for its step dt (the level's own sub-step) and the driver's
// timeStepFactor; gridSpacing is level 0's Cartesian cell size, ratio = timeStep / gridSpacing.
VolumeScale LevelVolumeScale(const GridLevel& level, int32_t levelIndex, float gridSpacing, double ratio,
                             float levelTimeStep, double timeStepFactor);

// The area of cell (i, j) with which the level's mass update keeps its volume, m^2 (0 for a
// spherical cell without a metric).
double CellArea(const GridLevel& level, const VolumeScale& scale, int32_t i, int32_t j);

// Water above the still level in columns iMin..iMax, rows jMin..jMax of the level (clipped to
// 1..nx, 1..ny), from eta (next = false) or etaNext (next = true).
double BoxVolume(const GridLevel& level, const VolumeScale& scale, const ParentIndexBox& box, bool next);

// Water above the still level over the level's window.
double StoredVolume(const GridLevel& level, const VolumeScale& scale, bool next);

// Water above the still level over the window of level `levelIndex` of a model with base step
// timeStep and level 0 cell size gridSpacing (Cartesian), from eta: the account's opening and
// closing balance.
double LevelStoredVolume(const GridLevel& level, int32_t levelIndex, float gridSpacing, float timeStep);

// Water above the still level in the window's ring (0 when the scale has no ring).
double RingVolume(const GridLevel& level, const VolumeScale& scale, bool next);

// Volume the mass update of this (sub)step moves out of the core through its boundary faces, from
// the current fluxes.
double CoreOutflow(const GridLevel& level, const VolumeScale& scale);
