#pragma once
#include <cmath>

// Rounds to the nearest integer with halves going up (for non-negative x): ceil(x) when
// floor(x + 0.5) reaches it, floor(x) otherwise. Used to place gauges and nested grids.
inline double RoundHalfUp(double x) {
    const double up = std::ceil(x);
    return std::floor(x + 0.5) >= up ? up : std::floor(x);
}
