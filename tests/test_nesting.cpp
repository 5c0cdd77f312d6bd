// Nesting exchange between a parent and a child three times finer: corner, interpolation,
// boundary fluxes, feedback and the layout check. The parent is 10 x 7 nodes, 1 km apart,
// from (0, 0); children are placed on parent nodes with 1/3 km spacing.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "KernelFixture.h"
#include "Nesting.h"

namespace {

using fixture::ForEachCell;

// nx x ny nodes `cell` metres apart from (xMin, yMin), 100 m deep, every field zero.
GridLevel MakeLevel(int nx, int ny, double xMin, double yMin, double cell) {
    GridLevel level = fixture::CartesianLevel(nx, ny);
    level.depth.Fill(100.0f);
    level.xMin = xMin;
    level.yMin = yMin;
    level.xMax = xMin + (nx - 1) * cell;
    level.yMax = yMin + (ny - 1) * cell;
    return level;
}
GridLevel MakeParent() { return MakeLevel(10, 7, 0.0, 0.0, 1000.0); }
// A child whose first node lies on parent node (column, row), counted from 0.
GridLevel MakeChild(int nx, int ny, double column, double row) {
    return MakeLevel(nx, ny, column * 1000.0, row * 1000.0, 1000.0 / 3.0);
}
// South-west quarter: 19 x 10 from parent node (2, 1), corner (3, 2); north-east quarter: 7 x 6
// from (6, 4), corner (7, 5).
GridLevel SouthWestChild() { return MakeChild(19, 10, 2, 1); }
GridLevel NorthEastChild() { return MakeChild(7, 6, 6, 4); }

std::vector<Field*> State(GridLevel& l) { return {&l.eta, &l.etaNext, &l.fluxM, &l.fluxMNext, &l.fluxN, &l.fluxNNext}; }

TEST(Nesting, CornersAndEdgeRule) {
    // Node (6, 4) -> (7, 5): scaling the offset by nx instead of nx - 1 gives 6 * 10/9 = 6.67, one
    // parent cell too far east (8), likewise north (6). Half a parent cell rounds up, less down.
    const struct { double column, row; int i, j; } corners[] = {{2, 1, 3, 2}, {6, 4, 7, 5}, {2.5, 1.49, 4, 2}};
    for (const auto& c : corners) {
        const ParentIndex corner = NestingCorner(MakeParent(), MakeChild(7, 6, c.column, c.row));
        EXPECT_TRUE(corner.i == c.i && corner.j == c.j) << corner.i << "," << corner.j;
    }
    // Child position 2 + 3n lies on parent base + n; f in [-0.5, 0.5).
    const EdgePosition expected[5] = {{5, -1.0 / 3.0}, {5, 0.0}, {5, 1.0 / 3.0}, {6, -1.0 / 3.0}, {6, 0.0}};
    for (int k = 1; k <= 5; ++k) {
        EXPECT_EQ(EdgeRule(k, 5).p, expected[k - 1].p) << "k = " << k;
        EXPECT_NEAR(EdgeRule(k, 5).f, expected[k - 1].f, 1e-15) << "k = " << k;
    }
    // The same through the west boundary: child fluxM[2][k] along parent column 3 from row 2,
    // with P = 3, 7, 19 on rows 2, 3, 4 (curved, so p - 1 would show).
    GridLevel parent = MakeParent(), child = SouthWestChild();
    parent.fluxM[3][2] = 3.0f;
    parent.fluxM[3][3] = 7.0f;
    parent.fluxM[3][4] = 19.0f;
    NestBoundaryFluxes(parent, child);
    fixture::ExpectCells({{child.fluxM, 2, 1, 4.0 / 3 * 3 - 7.0 / 3}, {child.fluxM, 2, 2, 3},
                          {child.fluxM, 2, 3, 2.0 / 3 * 3 + 7.0 / 3}, {child.fluxM, 2, 4, 4.0 / 3 * 7 - 19.0 / 3},
                          {child.fluxM, 2, 5, 7}});
}

TEST(Nesting, LinearParentStateIsAddedToTheChildUnchanged) {
    // P(x, y) = 3 + 0.5 x + 0.25 y (x, y in km) on the parent nodes of all six state fields;
    // bilinear interpolation in thirds reproduces it at every child node, wherever the child
    // lies, added to what the child holds (0.5); the child's halo is left alone.
    auto plane = [](double x, double y) { return 3.0 + 0.5 * x / 1000.0 + 0.25 * y / 1000.0; };
    for (int placement = 0; placement < 3; ++placement) {
        GridLevel parent = MakeParent();
        GridLevel child = placement == 0 ? SouthWestChild() : placement == 1 ? NorthEastChild() : MakeChild(8, 11, 1, 1);
        ASSERT_EQ(CheckNestedLayout(parent, child), "");
        for (Field* f : State(parent)) {
            ForEachCell(parent, [&](int I, int J) { (*f)[I][J] = float(plane((I - 1) * 1e3, (J - 1) * 1e3)); }, false);
        }
        for (Field* f : State(child)) f->Fill(0.5f);
        AddParentStateToChild(parent, child);
        for (Field* f : State(child)) {
            ForEachCell(child, [&](int i, int j) {
                const bool inside = i >= 1 && i <= child.nx && j >= 1 && j <= child.ny;
                const double x = child.xMin + (i - 1) * 1e3 / 3, y = child.yMin + (j - 1) * 1e3 / 3;
                const double want = inside ? 0.5 + plane(x, y) : 0.5;
                ASSERT_NEAR((*f)[i][j], want, 2e-6 * want) << "child cell " << i << "," << j;
            });
        }
    }
}

TEST(Nesting, BoundaryFluxesIntegerCoded) {
    // Parent fluxes encode their cell: M = 100 I + J, N = 5000 + 100 I + J. Both are linear, so
    // the edge rule (which extrapolates linearly at f < 0) returns the code at the fractional
    // parent position of each child point: base + (k - 2) / 3 along the line. By hand, the
    // corner (I0, J0) and the parent faces nearest the child's east face (between its columns
    // nx-2 and nx-1, (nx - 2.5) / 3 parent cells east of I0) and north face: 19 x 10 from (3, 2):
    // the east face lies 5.5 cells east, on parent face 3 + 5 = 8, the north face 2.5 cells north,
    // on face 2 + 2 = 4. The north-east child 7 x 6 from (7, 5): east face 1.5 cells in (7 + 1),
    // north face 1.17 cells in (nearest 5 + 1).
    const struct { int I0, J0, IE, JN; } cases[] = {{3, 2, 8, 4}, {7, 5, 8, 6}};
    for (const auto& c : cases) {
        GridLevel parent = MakeParent(), child = c.I0 == 3 ? SouthWestChild() : NorthEastChild();
        const int nx = child.nx, ny = child.ny;
        ForEachCell(parent, [&](int I, int J) {
            parent.fluxM[I][J] = static_cast<float>(100 * I + J);
            parent.fluxN[I][J] = static_cast<float>(5000 + 100 * I + J);
        });
        ForEachCell(child, [&](int i, int j) {
            child.fluxM[i][j] = static_cast<float>(-(100 * i + j));
            child.fluxN[i][j] = static_cast<float>(-(100 * i + j) - 0.5);
        });
        // Dry cells on each boundary line keep their flux.
        child.depth[4][2] = child.depth[2][3] = child.depth[nx - 2][1] = 0.0f;
        child.depth[3][ny - 2] = -2.0f;
        NestBoundaryFluxes(parent, child);
        ForEachCell(child, [&](int i, int j) {
            const bool wet = child.depth[i][j] > 0.0f, alongX = i >= 1 && i <= nx - 1, alongY = j >= 1 && j <= ny - 2;
            const double along = (i - 2) / 3.0, up = (j - 2) / 3.0;  // fractional parent column and row
            double expectN = -(100 * i + j) - 0.5, expectM = -(100 * i + j);
            if (alongX && wet && (j == 2 || j == ny - 2)) expectN = 5000 + 100 * (c.I0 + along) + (j == 2 ? c.J0 : c.JN);
            if (alongY && wet && (i == 2 || i == nx - 2)) expectM = 100 * (i == 2 ? c.I0 : c.IE) + c.J0 + up;
            ASSERT_NEAR(child.fluxN[i][j], expectN, 2e-3) << "fluxN " << i << "," << j << " nx " << nx;
            ASSERT_NEAR(child.fluxM[i][j], expectM, 2e-3) << "fluxM " << i << "," << j << " nx " << nx;
        });
    }
    // A child of 3 rows gets an east and west flux on row 1 only; one of 1 column gets no
    // south or north flux (and nothing is written outside its arrays).
    GridLevel parent = MakeParent(), flat = MakeChild(9, 3, 2, 1), thin = MakeChild(1, 9, 2, 1);
    parent.fluxM.Fill(4.0f);
    parent.fluxN.Fill(6.0f);
    NestBoundaryFluxes(parent, flat);
    NestBoundaryFluxes(parent, thin);
    for (int j = 0; j <= 5; ++j) {
        EXPECT_FLOAT_EQ(flat.fluxM[2][j], j == 1 ? 4.0f : 0.0f) << j;
        EXPECT_FLOAT_EQ(flat.fluxM[7][j], j == 1 ? 4.0f : 0.0f) << j;
    }
    for (int i = 0; i <= 3; ++i) EXPECT_FLOAT_EQ(thin.fluxN[i][2], 0.0f);
}

TEST(Nesting, FeedbackIntegerCoded) {
    // Child 19 x 10 from parent node (2, 1): corner (3, 2), last whole parent node (9, 5).
    // Child node (3m + 1, 3n + 1) lies on parent (3 + m, 2 + n); the ring one parent cell
    // inside the border is I = 4..8 on rows 3 and 4. Child levels eta = 100 i + j and etaNext =
    // eta + 2, so a centred 3 x 3 block's value is 100 * (centre column) + (centre row) + 1.
    GridLevel parent = MakeParent(), child = SouthWestChild();
    ForEachCell(child, [&](int i, int j) {
        child.eta[i][j] = static_cast<float>(100 * i + j);
        child.etaNext[i][j] = child.eta[i][j] + 2.0f;
    });
    parent.etaNext.Fill(-1.0f);
    FeedBackWaterLevel(child, parent);
    ForEachCell(parent, [&](int I, int J) {
        const bool written = I >= 4 && I <= 8 && J >= 3 && J <= 4;
        const float block = static_cast<float>(100 * (3 * (I - 3) + 1) + 3 * (J - 2) + 2);
        ASSERT_FLOAT_EQ(parent.etaNext[I][J], written ? block : -1.0f) << I << "," << J;
    });
    // Child block columns 3-5, rows 3-5, and columns 15-17, rows 6-8; the column follows the level.
    fixture::ExpectCells({{parent.etaNext, 4, 3, 405}, {parent.etaNext, 8, 4, 1608},
                          {parent.totalDepthNext, 4, 3, 505}, {parent.totalDepthNext, 3, 3, 0}});

    // Wet-cell threshold: the block of parent (5, 3) (child columns 6-8, rows 3-5) with 3 dry
    // cells keeps 6 wet cells of mean level 0.3; that of (6, 3) (columns 9-11) with 4 dry has 5.
    child.eta.Fill(0.2f);
    child.etaNext.Fill(0.4f);
    child.depth[6][3] = child.depth[7][4] = child.depth[8][5] = 0.0f;
    child.eta[6][3] = child.etaNext[6][3] = 50.0f;  // dry: ignored
    child.depth[9][3] = child.depth[10][4] = child.depth[11][5] = child.depth[9][5] = -1.0f;
    FeedBackWaterLevel(child, parent);
    fixture::ExpectCells({{parent.etaNext, 5, 3, 0.3}, {parent.etaNext, 6, 3, 0}, {parent.etaNext, 7, 3, 0.3}});
}

TEST(Nesting, LayoutCheckAcceptsSnappedChildrenAndNamesEachMisfit) {
    GridLevel tall = SouthWestChild(), point = MakeParent();
    tall.yMax = tall.yMin + 9 * 250.0;
    point.xMax = point.xMin;
    const double third = 1000.0 / 3.0;
    const struct Case {
        GridLevel parent, child;
        std::vector<std::string> parts;  // none: accepted
    } cases[] = {
        {MakeParent(), SouthWestChild(), {}},
        {MakeParent(), NorthEastChild(), {}},
        // 0.5 % off the ratio, 0.08 cell off a node
        {MakeParent(), MakeLevel(19, 10, 2080.0, 1000.0, third * 1.005), {}},
        {MakeParent(), MakeLevel(19, 10, 2000.0, 1000.0, 350.0), {"in x is 0.3500"}},
        {MakeParent(), MakeLevel(19, 10, 2000.0, 1000.0, third * 1.02), {"0.3400"}},
        {MakeParent(), std::move(tall), {"in y is 0.2500"}},
        {MakeParent(), MakeChild(19, 10, 2.4, 1), {"first column lies 2.40", "0.40 cells off"}},
        {MakeParent(), MakeChild(19, 10, 2, 0.75), {"first row lies 0.75", "0.25 cells off"}},
        // On the parent's first column the feedback would write parent column 0.
        {MakeParent(), MakeChild(19, 10, 0, 1), {"west edge", "column 0, 1 cell(s)"}},
        {MakeParent(), MakeChild(19, 10, 2, 0), {"south edge", "row 0, 1 cell(s)"}},
        {MakeParent(), MakeChild(19, 10, -2, 1), {"west edge", "2.00 parent cells west"}},
        {MakeParent(), MakeChild(19, 10, 2, -1), {"south edge", "1.00 parent cells south"}},
        {MakeParent(), MakeChild(19, 10, 4, 1), {"east edge", "column 11 of 10, 1 cell(s)"}},  // ends on column 11
        {MakeParent(), MakeChild(7, 6, 6, 6), {"north edge", "row 9 of 7, 2 cell(s)"}},
        {MakeParent(), MakeChild(5, 10, 2, 1), {"5 x 10 nodes", "at least 6 x 6"}},
        {std::move(point), SouthWestChild(), {"no extent"}},
    };
    for (const Case& c : cases) {
        const std::string message = CheckNestedLayout(c.parent, c.child);
        EXPECT_EQ(message.empty(), c.parts.empty()) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;  // one line
        for (const std::string& part : c.parts) EXPECT_NE(message.find(part), std::string::npos) << message;
    }
}

TEST(Nesting, AcceptedLayoutsTouchOnlyParentCells) {
    // Every layout the check accepts must keep all three operations inside parent columns
    // 1..nx and rows 1..ny: NaN in the parent's halo would reach the child, and a write into the
    // halo would replace a NaN.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    int accepted = 0, refused = 0;
    for (int nx = 6; nx <= 13; ++nx) {
        for (int ny = 6; ny <= 10; ++ny) {
            for (int column = 0; column <= 9; ++column) {
                for (int row = 0; row <= 6; ++row) {
                    GridLevel parent = MakeParent(), child = MakeChild(nx, ny, column, row);
                    if (!CheckNestedLayout(parent, child).empty()) {
                        ++refused;
                        continue;
                    }
                    ++accepted;
                    for (Field* f : State(parent)) {
                        f->Fill(nan);
                        ForEachCell(parent, [&](int I, int J) { (*f)[I][J] = 0.5f; }, false);
                    }
                    child.eta.Fill(0.1f);
                    child.etaNext.Fill(0.1f);
                    AddParentStateToChild(parent, child);
                    NestBoundaryFluxes(parent, child);
                    FeedBackWaterLevel(child, parent);
                    for (Field* f : State(child)) {
                        ForEachCell(child, [&](int i, int j) {
                            ASSERT_TRUE(std::isfinite((*f)[i][j])) << nx << "x" << ny << " at " << column << "," << row;
                        });
                    }
                    ForEachCell(parent, [&](int I, int J) {
                        const bool inside = I >= 1 && I <= 10 && J >= 1 && J <= 7;
                        ASSERT_EQ(std::isfinite(parent.etaNext[I][J]), inside) << I << "," << J;
                    });
                }
            }
        }
    }
    EXPECT_GT(accepted, 200);
    EXPECT_GT(refused, 200);

    // An unchecked layout reaching outside the parent's arrays is ignored, not followed.
    GridLevel parent = MakeParent(), outside = MakeChild(40, 40, 8, 5);
    parent.etaNext.Fill(-1.0f);
    outside.eta.Fill(1.0f);
    outside.etaNext.Fill(1.0f);
    outside.fluxM.Fill(2.0f);
    FeedBackWaterLevel(outside, parent);
    NestBoundaryFluxes(parent, outside);
    AddParentFieldsToChild(parent, outside, parent.etaNext.view(), outside.eta.view());
    ForEachCell(parent, [&](int I, int J) { ASSERT_FLOAT_EQ(parent.etaNext[I][J], -1.0f) << I << "," << J; });
    ForEachCell(outside, [&](int i, int j) {
        ASSERT_TRUE(outside.fluxM[i][j] == 2.0f && outside.eta[i][j] == 1.0f) << i << "," << j;
    });
}

}  // namespace
