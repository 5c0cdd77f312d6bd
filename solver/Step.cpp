// The step driver: one call advances every level of the model by `advance` base steps.
#include <cmath>
#include <cstdint>

#include "FieldWriter.h"
#include "Kernels.h"
#include "Nesting.h"
#include "Snapshot.h"
#include "SourceEvents.h"
#include "StepControl.h"
#include "TimeHistory.h"
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

// A frame check passes at whole multiples of the period, once per whole second: the time
// must lie within the previous step's length after the whole second.
bool FrameDue(float period, double t, double tWhole, float previousLength) {
    if (period == 0.0f) return false;
    return std::fabs(std::fmod(static_cast<float>(tWhole), period)) < 1e-5f && t - tWhole < previousLength;
}

}  // namespace

void ZellSimulatorVestra::Step(int32_t stepIndex, int32_t* advance) {
    *advance = 1;
    if (levels.empty()) return;
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
    const float spanStart = static_cast<float>(stepIndex) * p.timeStep;
    const float spanEnd = static_cast<float>(stepIndex + steps) * p.timeStep;
    for (const SourceEvent& event : *sourceEvents) {
        if (!(spanStart <= event.insertionTime && event.insertionTime < spanEnd)) continue;
        ApplySourceEvent(level0, event);
        for (std::size_t k = 0; k + 1 < levels.size(); ++k) AddParentStateToChild(levels[k], levels[k + 1]);
    }

    // 2. Boundary time series: one record per call onto the water level of level 0's band.
    const SeriesBand band{p.seriesFirstIndex, p.seriesLastIndex, p.seriesMode};
    SeriesRecord record;
    bool haveRecord = false;
    if (p.timeSeriesEnabled && timeSeriesStream.is_open()) {
        haveRecord = ReadSeriesRecord(timeSeriesStream, &record);
        if (haveRecord) ApplySeriesWaterLevel(level0, band, record);
    }

    const bool recordGauges = SpanHoldsMultiple(stepIndex, steps, p.historyEverySteps);
    KernelSettings settings = MakeKernelSettings(p, timeStepFactor);

    // 4-5. Every level, finest first, level 0 last. A child's water level is fed back into its
    //      parent between the parent's mass and momentum updates of the parent's last sub-step:
    //      then both describe the end of the base step, and the parent's momentum sees it (fed
    //      back before the parent's mass update, the update would overwrite it).
    for (std::size_t k = levels.size(); k-- > 0;) {
        GridLevel& level = levels[k];
        const int32_t substeps = SubstepCount(k);
        settings.timeStep = p.timeStep / static_cast<float>(substeps);
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
                SetChildBoundaryWaterLevel(levels[k - 1], level);
            }
            const bool lastSubstep = s + 1 == substeps;
            if (level.IsSpherical()) ContinuitySpherical(level, tMinutes, settings);
            else ContinuityCartesian(level, ratio, tMinutes, settings);
            if (lastSubstep && k + 1 < levels.size()) FeedBackWaterLevel(levels[k + 1], level);
            // The series' fluxes enter a spherical level 0 between its mass and momentum updates.
            if (k == 0 && haveRecord && !p.useEtaOnly && level.IsSpherical()) ApplySeriesFluxes(level, band, record);
            level.stepMaximum = level.IsSpherical() ? MomentumSpherical(level, tWhole, settings)
                                                    : MomentumCartesian(level, ratio, tWhole, settings);
            AdvanceTimeLevel(level, settings);
            if (k > 0) RecordChildBoundaryExtremes(level, tMinutes);
        }
        if (recordGauges) WriteGaugeHistories(p, level, level.outputFolder, t);
    }

    // 6. Frames and snapshots due at this time, level by level. The previous call's length
    //    (0 on the first call) keeps a frame from being written twice within a second.
    const float previousLength = adaptiveTimeStep;
    for (std::size_t k = 0; k < levels.size(); ++k) {
        GridLevel& level = levels[k];
        if (FrameDue(p.snapshotInterval, t, tWhole, previousLength)) {
            WriteFieldGrid(*this, level.eta.cview(), level.depth.cview(), t, level.xMin, level.xMax, level.yMin,
                           level.yMax, level.nx, level.ny, kWaterLevelFrame, level.outputFolder,
                           level.outputCounters[0], static_cast<int32_t>(k));
            ++level.outputCounters[0];
        }
        const bool modeEnabled[3] = {p.snapshotMode0Enabled, p.snapshotMode1Enabled, p.snapshotMode2Enabled};
        const float modeInterval[3] = {p.snapshotMode0Interval, p.snapshotMode1Interval, p.snapshotMode2Interval};
        for (int32_t mode = 0; mode < 3; ++mode) {
            if (!modeEnabled[mode] || !FrameDue(modeInterval[mode], t, tWhole, previousLength)) continue;
            WriteSnapshot(p, level.rouseNumber.cview(), level.fluxMNext.cview(), level.fluxNNext.cview(),
                          level.totalDepthM.cview(), level.totalDepthN.cview(), t, level.xMin, level.xMax,
                          level.yMin, level.yMax, level.nx, level.ny, mode, level.outputFolder,
                          level.outputCounters[1 + mode]);
            ++level.outputCounters[1 + mode];
        }
    }

    // 7-8. This call's length becomes the reference of the next call's frame checks.
    adaptiveTimeStep = stepLength;
    timeStepFactor = 1.0f;
    *advance = steps;
}
