// The step driver: one call advances every level of the model by `advance` base steps.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "AbsorbingLayer.h"
#include "FieldWriter.h"
#include "Kernels.h"
#include "ModelSetup.h"
#include "Nesting.h"
#include "RunSafety.h"
#include "Snapshot.h"
#include "SourceEvents.h"
#include "StepControl.h"
#include "TimeHistory.h"
#include "VolumeBudget.h"
#include "ZellSimulatorVestra.h"

namespace {

// Sub-steps of level k per base step: 3^k, each of timeStep / 3^k, so that every level
// reaches the end of the base step together with its parent.
int32_t SubstepCount(std::size_t k) {
    int32_t count = 1;
    for (std::size_t n = 0; n < k; ++n) count *= RefinementRatio;
    return count;
}

// True when some step index in [first, first + count) is a multiple of `every`.
bool SpanHoldsMultiple(int32_t first, int32_t count, int32_t every) {
    const int64_t start = first, end = static_cast<int64_t>(first) + count - 1;
    return start % every == 0 || start / every != end / every;
}

// Whole periods contained in `time`. A time within rounding of a whole multiple counts as
// reaching it: steps and periods are single precision (0.01 s is 0.0099999998 s), so step
// 3500 of 0.01 s reaches 35 s. The slack stays below a quarter step, so that the multiple is
// still reached by one step only.
int64_t WholePeriods(double time, double period, double step) {
    const double periods = time / period;
    if (!(periods < 9.0e18)) return INT64_MAX;  // a period too short to count in whole periods
    const double nearest = std::round(periods);
    const double slack = std::min(1e-6 * std::max(1.0, std::fabs(time)), 0.25 * step);
    if (std::fabs(periods - nearest) * period <= slack) return static_cast<int64_t>(nearest);
    return static_cast<int64_t>(std::floor(periods));
}

// The message of a run that went unstable: level, cell, position, model time and value.
std::string RunawayMessage(const GridLevel& level, std::size_t k, const RunawayCell& cell, double t, float bound) {
    const double dx = level.nx > 1 ? (level.xMax - level.xMin) / (level.nx - 1) : 0.0;
    const double dy = level.ny > 1 ? (level.yMax - level.yMin) / (level.ny - 1) : 0.0;
    const double x = level.xMin + (cell.i - 1) * dx, y = level.yMin + (cell.j - 1) * dy;
    // Cells are numbered on the user's grid (a frame around level 0 has indices <= 0 or beyond n).
    const int32_t offset = level.UserWindow().offset;
    char text[320];
    std::snprintf(text, sizeof text,
                  "level %zu became unstable at model time %.6g s: %s %g m at cell (%d, %d) (%s %.6g%s, %s %.6g%s), "
                  "beyond the %g m this level allows",
                  k, t, cell.onLand ? "flow depth" : "water level", static_cast<double>(cell.value), cell.i - offset,
                  cell.j - offset,
                  level.IsSpherical() ? "longitude" : "x", x, level.IsSpherical() ? "" : " m",
                  level.IsSpherical() ? "latitude" : "y", y, level.IsSpherical() ? "" : " m",
                  static_cast<double>(bound));
    return text;
}

}  // namespace

void ZellSimulatorVestra::Step(int32_t stepIndex, int32_t* advance) {
    *advance = 1;
    if (levels.empty() || diagnostics.unstable) return;
    const SimulationParameters& p = parameters;
    const double t = static_cast<double>(static_cast<float>(stepIndex) * p.timeStep);
    const double tMinutes = t / 60.0;
    const double tWhole = std::trunc(t);
    const double ratio = static_cast<double>(p.timeStep / gridSpacing);
    GridLevel& level0 = levels[0];

    // Step length first, from the wave state the previous call left: the physics of this
    // call then covers exactly the base steps by which the run loop advances.
    StepLengthRequest request;
    request.stepMaximum = level0.stepMaximum;
    request.adaptive = p.adaptiveTimeStepEnabled;
    request.timeStep = p.timeStep;
    request.rowSpacingMetres = RowSpacingMetres(level0, gridSpacing);
    request.snapshotInterval = p.snapshotInterval;
    request.t = t;
    const float stepLength = ChooseStepLength(request);
    const int32_t steps = AdvanceForLength(stepLength, p.timeStep);
    timeStepFactor = static_cast<float>(steps);

    // 1. Source events whose time lies in the span of this call, in collection order, each
    //    handed down the chain of nested levels.
    //    What each event adds to a level counts as source volume (one sum over the level per event).
    const bool budget = diagnostics.volumeBudgets.size() == levels.size();
    auto scaleOf = [&](std::size_t k) {
        return LevelVolumeScale(levels[k], static_cast<int32_t>(k), gridSpacing, ratio,
                                LevelTimeStep(p.timeStep, static_cast<int32_t>(k)), static_cast<double>(steps));
    };
    const float spanStart = static_cast<float>(stepIndex) * p.timeStep;
    const float spanEnd = static_cast<float>(stepIndex + steps) * p.timeStep;
    for (const SourceEvent& event : *sourceEvents) {
        if (!(spanStart <= event.insertionTime && event.insertionTime < spanEnd)) continue;
        ResetActiveRegions(levels);  // the source may touch any cell of any level
        const double before0 = budget ? StoredVolume(level0, scaleOf(0), false) : 0.0;
        ApplySourceEvent(level0, event);
        ContinueStateIntoLayer(level0);
        if (budget) diagnostics.volumeBudgets[0].sourceVolume += StoredVolume(level0, scaleOf(0), false) - before0;
        for (std::size_t k = 0; k + 1 < levels.size(); ++k) {
            const double before = budget ? StoredVolume(levels[k + 1], scaleOf(k + 1), false) : 0.0;
            AddParentStateToChild(levels[k], levels[k + 1]);
            if (budget)
                diagnostics.volumeBudgets[k + 1].sourceVolume +=
                    StoredVolume(levels[k + 1], scaleOf(k + 1), false) - before;
        }
    }

    // 2. Boundary time series: one record per call onto the water level of level 0's band.
    const SeriesBand band{p.seriesFirstIndex, p.seriesLastIndex, p.seriesMode};
    SeriesRecord record;
    bool haveRecord = false;
    if (p.timeSeriesEnabled && timeSeriesStream.is_open()) {
        haveRecord = ReadSeriesRecord(timeSeriesStream, &record);
    }
    // The band's volume (two boxes: their overlap counted once), of the current or next level.
    ParentIndexBox boxes[2];
    const int32_t count = budget && haveRecord ? SeriesBandBoxes(level0, band, boxes) : 0;
    auto bandVolume = [&](bool next) {
        const VolumeScale scale = scaleOf(0);
        double sum = 0.0;
        for (int32_t b = 0; b < count; ++b) sum += BoxVolume(level0, scale, boxes[b], next);
        if (count == 2) {
            const ParentIndexBox overlap{std::max(boxes[0].iMin, boxes[1].iMin), std::min(boxes[0].iMax, boxes[1].iMax),
                                         std::max(boxes[0].jMin, boxes[1].jMin), std::min(boxes[0].jMax, boxes[1].jMax)};
            sum -= BoxVolume(level0, scale, overlap, next);
        }
        return sum;
    };
    if (haveRecord) {
        const double before = budget ? bandVolume(false) : 0.0;
        ApplySeriesWaterLevel(level0, band, record);
        if (budget) diagnostics.volumeBudgets[0].sourceVolume += bandVolume(false) - before;
    }

    // Still water is skipped with fixed steps. The boundary series changes cells from outside the
    // step kernels, and adaptive steps change the step and read the whole level's maximum: those
    // runs update every cell of every level on every step. The nesting exchange, which also works
    // from outside, widens the windows over what it changes (below and in Nesting.cpp).
    // The dispersive correction is implicit along whole rows and columns: a change anywhere reaches
    // still water at once, so those runs update every cell too.
    const bool skipStillWater = !p.timeSeriesEnabled && !p.adaptiveTimeStepEnabled && !extendedSettings.dispersion;
    for (GridLevel& level : levels) {
        level.activeWindow.tracking = skipStillWater;
        if (!skipStillWater) ResetActiveRegions(level);
    }

    const bool recordGauges = SpanHoldsMultiple(stepIndex, steps, p.historyEverySteps);
    KernelSettings settings = MakeKernelSettings(p, timeStepFactor);
    settings.smallFluxCut = extendedSettings.smallFluxCut;
    settings.dispersion = extendedSettings.dispersion;
    settings.dispersionMinDepth = extendedSettings.dispersionMinDepth;
    settings.frontVelocityHead = extendedSettings.frontVelocityHead;

    // 4-5. Every level, finest first, level 0 last. A child's water level is fed back into its
    //      parent between the parent's mass and momentum updates of the parent's last sub-step:
    //      then both describe the end of the base step, and the parent's momentum sees it (fed
    //      back before the parent's mass update, the update would overwrite it).
    for (std::size_t k = levels.size(); k-- > 0;) {
        GridLevel& level = levels[k];
        const int32_t substeps = SubstepCount(k);
        settings.timeStep = p.timeStep / static_cast<float>(substeps);
        const VolumeScale scale = scaleOf(k);
        LevelVolumeBudget* account = budget ? &diagnostics.volumeBudgets[k] : nullptr;
        settings.parentRing = k > 0 ? 2 : 0;
        for (int32_t s = 0; s < substeps; ++s) {
            if (substepTrace != nullptr) substepTrace->push_back(static_cast<int32_t>(k));
            // 3. A nested level's open boundary from its parent, before every sub-step: the
            //    boundary fluxes, and the water level of the cells outside those faces, which
            //    the mass update then leaves alone. The parent still holds the start of the
            //    base step (it advances after its child). After the sub-step, the extreme
            //    fields of those cells record what they held.
            if (k > 0) {
                NestBoundaryFluxes(levels[k - 1], level);
                const double before = account ? RingVolume(level, scale, false) : 0.0;
                SetChildBoundaryWaterLevel(levels[k - 1], level);
                if (account) account->nestingExchange += RingVolume(level, scale, false) - before;
            }
            const bool lastSubstep = s + 1 == substeps;
            // A parent's cells under its child take the child's level between its mass and
            // momentum updates: they and their surroundings are updated on every sub-step.
            if (k + 1 < levels.size()) KeepCoveredCellsActive(level, levels[k + 1]);
            // The volume account of the mass update: what crosses the core's faces, less what the
            // edge rules kept in the ring (see VolumeBudget.h); edges only, every (sub)step.
            const double ringBefore = account ? RingVolume(level, scale, false) : 0.0;
            if (level.IsSpherical()) ContinuitySpherical(level, tMinutes, settings);
            else ContinuityCartesian(level, ratio, tMinutes, settings);
            AbsorbingLayerMass(level, ratio, settings);
            if (account)
                account->edgeOutflow += CoreOutflow(level, scale) - (RingVolume(level, scale, true) - ringBefore);
            // What crossed the border between a parent and its child, by each of them (delivered
            // fluxes); at the parent's last sub-step the parent cells outside the border take the
            // difference, then the covered cells the child's water.
            if (k > 0) AddBorderVolume(levels[k - 1], level, true, scale.faceVolume, level.parentBorder);
            if (k + 1 < levels.size())
                AddBorderVolume(level, levels[k + 1], false, scale.faceVolume, levels[k + 1].parentBorder);
            if (lastSubstep && k + 1 < levels.size()) {
                const ParentIndexBox box = NestingFootprint(level, levels[k + 1]);
                const double before = account ? BoxVolume(level, scale, box, true) : 0.0;
                const double childChange =
                    CorrectAcrossBorder(level, levels[k + 1], scale, scaleOf(k + 1), levels[k + 1].parentBorder);
                if (budget) diagnostics.volumeBudgets[k + 1].nestingExchange += childChange;
                FeedBackWaterLevel(levels[k + 1], level);
                if (account) account->nestingExchange += BoxVolume(level, scale, box, true) - before;
            }
            // The series holds its band's level through the mass update (and the radiating edge
            // there); what that adds or takes counts as a source. Its fluxes, when used, enter
            // between the mass and momentum updates.
            const bool forced = k == 0 && haveRecord;
            if (forced) {
                const double before = account ? bandVolume(true) : 0.0;
                HoldSeriesWaterLevel(level, band, record);
                if (account) account->sourceVolume += bandVolume(true) - before;
                if (!p.useEtaOnly) ApplySeriesFluxes(level, band, record);
            }
            level.stepMaximum = level.IsSpherical() ? MomentumSpherical(level, tWhole, settings)
                                                    : MomentumCartesian(level, ratio, tWhole, settings);
            AbsorbingLayerMomentum(level, ratio, settings);
            // A band on the open edge drives the faces between it and the interior.
            if (forced) SetSeriesEdgeFluxes(level, band, record, !p.useEtaOnly, ratio, settings);
            AdvanceTimeLevel(level, settings);
            if (k > 0) RecordChildBoundaryExtremes(level, tMinutes);
        }
        if (recordGauges) WriteGaugeHistories(p, level, level.outputFolder, t);
    }

    // A level whose water has run away stops the run here, before its frames: what was
    // written so far is kept, and the diagnostics say where and when.
    for (std::size_t k = 0; k < levels.size() && k < runawayBounds.size(); ++k) {
        const RunawayCell cell = FindRunawayCell(levels[k], runawayBounds[k], KernelTeamSize(settings));
        if (!cell.found) continue;
        diagnostics.unstable = true;
        diagnostics.failureMessage = RunawayMessage(levels[k], k, cell, t, runawayBounds[k]);
        std::printf("vestra: %s; the run is stopped\n", diagnostics.failureMessage.c_str());
        std::fflush(stdout);
        HaltRun();
        timeStepFactor = 1.0f;
        *advance = steps;
        return;
    }

    // 6. Frames and snapshots. A frame kind is due on the first call whose time reaches a whole
    //    multiple of its period that no frame has covered yet, and only for multiples within
    //    the run: one frame per multiple, whatever the step length (a call that spans several
    //    multiples writes one frame for them all). Decided from the step index, so float
    //    remainders cannot lose or double a frame.
    const double step = static_cast<double>(p.timeStep);
    const double runSeconds = (static_cast<double>(p.endTime) - p.startTime) * 60.0;
    const bool kindEnabled[4] = {true, p.snapshotMode0Enabled, p.snapshotMode1Enabled, p.snapshotMode2Enabled};
    const float kindPeriod[4] = {p.snapshotInterval, p.snapshotMode0Interval, p.snapshotMode1Interval,
                                 p.snapshotMode2Interval};
    bool due[4] = {};
    for (int32_t kind = 0; kind < 4; ++kind) {
        const double period = kindPeriod[kind];
        if (!kindEnabled[kind] || !(period > 0.0)) continue;
        const int64_t reached =
            std::min(WholePeriods(stepIndex * step, period, step), WholePeriods(runSeconds, period, step));
        if (reached <= framePeriodsWritten[kind]) continue;
        due[kind] = true;
        framePeriodsWritten[kind] = reached;
    }
    //    Every frame shows the user's grid only (a frame around level 0 is cropped off).
    for (std::size_t k = 0; k < levels.size(); ++k) {
        GridLevel& level = levels[k];
        const GridWindow w = level.UserWindow();
        if (due[0]) {
            WriteFieldGrid(*this, w.Crop(level.eta.cview()), w.Crop(level.depth.cview()), t, w.xMin, w.xMax, w.yMin,
                           w.yMax, w.nx, w.ny, kWaterLevelFrame, level.outputFolder,
                           level.outputCounters[0], static_cast<int32_t>(k));
            ++level.outputCounters[0];
        }
        for (int32_t mode = 0; mode < 3; ++mode) {
            if (!due[1 + mode]) continue;
            WriteSnapshot(p, w.Crop(level.rouseNumber.cview()), w.Crop(level.fluxMNext.cview()),
                          w.Crop(level.fluxNNext.cview()), w.Crop(level.totalDepthM.cview()),
                          w.Crop(level.totalDepthN.cview()), t, w.xMin, w.xMax, w.yMin, w.yMax, w.nx, w.ny, mode,
                          level.outputFolder, level.outputCounters[1 + mode]);
            ++level.outputCounters[1 + mode];
        }
    }

    // 7-8. The length this call chose stays readable until the next call.
    adaptiveTimeStep = stepLength;
    timeStepFactor = 1.0f;
    *advance = steps;
}
