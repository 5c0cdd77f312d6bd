#include "StepControl.h"

#include <cmath>

#include "KernelCells.h"

float ChooseStepLength(const StepLengthRequest& request) {
    float length = request.timeStep;
    const float h = request.stepMaximum;
    if (h > 0.0f && request.adaptive) {
        const double celerityTwice = std::sqrt(static_cast<double>(h) * 39.2);  // 2 sqrt(g h), g = 9.8
        length = static_cast<float>(request.rowSpacingMetres / celerityTwice);
        const float s = length;  // times the step factor, which is 1 when the length is chosen
        const float fourHSquared = 4.0f * h * h;
        const double q = std::sqrt(static_cast<double>(s) * s * (static_cast<double>(h) * 9.8) + fourHSquared);
        const float r = static_cast<float>(q / celerityTwice);
        if (length >= 0.707 * r && r > 0.1f) length = static_cast<float>(0.707 * r - 0.01);
    }
    // Output alignment: end the step on the frame time it would otherwise cross.
    const int64_t period = static_cast<int64_t>(request.snapshotInterval);
    if (period > 0) {
        const int64_t end = static_cast<int64_t>(length + request.t);
        const int64_t start = static_cast<int64_t>(request.t);
        if (end / period > start / period && request.t >= static_cast<double>(period) && end % period != 0)
            length -= static_cast<float>(end % period);
    }
    return length;
}

int32_t AdvanceForLength(float length, float timeStep) {
    if (!(timeStep > 0.0f)) return 1;
    const float quotient = length / timeStep;
    if (!(quotient >= 1.0f)) return 1;
    if (quotient >= 1.0e9f) return 1000000000;
    return static_cast<int32_t>(quotient);
}

double RowSpacingMetres(const GridLevel& level0, float gridSpacing) {
    if (!level0.IsSpherical()) return gridSpacing;
    const double dy = (level0.yMax - level0.yMin) / (level0.ny - 1);
    return dy * 6370000.0 * 0.017453292222222222;
}

bool ReadSeriesRecord(std::istream& stream, SeriesRecord* record) {
    double time = 0.0;
    stream >> time;
    if (stream.fail() || stream.bad()) return false;
    stream >> record->eta >> record->fluxM >> record->fluxN;
    return !(stream.fail() || stream.bad());
}

namespace {

// The forced stretch of one axis: indices first..last of the user's grid (shifted by `offset`
// where a frame surrounds level 0), widened on spherical levels to the whole
// outer edge there. A spherical level's open edge is two cells deep (the radiation condition
// steps the second cell and copies it into the outermost one), so a band on either of them
// holds both.
struct Stretch {
    int32_t lo = 1, hi = 0;
};

Stretch Widened(const SeriesBand& band, int32_t n, bool spherical, int32_t offset) {
    Stretch s{static_cast<int32_t>(band.first), static_cast<int32_t>(band.last)};
    if (spherical && n >= 3) {
        if (s.lo == 2) s.lo = 1;
        if (s.hi == 1) s.hi = 2;
        if (s.hi == n - 1) s.hi = n;
        if (s.lo == n) s.lo = n - 1;
    }
    return Stretch{s.lo + offset, s.hi + offset};
}

// Cells of the band: apply(i, j, across) for the column part (mode 1 or 2, rows 2..ny-1,
// across = true: the band faces the interior through x-faces) and the row part (mode 0 or 2,
// columns 2..nx-1, across = false: through y-faces); wet cells (depth > 1e-5) only.
template <typename Apply>
void ForEachBandCell(const GridLevel& level, const SeriesBand& band, Apply apply) {
    if (band.first > band.last) return;
    const GridWindow w = level.UserWindow();
    const int32_t o = w.offset;
    const bool columns = band.mode == 1 || band.mode == 2;
    const bool rows = band.mode == 0 || band.mode == 2;
    if (columns) {
        const Stretch c = Widened(band, w.nx, level.IsSpherical(), o);
        for (int32_t i = c.lo; i <= c.hi; ++i)
            for (int32_t j = o + 2; j <= o + w.ny - 1; ++j)
                if (level.depth(i, j) > 1e-5f) apply(i, j, true);
    }
    if (rows) {
        const Stretch r = Widened(band, w.ny, level.IsSpherical(), o);
        for (int32_t i = o + 2; i <= o + w.nx - 1; ++i)
            for (int32_t j = r.lo; j <= r.hi; ++j)
                if (level.depth(i, j) > 1e-5f) apply(i, j, false);
    }
}

// Whether index k of an axis of n cells belongs to the open edge (the cells the radiation
// condition owns rather than the mass update).
bool OnOuterEdge(int32_t k, int32_t n, bool spherical) {
    const int32_t depth = spherical ? 2 : 1;
    return k <= depth || k > n - depth;
}

// Momentum update of one face between cell a (west or south) and cell b (east or north), with
// the terms that matter where a forced level meets the sea: the pressure gradient of the new
// levels and Manning friction, no advection. `pressure` is g dt / (cell size across the face)
// times the step factor, `across` the mean flux along the face (for the friction).
double ForcedFaceFlux(const GridLevel& level, int32_t ai, int32_t aj, int32_t bi, int32_t bj, double flux,
                      double across, double pressure, const KernelSettings& settings, bool* carries) {
    const double fluxDepth =
        cells::FaceFluxDepth(level.totalDepthNext(ai, aj), level.totalDepthNext(bi, bj), level.depth(ai, aj),
                             level.depth(bi, bj), level.etaNext(ai, aj), level.etaNext(bi, bj));
    *carries = fluxDepth > 0.0 && fluxDepth >= settings.flowDepthLimit;
    if (!*carries) return 0.0;
    const double n = level.manning(ai, aj);
    const double k = 0.5 * cells::kGravity * settings.timeStep * settings.timeStepFactor * n * n;
    const double floor = level.IsSpherical() ? cells::kEpsilon : 0.01;
    const double friction = cells::FrictionFactor(k, flux, across, fluxDepth, floor);
    const double gradient = static_cast<double>(level.etaNext(bi, bj)) - level.etaNext(ai, aj);
    const double next = ((1.0 - friction) * flux - pressure * fluxDepth * gradient) / (1.0 + friction);
    return cells::ClampFlux(next, settings.velocityLimit * fluxDepth);
}

}  // namespace

void ApplySeriesWaterLevel(GridLevel& level0, const SeriesBand& band, const SeriesRecord& record) {
    const float eta = static_cast<float>(record.eta);
    ForEachBandCell(level0, band, [&](int32_t i, int32_t j, bool) { level0.eta(i, j) = eta; });
}

void HoldSeriesWaterLevel(GridLevel& level0, const SeriesBand& band, const SeriesRecord& record) {
    const float eta = static_cast<float>(record.eta);
    ForEachBandCell(level0, band, [&](int32_t i, int32_t j, bool) {
        level0.etaNext(i, j) = eta;
        level0.totalDepthNext(i, j) = static_cast<float>(static_cast<double>(eta) + level0.depth(i, j));
    });
}

void ApplySeriesFluxes(GridLevel& level0, const SeriesBand& band, const SeriesRecord& record) {
    const float m = static_cast<float>(record.fluxM);
    const float n = static_cast<float>(record.fluxN);
    ForEachBandCell(level0, band, [&](int32_t i, int32_t j, bool) {
        level0.fluxM(i, j) = m;
        level0.fluxN(i, j) = n;
    });
}

int32_t SeriesBandBoxes(const GridLevel& level0, const SeriesBand& band, ParentIndexBox boxes[2]) {
    if (band.first > band.last) return 0;
    const GridWindow w = level0.UserWindow();
    const int32_t o = w.offset;
    const Stretch c = Widened(band, w.nx, level0.IsSpherical(), o), r = Widened(band, w.ny, level0.IsSpherical(), o);
    int32_t count = 0;
    if (band.mode == 1 || band.mode == 2) boxes[count++] = ParentIndexBox{c.lo, c.hi, o + 2, o + w.ny - 1};
    if (band.mode == 0 || band.mode == 2) boxes[count++] = ParentIndexBox{o + 2, o + w.nx - 1, r.lo, r.hi};
    return count;
}

void SetSeriesEdgeFluxes(GridLevel& level0, const SeriesBand& band, const SeriesRecord& record, bool withFluxes,
                         double ratio, const KernelSettings& settings) {
    const bool spherical = level0.IsSpherical();
    const double factor = settings.timeStepFactor;
    const double cartesianPressure = cells::kGravity * factor * ratio;
    const int32_t nx = level0.nx, ny = level0.ny;
    const GridWindow w = level0.UserWindow();
    const Stretch c = Widened(band, w.nx, spherical, w.offset), r = Widened(band, w.ny, spherical, w.offset);
    auto forcedColumn = [&](int32_t i) { return i >= c.lo && i <= c.hi; };
    auto forcedRow = [&](int32_t j) { return j >= r.lo && j <= r.hi; };
    ForEachBandCell(level0, band, [&](int32_t i, int32_t j, bool acrossColumns) {
        if (acrossColumns) {
            if (!OnOuterEdge(i, nx, spherical)) return;
            // The x-faces west (face i - 1) and east (face i) of the cell, towards unforced cells.
            for (const int32_t face : {i - 1, i}) {
                const int32_t other = face == i ? i + 1 : i - 1;
                if (other < 1 || other > nx || forcedColumn(other)) continue;
                const double across = 0.25 * (static_cast<double>(level0.fluxN(face, j)) + level0.fluxN(face + 1, j) +
                                              level0.fluxN(face, j - 1) + level0.fluxN(face + 1, j - 1));
                const double pressure = spherical ? factor * level0.gravityMetricX(face, j) : cartesianPressure;
                bool carries = false;
                const double flux = ForcedFaceFlux(level0, face, j, face + 1, j, level0.fluxM(face, j), across,
                                                   pressure, settings, &carries);
                level0.fluxMNext(face, j) = static_cast<float>(carries && withFluxes ? record.fluxM : flux);
            }
        } else {
            if (!OnOuterEdge(j, ny, spherical)) return;
            for (const int32_t face : {j - 1, j}) {
                const int32_t other = face == j ? j + 1 : j - 1;
                if (other < 1 || other > ny || forcedRow(other)) continue;
                const double across = 0.25 * (static_cast<double>(level0.fluxM(i, face)) + level0.fluxM(i, face + 1) +
                                              level0.fluxM(i - 1, face) + level0.fluxM(i - 1, face + 1));
                const double pressure = spherical ? factor * level0.gravityMetricY(i, face) : cartesianPressure;
                bool carries = false;
                const double flux = ForcedFaceFlux(level0, i, face, i, face + 1, level0.fluxN(i, face), across,
                                                   pressure, settings, &carries);
                level0.fluxNNext(i, face) = static_cast<float>(carries && withFluxes ? record.fluxN : flux);
            }
        }
    });
}

bool SeriesBandFits(const GridLevel& level0, const SeriesBand& band) {
    if (band.first > band.last) return true;  // an empty band applies nothing
    if (band.mode < 0 || band.mode > 2) return true;
    const bool columns = band.mode == 1 || band.mode == 2;
    const bool rows = band.mode == 0 || band.mode == 2;
    // The band must stay on the grid's own cells, 1..n.
    if (band.first < 1) return false;
    if (columns && band.last > static_cast<uint32_t>(level0.UserWindow().nx)) return false;
    if (rows && band.last > static_cast<uint32_t>(level0.UserWindow().ny)) return false;
    return true;
}
