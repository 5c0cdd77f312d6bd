#pragma once
// Guards against unstable runs: the longest stable step of a level, checked before the run
// starts, and the search for a water level that has run away, once per base step during it.
#include <cstdint>
#include <limits>

#include "GridLevel.h"

// Longest stable step of one step of a level on the staggered leap-frog scheme, from the
// 2-D condition sqrt(g h) dt sqrt(1/dx^2 + 1/dy^2) <= 1, taken row by row with the deepest
// still water of the row (cells of a spherical row narrow towards the pole).
struct StepLimit {
    double seconds = std::numeric_limits<double>::infinity();  // infinite for a level without water
    double dx = 0.0, dy = 0.0;  // cell sizes of the row that sets the limit, m
    double depth = 0.0;         // deepest still water of that row, m
};

// `cellSizeMetres` is the cell size the Cartesian update uses; spherical levels take theirs
// from the extent (square cells in degrees, R cos(latitude) wide at the row's cell centres).
StepLimit StableStepLimit(const GridLevel& level, double cellSizeMetres);

// Deepest still water of the level, m; 0 when it is all land.
double DeepestWater(const GridLevel& level);

// Beyond this water level (m) a level is taken to have gone unstable.
float RunawayBound(double deepestWater);

struct RunawayCell {
    bool found = false;
    int32_t i = 0, j = 0;
    float value = 0.0f;  // the water level at sea, the flow depth on land
    bool onLand = false;
};

// The first cell (columns west to east, then rows south to north) whose water level (at sea)
// or flow depth (on land, where a dried cell's level rests on the ground) is not finite or
// exceeds `bound`. One parallel read of eta and depth over the active window (the whole level
// unless still water is being skipped); the cell is looked up serially only
// when there is one, so the answer does not depend on the thread count.
RunawayCell FindRunawayCell(const GridLevel& level, float bound, int threads);
