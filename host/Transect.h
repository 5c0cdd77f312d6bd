#pragma once
// A line along which the run summary reports the runup (a scenario's [[transects]]).
#include <string>

// From (x0, y0) to (x1, y1) in the coordinates of level `level` (degrees or metres).
struct Transect {
    std::string name;
    int level = 0;
    double x0 = 0.0, y0 = 0.0, x1 = 0.0, y1 = 0.0;
};
