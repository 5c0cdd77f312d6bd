#pragma once
// Level 0's outer edges when they are not the classic radiating edges.
//
// Init enlarges level 0 by a frame of cells on every side and the user's grid becomes a window in
// the middle of it (GridLevel::UserWindow). The regular kernels run over the whole enlarged level;
// what the frame is depends on the edge kind:
//
//   absorbing  a perfectly matched layer: the still-water depth of the edge cell continued
//              outwards, in which AbsorbingLayerMass and AbsorbingLayerMomentum overwrite every
//              cell and every face that touches a layer cell with the damped linear long-wave
//              equations after the regular mass and momentum updates; the user's cells next to the
//              layer see the layer's values;
//   wall       high land: no flux crosses the user's outermost faces and the user's edge cells are
//              ordinary interior cells of the enlarged level, so they keep their water.
//
// Why a frame rather than special edge kernels: the user's edge cells then get exactly the interior
// scheme (mass update, nonlinear momentum, wetting and drying), and every level-0 edge rule of the
// regular kernels runs on cells that are overwritten (layer) or dry (wall).
#include <cstdint>
#include <vector>

#include "GridLevel.h"
#include "Kernels.h"

// Width of the wall frame: three cells keep the user's edge cells inside every interior loop of the
// kernels (the spherical advection terms skip the outer three rows and columns).
inline constexpr int32_t kWallFrameCells = 3;
// Still-water depth of the wall frame, m: land no water level climbs.
inline constexpr float kWallFrameDepth = -10000.0f;
// Narrowest absorbing layer the library builds; a narrower request gets this width.
inline constexpr int32_t kMinimumLayerCells = 3;
// Theoretical reflection of the layer at normal incidence (its damping profile is chosen for it).
inline constexpr double kLayerReflection = 1e-4;

// Frame cells Init adds around level 0 for these side kinds (west, east, south, north, as
// ResolveSideKinds gives them) and layer width: the layer's width when a side absorbs, the wall
// frame's when all are walls, 0 for radiating edges.
int32_t FrameCellsFor(const OpenEdgeKind sides[4], int32_t absorbingCells);

// The row-major nx x ny `values` (row 1 first, each row from the west) enlarged by `cells` on
// every side: each new value is `fill` when given, otherwise the nearest value of the old grid's
// edge (so still-water depths continue outwards, and corners take the corner value).
std::vector<float> ExtendGridOutwards(const std::vector<float>& values, int32_t nx, int32_t ny, int32_t cells,
                                      const float* fill);
// The same with a fill per side (west, east, south, north; nullptr: continue the edge). A corner
// cell beyond two sides takes the fill of either that has one (a wall side closes the corner).
std::vector<float> ExtendGridOutwardsBySide(const std::vector<float>& values, int32_t nx, int32_t ny, int32_t cells,
                                            const float* const sideFills[4]);

// The layer's mass update, after the regular one: in every wet cell of the layer,
//   d(eta_x)/dt + sigma_x eta_x = -dM/dx,  d(eta_y)/dt + sigma_y eta_y = -dN/dy,  eta = eta_x + eta_y
// (spherical: with the metric factors of the mass update), integrated exactly over the step for
// the damping, so that it is stable at any Courant number. ratio = timeStep / gridSpacing (Cartesian).
void AbsorbingLayerMass(GridLevel& level, double ratio, const KernelSettings& settings);

// The layer's momentum update, after the regular one: on every face touching a layer cell,
//   dM/dt + sigma_x M = -g h d(eta)/dx,  dN/dt + sigma_y N = -g h d(eta)/dy,
// with h the still-water depth of the face; faces next to a dry cell and the level's outermost
// faces (a wall at the back of the layer) carry no flux.
void AbsorbingLayerMomentum(GridLevel& level, double ratio, const KernelSettings& settings);

// After a source event: every layer cell (but those of wall sides) takes the state of the nearest cell of the user's grid
// (water level, fluxes), as the still-water depth was continued outwards, so that a wave the
// source sets along an edge continues into the layer instead of ending at the edge. The layer's
// x-part takes the level along the north and south layers (where only y is damped), the y-part
// along the east and west layers, each half of it in the corners.
void ContinueStateIntoLayer(GridLevel& level);
