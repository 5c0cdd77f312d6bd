#include "Nesting.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "KernelCells.h"
#include "Kernels.h"
#include "RoundHalfUp.h"
#include "VolumeBudget.h"

namespace {

// A double index as int32, with NaN and absurd values pinned to the int range so that the
// footprint test (not undefined behaviour) deals with degenerate headers.
int32_t ToIndex(double x) {
    if (!(x == x)) return INT_MIN / 2;
    if (x > INT_MAX / 2) return INT_MAX / 2;
    if (x < INT_MIN / 2) return INT_MIN / 2;
    return static_cast<int32_t>(x);
}

// |offset| * (n - 1) / |extent|: the offset in parent node spacings; 0 for a zero extent.
double OffsetInNodes(double childMin, double parentMin, double parentMax, int32_t n) {
    const double extent = std::fabs(parentMax - parentMin);
    if (extent == 0.0) return 0.0;
    return std::fabs(childMin - parentMin) * (n - 1) / extent;
}

// Parent column of the child's east boundary x-face (or, with the row in .i, parent row of its
// north boundary y-face) for a child of n nodes along that axis.
int32_t EastBoundaryColumn(ParentIndex corner, int32_t n) { return corner.i + (n - 3) / RefinementRatio; }

bool Matches(ConstView view, const GridLevel& level) {
    return view.data != nullptr && view.columns == level.nx + 3 && view.stride == level.ny + 3;
}

// Whether the box lies in the parent's allocated block (columns 0..nx+2, rows 0..ny+2). An
// empty box (no operation forms any index) fits.
bool FitsAllocated(const ParentIndexBox& box, const GridLevel& parent) {
    if (box.iMin > box.iMax || box.jMin > box.jMax) return true;
    return box.iMin >= 0 && box.iMax <= parent.nx + 2 && box.jMin >= 0 && box.jMax <= parent.ny + 2;
}

// Block value for the feedback: the mean over the cells of the block that hold water of the
// time-averaged level 0.5 (eta + etaNext). False when five or fewer of them do: a block that is
// mostly dry would feed a dry-biased level back (a drained cell's level is its bed, a land cell's
// its ground), so the parent keeps its own level there. After the child's last sub-step its next
// total depth is its current one.
bool BlockMean(const GridLevel& child, int32_t iFirst, int32_t iLast, int32_t jFirst, int32_t jLast, float* mean) {
    ConstView total = child.totalDepthNext.view();
    ConstView eta = child.eta.view();
    ConstView etaNext = child.etaNext.view();
    int32_t wet = 0;
    double sum = 0.0;
    for (int32_t i = iFirst; i <= iLast; ++i) {
        for (int32_t j = jFirst; j <= jLast; ++j) {
            if (total(i, j) > 0.0f) {
                const float twoLevels = eta(i, j) + etaNext(i, j);
                sum += 0.5 * static_cast<double>(twoLevels);
                ++wet;
            }
        }
    }
    if (wet <= 5) return false;
    *mean = static_cast<float>(sum / wet);
    return true;
}

// The water a 3 x 3 child block centred on (ci, cj) holds above its still level, as a depth over
// the parent cell it covers: sum of A (D - max(h, 0)) / A_parent, D = max(h + eta, 0). Cell areas
// are those with which each level's mass update keeps its volume: a ninth of the parent's on a
// Cartesian level, R^2 cos(phi) dlambda dphi (K / metricX, K the same on both levels up to the
// factor 9) on a spherical one. The level is the time average 0.5 (eta + etaNext), as in
// BlockMean; after the child's last sub-step both hold its new level.
struct BlockWater {
    double aboveStill = 0.0;
    bool allWet = true;  // every cell of the block holds water
};
BlockWater ChildBlockWater(const GridLevel& child, int32_t ci, int32_t cj, float parentMetric) {
    ConstView eta = child.eta.view();
    ConstView etaNext = child.etaNext.view();
    ConstView depth = child.depth.view();
    ConstView total = child.totalDepthNext.view();
    BlockWater block;
    for (int32_t i = ci - 1; i <= ci + 1; ++i) {
        for (int32_t j = cj - 1; j <= cj + 1; ++j) {
            const double h = depth(i, j);
            const float twoLevels = eta(i, j) + etaNext(i, j);
            double above = std::max(h + 0.5 * static_cast<double>(twoLevels), 0.0) - std::max(h, 0.0);
            if (parentMetric > 0.0f) above *= static_cast<double>(parentMetric) / child.metricX(i, j);
            block.aboveStill += above;
            if (!(total(i, j) > 0.0f)) block.allWet = false;
        }
    }
    block.aboveStill /= RefinementRatio * RefinementRatio;
    return block;
}

// Calls visit(i, j) for every cell of a child's two outer rings (the cells whose level the parent
// sets): columns 1, 2, nx-1, nx over all rows, then rows 1, 2, ny-1, ny between them.
template <class Visit>
void ForEachRingCell(int32_t nx, int32_t ny, Visit&& visit) {
    for (int32_t j = 1; j <= ny; ++j)
        for (int32_t i : {1, 2, nx - 1, nx})
            if (i >= 1 && i <= nx) visit(i, j);
    for (int32_t i = 3; i <= nx - 2; ++i)
        for (int32_t j : {1, 2, ny - 1, ny})
            if (j >= 1 && j <= ny) visit(i, j);
}

// Stores the child's values and notes the box of the cells whose stored bits they change: a
// child that skips still water must update those cells and their surroundings in the coming
// sub-step (KeepActive), and may skip the rest of its border.
struct ChangedCells {
    int32_t iMin = INT_MAX, iMax = INT_MIN, jMin = INT_MAX, jMax = INT_MIN;

    void Store(float& slot, float value, int32_t i, int32_t j) {
        if (std::memcmp(&slot, &value, sizeof value) != 0) Note(i, j);
        slot = value;
    }
    void Note(int32_t i, int32_t j) {
        iMin = std::min(iMin, i);
        iMax = std::max(iMax, i);
        jMin = std::min(jMin, j);
        jMax = std::max(jMax, j);
    }
    void Widen(GridLevel& child) const {
        if (iMin <= iMax) KeepActive(child, iMin, iMax, jMin, jMax);
    }
};

}  // namespace

ParentIndex NestingCorner(const GridLevel& parent, const GridLevel& child) {
    const double columns = OffsetInNodes(child.xMin, parent.xMin, parent.xMax, parent.nx);
    const double rows = OffsetInNodes(child.yMin, parent.yMin, parent.yMax, parent.ny);
    return {ToIndex(RoundHalfUp(columns) + 1.0), ToIndex(RoundHalfUp(rows) + 1.0)};
}

EdgePosition EdgeRule(int32_t k, int32_t base) {
    const int32_t offset = k - 1;  // child point 1 lies on the parent's corner
    return {base + offset / RefinementRatio, static_cast<double>(offset % RefinementRatio) / RefinementRatio};
}

ParentIndexBox NestingFootprint(const GridLevel& parent, const GridLevel& child) {
    ParentIndexBox box{INT_MAX, INT_MIN, INT_MAX, INT_MIN};
    auto columns = [&box](int32_t first, int32_t last) {
        box.iMin = std::min(box.iMin, first);
        box.iMax = std::max(box.iMax, last);
    };
    auto rows = [&box](int32_t first, int32_t last) {
        box.jMin = std::min(box.jMin, first);
        box.jMax = std::max(box.jMax, last);
    };
    const ParentIndex corner = NestingCorner(parent, child);
    const int32_t nx = child.nx, ny = child.ny;

    // AddParentFieldsToChild: parent I and I + 1 where the column weight of I + 1 is nonzero.
    if (nx >= 1 && ny >= 1) {
        columns(corner.i, corner.i + (nx - 1 + RefinementRatio - 1) / RefinementRatio);
        rows(corner.j, corner.j + (ny - 1 + RefinementRatio - 1) / RefinementRatio);
    }
    // NestBoundaryFluxes: along rows J0 and JN for k = 1..nx-1 and along columns I0 and IE for
    // k = 1..ny-2, with the depths of the parent cells on both sides of each line.
    auto lastAlong = [](int32_t k, int32_t base) {
        const EdgePosition e = EdgeRule(k, base);
        return e.f > 0.0 ? e.p + 1 : e.p;
    };
    if (nx >= 2) {
        columns(corner.i, lastAlong(nx - 1, corner.i));
        const int32_t northRow = EastBoundaryColumn(ParentIndex{corner.j, 0}, ny);
        rows(corner.j, corner.j + 1);
        rows(northRow, northRow + 1);
    }
    if (ny >= 3) {
        rows(corner.j, lastAlong(ny - 2, corner.j));
        columns(corner.i, corner.i + 1);
        columns(EastBoundaryColumn(corner, nx), EastBoundaryColumn(corner, nx) + 1);
    }
    // FeedBackWaterLevel writes parent cells I0+1 .. I0+(nx-1)/3-1 (likewise J): inside the box above.
    // The child keeps one parent cell clear of the parent's west and south edges, whose outermost
    // cells belong to the parent's radiation condition.
    if (nx >= 1 && ny >= 1) {
        columns(corner.i - 1, corner.i - 1);
        rows(corner.j - 1, corner.j - 1);
    }
    return box;
}

namespace {

// Bilinear interpolation, in thirds, of a parent field at child cell (i, j); child column 1
// and row 1 lie on the parent's NestingCorner.
double InterpolateParent(ConstView parentField, ParentIndex corner, int32_t i, int32_t j) {
    constexpr double oneThird = 1.0 / 3.0;
    constexpr double twoThirds = 2.0 / 3.0;
    // Weights of parent rows J and J + 1 for child row offset b = 0, 1, 2 within a parent cell.
    constexpr double rowWeight[3][2] = {{1.0, 0.0}, {twoThirds, oneThird}, {oneThird, twoThirds}};
    const int32_t I = corner.i + (i - 1) / RefinementRatio;
    const int32_t a = (i - 1) % RefinementRatio;
    const int32_t J = corner.j + (j - 1) / RefinementRatio;
    const int32_t b = (j - 1) % RefinementRatio;
    // Value of parent row r at child column offset a between parent columns I and I + 1.
    auto blend = [&](int32_t r) -> double {
        const double here = parentField(I, r);
        if (a == 0) return here;
        const double east = parentField(I + 1, r);
        if (a == 1) return east / 3.0 + 2.0 * here / 3.0;
        return here / 3.0 + 2.0 * east / 3.0;
    };
    double value = rowWeight[b][0] * blend(J);
    // Row J + 1 carries weight 0 on rows that lie on a parent row; it is not read there,
    // so a child whose last row lies on the parent's last row reads nothing beyond it.
    if (b != 0) value += rowWeight[b][1] * blend(J + 1);
    return value;
}

}  // namespace

void AddParentFieldsToChild(const GridLevel& parent, const GridLevel& child, ConstView parentField,
                            View childField) {
    if (!Matches(parentField, parent) || !Matches(childField, child)) return;
    if (!FitsAllocated(NestingFootprint(parent, child), parent)) return;
    const ParentIndex corner = NestingCorner(parent, child);
    for (int32_t i = 1; i <= child.nx; ++i)
        for (int32_t j = 1; j <= child.ny; ++j)
            childField(i, j) =
                static_cast<float>(static_cast<double>(childField(i, j)) + InterpolateParent(parentField, corner, i, j));
}

namespace {

// Bilinear interpolation, in thirds, of a parent field at child cell (i, j) over those of the (up
// to four) parent cells around it for which `usable(I, J)` holds, their weights renormalised.
// False when none of them is usable.
template <class Usable>
bool InterpolateOver(ConstView field, ParentIndex corner, int32_t i, int32_t j, Usable&& usable, double* value) {
    const int32_t I = corner.i + (i - 1) / RefinementRatio;
    const int32_t a = (i - 1) % RefinementRatio;
    const int32_t J = corner.j + (j - 1) / RefinementRatio;
    const int32_t b = (j - 1) % RefinementRatio;
    double sum = 0.0;
    int32_t weight = 0;  // in ninths of a parent cell, so that a fully usable stencil sums to 9
    // A neighbour with weight 0 is not read, so a child whose last column or row lies on the
    // parent's last one reads nothing beyond it.
    for (int32_t di = 0; di <= (a == 0 ? 0 : 1); ++di)
        for (int32_t dj = 0; dj <= (b == 0 ? 0 : 1); ++dj) {
            if (!usable(I + di, J + dj)) continue;
            const int32_t w = (di == 0 ? RefinementRatio - a : a) * (dj == 0 ? RefinementRatio - b : b);
            sum += w * static_cast<double>(field(I + di, J + dj));
            weight += w;
        }
    if (weight == 0) return false;
    *value = sum / weight;
    return true;
}

// The parent's water level at child cell (i, j): the interpolation over those of the parent cells
// around it that hold water. A dry parent cell's level is its ground, or the bed below a drained
// sea, not a water surface: blended in, it would raise or sink the child's level near every coast
// by a third or two of the ground's height. False when none of them holds water.
bool InterpolateWetLevel(const GridLevel& parent, ParentIndex corner, int32_t i, int32_t j, double* level) {
    ConstView total = parent.totalDepth.view();
    return InterpolateOver(parent.eta.view(), corner, i, j, [&](int32_t I, int32_t J) { return total(I, J) > 0.0f; },
                           level);
}

}  // namespace

void KeepCoveredCellsActive(GridLevel& parent, const GridLevel& child) {
    const ParentIndexBox covered = NestingFootprint(parent, child);
    KeepActive(parent, covered.iMin, covered.iMax, covered.jMin, covered.jMax);
}

void SetChildBoundaryWaterLevel(const GridLevel& parent, GridLevel& child) {
    if (!Matches(parent.eta.view(), parent) || !Matches(parent.totalDepth.view(), parent) ||
        !Matches(child.eta.view(), child) || !Matches(child.etaNext.view(), child) ||
        !Matches(child.depth.view(), child) || !Matches(child.totalDepth.view(), child) ||
        !Matches(child.totalDepthNext.view(), child))
        return;
    if (!FitsAllocated(NestingFootprint(parent, child), parent)) return;
    const ParentIndex corner = NestingCorner(parent, child);
    ChangedCells changed;
    auto set = [&](int32_t i, int32_t j) {
        const float depth = child.depth(i, j);
        double interpolated = 0.0;
        float level = -depth;  // where the parent holds no water, neither does the child: dry
        // Land above the interpolated level stays dry, its surface on the ground.
        if (InterpolateWetLevel(parent, corner, i, j, &interpolated) && interpolated + depth > cells::kEpsilon)
            level = static_cast<float>(interpolated);
        const float total = std::max(0.0f, level + depth);
        changed.Store(child.eta(i, j), level, i, j);
        changed.Store(child.etaNext(i, j), level, i, j);
        changed.Store(child.totalDepth(i, j), total, i, j);
        changed.Store(child.totalDepthNext(i, j), total, i, j);
    };
    ForEachRingCell(child.nx, child.ny, set);
    changed.Widen(child);
}

void AddParentStateToChild(const GridLevel& parent, GridLevel& child) {
    AddParentFieldsToChild(parent, child, parent.etaNext.view(), child.etaNext.view());
    AddParentFieldsToChild(parent, child, parent.eta.view(), child.eta.view());
    AddParentFieldsToChild(parent, child, parent.fluxMNext.view(), child.fluxMNext.view());
    AddParentFieldsToChild(parent, child, parent.fluxM.view(), child.fluxM.view());
    AddParentFieldsToChild(parent, child, parent.fluxNNext.view(), child.fluxNNext.view());
    AddParentFieldsToChild(parent, child, parent.fluxN.view(), child.fluxN.view());
}

namespace {

// One line of parent face fluxes that a child boundary line takes its fluxes from: fluxN along a
// parent row (p indexes columns) or fluxM along a parent column (p indexes rows).
struct ParentFluxLine {
    ConstView flux, depth;
    int32_t line = 0;     // the parent row (fluxN) or column (fluxM)
    bool alongRow = true;

    double Flux(int32_t p) const { return alongRow ? flux(p, line) : flux(line, p); }
    // Whether the face at p speaks for the sea: it carries water, or the two parent cells it
    // joins are both sea. A land face carrying nothing is no sample of the flux beside it.
    bool Open(int32_t p) const {
        if (Flux(p) != 0.0) return true;
        if (alongRow) return depth(p, line) > 0.0f && depth(p, line + 1) > 0.0f;
        return depth(line, p) > 0.0f && depth(line + 1, p) > 0.0f;
    }
    // Flux at child point k of the line: linear between the two parent faces around it, the
    // one open face where the other is closed, 0 where both are.
    float At(int32_t k, int32_t base) const {
        const EdgePosition e = EdgeRule(k, base);
        const bool here = Open(e.p);
        if (e.f == 0.0) return here ? static_cast<float>(Flux(e.p)) : 0.0f;
        const bool next = Open(e.p + 1);
        if (here && next) return static_cast<float>(Flux(e.p) * (1.0 - e.f) + Flux(e.p + 1) * e.f);
        if (here) return static_cast<float>(Flux(e.p));
        if (next) return static_cast<float>(Flux(e.p + 1));
        return 0.0f;
    }
};

// The three child faces on parent face p of a line carry, summed, three times the parent's
// flux: over the parent's step the child (three sub-steps, faces a third as wide) then moves
// through them exactly the volume the parent moves through its face, whatever its sub-step.
// Within the three the flux follows the parent's profile along the line: the parent's value at
// the middle one and a slope, from the two neighbouring faces where both are open, limited
// (monotonized central) so that no face overshoots them, and 0 at an extremum or next to a
// closed face. A face onto the child's land keeps its own flux: where the coast crosses the
// border, the child's land takes its share of the parent's flux out of the exchange (handing
// it to the open faces instead would push it through the shallow water beside the coast).
void ShareParentFace(const ParentFluxLine& line, int32_t p, float faces[RefinementRatio]) {
    const double here = line.Flux(p);
    double slope = 0.0;
    if (line.Open(p) && line.Open(p - 1) && line.Open(p + 1)) {
        const double down = here - line.Flux(p - 1), up = line.Flux(p + 1) - here;
        if (down * up > 0.0) {
            const double centred = 0.5 * (down + up);
            slope = std::copysign(std::min(std::fabs(centred), 2.0 * std::min(std::fabs(down), std::fabs(up))), centred);
        }
    }
    for (int32_t o = 0; o < RefinementRatio; ++o) faces[o] = static_cast<float>(here + slope * (o - 1) / RefinementRatio);
}

}  // namespace

void NestBoundaryFluxes(const GridLevel& parent, GridLevel& child) {
    ConstView parentM = parent.fluxM.view();
    ConstView parentN = parent.fluxN.view();
    ConstView parentDepth = parent.depth.view();
    ConstView depth = child.depth.view();
    View childM = child.fluxM.view();
    View childN = child.fluxN.view();
    if (!Matches(parentM, parent) || !Matches(parentN, parent) || !Matches(parentDepth, parent) ||
        !Matches(depth, child) || !Matches(childM, child) || !Matches(childN, child) ||
        !Matches(child.totalDepth.cview(), child))
        return;
    if (!FitsAllocated(NestingFootprint(parent, child), parent)) return;

    const ParentIndex corner = NestingCorner(parent, child);
    const int32_t nx = child.nx, ny = child.ny;
    // The child's east boundary face (between its columns nx-2 and nx-1) lies (nx - 2.5) / 3
    // parent cells east of the corner node; the parent's x-face nearest to it is the one
    // east of column I0 + round((nx - 4) / 3) = I0 + (nx - 3) div 3 (for nx = 3q + 1, the
    // face just inside the child's last parent cell). Likewise the north face.
    const int32_t eastColumn = EastBoundaryColumn(corner, nx);   // IE
    const int32_t northRow = EastBoundaryColumn(ParentIndex{corner.j, 0}, ny);  // JN
    const ParentFluxLine south{parentN, parentDepth, corner.j, true};
    const ParentFluxLine north{parentN, parentDepth, northRow, true};
    const ParentFluxLine west{parentM, parentDepth, corner.i, false};
    const ParentFluxLine east{parentM, parentDepth, eastColumn, false};

    // A boundary face takes the parent's flux where both child cells it joins are sea or hold
    // water; a face onto dry land keeps the flux the child's own wet/dry front gives it, so that
    // the parent never pushes water onto (or draws it out of) the child's dry land. Flooded land
    // takes the parent's flux too: left to the child's own front against the level the parent
    // holds in the ring, such a face draws from (or feeds) the ring as if it were an endless
    // supply, and the border's volume account then swings the parent cell outside it from one
    // base step to the next (single cells 30-100 % above their neighbours on a flooded flat).
    ConstView total = child.totalDepth.view();
    auto sea = [&](int32_t i, int32_t j) { return depth(i, j) > 0.0f || total(i, j) > 0.0f; };
    // Where the child's size is 3q + 1 nodes on both axes its computed cells (columns and rows
    // 3 .. n-2) cover parent cells I0+1 .. I0+q-1 (likewise J) exactly, and its boundary lines
    // lie on the parent's faces: there every parent face that borders the child passes its
    // volume on in full (ShareParentFace). The two child faces at each end of a line border the
    // child's outer rings only, which mirror the parent; they take the parent's flux at their
    // own position.
    const bool aligned = (nx - 1) % RefinementRatio == 0 && (ny - 1) % RefinementRatio == 0;
    // Faces k = 1..last along a line of `nodes` child nodes: the y-faces of child row `fixed`
    // (k the column) or the x-faces of child column `fixed` (k the row).
    ChangedCells changed;
    auto setLine = [&](const ParentFluxLine& line, int32_t base, int32_t nodes, int32_t last, int32_t fixed) {
        View field = line.alongRow ? childN : childM;
        auto store = [&](int32_t k, float value) {
            const int32_t i = line.alongRow ? k : fixed, j = line.alongRow ? fixed : k;
            if (line.alongRow ? sea(i, j) && sea(i, j + 1) : sea(i, j) && sea(i + 1, j))
                changed.Store(field(i, j), value, i, j);
        };
        const int32_t groups = aligned ? (nodes - 1) / RefinementRatio - 1 : 0;  // parent faces n = 1..groups
        for (int32_t k = 1; k <= last; ++k) {
            if (k >= RefinementRatio && k < RefinementRatio * (groups + 1)) continue;
            store(k, line.At(k, base));
        }
        for (int32_t n = 1; n <= groups; ++n) {
            float faces[RefinementRatio];
            ShareParentFace(line, base + n, faces);
            for (int32_t o = 0; o < RefinementRatio; ++o) store(RefinementRatio * n + o, faces[o]);
        }
    };
    // The child's y-fluxes on its rows 2 (south) and ny - 2 (north), columns 1..nx-1.
    setLine(south, corner.i, nx, nx - 1, 2);
    if (ny - 2 >= 0) setLine(north, corner.i, nx, nx - 1, ny - 2);
    // The child's x-fluxes on its columns nx - 2 (east) and 2 (west), rows 1..ny-2.
    if (nx - 2 >= 0) setLine(east, corner.j, ny, ny - 2, nx - 2);
    setLine(west, corner.j, ny, ny - 2, 2);
    changed.Widen(child);
}

void FeedBackWaterLevel(const GridLevel& child, GridLevel& parent) {
    View target = parent.etaNext.view();
    if (!Matches(target, parent) || !Matches(parent.totalDepthNext.view(), parent) ||
        !Matches(parent.depth.view(), parent) || !Matches(child.totalDepthNext.view(), child) ||
        !Matches(child.eta.view(), child) || !Matches(child.etaNext.view(), child))
        return;
    if (!FitsAllocated(NestingFootprint(parent, child), parent)) return;

    // Child node (3m + 1, 3n + 1) lies on parent node (I0 + m, J0 + n): each parent cell the child
    // covers takes the 3 x 3 child block centred on it, the block lying inside the faces that
    // carry the parent's fluxes (child columns and rows 3 .. n-2), never on the two outermost
    // child rings, which only mirror the parent.
    const ParentIndex corner = NestingCorner(parent, child);
    const int32_t lastI = corner.i + (child.nx - 1) / RefinementRatio;  // parent node of the child's last whole cell
    const int32_t lastJ = corner.j + (child.ny - 1) / RefinementRatio;
    // A child narrower than two parent cells covers no parent cell whole.
    if (lastI - corner.i < 2 || lastJ - corner.j < 2) return;
    // The parent's total depth follows its new level, so that its momentum update sees one
    // consistent state.
    View totalNext = parent.totalDepthNext.view();
    ConstView parentDepth = parent.depth.view();
    const bool spherical = parent.IsSpherical() && child.IsSpherical() && Matches(parent.metricX.view(), parent) &&
                           Matches(child.metricX.view(), child);
    for (int32_t I = corner.i + 1; I <= lastI - 1; ++I) {
        for (int32_t J = corner.j + 1; J <= lastJ - 1; ++J) {
            const int32_t ci = RefinementRatio * (I - corner.i) + 1;
            const int32_t cj = RefinementRatio * (J - corner.j) + 1;
            const float h = parentDepth(I, J);
            const BlockWater block = ChildBlockWater(child, ci, cj, spherical ? parent.metricX(I, J) : 0.0f);
            // A sea cell whose block is wholly wet holds the block's water: its still water plus the
            // water the block holds above its own still level (on such a block, its mean level).
            const double water = std::max(static_cast<double>(h), 0.0) + block.aboveStill;
            if (block.allWet && h > 0.0f && water > 0.0) {
                target(I, J) = static_cast<float>(water - h);
                totalNext(I, J) = static_cast<float>(water);
                continue;
            }
            // Where the coast runs through the block, the parent's cell and the block hold their sea
            // in different places: water above a land cell's still level would lie as a film on its
            // ground, and a sea cell would sink by the block's land share. The cell takes the level
            // of the block's wet cells instead (see BlockMean), or keeps its own.
            float value = 0.0f;
            if (!BlockMean(child, ci - 1, ci + 1, cj - 1, cj + 1, &value)) continue;
            target(I, J) = value;
            totalNext(I, J) = std::max(0.0f, value + h);
        }
    }
}

namespace {

// One face of the common border: the parent's face flux, the child's three faces on it, and the
// parent cell outside it. x-faces (fluxM) on the west and east lines, y-faces (fluxN) on the south
// and north ones.
struct BorderFace {
    bool xFace = true;
    int32_t parentI = 0, parentJ = 0;  // the parent face (fluxM or fluxN index)
    int32_t childI = 0, childJ = 0;    // the first of the child's three faces; the others follow along the line
    int32_t outsideI = 0, outsideJ = 0;
    double intoChild = 1.0;  // +1 where a positive flux runs into the child (west, south), -1 east and north
};

// Calls visit(index, face) for every face of the border of a pair whose child has 3q + 1 by
// 3r + 1 nodes, in the order of BorderVolumes; returns the number of faces. The indices are those
// of a layout that CheckNestedLayout accepts (PrepareBorderVolumes sizes the sums only for one).
template <class Visit>
int32_t ForEachBorderFace(const GridLevel& parent, const GridLevel& child, Visit&& visit) {
    const ParentIndex corner = NestingCorner(parent, child);
    const int32_t q = (child.nx - 1) / RefinementRatio, r = (child.ny - 1) / RefinementRatio;
    int32_t index = 0;
    for (int32_t n = 1; n <= r - 1; ++n)
        visit(index++, BorderFace{true, corner.i, corner.j + n, 2, RefinementRatio * n, corner.i, corner.j + n, 1.0});
    for (int32_t n = 1; n <= r - 1; ++n)
        visit(index++, BorderFace{true, corner.i + q - 1, corner.j + n, child.nx - 2, RefinementRatio * n,
                                  corner.i + q, corner.j + n, -1.0});
    for (int32_t m = 1; m <= q - 1; ++m)
        visit(index++, BorderFace{false, corner.i + m, corner.j, RefinementRatio * m, 2, corner.i + m, corner.j, 1.0});
    for (int32_t m = 1; m <= q - 1; ++m)
        visit(index++, BorderFace{false, corner.i + m, corner.j + r - 1, RefinementRatio * m, child.ny - 2,
                                  corner.i + m, corner.j + r, -1.0});
    return index;
}

// The flux of a face times the length the mass update weighs it with, relative to an x-face:
// 1, or the cosine of the row south of a spherical y-face.
double FaceFlux(const GridLevel& level, bool xFace, int32_t i, int32_t j) {
    if (xFace) return level.fluxM(i, j);
    const double weight = level.IsSpherical() ? static_cast<double>(level.cosLatitude[j]) : 1.0;
    return weight * level.fluxN(i, j);
}

}  // namespace

void PrepareBorderVolumes(const GridLevel& parent, const GridLevel& child, BorderVolumes* volumes) {
    const bool aligned = (child.nx - 1) % RefinementRatio == 0 && (child.ny - 1) % RefinementRatio == 0;
    const int32_t faces = aligned && CheckNestedLayout(parent, child).empty()
                              ? ForEachBorderFace(parent, child, [](int32_t, const BorderFace&) {})
                              : 0;
    volumes->parent.assign(faces, 0.0);
    volumes->child.assign(faces, 0.0);
}

void AddBorderVolume(const GridLevel& parent, const GridLevel& child, bool ofChild, double faceVolume,
                     BorderVolumes& volumes) {
    const GridLevel& level = ofChild ? child : parent;
    std::vector<double>& sums = ofChild ? volumes.child : volumes.parent;
    if (sums.empty()) return;
    ForEachBorderFace(parent, child, [&](int32_t n, const BorderFace& f) {
        if (static_cast<size_t>(n) >= sums.size()) return;
        double flux = 0.0;
        if (!ofChild) {
            flux = FaceFlux(level, f.xFace, f.parentI, f.parentJ);
        } else {
            for (int32_t o = 0; o < RefinementRatio; ++o)
                flux += FaceFlux(level, f.xFace, f.childI + (f.xFace ? 0 : o), f.childJ + (f.xFace ? o : 0));
        }
        sums[n] += f.intoChild * flux * faceVolume;
    });
}

double CorrectAcrossBorder(GridLevel& parent, GridLevel& child, const VolumeScale& parentScale,
                           const VolumeScale& childScale, BorderVolumes& volumes) {
    if (volumes.parent.empty() || volumes.parent.size() != volumes.child.size()) return 0.0;
    // Adds `volume` (negative: takes it) to a cell's water after its level's update, as far as the
    // cell holds it; returns what was added, from the levels as stored.
    auto addWater = [&](GridLevel& level, const VolumeScale& scale, int32_t i, int32_t j, double volume, bool both) {
        const double a = CellArea(level, scale, i, j);
        if (!(a > 0.0)) return 0.0;
        const double h = level.depth(i, j);
        const double held = std::max(h + static_cast<double>(level.etaNext(i, j)), 0.0);
        if (held == 0.0 && volume <= 0.0) return 0.0;
        const double water = std::max(held + volume / a, 0.0);
        const float eta = static_cast<float>(water > 0.0 ? water - h : -h);
        const float total = std::max(0.0f, eta + static_cast<float>(h));
        level.etaNext(i, j) = eta;
        level.totalDepthNext(i, j) = total;
        if (both) {
            level.eta(i, j) = eta;
            level.totalDepth(i, j) = total;
        }
        return (std::max(h + static_cast<double>(eta), 0.0) - held) * a;
    };
    ChangedCells changed;
    double childChange = 0.0;
    ForEachBorderFace(parent, child, [&](int32_t n, const BorderFace& f) {
        if (static_cast<size_t>(n) >= volumes.parent.size()) return;
        const double excess = volumes.parent[n] - volumes.child[n];
        volumes.parent[n] = 0.0;
        volumes.child[n] = 0.0;
        if (excess == 0.0) return;
        const double placed = addWater(parent, parentScale, f.outsideI, f.outsideJ, excess, false);
        // The child took in more than the parent cell outside holds (a ring cell keeps water the
        // parent interpolated from the covered side while the cell beyond is dry): the child cells the
        // water entered give the rest back, each by its share of what it holds.
        // (Only where the cell emptied: elsewhere the rest is the rounding of its stored level.)
        const double rest = excess - placed;
        if (!(rest < 0.0) || parent.totalDepthNext(f.outsideI, f.outsideJ) > 0.0f) return;
        // The child block behind the face (the covered parent cell's), three cells along it and
        // three deep: water that came in through the face within the base step lies there.
        constexpr int32_t kBlock = RefinementRatio * RefinementRatio;
        int32_t ci[kBlock], cj[kBlock];
        double held[kBlock], sum = 0.0;
        for (int32_t o = 0; o < kBlock; ++o) {
            const int32_t along = o % RefinementRatio, deep = o / RefinementRatio;
            const int32_t inward = f.intoChild > 0.0 ? 1 + deep : -deep;
            ci[o] = f.xFace ? f.childI + inward : f.childI + along;
            cj[o] = f.xFace ? f.childJ + along : f.childJ + inward;
            const double a = CellArea(child, childScale, ci[o], cj[o]);
            held[o] = a * std::max(static_cast<double>(child.depth(ci[o], cj[o])) + child.etaNext(ci[o], cj[o]), 0.0);
            sum += held[o];
        }
        // What even the block does not hold is left: the system gains it.
        if (!(sum > 0.0)) return;
        const double share = std::min(1.0, -rest / sum);
        for (int32_t o = 0; o < kBlock; ++o) {
            if (!(held[o] > 0.0)) continue;
            childChange += addWater(child, childScale, ci[o], cj[o], -share * held[o], true);
            changed.Note(ci[o], cj[o]);
        }
    });
    changed.Widen(child);
    return childChange;
}

namespace {

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
    char line[400];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    return line;
}

// Node spacing along one axis; 0 when the axis has a single node.
double Spacing(double first, double last, int32_t n) { return n > 1 ? (last - first) / (n - 1) : 0.0; }

}  // namespace

std::string CheckNestedLayout(const GridLevel& parent, const GridLevel& child) {
    if (parent.nx < 2 || parent.ny < 2 || !(parent.xMax > parent.xMin) || !(parent.yMax > parent.yMin))
        return Format("the parent grid of %d x %d nodes spanning x %g..%g, y %g..%g has no extent to nest in",
                      parent.nx, parent.ny, parent.xMin, parent.xMax, parent.yMin, parent.yMax);
    // Two parent cells each way: below that the boundary lines 2 and n-2 and the feedback
    // strips do not exist or fall on each other.
    if (child.nx < 2 * RefinementRatio || child.ny < 2 * RefinementRatio)
        return Format("the nested grid has %d x %d nodes; it needs at least %d x %d", child.nx, child.ny,
                      2 * RefinementRatio, 2 * RefinementRatio);
    if (!(child.xMax > child.xMin) || !(child.yMax > child.yMin))
        return Format("the nested grid spans x %g..%g, y %g..%g: it has no extent", child.xMin, child.xMax,
                      child.yMin, child.yMax);

    const double parentDx = Spacing(parent.xMin, parent.xMax, parent.nx);
    const double parentDy = Spacing(parent.yMin, parent.yMax, parent.ny);
    const double ratioX = Spacing(child.xMin, child.xMax, child.nx) / parentDx;
    const double ratioY = Spacing(child.yMin, child.yMax, child.ny) / parentDy;
    const double third = 1.0 / RefinementRatio;
    if (std::fabs(ratioX - third) > 0.01 * third)
        return Format("the nested grid's cell size in x is %.4f of its parent's (%g vs %g); it must be 1/3 within 1 %%",
                      ratioX, ratioX * parentDx, parentDx);
    if (std::fabs(ratioY - third) > 0.01 * third)
        return Format("the nested grid's cell size in y is %.4f of its parent's (%g vs %g); it must be 1/3 within 1 %%",
                      ratioY, ratioY * parentDy, parentDy);

    // Offset of the child's first node from the parent's first node, in parent cells.
    const double offsetX = (child.xMin - parent.xMin) / parentDx;
    const double offsetY = (child.yMin - parent.yMin) / parentDy;
    if (offsetX < -0.1)
        return Format("west edge: the nested grid starts %.2f parent cells west of its parent", -offsetX);
    if (offsetY < -0.1)
        return Format("south edge: the nested grid starts %.2f parent cells south of its parent", -offsetY);
    const double missX = offsetX - std::round(offsetX);
    const double missY = offsetY - std::round(offsetY);
    if (std::fabs(missX) > 0.1)
        return Format("the nested grid's first column lies %.2f parent cells from its parent's first column, "
                      "%.2f cells off a parent node (at most 0.1 allowed)",
                      offsetX, std::fabs(missX));
    if (std::fabs(missY) > 0.1)
        return Format("the nested grid's first row lies %.2f parent cells from its parent's first row, "
                      "%.2f cells off a parent node (at most 0.1 allowed)",
                      offsetY, std::fabs(missY));

    // Margins: every index the exchange forms must be a parent cell, 1..nx and 1..ny.
    const ParentIndexBox box = NestingFootprint(parent, child);
    if (box.iMin < 1)
        return Format("west edge: the nesting needs parent column %d, %d cell(s) beyond the parent's first column "
                      "(the nested grid starts %.2f parent cells from it)",
                      box.iMin, 1 - box.iMin, offsetX);
    if (box.jMin < 1)
        return Format("south edge: the nesting needs parent row %d, %d cell(s) beyond the parent's first row "
                      "(the nested grid starts %.2f parent cells from it)",
                      box.jMin, 1 - box.jMin, offsetY);
    const double endX = offsetX + (child.nx - 1) * ratioX;
    const double endY = offsetY + (child.ny - 1) * ratioY;
    if (box.iMax > parent.nx)
        return Format("east edge: the nesting needs parent column %d of %d, %d cell(s) too far east "
                      "(the nested grid ends %.2f parent cells from the parent's last column)",
                      box.iMax, parent.nx, box.iMax - parent.nx, parent.nx - 1 - endX);
    if (box.jMax > parent.ny)
        return Format("north edge: the nesting needs parent row %d of %d, %d cell(s) too far north "
                      "(the nested grid ends %.2f parent cells from the parent's last row)",
                      box.jMax, parent.ny, box.jMax - parent.ny, parent.ny - 1 - endY);
    return {};
}

namespace {

// The flow maxima of one cell (the momentum update's running maxima, with the values stored
// alongside them), taken over from another where the other's maximum is larger.
void TakeLargerFlowMaxima(GridLevel& l, int32_t i, int32_t j, int32_t fromI, int32_t fromJ) {
    if (l.maxCurrent(fromI, fromJ) > l.maxCurrent(i, j)) {
        l.maxCurrent(i, j) = l.maxCurrent(fromI, fromJ);
        l.flowDepthAtMaxCurrent(i, j) = l.flowDepthAtMaxCurrent(fromI, fromJ);
        l.timeOfMaxCurrent(i, j) = l.timeOfMaxCurrent(fromI, fromJ);
        l.maxCurrentAngle(i, j) = l.maxCurrentAngle(fromI, fromJ);
    }
    if (l.maxFroudeSquared(fromI, fromJ) > l.maxFroudeSquared(i, j)) {
        l.maxFroudeSquared(i, j) = l.maxFroudeSquared(fromI, fromJ);
        l.currentAtMaxFroudeSquared(i, j) = l.currentAtMaxFroudeSquared(fromI, fromJ);
        l.flowDepthAtMaxFroudeSquared(i, j) = l.flowDepthAtMaxFroudeSquared(fromI, fromJ);
        l.timeOfMaxFroudeSquared(i, j) = l.timeOfMaxFroudeSquared(fromI, fromJ);
    }
    for (Field* f : {&l.maxFroude, &l.maxDragForce, &l.froudeSquaredU, &l.froudeSquaredV, &l.maxFluxM, &l.maxFluxN,
                     &l.maxDischargeFlux, &l.maxDischargeFluxAngle, &l.maxMomentumFlux}) {
        Field& field = *f;
        field(i, j) = std::max(field(i, j), field(fromI, fromJ));
    }
    // On Cartesian levels the momentum update keeps the largest flow depth.
    if (!l.IsSpherical()) l.maxFlowDepth(i, j) = std::max(l.maxFlowDepth(i, j), l.maxFlowDepth(fromI, fromJ));
}

}  // namespace

void RecordChildBoundaryExtremes(GridLevel& child, double tMinutes) {
    GridLevel& l = child;
    for (const Field* f : {&l.eta, &l.totalDepth, &l.depth, &l.etaMax, &l.etaMin, &l.timeOfMaxWave,
                           &l.firstWaveArrival, &l.maxFlowDepth, &l.maxCurrent, &l.flowDepthAtMaxCurrent,
                           &l.timeOfMaxCurrent, &l.maxCurrentAngle, &l.maxFroudeSquared,
                           &l.currentAtMaxFroudeSquared, &l.flowDepthAtMaxFroudeSquared, &l.timeOfMaxFroudeSquared,
                           &l.maxFroude, &l.maxDragForce, &l.froudeSquaredU, &l.froudeSquaredV, &l.maxFluxM,
                           &l.maxFluxN, &l.maxDischargeFlux, &l.maxDischargeFluxAngle, &l.maxMomentumFlux})
        if (!Matches(f->cview(), l)) return;
    const int32_t nx = l.nx, ny = l.ny;
    if (nx < 2 || ny < 2) return;

    // The water level of the two outer rings is the parent's, held through every sub-step:
    // its extremes are what these cells show, recorded as the mass update records the interior's.
    const float stamp = static_cast<float>(tMinutes);
    const double arrival = cells::ArrivalThreshold(l.IsSpherical());
    auto level = [&](int32_t i, int32_t j) {
        const float total = l.totalDepth(i, j);
        if (!(total > 0.0f)) return;
        const float e = l.eta(i, j);
        if (total > l.maxFlowDepth(i, j)) l.maxFlowDepth(i, j) = total;
        if (e > l.etaMax(i, j)) {
            l.etaMax(i, j) = e;
            l.timeOfMaxWave(i, j) = stamp;
        }
        if (e < l.etaMin(i, j)) l.etaMin(i, j) = e;
        if (std::fabs(static_cast<double>(e)) > arrival && l.firstWaveArrival(i, j) == 0.0f)
            l.firstWaveArrival(i, j) = stamp;
    };
    ForEachRingCell(nx, ny, level);

    // The outermost rows and columns carry no flow of their own: the momentum update does not
    // sweep the first column and row, and the faces beyond the last ones lead out of the level
    // (on a Cartesian level into a halo at rest). Their sea cells take the flow maxima of their
    // inner neighbours, the corners last, from the columns.
    for (int32_t j = 2; j <= ny - 1; ++j) {
        if (l.depth(1, j) > 0.0f) TakeLargerFlowMaxima(l, 1, j, 2, j);
        if (l.depth(nx, j) > 0.0f) TakeLargerFlowMaxima(l, nx, j, nx - 1, j);
    }
    for (int32_t i = 1; i <= nx; ++i) {
        if (l.depth(i, 1) > 0.0f) TakeLargerFlowMaxima(l, i, 1, i, 2);
        if (l.depth(i, ny) > 0.0f) TakeLargerFlowMaxima(l, i, ny, i, ny - 1);
    }
}

void SmoothChildRingExtremes(const GridLevel& parent, GridLevel& child) {
    for (const GridLevel* l : {&parent, static_cast<const GridLevel*>(&child)})
        for (const Field* f : {&l->depth, &l->etaMax, &l->etaMin, &l->firstWaveArrival, &l->maxFlowDepth})
            if (!Matches(f->cview(), *l)) return;
    // Only a pair that nests (as Init checks) has rings that mirror the parent.
    if (!CheckNestedLayout(parent, child).empty()) return;
    const ParentIndex corner = NestingCorner(parent, child);
    ConstView depth = parent.depth.view(), parentMax = parent.etaMax.view(), arrival = parent.firstWaveArrival.view();
    // Parent cells that held water at some time carry a highest level; its sea cells a lowest one
    // (a flooded land cell's lowest level is not recorded) and, where the wave came, an arrival.
    auto everWet = [&](int32_t I, int32_t J) { return depth(I, J) > 0.0f || parentMax(I, J) > -depth(I, J); };
    auto sea = [&](int32_t I, int32_t J) { return depth(I, J) > 0.0f; };
    bool arrivedEverywhere = true;
    auto arrived = [&](int32_t I, int32_t J) {
        if (!sea(I, J)) return false;
        arrivedEverywhere = arrivedEverywhere && arrival(I, J) > 0.0f;
        return true;
    };
    // The rings hold the parent's level interpolated between its nodes; the extremes of a wave
    // interpolated so are lower between the nodes than at them (the crest passes each node at
    // another time), which left a rim 5-10 % below the computed cells inside, rippling with the
    // parent's node spacing. The parent's own extremes, interpolated to the cell with the weights
    // of the level the ring received, have no ripple, but the coarser parent's crest can stand a
    // few percent below the child's: a sea cell therefore takes the parent's extreme shifted by
    // the child's departure from the parent at the nearest computed cell (columns and rows
    // 3..n-2), so that the ring carries the parent's gradient on from the child's own field.
    // Land cells, and cells whose nearest computed cell is land, take the parent's extreme as it
    // is. The time of the highest level stays the one recorded; the first arrival is interpolated
    // where the wave reached every parent sea cell around. A ring cell whose parent cells never
    // held water, and a land cell that stayed dry, keep what they recorded.
    const int32_t nx = child.nx, ny = child.ny;
    auto shifted = [&](const Field& from, const Field& own, int32_t i, int32_t j, auto&& usable, double* value) {
        if (!InterpolateOver(from.cview(), corner, i, j, usable, value)) return false;
        const int32_t ai = std::clamp(i, 3, std::max(3, nx - 2)), aj = std::clamp(j, 3, std::max(3, ny - 2));
        double atAnchor = 0.0;
        if (child.depth(i, j) > 0.0f && child.depth(ai, aj) > 0.0f &&
            InterpolateOver(from.cview(), corner, ai, aj, usable, &atAnchor))
            *value += static_cast<double>(own(ai, aj)) - atAnchor;
        return true;
    };
    auto smooth = [&](int32_t i, int32_t j) {
        const float h = child.depth(i, j);
        double value = 0.0;
        const bool everWetHere = h > 0.0f || child.etaMax(i, j) > -h;
        if (everWetHere && shifted(parent.etaMax, child.etaMax, i, j, everWet, &value) && (h > 0.0f || value > -h)) {
            child.etaMax(i, j) = static_cast<float>(value);
            // A spherical level's largest flow depth is its deepest water column.
            if (child.IsSpherical()) child.maxFlowDepth(i, j) = std::max(0.0f, child.etaMax(i, j) + h);
        }
        if (!(h > 0.0f)) return;
        if (shifted(parent.etaMin, child.etaMin, i, j, sea, &value)) child.etaMin(i, j) = static_cast<float>(value);
        arrivedEverywhere = true;
        if (InterpolateOver(arrival, corner, i, j, arrived, &value) && arrivedEverywhere)
            child.firstWaveArrival(i, j) = static_cast<float>(value);
    };
    ForEachRingCell(nx, ny, smooth);
}
