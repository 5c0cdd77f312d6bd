#pragma once
// Settings and results that only hosts built against this header exchange with the simulator,
// through the slots appended at the end of ZellSimulatorI. A host built against the original
// interface never calls them and gets the classic behaviour (radiating open edges, no report).
#include <cstdint>
#include <string>
#include <vector>

// What level 0's outer edges do with the waves that reach them.
enum class OpenEdgeKind : int32_t {
    Radiating = 0,  // first-order radiation of the water level through the edge (the classic edge)
    Absorbing = 1,  // a perfectly matched layer of absorbingCells cells added outside level 0
    Wall = 2,       // reflecting: no flux through the edge
    AsEdgeKind = -1,  // in sideKinds: the side takes edgeKind
};

// The sides of level 0, in the order of ExtendedRunSettings::sideKinds.
enum EdgeSide : int32_t { kWestSide = 0, kEastSide = 1, kSouthSide = 2, kNorthSide = 3 };

struct ExtendedRunSettings {
    OpenEdgeKind edgeKind = OpenEdgeKind::Radiating;
    int32_t absorbingCells = 20;  // width of the absorbing layer, cells of level 0
    // Fluxes smaller than this (m^2/s) are set to 0 after the momentum update. Below 0: the
    // classic cuts, 1e-4 for every flux but the Cartesian y-flux, which is cut below 1e-3.
    // Laboratory-scale runs (depths of centimetres) need a smaller cut or none (0).
    float smallFluxCut = -1.0f;
    // Per-side kinds (west, east, south, north: EdgeSide); a side left at AsEdgeKind takes
    // edgeKind. Absorbing and wall sides mix freely (the layer's width is absorbingCells on every
    // side, a wall side's share of it is high land); radiating sides only among themselves: a
    // radiating side beside an absorbing or wall side becomes absorbing.
    OpenEdgeKind sideKinds[4] = {OpenEdgeKind::AsEdgeKind, OpenEdgeKind::AsEdgeKind, OpenEdgeKind::AsEdgeKind,
                                 OpenEdgeKind::AsEdgeKind};
    // Frequency dispersion: the momentum update adds a weakly dispersive (Boussinesq-type)
    // correction, solved implicitly along rows and columns, on every face whose still-water depth
    // is at least dispersionMinDepth (m) and whose two cells are wet; other faces stay long-wave.
    bool dispersion = false;
    float dispersionMinDepth = 0.0f;
    // Runup fronts: a face between a wet and a dry cell, while the wet cell's water runs towards the
    // dry one, opens once the wet level plus the velocity head u^2/(2g) stands above the dry cell's
    // bed, and carries that excess (false: once the wet level alone stands above it).
    bool frontVelocityHead = false;
};

// The kind each side of level 0 gets from these settings (sideKinds over edgeKind, the mixing
// rule above applied).
inline void ResolveSideKinds(const ExtendedRunSettings& settings, OpenEdgeKind sides[4]) {
    const OpenEdgeKind all = settings.edgeKind == OpenEdgeKind::Absorbing || settings.edgeKind == OpenEdgeKind::Wall
                                 ? settings.edgeKind
                                 : OpenEdgeKind::Radiating;
    bool framed = false;
    for (int32_t s = 0; s < 4; ++s) {
        const OpenEdgeKind k = settings.sideKinds[s];
        sides[s] = k == OpenEdgeKind::Radiating || k == OpenEdgeKind::Absorbing || k == OpenEdgeKind::Wall
                       ? k
                       : all;
        framed = framed || sides[s] != OpenEdgeKind::Radiating;
    }
    for (int32_t s = 0; s < 4; ++s)
        if (framed && sides[s] == OpenEdgeKind::Radiating) sides[s] = OpenEdgeKind::Absorbing;
}

// Volume account of one level over the run, m^3 (water above the still level counts), over the
// user's grid of the level (an absorbing layer or wall frame added around level 0 is outside it).
struct LevelVolumeBudget {
    double sourceVolume = 0.0;     // added by source events and the boundary series
    double storedChange = 0.0;     // stored volume at the end minus at the start
    double edgeOutflow = 0.0;      // net volume that left through the level's edges (open edge, layer, parent)
    double nestingExchange = 0.0;  // net volume the nesting set into the level (a parent's edge levels, a child's feedback)
    // What the terms leave unexplained; near rounding for a conservative run.
    double Imbalance() const { return storedChange - sourceVolume - nestingExchange + edgeOutflow; }
};

struct RunDiagnostics {
    bool unstable = false;       // the run was stopped because its water level blew up
    std::string failureMessage;  // level, cell and model time of the blow-up
    std::vector<LevelVolumeBudget> volumeBudgets;  // one per level, level 0 first
};

// Checkpoints of a run: the whole model state between two steps, from which a later run of the
// same scenario with the same build continues as if it had never stopped. Set before Start.
struct CheckpointSettings {
    std::string path;            // the checkpoint file; empty: no checkpoint is written or read
    bool resume = false;         // Init restores the state in `path` and the run continues from it
    double untilMinutes = -1.0;  // >= 0: stop with a checkpoint once the model time reaches this, minutes
    double everyMinutes = 0.0;   // > 0: also write a checkpoint every this many minutes of model time
    bool onStop = true;          // write a checkpoint when Stop ends the run early
};

// What became of the checkpoints of a run, read once the run has ended.
struct CheckpointReport {
    bool resumed = false;           // the run continued from the checkpoint
    double resumedMinutes = 0.0;    // model time it continued from, minutes
    bool reachedUntil = false;      // the run stopped at untilMinutes
    int32_t written = 0;            // checkpoints written
    double lastMinutes = 0.0;       // model time of the last one, minutes
    int64_t lastBytes = 0;          // its size
    double lastWriteSeconds = 0.0;  // the wall time its writing took
    bool failed = false;            // the resume was refused, or the last checkpoint could not be written
    std::string error;              // then: one line naming the file and what is wrong
};
