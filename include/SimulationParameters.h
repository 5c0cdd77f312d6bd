#pragma once
// Run settings handed to Start by reference and copied whole into the simulator.
// The field order and widths are part of the plug-in interface: do not reorder.
#include <cstdint>
#include <string>

struct SimulationParameters {
    int32_t reservedA = 1;                 // not read by the simulator
    int32_t threadCount = 0;               // OpenMP threads per parallel loop; < 1 means the runtime default
    int32_t outputFormat = 1;              // GridFileFormat: 0 Surfer text, 1 Surfer binary, 2 netCDF, 3 ESRI ASCII
    bool adaptiveTimeStepEnabled = false;  // choose the step length from the stability limit
    float timeStep = 0.1f;                 // base step, seconds
    float startTime = 0.0f;                // minutes
    float endTime = 10.0f;                 // minutes
    float snapshotInterval = 60.0f;        // water-level frame interval, seconds; 0 disables frames
    int32_t historyEverySteps = 10;        // gauge histories every this many steps (>= 1)
    float reservedB = 1000.0f;             // not read by the simulator
    int32_t roughnessMode = 1;             // 0: per-cell roughness from roughnessFile; else manningCoefficient
    float manningCoefficient = 0.015f;     // Manning n, s/m^(1/3)
    std::string roughnessFile;             // Surfer text grid of Manning n (roughnessMode 0)
    bool snapshotMode1Enabled = false;
    bool snapshotMode2Enabled = false;
    bool snapshotMode0Enabled = false;
    float snapshotMode1Interval = 600.0f;  // seconds
    float snapshotMode2Interval = 600.0f;  // seconds
    float snapshotMode0Interval = 600.0f;  // seconds
    float landCutoffDepth = -40.0f;        // cells with still-water depth below this keep zero fluxes, m
    float velocityLimit = 40.0f;           // m/s
    float flowDepthLimit = 0.1f;           // m
    bool timeSeriesEnabled = false;        // force a boundary band from timeSeriesFile each step
    std::string timeSeriesFile;            // "t-eta" file: time, eta, M, N per line
    uint32_t seriesFirstIndex = 0;         // first grid index of the forced band
    uint32_t seriesLastIndex = 0;          // last grid index of the forced band (empty band when first > last)
    int32_t seriesMode = 0;                // 0 rows, 1 columns, 2 both
    bool useEtaOnly = true;                // apply only the water level of the series
    bool cellFieldFromFile = false;        // read cellField from cellFieldFile and compute Rouse numbers
    std::string cellFieldFile;             // Surfer text grid of the Rouse-number numerator
};
