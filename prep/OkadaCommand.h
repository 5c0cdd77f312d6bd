#pragma once
// Sea-floor displacement of a fault file on the nodes of a model grid, and the `vestra okada`
// command built on it.
#include <optional>
#include <string>
#include <vector>

#include "FaultFile.h"
#include "ModelGrid.h"

// How the target grid's coordinates are to be read.
enum class GridCoordinates {
    Guess,      // degrees when ModelGrid::LooksSpherical(), metres otherwise
    Spherical,  // longitude and latitude in degrees
    Cartesian,  // x and y in metres
};

// Azimuthal equidistant projection about a fault's reference point (lon0, lat0), in degrees:
// distance and azimuth from that point are true, so the half-space sees each node at its real
// great-circle distance in its real direction. east and north are in metres on a sphere of
// radius 6371008 m; convergence (rad) is what to add to an azimuth measured in the plane to get
// the geographic azimuth at the node (the turn of the meridians along the great circle).
struct LocalPoint {
    double east = 0.0, north = 0.0, convergence = 0.0;
};
LocalPoint ProjectAzimuthalEquidistant(double lon0, double lat0, double lon, double lat);

// The distinct rupture times of the faults, ascending. Each becomes one source event.
std::vector<double> RuptureTimes(const FaultSet& set);

// Vertical displacement (m, up positive) summed over the faults whose rupture_time equals
// *ruptureTime, or over every fault when ruptureTime is empty, on the nodes of `like`: *out
// receives like's size and extent. When set.horizontal is true, like's values are read as
// still-water depth (m, positive down) and the Tanioka-Satake term is added at wet nodes.
// Fails, with a message, when the faults' coordinates do not fit the grid's or when no fault
// has the given rupture time.
bool ComputeFaultDisplacement(const FaultSet& set, const ModelGrid& like, std::optional<double> ruptureTime,
                              ModelGrid* out, std::string* error,
                              GridCoordinates coordinates = GridCoordinates::Guess);

// `vestra okada FAULTS.toml --like GRID -o OUT`; args are the words after "okada". Returns the
// process exit status: 0 done, 1 bad input or failed write, 2 bad command line.
int RunOkadaCommand(const std::vector<std::string>& args);
