#pragma once
// `vestra run`: loads the plug-in, hands it the scenario and follows the run to its end.
#include <cstdint>
#include <string>
#include <vector>

struct RunOptions {
    std::string scenarioPath;
    std::string pluginPath;             // empty: libvestra.so beside the executable
    std::vector<std::string> settings;  // "NAME=VALUE", applied after the file in order
    bool quiet = false;
};

// Exit statuses of the command.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // bad input, unloadable plug-in, failed Init
inline constexpr int kExitUsage = 2;    // bad command line
inline constexpr int kExitStopped = 130;  // stopped by Ctrl-C (128 + SIGINT)

int RunScenario(const RunOptions& options);

// libvestra.so in the folder of the running executable (found through /proc/self/exe).
std::string DefaultPluginPath();

// The one line reporting a failed Init: its code and what the code means.
std::string InitFailureMessage(int32_t code);
