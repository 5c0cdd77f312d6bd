#pragma once
// The host's descriptions of grids and wave sources. The simulator keeps pointers to
// the host's vectors of these; the host keeps them alive and unchanged meanwhile.
#include <cstdint>
#include <string>

struct HostGridRecord {
    int32_t gridType = 0;        // 0,1 Cartesian; 2,3 spherical; 1 and 3 carry optionNumber
    bool coriolis = false;       // Coriolis terms on spherical grids
    float optionNumber = 0.0f;   // depth in metres beyond which advection is skipped (types 1, 3)
    double cellSize = 0.0;       // metres; only the first record's value is read (gridSpacing)
    std::string bathymetryFile;  // Surfer text grid (name ends in d/D) or netCDF ("LAT", "LON", "HA")
    std::string outputFolder;    // every output file of the level goes here; ends in a separator
    std::string gaugeFile;       // gauge list; empty or unreadable means no gauges
};

struct SourceEvent {
    std::string etaFile;    // water-level grid (Surfer text or netCDF)
    std::string fluxMFile;  // x-flux grid (Surfer text), optional
    std::string fluxNFile;  // y-flux grid (Surfer text), optional
    float insertionTime = 0.0f;  // model time, seconds
};
