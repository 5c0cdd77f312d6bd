// Nesting exchange between a parent of 10 x 7 nodes 1 km apart and children three times finer.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "KernelFixture.h"
#include "Nesting.h"

namespace {

using namespace fixture;

constexpr double kParentCell = 1000.0, kChildCell = kParentCell / 3.0;

GridLevel MakeLevel(int nx, int ny, double xMin, double yMin, double cell) {
    GridLevel level = CartesianLevel(nx, ny);
    level.xMin = xMin;
    level.yMin = yMin;
    level.xMax = xMin + (nx - 1) * cell;
    level.yMax = yMin + (ny - 1) * cell;
    SetDepth(level, [](int, int) { return 100.0; });
    return level;
}
GridLevel Parent() { return MakeLevel(10, 7, 0.0, 0.0, kParentCell); }
// A child whose first node lies on parent node (column, row), counted from 0.
GridLevel Child(int nx, int ny, double column, double row) {
    return MakeLevel(nx, ny, column * kParentCell, row * kParentCell, kChildCell);
}

void Code(const GridLevel& level, Field& field, const std::function<double(int, int)>& value) {
    ForEachCell(level, [&](int i, int j) { field[i][j] = static_cast<float>(value(i, j)); });
}
std::vector<Field*> State(GridLevel& l) {
    return {&l.eta, &l.etaNext, &l.fluxM, &l.fluxMNext, &l.fluxN, &l.fluxNNext};
}

TEST(Nesting, LinearParentFieldsReachTheChildUnchanged) {
    // P + k on the k-th state field is added to every child node (the last child 0.05 cells off its node).
    auto plane = [](double x, double y) { return 3.0 + 0.5 * x + 0.25 * y; };  // x, y in parent cells
    for (const auto& at : {std::vector{19.0, 10.0, 2.0, 1.0}, {7.0, 6.0, 6.0, 4.0}, {8.0, 11.0, 0.95, 1.04}}) {
        const int nx = static_cast<int>(at[0]), ny = static_cast<int>(at[1]);
        GridLevel parent = Parent(), child = Child(nx, ny, at[2], at[3]), rim = Child(nx, ny, at[2], at[3]);
        ASSERT_EQ(CheckNestedLayout(parent, child), "");
        const std::vector<Field*> from = State(parent), to = State(child);
        for (std::size_t k = 0; k < from.size(); ++k) {
            Code(parent, *from[k], [&](int I, int J) { return plane(I - 1, J - 1) + k; });
            to[k]->Fill(0.5f);
            State(rim)[k]->Fill(0.5f);
        }
        AddParentStateToChild(parent, child);
        SetChildBoundaryWaterLevel(parent, rim);
        ForEachCell(child, [&](int i, int j) {
            const bool in = Interior(child, i, j), onRim = in && (i <= 2 || i >= nx - 1 || j <= 2 || j >= ny - 1);
            const double p = plane(std::round(at[2]) + (i - 1) / 3.0, std::round(at[3]) + (j - 1) / 3.0);
            for (std::size_t k = 0; k < to.size(); ++k)
                ASSERT_NEAR((*to[k])[i][j], 0.5 + (in ? p + k : 0.0), 1e-5 * p) << k << ": " << i << "," << j;
            ASSERT_NEAR(rim.eta[i][j], onRim ? p : 0.5, 1e-5 * p) << i << "," << j;
            ASSERT_NEAR(rim.totalDepthNext[i][j], onRim ? 100 + p : in ? 100 : 0, 1e-4) << i << "," << j;
        });
    }
}

TEST(Nesting, ParentLandIsLeftOutOfTheRimAndTheBoundaryFluxes) {
    // Parent cell (4, 2) is land, its level its ground and its face closed; child cell (7, 1) is land.
    GridLevel parent = Parent(), child = Child(19, 10, 2, 1);  // corner (3, 2)
    parent.eta.Fill(0.5f);
    parent.fluxN.Fill(1.0f);
    SetCells({{parent.eta, 4, 2, 7}, {parent.totalDepth, 4, 2, 0}, {parent.depth, 4, 2, -1},
              {parent.fluxN, 4, 2, 0}, {parent.fluxN, 5, 2, 4}, {child.depth, 7, 1, -2}});
    SetChildBoundaryWaterLevel(parent, child);
    NestBoundaryFluxes(parent, child);
    ExpectCells({{child.eta, 2, 1, 0.5}, {child.eta, 4, 1, -100}, {child.totalDepth, 4, 1, 0}, {child.eta, 5, 1, 0.5},
                 {child.eta, 7, 1, 2}, {child.totalDepthNext, 7, 1, 0}, {child.totalDepthNext, 8, 1, 100.5},
                 // the three child faces on a parent face carry three times its flux; at a closed face
                 // (0, a local minimum) and at the 4 beside it (a local maximum) the slope is limited to 0
                 {child.fluxN, 3, 2, 0}, {child.fluxN, 4, 2, 0}, {child.fluxN, 5, 2, 0}, {child.fluxN, 6, 2, 4},
                 {child.fluxN, 8, 2, 4}});
}

TEST(Nesting, BoundaryFluxesTakeTheParentFluxAtEachChildFace) {
    // Child 19 x 10 from corner (3, 2): east face 5.5 parent cells east (on parent face 3 + 5), north 2.5
    // (2 + 2); child 7 x 6 from (7, 5): east 1.5 (7 + 1), north 1.17 (5 + 1).
    struct {
        GridLevel child;
        int I0, J0, IE, JN;
    } cases[] = {{Child(19, 10, 2, 1), 3, 2, 8, 4}, {Child(7, 6, 6, 4), 7, 5, 8, 6}};
    for (auto& [child, I0, J0, IE, JN] : cases) {
        GridLevel parent = Parent();
        Code(parent, parent.fluxM, [](int I, int J) { return 100 * I + J; });
        Code(parent, parent.fluxN, [](int I, int J) { return 5000 + 100 * I + J; });
        Code(child, child.fluxM, [](int i, int j) { return -(100 * i + j); });
        Code(child, child.fluxN, [](int i, int j) { return -(100 * i + j) - 0.5; });
        const int nx = child.nx, ny = child.ny;
        // A boundary face beside a dry land cell on either side keeps its flux; flooded land (5, ny - 2)
        // takes the parent's.
        for (auto [i, j] : {std::pair{4, 2}, {2, 3}, {nx - 2, 1}, {3, ny - 2}}) {
            child.depth[i][j] = i == 3 ? -2.0f : 0.0f;
            child.totalDepth[i][j] = 0.0f;
        }
        child.depth[5][ny - 2] = -1.0f;
        NestBoundaryFluxes(parent, child);
        auto sea = [&](int i, int j) { return child.depth[i][j] > 0.0f || child.totalDepth[i][j] > 0.0f; };
        ForEachCell(child, [&](int i, int j) {
            const bool row = (j == 2 || j == ny - 2) && i >= 1 && i <= nx - 1 && sea(i, j) && sea(i, j + 1);
            const bool column = (i == 2 || i == nx - 2) && j >= 1 && j <= ny - 2 && sea(i, j) && sea(i + 1, j);
            const double n = row ? 5000 + 100 * (I0 + (i - 1) / 3.0) + (j == 2 ? J0 : JN) : -(100 * i + j) - 0.5;
            const double m = column ? 100 * (i == 2 ? I0 : IE) + J0 + (j - 1) / 3.0 : -(100 * i + j);
            ASSERT_NEAR(child.fluxN[i][j], n, 2e-3) << i << "," << j << " of " << nx;
            ASSERT_NEAR(child.fluxM[i][j], m, 2e-3) << i << "," << j << " of " << nx;
        });
    }
}

TEST(Nesting, FeedbackWritesBlockMeansOnEveryCellInsideTheChildBorder) {
    // Child node (3m + 1, 3n + 1) lies on parent (3 + m, 2 + n); the cells inside its border are I = 4..8,
    // J = 3..4, and a 3 x 3 block's mean level 100 * (centre column) + (centre row) + 1.
    GridLevel parent = Parent(), child = Child(19, 10, 2, 1);
    Code(child, child.eta, [](int i, int j) { return 100 * i + j; });
    Code(child, child.etaNext, [](int i, int j) { return 100 * i + j + 2; });
    parent.etaNext.Fill(-1.0f);
    FeedBackWaterLevel(child, parent);
    ForEachCell(parent, [&](int I, int J) {
        const bool ring = I >= 4 && I <= 8 && J >= 3 && J <= 4;
        const double level = ring ? 100 * (3 * (I - 3) + 1) + 3 * (J - 2) + 2 : -1;
        ASSERT_FLOAT_EQ(parent.etaNext[I][J], level) << I << "," << J;
        ASSERT_FLOAT_EQ(parent.totalDepthNext[I][J], ring ? level + 100 : Interior(parent, I, J) ? 100 : 0);
    });
    // Block of (5, 3), child columns 6-8, rows 3-5: 6 wet cells of mean 0.3; that of (6, 3): 5, too few.
    child.eta.Fill(0.2f);
    child.etaNext.Fill(0.4f);
    Field& dry = child.totalDepthNext;  // a dry cell's level (50) is ignored
    SetCells({{dry, 6, 3, 0}, {dry, 7, 4, 0}, {dry, 8, 5, 0}, {child.eta, 6, 3, 50}, {dry, 9, 3, 0}, {dry, 10, 4, 0},
              {dry, 11, 5, 0}, {dry, 9, 5, 0}});
    FeedBackWaterLevel(child, parent);
    ExpectCells({{parent.etaNext, 5, 3, 0.3}, {parent.etaNext, 6, 3, 1005}, {parent.etaNext, 7, 3, 0.3}});
}

TEST(Nesting, LayoutCheckAcceptsSnappedChildrenAndNamesEachMisfit) {
    GridLevel parent = Parent(), flat = Parent();
    flat.xMax = flat.xMin;
    EXPECT_NE(CheckNestedLayout(flat, Child(19, 10, 2, 1)).find("no extent to nest in"), std::string::npos);
    EXPECT_EQ(CheckNestedLayout(parent, MakeLevel(19, 10, 2080.0, 1000.0, kChildCell * 1.005)), "");  // near enough
    const std::pair<GridLevel, std::string> cases[] = {
        {Child(5, 10, 2, 1), "has 5 x 10 nodes; it needs at least 6 x 6"},
        {MakeLevel(19, 10, 2000.0, 1000.0, 0.0), "it has no extent"},
        {MakeLevel(19, 10, 2000.0, 1000.0, 350.0), "cell size in x is 0.3500"},
        {Child(19, 10, -2, 1), "west edge: the nested grid starts 2.00 parent cells west"},
        {Child(19, 10, 2.4, 1), "first column lies 2.40 parent cells from its parent's first column, 0.40 cells off"},
        {Child(19, 10, 0, 1), "west edge: the nesting needs parent column 0, 1 cell(s)"},
        {Child(19, 10, 2, 0), "south edge: the nesting needs parent row 0, 1 cell(s)"},
        {Child(19, 10, 4, 1), "east edge: the nesting needs parent column 11 of 10, 1 cell(s)"},
        {Child(7, 6, 6, 6), "north edge: the nesting needs parent row 9 of 7, 2 cell(s)"},
    };
    for (const auto& [child, part] : cases) {
        const std::string message = CheckNestedLayout(parent, child);
        EXPECT_TRUE(message.find(part) != std::string::npos && message.find('\n') == std::string::npos) << message;
    }
}

TEST(Nesting, AcceptedLayoutsTouchOnlyParentCells) {
    // NaN in the parent's (wet) halo would reach the child, and a write into it would replace a NaN.
    int accepted = 0;
    for (int n = 0; n < 8 * 5 * 10 * 7; ++n) {
        const int nx = 6 + n % 8, ny = 6 + n / 8 % 5, column = n / 40 % 10, row = n / 400;
        GridLevel parent = Parent(), child = Child(nx, ny, column, row);
        if (!CheckNestedLayout(parent, child).empty()) continue;
        ++accepted;
        for (Field* f : State(parent)) Code(parent, *f, [&](int I, int J) { return Interior(parent, I, J) ? 1 : NAN; });
        parent.totalDepth.Fill(100.0f);
        NestBoundaryFluxes(parent, child);
        SetChildBoundaryWaterLevel(parent, child);
        AddParentStateToChild(parent, child);
        FeedBackWaterLevel(child, parent);
        for (Field* f : State(child))
            ForEachCell(child, [&](int i, int j) { ASSERT_TRUE(std::isfinite((*f)[i][j])) << n << ": " << i << j; });
        ForEachCell(parent, [&](int I, int J) {
            ASSERT_EQ(std::isfinite(parent.etaNext[I][J]), Interior(parent, I, J)) << n << ": " << I << J;
        });
    }
    EXPECT_GT(accepted, 200);
}

}  // namespace
