#pragma once
// Small input files for tests that run the model: Surfer text grids on a scratch folder.
#include <functional>

#include "TestSupport.h"

struct GridSpec {
    int nx = 0, ny = 0;
    double xMin = 0, xMax = 0, yMin = 0, yMax = 0;
    double Dx() const { return (xMax - xMin) / (nx - 1); }
    double Dy() const { return (yMax - yMin) / (ny - 1); }
    double X(int i) const { return xMin + (i - 1) * Dx(); }  // node of column i (1-based)
    double Y(int j) const { return yMin + (j - 1) * Dy(); }
};

// Writes a Surfer text grid whose value at node (i, j) is value(x, y).
inline void WriteSurferGrid(const std::string& path, const GridSpec& g,
                            const std::function<double(double, double)>& value) {
    std::ofstream out(path);
    out.precision(9);
    out << "DSAA\n" << g.nx << " " << g.ny << "\n" << g.xMin << " " << g.xMax << "\n" << g.yMin << " " << g.yMax
        << "\n0 1\n";
    for (int j = 1; j <= g.ny; ++j)
        for (int i = 1; i <= g.nx; ++i) out << value(g.X(i), g.Y(j)) << (i == g.nx ? "\n" : " ");
    ASSERT_TRUE(out.good()) << path;
}
