#include "RunSafety.h"

#include <omp.h>

#include <algorithm>
#include <cmath>

#include "ModelSetup.h"

namespace {

constexpr double kGravity = 9.80665;

// Deepest still water of row j, m (0 for a row of land).
double RowDeepest(const GridLevel& level, int32_t j) {
    float deepest = 0.0f;
    for (int32_t i = 1; i <= level.nx; ++i) deepest = std::max(deepest, level.depth(i, j));
    return deepest;
}

double LimitFor(double depth, double dx, double dy) {
    if (!(depth > 0.0)) return std::numeric_limits<double>::infinity();
    return 1.0 / (std::sqrt(kGravity * depth) * std::sqrt(1.0 / (dx * dx) + 1.0 / (dy * dy)));
}

}  // namespace

StepLimit StableStepLimit(const GridLevel& level, double cellSizeMetres) {
    StepLimit limit;
    if (!level.IsSpherical()) {
        limit.dx = limit.dy = cellSizeMetres;
        limit.depth = DeepestWater(level);
        limit.seconds = LimitFor(limit.depth, cellSizeMetres, cellSizeMetres);
        return limit;
    }
    const double cellDegrees = std::fabs((level.xMax - level.xMin) / (level.nx - 1));
    const double dy = kEarthRadiusMetric * cellDegrees * kDegreesToRadians;
    for (int32_t j = 1; j <= level.ny; ++j) {
        const double latitude = (level.yMin + (j - 0.5) * cellDegrees) * kDegreesToRadians;
        const double dx = dy * std::fabs(std::cos(latitude));
        const double depth = RowDeepest(level, j);
        const double seconds = LimitFor(depth, dx, dy);
        if (seconds < limit.seconds) limit = StepLimit{seconds, dx, dy, depth};
    }
    return limit;
}

double DeepestWater(const GridLevel& level) {
    double deepest = 0.0;
    for (int32_t j = 1; j <= level.ny; ++j) deepest = std::max(deepest, RowDeepest(level, j));
    return deepest;
}

float RunawayBound(double deepestWater) {
    // Tsunami amplitudes stay far below the depth of the water they cross, and run-up heights
    // below a hundred metres; the long-wave equations have lost their meaning well before a
    // level reaches ten times its deepest water. An unstable leap-frog grows geometrically,
    // by a large factor every step, so a generous bound costs only a few steps of detection
    // delay and never stops a sound run.
    return static_cast<float>(std::max(100.0, 10.0 * deepestWater));
}

RunawayCell FindRunawayCell(const GridLevel& level, float bound, int threads) {
    const int32_t nx = level.nx, ny = level.ny;
    const ConstView eta = level.eta.cview();
    const ConstView depth = level.depth.cview();
    // Written as !(value <= bound) so that NaN counts as runaway.
    auto runaway = [bound](float e, float h) {
        const float value = h > 0.0f ? std::fabs(e) : e + h;
        return !(value <= bound);
    };
    // Only the active window can hold a new runaway: it holds every cell that changed in the step
    // just done, and every other cell passed this check when it last changed.
    const ActiveWindow& w = level.activeWindow;
    const int32_t iFirst = std::max(1, w.iMin), iLast = std::min(nx, w.iMax);
    const int32_t jFirst = std::max(1, w.jMin), jLast = std::min(ny, w.jMax);
    int found = 0;
#pragma omp parallel for schedule(static) num_threads(threads) reduction(| : found)
    for (int32_t i = iFirst; i <= iLast; ++i) {
        const float* e = eta[i];
        const float* h = depth[i];
        int columnFound = 0;
#pragma omp simd reduction(| : columnFound)
        for (int32_t j = jFirst; j <= jLast; ++j) columnFound |= runaway(e[j], h[j]) ? 1 : 0;
        found |= columnFound;
    }
    RunawayCell cell;
    if (found == 0) return cell;
    for (int32_t i = 1; i <= nx && !cell.found; ++i)
        for (int32_t j = 1; j <= ny; ++j)
            if (runaway(eta[i][j], depth[i][j])) {
                cell.found = true;
                cell.i = i;
                cell.j = j;
                cell.onLand = !(depth[i][j] > 0.0f);
                cell.value = cell.onLand ? eta[i][j] + depth[i][j] : eta[i][j];
                break;
            }
    return cell;
}
