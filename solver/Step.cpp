#include "ZellSimulatorVestra.h"

void ZellSimulatorVestra::Step(int32_t, int32_t* advance) { *advance = 1; }
