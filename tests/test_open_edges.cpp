// Level 0's outer edges against a reference run on a basin three times wider; outputs; the volume account.
#include "PhysicsRuns.h"
#include "Scenario.h"
#include "TimeHistory.h"

namespace {

constexpr double kDepth = 100.0, kAmplitude = 0.1;  // m; the hump is linear (1e-3 of the depth)
constexpr int kWidth = 40;                          // cells of the measured basin
const double kCosLatitude = std::cos(30.0 * M_PI / 180.0);

// A flat basin of n x n cells around (0, 0): 1 km cells, or arc-minutes around 30 N when spherical.
struct Basin {
    bool spherical = false;
    int n = kWidth;
    double Cell() const { return spherical ? kMetresPerDegree / 60.0 * kCosLatitude : 1000.0; }  // m
    GridSpec Grid() const {
        const double half = (n - 1) / 2.0 * (spherical ? 1.0 / 60.0 : 1000.0), y0 = spherical ? 30.0 : 0.0;
        return {n, n, -half, half, y0 - half, y0 + half};
    }
    // A exp(-(s / w)^2), s metres along `angle` from east, w six cells; `crest` > 0 tapers it to a beam that long (m).
    XyFunction Hump(double angle, double crest) const {
        return [*this, angle, crest](double x, double y) {
            const double e = spherical ? x * kMetresPerDegree * kCosLatitude : x;  // metres from the centre
            const double north = spherical ? (y - 30.0) * kMetresPerDegree : y;
            const double s = (e * std::cos(angle) + north * std::sin(angle)) / (6.0 * Cell());
            const double t = (north * std::cos(angle) - e * std::sin(angle)) / (crest / 2);
            return kAmplitude * std::exp(-s * s) * (crest > 0 ? std::exp(-std::pow(t, 8)) : 1.0);
        };
    }
    int32_t Start(SteppedRun& run, const ScratchFolder& dir, const std::string& tag, OpenEdgeKind kind,
                  double courant, const XyFunction& eta, int threads = 1) const {
        run.AddLevel(dir, tag, spherical ? 2 : 0, 1000.0, Grid(), [](double, double) { return kDepth; });
        run.AddSource(dir, tag, Grid(), eta);
        run.parameters.timeStep = static_cast<float>(courant * Cell() / std::sqrt(kGravity * kDepth));
        run.parameters.manningCoefficient = 0.0f;
        run.parameters.threadCount = threads;
        return run.Init(kind);
    }
};

const char* Name(bool spherical) { return spherical ? "spherical" : "Cartesian"; }
const char* const kKindNames[] = {"radiating", "absorbing", "wall"};  // by OpenEdgeKind
constexpr int kFrameCells[] = {0, 20, 3};                             // added around the user's grid

}  // namespace

// Largest departure from the reference over the inner half as a share of the outgoing wave (half the hump).
TEST(OpenEdges, AbsorbingLayerReflectsLittleAtAnyCourantNumberAndAngle) {
    for (const bool spherical : {false, true})
        for (const double degrees : {0.0, 30.0, 60.0})
            for (const double courant : {0.1, 0.3, 0.65}) {
                ScratchFolder dir("reflection");
                const Basin small{spherical, kWidth}, wide{spherical, 3 * kWidth};
                const double angle = degrees * M_PI / 180.0, crest = 0.7 * kWidth * small.Cell(), c = courant;
                SteppedRun absorbing, radiating, reference;  // the wide basin's cells are the same size
                ASSERT_EQ(small.Start(absorbing, dir, "a", OpenEdgeKind::Absorbing, c, small.Hump(angle, crest)), 0);
                ASSERT_EQ(small.Start(radiating, dir, "r", OpenEdgeKind::Radiating, c, small.Hump(angle, crest)), 0);
                ASSERT_EQ(wide.Start(reference, dir, "w", OpenEdgeKind::Radiating, c, wide.Hump(angle, crest)), 0);
                const int layer = absorbing.Level().UserWindow().offset;
                double a = 0.0, r = 0.0;
                for (int s = 0; s < static_cast<int>(1.2 * kWidth / courant); ++s) {  // before the wide edges' echo
                    absorbing.Step();
                    radiating.Step();
                    reference.Step();
                    for (int i = kWidth / 4 + 1; i <= 3 * kWidth / 4; ++i)
                        for (int j = kWidth / 4 + 1; j <= 3 * kWidth / 4; ++j) {
                            const double truth = reference.Level().eta[i + kWidth][j + kWidth];
                            a = std::max(a, std::fabs(absorbing.Level().eta[i + layer][j + layer] - truth) / 0.05);
                            r = std::max(r, std::fabs(radiating.Level().eta[i][j] - truth) / 0.05);
                        }
                }
                std::printf("%-9s Courant %.2f angle %2.0f: absorbing %.3f %%, radiating %.1f %%\n", Name(spherical),
                            courant, degrees, 100 * a, 100 * r);
                EXPECT_LE(a, degrees > 45 ? 0.03 : 0.01) << Name(spherical) << " Courant " << courant << " " << degrees;
            }
}

// A plane wave crossing the north and south edges keeps its height along them; two threads give the same bits.
TEST(OpenEdges, WaveAlongAnAbsorbingEdgeKeepsItsHeightWithAnyThreadCount) {
    for (const bool spherical : {false, true}) {
        ScratchFolder dir("along");
        const Basin small{spherical, kWidth}, wide{spherical, 3 * kWidth};
        SteppedRun absorbing, two, reference;
        ASSERT_EQ(small.Start(absorbing, dir, "a", OpenEdgeKind::Absorbing, 0.5, small.Hump(0, 0)), 0);
        ASSERT_EQ(small.Start(two, dir, "t", OpenEdgeKind::Absorbing, 0.5, small.Hump(0, 0), 2), 0);
        ASSERT_EQ(wide.Start(reference, dir, "w", OpenEdgeKind::Radiating, 0.5, wide.Hump(0, 0)), 0);
        const int layer = absorbing.Level().UserWindow().offset, i = 3 * kWidth / 4;
        double edge[2] = {0, 0}, truth[2] = {0, 0};  // highest level in the outermost rows, a quarter width east
        for (int s = 0; s < static_cast<int>(0.45 * kWidth / 0.5); ++s) {
            absorbing.Step();
            two.Step();
            reference.Step();
            for (const int j : {1, kWidth}) {
                edge[j > 1] = std::max<double>(edge[j > 1], absorbing.Level().eta[i + layer][j + layer]);
                truth[j > 1] = std::max<double>(truth[j > 1], reference.Level().eta[i + kWidth][j + kWidth]);
            }
        }
        for (int side = 0; side < 2; ++side) {
            std::printf("%s, %s edge: crest %.4f of the wide basin's\n", Name(spherical), side ? "north" : "south",
                        edge[side] / truth[side]);
            EXPECT_TRUE(truth[side] > 0.45 * kAmplitude && std::fabs(edge[side] / truth[side] - 1.0) <= 0.01);
        }
        for (Field GridLevel::*f : {&GridLevel::eta, &GridLevel::fluxM, &GridLevel::fluxN, &GridLevel::layerEtaX,
                                    &GridLevel::layerEtaY})
            EXPECT_TRUE(SameBits(absorbing.Level().*f, two.Level().*f)) << Name(spherical);
    }
}

// Stored change = source - outflow, to rounding; output grids and gauges on the user's grid only.
TEST(OpenEdges, VolumeBudgetClosesAndTheLayerIsCroppedFromOutputs) {
    for (const OpenEdgeKind kind : {OpenEdgeKind::Absorbing, OpenEdgeKind::Wall, OpenEdgeKind::Radiating})
        for (const bool spherical : {false, true}) {
            ScratchFolder dir("budget");
            const Basin basin{spherical, kWidth};
            const GridSpec g = basin.Grid();
            const XyFunction east = basin.Hump(0, 0), north = basin.Hump(M_PI / 2, 0);
            SteppedRun run;  // 2 exp(-(r / w)^2), w six cells: a volume of 2 pi w^2
            run.parameters.outputFormat = 0;  // Surfer text
            run.parameters.snapshotInterval = 300.0f;
            ASSERT_EQ(0, basin.Start(run, dir, "b", kind, 0.5,
                                     [&](double x, double y) { return 200 * east(x, y) * north(x, y); }));
            int32_t i = 0, j = 0, frame = kFrameCells[static_cast<int>(kind)];
            EXPECT_TRUE(NearestGaugeCell(run.Level(), g.xMin, g.yMin, i, j) && i == 1 + frame && j == 1 + frame);
            EXPECT_FALSE(NearestGaugeCell(run.Level(), g.xMax + 1.5 * g.Dx(), g.yMin, i, j));
            for (int s = 0; s < 2 * kWidth; ++s) run.Step();
            run.sim->Finish();
            const LevelVolumeBudget b = run.sim->GetRunDiagnostics().volumeBudgets.at(0);
            std::printf("%-9s %-9s source %.6g m3, stored change %.6g, outflow %.6g, imbalance %.3g\n",
                        kKindNames[static_cast<int>(kind)], Name(spherical), b.sourceVolume, b.storedChange,
                        b.edgeOutflow, b.Imbalance());
            EXPECT_NEAR(b.sourceVolume / (2.0 * M_PI * 36 * basin.Cell() * basin.Cell()), 1.0, 0.01);
            EXPECT_LE(std::fabs(b.Imbalance()), 1e-6 * b.sourceVolume);  // rounding leaves about 1e-8
            EXPECT_TRUE(kind != OpenEdgeKind::Absorbing || b.edgeOutflow > 0.8 * b.sourceVolume);
            EXPECT_TRUE(kind != OpenEdgeKind::Wall || b.edgeOutflow == 0.0);
            int frames = 0;
            for (const auto& entry : std::filesystem::directory_iterator(dir / "b")) {
                if (entry.path().extension() != ".grd") continue;
                const SurferGrid read = ReadSurferText(entry.path());
                EXPECT_TRUE(read.nx == g.nx && read.ny == g.ny && std::fabs(read.xMin - g.xMin) < 1e-6 &&
                            std::fabs(read.yMax - g.yMax) < 1e-6)
                    << entry.path();
                frames += entry.path().filename().string().find("t00") != std::string::npos;
            }
            EXPECT_EQ(frames, 2);  // after 5 and 10 minutes, the end
        }
}

// Per-side edges in a channel along x (walls north and south): a wave of one period enters through
// a band on column 1 with an absorbing layer behind it, runs to the east wall and back, and must
// leave through the west once the series has ended. Truth: the same band in a channel 80 cells
// longer to the west, whose west-going waves never return in the time measured.
TEST(OpenEdges, WallSideReflectsAndTheSeriesEdgeLetsTheReturnOut) {
    constexpr int n = 60, longer = 80, rows = 6, steps = 310;  // before the long channel's echo
    constexpr double dx = 100.0, depth = 10.0, amplitude = 0.05, period = 200.0;
    const double dt = 0.5 * dx / std::sqrt(kGravity * depth);
    ScratchFolder dir("sides");
    std::string series;  // one record per step: the level at its end
    for (int k = 0; (k + 1) * dt <= period; ++k)
        series += std::to_string((k + 1) * dt) + " " +
                  std::to_string(amplitude * std::sin(2 * M_PI * (k + 1) * dt / period)) + " 0 0\n";
    const std::string seriesFile = dir.Write("series.txt", series);
    const std::array<OpenEdgeKind, 4> sides{OpenEdgeKind::Absorbing, OpenEdgeKind::Wall, OpenEdgeKind::Wall,
                                            OpenEdgeKind::Wall};
    SteppedRun run, reference;
    auto start = [&](SteppedRun& r, const std::string& tag, int extra) {
        const GridSpec g{n + extra, rows, -extra * dx, (n - 1) * dx, 0.0, (rows - 1) * dx};
        r.AddLevel(dir, tag, 0, dx, g, [&](double, double) { return depth; });
        r.AddSource(dir, tag, g, [](double, double) { return 0.0; });
        r.parameters.timeStep = static_cast<float>(dt);
        r.parameters.manningCoefficient = 0.0f;
        r.parameters.timeSeriesEnabled = true;
        r.parameters.timeSeriesFile = seriesFile;
        r.parameters.seriesFirstIndex = r.parameters.seriesLastIndex = static_cast<uint32_t>(extra + 1);
        r.parameters.seriesMode = 1;
        return r.Init(OpenEdgeKind::Radiating, &sides);
    };
    ASSERT_EQ(start(run, "s", 0), 0);
    ASSERT_EQ(start(reference, "r", longer), 0);
    const int o = run.Level().UserWindow().offset, ro = reference.Level().UserWindow().offset, mid = rows / 2;
    double worst = 0.0, wallCrest = 0.0, returning = 0.0;
    for (int s = 0; s < steps; ++s) {
        const double t = run.Step();
        reference.Step();
        for (int i = 1; i <= n; ++i)
            worst = std::max(worst, std::fabs(run.Level().eta[i + o][mid + o] -
                                              reference.Level().eta[i + longer + ro][mid + ro]) / amplitude);
        wallCrest = std::max<double>(wallCrest, run.Level().eta[n + o][mid + o]);
        // The returning crest halfway, after the reflection (the incoming wave has passed by 500 s).
        if (t > 900.0) returning = std::max<double>(returning, run.Level().eta[n / 2 + o][mid + o]);
    }
    std::printf("crest at the wall %.4f, returning %.4f m; largest departure from the long channel %.2f %%\n",
                wallCrest, returning, 100 * worst);
    EXPECT_NEAR(wallCrest, 2 * amplitude, 0.1 * amplitude);  // incident and reflected crests add at a wall
    EXPECT_NEAR(returning, amplitude, 0.05 * amplitude);      // nothing lost at the wall
    EXPECT_LE(worst, 0.03);                                   // nor sent back by the west edge
    run.sim->Finish();
    const LevelVolumeBudget b = run.sim->GetRunDiagnostics().volumeBudgets.at(0);
    EXPECT_LE(std::fabs(b.Imbalance()), 1e-6 * amplitude * n * rows * dx * dx);
}

// Absorbing edges of 20 cells and the classic flux cuts unless [boundary] / [numerics] say otherwise;
// a bad value is refused in one line.
TEST(OpenEdges, ScenarioBoundaryTable) {
    ScratchFolder dir("scenario");
    dir.Write("bathy.grd", "DSAA\n2 2\n0 1\n0 1\n1 1\n1 1\n1 1\n");
    const std::string body = "[[grids]]\ncellSize = 100\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"out\"\n"
                             "[[sources]]\netaFile = \"bathy.grd\"\ninsertionTime = 0\n";
    const std::tuple<const char*, OpenEdgeKind, int32_t, const char*> cases[] = {  // the last: refusal
        {"", OpenEdgeKind::Absorbing, 20, nullptr},
        {"[boundary]\nkind = \"wall\"\ncells = 35\n", OpenEdgeKind::Wall, 35, nullptr},
        {"[boundary]\nkind = \"radiating\"\n", OpenEdgeKind::Radiating, 20, nullptr},
        {"[boundary]\nkind = \"open\"\n", {}, 0, "[boundary] kind = 'open': must be"},
        {"[boundary]\ncells = 1\n", {}, 0, "[boundary] cells = 1: must be"},
        {"[numerics]\nsmallFluxCut = -1e-4\n", {}, 0, "[numerics] smallFluxCut = -0.0001: must be"},
        {"[numerics]\ndispersion = 1\n", {}, 0, "[numerics] dispersion = 1: must be true or false"},
        {"[numerics]\ndispersionMinDepth = -0.5\n", {}, 0, "[numerics] dispersionMinDepth = -0.5: must be"},
        {"[numerics]\nfrontVelocityHead = 1\n", {}, 0, "[numerics] frontVelocityHead = 1: must be true or false"},
        {"[boundary]\nwest = \"radiating\"\n", {}, 0, "[boundary] west = 'radiating': must be"},
        {"[boundary]\nkind = \"radiating\"\nnorth = \"wall\"\n", {}, 0, "kind = \"radiating\" cannot go with"},
    };
    for (const auto& [table, kind, cells, refusal] : cases) {
        Scenario s;
        std::string error;
        ASSERT_EQ(LoadScenarioText(table + body, dir / "s.toml", {}, &s, &error), !refusal) << error;
        EXPECT_TRUE(refusal ? error.find(refusal) != std::string::npos && error.find('\n') == std::string::npos
                            : s.boundary.edgeKind == kind && s.boundary.absorbingCells == cells &&
                                  s.boundary.smallFluxCut == -1.0f && !s.boundary.dispersion &&
                                  !s.boundary.frontVelocityHead)
            << table << error;
    }
    Scenario cut;
    std::string error;
    ASSERT_TRUE(LoadScenarioText("[boundary]\nkind = \"wall\"\nwest = \"absorbing\"\n[numerics]\nsmallFluxCut = 0\n"
                                 "dispersion = true\ndispersionMinDepth = 0.03\nfrontVelocityHead = true\n" + body,
                                 dir / "s.toml", {}, &cut, &error))
        << error;
    EXPECT_EQ(cut.boundary.smallFluxCut, 0.0f);
    EXPECT_TRUE(cut.boundary.dispersion && cut.boundary.dispersionMinDepth == 0.03f && cut.boundary.frontVelocityHead);
    OpenEdgeKind sides[4];
    ResolveSideKinds(cut.boundary, sides);
    EXPECT_TRUE(sides[kWestSide] == OpenEdgeKind::Absorbing && sides[kEastSide] == OpenEdgeKind::Wall &&
                sides[kSouthSide] == OpenEdgeKind::Wall && sides[kNorthSide] == OpenEdgeKind::Wall);
}
