#pragma once
// The bundled example: writes a complete, runnable scenario (scenario.toml with its
// bathymetry, initial wave and gauge list) into a folder.
#include <string>

// Creates `dir` with its parents and writes the example into it. Refuses, with a reason
// in *error, to overwrite files that are already there.
bool WriteExampleScenario(const std::string& dir, std::string* error);
