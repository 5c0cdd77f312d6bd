// Nesting exchange between a parent and a child three times finer: corner, interpolation,
// boundary fluxes, feedback and the layout check. The parent is 10 x 7 nodes, 1 km apart,
// from (0, 0); children are placed on parent nodes with 1/3 km spacing.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "Nesting.h"

namespace {

constexpr double kParentCell = 1000.0;
constexpr double kChildCell = kParentCell / 3.0;

void Allocate(GridLevel& level, float depth) {
    for (Field* field : {&level.depth, &level.eta, &level.etaNext, &level.totalDepthNext, &level.fluxM,
                         &level.fluxMNext, &level.fluxN, &level.fluxNNext}) {
        field->Allocate(level.nx, level.ny);
        field->Fill(0.0f);
    }
    level.depth.Fill(depth);
}

GridLevel MakeLevel(int32_t nx, int32_t ny, double xMin, double yMin, double cell, float depth = 100.0f) {
    GridLevel level;
    level.nx = nx;
    level.ny = ny;
    level.xMin = xMin;
    level.yMin = yMin;
    level.xMax = xMin + (nx - 1) * cell;
    level.yMax = yMin + (ny - 1) * cell;
    Allocate(level, depth);
    return level;
}

GridLevel MakeParent() { return MakeLevel(10, 7, 0.0, 0.0, kParentCell); }

// A child whose first node lies on parent node (column, row), counted from 0.
GridLevel MakeChild(int32_t nx, int32_t ny, double column, double row) {
    return MakeLevel(nx, ny, column * kParentCell, row * kParentCell, kChildCell);
}

// South-west quarter: 19 x 10 from parent node (2, 1); north-east quarter: 7 x 6 from (6, 4).
GridLevel SouthWestChild() { return MakeChild(19, 10, 2, 1); }
GridLevel NorthEastChild() { return MakeChild(7, 6, 6, 4); }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(Nesting, CornersCountParentNodeSpacings) {
    const GridLevel parent = MakeParent();
    // Corner on parent node (2, 1) -> 1-based (3, 2); the same with either spacing rule.
    ParentIndex corner = NestingCorner(parent, SouthWestChild());
    EXPECT_EQ(corner.i, 3);
    EXPECT_EQ(corner.j, 2);
    // Node (6, 4) -> (7, 5). Scaling the offset by nx instead of nx - 1 gives 6 * 10/9 = 6.67,
    // which rounds to 7 and lands one parent cell too far east (8), likewise north (6).
    corner = NestingCorner(parent, NorthEastChild());
    EXPECT_EQ(corner.i, 7);
    EXPECT_EQ(corner.j, 5);
    // Half a parent cell rounds up, less rounds down.
    EXPECT_EQ(NestingCorner(parent, MakeChild(7, 7, 2.5, 1.49)).i, 4);
    EXPECT_EQ(NestingCorner(parent, MakeChild(7, 7, 2.5, 1.49)).j, 2);
}

TEST(Nesting, EdgeRuleWorkedValues) {
    // Child position 1 + 3n lies on parent base + n (as child column 1 lies on the corner).
    const EdgePosition expected[5] = {{5, 0.0}, {5, 1.0 / 3.0}, {5, 2.0 / 3.0}, {6, 0.0}, {6, 1.0 / 3.0}};
    for (int32_t k = 1; k <= 5; ++k) {
        const EdgePosition e = EdgeRule(k, 5);
        EXPECT_EQ(e.p, expected[k - 1].p) << "k = " << k;
        EXPECT_NEAR(e.f, expected[k - 1].f, 1e-15) << "k = " << k;
    }

    // The same through the west boundary: child fluxM[2][k] along parent column I0 = 3 from
    // row J0 = 2, with P = 3, 7, 19 on rows 2, 3, 4 (curved, so p - 1 would show).
    GridLevel parent = MakeParent();
    GridLevel child = SouthWestChild();
    parent.fluxM[3][2] = 3.0f;
    parent.fluxM[3][3] = 7.0f;
    parent.fluxM[3][4] = 19.0f;
    NestBoundaryFluxes(parent, child);
    EXPECT_FLOAT_EQ(child.fluxM[2][1], 3.0f);
    EXPECT_FLOAT_EQ(child.fluxM[2][2], static_cast<float>(2.0 / 3.0 * 3 + 7.0 / 3.0));  // 13/3
    // Faces 3..5 share the parent face of flux 7: 7 - 8/3, 7, 7 + 8/3 (slope 8, within its
    // limit), summing to exactly three times the parent's flux.
    EXPECT_FLOAT_EQ(child.fluxM[2][3], static_cast<float>(7.0 - 8.0 / 3.0));
    EXPECT_FLOAT_EQ(child.fluxM[2][4], 7.0f);
    EXPECT_FLOAT_EQ(child.fluxM[2][5], static_cast<float>(7.0 + 8.0 / 3.0));
}

TEST(Nesting, AddParentFieldsWorkedValues) {
    GridLevel parent = MakeParent();
    GridLevel child = SouthWestChild();  // corner (3, 2)
    parent.eta[3][2] = 2.0f;
    parent.eta[4][2] = 5.0f;
    parent.eta[4][3] = 11.0f;
    child.eta[1][1] = 0.0f;
    AddParentFieldsToChild(parent, child, parent.eta.view(), child.eta.view());
    EXPECT_FLOAT_EQ(child.eta[1][1], 2.0f);                                          // P[I0][J0]
    EXPECT_FLOAT_EQ(child.eta[2][1], static_cast<float>(2.0 / 3.0 * 2 + 5.0 / 3.0));  // 2/3 P[I0] + 1/3 P[I0+1]
    EXPECT_FLOAT_EQ(child.eta[4][4], 11.0f);                                         // P[I0+1][J0+1]

    // Added, not assigned: 0.5 + 0.25 = 0.75.
    parent.fluxN.Fill(0.25f);
    child.fluxN.Fill(0.5f);
    AddParentFieldsToChild(parent, child, parent.fluxN.view(), child.fluxN.view());
    for (int32_t i = 1; i <= child.nx; ++i)
        for (int32_t j = 1; j <= child.ny; ++j) ASSERT_FLOAT_EQ(child.fluxN[i][j], 0.75f) << i << "," << j;
    EXPECT_FLOAT_EQ(child.fluxN[0][0], 0.5f);  // the halo is not touched

    // All six state fields in one call, in both quarters.
    for (int32_t quarter = 0; quarter < 2; ++quarter) {
        GridLevel target = quarter == 0 ? SouthWestChild() : NorthEastChild();
        GridLevel source = MakeParent();
        for (Field* field : {&source.eta, &source.etaNext, &source.fluxM, &source.fluxMNext, &source.fluxN,
                             &source.fluxNNext})
            field->Fill(1.5f);
        AddParentStateToChild(source, target);
        for (const Field* field : {&target.eta, &target.etaNext, &target.fluxM, &target.fluxMNext, &target.fluxN,
                                   &target.fluxNNext}) {
            EXPECT_FLOAT_EQ((*field)[1][1], 1.5f);
            EXPECT_FLOAT_EQ((*field)[target.nx][target.ny], 1.5f);
        }
    }
}

TEST(Nesting, LinearParentFieldReachesChildUnchanged) {
    // P(x, y) = 3 + 0.5 x + 0.25 y (x, y in km) on the parent nodes; bilinear interpolation in
    // thirds reproduces it at every child node, wherever the child lies.
    auto plane = [](double x, double y) { return 3.0 + 0.5 * x / 1000.0 + 0.25 * y / 1000.0; };
    for (int32_t placement = 0; placement < 3; ++placement) {
        GridLevel child = placement == 0 ? SouthWestChild() : placement == 1 ? NorthEastChild() : MakeChild(8, 11, 1, 1);
        GridLevel parent = MakeParent();
        for (int32_t i = 1; i <= parent.nx; ++i)
            for (int32_t j = 1; j <= parent.ny; ++j)
                parent.etaNext[i][j] = static_cast<float>(plane((i - 1) * kParentCell, (j - 1) * kParentCell));
        ASSERT_EQ(CheckNestedLayout(parent, child), "");
        AddParentFieldsToChild(parent, child, parent.etaNext.view(), child.etaNext.view());
        for (int32_t i = 1; i <= child.nx; ++i)
            for (int32_t j = 1; j <= child.ny; ++j) {
                const double expected = plane(child.xMin + (i - 1) * kChildCell, child.yMin + (j - 1) * kChildCell);
                ASSERT_NEAR(child.etaNext[i][j], expected, 2e-6 * expected) << "child cell " << i << "," << j;
            }
    }
}

TEST(Nesting, BoundaryFluxesIntegerCoded) {
    // Parent fluxes encode their cell: M = 100 I + J, N = 5000 + 100 I + J. Both are linear, so
    // the edge rule returns the code at the fractional parent position of each child point:
    // base + (k - 1) / 3 along the line.
    struct Case {
        GridLevel child;
        // By hand: the corner, and the parent faces nearest the child's east face (between its
        // columns nx-2 and nx-1, (nx - 2.5) / 3 parent cells east of I0) and north face:
        // 19 x 10 from (3, 2): the east face lies 5.5 cells east, on parent face 3 + 5 = 8,
        // the north face 2.5 cells north, on face 2 + 2 = 4. The north-east child 7 x 6 from
        // (7, 5): east face 1.5 cells in (7 + 1), north face 1.17 cells in (nearest 5 + 1).
        int32_t I0, J0, IE, JN;
    };
    Case cases[] = {{SouthWestChild(), 3, 2, 8, 4}, {NorthEastChild(), 7, 5, 8, 6}};
    for (Case& c : cases) {
        GridLevel parent = MakeParent();
        GridLevel& child = c.child;
        const int32_t nx = child.nx, ny = child.ny;
        for (int32_t I = 0; I <= parent.nx + 2; ++I)
            for (int32_t J = 0; J <= parent.ny + 2; ++J) {
                parent.fluxM[I][J] = static_cast<float>(100 * I + J);
                parent.fluxN[I][J] = static_cast<float>(5000 + 100 * I + J);
            }
        for (int32_t i = 0; i <= nx + 2; ++i)
            for (int32_t j = 0; j <= ny + 2; ++j) {
                child.fluxM[i][j] = static_cast<float>(-(100 * i + j));
                child.fluxN[i][j] = static_cast<float>(-(100 * i + j) - 0.5);
            }
        // A boundary face beside a land cell on either side keeps its flux.
        child.depth[4][2] = 0.0f;
        child.depth[3][ny - 2] = -2.0f;
        child.depth[2][3] = 0.0f;
        child.depth[nx - 2][1] = 0.0f;

        NestBoundaryFluxes(parent, child);

        for (int32_t i = 0; i <= nx + 2; ++i)
            for (int32_t j = 0; j <= ny + 2; ++j) {
                const bool seaNorth = child.depth[i][j] > 0.0f && child.depth[i][j + 1] > 0.0f;
                const bool seaEast = child.depth[i][j] > 0.0f && child.depth[i + 1][j] > 0.0f;
                const double along = (i - 1) / 3.0;  // fractional parent column of child column i
                const double up = (j - 1) / 3.0;     // fractional parent row of child row j
                double expectN = -(100 * i + j) - 0.5;
                if (i >= 1 && i <= nx - 1 && seaNorth && j == 2) expectN = 5000 + 100 * (c.I0 + along) + c.J0;
                if (i >= 1 && i <= nx - 1 && seaNorth && j == ny - 2) expectN = 5000 + 100 * (c.I0 + along) + c.JN;
                double expectM = -(100 * i + j);
                if (j >= 1 && j <= ny - 2 && seaEast && i == 2) expectM = 100 * c.I0 + c.J0 + up;
                if (j >= 1 && j <= ny - 2 && seaEast && i == nx - 2) expectM = 100 * c.IE + c.J0 + up;
                ASSERT_NEAR(child.fluxN[i][j], expectN, 2e-3) << "fluxN " << i << "," << j << " nx " << nx;
                ASSERT_NEAR(child.fluxM[i][j], expectM, 2e-3) << "fluxM " << i << "," << j << " nx " << nx;
            }
    }

    // A child of 3 rows gets an east and west flux on row 1 only; one of 1 column gets no
    // south or north flux (and nothing is written outside its arrays).
    GridLevel parent = MakeParent();
    parent.fluxM.Fill(4.0f);
    parent.fluxN.Fill(6.0f);
    GridLevel flat = MakeChild(9, 3, 2, 1);
    NestBoundaryFluxes(parent, flat);
    for (int32_t j = 0; j <= 5; ++j) {
        EXPECT_FLOAT_EQ(flat.fluxM[2][j], j == 1 ? 4.0f : 0.0f) << j;
        EXPECT_FLOAT_EQ(flat.fluxM[7][j], j == 1 ? 4.0f : 0.0f) << j;
    }
    GridLevel thin = MakeChild(1, 9, 2, 1);
    NestBoundaryFluxes(parent, thin);
    for (int32_t i = 0; i <= 3; ++i) EXPECT_FLOAT_EQ(thin.fluxN[i][2], 0.0f);
}

TEST(Nesting, FeedbackIntegerCoded) {
    // Child 19 x 10 from parent node (2, 1): corner (3, 2), last whole parent node (9, 5).
    // Child node (3m + 1, 3n + 1) lies on parent (3 + m, 2 + n); the ring one parent cell
    // inside the border is I = 4..8 on rows 3 and 4. Child levels eta = 100 i + j and etaNext =
    // eta + 2, so a centred 3 x 3 block's value is 100 * (centre column) + (centre row) + 1.
    GridLevel parent = MakeParent();
    GridLevel child = SouthWestChild();
    child.totalDepthNext.Fill(1.0f);  // every cell holds water
    for (int32_t i = 0; i <= child.nx + 2; ++i)
        for (int32_t j = 0; j <= child.ny + 2; ++j) {
            child.eta[i][j] = static_cast<float>(100 * i + j);
            child.etaNext[i][j] = static_cast<float>(100 * i + j + 2);
        }
    parent.etaNext.Fill(-1.0f);
    FeedBackWaterLevel(child, parent);
    for (int32_t I = 0; I <= parent.nx + 2; ++I)
        for (int32_t J = 0; J <= parent.ny + 2; ++J) {
            const bool written = I >= 4 && I <= 8 && J >= 3 && J <= 4;
            const float want = written ? static_cast<float>(100 * (3 * (I - 3) + 1) + 3 * (J - 2) + 2) : -1.0f;
            ASSERT_FLOAT_EQ(parent.etaNext[I][J], want) << "parent " << I << "," << J;
        }
    EXPECT_FLOAT_EQ(parent.etaNext[4][3], 405.0f);  // child block columns 3-5, rows 3-5
    EXPECT_FLOAT_EQ(parent.totalDepthNext[4][3], 405.0f + parent.depth[4][3]);  // the column follows the level
    EXPECT_FLOAT_EQ(parent.totalDepthNext[3][3], 0.0f);                          // cells outside the ring untouched
    EXPECT_FLOAT_EQ(parent.etaNext[8][4], 1608.0f);  // child block columns 15-17, rows 6-8

    // Wet-cell threshold: the block of parent (5, 3) (child columns 6-8, rows 3-5) with 3 dry
    // cells keeps 6 wet cells of mean level 0.3; that of (6, 3) (columns 9-11) with 4 dry has 5
    // and leaves the parent its own level.
    child.eta.Fill(0.2f);
    child.etaNext.Fill(0.4f);
    child.totalDepthNext[6][3] = child.totalDepthNext[7][4] = child.totalDepthNext[8][5] = 0.0f;
    child.eta[6][3] = child.etaNext[6][3] = 50.0f;  // dry: ignored
    child.totalDepthNext[9][3] = child.totalDepthNext[10][4] = child.totalDepthNext[11][5] = 0.0f;
    child.totalDepthNext[9][5] = 0.0f;
    FeedBackWaterLevel(child, parent);
    EXPECT_FLOAT_EQ(parent.etaNext[5][3], 0.3f);
    EXPECT_FLOAT_EQ(parent.etaNext[6][3], 1005.0f);  // as the first feedback left it
    EXPECT_FLOAT_EQ(parent.etaNext[7][3], 0.3f);  // all nine wet

    // A child spanning fewer than two parent cells has no ring inside its border.
    GridLevel narrow = MakeChild(6, 12, 2, 1);
    parent.etaNext.Fill(-1.0f);
    narrow.eta.Fill(1.0f);
    narrow.etaNext.Fill(1.0f);
    FeedBackWaterLevel(narrow, parent);
    for (int32_t I = 0; I <= parent.nx + 2; ++I)
        for (int32_t J = 0; J <= parent.ny + 2; ++J) ASSERT_FLOAT_EQ(parent.etaNext[I][J], -1.0f) << I << "," << J;
}

TEST(Nesting, LayoutCheckAcceptsSnappedChildrenAndNamesEachMisfit) {
    const GridLevel parent = MakeParent();
    EXPECT_EQ(CheckNestedLayout(parent, SouthWestChild()), "");
    EXPECT_EQ(CheckNestedLayout(parent, NorthEastChild()), "");
    // Within tolerance: 0.5 % off the ratio, 0.08 cell off a node.
    GridLevel nearly = MakeLevel(19, 10, 2080.0, 1000.0, kChildCell * 1.005);
    EXPECT_EQ(CheckNestedLayout(parent, nearly), "");

    std::string message = CheckNestedLayout(parent, MakeLevel(19, 10, 2000.0, 1000.0, 350.0));
    EXPECT_TRUE(Contains(message, "in x is 0.3500")) << message;
    message = CheckNestedLayout(parent, MakeLevel(19, 10, 2000.0, 1000.0, kChildCell * 1.02));
    EXPECT_TRUE(Contains(message, "0.3400")) << message;
    GridLevel tall = SouthWestChild();
    tall.yMax = tall.yMin + 9 * 250.0;
    message = CheckNestedLayout(parent, tall);
    EXPECT_TRUE(Contains(message, "in y is 0.2500")) << message;

    message = CheckNestedLayout(parent, MakeChild(19, 10, 2.4, 1));
    EXPECT_TRUE(Contains(message, "first column lies 2.40") && Contains(message, "0.40 cells off")) << message;
    message = CheckNestedLayout(parent, MakeChild(19, 10, 2, 0.75));
    EXPECT_TRUE(Contains(message, "first row lies 0.75") && Contains(message, "0.25 cells off")) << message;

    // On the parent's first column the feedback would write parent column 0.
    message = CheckNestedLayout(parent, MakeChild(19, 10, 0, 1));
    EXPECT_TRUE(Contains(message, "west edge") && Contains(message, "column 0, 1 cell(s)")) << message;
    message = CheckNestedLayout(parent, MakeChild(19, 10, 2, 0));
    EXPECT_TRUE(Contains(message, "south edge") && Contains(message, "row 0, 1 cell(s)")) << message;
    message = CheckNestedLayout(parent, MakeChild(19, 10, -2, 1));
    EXPECT_TRUE(Contains(message, "west edge") && Contains(message, "2.00 parent cells west")) << message;
    message = CheckNestedLayout(parent, MakeChild(19, 10, 2, -1));
    EXPECT_TRUE(Contains(message, "south edge") && Contains(message, "1.00 parent cells south")) << message;

    // 19 columns from node 4: the child ends on parent column 11 of 10.
    message = CheckNestedLayout(parent, MakeChild(19, 10, 4, 1));
    EXPECT_TRUE(Contains(message, "east edge") && Contains(message, "column 11 of 10, 1 cell(s)")) << message;
    message = CheckNestedLayout(parent, MakeChild(7, 6, 6, 6));
    EXPECT_TRUE(Contains(message, "north edge") && Contains(message, "row 9 of 7, 2 cell(s)")) << message;

    message = CheckNestedLayout(parent, MakeChild(5, 10, 2, 1));
    EXPECT_TRUE(Contains(message, "5 x 10 nodes") && Contains(message, "at least 6 x 6")) << message;
    GridLevel point = MakeParent();
    point.xMax = point.xMin;
    message = CheckNestedLayout(point, SouthWestChild());
    EXPECT_TRUE(Contains(message, "no extent")) << message;
    // One line each.
    EXPECT_EQ(message.find('\n'), std::string::npos);
}

TEST(Nesting, AcceptedLayoutsTouchOnlyParentCells) {
    // Every layout the check accepts must keep all three operations inside parent columns
    // 1..nx and rows 1..ny: NaN in the parent's halo would reach the child, and a write into the
    // halo would replace a NaN.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    int32_t accepted = 0, refused = 0;
    for (int32_t nx = 6; nx <= 13; ++nx)
        for (int32_t ny = 6; ny <= 10; ++ny)
            for (int32_t column = 0; column <= 9; ++column)
                for (int32_t row = 0; row <= 6; ++row) {
                    GridLevel parent = MakeParent();
                    GridLevel child = MakeChild(nx, ny, column, row);
                    if (!CheckNestedLayout(parent, child).empty()) {
                        ++refused;
                        continue;
                    }
                    ++accepted;
                    for (Field* field : {&parent.eta, &parent.etaNext, &parent.fluxM, &parent.fluxMNext,
                                         &parent.fluxN, &parent.fluxNNext}) {
                        field->Fill(nan);
                        for (int32_t I = 1; I <= parent.nx; ++I)
                            for (int32_t J = 1; J <= parent.ny; ++J) (*field)[I][J] = 0.5f;
                    }
                    child.eta.Fill(0.1f);
                    child.etaNext.Fill(0.1f);
                    child.totalDepthNext.Fill(1.0f);
                    AddParentStateToChild(parent, child);
                    NestBoundaryFluxes(parent, child);
                    FeedBackWaterLevel(child, parent);
                    for (const Field* field : {&child.eta, &child.etaNext, &child.fluxM, &child.fluxMNext,
                                               &child.fluxN, &child.fluxNNext})
                        for (int32_t i = 0; i <= nx + 2; ++i)
                            for (int32_t j = 0; j <= ny + 2; ++j)
                                ASSERT_TRUE(std::isfinite((*field)[i][j]))
                                    << nx << "x" << ny << " at " << column << "," << row << ": " << i << "," << j;
                    for (int32_t I = 0; I <= parent.nx + 2; ++I)
                        for (int32_t J = 0; J <= parent.ny + 2; ++J) {
                            const bool inside = I >= 1 && I <= parent.nx && J >= 1 && J <= parent.ny;
                            ASSERT_EQ(std::isfinite(parent.etaNext[I][J]), inside) << I << "," << J;
                        }
                }
    EXPECT_GT(accepted, 200);
    EXPECT_GT(refused, 200);

    // An unchecked layout reaching outside the parent's arrays is ignored, not followed.
    GridLevel parent = MakeParent();
    parent.etaNext.Fill(-1.0f);
    GridLevel outside = MakeChild(40, 40, 8, 5);
    outside.eta.Fill(1.0f);
    outside.etaNext.Fill(1.0f);
    outside.fluxM.Fill(2.0f);
    FeedBackWaterLevel(outside, parent);
    NestBoundaryFluxes(parent, outside);
    AddParentFieldsToChild(parent, outside, parent.etaNext.view(), outside.eta.view());
    for (int32_t I = 0; I <= parent.nx + 2; ++I)
        for (int32_t J = 0; J <= parent.ny + 2; ++J) ASSERT_FLOAT_EQ(parent.etaNext[I][J], -1.0f) << I << "," << J;
    for (int32_t i = 0; i <= outside.nx + 2; ++i)
        for (int32_t j = 0; j <= outside.ny + 2; ++j) {
            ASSERT_FLOAT_EQ(outside.fluxM[i][j], 2.0f) << i << "," << j;
            ASSERT_FLOAT_EQ(outside.eta[i][j], 1.0f) << i << "," << j;
        }
}
