#pragma once
// Threaded runner: runs Init, the Steps and Finish on one worker thread of its own,
// honours pause and stop between steps and reports progress to the host's reporter.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "ZellSimulatorI.h"

class ZellSimulatorTI : public ZellSimulatorI {
public:
    ZellSimulatorTI() = default;
    ~ZellSimulatorTI() override;

    void Start(ProgressFactory factory, const SimulationParameters& settings) override;
    void Pause(bool paused) override;
    void Stop() override;
    bool IsRunning() override;
    // A simulator without extended behaviour keeps the classic edges and reports nothing.
    void SetExtendedSettings(const ExtendedRunSettings&) override {}
    RunDiagnostics GetRunDiagnostics() override { return {}; }
    void SetCheckpointSettings(const CheckpointSettings& settings) override { checkpointSettings = settings; }
    CheckpointReport GetCheckpointReport() override { return checkpointReport; }

    int32_t StepCount() const { return stepCount; }
    const SimulationParameters& Parameters() const { return parameters; }

    // Number of whole steps of timeStep seconds in the interval [startTime, endTime] minutes.
    // A step count that is an exact multiple is not lost to rounding (30 min / 4 s = 450).
    static int32_t ComputeStepCount(const SimulationParameters& settings);
    // Number of whole steps of timeStep seconds in `minutes`, rounded as ComputeStepCount does.
    static int64_t StepsIn(double minutes, float timeStep);

protected:
    // Stops and joins the worker; derived destructors call it before releasing the model,
    // because the worker still runs their Finish.
    void StopWorker();

    // Called by Step on the worker thread: the run loop stops stepping after this Step, runs
    // Finish (so what was written is kept) and releases the reporter without RunCompleted.
    void HaltRun() { haltRequested = true; }

    // Writes the whole model state, taken between two steps, to `path` so that the run can go on
    // from step `nextStepIndex`; returns the file's size, or -1 with one line in *error. A
    // simulator that keeps no state of its own cannot.
    virtual int64_t WriteCheckpoint(const std::string& path, int64_t nextStepIndex, std::string* error) {
        *error = path + ": this simulator cannot write checkpoints";
        (void)nextStepIndex;
        return -1;
    }

    std::thread runThread;
    std::mutex stateMutex;
    std::condition_variable stateChanged;
    uint8_t stopRequested = 0;   // guarded by stateMutex
    uint8_t pauseRequested = 0;  // guarded by stateMutex
    std::atomic<uint8_t> running{0};
    SimulationParameters parameters{};
    int32_t stepCount = 0;
    bool haltRequested = false;  // worker thread only; cleared when a run starts
    CheckpointSettings checkpointSettings;  // set before Start
    CheckpointReport checkpointReport;      // filled by the worker; read once the run has ended
    // The step the run loop starts from: 0, or where a restored checkpoint left off (set by Init).
    int64_t firstStepIndex = 0;

private:
    void RunLoop(ProgressFactory factory);
    void SaveCheckpoint(int64_t nextStepIndex);
    std::atomic<bool> workerActive{false};  // true from Start until the worker body returns
};
