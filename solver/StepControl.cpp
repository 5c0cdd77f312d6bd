#include "StepControl.h"

#include <cmath>

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
// The band's indices count on the user's grid; a frame around level 0 shifts them.
template <typename Apply>
void ForEachBandCell(const GridLevel& level, const SeriesBand& band, Apply apply) {
    if (band.first > band.last) return;
    const GridWindow w = level.UserWindow();
    const int32_t o = w.offset;
    const bool columns = band.mode == 1 || band.mode == 2;
    const bool rows = band.mode == 0 || band.mode == 2;
    if (columns)
        for (uint32_t u = band.first; u <= band.last; ++u) {
            const int32_t i = static_cast<int32_t>(u) + o;
            for (int32_t j = o + 2; j <= o + w.ny - 1; ++j)
                if (level.depth(i, j) > 1e-5f) apply(i, j);
        }
    if (rows)
        for (int32_t i = o + 2; i <= o + w.nx - 1; ++i)
            for (uint32_t u = band.first; u <= band.last; ++u) {
                const int32_t j = static_cast<int32_t>(u) + o;
                if (level.depth(i, j) > 1e-5f) apply(i, j);
            }
}
}  // namespace

void ApplySeriesWaterLevel(GridLevel& level0, const SeriesBand& band, const SeriesRecord& record) {
    const float eta = static_cast<float>(record.eta);
    ForEachBandCell(level0, band, [&](int32_t i, int32_t j) { level0.eta(i, j) = eta; });
}

void ApplySeriesFluxes(GridLevel& level0, const SeriesBand& band, const SeriesRecord& record) {
    const float m = static_cast<float>(record.fluxM);
    const float n = static_cast<float>(record.fluxN);
    ForEachBandCell(level0, band, [&](int32_t i, int32_t j) {
        level0.fluxM(i, j) = m;
        level0.fluxN(i, j) = n;
    });
}

int32_t SeriesBandBoxes(const GridLevel& level0, const SeriesBand& band, ParentIndexBox boxes[2]) {
    if (band.first > band.last) return 0;
    const GridWindow w = level0.UserWindow();
    const int32_t o = w.offset;
    const int32_t first = static_cast<int32_t>(band.first) + o, last = static_cast<int32_t>(band.last) + o;
    int32_t count = 0;
    if (band.mode == 1 || band.mode == 2) boxes[count++] = ParentIndexBox{first, last, o + 2, o + w.ny - 1};
    if (band.mode == 0 || band.mode == 2) boxes[count++] = ParentIndexBox{o + 2, o + w.nx - 1, first, last};
    return count;
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
