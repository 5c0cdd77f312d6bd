#include "InitResult.h"
#include "ZellSimulatorVestra.h"

int32_t ZellSimulatorVestra::Init(ZellProgressBarI*) {
    if (gridRecords == nullptr || gridRecords->empty()) return InitResult::kNoGridRecords;
    if (sourceEvents == nullptr || sourceEvents->empty()) return InitResult::kNoSourceEvents;
    return InitResult::kSuccess;
}
