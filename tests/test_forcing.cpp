// How waves enter a level: a source's flux beside land and edges, and the boundary series on
// the outermost row or column. Runs go through Init and Step on small channels between land
// walls, and are checked against long-wave theory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <functional>
#include <string>
#include <vector>

#include "GaugeSummary.h"
#include "InitResult.h"
#include "RunSummary.h"
#include "ScenarioFiles.h"
#include "ZellSimulatorVestra.h"

namespace {

constexpr double kGravity = 9.80665;
constexpr double kMetresPerDegree = 6371008.0 * M_PI / 180.0;  // the equator, where the channels lie

// A straight channel of `wet` cells across, between land walls three cells thick, running along
// x (`alongX`) or y; `length` cells along it. Cartesian cells of `cell` metres, or spherical
// cells of the same size in degrees at the equator.
struct Channel {
    bool spherical = false;
    bool alongX = true;
    int length = 0, wet = 5;
    double cell = 0.0, depth = 0.0;

    static constexpr int kWall = 3;
    int Across() const { return wet + 2 * kWall; }
    int Nx() const { return alongX ? length : Across(); }
    int Ny() const { return alongX ? Across() : length; }
    double Unit() const { return spherical ? cell / kMetresPerDegree : cell; }
    GridSpec Spec() const { return GridSpec{Nx(), Ny(), 0.0, (Nx() - 1) * Unit(), 0.0, (Ny() - 1) * Unit()}; }
    // Whether the cell k across the channel (1-based) is at sea.
    bool AtSea(int k) const { return k > kWall && k <= kWall + wet; }
    // (i, j) of the cell `along` cells down the channel and `across` cells over.
    int I(int along, int across) const { return alongX ? along : across; }
    int J(int along, int across) const { return alongX ? across : along; }
    int Middle() const { return kWall + (wet + 1) / 2; }

    // Writes a grid whose value at cell (along, across) is value(along, across).
    void Write(const std::string& path, const std::function<double(int, int)>& value) const {
        const GridSpec g = Spec();
        std::ofstream out(path);
        out.precision(10);
        out << "DSAA\n" << g.nx << " " << g.ny << "\n" << g.xMin << " " << g.xMax << "\n" << g.yMin << " " << g.yMax
            << "\n0 1\n";
        for (int j = 1; j <= g.ny; ++j)
            for (int i = 1; i <= g.nx; ++i)
                out << (alongX ? value(i, j) : value(j, i)) << (i == g.nx ? "\n" : " ");
    }
    void WriteBathymetry(const std::string& path) const {
        Write(path, [&](int, int across) { return AtSea(across) ? depth : -5.0; });
    }
};

// Runs the model on one channel; observe(simulator, time) after every call of Step.
struct ChannelRun {
    Channel channel;
    SimulationParameters parameters;
    std::vector<SourceEvent> events;

    int32_t Run(const ScratchFolder& dir, double endSeconds,
                const std::function<void(ZellSimulatorVestra&, double)>& observe) {
        channel.WriteBathymetry(dir / "bathymetry.grd");
        std::vector<HostGridRecord> grids{HostGridRecord{channel.spherical ? 2 : 0, false, 0.0f, channel.cell,
                                                         dir / "bathymetry.grd", dir.Folder("out"), ""}};
        parameters.snapshotInterval = 0.0f;
        parameters.manningCoefficient = 0.0f;  // frictionless: long-wave theory holds exactly
        if (parameters.threadCount == 0) parameters.threadCount = 1;
        ZellSimulatorVestra sim(&grids, &events);
        sim.SetParameters(parameters);
        const int32_t code = sim.Init(nullptr);
        if (code != InitResult::kSuccess) return code;
        for (int32_t i = 0; i * static_cast<double>(parameters.timeStep) < endSeconds;) {
            int32_t advance = 1;
            sim.Step(i, &advance);
            i += advance;
            observe(sim, i * static_cast<double>(parameters.timeStep));
        }
        return code;
    }
};

// Crest of the water level along the channel's middle row: height and position (cells,
// refined by a parabola through the highest cell and its neighbours).
struct Crest {
    double height = 0.0, position = 0.0;
};

Crest FindCrest(const GridLevel& level, const Channel& c, int across) {
    int best = 2;
    auto eta = [&](int along) { return static_cast<double>(level.eta(c.I(along, across), c.J(along, across))); };
    for (int k = 2; k < c.length; ++k)
        if (eta(k) > eta(best)) best = k;
    const double a = eta(best - 1), b = eta(best), d = eta(best + 1);
    const double shift = 0.5 * (a - d) / (a - 2.0 * b + d);
    return Crest{b - 0.25 * (a - d) * shift, best + shift};
}

}  // namespace

// A solitary wave started with the flux of a right-going wave of the long-wave equations
// (u = 2 (sqrt(g (d + eta)) - sqrt(g d))) must travel as one wave: every wet row, the two beside
// the walls included, gets its flux. Were the rows beside land left without it, the wave would
// split there and the channel would keep only about 0.8 of its height.
TEST(SourceFlux, WaveStartedInANarrowChannelKeepsItsHeightAndSpeed) {
    struct Case {
        const char* name;
        bool spherical;
        double depth, heightRatio, cell, step, seconds;
        double width;  // 1/k of the sech^2 profile, m; 0: the solitary wave's own
        int length, start;
        double heightTolerance, speedTolerance;
    };
    // Flume: H/d = 0.019, d = 9.8 m, dx = d/40, dt = 0.01 s, 5 s of travel. Ocean: a spherical
    // channel of 1 arc-minute cells, 100 m deep, a long wave (1/k = 10 cells) run over about
    // 100 cells; its crest is narrow enough for the grid's dispersion to slow it by about 0.2 %.
    const Case cases[] = {
        {"flume", false, 9.8, 0.019, 9.8 / 40.0, 0.01, 5.0, 0.0, 2600, 1200, 0.002, 0.001},
        {"sphere", true, 100.0, 0.005, 1852.0, 10.0, 6000.0, 18520.0, 330, 110, 0.006, 0.005},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFolder dir(c.name);
        ChannelRun run;
        run.channel = Channel{c.spherical, true, c.length, 5, c.cell, c.depth};
        const Channel& ch = run.channel;
        const double height = c.heightRatio * c.depth;
        const double k = c.width > 0.0 ? 1.0 / c.width : std::sqrt(3.0 * height / (4.0 * std::pow(c.depth, 3.0)));
        auto eta = [&](double along) { return height / std::pow(std::cosh(k * (along - c.start) * c.cell), 2.0); };
        auto flux = [&](double along) {
            const double e = eta(along);
            return 2.0 * (std::sqrt(kGravity * (c.depth + e)) - std::sqrt(kGravity * c.depth)) * (c.depth + e);
        };
        // Land holds no water level; the flux grid runs over land too and must be kept off it.
        ch.Write(dir / "eta.grd", [&](int along, int across) { return ch.AtSea(across) ? eta(along) : 0.0; });
        ch.Write(dir / "m.grd", [&](int along, int) { return flux(along + 0.5); });  // on the east faces
        run.events.push_back(SourceEvent{dir / "eta.grd", dir / "m.grd", "", 0.0f});
        run.parameters.timeStep = static_cast<float>(c.step);

        // The crest is timed from a tenth of the run on, once the start of the leap-frog has passed.
        std::vector<Crest> rows;
        double startTime = -1.0, startPosition = 0.0, endTime = 0.0;
        ASSERT_EQ(run.Run(dir, c.seconds,
                          [&](ZellSimulatorVestra& sim, double t) {
                              if (startTime < 0.0 && t >= 0.1 * c.seconds) {
                                  startTime = t;
                                  startPosition = FindCrest(sim.levels[0], ch, ch.Middle()).position;
                              }
                              endTime = t;
                              rows.clear();
                              for (int across = Channel::kWall + 1; across <= Channel::kWall + ch.wet; ++across)
                                  rows.push_back(FindCrest(sim.levels[0], ch, across));
                          }),
                  InitResult::kSuccess);
        for (const Crest& row : rows) EXPECT_NEAR(row.height / height, 1.0, c.heightTolerance);
        // The crest of a simple wave moves at u + c = 3 sqrt(g (d + H)) - 2 sqrt(g d), which is
        // sqrt(g d) (1 + 1.5 H/d) to first order.
        const double speed = (rows[2].position - startPosition) * c.cell / (endTime - startTime);
        const double theory = std::sqrt(kGravity * c.depth) * (1.0 + 1.5 * c.heightRatio);
        EXPECT_NEAR(speed / theory, 1.0, c.speedTolerance);
        std::printf("[ measured ] %s: crest %.4f H across the %d rows (lowest), speed %.5f of sqrt(gd)(1 + 1.5 H/d)\n",
                    c.name,
                    std::min_element(rows.begin(), rows.end(),
                                     [](const Crest& a, const Crest& b) { return a.height < b.height; })
                            ->height /
                        height,
                    ch.wet, speed / theory);
    }
}

namespace {

// A 0.1 m sine of 60 s forced on one outer edge of a channel 10 m deep and 400 cells of 20 m
// long; the gauge lies 40 cells inside. Frictionless linear theory: the wave arrives with the
// forced amplitude.
enum Edge { kWest, kEast, kSouth, kNorth };

struct SeriesCase {
    Edge edge;
    bool spherical, withFluxes;
    int threads = 1;
};

struct SeriesResult {
    double highest = -1.0, lowest = 1.0;
    std::vector<float> eta;  // the level at the end
};

SeriesResult RunSeries(const SeriesCase& s, const ScratchFolder& dir) {
    constexpr double kAmplitude = 0.1, kPeriod = 60.0, kDepth = 10.0, kStep = 0.5, kEnd = 150.0;
    const bool columns = s.edge == kWest || s.edge == kEast;
    const bool fromEnd = s.edge == kEast || s.edge == kNorth;
    ChannelRun run;
    run.channel = Channel{s.spherical, columns, 400, 5, 20.0, kDepth};
    const Channel& ch = run.channel;
    ch.Write(dir / "still.grd", [](int, int) { return 0.0; });
    run.events.push_back(SourceEvent{dir / "still.grd", "", "", 0.0f});
    // One record per step: time, level, x-flux, y-flux; the fluxes those of the wave entering.
    {
        const double celerity = std::sqrt(kGravity * kDepth) * (fromEnd ? -1.0 : 1.0);
        std::ofstream series(dir / "series.txt");
        series.precision(9);
        for (int k = 0; k * kStep <= kEnd + 1.0; ++k) {
            const double e = kAmplitude * std::sin(2.0 * M_PI * k * kStep / kPeriod);
            series << k * kStep << " " << e << " " << (columns ? celerity * e : 0.0) << " "
                   << (columns ? 0.0 : celerity * e) << "\n";
        }
    }
    SimulationParameters& p = run.parameters;
    p.timeStep = static_cast<float>(kStep);
    p.threadCount = s.threads;
    p.timeSeriesEnabled = true;
    p.timeSeriesFile = dir / "series.txt";
    p.seriesMode = columns ? 1 : 0;
    p.seriesFirstIndex = p.seriesLastIndex = static_cast<uint32_t>(fromEnd ? ch.length : 1);
    p.useEtaOnly = !s.withFluxes;
    const int along = fromEnd ? ch.length - 40 : 41;
    SeriesResult result;
    const int32_t code = run.Run(dir, kEnd, [&](ZellSimulatorVestra& sim, double) {
        const GridLevel& level = sim.levels[0];
        const double eta = level.eta(ch.I(along, ch.Middle()), ch.J(along, ch.Middle()));
        result.highest = std::max(result.highest, eta);
        result.lowest = std::min(result.lowest, eta);
        result.eta.assign(level.eta.Data(), level.eta.Data() + level.eta.Size());
    });
    EXPECT_EQ(code, InitResult::kSuccess);
    return result;
}

}  // namespace

// The first crest (and trough) of the forced sine reaches the gauge with the forced amplitude,
// whichever outer edge the series drives, with or without its fluxes, on both kinds of level.
TEST(BoundarySeries, OuterRowOrColumnDrivesTheWaveIn) {
    const char* edgeNames[] = {"west column", "east column", "south row", "north row"};
    for (const Edge edge : {kWest, kEast, kSouth, kNorth})
        for (const bool spherical : {false, true})
            for (const bool withFluxes : {false, true}) {
                const std::string name = std::string(edgeNames[edge]) + (spherical ? ", spherical" : ", Cartesian") +
                                         (withFluxes ? ", with fluxes" : ", level only");
                SCOPED_TRACE(name);
                ScratchFolder dir;
                const SeriesResult r = RunSeries(SeriesCase{edge, spherical, withFluxes}, dir);
                EXPECT_NEAR(r.highest / 0.1, 1.0, 0.03);
                EXPECT_NEAR(-r.lowest / 0.1, 1.0, 0.03);
                std::printf("[ measured ] %-40s crest %.4f m, trough %.4f m\n", name.c_str(), r.highest, r.lowest);
            }
}

TEST(BoundarySeries, ForcedEdgeIsTheSameWithOneOrTwoThreads) {
    for (const bool spherical : {false, true}) {
        ScratchFolder one("one"), two("two");
        const SeriesResult a = RunSeries(SeriesCase{kWest, spherical, true, 1}, one);
        const SeriesResult b = RunSeries(SeriesCase{kWest, spherical, true, 2}, two);
        ASSERT_EQ(a.eta.size(), b.eta.size());
        EXPECT_EQ(std::memcmp(a.eta.data(), b.eta.data(), a.eta.size() * sizeof(float)), 0) << spherical;
    }
}

// A gauge where no water ever stood is reported as dry by the result table, the run summary, its
// JSON and the picture helper; a shore that dries in a trough, or land the wave floods, is not.
TEST(Gauges, OneThatStayedDryIsSaidToHaveStayedDry) {
    ScratchFolder dir;
    // Still-water depths 10 m (sea), 1.38 m (shore), -1.38 m (land, twice); levels in minutes.
    // On dry land the level rests on the ground (1.38 m); the last gauge's land is flooded 0.22 m.
    const std::string history = dir.Write("OUT-TIME-HISTORIES_ETA.dat",
                                          "Time sea_10.000 shore_1.380 land_-1.380 flooded_-1.380 \n"
                                          "0.00000        0.0000      0.0000      0.0000      0.0000\n"
                                          "1.00000        0.5000     -1.3800      1.3800      1.3800\n"
                                          "2.00000       -0.3000      0.2000      1.3800      1.6000\n");
    const std::string list = dir.Write("gauges.txt", "sea 1 2\nshore 3 4\nland 5 6\nflooded 7 8\n");
    ASSERT_EQ(WriteGaugeSummary(list, history, dir / "OUT-SUMMARY-RESULT.dat"), kGaugeSummaryDone);
    std::istringstream table(ReadFile(dir / "OUT-SUMMARY-RESULT.dat"));
    std::vector<std::string> rows;
    for (std::string line; std::getline(table, line);) rows.push_back(line);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[1], "sea\t10.000\t1\t2\t1\t1\t0.5\t-0.3");
    EXPECT_EQ(rows[2], "shore\t1.380\t3\t4\t1\t2\t0.2\t-1.38");
    EXPECT_EQ(rows[3], "land\t-1.380\t5\t6\tdry\tdry\tdry\tdry");
    EXPECT_EQ(rows[4], "flooded\t-1.380\t7\t8\t1\t2\t1.6\t0");

    std::vector<GaugeSummary> gauges;
    std::string error;
    ASSERT_TRUE(ReadGaugeSummaryFile(dir / "OUT-SUMMARY-RESULT.dat", &gauges, &error)) << error;
    ASSERT_EQ(gauges.size(), 4u);
    for (std::size_t g = 0; g < gauges.size(); ++g) EXPECT_EQ(gauges[g].dry, g == 2) << gauges[g].name;
    EXPECT_TRUE(std::isnan(gauges[2].arrivalMinutes) && std::isnan(gauges[2].minimum));
    EXPECT_EQ(gauges[2].x, 5.0);

    RunSummary summary;
    summary.levels.push_back(LevelSummary{});
    summary.levels[0].gauges = gauges;
    const std::string json = RunSummaryJson(summary);
    EXPECT_NE(json.find("{\"name\": \"land\", \"depth\": -1.38, \"x\": 5, \"y\": 6, \"dry\": true, "
                        "\"arrivalMinutes\": null, \"timeOfMaxMinutes\": null, \"maximum\": null, \"minimum\": null}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"name\": \"shore\", \"depth\": 1.38, \"x\": 3, \"y\": 4, \"dry\": false, \"arrivalMinutes\": 1,"),
              std::string::npos)
        << json;
    std::ostringstream printed;
    PrintRunSummary(summary, printed);
    EXPECT_NE(printed.str().find("land           0      stayed dry     -                 -          -"), std::string::npos)
        << printed.str();

    // The picture helper decides from the same history.
    if (std::system("python3 -c pass >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3 for the picture helper";
    const std::string script = std::string("cd '") + VESTRA_SOURCE_DIR + "/host' && python3 -c \"import vestra_plot as v\n"
                               "rows = [l.split() for l in open('" + history + "').read().splitlines()]\n"
                               "for k, token in enumerate(rows[0][1:]):\n"
                               "    print(int(v.stayed_dry(token.partition('_')[2], [r[k + 1] for r in rows[1:]])), end='')\"";
    EXPECT_EQ(RunShell(script), "0010");
}
