// A coast across a child's edge: the child's highest level follows the parent's there, without spikes.
#include "Nesting.h"
#include "PhysicsRuns.h"

namespace {

constexpr int kFirst = 20;              // parent node (0-based) of the child's first column and row
constexpr int kChildN = 3 * 30 + 1;     // child nodes each way: the child spans 30 parent cells

// Offshore distance of parent position (column, row), parent cells, with land on side `land`.
double Offshore(char land, double column, double row) {
    const double coast = kFirst + 15.37;  // through the child's middle, off the nodes of both levels
    return land == 'W' ? column - coast : land == 'E' ? coast - column : land == 'S' ? row - coast : coast - row;
}
double ParentNode(int childNode) { return kFirst + 1 + (childNode - 1) / 3.0; }

// Sea 40 m deep, a 1:20 beach to land 10 m high across two opposite child edges; 20 minutes of a wave
// from a hump at parent node (hc, hr) off the child's corner. Returns the parent and the child.
std::pair<GridLevel, GridLevel> RunCoast(bool spherical, char land, double hc, double hr, int threads,
                                         const ScratchFolder& dir) {
    // Cartesian: 300 m cells; spherical: 0.003 degrees near 10 degrees north (about 330 m).
    const double unit = spherical ? 0.003 : 300.0, metres = spherical ? 0.003 * kMetresPerDegree : 300.0;
    const double x0 = spherical ? 140.0 : 0.0, y0 = spherical ? 10.0 : 0.0;
    const GridSpec parent{70, 70, x0, x0 + 69 * unit, y0, y0 + 69 * unit};
    const double cx = parent.X(kFirst + 1), cy = parent.Y(kFirst + 1), span = (kChildN - 1) * (unit / 3.0);
    auto depth = [&](double x, double y) {
        const double u = Offshore(land, (x - x0) / unit, (y - y0) / unit) * metres;
        return u > 0 ? std::min(u / 5.0, 40.0) : std::max(u / 100.0, -20.0);
    };
    const std::string tag = std::string(1, land) + std::to_string(threads);
    SteppedRun run;
    run.AddLevel(dir, tag + "p", spherical ? 2 : 0, 300.0, parent, depth);
    run.AddLevel(dir, tag + "c", spherical ? 2 : 0, 100.0, GridSpec{kChildN, kChildN, cx, cx + span, cy, cy + span},
                 depth);
    run.AddSource(dir, tag, parent, [&](double x, double y) {
        const double dc = (x - x0) / unit - hc, dr = (y - y0) / unit - hr;
        return 4.0 * std::exp(-0.5 * (dc * dc + dr * dr) / 16.0);
    });
    run.parameters.timeStep = 3.0f;
    run.parameters.threadCount = threads;
    EXPECT_EQ(run.Init(), InitResult::kSuccess);
    while (run.index < 400) run.Step();
    return {std::move(run.Level(0)), std::move(run.Level(1))};
}

// The parent's highest level at child node (i, j), bilinear over parent nodes deeper than 10 m.
double ParentMax(const GridLevel& parent, int i, int j) {
    const int I = static_cast<int>(ParentNode(i)), J = static_cast<int>(ParentNode(j));
    const double a = ParentNode(i) - I, b = ParentNode(j) - J;
    double sum = 0, weight = 0;
    for (int di = 0; di <= 1; ++di)
        for (int dj = 0; dj <= 1; ++dj) {
            const double w = (di ? a : 1 - a) * (dj ? b : 1 - b);
            if (w <= 0 || parent.depth(I + di, J + dj) <= 10.0f) continue;
            sum += w * parent.etaMax(I + di, J + dj);
            weight += w;
        }
    return weight > 0 ? sum / weight : std::nan("");
}

// Mean highest level of the sea cells (10 m deep or more) among the eight neighbours of (i, j).
double NeighbourMean(const GridLevel& l, int i, int j) {
    double sum = 0;
    int n = 0;
    for (int ni = std::max(i - 1, 1); ni <= std::min(i + 1, l.nx); ++ni)
        for (int nj = std::max(j - 1, 1); nj <= std::min(j + 1, l.ny); ++nj)
            if ((ni != i || nj != j) && l.depth(ni, nj) >= 10.0f) {
                sum += l.etaMax(ni, nj);
                ++n;
            }
    return n > 0 ? sum / n : std::nan("");
}

}  // namespace

// Land on each side of the child in turn, both coordinate systems; the last case also with two threads.
TEST(NestedEdges, CoastAcrossEachEdgeFollowsTheParentWithoutSpikes) {
    const std::tuple<bool, char, double, double> cases[] = {
        {false, 'W', 60, 12}, {true, 'E', 9, 57}, {false, 'S', 57, 60}, {true, 'N', 12, 9}};
    ScratchFolder dir;
    for (const auto& [spherical, land, hc, hr] : cases) {
        auto [parent, child] = RunCoast(spherical, land, hc, hr, 1, dir);
        SmoothChildRingExtremes(parent, child);  // as the end of a run does
        const std::string name = std::string(spherical ? "spherical" : "cartesian") + ", land " + land;
        double overall = 0;
        for (int i = 1; i <= kChildN; ++i)
            for (int j = 1; j <= kChildN; ++j) overall = std::max<double>(overall, child.etaMax(i, j));
        ASSERT_GT(overall, 0.5) << name;
        // Within six cells of each crossed edge, water eight parent cells off the coast follows the parent
        // (nearer, the finer grid differs by up to 10 %, mid-child too); no sea cell stands out.
        const bool acrossNorthSouth = land == 'W' || land == 'E';
        for (const char e : {acrossNorthSouth ? 'S' : 'W', acrossNorthSouth ? 'N' : 'E'}) {
            double follow = 0, spike = 0, step = 0, ripple = 0;
            for (int k = 1; k <= kChildN; ++k)
                for (int d = 0; d < 6; ++d) {
                    const int i = e == 'W' ? 1 + d : e == 'E' ? kChildN - d : k;
                    const int j = e == 'S' ? 1 + d : e == 'N' ? kChildN - d : k;
                    if (child.depth(i, j) < 10.0f) continue;
                    const double parentMax = ParentMax(parent, i, j), around = NeighbourMean(child, i, j);
                    if (Offshore(land, ParentNode(i), ParentNode(j)) >= 8.0 && parentMax > 0.2 * overall)
                        follow = std::max(follow, std::fabs(child.etaMax(i, j) / parentMax - 1.0));
                    if (around > 0.2 * overall) spike = std::max(spike, std::fabs(child.etaMax(i, j) / around - 1.0));
                }
            // The two outer rings in open water: within a few percent of the first computed row, and no
            // ripple with the parent's node spacing along the edge (second difference of ring less row 3).
            auto ring = [&](int k, int d) -> double {
                return child.etaMax(e == 'W' ? 1 + d : e == 'E' ? kChildN - d : k, e == 'S' ? 1 + d : e == 'N' ? kChildN - d : k);
            };
            for (int k = 4; k <= kChildN - 3; ++k)
                for (int d = 0; d < 2; ++d)
                    if (Offshore(land, ParentNode(e == 'W' || e == 'E' ? 1 : k), ParentNode(e == 'W' || e == 'E' ? k : 1)) >= 9.0 && ring(k, 2) > 0.2 * overall) {
                        step = std::max(step, std::fabs(ring(k, d) / ring(k, 2) - 1.0));
                        auto rim = [&](int n) { return ring(n, d) - ring(n, 2); };
                        ripple = std::max(ripple, std::fabs(2 * rim(k) - rim(k - 1) - rim(k + 1)) / ring(k, 2));
                    }
            std::printf("%s, edge %c: highest level %.3f m; departure from the parent %.2f %%, from the neighbours "
                        "%.2f %%; rings from row 3 %.2f %%, ripple %.2f %%\n", name.c_str(), e, overall, 100 * follow, 100 * spike, 100 * step, 100 * ripple);
            EXPECT_TRUE(follow < 0.04 && spike < 0.05 && step < 0.035 && ripple < 0.015) << name << ", edge " << e;
        }
        // Every extreme field of the three outer rings is filled wherever the wave reached open water.
        for (int i = 1; i <= kChildN; ++i)
            for (int j = 1; j <= kChildN; ++j) {
                if (std::min({i, j, kChildN + 1 - i, kChildN + 1 - j}) > 3 || child.depth(i, j) < 10.0f ||
                    !(ParentMax(parent, i, j) > 0.1))
                    continue;
                for (const Field* f : {&child.etaMax, &child.timeOfMaxWave, &child.firstWaveArrival,
                                       &child.maxFlowDepth, &child.maxCurrent, &child.timeOfMaxCurrent,
                                       &child.flowDepthAtMaxCurrent, &child.maxFroudeSquared, &child.maxFroude,
                                       &child.maxDragForce, &child.maxDischargeFlux, &child.maxMomentumFlux})
                    ASSERT_GT((*f)(i, j), 0.0f) << name << ": an extreme field is empty at " << i << "," << j;
                ASSERT_LT(child.etaMin(i, j), 0.0f) << name << " at " << i << "," << j;
            }
        if (land != 'N') continue;
        auto [parentTwo, two] = RunCoast(spherical, land, hc, hr, 2, dir);
        SmoothChildRingExtremes(parentTwo, two);
        for (auto field : {&GridLevel::eta, &GridLevel::etaMax, &GridLevel::maxCurrent})
            EXPECT_TRUE(SameBits(child.*field, two.*field)) << "two threads";
    }
}


// A laboratory beach (1:20, 2 cm wave, cells of 3 cm and 1 cm) whose run-up floods a child's south and
// north rings and drains back as a film of millimetres. The film on the rings, whose level the parent
// sets, may carry no more than it holds: otherwise its flux ran away within a few sub-steps (the level
// blew up 3.3 s in). The child's fluxes stay within the parent's over the same cells, the volume
// account closes, and the nested system (the parent outside the child's computed cells, the child
// inside) keeps its water: before the border kept a volume account, the child's land faces drew
// 8.5e-3 of the wave's volume from its rings (3e-3 once flooded land took the parent's flux).
TEST(NestedEdges, DrainingFilmOnTheRingsStaysBounded) {
    constexpr double dx = 0.03;
    auto run = [](int threads, const ScratchFolder& dir) {
        auto depth = [](double x, double) { return 0.05 * (1.2 - x); };  // the shore at x = 1.2 m
        auto r = std::make_unique<SteppedRun>();
        const std::string tag = std::to_string(threads);
        const GridSpec parent{60, 30, 0.0, 59 * dx, 0.0, 29 * dx};
        r->AddLevel(dir, tag + "p", 0, dx, parent, depth);
        // 15 x 6 parent cells from parent node (36, 8): the shore crosses the south and north edges.
        r->AddLevel(dir, tag + "c", 0, dx / 3, GridSpec{46, 19, 36 * dx, 51 * dx, 8 * dx, 14 * dx}, depth);
        r->AddSource(dir, tag + "s", parent,
                     [](double x, double) { return 0.02 * std::exp(-std::pow((x - 0.5) / 0.2, 2)); });
        r->parameters.timeStep = 0.01f;
        r->parameters.manningCoefficient = 0.0025f;
        r->parameters.flowDepthLimit = 1e-5f;
        r->parameters.threadCount = threads;
        r->smallFluxCut = 1e-7f;
        EXPECT_EQ(r->Init(), InitResult::kSuccess);
        return r;
    };
    // Largest |M|, |N| over columns i0..i1 and rows j0..j1.
    auto largestFlux = [](const GridLevel& l, int i0, int i1, int j0, int j1) {
        double m = 0;
        for (int i = i0; i <= i1; ++i)
            for (int j = j0; j <= j1; ++j)
                m = std::max({m, std::fabs(l.fluxM(i, j) + 0.0), std::fabs(l.fluxN(i, j) + 0.0)});
        return m;
    };
    // Water above the still level of columns i0..i1, rows j0..j1 of cells of `area` (per metre of width: m^3).
    auto water = [](const GridLevel& l, int i0, int i1, int j0, int j1, double area) {
        double v = 0;
        for (int i = i0; i <= i1; ++i)
            for (int j = j0; j <= j1; ++j) {
                const double h = l.depth(i, j);
                v += std::max(h + l.eta(i, j), 0.0) - std::max(h, 0.0);
            }
        return v * area;
    };
    // The child's computed cells 3..44, 3..17 cover parent cells 38..51, 10..14.
    auto system = [&](SteppedRun& r) {
        return water(r.Level(0), 1, 60, 1, 30, dx * dx) - water(r.Level(0), 38, 51, 10, 14, dx * dx) +
               water(r.Level(1), 3, 44, 3, 17, dx * dx / 9);
    };
    ScratchFolder dir;
    auto one = run(1, dir), two = run(2, dir);
    double parentFlux = 0, childFlux = 0, start = 0, leftAtStart = 0;
    for (int s = 0; s < 800 && !one->sim->GetRunDiagnostics().unstable; ++s) {
        one->Step();
        two->Step();
        if (s == 0) {
            start = system(*one);
            leftAtStart = one->sim->GetRunDiagnostics().volumeBudgets[0].edgeOutflow;
        }
        parentFlux = std::max(parentFlux, largestFlux(one->Level(0), 37, 52, 9, 15));  // over the child
        childFlux = std::max(childFlux, largestFlux(one->Level(1), 1, 46, 1, 19));
    }
    one->sim->Finish();
    const RunDiagnostics d = one->sim->GetRunDiagnostics();
    ASSERT_FALSE(d.unstable) << d.failureMessage;
    std::printf("largest flux: parent %.5f, child %.5f m2/s\n", parentFlux, childFlux);
    EXPECT_LT(childFlux, 1.2 * parentFlux);
    const GridLevel& child = one->Level(1);
    for (const int j : {2, 18})  // the run-up flooded the rings' land (8.5 mm high) by a millimetre or more
        EXPECT_GT(child.etaMax(30, j) + child.depth(30, j), 0.001f) << j;
    for (const LevelVolumeBudget& b : d.volumeBudgets)
        EXPECT_LE(std::fabs(b.Imbalance()), 1e-6 * d.volumeBudgets[0].sourceVolume);
    const double kept = system(*one) - (start - (d.volumeBudgets[0].edgeOutflow - leftAtStart));
    std::printf("nested system: %.3g of the wave's volume gained\n", kept / d.volumeBudgets[0].sourceVolume);
    EXPECT_LE(std::fabs(kept), 1e-6 * d.volumeBudgets[0].sourceVolume);
    for (auto field : {&GridLevel::eta, &GridLevel::fluxM, &GridLevel::fluxN})
        EXPECT_TRUE(SameBits(child.*field, two->Level(1).*field)) << "two threads";
}
