#pragma once
// The bundled example: a complete, realistic scenario built from code (no downloaded data),
// so that a new user can run the model end to end on the first day.
//
// Level 0 is a spherical grid of 3 x 3 degrees at 1 arc-minute (181 x 181 nodes, 140-143 E,
// 36-39 N): a 4000 m deep basin in the east, a continental slope, a 150 m shelf and a coast
// running north-south with a bay cut into it. Level 1 covers the bay three times finer
// (20 arc-seconds); its land rises to a few hundred metres, so the flood stops on the grid.
// An optional level 2 (about 6.7 arc-seconds) covers the head of the bay with its coastal
// lowland. The wave source is an elliptical uplift of 3 m over the slope, given as a Surfer
// text grid on level 0's nodes; gauges stand offshore, on the shelf and inside the bay.
#include <cstdint>
#include <string>

struct ExampleOptions {
    bool secondNestedLevel = false;  // add level 2 over the head of the bay
    int32_t outputFormat = 2;        // GridFileFormat of the results: netCDF unless asked otherwise
    double endTimeMinutes = 60.0;    // simulated time
    std::string name = "Bay example";  // scenario title (plots, summary)
};

// Writes into `dir` (created with its parents): "scenario.toml", one bathymetry grid and one
// gauge list per level ("bathymetry-level<k>.grd", "gauges-level<k>.txt") and the source
// "initial-uplift.grd". Every file is a pure function of the options, byte for byte.
// The scenario's output folders ("out/level<k>") are left to the run to create. Existing
// files of these names are never overwritten: the call then fails and writes nothing.
// On failure returns false with one line naming the file and the reason in *error.
bool WriteRealisticExample(const std::string& dir, const ExampleOptions& options, std::string* error);
