#pragma once
// Small model runs: levels and sources written as grids on a scratch folder, Init, Step by hand.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>

#include "InitResult.h"
#include "ScenarioFiles.h"
#include "ZellSimulatorVestra.h"

constexpr double kGravity = 9.80665;
constexpr double kMetresPerDegree = 6371008.0 * M_PI / 180.0;
using XyFunction = std::function<double(double, double)>;

struct SteppedRun {
    std::vector<HostGridRecord> grids;
    std::vector<SourceEvent> events;
    SimulationParameters parameters;
    std::unique_ptr<ZellSimulatorVestra> sim;
    int32_t index = 0;
    float smallFluxCut = -1.0f;  // ExtendedRunSettings::smallFluxCut
    bool dispersion = false;     // [numerics] dispersion, with faces below dispersionMinDepth left long-wave
    float dispersionMinDepth = 0.0f;

    SteppedRun() {
        parameters.threadCount = 1;
        parameters.snapshotInterval = 0.0f;       // no frames
        parameters.historyEverySteps = 1 << 30;  // nor gauge histories
    }

    // A level over `g` whose still-water depth is depth(x, y); its outputs go to folder `tag`.
    void AddLevel(const ScratchFolder& dir, const std::string& tag, int type, double cell, const GridSpec& g,
                  const XyFunction& depth) {
        WriteSurferGrid(dir / (tag + "-depth.grd"), g, depth);
        grids.push_back(HostGridRecord{type, false, 0.0f, cell, dir / (tag + "-depth.grd"), dir.Folder(tag), ""});
    }
    void AddSource(const ScratchFolder& dir, const std::string& tag, const GridSpec& g, const XyFunction& eta) {
        WriteSurferGrid(dir / (tag + "-eta.grd"), g, eta);
        events.push_back(SourceEvent{dir / (tag + "-eta.grd"), "", "", 0.0f});
    }
    // `sides` (west, east, south, north), when given, override `edges` side by side.
    int32_t Init(OpenEdgeKind edges = OpenEdgeKind::Radiating, const std::array<OpenEdgeKind, 4>* sides = nullptr) {
        sim = std::make_unique<ZellSimulatorVestra>(&grids, &events);
        sim->SetParameters(parameters);
        ExtendedRunSettings extended{edges, 20, smallFluxCut};
        if (sides != nullptr) std::copy(sides->begin(), sides->end(), extended.sideKinds);
        extended.dispersion = dispersion;
        extended.dispersionMinDepth = dispersionMinDepth;
        sim->SetExtendedSettings(extended);
        return sim->Init(nullptr);
    }
    double Step() {  // returns the model time reached, s
        int32_t advance = 1;
        sim->Step(index, &advance);
        index += advance;
        return index * static_cast<double>(parameters.timeStep);
    }
    GridLevel& Level(int k = 0) { return sim->levels[k]; }
};

inline bool SameBits(const Field& a, const Field& b) {
    return a.Size() == b.Size() && std::memcmp(a.Data(), b.Data(), a.Size() * sizeof(float)) == 0;
}
