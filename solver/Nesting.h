#pragma once
// Two-way nesting between a parent level and the child nested in it, three times finer.
//
//   NestBoundaryFluxes      parent -> child, every base step: the child's open boundary fluxes
//   FeedBackWaterLevel      child -> parent, after the child's sub-steps: the water of each block
//   AddParentFieldsToChild  parent -> child, after a source event: bilinear interpolation, added
//
// The child's position is worked out afresh from the two headers on every call; nothing is
// kept between calls. The operations run on the calling thread (they touch only the child's
// border, or run once per source event). None reads or writes outside the arrays: a layout
// whose indices would leave the parent's allocated block is ignored. CheckNestedLayout tells
// the initialization whether a layout is one the nesting can serve at all.
#include <cstdint>
#include <string>

#include "Field.h"
#include "GridLevel.h"

struct VolumeScale;

// One parent cell spans this many child cells along each axis. A constant, not a setting.
inline constexpr int32_t RefinementRatio = 3;

struct ParentIndex {
    int32_t i = 0;  // parent column
    int32_t j = 0;  // parent row
};

// Inclusive box of parent columns and rows.
struct ParentIndexBox {
    int32_t iMin = 0, iMax = 0;
    int32_t jMin = 0, jMax = 0;
};

// The parent column and row on which the child's first column and row lie, counted on the
// parent's node spacing (xMax - xMin) / (nx - 1), rounded half up.
ParentIndex NestingCorner(const GridLevel& parent, const GridLevel& child);


// Every parent column and row that any of the three operations reads or writes for this
// pair of headers (the same index arithmetic as the operations themselves).
ParentIndexBox NestingFootprint(const GridLevel& parent, const GridLevel& child);

// Still-water skipping across the exchange. The operations that write the child's border widen
// the child's window over the cells they change; this keeps every cell of the footprint (and its
// surroundings) in the parent's window of the coming (sub)step, since the feedback rewrites the
// covered cells between the parent's mass and momentum updates. Call it before the parent's
// mass update.
void KeepCoveredCellsActive(GridLevel& parent, const GridLevel& child);

// Position of child point k (k = 1, 2, ...) along a boundary line, in parent indices: child
// point 1 + 3n lies on parent index base + n (as child column 1 lies on the parent's corner),
// and the value there is P[p] * (1 - f) + P[p + 1] * f with f = 0, 1/3 or 2/3.
struct EdgePosition {
    int32_t p = 0;
    double f = 0.0;
};
EdgePosition EdgeRule(int32_t k, int32_t base);

// Adds the bilinear interpolation (in thirds) of one parent field to the same field of the
// child, every child cell: child column 1 and row 1 lie on the parent's NestingCorner.
void AddParentFieldsToChild(const GridLevel& parent, const GridLevel& child, ConstView parentField,
                            View childField);

// After a source event reached `parent`: AddParentFieldsToChild for etaNext, eta, fluxMNext,
// fluxM, fluxNNext and fluxN, in that order.
void AddParentStateToChild(const GridLevel& parent, GridLevel& child);

// Sets the water level (and total depth) of the child's two outermost rows and columns on
// every side from the bilinear interpolation of the parent's current water level over the
// parent cells that hold water; a cell where none does, or whose ground lies above the
// interpolated level, is dry. These cells lie outside the faces that carry the parent's
// fluxes; the child's mass update leaves them alone, so they hold the parent's level.
void SetChildBoundaryWaterLevel(const GridLevel& parent, GridLevel& child);
// Sets the child's fluxN on rows 2 and ny - 2 and its fluxM on columns 2 and nx - 2 from the
// parent's current fluxes, on faces whose two child cells are both sea. Along the line each
// child face takes the parent's flux at its own position, linear between the two parent faces
// around it; a parent face on land that carries nothing is left out (the open one of the two
// is taken, or 0 where both are closed). Where the child has 3q + 1 nodes on both axes, the
// faces in front of the child's computed cells instead carry, three by three, the flux of the
// parent face they lie on about a limited slope along the line, so that the three sum to three
// times the parent's and both levels move the same volume through their common border.
void NestBoundaryFluxes(const GridLevel& parent, GridLevel& child);

// Writes the child's water into every parent cell it covers (one parent cell inside the child's
// border and beyond), from the 3 x 3 child block centred on the parent node: the parent's
// etaNext is set so that the cell holds, above its still level, the block's water above its own
// (area-weighted; on a wholly wet block, the block's mean level). The cells next to the parent's
// own ones (the ring) set the parent's fluxes into the child: where their block is partly dry
// or the parent cell is land they take instead the mean level of the block's cells that hold
// water, and a block with five or fewer such cells leaves the parent's own level there. Levels
// are the time average 0.5 (eta + etaNext) of the child.
void FeedBackWaterLevel(const GridLevel& child, GridLevel& parent);

// The border's volume account (BorderVolumes, kept by the child): the child's border faces take the
// parent's flux three by three, but a face onto the child's land keeps the flux of the child's own
// front, and each level's outflow limit may deliver less than its flux asks, so the two levels'
// sums can differ. CorrectAcrossBorder hands the difference to the parent cell outside each
// face, so that the nested system's water (the parent outside the child, the child inside) is
// kept to rounding.
//
// Sizes `volumes` for the pair: 2 (q - 1) + 2 (r - 1) faces for a child of 3q + 1 by 3r + 1 nodes,
// whose border lies on parent faces; empty otherwise (no correction).
void PrepareBorderVolumes(const GridLevel& parent, const GridLevel& child, BorderVolumes* volumes);

// Adds what the mass update of one (sub)step of `level` (the parent or the child of the pair) moved
// through the border, from its stored (delivered) fluxes; faceVolume as VolumeScale::faceVolume of
// that level and (sub)step.
void AddBorderVolume(const GridLevel& parent, const GridLevel& child, bool ofChild, double faceVolume,
                     BorderVolumes& volumes);

// After the parent's last mass update of the base step, before the feedback: adds, per face,
// what the parent moved into the child less what the child took in to the parent cell outside the
// face (etaNext, totalDepthNext). Where the child took in more than that cell holds, the cell
// empties and the 3 x 3 child block behind the face gives the rest back (both time levels; a ring
// cell can hold water the parent interpolated from the covered side while the cell beyond is dry).
// Clears the sums. Returns the volume it changed in the child, for the child's account.
double CorrectAcrossBorder(GridLevel& parent, GridLevel& child, const VolumeScale& parentScale,
                           const VolumeScale& childScale, BorderVolumes& volumes);

// After each sub-step of a nested level: the extreme fields of its two outer rings (highest
// and lowest level, their times, first arrival, flow depth) from the level these cells hold,
// and the flow maxima of its first column and row from their inner neighbours (the momentum
// update does not sweep them). Without this every map of a nested level has a frame of zeros.
void RecordChildBoundaryExtremes(GridLevel& child, double tMinutes);

// At the end of the run: the highest and lowest level of the child's two outer rings (and the
// largest flow depth of a spherical level) from the parent's own extremes, interpolated as
// SetChildBoundaryWaterLevel interpolates its level (over parent cells that held water; the
// lowest level over sea cells), and their first arrival likewise where the wave reached every
// parent sea cell around. Cells with no such parent cell, and land that stayed dry, keep theirs.
void SmoothChildRingExtremes(const GridLevel& parent, GridLevel& child);

// Empty when `child` can be nested in `parent`: both have a usable extent, the child's cell
// size is a third of the parent's within 1 % on both axes, its first node lies on a parent
// node within a tenth of a parent cell, and every parent index the three operations form lies
// inside the parent (columns 1..nx, rows 1..ny). Otherwise one line saying what is wrong,
// with the numbers.
std::string CheckNestedLayout(const GridLevel& parent, const GridLevel& child);
