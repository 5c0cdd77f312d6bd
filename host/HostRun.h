#pragma once
// `vestra run`: loads the plug-in, hands it the scenario and follows the run to its end.
#include <cstdint>
#include <string>
#include <vector>

struct Scenario;
struct RunDiagnostics;

struct RunOptions {
    std::string scenarioPath;
    std::string pluginPath;             // empty: libvestra.so beside the executable
    std::vector<std::string> settings;  // "NAME=VALUE", applied after the file in order
    bool quiet = false;
    std::string jsonPath;  // non-empty: the run summary is also written there as JSON
    bool plots = true;     // draw the quicklook pictures of every level after the run
    // Checkpoints (CheckpointPath): continue from it, stop with one at this model time (minutes;
    // below 0: never), write one every this many minutes of model time (0: never).
    bool resume = false;
    double untilMinutes = -1.0;
    double checkpointEveryMinutes = 0.0;
};

// Exit statuses of the command.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // bad input, unloadable plug-in, failed Init
inline constexpr int kExitUsage = 2;    // bad command line
inline constexpr int kExitUnstable = 3;  // the run became unstable and was stopped; outputs so far kept
inline constexpr int kExitStopped = 130;  // stopped by Ctrl-C (128 + SIGINT), after a checkpoint
inline constexpr int kExitTerminated = 143;  // stopped by SIGTERM (128 + SIGTERM), after a checkpoint

// The checkpoint of the scenario DIR/NAME.toml: DIR/NAME.checkpoint. A run writes it when it
// stops early (Ctrl-C, SIGTERM, --until, --checkpoint-every) and removes it when it completes.
std::string CheckpointPath(const std::string& scenarioPath);

// Runs the scenario of `options`. When `diagnostics` is given it receives the run's diagnostics
// (volume account per level, instability) of a run that started, whatever its outcome.
int RunScenario(const RunOptions& options, RunDiagnostics* diagnostics = nullptr);

// libvestra.so in the folder of the running executable (found through /proc/self/exe).
std::string DefaultPluginPath();

// The one line reporting a failed Init: its code and what the code means.
std::string InitFailureMessage(int32_t code);

// Turns every [[sources]] entry that names a fault file into source events the plug-in can
// read: the faults' vertical sea-floor displacement on level 0's nodes (level 0's bathymetry
// gives the nodes, and the depth for the horizontal-motion term), one event per distinct
// rupture time at the entry's insertionTime plus that time, each the sum of the faults
// sharing it. Every fault file is read and every grid computed before anything is written;
// then level 0's output folder is created if needed and the grids go into it:
//   "source-N.grd" / "source-N.nc"        one rupture time (N: the entry's position from 1)
//   "source-N-T.grd" / "source-N-T.nc"    several; T is the rupture time in seconds
// The plug-in puts a Surfer text water level in place of the wave but adds a netCDF one to
// it, so only the first event of the list, inserted at time 0 onto water at rest, is written
// as Surfer text; every other one is netCDF, so that it lifts the running wave. On success
// the scenario's sources hold the expanded list, sourceFaultFiles is all empty, and each
// written file gets one line in *written. On failure returns false with one line naming the
// scenario, the entry and the fault file, and leaves the scenario as it was.
bool ExpandFaultSources(Scenario* scenario, std::vector<std::string>* written, std::string* error);

