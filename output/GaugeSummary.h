#pragma once
// The table of results per gauge, "OUT-SUMMARY-RESULT.dat": for every gauge of the water-level
// time history its name and depth (from the history's header), its coordinates (from the gauge
// list), the arrival times of the first and of the highest wave and the extreme levels. A gauge
// where no water stood in any row of the history (level plus still-water depth never above
// 1 mm) shows the word "dry" in place of those four numbers.
#include <cstdint>
#include <string>

inline constexpr int32_t kGaugeSummaryDone = 0;            // written, or no gauge list
inline constexpr int32_t kGaugeSummaryNoHistory = -2;      // the time-history file cannot be opened
inline constexpr int32_t kGaugeSummaryNoListOrOutput = -3;  // the gauge list or the summary cannot be opened

// Reads the water-level history at `timeHistoryPath` and the gauge list at `gaugeListPath` and
// writes the summary to `summaryPath`. An empty gauge list path writes nothing. Every failure is
// also reported with one warning line on standard error.
int32_t WriteGaugeSummary(const std::string& gaugeListPath, const std::string& timeHistoryPath,
                          const std::string& summaryPath);
