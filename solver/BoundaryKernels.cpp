// Radiating open edges, face depths, edge fluxes and the time-level copy.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "KernelCells.h"
#include "KernelChecks.h"
#include "Kernels.h"

using cells::kEpsilon;
using cells::kGravity;

// A wave leaving through an edge obeys d(eta)/dt + c d(eta)/dn = 0 with c = sqrt(g D); the
// edge cell takes one upwind step of that equation from its inner neighbour:
// eta_b' = eta_b + c * dt/dn * (eta_inner - eta_b), with dn the cell size across the edge.
// Dry edge cells stay as they are. All four edges read the current levels only, so they treat
// a wave alike; no level is rounded to zero (that would drain or feed the edge cells).
void RadiateOpenBoundariesSpherical(GridLevel& level, const KernelSettings& settings) {
    if (!kernels::HasSphericalFields(level)) return;
    const int nx = level.nx;
    const int ny = level.ny;
    const View eta = level.eta.view();
    const View etaNext = level.etaNext.view();
    const View totalDepthNext = level.totalDepthNext.view();
    const ConstView depth = level.depth.cview();
    const ConstView metricX = level.metricX.cview();
    const float* cosLatitude = level.cosLatitude.data();
    const double factor = settings.timeStepFactor;

    // b is the radiating cell, o the outermost cell beyond it that receives a copy; metric is
    // dt over the cell size across the edge (metricX holds dt / (R cos(phi) dLambda); times
    // cos(phi) it is the meridional dt / (R dPhi)).
    auto radiate = [&](int bi, int bj, int oi, int oj, double metric, double difference) {
        const double d = static_cast<double>(eta[bi][bj]) + depth[bi][bj];
        if (d <= kEpsilon) return;
        const double e = eta[bi][bj] + std::sqrt(d * kGravity) * (metric * factor) * difference;
        etaNext[bi][bj] = static_cast<float>(e);
        totalDepthNext[bi][bj] = static_cast<float>(static_cast<double>(etaNext[bi][bj]) + depth[bi][bj]);
        etaNext[oi][oj] = etaNext[bi][bj];
        totalDepthNext[oi][oj] = totalDepthNext[bi][bj];
    };

    if (nx >= 3) {
#pragma omp parallel for schedule(static) num_threads(kernels::EdgeTeamSize(settings, ny))
        for (int j = 1; j <= ny; ++j) {
            radiate(2, j, 1, j, metricX[2][j], static_cast<double>(eta[3][j]) - eta[2][j]);
            radiate(nx - 1, j, nx, j, metricX[nx - 1][j], static_cast<double>(eta[nx - 2][j]) - eta[nx - 1][j]);
        }
    }
    if (ny >= 3) {
#pragma omp parallel for schedule(static) num_threads(kernels::EdgeTeamSize(settings, nx))
        for (int i = 1; i <= nx; ++i) {
            radiate(i, 2, i, 1, static_cast<double>(metricX[i][2]) * cosLatitude[2],
                    static_cast<double>(eta[i][3]) - eta[i][2]);
            radiate(i, ny - 1, i, ny, static_cast<double>(metricX[i][ny - 1]) * cosLatitude[ny - 1],
                    static_cast<double>(eta[i][ny - 2]) - eta[i][ny - 1]);
        }
    }
}

void RadiateOpenBoundariesCartesian(GridLevel& level, double ratio, const KernelSettings& settings) {
    if (!kernels::HasLevelFields(level)) return;
    const int nx = level.nx;
    const int ny = level.ny;
    const View eta = level.eta.view();
    const View etaNext = level.etaNext.view();
    const View totalDepthNext = level.totalDepthNext.view();
    const ConstView depth = level.depth.cview();
    const double courantBase = ratio * settings.timeStepFactor;

    auto radiate = [&](int bi, int bj, double difference) {
        const double d = static_cast<double>(etaNext[bi][bj]) + depth[bi][bj];
        if (d <= 0.0001) return;
        const double e = eta[bi][bj] + std::sqrt(d * kGravity) * courantBase * difference;
        etaNext[bi][bj] = static_cast<float>(e);
        totalDepthNext[bi][bj] = static_cast<float>(static_cast<double>(etaNext[bi][bj]) + depth[bi][bj]);
    };

#pragma omp parallel for schedule(static) num_threads(kernels::EdgeTeamSize(settings, ny))
    for (int j = 1; j <= ny; ++j) {
        radiate(1, j, static_cast<double>(eta[2][j]) - eta[1][j]);
        radiate(nx, j, static_cast<double>(eta[nx - 1][j]) - eta[nx][j]);
    }
#pragma omp parallel for schedule(static) num_threads(kernels::EdgeTeamSize(settings, nx))
    for (int i = 1; i <= nx; ++i) {
        radiate(i, 1, static_cast<double>(eta[i][2]) - eta[i][1]);
        radiate(i, ny, static_cast<double>(eta[i][ny - 1]) - eta[i][ny]);
    }
}

namespace {

// Face depths of one column's rows lo..hi, and the largest still-water depth among its moved cells
// (a trough counts on spherical levels; on Cartesian ones only a raised level does). Two loops:
// GCC keeps a loop scalar that mixes the float maximum with the double face arithmetic.
float FaceDepthsOfColumn(const float* d0, const float* d1, const float* n0, const float* n1, const float* e,
                         const float* h, float* faceM, float* faceN, int lo, int hi, bool spherical) {
#pragma omp simd
    for (int j = lo; j <= hi; ++j) {
        faceM[j] = cells::FaceAverageDepth(d0[j], n0[j], n1[j], d1[j]);
        faceN[j] = cells::FaceAverageDepth(d0[j], n0[j], n0[j + 1], d0[j + 1]);
    }
    float reached = 0.0f;
#pragma omp simd reduction(max : reached)
    for (int j = lo; j <= hi; ++j) {
        const bool moved = (e[j] > 0.0f) | (spherical & (e[j] < 0.0f));
        reached = std::max(reached, moved ? h[j] : 0.0f);
    }
    return reached;
}

// Face depths and the reached maximum over columns 2..nx-1, rows 2..ny-1; with landCutoff, also
// zeroes the current and next fluxes of every cell of the momentum sweep (columns 2..nx, rows
// 2..ny) lying below landCutoffDepth, in the same pass over the depths.
float FaceDepthPass(GridLevel& level, const KernelSettings& settings, bool landCutoff) {
    const int nx = level.nx;
    const int ny = level.ny;
    const ConstView totalDepth = level.totalDepth.cview();
    const ConstView totalDepthNext = level.totalDepthNext.cview();
    const ConstView etaNext = level.etaNext.cview();
    const ConstView depth = level.depth.cview();
    const View totalDepthM = level.totalDepthM.view();
    const View totalDepthN = level.totalDepthN.view();
    const View fluxM = level.fluxM.view();
    const View fluxN = level.fluxN.view();
    const View fluxMNext = level.fluxMNext.view();
    const View fluxNNext = level.fluxNNext.view();
    const bool spherical = level.IsSpherical();
    const float cutoff = settings.landCutoffDepth;

    // Largest still-water depth the wave has reached: each thread keeps its own maximum and
    // the team merges them once; max is exact, so the result is the same for any team.
    // Only the active window: outside it the face depths and zeroed fluxes stand as this pass
    // would leave them, and the maximum (used by adaptive steps only, which update the whole
    // level) counts the window alone.
    const kernels::Span columns = kernels::ColumnsInWindow(level, 2, nx);
    const kernels::Span rows = kernels::RowsInWindow(level, 2, ny);
    const int lastFaceRow = std::min(rows.hi, ny - 1);
    float reached = 0.0f;
#pragma omp parallel for schedule(static) num_threads(KernelTeamSize(settings)) reduction(max : reached)
    for (int i = columns.lo; i <= columns.hi; ++i) {
        const float* h = depth[i];
        if (i <= nx - 1) {
            const float* d0 = totalDepth[i];
            const float* d1 = totalDepth[i + 1];
            const float* n0 = totalDepthNext[i];
            const float* n1 = totalDepthNext[i + 1];
            const float* e = etaNext[i];
            float* faceM = totalDepthM[i];
            float* faceN = totalDepthN[i];
            const float columnReached = FaceDepthsOfColumn(d0, d1, n0, n1, e, h, faceM, faceN, rows.lo, lastFaceRow, spherical);
            reached = std::max(reached, columnReached);
        }
        // Most columns hold no land below the cut-off: one read of the depths shows it.
        int landCells = 0;
        if (landCutoff) {
#pragma omp simd reduction(+ : landCells)
            for (int j = rows.lo; j <= rows.hi; ++j) landCells += h[j] < cutoff ? 1 : 0;
        }
        if (landCells > 0) {
            float* m = fluxM[i];
            float* n = fluxN[i];
            float* mNext = fluxMNext[i];
            float* nNext = fluxNNext[i];
#pragma omp simd
            for (int j = rows.lo; j <= rows.hi; ++j) {
                const bool land = h[j] < cutoff;
                m[j] = land ? 0.0f : m[j];
                n[j] = land ? 0.0f : n[j];
                mNext[j] = land ? 0.0f : mNext[j];
                nNext[j] = land ? 0.0f : nNext[j];
            }
        }
    }
    // The Cartesian sweep reads a neighbour's x-face depth as this pass stored it. In column nx - 1
    // that value lives only until the edge rule overwrites it at the end of the step, so cells
    // left out of the window do not hold it: it is worked out for the whole column every step.
    if (!spherical && nx >= 3 && (columns.lo > nx - 1 || columns.hi < nx - 1 || rows.lo > 2 || lastFaceRow < ny - 1)) {
        const int i = nx - 1;
        for (int j = 2; j <= ny - 1; ++j) {
            totalDepthM[i][j] =
                cells::FaceAverageDepth(totalDepth[i][j], totalDepthNext[i][j], totalDepthNext[i + 1][j], totalDepth[i + 1][j]);
        }
    }
    return reached;
}

}  // namespace

float AverageFaceDepths(GridLevel& level, const KernelSettings& settings) {
    if (!kernels::HasLevelFields(level)) return 0.0f;
    return FaceDepthPass(level, settings, false);
}

float AverageFaceDepthsWithLandCutoff(GridLevel& level, const KernelSettings& settings) {
    if (!kernels::HasLevelFields(level)) return 0.0f;
    return FaceDepthPass(level, settings, true);
}

namespace {

struct EdgeFields {
    View fluxM, fluxN, fluxMNext, fluxNNext, totalDepthM, totalDepthN;
    ConstView depth, etaNext;

    explicit EdgeFields(GridLevel& level)
        : fluxM(level.fluxM.view()),
          fluxN(level.fluxN.view()),
          fluxMNext(level.fluxMNext.view()),
          fluxNNext(level.fluxNNext.view()),
          totalDepthM(level.totalDepthM.view()),
          totalDepthN(level.totalDepthN.view()),
          depth(level.depth.cview()),
          etaNext(level.etaNext.cview()) {}

    // Edge cell e takes the mean of the next flux of its inner neighbour n and its own current
    // flux, which damps the two-step (leap-frog) mode at the edge.
    void SmoothFluxes(int ei, int ej, int ni, int nj) const {
        fluxMNext[ei][ej] = static_cast<float>(0.5 * (static_cast<double>(fluxMNext[ni][nj]) + fluxM[ei][ej]));
        fluxNNext[ei][ej] = static_cast<float>(0.5 * (static_cast<double>(fluxNNext[ni][nj]) + fluxN[ei][ej]));
    }
    float CellTotalDepth(int i, int j) const {
        return static_cast<float>(static_cast<double>(depth[i][j]) + etaNext[i][j]);
    }
    void SmoothWithBothDepths(int ei, int ej, int ni, int nj) const {
        SmoothFluxes(ei, ej, ni, nj);
        const float d = CellTotalDepth(ei, ej);
        totalDepthM[ei][ej] = d;
        totalDepthN[ei][ej] = d;
    }
};

}  // namespace

// The face between a radiating edge cell and the first cell of the mass update carries the
// mean of the next flux one face inwards and its own current flux, on all four edges alike: a
// wave running along the edge (no flux across it) then keeps its water, instead of emptying into
// an edge cell whose level only follows the radiation condition.
void SmoothEdgeFluxesSpherical(GridLevel& level, const KernelSettings& settings) {
    if (!kernels::HasLevelFields(level)) return;
    const int nx = level.nx;
    const int ny = level.ny;
    const EdgeFields f(level);
    auto smoothN = [&](int i, int face, int inner) {
        f.fluxNNext[i][face] = static_cast<float>(0.5 * (static_cast<double>(f.fluxNNext[i][inner]) + f.fluxN[i][face]));
    };
    auto smoothM = [&](int face, int inner, int j) {
        f.fluxMNext[face][j] = static_cast<float>(0.5 * (static_cast<double>(f.fluxMNext[inner][j]) + f.fluxM[face][j]));
    };
#pragma omp parallel for schedule(static) num_threads(kernels::EdgeTeamSize(settings, nx))
    for (int i = 1; i <= nx; ++i) {
        f.SmoothWithBothDepths(i, 1, i, 2);
        f.SmoothWithBothDepths(i, ny, i, ny - 1);
        if (ny >= 6) {
            smoothN(i, 2, 3);
            smoothN(i, ny - 2, ny - 3);
        }
    }
#pragma omp parallel for schedule(static) num_threads(kernels::EdgeTeamSize(settings, ny))
    for (int j = 1; j <= ny; ++j) {
        f.SmoothWithBothDepths(1, j, 2, j);
        f.SmoothWithBothDepths(nx, j, nx - 1, j);
        if (nx >= 6) {
            smoothM(2, 3, j);
            smoothM(nx - 2, nx - 3, j);
        }
    }
}

// South and west: the edge cell's own faces. North and east, their mirror images: the edge
// cell's along-edge flux, the face between it and its inner neighbour, and no flux from the edge
// cell into the halo beyond.
void SmoothEdgeFluxesCartesian(GridLevel& level, const KernelSettings& settings) {
    if (!kernels::HasLevelFields(level)) return;
    const int nx = level.nx;
    const int ny = level.ny;
    const EdgeFields f(level);
    auto mean = [](float inner, float own) { return static_cast<float>(0.5 * (static_cast<double>(inner) + own)); };
#pragma omp parallel for schedule(static) num_threads(kernels::EdgeTeamSize(settings, nx))
    for (int i = 1; i <= nx; ++i) {
        f.SmoothWithBothDepths(i, 1, i, 2);
        if (ny >= 3) {
            f.fluxMNext[i][ny] = mean(f.fluxMNext[i][ny - 1], f.fluxM[i][ny]);
            f.fluxNNext[i][ny - 1] = mean(f.fluxNNext[i][ny - 2], f.fluxN[i][ny - 1]);
            f.fluxNNext[i][ny] = 0.0f;
            const float d = f.CellTotalDepth(i, ny);
            f.totalDepthM[i][ny] = d;
            f.totalDepthN[i][ny - 1] = d;
        }
    }
#pragma omp parallel for schedule(static) num_threads(kernels::EdgeTeamSize(settings, ny))
    for (int j = 1; j <= ny; ++j) {
        f.SmoothFluxes(1, j, 2, j);
        f.totalDepthM[1][j] = f.CellTotalDepth(1, j);
        if (nx >= 3) {
            f.fluxNNext[nx][j] = mean(f.fluxNNext[nx - 1][j], f.fluxN[nx][j]);
            f.fluxMNext[nx - 1][j] = mean(f.fluxMNext[nx - 2][j], f.fluxM[nx - 1][j]);
            f.fluxMNext[nx][j] = 0.0f;
            f.totalDepthM[nx - 1][j] = f.CellTotalDepth(nx, j);
        }
    }
}

namespace {

// Copies rows a..b of one column from next to current and widens [lo, hi] by the rows whose
// bits differed (bitwise, so that -0 and 0 or two NaNs count as they are stored).
void CopyRowsNoting(float* current, const float* next, int a, int b, int& lo, int& hi) {
    if (b < a) return;
    const std::size_t bytes = static_cast<std::size_t>(b - a + 1) * sizeof(float);
    if (std::memcmp(current + a, next + a, bytes) == 0) return;
    int first = a;
    while (std::memcmp(current + first, next + first, sizeof(float)) == 0) ++first;
    int last = b;
    while (std::memcmp(current + last, next + last, sizeof(float)) == 0) --last;
    std::memcpy(current + first, next + first, static_cast<std::size_t>(last - first + 1) * sizeof(float));
    lo = std::min(lo, first);
    hi = std::max(hi, last);
}

// Rows of the edge strips that the edge kernels update on every step, whatever the window.
constexpr int kEdgeStrip = 3;

}  // namespace

void AdvanceTimeLevel(GridLevel& level, const KernelSettings& settings) {
    if (!kernels::HasLevelFields(level)) return;
    const int nx = level.nx;
    const int ny = level.ny;
    float* const current[4] = {level.eta.Data(), level.fluxM.Data(), level.fluxN.Data(), level.totalDepth.Data()};
    const float* const next[4] = {level.etaNext.Data(), level.fluxMNext.Data(), level.fluxNNext.Data(),
                                  level.totalDepthNext.Data()};
    const std::ptrdiff_t stride = level.eta.Stride();
    ActiveWindow& window = level.activeWindow;
    // The edge rules write the outer three rows and columns; an absorbing layer writes its cells
    // and the faces between them and the user's cells.
    const int strip = kEdgeStrip + (level.absorbingLayer ? level.layerCells : 0);
    // Outside the window and the edge strips the next level equals the current one. Each column
    // copies its edge rows and its window rows (rows 1..ny of a column are contiguous; the halo
    // stays as it is) and notes the box of the cells that changed.
    const kernels::Span windowColumns = kernels::ColumnsInWindow(level, 1, nx);
    const kernels::Span windowRows = kernels::RowsInWindow(level, 1, ny);
    int iLo = nx + 1, iHi = 0, jLo = ny + 1, jHi = 0;
#pragma omp parallel for schedule(static) num_threads(KernelTeamSize(settings)) \
    reduction(min : iLo, jLo) reduction(max : iHi, jHi)
    for (int i = 1; i <= nx; ++i) {
        int lo = ny + 1, hi = 0;
        const bool edgeColumn = i <= strip || i > nx - strip;
        const bool windowColumn = i >= windowColumns.lo && i <= windowColumns.hi;
        for (int f = 0; f < 4; ++f) {
            float* c = current[f] + i * stride;
            const float* n = next[f] + i * stride;
            if (edgeColumn || (windowColumn && windowRows.lo <= strip + 1 && windowRows.hi >= ny - strip)) {
                CopyRowsNoting(c, n, 1, ny, lo, hi);
                continue;
            }
            CopyRowsNoting(c, n, 1, std::min(strip, ny), lo, hi);
            if (windowColumn) CopyRowsNoting(c, n, windowRows.lo, windowRows.hi, lo, hi);
            CopyRowsNoting(c, n, std::max(ny - strip + 1, 1), ny, lo, hi);
        }
        if (hi >= lo) {
            iLo = std::min(iLo, i);
            iHi = std::max(iHi, i);
            jLo = std::min(jLo, lo);
            jHi = std::max(jHi, hi);
        }
    }
    // Faces whose flux the mass update limited changed before this copy could see it.
    if (window.limitedIMin <= window.limitedIMax) {
        iLo = std::min(iLo, window.limitedIMin);
        iHi = std::max(iHi, window.limitedIMax);
        jLo = std::min(jLo, window.limitedJMin);
        jHi = std::max(jHi, window.limitedJMax);
    }
    window.limitedIMin = window.limitedJMin = ActiveWindow::kWhole;
    window.limitedIMax = window.limitedJMax = -ActiveWindow::kWhole;
    if (!window.tracking || window.wholeSteps > 0) {
        if (window.wholeSteps > 0) --window.wholeSteps;
        return;
    }
    if (iHi < iLo) {  // nothing changed: the next step changes nothing either
        window.iMin = window.jMin = 1;
        window.iMax = window.jMax = 0;
        return;
    }
    window.iMin = iLo - kActiveMargin;
    window.iMax = iHi + kActiveMargin;
    window.jMin = jLo - kActiveMargin;
    window.jMax = jHi + kActiveMargin;
}

void ResetActiveRegions(GridLevel& level) {
    const bool tracking = level.activeWindow.tracking;
    level.activeWindow = ActiveWindow{};
    level.activeWindow.tracking = tracking;
}

void ResetActiveRegions(std::vector<GridLevel>& levels) {
    for (GridLevel& level : levels) ResetActiveRegions(level);
}

void KeepActive(GridLevel& level, int32_t iMin, int32_t iMax, int32_t jMin, int32_t jMax) {
    if (iMin > iMax || jMin > jMax) return;
    ActiveWindow& w = level.activeWindow;
    // Grown and held within +-kWhole (the box may come from absurd headers).
    auto grow = [](int32_t v, int32_t by) {
        return static_cast<int32_t>(std::clamp<int64_t>(int64_t{v} + by, -ActiveWindow::kWhole, ActiveWindow::kWhole));
    };
    iMin = grow(iMin, -kActiveMargin);
    iMax = grow(iMax, kActiveMargin);
    jMin = grow(jMin, -kActiveMargin);
    jMax = grow(jMax, kActiveMargin);
    if (w.iMin > w.iMax || w.jMin > w.jMax) {  // nothing was due to change
        w.iMin = iMin;
        w.iMax = iMax;
        w.jMin = jMin;
        w.jMax = jMax;
        return;
    }
    w.iMin = std::min(w.iMin, iMin);
    w.iMax = std::max(w.iMax, iMax);
    w.jMin = std::min(w.jMin, jMin);
    w.jMax = std::max(w.jMax, jMax);
}
