#include "ZellSimulatorTI.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <system_error>

#include "InitResult.h"

namespace {
// Stands in for the Windows performance counter: steady, monotonic, seconds as double.
double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
}  // namespace

ZellSimulatorTI::~ZellSimulatorTI() { StopWorker(); }

int64_t ZellSimulatorTI::StepsIn(double minutes, float timeStep) {
    if (!(timeStep > 0.0f)) return 0;
    // The quotient in double so that a whole number of steps is not truncated to one less.
    const double steps = minutes * 60.0 / static_cast<double>(timeStep);
    if (!(steps > 0.0)) return 0;
    // The host's values are single precision (0.1 s is 0.100000001 s), so a quotient within
    // a few float ulps of an integer is that integer: 10 minutes of 0.1 s are 6000 steps.
    const double nearest = std::round(steps);
    const double whole = (std::fabs(steps - nearest) <= 1e-6 * std::fmax(1.0, nearest)) ? nearest : std::floor(steps);
    if (whole >= 2147483646.0) return 2147483646;  // keep stepCount + 1 representable
    return static_cast<int64_t>(whole);
}

int32_t ZellSimulatorTI::ComputeStepCount(const SimulationParameters& settings) {
    // Minutes and step in single precision as the host gave them.
    return static_cast<int32_t>(
        StepsIn(static_cast<double>(settings.endTime) - settings.startTime, settings.timeStep));
}

void ZellSimulatorTI::Start(ProgressFactory factory, const SimulationParameters& settings) {
    if (runThread.joinable()) {
        if (workerActive.load()) {
            std::fprintf(stderr, "vestra: Start refused: a run is still in progress (call Stop first)\n");
            return;
        }
        runThread.join();  // the previous run ended by itself; reclaim its thread
    }
    if (!factory) {
        std::fprintf(stderr, "vestra: Start refused: the progress factory is empty\n");
        return;
    }
    parameters = settings;
    stepCount = ComputeStepCount(settings);
    workerActive.store(true);
    // Held until runThread is stored: the worker waits for it first, so that a worker that
    // deletes the simulator (from its reporter) can recognise itself in runThread.
    std::lock_guard<std::mutex> lock(stateMutex);
    runThread = std::thread(&ZellSimulatorTI::RunLoop, this, std::move(factory));
}

void ZellSimulatorTI::Pause(bool paused) {
    std::lock_guard<std::mutex> lock(stateMutex);
    pauseRequested = paused ? 1 : 0;
    stateChanged.notify_one();
}

void ZellSimulatorTI::Stop() {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        stopRequested = 1;
    }
    stateChanged.notify_one();
    if (runThread.joinable()) {
        if (runThread.get_id() == std::this_thread::get_id()) {
            std::lock_guard<std::mutex> lock(stateMutex);
            stopRequested = 0;
            throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                    "Stop called from the simulator's own worker thread");
        }
        runThread.join();
    }
    std::lock_guard<std::mutex> lock(stateMutex);
    stopRequested = 0;
}

void ZellSimulatorTI::StopWorker() {
    if (runThread.joinable() && runThread.get_id() == std::this_thread::get_id()) {
        // Destroying the simulator from its own worker would join itself: report and
        // leave the thread detached rather than deadlock or terminate.
        std::fprintf(stderr, "vestra: the simulator was destroyed from its own worker thread\n");
        runThread.detach();
        return;
    }
    Stop();
}

bool ZellSimulatorTI::IsRunning() { return running.load() != 0; }

void ZellSimulatorTI::RunLoop(ProgressFactory factory) {
    { std::lock_guard<std::mutex> startDone(stateMutex); }  // Start has stored runThread
    std::unique_ptr<ZellProgressBarI> reporter(factory());
    if (!reporter) {
        std::fprintf(stderr, "vestra: the progress factory returned no reporter; run abandoned\n");
        workerActive.store(false);
        return;
    }
    reporter->SetRange(0);
    haltRequested = false;
    firstStepIndex = 0;
    checkpointReport = CheckpointReport{};
    const int32_t result = Init(reporter.get());
    reporter->InitFinished(result);
    if (result != InitResult::kSuccess && result != InitResult::kAcceptedByHost) {
        workerActive.store(false);
        reporter.reset();  // last: the reporter's destructor may delete this simulator
        return;
    }
    running.exchange(1);
    reporter->SetRange(stepCount);

    std::printf("Starting Simulation...\n");
    std::printf("Step Count %d\n", stepCount);
    if (firstStepIndex > 0) std::printf("Resuming at step %lld\n", static_cast<long long>(firstStepIndex));
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();

    // Checkpoints: at untilMinutes (then the run stops), every everyMinutes, and on Stop.
    const bool checkpoints = !checkpointSettings.path.empty();
    const int64_t untilIndex =
        checkpoints && checkpointSettings.untilMinutes >= 0.0
            ? StepsIn(checkpointSettings.untilMinutes - static_cast<double>(parameters.startTime), parameters.timeStep)
            : -1;
    const int64_t everyIndex =
        checkpoints && checkpointSettings.everyMinutes > 0.0
            ? std::max<int64_t>(1, StepsIn(checkpointSettings.everyMinutes, parameters.timeStep))
            : 0;

    const int64_t lastIndex = static_cast<int64_t>(stepCount) + 1;
    for (int64_t i = firstStepIndex; i <= lastIndex;) {
        int32_t advance = 1;
        Step(static_cast<int32_t>(i), &advance);
        if (i <= stepCount) reporter->StepDone(static_cast<int32_t>(i));
        // An advance below 1 would repeat the same index forever; the step driver always
        // returns at least 1, and the runner keeps progress if a solver does not.
        const int64_t next = i + (advance < 1 ? 1 : advance);

        bool stop = haltRequested;
        if (!stop) {
            std::unique_lock<std::mutex> lock(stateMutex);
            stateChanged.wait(lock, [this] { return stopRequested != 0 || pauseRequested == 0; });
            stop = stopRequested != 0;
        }
        const bool reachedUntil = !stop && untilIndex >= 0 && next >= untilIndex;
        // A run that went unstable keeps no checkpoint: its state is not worth continuing.
        if (checkpoints && !haltRequested) {
            const bool periodic = everyIndex > 0 && next <= stepCount && next / everyIndex > i / everyIndex;
            if (reachedUntil || (stop && checkpointSettings.onStop) || periodic) SaveCheckpoint(next);
        }
        if (reachedUntil) {
            checkpointReport.reachedUntil = true;
            stop = true;
        }
        if (stop) {
            const double elapsed = SecondsSince(start);
            Finish();
            std::printf(haltRequested ? "Simulation Halted after %f seconds\n" : "Simulation Stopped after %f seconds\n",
                        elapsed);
            std::fflush(stdout);
            running.exchange(0);
            workerActive.store(false);
            reporter.reset();  // last: the reporter's destructor may delete this simulator
            return;
        }
        i = next;
    }
    Finish();
    std::printf("Simulation Took %f seconds\n", SecondsSince(start));
    std::fflush(stdout);
    running.exchange(0);
    reporter->RunCompleted();
    workerActive.store(false);
    reporter.reset();  // last: the reporter's destructor may delete this simulator
}

void ZellSimulatorTI::SaveCheckpoint(int64_t nextStepIndex) {
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    const int64_t bytes = WriteCheckpoint(checkpointSettings.path, nextStepIndex, &error);
    const double minutes = static_cast<double>(parameters.startTime) +
                           static_cast<double>(nextStepIndex) * static_cast<double>(parameters.timeStep) / 60.0;
    if (bytes < 0) {
        // The previous checkpoint, if any, is still whole: the file is replaced only once written.
        checkpointReport.failed = true;
        checkpointReport.error = error;
        std::printf("Checkpoint at step %lld not written: %s\n", static_cast<long long>(nextStepIndex), error.c_str());
    } else {
        checkpointReport.failed = false;
        checkpointReport.error.clear();
        checkpointReport.written += 1;
        checkpointReport.lastMinutes = minutes;
        checkpointReport.lastBytes = bytes;
        checkpointReport.lastWriteSeconds = SecondsSince(start);
        std::printf("Checkpoint at step %lld (model time %g min) written: %lld bytes in %.3f s\n",
                    static_cast<long long>(nextStepIndex), minutes, static_cast<long long>(bytes),
                    checkpointReport.lastWriteSeconds);
    }
    std::fflush(stdout);
}
