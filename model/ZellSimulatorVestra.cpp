#include "ZellSimulatorVestra.h"

ZellSimulatorVestra::ZellSimulatorVestra(std::vector<HostGridRecord>* records, std::vector<SourceEvent>* events)
    : gridRecords(records), sourceEvents(events) {}

// Stop the worker while this object is still whole: the worker still runs Finish.
ZellSimulatorVestra::~ZellSimulatorVestra() { StopWorker(); }

