// The edges of a nested level: where a coast crosses a child's edge, the child's highest water
// level along that edge follows its parent's and no cell beside the edge spikes; the child's
// outermost rows and columns record, in every extreme field, what those cells hold over the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "InitResult.h"
#include "ScenarioFiles.h"
#include "ZellSimulatorVestra.h"

namespace {

// A coast crossing a nested level: a sea 40 m deep, a beach of slope 1:20 rising to land 10 m
// high, the coastline through the middle of the child so that it crosses two opposite edges of
// it. A hump of 1.5 m in the parent's open sea, away from the child, sends a wave that enters the
// child, runs along the edges that the coast crosses, climbs the beach and reflects.
struct CoastCase {
    const char* name;
    bool spherical;
    char land;  // side of the child where the land lies: 'W', 'E', 'S' or 'N'
};

constexpr int kParentNx = 70, kParentNy = 70;
constexpr int kChildFirst = 20;                 // parent node (0-based) of the child's first column and row
constexpr int kChildSpan = 30;                  // parent cells the child spans each way
constexpr int kChildN = 3 * kChildSpan + 1;     // 91 child nodes each way

struct CaseResult {
    GridLevel parent, child;
    std::vector<float> held;  // highest level each wet child cell held at the end of a step, row by row
};

// Offshore distance (m) of point (x, y), in node units of the parent, for the case's land side:
// negative on land.
double Offshore(const CoastCase& c, double column, double row, double cellMetres) {
    const double coast = kChildFirst + kChildSpan / 2.0 + 0.37;  // off the nodes of both levels
    double u = 0;
    switch (c.land) {
        case 'W': u = column - coast; break;
        case 'E': u = coast - column; break;
        case 'S': u = row - coast; break;
        default: u = coast - row; break;
    }
    return u * cellMetres;
}

CaseResult RunCoast(const CoastCase& c, int threads, const ScratchFolder& dir) {
    // Cartesian: 300 m cells; spherical: 0.003 degrees near 10 degrees north (about 330 m).
    const double unit = c.spherical ? 0.003 : 300.0;
    const double cellMetres = c.spherical ? 0.003 * 6371008.0 * M_PI / 180.0 : 300.0;
    const double x0 = c.spherical ? 140.0 : 0.0, y0 = c.spherical ? 10.0 : 0.0;
    const GridSpec parent{kParentNx, kParentNy, x0, x0 + (kParentNx - 1) * unit, y0, y0 + (kParentNy - 1) * unit};
    const double childUnit = unit / 3.0;
    const double cx = parent.X(kChildFirst + 1), cy = parent.Y(kChildFirst + 1);
    const GridSpec child{kChildN, kChildN, cx, cx + (kChildN - 1) * childUnit, cy, cy + (kChildN - 1) * childUnit};

    auto depthAt = [&](double x, double y) {
        const double u = Offshore(c, (x - x0) / unit, (y - y0) / unit, cellMetres);
        return u > 0 ? std::min(u / 5.0, 40.0) : std::max(u / 100.0, -20.0);
    };
    // The hump sits in open water on the sea side, off the child's corner, so that its wave
    // meets the child's edges obliquely.
    double hx = 0, hy = 0;
    switch (c.land) {
        case 'W': hx = 60, hy = 12; break;
        case 'E': hx = 9, hy = 57; break;
        case 'S': hx = 57, hy = 60; break;
        default: hx = 12, hy = 9; break;
    }
    auto hump = [&](double x, double y) {
        const double dc = (x - x0) / unit - hx, dr = (y - y0) / unit - hy;
        return 4.0 * std::exp(-0.5 * (dc * dc + dr * dr) / 16.0);
    };
    const std::string tag = std::string(c.name) + std::to_string(threads);
    WriteSurferGrid(dir / (tag + "p.grd"), parent, depthAt);
    WriteSurferGrid(dir / (tag + "c.grd"), child, depthAt);
    WriteSurferGrid(dir / (tag + "h.grd"), parent, hump);

    std::vector<HostGridRecord> grids;
    const int type = c.spherical ? 2 : 0;
    grids.push_back(HostGridRecord{type, false, 0.0f, 300.0, dir / (tag + "p.grd"), dir.Folder(tag + "p"), ""});
    grids.push_back(HostGridRecord{type, false, 0.0f, 100.0, dir / (tag + "c.grd"), dir.Folder(tag + "c"), ""});
    std::vector<SourceEvent> events{SourceEvent{dir / (tag + "h.grd"), "", "", 0.0f}};
    SimulationParameters parameters;
    parameters.timeStep = 3.0f;
    parameters.snapshotInterval = 0.0f;
    parameters.threadCount = threads;

    CaseResult result;
    ZellSimulatorVestra sim(&grids, &events);
    sim.SetParameters(parameters);
    EXPECT_EQ(sim.Init(nullptr), InitResult::kSuccess) << c.name;
    result.held.assign(static_cast<std::size_t>(kChildN) * kChildN, 0.0f);
    const int steps = 400;  // 20 minutes: the wave crosses the child, climbs the beach and returns
    for (int i = 0; i < steps;) {
        int32_t advance = 0;
        sim.Step(i, &advance);
        i += advance;
        const GridLevel& l = sim.levels[1];
        for (int ci = 1; ci <= l.nx; ++ci)
            for (int cj = 1; cj <= l.ny; ++cj) {
                if (l.totalDepth(ci, cj) <= 0.0f) continue;
                float& held = result.held[static_cast<std::size_t>(cj - 1) * kChildN + ci - 1];
                held = std::max(held, l.eta(ci, cj));
            }
    }
    result.parent = std::move(sim.levels[0]);
    result.child = std::move(sim.levels[1]);
    return result;
}

// Bilinear interpolation of a parent field at child node (i, j), over parent nodes whose
// still-water depth exceeds minDepth; NaN where none does.
double ParentAt(const GridLevel& parent, const Field& field, int i, int j, double minDepth) {
    const double pc = kChildFirst + 1 + (i - 1) / 3.0, pr = kChildFirst + 1 + (j - 1) / 3.0;
    const int I = static_cast<int>(pc), J = static_cast<int>(pr);
    const double a = pc - I, b = pr - J;
    double sum = 0, weight = 0;
    for (int di = 0; di <= 1; ++di)
        for (int dj = 0; dj <= 1; ++dj) {
            const double w = (di ? a : 1 - a) * (dj ? b : 1 - b);
            if (w <= 0 || parent.depth(I + di, J + dj) <= minDepth) continue;
            sum += w * field(I + di, J + dj);
            weight += w;
        }
    return weight > 0 ? sum / weight : std::nan("");
}

// Child cells within `band` cells of edge e ('W', 'E', 'S', 'N'), as (i, j) pairs.
std::vector<std::pair<int, int>> EdgeBand(char e, int band) {
    std::vector<std::pair<int, int>> cells;
    for (int k = 1; k <= kChildN; ++k)
        for (int d = 0; d < band; ++d) {
            if (e == 'W') cells.emplace_back(1 + d, k);
            if (e == 'E') cells.emplace_back(kChildN - d, k);
            if (e == 'S') cells.emplace_back(k, 1 + d);
            if (e == 'N') cells.emplace_back(k, kChildN - d);
        }
    return cells;
}

// Mean of the field over the sea cells (depth >= minDepth) among the eight neighbours of (i, j).
double NeighbourMean(const GridLevel& l, const Field& field, int i, int j, float minDepth) {
    double sum = 0;
    int n = 0;
    for (int di = -1; di <= 1; ++di)
        for (int dj = -1; dj <= 1; ++dj) {
            const int ni = i + di, nj = j + dj;
            if ((di == 0 && dj == 0) || ni < 1 || nj < 1 || ni > l.nx || nj > l.ny || l.depth(ni, nj) < minDepth)
                continue;
            sum += field(ni, nj);
            ++n;
        }
    return n > 0 ? sum / n : std::nan("");
}

const CoastCase kCases[] = {
    {"cartesian, land west", false, 'W'},
    {"spherical, land east", true, 'E'},
    {"cartesian, land south", false, 'S'},
    {"spherical, land north", true, 'N'},
};

}  // namespace

TEST(NestedEdges, CoastAcrossEachEdgeFollowsTheParentWithoutSpikes) {
    ScratchFolder dir;
    for (const CoastCase& c : kCases) {
        const CaseResult r = RunCoast(c, 1, dir);
        const GridLevel& child = r.child;
        const double cellMetres = c.spherical ? 0.003 * 6371008.0 * M_PI / 180.0 : 300.0;
        double overall = 0;
        for (int i = 1; i <= kChildN; ++i)
            for (int j = 1; j <= kChildN; ++j) overall = std::max(overall, static_cast<double>(child.etaMax(i, j)));
        ASSERT_GT(overall, 0.5) << c.name;

        // The coast crosses two opposite edges. Within six cells of each: open water eight parent
        // cells or more off the coast follows the parent's highest level (nearer the coast the
        // finer grid resolves the reflected wave differently, by up to 10 % three parent cells
        // out and 3 % six out, at the edges and in the middle alike); no sea cell, the coast's
        // neighbours included, stands out from its neighbours.
        const bool acrossNorthSouth = c.land == 'W' || c.land == 'E';
        for (char e : {acrossNorthSouth ? 'S' : 'W', acrossNorthSouth ? 'N' : 'E'}) {
            double follow = 0, spike = 0;
            for (auto [i, j] : EdgeBand(e, 6)) {
                if (child.depth(i, j) < 10.0f) continue;
                const double offshore = Offshore(c, kChildFirst + 1 + (i - 1) / 3.0, kChildFirst + 1 + (j - 1) / 3.0,
                                                 cellMetres) / cellMetres;
                const double parentMax = ParentAt(r.parent, r.parent.etaMax, i, j, 10.0);
                if (offshore >= 8.0 && parentMax > 0.2 * overall)
                    follow = std::max(follow, std::fabs(child.etaMax(i, j) / parentMax - 1.0));
                const double around = NeighbourMean(child, child.etaMax, i, j, 10.0f);
                if (around > 0.2 * overall) spike = std::max(spike, std::fabs(child.etaMax(i, j) / around - 1.0));
            }
            std::printf("%s, edge %c: highest level %.3f m; departure from the parent %.2f %%, from the neighbours "
                        "%.2f %%\n",
                        c.name, e, overall, 100 * follow, 100 * spike);
            EXPECT_LT(follow, 0.04) << c.name << ", edge " << e;
            EXPECT_LT(spike, 0.05) << c.name << ", edge " << e;
        }

        // Every extreme field of the two outer rings and of the first inner ones is filled
        // wherever the wave reached open water, and the highest and lowest levels of the rings
        // are exactly the extremes of the levels those cells held.
        for (int i = 1; i <= kChildN; ++i)
            for (int j = 1; j <= kChildN; ++j) {
                const int fromEdge = std::min({i, j, kChildN + 1 - i, kChildN + 1 - j});
                if (fromEdge > 3 || child.depth(i, j) < 10.0f) continue;
                const double parentMax = ParentAt(r.parent, r.parent.etaMax, i, j, 10.0);
                if (!(parentMax > 0.1)) continue;
                for (const Field* f : {&child.etaMax, &child.timeOfMaxWave, &child.firstWaveArrival,
                                       &child.maxFlowDepth, &child.maxCurrent, &child.timeOfMaxCurrent,
                                       &child.flowDepthAtMaxCurrent, &child.maxFroudeSquared, &child.maxFroude,
                                       &child.maxDragForce, &child.maxDischargeFlux, &child.maxMomentumFlux})
                    ASSERT_GT((*f)(i, j), 0.0f) << c.name << ": an extreme field is empty at " << i << "," << j;
                ASSERT_LT(child.etaMin(i, j), 0.0f) << c.name << " at " << i << "," << j;
                if (fromEdge <= 2) {
                    ASSERT_EQ(child.etaMax(i, j), r.held[static_cast<std::size_t>(j - 1) * kChildN + i - 1])
                        << c.name << " at " << i << "," << j;
                }
            }
    }
}

TEST(NestedEdges, ResultsAreBitIdenticalWithOneAndTwoThreads) {
    ScratchFolder dir;
    const CaseResult one = RunCoast(kCases[3], 1, dir);
    const CaseResult two = RunCoast(kCases[3], 2, dir);
    for (auto field : {&GridLevel::eta, &GridLevel::etaMax, &GridLevel::maxCurrent}) {
        const Field& a = one.child.*field;
        const Field& b = two.child.*field;
        ASSERT_EQ(a.Size(), b.Size());
        EXPECT_EQ(std::memcmp(a.Data(), b.Data(), a.Size() * sizeof(float)), 0);
    }
}
