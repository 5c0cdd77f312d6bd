#pragma once
// Frequency dispersion: a weakly dispersive (Boussinesq-type, Peregrine's linear terms in flux
// form) correction of the momentum update. The long-wave update gives M*, N* from M, N; the
// correction replaces them by M + dM, N + dN with
//
//   dM - (h^2/3) d/dx ( d(dM)/dx + d(dN)/dy ) = M* - M
//   dN - (h^2/3) d/dy ( d(dM)/dx + d(dN)/dy ) = N* - N
//
// (h: still-water depth at the face; on the sphere with the metric factors of the divergence).
// The along-direction part is implicit: one tridiagonal system along each row for the x-faces
// and along each column for the y-faces, the cross term taken from the long-wave changes. A flat
// bottom then carries plane waves at omega^2 = g h k^2 / (1 + (kh)^2 / 3) instead of g h k^2.
//
// A face takes part when both its cells are wet, lie among the cells the level's own mass update
// computes (not the open edge, a nested level's border, or the absorbing layer), have positive
// still-water depth and their mean depth is at least dispersionMinDepth; every other face keeps
// its long-wave flux, bit for bit, and enters its neighbours' systems as a known value.
// Every row and column solve is independent of the others, so the result does not depend on
// the number of threads.
#include "GridLevel.h"
#include "Kernels.h"

// Allocates the level's dispersion scratch and fills its per-row latitude cosines from the
// header. Called once at setup for runs with dispersion on. Throws std::bad_alloc when memory
// runs out.
void AllocateDispersionScratch(GridLevel& level);

// Whether the level holds scratch of its current shape.
bool HasDispersionScratch(const GridLevel& level);

// Corrects fluxMNext and fluxNNext of the level in place (fluxM, fluxN: the fluxes before the
// update). ratio = timeStep / gridSpacing of the Cartesian update (the level's spacing is
// settings.timeStep / ratio); spherical levels take their spacing from the header. Corrected
// fluxes below the small-flux cut are set to 0. A level without scratch is left alone.
void ApplyDispersion(GridLevel& level, double ratio, const KernelSettings& settings);
