#include "NestLayout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Nesting.h"

namespace {

std::string Num(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::string Cells(long long count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

bool HasIncreasingAxes(const ModelGrid& grid) {
    return grid.nx >= 2 && grid.ny >= 2 && std::isfinite(grid.xMin) && std::isfinite(grid.xMax) &&
           std::isfinite(grid.yMin) && std::isfinite(grid.yMax) && grid.xMax > grid.xMin && grid.yMax > grid.yMin;
}

// Translates a longitude box by whole turns so that its west edge falls in the parent's span
// (or as near to it as a turn allows).
GridBox ToParentLongitudes(const ModelGrid& parent, GridBox box) {
    if (!parent.LooksSpherical()) return box;
    if (box.west > box.east) box.east += 360.0;
    double best = box.west, bestDistance = INFINITY;
    for (double turns : {0.0, -1.0, 1.0}) {
        const double west = box.west + 360.0 * turns;
        const double distance = west < parent.xMin ? parent.xMin - west : (west > parent.xMax ? west - parent.xMax : 0.0);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = west;
        }
    }
    box.east += best - box.west;
    box.west = best;
    return box;
}

void CheckSpacing(const char* axis, double parentStep, double childStep, std::vector<NestProblem>* problems) {
    if (std::fabs(3.0 * childStep - parentStep) <= 0.01 * parentStep) return;
    problems->push_back({std::string(axis) + " spacing",
                         std::string(axis) + " spacing: child cells are " + Num(childStep) + ", parent cells " +
                             Num(parentStep) + " (ratio " + Num(parentStep / childStep) +
                             "); the child's cells must be a third of the parent's within 1 %, i.e. " +
                             Num(parentStep / 3.0)});
}

// Rule 2 along one axis: the child's first node on a parent node, not before the first one.
void CheckAlignment(const char* edge, const char* lineName, double parentFirst, double parentStep, double childFirst,
                    std::vector<NestProblem>* problems) {
    const double offset = (childFirst - parentFirst) / parentStep;  // in parent cells
    if (offset < -0.1) {
        problems->push_back({edge, std::string(edge) + " edge: the child's first " + lineName + " lies " +
                                       Num(-offset) + " parent cells " + edge + " of the parent's first " + lineName +
                                       "; it must lie inside the parent"});
        return;
    }
    const double nearest = std::nearbyint(offset);
    const double off = offset - nearest;
    if (std::fabs(off) > 0.1)
        problems->push_back({edge, std::string(edge) + " edge: the child's first " + lineName + " lies " + Num(offset) +
                                       " parent cells from the parent's first " + lineName + ", " + Num(std::fabs(off)) +
                                       " of a cell off parent " + lineName + " " +
                                       std::to_string(static_cast<long long>(nearest) + 1) +
                                       "; it must lie on a parent node within 0.1 cell (move it by " +
                                       Num(-off * parentStep) + " to " + Num(parentFirst + nearest * parentStep) +
                                       ")"});
}

// Rule 3 along one axis: the parent lines formed, low..high, inside 1..count.
void CheckRoom(const char* lowEdge, const char* highEdge, const char* lineName, const char* lowMove,
               const char* highMove, long long low, long long high, long long count,
               std::vector<NestProblem>* problems) {
    if (low < 1) {
        const long long missing = 1 - low;
        problems->push_back({lowEdge, std::string(lowEdge) + " edge: the nesting operations reach parent " + lineName +
                                          " " + std::to_string(low) + ", " + Cells(missing, lineName) +
                                          " beyond the parent's first " + lineName + " 1; move the child's " + lowEdge +
                                          " edge " + Cells(missing, "parent cell") + " (" + Cells(3 * missing, "child cell") +
                                          ") " + lowMove});
    }
    if (high > count) {
        const long long missing = high - count;
        problems->push_back({highEdge, std::string(highEdge) + " edge: the nesting operations reach parent " +
                                           lineName + " " + std::to_string(high) + ", " + Cells(missing, lineName) +
                                           " beyond the parent's last " + lineName + " " + std::to_string(count) +
                                           "; move the child's " + highEdge + " edge " +
                                           Cells(missing, "parent cell") + " (" + Cells(3 * missing, "child cell") +
                                           ") " + highMove});
    }
}

}  // namespace

NestIndices NestIndicesOf(const ModelGrid& parent, const ModelGrid& child) {
    // The indices are the nesting operations' own (NestingCorner, NestingFootprint), worked
    // out from the two headers, so that the checker and the model's start-up cannot disagree.
    auto header = [](const ModelGrid& grid) {
        GridLevel level;
        level.nx = grid.nx;
        level.ny = grid.ny;
        level.xMin = grid.xMin;
        level.xMax = grid.xMax;
        level.yMin = grid.yMin;
        level.yMax = grid.yMax;
        return level;
    };
    const GridLevel parentLevel = header(parent), childLevel = header(child);
    const ParentIndex corner = NestingCorner(parentLevel, childLevel);
    const ParentIndexBox box = NestingFootprint(parentLevel, childLevel);
    NestIndices n;
    n.column = corner.i;
    n.row = corner.j;
    // The water-level feedback writes a ring one parent cell inside the child.
    n.feedbackColumn = n.column + 1;
    n.feedbackRow = n.row + 1;
    n.lowColumn = box.iMin;
    n.highColumn = box.iMax;
    n.lowRow = box.jMin;
    n.highRow = box.jMax;
    return n;
}

NestCheck CheckNestLayout(const ModelGrid& parent, const ModelGrid& child) {
    NestCheck check;
    auto& problems = check.problems;
    if (!HasIncreasingAxes(parent)) {
        problems.push_back({"size", "the parent needs at least 2 x 2 nodes with increasing coordinates (has " +
                                        std::to_string(parent.nx) + " x " + std::to_string(parent.ny) + ")"});
        return check;
    }
    if (!HasIncreasingAxes(child)) {
        problems.push_back({"size", "the child needs at least 2 x 2 nodes with increasing coordinates (has " +
                                        std::to_string(child.nx) + " x " + std::to_string(child.ny) + ")"});
        return check;
    }
    // Below two parent cells each way the boundary lines 2 and n - 2 and the feedback strips
    // do not exist or fall on each other.
    if (child.nx < 6 || child.ny < 6) {
        problems.push_back({"size", "the child has " + std::to_string(child.nx) + " x " + std::to_string(child.ny) +
                                        " nodes; a nested grid needs at least 6 x 6"});
        return check;
    }
    CheckSpacing("x", parent.DeltaX(), child.DeltaX(), &problems);
    CheckSpacing("y", parent.DeltaY(), child.DeltaY(), &problems);
    CheckAlignment("west", "column", parent.xMin, parent.DeltaX(), child.xMin, &problems);
    CheckAlignment("south", "row", parent.yMin, parent.DeltaY(), child.yMin, &problems);
    // Huge offsets (a child far outside) would overflow the index arithmetic; the alignment
    // and room messages below already say where it lies.
    const double reachX = std::fabs(child.xMin - parent.xMin) / parent.DeltaX() + child.nx;
    const double reachY = std::fabs(child.yMin - parent.yMin) / parent.DeltaY() + child.ny;
    if (reachX > 1e8 || reachY > 1e8) {
        problems.push_back({"size", "the child lies far outside the parent"});
        return check;
    }
    check.indices = NestIndicesOf(parent, child);
    const NestIndices& n = check.indices;
    CheckRoom("west", "east", "column", "east", "west", n.lowColumn, n.highColumn, parent.nx, &problems);
    CheckRoom("south", "north", "row", "north", "south", n.lowRow, n.highRow, parent.ny, &problems);
    return check;
}

bool SnapNestedBox(const ModelGrid& parent, const GridBox& requested, ModelGrid* child, std::string* error) {
    const auto fail = [error](const std::string& message) {
        if (error) *error = message;
        return false;
    };
    if (!child) return fail("no child grid to fill");
    if (!HasIncreasingAxes(parent)) return fail("the parent needs at least 2 x 2 nodes with increasing coordinates");
    if (!parent.LooksSpherical() && requested.west > requested.east)
        return fail("box west " + Num(requested.west) + " lies east of east " + Num(requested.east));
    if (!(requested.south < requested.north)) return fail("box south must lie below north");
    const GridBox box = ToParentLongitudes(parent, requested);
    const double dx = parent.DeltaX(), dy = parent.DeltaY();
    // Outward to the enclosing parent nodes; a requested edge within a millionth of a cell
    // of a node stays on it.
    const double west = std::floor((box.west - parent.xMin) / dx + 1e-6);
    const double east = std::ceil((box.east - parent.xMin) / dx - 1e-6);
    const double south = std::floor((box.south - parent.yMin) / dy + 1e-6);
    const double north = std::ceil((box.north - parent.yMin) / dy - 1e-6);
    const std::string snappedText = Num(parent.xMin + west * dx) + "," + Num(parent.xMin + east * dx) + "," +
                                    Num(parent.yMin + south * dy) + "," + Num(parent.yMin + north * dy);
    // A child outside the parent altogether: say where, in parent cells, before any indices.
    const double lastColumn = parent.nx - 1.0, lastRow = parent.ny - 1.0;
    std::string outside;
    if (west < 0.0) outside += "; west edge lies " + Num(-west) + " parent cells west of the parent";
    if (east > lastColumn) outside += "; east edge lies " + Num(east - lastColumn) + " parent cells east of the parent";
    if (south < 0.0) outside += "; south edge lies " + Num(-south) + " parent cells south of the parent";
    if (north > lastRow) outside += "; north edge lies " + Num(north - lastRow) + " parent cells north of the parent";
    if (!outside.empty())
        return fail("snapped box " + snappedText + " reaches outside the parent " + Num(parent.xMin) + "," +
                    Num(parent.xMax) + "," + Num(parent.yMin) + "," + Num(parent.yMax) + outside);
    if (east - west < 2.0 || north - south < 2.0)
        return fail("snapped box " + snappedText + " spans " + Num(east - west) + " x " + Num(north - south) +
                    " parent cells; a nested grid needs at least 2 x 2");

    ModelGrid result;
    result.nx = 3 * static_cast<int>(east - west) + 1;
    result.ny = 3 * static_cast<int>(north - south) + 1;
    result.xMin = parent.X(static_cast<int>(west));
    result.xMax = parent.X(static_cast<int>(east));
    result.yMin = parent.Y(static_cast<int>(south));
    result.yMax = parent.Y(static_cast<int>(north));
    const NestCheck check = CheckNestLayout(parent, result);
    if (!check.Passed()) {
        std::string message = "snapped box " + snappedText + " does not fit the parent";
        for (const auto& problem : check.problems) message += "; " + problem.message;
        return fail(message);
    }
    *child = std::move(result);
    return true;
}
