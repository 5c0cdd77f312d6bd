#pragma once
// Threaded runner: runs Init, the Steps and Finish on one worker thread of its own,
// honours pause and stop between steps and reports progress to the host's reporter.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
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

    int32_t StepCount() const { return stepCount; }
    const SimulationParameters& Parameters() const { return parameters; }

    // Number of whole steps of timeStep seconds in the interval [startTime, endTime] minutes.
    // A step count that is an exact multiple is not lost to rounding (30 min / 4 s = 450).
    static int32_t ComputeStepCount(const SimulationParameters& settings);

protected:
    // Stops and joins the worker; derived destructors call it before releasing the model,
    // because the worker still runs their Finish.
    void StopWorker();

    // Called by Step on the worker thread: the run loop stops stepping after this Step, runs
    // Finish (so what was written is kept) and releases the reporter without RunCompleted.
    void HaltRun() { haltRequested = true; }

    std::thread runThread;
    std::mutex stateMutex;
    std::condition_variable stateChanged;
    uint8_t stopRequested = 0;   // guarded by stateMutex
    uint8_t pauseRequested = 0;  // guarded by stateMutex
    std::atomic<uint8_t> running{0};
    SimulationParameters parameters{};
    int32_t stepCount = 0;
    bool haltRequested = false;  // worker thread only; cleared when a run starts

private:
    void RunLoop(ProgressFactory factory);
    std::atomic<bool> workerActive{false};  // true from Start until the worker body returns
};
