// Level 0's outer edges: the absorbing layer's reflection against a reference run on a basin three
// times wider, a wave running along an absorbing edge, the layer cropped from every output, the
// volume account of a run with the layer, and thread-count independence.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "InitResult.h"
#include "Scenario.h"
#include "TimeHistory.h"
#include "ScenarioFiles.h"
#include "ZellSimulatorVestra.h"

namespace {

constexpr double kG = 9.80665;
constexpr double kDepth = 100.0;           // flat basin, m
constexpr double kCartesianCell = 1000.0;  // m
constexpr double kLatitude = 30.0;         // spherical basins are centred here, degrees
constexpr double kArcMinute = 1.0 / 60.0;
constexpr double kMetresPerDegree = 6371008.0 * 0.017453292519943295;
constexpr double kAmplitude = 0.1;         // initial hump, m: linear (1e-3 of the depth)
constexpr double kHumpWidth = 6.0;         // e-folding half-width of the hump, cells

// A flat basin of n x n cells around (0, 0): metres on Cartesian levels, degrees on spherical ones.
struct Basin {
    bool spherical = false;
    int n = 0;
    GridSpec Grid() const {
        const double half = (n - 1) / 2.0;
        if (!spherical) return {n, n, -half * kCartesianCell, half * kCartesianCell, -half * kCartesianCell,
                                half * kCartesianCell};
        return {n, n, -half * kArcMinute, half * kArcMinute, kLatitude - half * kArcMinute,
                kLatitude + half * kArcMinute};
    }
    // Position of a node in metres east and north of the basin's centre.
    void Metres(double x, double y, double& east, double& north) const {
        if (!spherical) {
            east = x;
            north = y;
            return;
        }
        east = x * kMetresPerDegree * std::cos(kLatitude * 0.017453292519943295);
        north = (y - kLatitude) * kMetresPerDegree;
    }
    // The smaller cell side, m.
    double Cell() const {
        return spherical ? kArcMinute * kMetresPerDegree * std::cos(kLatitude * 0.017453292519943295) : kCartesianCell;
    }
};

// The hump A exp(-(s / w)^2) across the direction `angle` from the x axis through the centre,
// s the distance along that direction. With `crest` > 0 the crest is tapered to a beam of about
// that length (m), so that the hump lies well inside the basin: it then meets each edge only as the
// outgoing wave, at the given angle.
double Hump(const Basin& b, double x, double y, double angle, double crest) {
    double east = 0, north = 0;
    b.Metres(x, y, east, north);
    const double s = east * std::cos(angle) + north * std::sin(angle);
    const double w = kHumpWidth * b.Cell();
    double value = kAmplitude * std::exp(-(s / w) * (s / w));
    if (crest > 0) value *= std::exp(-std::pow((north * std::cos(angle) - east * std::sin(angle)) / (crest / 2), 8));
    return value;
}

// One model run on a scratch folder, stepped by hand.
struct ModelRun {
    std::vector<HostGridRecord> grids;
    std::vector<SourceEvent> events;
    std::unique_ptr<ZellSimulatorVestra> sim;
    int32_t index = 0;

    // Sets up `b` with the given edges; the source grid (if any) is `source`, applied at t = 0,
    // otherwise a still basin whose source event never comes.
    int32_t Start(const ScratchFolder& dir, const std::string& tag, const Basin& b, OpenEdgeKind kind, double dt,
                  const std::function<double(double, double)>& source, int threads = 1) {
        const GridSpec g = b.Grid();
        WriteSurferGrid(dir / (tag + "-depth.grd"), g, [](double, double) { return kDepth; });
        WriteSurferGrid(dir / (tag + "-eta.grd"), g, source ? source : [](double, double) { return 0.0; });
        grids.push_back(HostGridRecord{b.spherical ? 2 : 0, false, 0.0f, kCartesianCell, dir / (tag + "-depth.grd"),
                                       dir.Folder(tag), ""});
        events.push_back(SourceEvent{dir / (tag + "-eta.grd"), "", "", source ? 0.0f : 1e9f});
        sim = std::make_unique<ZellSimulatorVestra>(&grids, &events);
        SimulationParameters p;
        p.timeStep = static_cast<float>(dt);
        p.snapshotInterval = 0.0f;
        p.manningCoefficient = 0.0f;
        p.historyEverySteps = 1 << 30;
        p.threadCount = threads;
        sim->SetParameters(p);
        ExtendedRunSettings extended;
        extended.edgeKind = kind;
        sim->SetExtendedSettings(extended);
        return sim->Init(nullptr);
    }
    void Step() {
        int32_t advance = 0;
        sim->Step(index, &advance);
        index += advance;
    }
    GridLevel& Level() { return sim->levels[0]; }
};

struct ReflectionCase {
    bool spherical;
    double courant;  // c dt / (smaller cell side)
    double angleDegrees;
};

constexpr int kWidth = 40;  // cells of the measured basin; the reference basin has 3 x as many

struct Reflections {
    double absorbing = 1e9, radiating = 1e9;
};

// Largest difference between the basin with absorbing (radiating) edges and the reference basin
// over the inner half of the basin, until waves from the reference's own edges could arrive, as a
// share of the outgoing wave's height (half the hump).
Reflections Reflection(const ReflectionCase& c) {
    ScratchFolder dir("reflection");
    const Basin small{c.spherical, kWidth}, wide{c.spherical, 3 * kWidth};
    const double angle = c.angleDegrees * 0.017453292519943295;
    const double dt = c.courant * small.Cell() / std::sqrt(kG * kDepth);
    const double crest = 0.7 * kWidth * small.Cell();
    auto hump = [&](const Basin& b) { return [&b, angle, crest](double x, double y) { return Hump(b, x, y, angle, crest); }; };
    ModelRun absorbing, radiating, reference;
    EXPECT_EQ(absorbing.Start(dir, "absorbing", small, OpenEdgeKind::Absorbing, dt, hump(small)), InitResult::kSuccess);
    EXPECT_EQ(radiating.Start(dir, "radiating", small, OpenEdgeKind::Radiating, dt, hump(small)), InitResult::kSuccess);
    EXPECT_EQ(reference.Start(dir, "reference", wide, OpenEdgeKind::Radiating, dt, hump(wide)), InitResult::kSuccess);
    if (absorbing.sim->levels.empty() || radiating.sim->levels.empty() || reference.sim->levels.empty()) return {};
    const int layer = absorbing.Level().UserWindow().offset;
    // Waves from the reference's edges need 1.25 widths to reach the inner half.
    const int steps = static_cast<int>(1.2 * kWidth / c.courant);
    double largest[2] = {0.0, 0.0};
    for (int s = 0; s < steps; ++s) {
        absorbing.Step();
        radiating.Step();
        reference.Step();
        for (int i = kWidth / 4 + 1; i <= 3 * kWidth / 4; ++i) {
            for (int j = kWidth / 4 + 1; j <= 3 * kWidth / 4; ++j) {
                const double truth = reference.Level().eta[i + kWidth][j + kWidth];
                largest[0] = std::max(largest[0], std::fabs(absorbing.Level().eta[i + layer][j + layer] - truth));
                largest[1] = std::max(largest[1], std::fabs(radiating.Level().eta[i][j] - truth));
            }
        }
    }
    return {largest[0] / (kAmplitude / 2), largest[1] / (kAmplitude / 2)};
}

}  // namespace

// The reflection table of the documentation: absorbing edges within 1 % at 0 and 30 degrees and
// 3 % at 60 degrees; the classic radiating edge measured the same way for comparison.
TEST(OpenEdges, AbsorbingLayerReflectsLittleAtAnyCourantNumberAndAngle) {
    const ReflectionCase cases[] = {
        {false, 0.1, 0}, {false, 0.3, 0}, {false, 0.65, 0}, {false, 0.1, 30}, {false, 0.3, 30}, {false, 0.65, 30},
        {false, 0.1, 60}, {false, 0.3, 60}, {false, 0.65, 60}, {true, 0.1, 0},  {true, 0.3, 0},  {true, 0.65, 0},
        {true, 0.1, 30},  {true, 0.3, 30},  {true, 0.65, 30}, {true, 0.1, 60},  {true, 0.3, 60},  {true, 0.65, 60},
    };
    for (const ReflectionCase& c : cases) {
        const auto [absorbing, radiating] = Reflection(c);
        std::printf("%-9s Courant %.2f angle %2.0f: absorbing %.3f %%, radiating %.1f %%\n",
                    c.spherical ? "spherical" : "Cartesian", c.courant, c.angleDegrees, 100 * absorbing,
                    100 * radiating);
        EXPECT_LE(absorbing, c.angleDegrees > 45 ? 0.03 : 0.01)
            << (c.spherical ? "spherical" : "Cartesian") << " Courant " << c.courant << " angle " << c.angleDegrees;
    }
}

// A plane wave whose crest runs across the north and south edges travels along them: the absorbing
// edges keep its height there within 1 % of the wide basin's.
TEST(OpenEdges, WaveAlongAnAbsorbingEdgeKeepsItsHeight) {
    for (const bool spherical : {false, true}) {
        ScratchFolder dir("along");
        const Basin small{spherical, kWidth}, wide{spherical, 3 * kWidth};
        const double dt = 0.5 * small.Cell() / std::sqrt(kG * kDepth);
        auto hump = [](const Basin& b) { return [&b](double x, double y) { return Hump(b, x, y, 0.0, 0.0); }; };
        ModelRun absorbing, reference;
        ASSERT_EQ(absorbing.Start(dir, "absorbing", small, OpenEdgeKind::Absorbing, dt, hump(small)), InitResult::kSuccess);
        ASSERT_EQ(reference.Start(dir, "reference", wide, OpenEdgeKind::Radiating, dt, hump(wide)), InitResult::kSuccess);
        const int layer = absorbing.Level().UserWindow().offset;
        // Highest level the crest reaches in the outermost rows, a quarter width east of the start.
        const int i = 3 * kWidth / 4;
        double edge[2] = {0, 0}, truth[2] = {0, 0};
        for (int s = 0; s < static_cast<int>(0.45 * kWidth / 0.5); ++s) {
            absorbing.Step();
            reference.Step();
            for (int side = 0; side < 2; ++side) {
                const int j = side == 0 ? 1 : kWidth;
                edge[side] = std::max(edge[side], static_cast<double>(absorbing.Level().eta[i + layer][j + layer]));
                truth[side] = std::max(truth[side], static_cast<double>(reference.Level().eta[i + kWidth][j + kWidth]));
            }
        }
        for (int side = 0; side < 2; ++side) {
            EXPECT_GT(truth[side], 0.45 * kAmplitude);
            EXPECT_NEAR(edge[side] / truth[side], 1.0, 0.01) << (spherical ? "spherical" : "Cartesian") << " side " << side;
        }
    }
}

// Every output shows the user's grid: frames and extreme fields have its size and extents, gauges
// stand on it, and the frame around it is never gauged.
TEST(OpenEdges, LayerIsCroppedFromOutputsAndGauges) {
    ScratchFolder dir("crop");
    const Basin basin{false, 24};
    ModelRun run;
    const GridSpec g = basin.Grid();
    ASSERT_EQ(run.Start(dir, "crop", basin, OpenEdgeKind::Absorbing, 5.0,
                        [&](double x, double y) { return Hump(basin, x, y, 0.3, 0.0); }),
              InitResult::kSuccess);
    GridLevel& level = run.Level();
    ASSERT_EQ(level.nx, 24 + 2 * 20);
    int32_t column = 0, row = 0;
    ASSERT_TRUE(NearestGaugeCell(level, g.xMin, g.yMin, column, row));
    EXPECT_EQ(column, 21);
    EXPECT_EQ(row, 21);
    EXPECT_FALSE(NearestGaugeCell(level, g.xMax + g.Dx(), g.yMin, column, row));  // in the layer

    SimulationParameters p = run.sim->Parameters();
    p.outputFormat = 0;  // Surfer text
    p.snapshotInterval = 10.0f;
    run.sim->SetParameters(p);
    for (int s = 0; s < 4; ++s) run.Step();
    run.sim->Finish();
    int grids = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "crop")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("OUT-ETA-MAX", 0) != 0 && name.find("00010") == std::string::npos) continue;
        std::ifstream in(entry.path());
        std::string keyword;
        int nx = 0, ny = 0;
        double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
        in >> keyword >> nx >> ny >> x0 >> x1 >> y0 >> y1;
        EXPECT_EQ(keyword, "DSAA") << name;
        EXPECT_EQ(nx, g.nx) << name;
        EXPECT_EQ(ny, g.ny) << name;
        EXPECT_NEAR(x0, g.xMin, 1e-6) << name;
        EXPECT_NEAR(x1, g.xMax, 1e-6) << name;
        EXPECT_NEAR(y0, g.yMin, 1e-6) << name;
        EXPECT_NEAR(y1, g.yMax, 1e-6) << name;
        ++grids;
    }
    EXPECT_EQ(grids, 2);  // the extreme water level and the frame at 10 s
}

// The volume account closes for every edge kind: the stored change is the source less what left,
// to rounding; absorbing edges let most of the wave out, walls nothing.
TEST(OpenEdges, VolumeBudgetCloses) {
    struct Case {
        OpenEdgeKind kind;
        bool spherical;
    };
    for (const Case c : {Case{OpenEdgeKind::Absorbing, false}, Case{OpenEdgeKind::Absorbing, true},
                         Case{OpenEdgeKind::Wall, false}, Case{OpenEdgeKind::Wall, true},
                         Case{OpenEdgeKind::Radiating, false}}) {
        ScratchFolder dir("budget");
        const Basin basin{c.spherical, kWidth};
        const double w = 5 * basin.Cell();
        ModelRun run;
        ASSERT_EQ(run.Start(dir, "budget", basin, c.kind, 0.5 * basin.Cell() / std::sqrt(kG * kDepth),
                            [&](double x, double y) {
                                double east = 0, north = 0;
                                basin.Metres(x, y, east, north);
                                return 2.0 * std::exp(-(east * east + north * north) / (w * w));
                            }),
                  InitResult::kSuccess);
        for (int s = 0; s < 2 * kWidth; ++s) run.Step();
        run.sim->Finish();
        const RunDiagnostics d = run.sim->GetRunDiagnostics();
        ASSERT_EQ(d.volumeBudgets.size(), 1u);
        const LevelVolumeBudget& b = d.volumeBudgets[0];
        const char* name = c.kind == OpenEdgeKind::Absorbing ? "absorbing" : c.kind == OpenEdgeKind::Wall ? "wall" : "radiating";
        std::printf("%-9s %-9s source %.6g m3, stored change %.6g, outflow %.6g, imbalance %.3g\n", name,
                    c.spherical ? "spherical" : "Cartesian", b.sourceVolume, b.storedChange, b.edgeOutflow,
                    b.Imbalance());
        const double expected = 2.0 * 3.14159265 * w * w;  // volume of the hump
        EXPECT_NEAR(b.sourceVolume / expected, 1.0, 0.01) << name;
        // Rounding alone leaves about 1e-8 of the source.
        EXPECT_LE(std::fabs(b.Imbalance()), 1e-6 * b.sourceVolume) << name;
        if (c.kind == OpenEdgeKind::Absorbing) {
            EXPECT_GT(b.edgeOutflow, 0.8 * b.sourceVolume) << name;
        }
        if (c.kind == OpenEdgeKind::Wall) {
            EXPECT_EQ(b.edgeOutflow, 0.0) << name;
        }
    }
}

// The layer gives the same bits with one thread and with two.
TEST(OpenEdges, LayerIsBitIdenticalForOneAndTwoThreads) {
    for (const bool spherical : {false, true}) {
        ScratchFolder dir("threads");
        const Basin basin{spherical, 30};
        const double dt = 0.6 * basin.Cell() / std::sqrt(kG * kDepth);
        auto source = [&](double x, double y) { return Hump(basin, x, y, 0.5, 0.0); };
        ModelRun one, two;
        ASSERT_EQ(one.Start(dir, "one", basin, OpenEdgeKind::Absorbing, dt, source, 1), InitResult::kSuccess);
        ASSERT_EQ(two.Start(dir, "two", basin, OpenEdgeKind::Absorbing, dt, source, 2), InitResult::kSuccess);
        for (int s = 0; s < 60; ++s) {
            one.Step();
            two.Step();
        }
        for (Field GridLevel::*f : {&GridLevel::eta, &GridLevel::fluxM, &GridLevel::fluxN, &GridLevel::layerEtaX,
                                    &GridLevel::layerEtaY}) {
            const Field& a = one.Level().*f;
            const Field& b = two.Level().*f;
            ASSERT_EQ(a.Size(), b.Size());
            EXPECT_EQ(std::memcmp(a.Data(), b.Data(), a.Size() * sizeof(float)), 0) << (spherical ? "spherical" : "Cartesian");
        }
    }
}

// The scenario's [boundary] and [numerics] tables: absorbing edges of 20 cells and the classic
// flux cuts unless it says otherwise; a bad
// value is refused with one line naming the key and the value.
TEST(OpenEdges, ScenarioBoundaryTable) {
    ScratchFolder dir("scenario");
    dir.Write("bathy.grd", "DSAA\n2 2\n0 1\n0 1\n1 1\n1 1\n1 1\n");
    dir.Write("eta.grd", "DSAA\n2 2\n0 1\n0 1\n0 0\n0 0\n0 0\n");
    const std::string body = "[[grids]]\ncellSize = 100\nbathymetryFile = \"bathy.grd\"\noutputFolder = \"out\"\n"
                             "[[sources]]\netaFile = \"eta.grd\"\ninsertionTime = 0\n";
    struct Case {
        const char* table;
        bool accepted;
        OpenEdgeKind kind;
        int32_t cells;
        const char* message;
        float smallFluxCut = -1.0f;  // [numerics]: below 0, the classic cuts
    };
    const Case cases[] = {
        {"", true, OpenEdgeKind::Absorbing, 20, ""},
        {"[numerics]\nsmallFluxCut = 0\n", true, OpenEdgeKind::Absorbing, 20, "", 0.0f},
        {"[numerics]\nsmallFluxCut = -1e-4\n", false, OpenEdgeKind::Absorbing, 0, "[numerics] smallFluxCut = -0.0001: must be"},
        {"[boundary]\nkind = \"wall\"\n", true, OpenEdgeKind::Wall, 20, ""},
        {"[boundary]\nkind = \"radiating\"\n", true, OpenEdgeKind::Radiating, 20, ""},
        {"[boundary]\ncells = 35\n", true, OpenEdgeKind::Absorbing, 35, ""},
        {"[boundary]\nkind = \"open\"\n", false, OpenEdgeKind::Absorbing, 0, "[boundary] kind = 'open': must be"},
        {"[boundary]\ncells = 1\n", false, OpenEdgeKind::Absorbing, 0, "[boundary] cells = 1: must be"},
    };
    for (const Case& c : cases) {
        Scenario s;
        std::string error;
        const bool loaded = LoadScenarioText(std::string(c.table) + body, dir / "scenario.toml", {}, &s, &error);
        ASSERT_EQ(loaded, c.accepted) << c.table << error;
        if (c.accepted) {
            EXPECT_EQ(s.boundary.edgeKind, c.kind) << c.table;
            EXPECT_EQ(s.boundary.absorbingCells, c.cells) << c.table;
            EXPECT_EQ(s.boundary.smallFluxCut, c.smallFluxCut) << c.table;
        } else {
            EXPECT_NE(error.find(c.message), std::string::npos) << error;
            EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        }
    }
}
