// Waves entering narrow channels from a source's flux or an edge series, against long-wave theory; dry gauges.
#include "GaugeSummary.h"
#include "PhysicsRuns.h"
#include "RunSummary.h"

namespace {

// `wet` cells across between land walls, along x or y; spherical cells are as many metres at the equator.
struct Channel {
    bool spherical = false, alongX = true;
    int length = 0, wet = 5;
    double cell = 0.0, depth = 0.0;

    static constexpr int kWall = 3;
    double Unit() const { return spherical ? cell / kMetresPerDegree : cell; }
    GridSpec Spec() const {
        const int nx = alongX ? length : wet + 2 * kWall, ny = alongX ? wet + 2 * kWall : length;
        return GridSpec{nx, ny, 0.0, (nx - 1) * Unit(), 0.0, (ny - 1) * Unit()};
    }
    bool AtSea(int across) const { return across > kWall && across <= kWall + wet; }  // 1-based
    int Middle() const { return kWall + (wet + 1) / 2; }
    double Eta(const GridLevel& level, int along, int across) const {
        return alongX ? level.eta(along, across) : level.eta(across, along);
    }
    XyFunction Cells(const std::function<double(int, int)>& value) const {
        return [=, this](double x, double y) {
            const int i = static_cast<int>(std::lround(x / Unit())) + 1, j = static_cast<int>(std::lround(y / Unit()));
            return alongX ? value(i, j + 1) : value(j + 1, i);
        };
    }
    void AddTo(SteppedRun& run, const ScratchFolder& dir, float step) const {
        run.AddLevel(dir, "channel", spherical ? 2 : 0, cell, Spec(),
                     Cells([this](int, int across) { return AtSea(across) ? depth : -5.0; }));
        run.parameters.manningCoefficient = 0.0f;
        run.parameters.timeStep = step;
    }
};

// Crest of the level along row `across`: height and position (cells, refined by a parabola).
std::pair<double, double> Crest(const GridLevel& level, const Channel& c, int across) {
    int best = 2;
    for (int k = 2; k < c.length; ++k)
        if (c.Eta(level, k, across) > c.Eta(level, best, across)) best = k;
    const double a = c.Eta(level, best - 1, across), b = c.Eta(level, best, across), d = c.Eta(level, best + 1, across);
    const double shift = 0.5 * (a - d) / (a - 2.0 * b + d);
    return {b - 0.25 * (a - d) * shift, best + shift};
}

}  // namespace

// A right-going simple wave (u = 2 (sqrt(g (d + eta)) - sqrt(g d))) splits unless the rows beside walls get flux.
TEST(SourceFlux, WaveStartedInANarrowChannelKeepsItsHeightAndSpeed) {
    struct Case {
        bool spherical;
        double depth, heightRatio, cell, step, seconds, width, heightTolerance, speedTolerance;
        int length, start;
    };
    // Flume: H/d = 0.019, d = 9.8 m, dx = d/40; ocean: a long wave (1/k = 10 cells) slowed 0.2 % by dispersion.
    const Case cases[] = {
        {false, 9.8, 0.019, 9.8 / 40.0, 0.01, 5.0, 0.0, 0.002, 0.001, 2600, 1200},
        {true, 100.0, 0.005, 1852.0, 10.0, 6000.0, 18520.0, 0.006, 0.005, 330, 110},
    };
    for (const Case& c : cases) {
        const char* name = c.spherical ? "sphere" : "flume";
        ScratchFolder dir(name);
        const Channel ch{c.spherical, true, c.length, 5, c.cell, c.depth};
        SteppedRun run;
        ch.AddTo(run, dir, static_cast<float>(c.step));
        const double height = c.heightRatio * c.depth;
        const double k = c.width > 0.0 ? 1.0 / c.width : std::sqrt(3.0 * height / (4.0 * std::pow(c.depth, 3.0)));
        auto eta = [&](double along) { return height / std::pow(std::cosh(k * (along - c.start) * c.cell), 2.0); };
        // The flux grid (east faces) runs over land too and must be kept off it.
        WriteSurferGrid(dir / "eta.grd", ch.Spec(),
                        ch.Cells([&](int along, int across) { return ch.AtSea(across) ? eta(along) : 0.0; }));
        WriteSurferGrid(dir / "m.grd", ch.Spec(), ch.Cells([&](int along, int) {
            const double e = eta(along + 0.5);
            return 2.0 * (std::sqrt(kGravity * (c.depth + e)) - std::sqrt(kGravity * c.depth)) * (c.depth + e);
        }));
        run.events.push_back(SourceEvent{dir / "eta.grd", dir / "m.grd", "", 0.0f});
        ASSERT_EQ(run.Init(), InitResult::kSuccess);
        // Timed from a tenth of the run on, once the leap-frog's start has passed.
        double t = 0.0, startTime = -1.0, startPosition = 0.0, lowest = 2.0;
        while (t < c.seconds) {
            t = run.Step();
            if (startTime < 0.0 && t >= 0.1 * c.seconds) {
                startTime = t;
                startPosition = Crest(run.Level(), ch, ch.Middle()).second;
            }
        }
        for (int across = Channel::kWall + 1; across <= Channel::kWall + ch.wet; ++across) {
            lowest = std::min(lowest, Crest(run.Level(), ch, across).first / height);
            EXPECT_NEAR(Crest(run.Level(), ch, across).first / height, 1.0, c.heightTolerance) << name << across;
        }
        // The crest moves at 3 sqrt(g (d + H)) - 2 sqrt(g d) = sqrt(g d) (1 + 1.5 H/d) to first order.
        const double speed = (Crest(run.Level(), ch, ch.Middle()).second - startPosition) * c.cell / (t - startTime);
        const double theory = std::sqrt(kGravity * c.depth) * (1.0 + 1.5 * c.heightRatio);
        EXPECT_NEAR(speed / theory, 1.0, c.speedTolerance) << name;
        std::printf("[ measured ] %s: crest %.4f H across the %d rows (lowest), speed %.5f of sqrt(gd)(1 + 1.5 H/d)\n",
                    name, lowest, ch.wet, speed / theory);
    }
}

// A 0.1 m sine forced on any outermost row or column reaches a gauge 40 cells inside at full height.
TEST(BoundarySeries, OuterRowOrColumnDrivesTheWaveIn) {
    constexpr double kAmplitude = 0.1, kPeriod = 60.0, kStep = 0.5, kEnd = 150.0;
    auto run = [&](char edge, bool spherical, bool withFluxes, int threads, double& highest, double& lowest) {
        const bool columns = edge == 'W' || edge == 'E', fromEnd = edge == 'E' || edge == 'N';
        ScratchFolder dir;
        const Channel ch{spherical, columns, 400, 5, 20.0, 10.0};
        SteppedRun r;
        ch.AddTo(r, dir, static_cast<float>(kStep));
        r.AddSource(dir, "still", ch.Spec(), [](double, double) { return 0.0; });
        // Time, level, x-flux, y-flux: the fluxes of the wave entering.
        std::ofstream series(dir / "series.txt");
        const double c = std::sqrt(kGravity * ch.depth) * (fromEnd ? -1.0 : 1.0);
        for (double t = 0.0; t <= kEnd + 1.0; t += kStep) {
            const double e = kAmplitude * std::sin(2.0 * M_PI * t / kPeriod);
            series << t << " " << e << " " << (columns ? c * e : 0) << " " << (columns ? 0 : c * e) << "\n";
        }
        series.close();
        r.parameters.threadCount = threads;
        r.parameters.timeSeriesEnabled = true;
        r.parameters.timeSeriesFile = dir / "series.txt";
        r.parameters.seriesMode = columns ? 1 : 0;
        r.parameters.seriesFirstIndex = r.parameters.seriesLastIndex = static_cast<uint32_t>(fromEnd ? ch.length : 1);
        r.parameters.useEtaOnly = !withFluxes;
        if (r.Init() != InitResult::kSuccess) return std::vector<float>{};
        for (double t = 0.0; t < kEnd;) {
            t = r.Step();
            highest = std::max(highest, ch.Eta(r.Level(), fromEnd ? ch.length - 40 : 41, ch.Middle()));
            lowest = std::min(lowest, ch.Eta(r.Level(), fromEnd ? ch.length - 40 : 41, ch.Middle()));
        }
        return std::vector<float>(r.Level().eta.Data(), r.Level().eta.Data() + r.Level().eta.Size());
    };
    for (const char edge : {'W', 'E', 'S', 'N'})
        for (const bool spherical : {false, true})
            for (const bool withFluxes : {false, true}) {
                double highest = 0, lowest = 0, unused = 0;
                const std::vector<float> eta = run(edge, spherical, withFluxes, 1, highest, lowest);
                std::printf("[ measured ] %c edge, spherical %d, with fluxes %d: crest %.4f m, trough %.4f m\n", edge,
                            spherical, withFluxes, highest, lowest);
                EXPECT_LE(std::max(std::fabs(highest - kAmplitude), std::fabs(lowest + kAmplitude)), 0.003) << edge;
                if (edge == 'W' && withFluxes) {
                    EXPECT_TRUE(eta == run(edge, spherical, true, 2, unused, unused)) << spherical << ", two threads";
                }
            }
}

// A gauge where no water ever stood is dry in every report; a shore dried in a trough or flooded land is not.
TEST(Gauges, OneThatStayedDryIsSaidToHaveStayedDry) {
    ScratchFolder dir;
    // Times in minutes; on dry land the level rests on the ground (1.38 m); the last is flooded 0.22 m.
    const std::string history = dir.Write("OUT-TIME-HISTORIES_ETA.dat",
                                          "Time sea_10.000 shore_1.380 land_-1.380 flooded_-1.380 \n"
                                          "0.00000        0.0000      0.0000      0.0000      0.0000\n"
                                          "1.00000        0.5000     -1.3800      1.3800      1.3800\n"
                                          "2.00000       -0.3000      0.2000      1.3800      1.6000\n");
    const std::string list = dir.Write("gauges.txt", "sea 1 2\nshore 3 4\nland 5 6\nflooded 7 8\n");
    ASSERT_EQ(WriteGaugeSummary(list, history, dir / "OUT-SUMMARY-RESULT.dat"), kGaugeSummaryDone);
    const std::string table = ReadFile(dir / "OUT-SUMMARY-RESULT.dat");
    EXPECT_EQ(table.substr(table.find('\n') + 1),
              "sea\t10.000\t1\t2\t1\t1\t0.5\t-0.3\nshore\t1.380\t3\t4\t1\t2\t0.2\t-1.38\n"
              "land\t-1.380\t5\t6\tdry\tdry\tdry\tdry\nflooded\t-1.380\t7\t8\t1\t2\t1.6\t0\n");
    RunSummary summary;
    std::vector<GaugeSummary>& gauges = summary.levels.emplace_back().gauges;
    std::string error;
    ASSERT_TRUE(ReadGaugeSummaryFile(dir / "OUT-SUMMARY-RESULT.dat", &gauges, &error)) << error;
    ASSERT_TRUE(gauges.size() == 4 && !gauges[0].dry && !gauges[1].dry && gauges[2].dry && !gauges[3].dry);
    EXPECT_NE(RunSummaryJson(summary).find("\"name\": \"land\", \"depth\": -1.38, \"x\": 5, \"y\": 6, \"dry\": true, "
                                           "\"arrivalMinutes\": null, \"timeOfMaxMinutes\": null, \"maximum\": null"),
              std::string::npos);
    std::ostringstream printed;
    PrintRunSummary(summary, printed);
    EXPECT_NE(printed.str().find("land           0      stayed dry     -                 -"), std::string::npos);
    if (std::system("python3 -c pass >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3 for the picture helper";
    EXPECT_EQ(RunShell(std::string("cd '") + VESTRA_SOURCE_DIR + "/host' && python3 -c \"import vestra_plot as v\n"
                       "rows = [l.split() for l in open('" + history + "')]\n"
                       "print(''.join(str(int(v.stayed_dry(t.partition('_')[2], [r[k + 1] for r in rows[1:]])))"
                       " for k, t in enumerate(rows[0][1:])), end='')\""),
              "0010");
}
