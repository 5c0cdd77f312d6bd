#include "VolumeBudget.h"

#include <algorithm>
#include <cmath>

#include "ModelSetup.h"

VolumeScale LevelVolumeScale(const GridLevel& level, int32_t levelIndex, float gridSpacing, double ratio,
                             float levelTimeStep, double timeStepFactor) {
    VolumeScale scale;
    scale.spherical = level.IsSpherical();
    scale.ring = level.layerCells > 0 ? 0 : 2;
    if (scale.spherical) {
        // The same cell size the metric coefficients were computed from.
        const double cellMinutes = level.nx > 1 ? std::fabs((level.xMax - level.xMin) * 60.0 / (level.nx - 1)) : 0.0;
        const double dx = cellMinutes / 60.0 * kEarthRadiusMetric * kDegreesToRadians;
        scale.metricVolume = dx * static_cast<double>(levelTimeStep);
        scale.faceVolume = scale.metricVolume * timeStepFactor;
    } else {
        double dx = gridSpacing;
        for (int32_t k = 0; k < levelIndex; ++k) dx /= RefinementRatio;
        scale.cellArea = dx * dx;
        scale.faceVolume = scale.cellArea * ratio * timeStepFactor;
    }
    return scale;
}

double CellArea(const GridLevel& level, const VolumeScale& scale, int32_t i, int32_t j) {
    if (!scale.spherical) return scale.cellArea;
    const double metric = level.metricX[i][j];
    return metric > 0.0 ? scale.metricVolume / metric : 0.0;
}

namespace {

double CellVolume(const GridLevel& level, const VolumeScale& scale, ConstView eta, int32_t i, int32_t j) {
    const double h = level.depth[i][j];
    const double water = std::max(h + static_cast<double>(eta[i][j]), 0.0) - std::max(h, 0.0);
    return water == 0.0 ? 0.0 : water * CellArea(level, scale, i, j);
}

bool Usable(const GridLevel& level, const VolumeScale& scale) {
    const auto matches = [&](const Field& f) { return f.Columns() == level.nx + 3 && f.Stride() == level.ny + 3; };
    if (!matches(level.depth) || !matches(level.eta) || !matches(level.etaNext)) return false;
    return !scale.spherical || (matches(level.metricX) && level.cosLatitude.size() >= static_cast<size_t>(level.ny) + 3);
}

}  // namespace

double BoxVolume(const GridLevel& level, const VolumeScale& scale, const ParentIndexBox& box, bool next) {
    if (!Usable(level, scale)) return 0.0;
    const ConstView eta = next ? level.etaNext.cview() : level.eta.cview();
    double sum = 0.0;
    for (int32_t i = std::max(box.iMin, 1); i <= std::min(box.iMax, level.nx); ++i)
        for (int32_t j = std::max(box.jMin, 1); j <= std::min(box.jMax, level.ny); ++j)
            sum += CellVolume(level, scale, eta, i, j);
    return sum;
}

namespace {
ParentIndexBox WindowBox(const GridLevel& level, int32_t shrink) {
    const GridWindow w = level.UserWindow();
    return ParentIndexBox{w.offset + 1 + shrink, w.offset + w.nx - shrink, w.offset + 1 + shrink,
                          w.offset + w.ny - shrink};
}
}  // namespace

double StoredVolume(const GridLevel& level, const VolumeScale& scale, bool next) {
    return BoxVolume(level, scale, WindowBox(level, 0), next);
}

double LevelStoredVolume(const GridLevel& level, int32_t levelIndex, float gridSpacing, float timeStep) {
    const VolumeScale scale =
        LevelVolumeScale(level, levelIndex, gridSpacing, 0.0, LevelTimeStep(timeStep, levelIndex), 1.0);
    return StoredVolume(level, scale, false);
}

double RingVolume(const GridLevel& level, const VolumeScale& scale, bool next) {
    if (scale.ring <= 0 || !Usable(level, scale)) return 0.0;
    const ParentIndexBox outer = WindowBox(level, 0);
    const ParentIndexBox core = WindowBox(level, scale.ring);
    if (core.iMin > core.iMax || core.jMin > core.jMax) return StoredVolume(level, scale, next);
    // West and east strips over all rows, then the south and north strips between them.
    double sum = BoxVolume(level, scale, {outer.iMin, core.iMin - 1, outer.jMin, outer.jMax}, next);
    sum += BoxVolume(level, scale, {core.iMax + 1, outer.iMax, outer.jMin, outer.jMax}, next);
    sum += BoxVolume(level, scale, {core.iMin, core.iMax, outer.jMin, core.jMin - 1}, next);
    sum += BoxVolume(level, scale, {core.iMin, core.iMax, core.jMax + 1, outer.jMax}, next);
    return sum;
}

double CoreOutflow(const GridLevel& level, const VolumeScale& scale) {
    if (!Usable(level, scale) || level.fluxM.Columns() != level.nx + 3 || level.fluxN.Columns() != level.nx + 3)
        return 0.0;
    const ParentIndexBox core = WindowBox(level, scale.ring);
    if (core.iMin > core.iMax || core.jMin > core.jMax || core.iMin < 1 || core.jMin < 1) return 0.0;
    const ConstView fluxM = level.fluxM.cview();
    const ConstView fluxN = level.fluxN.cview();
    double net = 0.0;
    for (int32_t j = core.jMin; j <= core.jMax; ++j)
        net += static_cast<double>(fluxM[core.iMax][j]) - fluxM[core.iMin - 1][j];
    // The mass update weights each y-face by the cosine of the row south of it (1 on Cartesian levels).
    const double cosNorth = scale.spherical ? level.cosLatitude[core.jMax] : 1.0;
    const double cosSouth = scale.spherical ? level.cosLatitude[core.jMin - 1] : 1.0;
    for (int32_t i = core.iMin; i <= core.iMax; ++i)
        net += cosNorth * fluxN[i][core.jMax] - cosSouth * fluxN[i][core.jMin - 1];
    return net * scale.faceVolume;
}
