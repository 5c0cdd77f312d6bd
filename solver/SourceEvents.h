#pragma once
// Source events: grids of water level and discharge inserted into level 0 at a model time.
//
//   water level  Surfer text grid ("DSAA"): replaces eta and etaNext where the grid lies;
//                netCDF with "HA" (record, rows, columns): added to eta, etaNext follows
//   flux M, N    Surfer text grids: added to fluxM (fluxN) on each east (north) face whose two
//                cells lie at sea; fluxMNext (fluxNNext) then equals fluxM (fluxN)
//
// Grids run row by row from the south, each row from the west, into cells (1, 1) onwards.
// The step driver hands the change down to the nested levels (AddParentStateToChild).
#include <string>

#include "GridLevel.h"
#include "HostRecords.h"

// Loads the event's grids into level 0. Each file is read whole before any cell changes: a
// file that cannot be read, ends early, holds a non-number or is larger than the level
// changes nothing and costs one warning line on standard error naming it.
void ApplySourceEvent(GridLevel& level0, const SourceEvent& event);

// Empty when every file the event names opens, parses and has exactly level 0's nx x ny
// values (a netCDF "HA" with a single record); otherwise one line naming the file and why.
std::string CheckSourceEvent(const SourceEvent& event, const GridLevel& level0);
