#pragma once
// "OUT-SUMMARY-INPUT.dat": the run settings a level is about to use, for the user to check.
#include <string>

#include "GridLevel.h"
#include "SimulationParameters.h"

inline constexpr const char* kInputSummaryFileName = "OUT-SUMMARY-INPUT.dat";

// One real number of the summary, as a single-precision value: fixed notation with three
// decimals when the run places gauges on at least one level (60 -> "60.000"), otherwise the
// default general format with six significant digits (60 -> "60", 0.1 -> "0.1").
std::string FormatSummaryNumber(float value, bool fixedThreeDecimals);

// The summary text of one level (every line ends in a line break).
std::string InputSummaryText(const GridLevel& level, const SimulationParameters& settings, float gridSpacing,
                             bool fixedThreeDecimals);

// Writes the summary into the level's output folder. A file that cannot be written gets one
// warning line on standard error; the run goes on. Returns whether it was written.
bool WriteInputSummary(const GridLevel& level, const SimulationParameters& settings, float gridSpacing,
                       bool fixedThreeDecimals);
