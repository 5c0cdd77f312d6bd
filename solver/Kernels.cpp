#include "Kernels.h"

#include <omp.h>

KernelSettings MakeKernelSettings(const SimulationParameters& parameters, float timeStepFactor) {
    KernelSettings settings;
    settings.threadCount = parameters.threadCount;
    settings.timeStep = parameters.timeStep;
    settings.timeStepFactor = timeStepFactor;
    settings.landCutoffDepth = parameters.landCutoffDepth;
    settings.velocityLimit = parameters.velocityLimit;
    settings.flowDepthLimit = parameters.flowDepthLimit;
    settings.cellFieldFromFile = parameters.cellFieldFromFile;
    return settings;
}

int KernelTeamSize(const KernelSettings& settings) {
    return settings.threadCount >= 1 ? settings.threadCount : omp_get_max_threads();
}
