// The absorbing layer around level 0: a perfectly matched layer for the linear long-wave equations
// on the staggered grid (Berenger's split form; for shallow water see Hu 1996, Navon et al. 2004).
//
// Geometry, in cells of the enlarged level: the layer is L = layerCells cells wide on every side;
// the user's cells are L+1..nx-L and L+1..ny-L. Cell centres sit at whole positions, the x-face
// fluxM[i] at i + 1/2. A point's depth into the layer is its distance from the interface (the face
// between the user's edge cell and the first layer cell), d = 0 there and d = L at the level's
// outermost face. The damping grows as sigma(d) = sigma_max (d / L)^2 with
//   sigma_max = 3 c ln(1 / R0) / (2 L dx),  c = sqrt(g h) of the local still water,
// which gives a wave crossing the layer and back a theoretical reflection R0 whatever the depth.
// sigma dt is therefore 1.5 ln(1 / R0) / L times the local Courant number c dt / dx times (d / L)^2.
//
// Each damped equation du/dt + sigma u = F is integrated exactly over the step with F held:
// u' = exp(-sigma dt) u + F dt (1 - exp(-sigma dt)) / (sigma dt), stable at any sigma dt.
//
// Threads: both passes run over the columns with a static schedule; a cell writes only its own
// entries and reads its neighbours only from fields the pass does not write, so the result does
// not depend on the team.
#include "AbsorbingLayer.h"

#include <algorithm>
#include <cmath>

#include "KernelCells.h"
#include "KernelChecks.h"

using cells::kEpsilon;
using cells::kGravity;

int32_t FrameCellsFor(const OpenEdgeKind sides[4], int32_t absorbingCells) {
    int32_t frame = 0;
    for (int32_t s = 0; s < 4; ++s) {
        if (sides[s] == OpenEdgeKind::Absorbing) return std::max(absorbingCells, kMinimumLayerCells);
        if (sides[s] == OpenEdgeKind::Wall) frame = kWallFrameCells;
    }
    return frame;
}

std::vector<float> ExtendGridOutwards(const std::vector<float>& values, int32_t nx, int32_t ny, int32_t cells,
                                      const float* fill) {
    const float* const fills[4] = {fill, fill, fill, fill};
    return ExtendGridOutwardsBySide(values, nx, ny, cells, fills);
}

std::vector<float> ExtendGridOutwardsBySide(const std::vector<float>& values, int32_t nx, int32_t ny, int32_t cells,
                                            const float* const sideFills[4]) {
    const int32_t wideX = nx + 2 * cells, wideY = ny + 2 * cells;
    std::vector<float> wide(static_cast<std::size_t>(wideX) * static_cast<std::size_t>(wideY));
    for (int32_t j = 0; j < wideY; ++j) {
        const int32_t sourceJ = std::clamp(j - cells, 0, ny - 1);
        for (int32_t i = 0; i < wideX; ++i) {
            const int32_t sourceI = std::clamp(i - cells, 0, nx - 1);
            const std::size_t target = static_cast<std::size_t>(j) * static_cast<std::size_t>(wideX) + i;
            // The fill of a side this cell lies beyond, if any has one.
            const float* fill = nullptr;
            const bool beyond[4] = {i < cells, i >= cells + nx, j < cells, j >= cells + ny};
            for (int32_t s = 0; s < 4; ++s)
                if (beyond[s] && sideFills[s] != nullptr && fill == nullptr) fill = sideFills[s];
            wide[target] = fill == nullptr
                               ? values[static_cast<std::size_t>(sourceJ) * static_cast<std::size_t>(nx) + sourceI]
                               : *fill;
        }
    }
    return wide;
}

namespace {

// exp(-z) and (1 - exp(-z)) / z, the two factors of the exact damped step.
struct Damping {
    double keep = 1.0;   // exp(-z)
    double drive = 1.0;  // (1 - exp(-z)) / z, 1 at z = 0
    explicit Damping(double z) {
        if (z > 0.0) {
            keep = std::exp(-z);
            drive = -std::expm1(-z) / z;
        }
    }
};

struct LayerGeometry {
    int nx = 0, ny = 0, cells = 0;
    double profile = 0.0;  // 1.5 ln(1 / R0) / L: sigma_max dt per unit Courant number

    explicit LayerGeometry(const GridLevel& level)
        : nx(level.nx), ny(level.ny), cells(level.layerCells),
          profile(1.5 * std::log(1.0 / kLayerReflection) / level.layerCells) {}

    // Depth into the layer, in cells, of a point at position p along an axis of n cells.
    double Depth(double p, int n) const {
        return std::max({0.0, cells + 0.5 - p, p - (n - cells + 0.5)});
    }
    // sigma dt at depth d for the local Courant number c dt / dx.
    double Exponent(double d, double courant) const {
        const double share = d / cells;
        return profile * courant * share * share;
    }
    bool LayerColumn(int i) const { return i <= cells || i > nx - cells; }
    bool LayerRow(int j) const { return j <= cells || j > ny - cells; }
};

// The level carries a layer whose fields all match its header.
bool LayerReady(const GridLevel& level) {
    if (!level.absorbingLayer || level.layerCells <= 0) return false;
    if (2 * level.layerCells >= level.nx || 2 * level.layerCells >= level.ny) return false;
    if (!kernels::FieldsMatch(level, {&level.layerEtaX, &level.layerEtaY})) return false;
    return level.IsSpherical() ? kernels::HasSphericalFields(level) : kernels::HasLevelFields(level);
}

}  // namespace

void AbsorbingLayerMass(GridLevel& level, double ratio, const KernelSettings& settings) {
    if (!LayerReady(level)) return;
    const bool spherical = level.IsSpherical();
    const LayerGeometry g(level);
    const ConstView fluxM = level.fluxM.cview();
    const ConstView fluxN = level.fluxN.cview();
    const ConstView depth = level.depth.cview();
    const View eta = level.eta.view();
    const View etaNext = level.etaNext.view();
    const View totalDepth = level.totalDepth.view();
    const View totalDepthNext = level.totalDepthNext.view();
    const View etaX = level.layerEtaX.view();
    const View etaY = level.layerEtaY.view();
    const ConstView metricX = spherical ? level.metricX.cview() : ConstView{};
    const ConstView gravityMetricY = spherical ? level.gravityMetricY.cview() : ConstView{};
    const float* cosLatitude = spherical ? level.cosLatitude.data() : nullptr;
    const double factor = settings.timeStepFactor;

    auto cell = [&](int i, int j) {
        const double h = depth[i][j];
        if (h <= kEpsilon) return;  // land: the regular update keeps it as it is
        const double c = std::sqrt(kGravity * h);
        double scale, courantX, courantY, divergenceY;
        if (spherical) {
            scale = factor * metricX[i][j];
            courantX = c * scale;
            courantY = c * factor * gravityMetricY[i][j] / kGravity;
            divergenceY = static_cast<double>(cosLatitude[j]) * fluxN[i][j] -
                          static_cast<double>(cosLatitude[j - 1]) * fluxN[i][j - 1];
        } else {
            scale = factor * ratio;
            courantX = courantY = c * scale;
            divergenceY = static_cast<double>(fluxN[i][j]) - fluxN[i][j - 1];
        }
        const double divergenceX = static_cast<double>(fluxM[i][j]) - fluxM[i - 1][j];
        const Damping dampX(g.Exponent(g.Depth(i, g.nx), courantX));
        const Damping dampY(g.Exponent(g.Depth(j, g.ny), courantY));
        const double x = dampX.keep * etaX[i][j] - dampX.drive * scale * divergenceX;
        const double y = dampY.keep * etaY[i][j] - dampY.drive * scale * divergenceY;
        etaX[i][j] = static_cast<float>(x);
        etaY[i][j] = static_cast<float>(y);
        const float level1 = static_cast<float>(static_cast<double>(etaX[i][j]) + etaY[i][j]);
        const float total = static_cast<float>(std::max(0.0, h + level1));
        etaNext[i][j] = level1;
        totalDepthNext[i][j] = total;
        if (!spherical) {
            // The Cartesian mass update moves the current level along; so does the layer.
            eta[i][j] = level1;
            totalDepth[i][j] = total;
        }
    };

    const int nx = g.nx, ny = g.ny, cells = g.cells;
#pragma omp parallel for schedule(static) num_threads(KernelTeamSize(settings))
    for (int i = 1; i <= nx; ++i) {
        if (g.LayerColumn(i)) {
            for (int j = 1; j <= ny; ++j) cell(i, j);
        } else {
            for (int j = 1; j <= cells; ++j) cell(i, j);
            for (int j = ny - cells + 1; j <= ny; ++j) cell(i, j);
        }
    }
}

void AbsorbingLayerMomentum(GridLevel& level, double ratio, const KernelSettings& settings) {
    if (!LayerReady(level)) return;
    const bool spherical = level.IsSpherical();
    const LayerGeometry g(level);
    const ConstView fluxM = level.fluxM.cview();
    const ConstView fluxN = level.fluxN.cview();
    const ConstView depth = level.depth.cview();
    const ConstView etaNext = level.etaNext.cview();
    const View fluxMNext = level.fluxMNext.view();
    const View fluxNNext = level.fluxNNext.view();
    const ConstView metricX = spherical ? level.metricX.cview() : ConstView{};
    const ConstView gravityMetricX = spherical ? level.gravityMetricX.cview() : ConstView{};
    const ConstView gravityMetricY = spherical ? level.gravityMetricY.cview() : ConstView{};
    const double factor = settings.timeStepFactor;
    const double cartesianScale = factor * ratio;

    // x-flux on the east face of cell (i, j); the level's east face is the wall behind the layer.
    auto faceM = [&](int i, int j) {
        const double h0 = depth[i][j];
        const double h1 = i < g.nx ? depth[i + 1][j] : 0.0;
        if (i >= g.nx || h0 <= kEpsilon || h1 <= kEpsilon) {
            fluxMNext[i][j] = 0.0f;
            return;
        }
        const double h = 0.5 * (h0 + h1);
        const double c = std::sqrt(kGravity * h);
        const double pressure = spherical ? factor * gravityMetricX[i][j] : kGravity * cartesianScale;
        const double courant = c * (spherical ? factor * metricX[i][j] : cartesianScale);
        const Damping damp(g.Exponent(g.Depth(i + 0.5, g.nx), courant));
        const double slope = static_cast<double>(etaNext[i + 1][j]) - etaNext[i][j];
        fluxMNext[i][j] = static_cast<float>(damp.keep * fluxM[i][j] - damp.drive * pressure * h * slope);
    };
    // y-flux on the north face of cell (i, j); the level's north face is the wall behind the layer.
    auto faceN = [&](int i, int j) {
        const double h0 = depth[i][j];
        const double h1 = j < g.ny ? depth[i][j + 1] : 0.0;
        if (j >= g.ny || h0 <= kEpsilon || h1 <= kEpsilon) {
            fluxNNext[i][j] = 0.0f;
            return;
        }
        const double h = 0.5 * (h0 + h1);
        const double c = std::sqrt(kGravity * h);
        const double pressure = spherical ? factor * gravityMetricY[i][j] : kGravity * cartesianScale;
        const double courant = c * pressure / kGravity;
        const Damping damp(g.Exponent(g.Depth(j + 0.5, g.ny), courant));
        const double slope = static_cast<double>(etaNext[i][j + 1]) - etaNext[i][j];
        fluxNNext[i][j] = static_cast<float>(damp.keep * fluxN[i][j] - damp.drive * pressure * h * slope);
    };

    // Faces that touch a layer cell: an x-face belongs to the layer when either cell beside it
    // does (columns 1..L and nx-L..nx, or a layer row); a y-face likewise (rows 1..L and ny-L..ny,
    // or a layer column). The faces between the user's edge cells and the layer are among them.
    const int nx = g.nx, ny = g.ny, cells = g.cells;
#pragma omp parallel for schedule(static) num_threads(KernelTeamSize(settings))
    for (int i = 1; i <= nx; ++i) {
        if (i <= cells || i >= nx - cells) {
            for (int j = 1; j <= ny; ++j) faceM(i, j);
        } else {
            for (int j = 1; j <= cells; ++j) faceM(i, j);
            for (int j = ny - cells + 1; j <= ny; ++j) faceM(i, j);
        }
        if (g.LayerColumn(i)) {
            for (int j = 1; j <= ny; ++j) faceN(i, j);
        } else {
            for (int j = 1; j <= cells; ++j) faceN(i, j);
            for (int j = ny - cells; j <= ny; ++j) faceN(i, j);
        }
    }
}

void ContinueStateIntoLayer(GridLevel& level) {
    if (!LayerReady(level)) return;
    const int nx = level.nx, ny = level.ny, cells = level.layerCells;
    const ConstView depth = level.depth.cview();
    for (int i = 1; i <= nx; ++i) {
        const int ci = std::clamp(i, cells + 1, nx - cells);
        const bool columnInside = ci == i;
        for (int j = 1; j <= ny; ++j) {
            const int cj = std::clamp(j, cells + 1, ny - cells);
            if (columnInside && cj == j) continue;
            // A wall side's frame is high land: it keeps its state.
            if ((i <= cells && level.wallSides[kWestSide]) || (i > nx - cells && level.wallSides[kEastSide]) ||
                (j <= cells && level.wallSides[kSouthSide]) || (j > ny - cells && level.wallSides[kNorthSide]))
                continue;
            for (Field* f : {&level.eta, &level.etaNext}) (*f)[i][j] = (*f)[ci][cj];
            // Faces: the nearest user face of the same kind; the level's outermost faces stay closed.
            for (Field* f : {&level.fluxM, &level.fluxMNext}) (*f)[i][j] = i == nx ? 0.0f : (*f)[ci][cj];
            for (Field* f : {&level.fluxN, &level.fluxNNext}) (*f)[i][j] = j == ny ? 0.0f : (*f)[ci][cj];
            const float total = static_cast<float>(std::max(0.0, static_cast<double>(depth[i][j]) + level.eta[i][j]));
            level.totalDepth[i][j] = level.totalDepthNext[i][j] = total;
            // The part of the level that the layer leaves undamped here takes it: along the north
            // and south layers the x-part, along the east and west ones the y-part; corners half each.
            const float e = level.eta[i][j];
            const bool xLayer = !columnInside, yLayer = cj != j;
            level.layerEtaX[i][j] = xLayer && yLayer ? 0.5f * e : (yLayer ? e : 0.0f);
            level.layerEtaY[i][j] = e - level.layerEtaX[i][j];
        }
    }
}
