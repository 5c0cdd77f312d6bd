#pragma once
// `vestra plot OUTPUT_FOLDER [options]`: quicklook pictures of one level's results, drawn by
// the matplotlib script vestra_plot.py under /usr/bin/python3 (Debian's python3-matplotlib,
// python3-numpy, python3-netcdf4). The script lies beside the vestra executable (copied there
// by the build) or, failing that, in the source tree.
#include <string>
#include <vector>

inline constexpr const char* kPlotPython = "/usr/bin/python3";
inline constexpr const char* kPlotScriptName = "vestra_plot.py";

// Runs the script with `args` (the words after "plot"). Returns the script's exit status
// (0 done, 1 missing or unreadable results, 2 bad arguments, 3 Python packages missing), or 2
// with one line on standard error when the interpreter or the script cannot be found or run.
int RunPlotCommand(const std::vector<std::string>& args);

// The same with an explicit interpreter and script (an empty script: found as above).
int RunPlotScript(const std::string& python, const std::string& script, const std::vector<std::string>& args);

// Where RunPlotCommand looks for the script: beside the running executable, then the source
// tree. Empty when it is in neither place.
std::string FindPlotScript();
