#pragma once
// One nested grid of the model: its header, its static fields and the state the solver
// advances. Level 0 is the outermost grid; level k+1 is nested in level k, three times finer.
//
// Every two-dimensional field is a Field (Field.h): (nx+3) x (ny+3) floats with a halo,
// addressed [i][j], i = 1..nx west to east, j = 1..ny south to north; cell (1,1) lies at
// (xMin, yMin). The staggering: eta, depth and the total depths live at cell centres,
// fluxM[i][j] on the east face of cell (i,j), fluxN[i][j] on its north face.
// The spherical-only fields stay empty on Cartesian levels.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Field.h"
#include "RunExtension.h"

// The part of a level that the user's grid file describes. Level 0 may be enlarged by a frame
// of cells on every side (an absorbing layer, or a wall of high land); every output, gauge, source
// grid and boundary band works in this window, whose cell (1, 1) is the level's cell
// (offset + 1, offset + 1).
struct GridWindow {
    int32_t offset = 0;
    int32_t nx = 0, ny = 0;
    double xMin = 0, xMax = 0, yMin = 0, yMax = 0;

    // `view` seen from the window: view(1, 1) is the window's first cell. No copy is made; the
    // stride stays the level's.
    template <typename T>
    FieldView<T> Crop(FieldView<T> view) const {
        if (view.data == nullptr) return view;
        return FieldView<T>{view.data + static_cast<std::ptrdiff_t>(offset) * view.stride + offset, nx + 3,
                            view.stride};
    }
};

// The part of a level that can change in the next (sub)step. A cell whose neighbourhood kept
// every prognostic value (eta, fluxes, total depth) through the last step gets exactly the same
// update as in that step, which left it unchanged: skipping it changes no byte. The window is the
// box of the cells that changed in the last step, widened by the reach of one step; the edges
// are always updated. With tracking off (the default) the whole level is updated every step.
struct ActiveWindow {
    static constexpr int32_t kWhole = 1 << 29;
    int32_t iMin = -kWhole, iMax = kWhole;  // columns to update (may reach beyond the level)
    int32_t jMin = -kWhole, jMax = kWhole;  // rows to update
    int32_t wholeSteps = 2;                 // steps still to run over the whole level
    bool tracking = false;                  // narrow the window after each step
    // Cells beside the faces whose current flux the mass update limited in this step (empty when
    // iMin > iMax): AdvanceTimeLevel counts them as changed.
    int32_t limitedIMin = kWhole, limitedIMax = -kWhole, limitedJMin = kWhole, limitedJMax = -kWhole;
};

// The volume a nested level and its parent each moved through their common border during one base
// step, one entry per parent face on it (west, east, south and north lines, in that order), counted
// into the child. Sized once when the run is set up (empty: no border account), summed into during
// the step and cleared at its end.
struct BorderVolumes {
    std::vector<double> parent, child;
};

struct GridLevel {
    std::string bathymetryFile;  // depth grid: Surfer text grid (name ends in d/D) or netCDF
    std::string gaugeFile;       // gauge list
    std::string outputFolder;    // every output file of the level lies directly in this folder

    int32_t gridType = 0;         // 0, 1 Cartesian; 2, 3 spherical
    int32_t coriolisEnabled = 0;  // spherical only: Coriolis terms applied
    int32_t optionValue = 0;      // types 1, 3: depth (m) from which advection terms are skipped
    int32_t optionEnabled = 0;    // 1 for types 1 and 3

    double xMin = 0, xMax = 0;  // x (m) or longitude (deg) of the first and last column
    double yMin = 0, yMax = 0;  // y (m) or latitude (deg) of the first and last row
    double zMin = 0, zMax = 0;  // depth range of a Surfer text header
    int32_t nx = 0, ny = 0;     // columns and rows

    Field flowDepthAtMaxCurrent;  // flow depth when maxCurrent was reached, m
    Field timeOfMaxCurrent;       // time maxCurrent was reached, minutes
    Field maxDischargeFlux;       // largest |(M, N)|, m^2/s
    Field maxFluxN;               // largest y-flux, m^2/s
    Field maxFluxM;               // largest x-flux, m^2/s
    Field depth;                  // still-water depth, m: positive at sea, <= 0 on land
    Field fluxM, fluxMNext;       // x-discharge on the east face, current and next level, m^2/s
    Field fluxN, fluxNNext;       // y-discharge on the north face, current and next level, m^2/s
    Field totalDepthM;            // total depth at the M points, m (u = M / totalDepthM)
    Field cellField;              // numerator of the Rouse number (0.1 unless read from a file)
    Field totalDepthN;            // total depth at the N points, m (v = N / totalDepthN)
    Field rouseNumber;            // Rouse number per cell
    Field totalDepth, totalDepthNext;  // total depth at the cell centre, two time levels, m
    // Mass update scratch: the delivered flux of each face whose outflow it limited (NaN
    // elsewhere), and per column the rows written (own faces: [4i], [4i+1]; the west faces that
    // column i+1 wrote into column i: [4i+2], [4i+3]).
    Field limitedFluxM, limitedFluxN;
    std::vector<int32_t> limitedRows;
    // Mass update scratch: 1 where a cell holds what its outgoing fluxes take (no limit acts),
    // worked out once per cell and step for the cell's own column and both neighbours.
    FieldStorage<std::uint8_t> outflowFits;
    Field manning;                // Manning n per cell, s/m^(1/3)
    Field metricX;                // spherical: dt / (R cos(phi_c) dLambda)
    Field gravityMetricX;         // spherical: g dt / (R cos(phi_c) dLambda)
    Field gravityMetricY;         // spherical: g dt / (R dLambda)
    std::vector<float> cosLatitude;     // spherical, per row j: cos(phi_c)
    std::vector<float> coriolisCentre;  // spherical, per row j: Omega dt/2 sin(phi_c)
    std::vector<float> coriolisEdge;    // spherical, per row j: Omega dt/2 sin(phi_e), phi_e on the north face
    Field eta, etaNext;           // water surface elevation, current and next level, m
    Field etaMax, etaMin;         // highest and lowest water level so far, m
    Field timeOfMaxWave;          // time etaMax was reached, minutes
    Field firstWaveArrival;       // time the first wave arrived, minutes
    std::vector<int32_t> gaugeColumns, gaugeRows;  // cell indices of each placed gauge
    int32_t gaugeCount = 0;
    Field maxCurrentAngle;        // direction of the current at maxCurrent, degrees
    Field maxCurrent;             // largest current speed, m/s
    Field maxFlowDepth;           // largest flow depth, m
    Field maxFroude;              // largest Froude number
    Field maxFroudeSquared;       // largest squared Froude number
    Field maxDragForce;           // largest drag force per unit mass-less width
    Field maxDischargeFluxAngle;  // direction of the flux at maxDischargeFlux, degrees
    Field froudeSquaredU, froudeSquaredV;  // x and y parts belonging to maxFroudeSquared
    Field maxMomentumFlux;        // largest momentum flux, m^3/s^2
    Field currentAtMaxFroudeSquared;    // current speed when maxFroudeSquared was reached, m/s
    Field flowDepthAtMaxFroudeSquared;  // flow depth when maxFroudeSquared was reached, m
    Field timeOfMaxFroudeSquared;       // time maxFroudeSquared was reached, minutes

    // Frame added around level 0 by Init (0: none): layerCells cells on every side, the user's
    // grid in the middle. absorbingLayer: the frame is a perfectly matched layer (layerEtaX and
    // layerEtaY hold the two parts of its water level) but on the wallSides, where it is high
    // land; otherwise it is high land (a wall) all round.
    int32_t layerCells = 0;
    bool absorbingLayer = false;
    std::array<bool, 4> wallSides{};  // sides (west, east, south, north) whose frame is high land
    GridWindow userWindow;          // valid when layerCells > 0; see UserWindow()
    Field layerEtaX, layerEtaY;     // absorbing layer only

    std::array<int32_t, 4> outputCounters{};  // frames written: [0] water level, [1..3] snapshot modes 0..2
    ActiveWindow activeWindow;  // still-water skipping; ResetActiveRegions after any outside change
    BorderVolumes parentBorder;  // a nested level: its border with its parent (Nesting.h)
    float stepMaximum = 0.0f;  // largest still-water depth among wet inner cells of the last momentum phase
    // Scratch of the dispersive correction (solver/Dispersion.h), allocated only when the run has
    // dispersion on: the right-hand sides of the x- and y-systems (then their solutions), the
    // eliminated upper diagonal, each face's factor h^2 / 3 (-1 where it stays long-wave), and per
    // row j the cosines of the cell-centre and north-face latitudes (1 on Cartesian levels).
    FieldStorage<double> dispersionRhsM, dispersionRhsN, dispersionUpper;
    Field dispersionFactorM, dispersionFactorN;
    std::vector<double> dispersionCosCentre, dispersionCosEdge;

    bool IsSpherical() const { return gridType >= 2; }
    // The user's grid inside the level (the whole level when no frame was added).
    GridWindow UserWindow() const {
        if (layerCells > 0) return userWindow;
        return GridWindow{0, nx, ny, xMin, xMax, yMin, yMax};
    }
};
