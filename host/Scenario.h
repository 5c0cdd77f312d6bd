#pragma once
// A run described by a TOML scenario file: the settings record and the two host
// collections the plug-in reads, with every path made usable from any working folder.
//
// Layout of the file:
//   name = "..."                optional, a title for plots
//   [parameters]                any field of SimulationParameters by its own name
//   [[grids]]                   one HostGridRecord each, outermost first
//   [[sources]]                 one SourceEvent each; `faults = "FILE.toml"` may stand in
//                               for etaFile (see ExpandFaultSources in HostRun.h)
//   [[transects]]               optional lines whose runup the run summary reports
// Everything is checked before a run starts; the first fault found is reported as one
// line naming the file, the line and the key.
#include <string>
#include <string_view>
#include <vector>

#include "HostRecords.h"
#include "RunExtension.h"
#include "Transect.h"
#include "SimulationParameters.h"

struct Scenario {
    std::string file;    // the scenario file as given
    std::string folder;  // its folder, absolute; relative paths in the file start here
    std::string name;    // optional title
    SimulationParameters parameters;
    std::vector<HostGridRecord> grids;
    std::vector<SourceEvent> sources;
    // One entry per element of `sources`: the fault file (absolute) that the entry names
    // instead of etaFile, or empty. Such an entry's etaFile stays empty until the fault
    // displacement has been computed and written (ExpandFaultSources).
    std::vector<std::string> sourceFaultFiles;
    // [boundary]: what level 0's outer edges do (scenarios get absorbing edges unless they say
    // otherwise) and [numerics] (smallFluxCut, dispersion, dispersionMinDepth, frontVelocityHead);
    // the library hears of both through SetExtendedSettings.
    ExtendedRunSettings boundary{OpenEdgeKind::Absorbing, 20};
    // [[transects]]: name, level (default 0), start = [x, y], end = [x, y].
    std::vector<Transect> transects;
};

// Reads and checks a scenario file. `overrides` are "NAME=VALUE" settings from the command
// line, applied after the file with the same checks; their relative paths start at the
// current folder. Output folders end in '/' but are not created here.
bool LoadScenarioFile(const std::string& path, const std::vector<std::string>& overrides, Scenario* scenario,
                      std::string* error);

// The same for a scenario text that claims to live at `path` (for messages and for
// resolving relative paths); the file itself is not read.
bool LoadScenarioText(std::string_view text, const std::string& path, const std::vector<std::string>& overrides,
                      Scenario* scenario, std::string* error);

// Sets one field of the record from "NAME=VALUE". VALUE is read as a TOML value; for a
// text field a bare word is taken as the text. Relative paths start at `baseFolder`.
bool ApplyParameterSetting(const std::string& nameValue, const std::string& baseFolder,
                           SimulationParameters* parameters, std::string* error);

// Creates every grid's output folder with its parents.
bool CreateOutputFolders(const Scenario& scenario, std::string* error);

// Names of every field of SimulationParameters that a scenario may set, in record order.
std::vector<std::string> ParameterNames();
