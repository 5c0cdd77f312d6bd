#pragma once
// `vestra grid`: bathymetry for the model's levels, cut from any GDAL raster.
//
//   vestra grid SOURCE --box W,E,S,N --spacing STEP [--elevation] [--nodata-height H] -o OUT
//   vestra grid --nest PARENT --box W,E,S,N SOURCE [--elevation] [--nodata-height H] -o CHILD
//   vestra grid --check SCENARIO.toml          (the scenario's grids, outermost first)
//   vestra grid --check LEVEL0 LEVEL1 ...      (grid files, outermost first)
//
// OUT is a Surfer text grid when its name ends in ".grd", else netCDF ("LAT", "LON", "HA").
// The report goes to standard output, a failure to standard error as one line.
#include <string>
#include <vector>

// Runs the command; `args` are the words after "grid". Returns 0 on success, 1 when the work
// failed or a layout check found problems, 2 for a malformed command line.
int RunGridCommand(const std::vector<std::string>& args);
