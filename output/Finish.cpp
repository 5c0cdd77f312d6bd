#include "ZellSimulatorVestra.h"

void ZellSimulatorVestra::Finish() { levels.clear(); }
