// The dispersive correction of the momentum update (see Dispersion.h for the equations).
//
// Discretisation on the staggered grid: with dM, dN the changes of the face fluxes, the
// divergence of a cell is
//   div(i, j) = (dM(i, j) - dM(i-1, j)) / sx(j) + (cE(j) dN(i, j) - cE(j-1) dN(i, j-1)) / (cC(j) dy)
// (sx(j): the row's x-spacing, R cos(phi) dlambda on the sphere; cC, cE: cosines of the centre and
// north-face latitudes, 1 on Cartesian levels), and the x-face (i, j) takes
//   dM(i, j) - k (div(i+1, j) - div(i, j)) / sx(j) = M* - M,   k = h^2 / 3,
// the y-face (i, j) likewise with (div(i, j+1) - div(i, j)) / dy. Together the faces form one
// symmetric positive definite system (the identity plus k times grad div). It is solved by block
// Gauss-Seidel sweeps from dM = dN = 0: the x-faces of every row at once (a tridiagonal system
// along i, the dN terms from the latest y-solution), then the y-faces of every column (along j,
// the dM terms from the x-solution just found). Each sweep is exact for waves along x or y; for
// oblique waves the sweeps converge by a factor of about (k kx^2 / (1 + k kx^2))^2 each, and since
// they start from zero every mode is corrected by a factor in (0, 1] of the exact one, never
// with the wrong sign. (Taking the cross terms from the long-wave changes instead, in a single
// sweep, turns the correction of short oblique modes around where h is more than about the
// cell size, and the run blows up.)
//
// The x-systems run with j innermost (threads over blocks of rows), the y-systems one column per
// thread. Scratch holds the right-hand sides, then the solutions (for every face of the solved
// range: its long-wave change where the face stays long-wave).
#include "Dispersion.h"

#include <algorithm>
#include <cmath>

#include "KernelCells.h"
#include "KernelChecks.h"
#include "ModelSetup.h"

namespace {

// Rows per block of the x-systems: wide enough for vector loops, small enough to share out.
constexpr int kRowBlock = 64;

// Gauss-Seidel sweeps per step. Two leave an oblique wave of kh = 1.4 (45 degrees) 0.3 % fast,
// three 0.01 %, at half again the cost of the correction.
constexpr int kSweeps = 2;

// Columns whose y-systems one thread eliminates side by side.
constexpr int kColumnGroup = 4;

// Marks a face that takes no part in the elimination (its eliminated upper entry is never
// positive otherwise).
constexpr double kPassive = 1.0;

struct Solver {
    ConstView depth, totalDepthNext, fluxM, fluxN;
    View fluxMNext, fluxNNext;
    FieldView<double> solutionM, solutionN, upper;
    View factorM, factorN;  // FactorM, FactorN of every face around the range, set once per step
    const double* cosCentre = nullptr;
    const double* cosEdge = nullptr;
    double xSpacing = 0.0;  // x-spacing at the equator (spherical) or everywhere (Cartesian), m
    double dy = 0.0;        // row spacing, m
    double minDepth = 0.0;
    double cutM = 0.0, cutN = 0.0;  // small-flux cuts, m^2/s
    int iLo = 0, iHi = 0, jLo = 0, jHi = 0;  // cells whose faces may take part

    double RowSpacing(int j) const { return xSpacing * cosCentre[j]; }

    bool Wet(int i, int j) const {
        return depth[i][j] > 0.0f && static_cast<double>(totalDepthNext[i][j]) > cells::kEpsilon;
    }
    // k = h^2 / 3 of the face between cells a and b, or -1 where the face stays long-wave.
    double FaceFactor(int ia, int ja, int ib, int jb) const {
        if (!Wet(ia, ja) || !Wet(ib, jb)) return -1.0;
        const double h = 0.5 * (static_cast<double>(depth[ia][ja]) + depth[ib][jb]);
        return h >= minDepth ? h * h / 3.0 : -1.0;
    }
    bool InRange(int i, int j) const { return i >= iLo && i <= iHi && j >= jLo && j <= jHi; }
    // The x-face (i, j): east face of cell (i, j); the y-face (i, j): its north face.
    double FaceFactorM(int i, int j) const { return InRange(i, j) && i < iHi ? FaceFactor(i, j, i + 1, j) : -1.0; }
    double FaceFactorN(int i, int j) const { return InRange(i, j) && j < jHi ? FaceFactor(i, j, i, j + 1) : -1.0; }
    // The same for the faces of the range and the ring around it, as stored at the start.
    double FactorM(int i, int j) const { return factorM[i][j]; }
    double FactorN(int i, int j) const { return factorN[i][j]; }
    double DeltaM(int i, int j) const { return static_cast<double>(fluxMNext[i][j]) - fluxM[i][j]; }
    double DeltaN(int i, int j) const { return static_cast<double>(fluxNNext[i][j]) - fluxN[i][j]; }
    // The latest change of a face: solved within the range, the long-wave change outside it.
    double ChangeM(int i, int j) const { return InRange(i, j) ? solutionM[i][j] : DeltaM(i, j); }
    double ChangeN(int i, int j) const { return InRange(i, j) ? solutionN[i][j] : DeltaN(i, j); }

    // Couplings of the y-face (i, j) with factor k to its south and north neighbours, and its diagonal.
    void CouplingsN(int j, double k, double* down, double* up, double* diagonal) const {
        const double scale = k / (dy * dy);
        *down = scale * cosEdge[j - 1] / cosCentre[j];
        *up = scale * cosEdge[j + 1] / cosCentre[j + 1];
        *diagonal = 1.0 + scale * cosEdge[j] * (1.0 / cosCentre[j + 1] + 1.0 / cosCentre[j]);
    }

    // Before the first sweep, column i from iLo - 1 to iHi + 1: the factors of its faces, and dN = 0
    // on the faces that take part, the long-wave change elsewhere.
    void StartColumn(int i) const {
        for (int j = jLo - 1; j <= jHi + 1; ++j) {
            factorM[i][j] = static_cast<float>(FaceFactorM(i, j));
            factorN[i][j] = static_cast<float>(FaceFactorN(i, j));
        }
        if (i < iLo || i > iHi) return;
        for (int j = jLo; j <= jHi; ++j) solutionN[i][j] = FaceFactorN(i, j) >= 0.0 ? 0.0 : DeltaN(i, j);
    }

    // Right-hand sides of the x-faces of column i; their couplings go into `upper` (-1: long-wave).
    void RightHandSidesM(int i) const {
        for (int j = jLo; j <= jHi; ++j) {
            const double k = FactorM(i, j);
            if (k < 0.0) {
                solutionM[i][j] = 0.0;
                upper[i][j] = -1.0;
                continue;
            }
            const double sx = RowSpacing(j);
            const double c = k / (sx * sx);
            // d/dx of the y-part of the divergence.
            const double east = cosEdge[j] * ChangeN(i + 1, j) - cosEdge[j - 1] * ChangeN(i + 1, j - 1);
            const double west = cosEdge[j] * ChangeN(i, j) - cosEdge[j - 1] * ChangeN(i, j - 1);
            double rhs = DeltaM(i, j) + k * (east - west) / (sx * cosCentre[j] * dy);
            // Long-wave neighbours are known values.
            if (FactorM(i - 1, j) < 0.0) rhs += c * DeltaM(i - 1, j);
            if (FactorM(i + 1, j) < 0.0) rhs += c * DeltaM(i + 1, j);
            solutionM[i][j] = rhs;
            upper[i][j] = c;
        }
    }

    // Right-hand sides of the y-faces of column i.
    void RightHandSidesN(int i) const {
        for (int j = jLo; j <= jHi; ++j) {
            const double k = FactorN(i, j);
            if (k < 0.0) {
                solutionN[i][j] = 0.0;
                continue;
            }
            // d/dy of the x-part of the divergence.
            const double north = (ChangeM(i, j + 1) - ChangeM(i - 1, j + 1)) / RowSpacing(j + 1);
            const double south = (ChangeM(i, j) - ChangeM(i - 1, j)) / RowSpacing(j);
            double rhs = DeltaN(i, j) + k * (north - south) / dy;
            double down, up, diagonal;
            CouplingsN(j, k, &down, &up, &diagonal);
            if (FactorN(i, j - 1) < 0.0) rhs += down * DeltaN(i, j - 1);
            if (FactorN(i, j + 1) < 0.0) rhs += up * DeltaN(i, j + 1);
            solutionN[i][j] = rhs;
        }
    }

    float Corrected(float before, double change, double cut) const {
        const double flux = static_cast<double>(before) + change;
        return std::fabs(flux) < cut ? 0.0f : static_cast<float>(flux);
    }

    // The x-systems of rows j0..j1: -c x(i-1) + (1 + 2c) x(i) - c x(i+1) = rhs, c from `upper`.
    // `last`: the corrected fluxes go into fluxMNext.
    void SolveRows(int j0, int j1, bool last) const {
        double* firstUpper = upper[iLo - 1];
        double* firstRhs = solutionM[iLo - 1];
        for (int j = j0; j <= j1; ++j) {
            firstUpper[j] = kPassive;
            firstRhs[j] = 0.0;
        }
        for (int i = iLo; i <= iHi; ++i) {
            const double* prevUpper = upper[i - 1];
            const double* prevRhs = solutionM[i - 1];
            const double* nextC = upper[i + 1];
            double* u = upper[i];
            double* r = solutionM[i];
            for (int j = j0; j <= j1; ++j) {
                const double c = u[j];
                const bool active = c >= 0.0;
                const double cc = active ? c : 0.0;
                const double prev = prevUpper[j] > 0.0 ? 0.0 : prevUpper[j];
                const double denominator = 1.0 + 2.0 * cc + cc * prev;
                const bool nextActive = i < iHi && nextC[j] >= 0.0;
                u[j] = active ? (nextActive ? -cc / denominator : 0.0) : kPassive;
                r[j] = active ? (r[j] + cc * prevRhs[j]) / denominator : 0.0;
            }
        }
        // Back substitution; long-wave faces take their long-wave change.
        for (int i = iHi; i >= iLo; --i) {
            const double* next = solutionM[i + 1];
            const double* u = upper[i];
            double* r = solutionM[i];
            const float* m = fluxM[i];
            float* mNext = fluxMNext[i];
            for (int j = j0; j <= j1; ++j) {
                if (u[j] > 0.0) {
                    r[j] = DeltaM(i, j);
                    continue;
                }
                r[j] -= u[j] * next[j];
                if (last) mNext[j] = Corrected(m[j], r[j], cutM);
            }
        }
    }

    // The y-systems of columns i0..i1 (at most kColumnGroup): their eliminations run side by side,
    // so that the chains of dependent divisions of one column overlap with the others'.
    void SolveColumns(int i0, int i1, bool last) const {
        const int count = i1 - i0 + 1;
        double prevUpper[kColumnGroup] = {}, prevRhs[kColumnGroup] = {}, k[kColumnGroup];
        for (int c = 0; c < count; ++c) k[c] = FactorN(i0 + c, jLo);
        for (int j = jLo; j <= jHi; ++j) {
            for (int c = 0; c < count; ++c) {
                const int i = i0 + c;
                const double kNext = FactorN(i, j + 1);
                if (k[c] < 0.0) {
                    upper[i][j] = kPassive;
                    prevUpper[c] = prevRhs[c] = 0.0;
                } else {
                    double down, up, diagonal;
                    CouplingsN(j, k[c], &down, &up, &diagonal);
                    const double inverse = 1.0 / (diagonal + down * prevUpper[c]);
                    prevUpper[c] = kNext >= 0.0 ? -up * inverse : 0.0;
                    prevRhs[c] = (solutionN[i][j] + down * prevRhs[c]) * inverse;
                    upper[i][j] = prevUpper[c];
                    solutionN[i][j] = prevRhs[c];
                }
                k[c] = kNext;
            }
        }
        for (int i = i0; i <= i1; ++i) {
            const double* u = upper[i];
            double* r = solutionN[i];
            const float* n = fluxN[i];
            float* nNext = fluxNNext[i];
            double x = 0.0;
            for (int j = jHi; j >= jLo; --j) {
                if (u[j] > 0.0) {
                    x = 0.0;
                    r[j] = DeltaN(i, j);
                    continue;
                }
                x = r[j] - u[j] * x;
                r[j] = x;
                if (last) nNext[j] = Corrected(n[j], x, cutN);
            }
        }
    }
};

bool ScratchMatches(const GridLevel& level, const FieldStorage<double>& field) {
    return !field.empty() && field.Columns() == level.nx + 3 && field.Stride() == level.ny + 3;
}

}  // namespace

void AllocateDispersionScratch(GridLevel& level) {
    for (FieldStorage<double>* f : {&level.dispersionRhsM, &level.dispersionRhsN, &level.dispersionUpper}) {
        f->Allocate(level.nx, level.ny);
        f->Fill(0.0);
    }
    for (Field* f : {&level.dispersionFactorM, &level.dispersionFactorN}) {
        f->Allocate(level.nx, level.ny);
        f->Fill(-1.0f);
    }
    const std::size_t rows = static_cast<std::size_t>(level.ny) + 3;
    level.dispersionCosCentre.assign(rows, 1.0);
    level.dispersionCosEdge.assign(rows, 1.0);
    if (!level.IsSpherical() || level.nx < 2) return;
    // Rows as the spherical metric places them: square cells of the column spacing in degrees.
    const double cell = std::fabs((level.xMax - level.xMin) / (level.nx - 1));
    for (std::size_t j = 0; j < rows; ++j) {
        const double row = static_cast<double>(j);
        level.dispersionCosCentre[j] = std::cos((level.yMin + (row - 0.5) * cell) * kDegreesToRadians);
        level.dispersionCosEdge[j] = std::cos((level.yMin + row * cell) * kDegreesToRadians);
    }
}

bool HasDispersionScratch(const GridLevel& level) {
    const std::size_t rows = static_cast<std::size_t>(level.ny) + 3;
    return ScratchMatches(level, level.dispersionRhsM) && ScratchMatches(level, level.dispersionRhsN) &&
           ScratchMatches(level, level.dispersionUpper) &&
           kernels::FieldsMatch(level, {&level.dispersionFactorM, &level.dispersionFactorN}) &&
           level.dispersionCosCentre.size() >= rows &&
           level.dispersionCosEdge.size() >= rows;
}

void ApplyDispersion(GridLevel& level, double ratio, const KernelSettings& settings) {
    if (!HasDispersionScratch(level) || !kernels::HasLevelFields(level) || level.nx < 2 || level.ny < 2) return;
    const bool spherical = level.IsSpherical();
    Solver s;
    s.depth = level.depth.cview();
    s.totalDepthNext = level.totalDepthNext.cview();
    s.fluxM = level.fluxM.cview();
    s.fluxN = level.fluxN.cview();
    s.fluxMNext = level.fluxMNext.view();
    s.fluxNNext = level.fluxNNext.view();
    s.solutionM = level.dispersionRhsM.view();
    s.solutionN = level.dispersionRhsN.view();
    s.upper = level.dispersionUpper.view();
    s.factorM = level.dispersionFactorM.view();
    s.factorN = level.dispersionFactorN.view();
    s.cosCentre = level.dispersionCosCentre.data();
    s.cosEdge = level.dispersionCosEdge.data();
    if (spherical) {
        const double cell = std::fabs((level.xMax - level.xMin) / (level.nx - 1)) * kDegreesToRadians;
        s.xSpacing = kEarthRadiusMetric * cell;
        s.dy = s.xSpacing;
    } else {
        // Every Cartesian level keeps timeStep / spacing of level 0; settings.timeStep is its own step.
        s.xSpacing = ratio > 0.0 ? static_cast<double>(settings.timeStep) / ratio : 0.0;
        s.dy = s.xSpacing;
    }
    if (!(s.xSpacing > 0.0) || !std::isfinite(s.xSpacing)) return;
    s.minDepth = settings.dispersionMinDepth;
    s.cutM = settings.smallFluxCut >= 0.0f ? settings.smallFluxCut : 1e-4;
    s.cutN = settings.smallFluxCut >= 0.0f ? settings.smallFluxCut : (spherical ? 1e-4 : 1e-3);
    // The cells that the level's own mass update computes and no edge rule resets (a spherical
    // level radiates through its second and second-to-last rows and columns), within the user's
    // grid, less their outermost ring. The faces outside them are set by other rules after this
    // correction (the edge fluxes, a boundary series' band on the open edge, the absorbing layer)
    // or come from the parent. A face of the systems beside one of them would take its old value
    // as the boundary value while the rule moves it with the new one, and that mismatch feeds a
    // mode that grows at the border. The ring's faces keep their long-wave fluxes, which nothing
    // changes afterwards, and bound the systems.
    const bool nested = settings.parentRing > 0;
    const GridWindow w = level.UserWindow();
    s.iLo = std::max(spherical || nested ? 3 : 2, w.offset + 1) + 1;
    s.jLo = std::max(spherical || nested ? 3 : 2, w.offset + 1) + 1;
    s.iHi = std::min(level.nx - (spherical || nested ? 2 : 1), w.offset + w.nx) - 1;
    s.jHi = std::min(level.ny - (spherical || nested ? 2 : 1), w.offset + w.ny) - 1;
    if (s.iLo >= s.iHi || s.jLo >= s.jHi) return;

    const int team = KernelTeamSize(settings);
    const int blocks = (s.jHi - s.jLo + kRowBlock) / kRowBlock;
    const int groups = (s.iHi - s.iLo + kColumnGroup) / kColumnGroup;
#pragma omp parallel num_threads(team)
    {
#pragma omp for schedule(static)
        for (int i = s.iLo - 1; i <= s.iHi + 1; ++i) s.StartColumn(i);
        for (int sweep = 1; sweep <= kSweeps; ++sweep) {
            const bool last = sweep == kSweeps;
#pragma omp for schedule(static)
            for (int i = s.iLo; i <= s.iHi; ++i) s.RightHandSidesM(i);
#pragma omp for schedule(static)
            for (int b = 0; b < blocks; ++b) {
                const int j0 = s.jLo + b * kRowBlock;
                s.SolveRows(j0, std::min(s.jHi, j0 + kRowBlock - 1), last);
            }
#pragma omp for schedule(static)
            for (int i = s.iLo; i <= s.iHi; ++i) s.RightHandSidesN(i);
#pragma omp for schedule(static)
            for (int g = 0; g < groups; ++g) {
                const int i0 = s.iLo + g * kColumnGroup;
                s.SolveColumns(i0, std::min(s.iHi, i0 + kColumnGroup - 1), last);
            }
        }
    }
}
