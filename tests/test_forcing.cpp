// How waves enter a level: a source's flux beside land and edges, and the boundary series on
// the outermost row or column. Runs go through Init and Step on small channels between land
// walls, and are checked against long-wave theory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "InitResult.h"
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
