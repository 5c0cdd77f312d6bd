// Throughput of the kernels in million cell-updates per second (counter "Mcells/s"), with the
// memory bandwidth of the same machine for scale (memcpy and a STREAM-style triad, "GB/s").
//
//   peer/...     the comparison problem: 1000 x 1000 cells of 1 arc-minute (longitude 140 to
//                156.65, latitude -8.325 to 8.325), flat sea 4000 m deep, a 1 m Gaussian hump
//                (sigma 0.5 degrees) in the middle, dt = 3 s, Manning 0.015, every extreme field;
//                measured after 200 steps, when the wave covers about a tenth of the grid.
//   active/...   every cell wet and moving (waves over the whole grid), the costliest case; a whole
//                sub-step, or (active/momentum) the momentum update alone.
//   dispersive/... the same with the dispersive correction of the momentum update.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "Dispersion.h"
#include "KernelFixture.h"
#include "Kernels.h"

namespace {

struct BenchLevel {
    GridLevel level;
    bool spherical = true;
    double ratio = 0.0;  // Cartesian dt/dx
    double dt = 0.0;
    int steps = 0;
};

KernelSettings SettingsFor(const BenchLevel& b, int threads) {
    KernelSettings s;
    s.threadCount = threads;
    s.timeStep = static_cast<float>(b.dt);
    return s;
}

void SubStep(BenchLevel& b, const KernelSettings& s) {
    ++b.steps;
    const double t = b.steps * b.dt;
    if (b.spherical) {
        fixture::StepSpherical(b.level, t, s);
    } else {
        fixture::StepCartesian(b.level, b.ratio, t, s);
    }
}

BenchLevel& PeerProblem() {
    static std::unique_ptr<BenchLevel> peer;
    if (!peer) {
        peer = std::make_unique<BenchLevel>();
        peer->dt = 3.0;
        peer->level = fixture::SphericalLevel(1000, 1000, 140.0, -8.325, 1.0, peer->dt, 0.015f, true);
        fixture::SetDepth(peer->level, [](int, int) { return 4000.0; });
        const double sigmaCells = 30.0;  // 0.5 degrees
        fixture::SetLevel(peer->level, [&](int i, int j) {
            const double r2 = (i - 500.5) * (i - 500.5) + (j - 500.5) * (j - 500.5);
            return std::exp(-r2 / (2.0 * sigmaCells * sigmaCells));
        });
        const KernelSettings s = SettingsFor(*peer, 2);
        for (int n = 0; n < 200; ++n) SubStep(*peer, s);
    }
    return *peer;
}

std::unique_ptr<BenchLevel> ActiveProblem(bool spherical, int nx, int ny) {
    auto b = std::make_unique<BenchLevel>();
    b->spherical = spherical;
    if (spherical) {
        b->dt = 3.0;
        b->level = fixture::SphericalLevel(nx, ny, 140.0, -8.0, 1.0, b->dt, 0.015f, true);
        fixture::SetDepth(b->level, [](int, int) { return 4000.0; });
    } else {
        b->dt = 2.0;
        b->ratio = b->dt / 200.0;
        b->level = fixture::CartesianLevel(nx, ny, 0.015f);
        fixture::SetDepth(b->level, [](int, int) { return 100.0; });
    }
    const double k = 2.0 * std::numbers::pi / 40.0;
    fixture::SetLevel(b->level, [&](int i, int j) { return 0.5 * std::sin(k * i) * std::sin(k * j) + 0.1; });
    b->level.fluxM.Fill(1.0f);
    b->level.fluxN.Fill(0.5f);
    return b;
}

void SetCellRate(benchmark::State& state, const GridLevel& level) {
    const double cells = static_cast<double>(level.nx) * level.ny;
    state.counters["Mcells/s"] =
        benchmark::Counter(cells * static_cast<double>(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

void PeerSubStep(benchmark::State& state, int threads) {
    BenchLevel& b = PeerProblem();
    const KernelSettings s = SettingsFor(b, threads);
    for (auto _ : state) SubStep(b, s);
    SetCellRate(state, b.level);
}

void PeerContinuity(benchmark::State& state, int threads) {
    BenchLevel& b = PeerProblem();
    const KernelSettings s = SettingsFor(b, threads);
    for (auto _ : state) ContinuitySpherical(b.level, b.steps * b.dt / 60.0, s);
    SetCellRate(state, b.level);
}

void PeerMomentum(benchmark::State& state, int threads) {
    BenchLevel& b = PeerProblem();
    const KernelSettings s = SettingsFor(b, threads);
    for (auto _ : state) benchmark::DoNotOptimize(MomentumSpherical(b.level, std::trunc(b.steps * b.dt), s));
    SetCellRate(state, b.level);
}

void PeerAverageFaceDepths(benchmark::State& state, int threads) {
    BenchLevel& b = PeerProblem();
    const KernelSettings s = SettingsFor(b, threads);
    for (auto _ : state) benchmark::DoNotOptimize(AverageFaceDepths(b.level, s));
    SetCellRate(state, b.level);
}

void PeerAdvance(benchmark::State& state, int threads) {
    BenchLevel& b = PeerProblem();
    const KernelSettings s = SettingsFor(b, threads);
    for (auto _ : state) AdvanceTimeLevel(b.level, s);
    SetCellRate(state, b.level);
}

void ActiveSubStep(benchmark::State& state, bool spherical, int nx, int ny, int threads, bool dispersion) {
    std::unique_ptr<BenchLevel> b = ActiveProblem(spherical, nx, ny);
    KernelSettings s = SettingsFor(*b, threads);
    if (dispersion) {
        AllocateDispersionScratch(b->level);
        s.dispersion = true;
    }
    SubStep(*b, s);  // first touch outside the timing
    for (auto _ : state) SubStep(*b, s);
    SetCellRate(state, b->level);
}

// The momentum update alone of a level where every cell moves (the state stays as it is).
void ActiveMomentum(benchmark::State& state, int nx, int ny, int threads) {
    std::unique_ptr<BenchLevel> b = ActiveProblem(true, nx, ny);
    const KernelSettings s = SettingsFor(*b, threads);
    SubStep(*b, s);  // first touch outside the timing
    for (auto _ : state) benchmark::DoNotOptimize(MomentumSpherical(b->level, std::trunc(b->steps * b->dt), s));
    SetCellRate(state, b->level);
}

// Bytes moved per second by memcpy (read + write) over buffers much larger than the caches.
void Memcpy(benchmark::State& state, int threads) {
    const std::size_t bytes = std::size_t{512} << 20;
    std::vector<char> from(bytes, 1), to(bytes, 0);
    for (auto _ : state) {
#pragma omp parallel for schedule(static) num_threads(threads)
        for (int part = 0; part < threads; ++part) {
            const std::size_t begin = bytes / threads * part;
            const std::size_t end = part == threads - 1 ? bytes : bytes / threads * (part + 1);
            std::memcpy(to.data() + begin, from.data() + begin, end - begin);
        }
        benchmark::ClobberMemory();
    }
    state.counters["GB/s"] =
        benchmark::Counter(2.0 * bytes * static_cast<double>(state.iterations()) / 1e9, benchmark::Counter::kIsRate);
}

// STREAM triad a = b + s c over doubles, 24 bytes per element.
void Triad(benchmark::State& state, int threads) {
    const std::size_t n = std::size_t{1} << 25;
    std::vector<double> a(n), b(n), c(n);
#pragma omp parallel for schedule(static) num_threads(threads)
    for (std::size_t k = 0; k < n; ++k) {
        a[k] = 0.0;
        b[k] = 1.0;
        c[k] = 2.0;
    }
    const double scalar = 3.0;
    for (auto _ : state) {
#pragma omp parallel for schedule(static) num_threads(threads)
        for (std::size_t k = 0; k < n; ++k) a[k] = b[k] + scalar * c[k];
        benchmark::ClobberMemory();
    }
    state.counters["GB/s"] =
        benchmark::Counter(24.0 * n * static_cast<double>(state.iterations()) / 1e9, benchmark::Counter::kIsRate);
}

int Register() {
    for (int threads : {1, 2}) {
        const std::string t = "/threads:" + std::to_string(threads);
        benchmark::RegisterBenchmark(("memcpy/512MiB" + t).c_str(), Memcpy, threads)->UseRealTime();
        benchmark::RegisterBenchmark(("triad/3x256MiB" + t).c_str(), Triad, threads)->UseRealTime();
    }
    for (int threads : {1, 2}) {
        const std::string t = "/threads:" + std::to_string(threads);
        benchmark::RegisterBenchmark(("peer/substep/1000x1000" + t).c_str(), PeerSubStep, threads)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("peer/continuity/1000x1000" + t).c_str(), PeerContinuity, threads)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("peer/momentum/1000x1000" + t).c_str(), PeerMomentum, threads)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("peer/facedepths/1000x1000" + t).c_str(), PeerAverageFaceDepths, threads)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("peer/advance/1000x1000" + t).c_str(), PeerAdvance, threads)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    for (int threads : {1, 2}) {
        benchmark::RegisterBenchmark(("active/momentum/spherical/512x512/threads:" + std::to_string(threads)).c_str(),
                                     ActiveMomentum, 512, 512, threads)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    for (bool dispersion : {false, true}) {
        for (bool spherical : {true, false}) {
            for (auto [nx, ny] : {std::pair{512, 512}, std::pair{2048, 1024}}) {
                for (int threads : {1, 2}) {
                    const std::string name = std::string(dispersion ? "dispersive" : "active") + "/substep/" +
                                             (spherical ? "spherical/" : "cartesian/") + std::to_string(nx) + "x" +
                                             std::to_string(ny) + "/threads:" + std::to_string(threads);
                    benchmark::RegisterBenchmark(name.c_str(), ActiveSubStep, spherical, nx, ny, threads, dispersion)
                        ->UseRealTime()
                        ->Unit(benchmark::kMillisecond);
                }
            }
        }
    }
    return 0;
}

const int registered = Register();

}  // namespace
