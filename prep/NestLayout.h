#pragma once
// Layout of a nested grid inside its parent, worked out from the two grids' headers alone
// (nx, ny and the coordinates of the first and last nodes), so that a layout can be checked
// and repaired before any run.
//
// The nesting operations (boundary fluxes from the parent, water-level feedback into it,
// interpolation of source fields into the child) assume, and the model's start-up demands:
//  0. Size: the child has at least 6 x 6 nodes (two parent cells each way).
//  1. Cell size: the child's node spacing is a third of the parent's, within 1 %, in x and y.
//  2. Alignment: the child's first node lies on a parent node, within a tenth of a parent
//     cell, and not west or south of the parent's first node.
//  3. Room: every parent column and row that the operations form lies inside the parent,
//     1..nx and 1..ny. With the corner I0 = RoundHalfUp(|child.xMin - parent.xMin|
//     (parent.nx - 1) / |parent.xMax - parent.xMin|) + 1 (J0 likewise) these reach
//       boundary fluxes:  columns I0 .. I0 + m(child.nx - 1) along rows J0 and J0 + (child.ny - 3) / 3,
//                         rows J0 .. J0 + m(child.ny - 2) along columns I0 and I0 + (child.nx - 3) / 3,
//                         where m(k) is k / 3 + 1/3 rounded half up (the edge rule's upper sample);
//       interpolation:    columns I0 .. I0 + ceil((child.nx - 1) / 3), rows likewise (the lines
//                         with a non-zero weight);
//       feedback:         a ring one parent cell inside the child, within the lines above;
//       margin:           parent column I0 - 1 and row J0 - 1 stay clear of the parent's edge.
//     For an aligned child spanning q parent cells (nx = 3q + 1) whose first node is parent
//     node I0 that is: at least one parent cell between the child and the parent's west and
//     south edges; its last node may lie on the parent's last node.
// Integer divisions truncate.
#include <string>
#include <vector>

#include "GridImport.h"
#include "ModelGrid.h"

// Parent indices (1-based) the nesting operations form for one child.
struct NestIndices {
    long long column = 0, row = 0;                  // I0, J0: parent node of the child's first node
    long long feedbackColumn = 0, feedbackRow = 0;  // first parent column and row of the water-level feedback ring
    long long lowColumn = 0, highColumn = 0;        // every parent column formed lies in low..high
    long long lowRow = 0, highRow = 0;              // every parent row formed lies in low..high
};

struct NestProblem {
    std::string edge;     // "west", "east", "south", "north", "x spacing", "y spacing" or "size"
    std::string message;  // what is wrong, with the numbers and the move that mends it
};

struct NestCheck {
    NestIndices indices;
    std::vector<NestProblem> problems;
    bool Passed() const { return problems.empty(); }
};

// Checks `child` (only its header is used) against `parent` under the three rules above.
NestCheck CheckNestLayout(const ModelGrid& parent, const ModelGrid& child);

// The indices the nesting operations form for this pair; meaningful once both grids have
// at least 2 x 2 nodes and increasing coordinates.
NestIndices NestIndicesOf(const ModelGrid& parent, const ModelGrid& child);

// Snaps a requested child box outward to the parent's nodes and gives the child header:
// nodes three times denser than the parent's, first and last nodes on parent nodes. For a
// parent in degrees a box may be given in either longitude convention or across the
// antimeridian (west > east). Fails, with the checker's reasons and numbers, when the
// snapped box spans fewer than two parent cells or lacks the margins of rule 3.
bool SnapNestedBox(const ModelGrid& parent, const GridBox& requested, ModelGrid* child, std::string* error);
