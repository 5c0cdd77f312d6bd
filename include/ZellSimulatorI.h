#pragma once
// The simulator as the host sees it. The host calls these operations by virtual slot,
// so their order is part of the plug-in interface (Itanium ABI: the virtual destructor
// takes two slots, complete and deleting, at its place in the list).
#include <cstdint>

#include "RunExtension.h"
#include "SimulationParameters.h"
#include "ZellProgressBarI.h"

class ZellSimulatorI {
public:
    virtual int32_t Init(ZellProgressBarI* progress) = 0;  // builds the model; 0 on success (InitResult.h)
    virtual void Step(int32_t stepIndex, int32_t* advance) = 0;  // one base step; *advance >= 1
    virtual void Finish() = 0;                              // final results; releases the levels
    virtual ~ZellSimulatorI() = default;
    virtual void SetHostContext(void* hostContext) = 0;     // a HostFrameReceiverI*, or null
    virtual void Start(ProgressFactory factory, const SimulationParameters& settings) = 0;
    virtual void Pause(bool paused) = 0;
    virtual void Stop() = 0;
    virtual bool IsRunning() = 0;

    // Appended slots, called only by hosts built against RunExtension.h; hosts built against the
    // slots above never reach them.
    virtual void SetExtendedSettings(const ExtendedRunSettings& settings) = 0;  // before Start
    virtual RunDiagnostics GetRunDiagnostics() = 0;  // once the run has ended
    virtual void SetCheckpointSettings(const CheckpointSettings& settings) = 0;  // before Start
    virtual CheckpointReport GetCheckpointReport() = 0;  // once the run has ended
};
