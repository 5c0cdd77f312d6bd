#include <array>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "AbsorbingLayer.h"
#include "BathymetryReader.h"
#include "Dispersion.h"
#include "InitResult.h"
#include "InputSummary.h"
#include "ModelSetup.h"
#include "Nesting.h"
#include "RunSafety.h"
#include "SourceEvents.h"
#include "StepControl.h"
#include "TimeHistory.h"
#include "VolumeBudget.h"
#include "ZellSimulatorVestra.h"

namespace {

// Reads the level's depth grid and, when asked, its cell-field grid, then allocates and
// initialises every field. Files are only read here: a bad one ends Init before anything
// of the level is written. frameCells > 0 (level 0 only) adds the frame of the edge kind around
// the grid: an absorbing layer (absorbing) or high land (a wall), the latter on every side of
// `wallSides` (west, east, south, north).
int32_t SetUpLevel(GridLevel& level, const SimulationParameters& settings, int threads, int32_t frameCells,
                   bool absorbing, const std::array<bool, 4>& wallSides) {
    level.outputCounters = {};
    level.stepMaximum = 0.0f;
    level.activeWindow = ActiveWindow{};
    level.layerCells = 0;
    level.absorbingLayer = false;
    level.wallSides = {};
    level.userWindow = {};
    level.layerEtaX.Release();
    level.layerEtaY.Release();

    BathymetryGrid grid;
    std::string reason;
    int32_t code = ReadBathymetry(level.bathymetryFile, grid, reason);
    if (code == InitResult::kSuccess) code = CheckGridShape(grid, level.IsSpherical(), reason);
    if (code != InitResult::kSuccess) {
        std::fprintf(stderr, "vestra: bathymetry file %s: %s\n", level.bathymetryFile.c_str(), reason.c_str());
        return code;
    }
    level.nx = grid.nx;
    level.ny = grid.ny;
    level.xMin = grid.xMin;
    level.xMax = grid.xMax;
    level.yMin = grid.yMin;
    level.yMax = grid.yMax;
    level.zMin = grid.zMin;
    level.zMax = grid.zMax;

    // Every level reads the same cell-field file from its start, as many values as it has cells.
    std::vector<float> cellValues;
    if (settings.cellFieldFromFile) {
        code = ReadCellFieldValues(settings.cellFieldFile, grid.values.size(), cellValues, reason);
        if (code != InitResult::kSuccess) {
            std::fprintf(stderr, "vestra: cell-field file %s: %s\n", settings.cellFieldFile.c_str(), reason.c_str());
            return code;
        }
    }

    if (frameCells > 0 && grid.nx >= 2 && grid.ny >= 2) {
        const double dx = (grid.xMax - grid.xMin) / (grid.nx - 1);
        const double dy = (grid.yMax - grid.yMin) / (grid.ny - 1);
        level.userWindow = GridWindow{frameCells, grid.nx, grid.ny, grid.xMin, grid.xMax, grid.yMin, grid.yMax};
        level.xMin = grid.xMin - frameCells * dx;
        level.xMax = grid.xMax + frameCells * dx;
        level.yMin = grid.yMin - frameCells * dy;
        level.yMax = grid.yMax + frameCells * dy;
        if (level.IsSpherical() && (std::fabs(level.yMin) >= 90.0 || std::fabs(level.yMax) >= 90.0)) {
            std::fprintf(stderr, "vestra: level 0 with its %s of %d cells would reach latitude %g..%g, beyond a pole\n",
                         absorbing ? "absorbing layer" : "wall frame", frameCells, level.yMin, level.yMax);
            return InitResult::kBadGridSize;
        }
        const float wall = kWallFrameDepth;
        const float* fills[4] = {};
        for (int32_t s = 0; s < 4; ++s) fills[s] = wallSides[s] ? &wall : nullptr;
        grid.values = ExtendGridOutwardsBySide(grid.values, grid.nx, grid.ny, frameCells, fills);
        if (settings.cellFieldFromFile) cellValues = ExtendGridOutwards(cellValues, grid.nx, grid.ny, frameCells, nullptr);
        level.nx = grid.nx + 2 * frameCells;
        level.ny = grid.ny + 2 * frameCells;
        level.layerCells = frameCells;
        level.absorbingLayer = absorbing;
        level.wallSides = wallSides;
    }

    AllocateLevelFields(level);
    InitialiseLevelFields(level, grid.values, settings.manningCoefficient,
                          settings.cellFieldFromFile ? &cellValues : nullptr, threads);
    if (level.absorbingLayer) {
        // The two parts of the layer's water level; the whole level starts at rest.
        level.layerEtaX.Allocate(level.nx, level.ny);
        level.layerEtaY.Allocate(level.nx, level.ny);
        level.layerEtaX.Fill(0.0f);
        level.layerEtaY.Fill(0.0f);
    }
    level.gaugeCount = 0;
    level.gaugeColumns.clear();
    level.gaugeRows.clear();
    return InitResult::kSuccess;
}

// Refuses a fixed step that some level cannot take stably: level k takes 3^k sub-steps of
// timeStep / 3^k on its own cells. Adaptive runs choose their own step and are not checked.
int32_t CheckStepStability(const std::vector<GridLevel>& levels, const SimulationParameters& settings,
                           float gridSpacing) {
    if (settings.adaptiveTimeStepEnabled) return InitResult::kSuccess;
    double refinement = 1.0;
    for (std::size_t k = 0; k < levels.size(); ++k, refinement *= RefinementRatio) {
        const StepLimit limit = StableStepLimit(levels[k], gridSpacing / refinement);
        const double subStep = LevelTimeStep(settings.timeStep, static_cast<int32_t>(k));
        if (!(subStep > limit.seconds)) continue;
        char subStepText[96] = "";
        if (k > 0)
            std::snprintf(subStepText, sizeof subStepText, "; its sub-steps of %g s may not exceed %.4g s", subStep,
                          limit.seconds);
        std::fprintf(stderr,
                     "vestra: level %zu (%s): timeStep %g s is beyond the level's stability limit of %.4g s "
                     "(%.4g x %.4g m cells over %.4g m of water%s)\n",
                     k, levels[k].bathymetryFile.c_str(), static_cast<double>(settings.timeStep),
                     limit.seconds * refinement, limit.dx, limit.dy, limit.depth, subStepText);
        return InitResult::kStepBeyondStability;
    }
    return InitResult::kSuccess;
}

}  // namespace

int32_t ZellSimulatorVestra::Init(ZellProgressBarI*) {
    // Start from nothing: a failed earlier Init may have left levels and an open series file.
    levels.clear();
    diagnostics = RunDiagnostics{};
    if (timeSeriesStream.is_open()) timeSeriesStream.close();
    timeSeriesStream.clear();

    if (gridRecords == nullptr || gridRecords->empty()) return InitResult::kNoGridRecords;
    if (sourceEvents == nullptr || sourceEvents->empty()) return InitResult::kNoSourceEvents;
    // The step driver records gauges at step indices divisible by historyEverySteps.
    if (parameters.historyEverySteps < 1) return InitResult::kBadHistoryInterval;
    const bool resuming = checkpointSettings.resume && !checkpointSettings.path.empty();

    try {
        for (const HostGridRecord& record : *gridRecords) {
            GridLevel level;
            if (!LevelFromHostRecord(record, level)) return InitResult::kUnknownGridType;
            levels.push_back(std::move(level));
        }
        timeStepFactor = 1.0f;
        adaptiveTimeStep = 0.0f;
        framePeriodsWritten = {};
        diagnostics.unstable = false;
        diagnostics.failureMessage.clear();

        const int threads = SetupThreads(parameters.threadCount);
        OpenEdgeKind sides[4];
        ResolveSideKinds(extendedSettings, sides);
        const int32_t frameCells = FrameCellsFor(sides, extendedSettings.absorbingCells);
        bool absorbing = false;
        std::array<bool, 4> wallSides{};
        for (int32_t s = 0; s < 4; ++s) {
            absorbing = absorbing || sides[s] == OpenEdgeKind::Absorbing;
            wallSides[s] = sides[s] == OpenEdgeKind::Wall;
        }
        for (std::size_t k = 0; k < levels.size(); ++k) {
            const int32_t code =
                SetUpLevel(levels[k], parameters, threads, k == 0 ? frameCells : 0, absorbing, wallSides);
            if (code != InitResult::kSuccess) return code;
            if (extendedSettings.dispersion) AllocateDispersionScratch(levels[k]);
        }

        gridSpacing = static_cast<float>((*gridRecords)[0].cellSize);
        for (std::size_t k = 0; k < levels.size(); ++k)
            if (levels[k].IsSpherical())
                ComputeSphericalCoefficients(levels[k], LevelTimeStep(parameters.timeStep, static_cast<int32_t>(k)),
                                             threads);

        // A resumed run finds its time histories and input summary written by the first run.
        bool anyGaugeList = false;
        for (GridLevel& level : levels) anyGaugeList = PlaceGaugesAndWriteHeaders(level, !resuming) || anyGaugeList;
        if (!resuming)
            for (const GridLevel& level : levels) WriteInputSummary(level, parameters, gridSpacing, anyGaugeList);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "vestra: the grids do not fit in memory\n");
        levels.clear();  // give the memory back at once
        return InitResult::kOutOfMemory;
    }

    if (parameters.timeStep == 0.0f) return InitResult::kZeroTimeStep;
    if (gridSpacing == 0.0f) return InitResult::kZeroGridSpacing;
    // Step cannot report, so everything it will read is checked here.
    if (parameters.timeSeriesEnabled) {
        const SeriesBand band{parameters.seriesFirstIndex, parameters.seriesLastIndex, parameters.seriesMode};
        if (!SeriesBandFits(levels[0], band)) {
            std::fprintf(stderr, "vestra: time-series band %u..%u (mode %d) reaches outside level 0 (%d x %d cells)\n",
                         band.first, band.last, band.mode, levels[0].UserWindow().nx, levels[0].UserWindow().ny);
            return InitResult::kSeriesBandOutside;
        }
        timeSeriesStream.open(parameters.timeSeriesFile);
        if (!timeSeriesStream.is_open()) {
            std::fprintf(stderr, "vestra: time-series file %s cannot be opened\n", parameters.timeSeriesFile.c_str());
            return InitResult::kTimeSeriesUnreadable;
        }
    }
    for (std::size_t k = 1; k < levels.size(); ++k) {
        const std::string problem = CheckNestedLayout(levels[k - 1], levels[k]);
        if (!problem.empty()) {
            std::fprintf(stderr, "vestra: level %zu (%s) in level %zu: %s\n", k, levels[k].bathymetryFile.c_str(),
                         k - 1, problem.c_str());
            return InitResult::kNestedLayout;
        }
    }
    if (levels.size() > 1 && levels[0].layerCells > 0) {
        // The frame lies outside the user's level 0 and never reaches a child: every parent cell
        // the nesting touches must be one of the user's cells.
        const GridWindow w = levels[0].UserWindow();
        const ParentIndexBox box = NestingFootprint(levels[0], levels[1]);
        if (box.iMin <= w.offset || box.iMax > w.offset + w.nx || box.jMin <= w.offset || box.jMax > w.offset + w.ny) {
            std::fprintf(stderr,
                         "vestra: level 1 (%s) in level 0: the nesting reaches level 0's columns %d..%d and rows "
                         "%d..%d; it must stay inside level 0's own 1..%d and 1..%d (the %s lies outside them)\n",
                         levels[1].bathymetryFile.c_str(), box.iMin - w.offset, box.iMax - w.offset,
                         box.jMin - w.offset, box.jMax - w.offset, w.nx, w.ny,
                         levels[0].absorbingLayer ? "absorbing layer" : "wall frame");
            return InitResult::kNestedLayout;
        }
    }
    // The volume account starts from the stored volume after the setup.
    diagnostics.volumeBudgets.assign(levels.size(), LevelVolumeBudget{});
    for (std::size_t k = 0; k < levels.size(); ++k)
        diagnostics.volumeBudgets[k].storedChange =
            -LevelStoredVolume(levels[k], static_cast<int32_t>(k), gridSpacing, parameters.timeStep);
    if (const int32_t code = CheckStepStability(levels, parameters, gridSpacing); code != InitResult::kSuccess)
        return code;
    for (std::size_t k = 1; k < levels.size(); ++k)
        PrepareBorderVolumes(levels[k - 1], levels[k], &levels[k].parentBorder);
    runawayBounds.clear();
    for (const GridLevel& level : levels) runawayBounds.push_back(RunawayBound(DeepestWater(level)));
    for (std::size_t e = 0; e < sourceEvents->size(); ++e) {
        const std::string problem = CheckSourceEvent((*sourceEvents)[e], levels[0]);
        if (!problem.empty()) {
            std::fprintf(stderr, "vestra: source event %zu: %s\n", e + 1, problem.c_str());
            return InitResult::kSourceEventFile;
        }
    }
    if (resuming) {
        std::string error;
        if (!RestoreCheckpoint(checkpointSettings.path, &error)) {
            checkpointReport.failed = true;
            checkpointReport.error = error;
            return InitResult::kCheckpointRefused;
        }
    }
    return InitResult::kSuccess;
}
