#pragma once
// The long-wave solver behind the plug-in interface. Its operations are split by
// subsystem: Init and the setup in model/, Step in solver/, Finish in output/.
#include <array>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "GridLevel.h"
#include "HostRecords.h"
#include "ZellSimulatorTI.h"

class ZellSimulatorVestra : public ZellSimulatorTI {
public:
    ZellSimulatorVestra(std::vector<HostGridRecord>* gridRecords, std::vector<SourceEvent>* sourceEvents);
    ~ZellSimulatorVestra() override;

    int32_t Init(ZellProgressBarI* progress) override;
    void Step(int32_t stepIndex, int32_t* advance) override;
    void Finish() override;
    void SetHostContext(void* context) override { hostContext = context; }
    void SetExtendedSettings(const ExtendedRunSettings& settings) override { extendedSettings = settings; }
    RunDiagnostics GetRunDiagnostics() override { return diagnostics; }
    int64_t WriteCheckpoint(const std::string& path, int64_t nextStepIndex, std::string* error) override;
    // Init's last act on resume: checks the checkpoint against this build, this scenario and the
    // outputs so far, then loads its state over the one just set up and sets firstStepIndex.
    // False with one line in *error when it refuses; the outputs are untouched then.
    bool RestoreCheckpoint(const std::string& path, std::string* error);

    // Lets tests and the host's own tools run the setup with given settings without a thread.
    void SetParameters(const SimulationParameters& settings) { parameters = settings; }

    std::vector<HostGridRecord>* gridRecords;
    std::vector<SourceEvent>* sourceEvents;
    void* hostContext = nullptr;  // HostFrameReceiverI*, or null
    std::vector<GridLevel> levels;
    std::ifstream timeSeriesStream;
    float timeStepFactor = 1.0f;
    float adaptiveTimeStep = 0.0f;
    float gridSpacing = 0.0f;
    ExtendedRunSettings extendedSettings;  // classic edges unless a new host says otherwise
    RunDiagnostics diagnostics;            // filled during the run, kept after Finish
    // Whole periods already covered by a frame: [0] water level, [1..3] snapshot modes 0..2.
    std::array<int64_t, 4> framePeriodsWritten{};
    // Per level: the water level beyond which the level is taken to have gone unstable, m.
    std::vector<float> runawayBounds;

    // Test hook: when set, Step appends the level index of every (sub)step it runs.
    std::vector<int32_t>* substepTrace = nullptr;
};
