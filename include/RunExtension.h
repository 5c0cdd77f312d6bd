#pragma once
// Settings and results that only hosts built against this header exchange with the simulator,
// through the two slots appended at the end of ZellSimulatorI. A host built against the original
// interface never calls them and gets the classic behaviour (radiating open edges, no report).
#include <cstdint>
#include <string>
#include <vector>

// What level 0's outer edges do with the waves that reach them.
enum class OpenEdgeKind : int32_t {
    Radiating = 0,  // first-order radiation of the water level through the edge (the classic edge)
    Absorbing = 1,  // a perfectly matched layer of absorbingCells cells added outside level 0
    Wall = 2,       // reflecting: no flux through the edge
};

struct ExtendedRunSettings {
    OpenEdgeKind edgeKind = OpenEdgeKind::Radiating;
    int32_t absorbingCells = 20;  // width of the absorbing layer, cells of level 0
    // Fluxes smaller than this (m^2/s) are set to 0 after the momentum update. Below 0: the
    // classic cuts, 1e-4 for every flux but the Cartesian y-flux, which is cut below 1e-3.
    // Laboratory-scale runs (depths of centimetres) need a smaller cut or none (0).
    float smallFluxCut = -1.0f;
    // Speed (m/s) to which a Cartesian x-flux is held, |M| <= limit * face depth. Below 0: the
    // classic fixed 30 m/s. At laboratory scale 30 m/s is several cells per step: a thin film
    // rushing down a steep shore at such speeds blows the run up.
    float cartesianXVelocityLimit = -1.0f;
};

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
