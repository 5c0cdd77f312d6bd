// The plug-in's two exported entry points; everything else in the library is hidden.
#include "VestraExports.h"

#include "ZellSimulatorVestra.h"

extern "C" VESTRA_EXPORT ZellSimulatorI* CreateVestraSimulator(std::vector<HostGridRecord>* gridRecords,
                                                               std::vector<SourceEvent>* sourceEvents) {
    return new ZellSimulatorVestra(gridRecords, sourceEvents);
}

extern "C" VESTRA_EXPORT void DeleteVestraSimulator(ZellSimulatorI* simulator) { delete simulator; }
