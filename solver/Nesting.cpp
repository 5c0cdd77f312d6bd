#include "Nesting.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cmath>
#include <cstdio>

#include "RoundHalfUp.h"

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

// Block value for the feedback: the mean over the wet cells (depth > 0) of the time-averaged
// level 0.5 (eta + etaNext), or 0 when five or fewer cells of the block are wet.
float BlockMean(const GridLevel& child, int32_t iFirst, int32_t iLast, int32_t jFirst, int32_t jLast) {
    ConstView depth = child.depth.view();
    ConstView eta = child.eta.view();
    ConstView etaNext = child.etaNext.view();
    int32_t wet = 0;
    double sum = 0.0;
    for (int32_t i = iFirst; i <= iLast; ++i) {
        for (int32_t j = jFirst; j <= jLast; ++j) {
            if (depth(i, j) > 0.0f) {
                const float twoLevels = eta(i, j) + etaNext(i, j);
                sum += 0.5 * static_cast<double>(twoLevels);
                ++wet;
            }
        }
    }
    // A block that is mostly land would feed a dry-biased mean back; it writes 0 instead.
    if (wet > 5) return static_cast<float>(sum / wet);
    return 0.0f;
}

}  // namespace

ParentIndex NestingCorner(const GridLevel& parent, const GridLevel& child) {
    const double columns = OffsetInNodes(child.xMin, parent.xMin, parent.xMax, parent.nx);
    const double rows = OffsetInNodes(child.yMin, parent.yMin, parent.yMax, parent.ny);
    return {ToIndex(RoundHalfUp(columns) + 1.0), ToIndex(RoundHalfUp(rows) + 1.0)};
}

EdgePosition EdgeRule(int32_t k, int32_t base) {
    const double s = (k + 1) / 3.0;
    int32_t m = static_cast<int32_t>(s);
    if (s - m >= 0.5) ++m;
    return {m + base - 1, s - m};
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
    // NestBoundaryFluxes: rows J0 and JN along k = 1..nx-1, columns I0 and IE along k = 1..ny-2.
    if (nx >= 2) {
        columns(EdgeRule(1, corner.i).p, EdgeRule(nx - 1, corner.i).p + 1);
        rows(corner.j, corner.j);
        rows(EastBoundaryColumn(ParentIndex{corner.j, 0}, ny), EastBoundaryColumn(ParentIndex{corner.j, 0}, ny));
    }
    if (ny >= 3) {
        rows(EdgeRule(1, corner.j).p, EdgeRule(ny - 2, corner.j).p + 1);
        columns(corner.i, corner.i);
        columns(EastBoundaryColumn(corner, nx), EastBoundaryColumn(corner, nx));
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

void SetChildBoundaryWaterLevel(const GridLevel& parent, GridLevel& child) {
    if (!Matches(parent.eta.view(), parent) || !Matches(child.eta.view(), child)) return;
    if (!FitsAllocated(NestingFootprint(parent, child), parent)) return;
    const ParentIndex corner = NestingCorner(parent, child);
    auto set = [&](int32_t i, int32_t j) {
        const float depth = child.depth(i, j);
        float level = static_cast<float>(InterpolateParent(parent.eta.view(), corner, i, j));
        // Land above the interpolated level stays dry, its surface on the ground.
        if (static_cast<double>(level) + depth <= 1e-5) level = -depth;
        const float total = std::max(0.0f, level + depth);
        child.eta(i, j) = child.etaNext(i, j) = level;
        child.totalDepth(i, j) = child.totalDepthNext(i, j) = total;
    };
    const int32_t nx = child.nx, ny = child.ny;
    for (int32_t j = 1; j <= ny; ++j)
        for (int32_t i : {1, 2, nx - 1, nx})
            if (i >= 1 && i <= nx) set(i, j);
    for (int32_t i = 3; i <= nx - 2; ++i)
        for (int32_t j : {1, 2, ny - 1, ny})
            if (j >= 1 && j <= ny) set(i, j);
}

void AddParentStateToChild(const GridLevel& parent, GridLevel& child) {
    AddParentFieldsToChild(parent, child, parent.etaNext.view(), child.etaNext.view());
    AddParentFieldsToChild(parent, child, parent.eta.view(), child.eta.view());
    AddParentFieldsToChild(parent, child, parent.fluxMNext.view(), child.fluxMNext.view());
    AddParentFieldsToChild(parent, child, parent.fluxM.view(), child.fluxM.view());
    AddParentFieldsToChild(parent, child, parent.fluxNNext.view(), child.fluxNNext.view());
    AddParentFieldsToChild(parent, child, parent.fluxN.view(), child.fluxN.view());
}

void NestBoundaryFluxes(const GridLevel& parent, GridLevel& child) {
    ConstView parentM = parent.fluxM.view();
    ConstView parentN = parent.fluxN.view();
    ConstView depth = child.depth.view();
    View childM = child.fluxM.view();
    View childN = child.fluxN.view();
    if (!Matches(parentM, parent) || !Matches(parentN, parent) || !Matches(depth, child) ||
        !Matches(childM, child) || !Matches(childN, child))
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

    // Along a parent row: p indexes parent columns.
    auto alongRow = [](ConstView P, int32_t row, int32_t k, int32_t base) {
        const EdgePosition e = EdgeRule(k, base);
        return static_cast<float>(P(e.p, row) * (1.0 - e.f) + P(e.p + 1, row) * e.f);
    };
    // Along a parent column: p indexes parent rows.
    auto alongColumn = [](ConstView P, int32_t column, int32_t k, int32_t base) {
        const EdgePosition e = EdgeRule(k, base);
        return static_cast<float>(P(column, e.p) * (1.0 - e.f) + P(column, e.p + 1) * e.f);
    };

    // The child's y-fluxes on its rows 2 (south) and ny - 2 (north), columns 1..nx-1.
    const int32_t southRow = 2, childNorthRow = ny - 2;
    for (int32_t i = 1; i <= nx - 1; ++i) {
        if (depth(i, southRow) > 0.0f) childN(i, southRow) = alongRow(parentN, corner.j, i, corner.i);
        if (childNorthRow >= 0 && depth(i, childNorthRow) > 0.0f)
            childN(i, childNorthRow) = alongRow(parentN, northRow, i, corner.i);
    }
    // The child's x-fluxes on its columns nx - 2 (east) and 2 (west), rows 1..ny-2.
    const int32_t westColumn = 2, childEastColumn = nx - 2;
    for (int32_t j = 1; j <= ny - 2; ++j) {
        if (childEastColumn >= 0 && depth(childEastColumn, j) > 0.0f)
            childM(childEastColumn, j) = alongColumn(parentM, eastColumn, j, corner.j);
        if (depth(westColumn, j) > 0.0f) childM(westColumn, j) = alongColumn(parentM, corner.i, j, corner.j);
    }
}

void FeedBackWaterLevel(const GridLevel& child, GridLevel& parent) {
    View target = parent.etaNext.view();
    if (!Matches(target, parent) || !Matches(parent.totalDepthNext.view(), parent) ||
        !Matches(parent.depth.view(), parent) || !Matches(child.depth.view(), child) ||
        !Matches(child.eta.view(), child) || !Matches(child.etaNext.view(), child))
        return;
    if (!FitsAllocated(NestingFootprint(parent, child), parent)) return;

    // Child node (3m + 1, 3n + 1) lies on parent node (I0 + m, J0 + n). Each strip cell takes
    // the 3 x 3 child block centred on it, so the value lands where the child computed it.
    // The strips run one parent cell inside the child's border: their blocks (child columns
    // and rows 3 .. n-2) lie inside the faces that carry the parent's fluxes, never on the
    // two outermost child rings, which only mirror the parent.
    const ParentIndex corner = NestingCorner(parent, child);
    const int32_t lastI = corner.i + (child.nx - 1) / RefinementRatio;  // parent node of the child's last whole cell
    const int32_t lastJ = corner.j + (child.ny - 1) / RefinementRatio;
    // A child narrower than two parent cells has no ring of parent cells inside its border.
    if (lastI - corner.i < 2 || lastJ - corner.j < 2) return;
    auto block = [&](int32_t I, int32_t J) {
        const int32_t ci = RefinementRatio * (I - corner.i) + 1;
        const int32_t cj = RefinementRatio * (J - corner.j) + 1;
        return BlockMean(child, ci - 1, ci + 1, cj - 1, cj + 1);
    };
    // Row strips first (south, then north), then column strips (west, then east): a parent
    // cell in both keeps the column strip's value.
    // The parent's total depth follows its new level, so that its momentum update sees one
    // consistent state (a block that comes back dry gives no water column).
    View totalNext = parent.totalDepthNext.view();
    ConstView parentDepth = parent.depth.view();
    auto feed = [&](int32_t I, int32_t J) {
        const float value = block(I, J);
        target(I, J) = value;
        totalNext(I, J) = std::max(0.0f, value + parentDepth(I, J));
    };
    for (int32_t I = corner.i + 1; I <= lastI - 1; ++I) feed(I, corner.j + 1);
    for (int32_t I = corner.i + 1; I <= lastI - 1; ++I) feed(I, lastJ - 1);
    for (int32_t J = corner.j + 1; J <= lastJ - 1; ++J) feed(corner.i + 1, J);
    for (int32_t J = corner.j + 1; J <= lastJ - 1; ++J) feed(lastI - 1, J);
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
