#pragma once
// The two functions the plug-in exports under their plain names.
#include <vector>

#include "HostRecords.h"
#include "ZellSimulatorI.h"

#if defined(_WIN32)
#define VESTRA_EXPORT __declspec(dllexport)
#else
#define VESTRA_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
// Creates a simulator over the host's two collections (which it does not read yet).
VESTRA_EXPORT ZellSimulatorI* CreateVestraSimulator(std::vector<HostGridRecord>* gridRecords,
                                                    std::vector<SourceEvent>* sourceEvents);
// Stops a running simulator, waits for its Finish and releases it. Null is ignored.
VESTRA_EXPORT void DeleteVestraSimulator(ZellSimulatorI* simulator);
}

using CreateVestraSimulatorFn = ZellSimulatorI* (*)(std::vector<HostGridRecord>*, std::vector<SourceEvent>*);
using DeleteVestraSimulatorFn = void (*)(ZellSimulatorI*);
