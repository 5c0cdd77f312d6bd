// Run control: step count, the order of the reporter calls, pause, stop and teardown,
// with a test double in place of the solver.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "InitResult.h"
#include "ZellSimulatorTI.h"

namespace {

struct EventLog {
    std::mutex mutex;
    std::vector<std::string> events;
    void Add(std::string e) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(std::move(e));
    }
    std::vector<std::string> Snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
};

class RecordingReporter : public ZellProgressBarI {
public:
    explicit RecordingReporter(EventLog* log) : log_(log) {}
    ~RecordingReporter() override { log_->Add("release"); }
    void StepDone(int32_t i) override { log_->Add("step " + std::to_string(i)); }
    void SetRange(int32_t v) override { log_->Add("range " + std::to_string(v)); }
    void RunCompleted() override { log_->Add("completed"); }
    void InitFinished(int32_t code) override { log_->Add("init " + std::to_string(code)); }

private:
    EventLog* log_;
};

class FakeSimulator : public ZellSimulatorTI {
public:
    explicit FakeSimulator(EventLog* log) : log_(log) {}
    ~FakeSimulator() override { StopWorker(); }

    int32_t Init(ZellProgressBarI*) override { return initResult; }
    void Step(int32_t i, int32_t* advance) override {
        stepsCalled.fetch_add(1);
        if (log_ != nullptr && logSteps) log_->Add("Step(" + std::to_string(i) + ")");
        if (stepDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(stepDelayMs));
        *advance = advanceBy;
    }
    void Finish() override {
        if (log_ != nullptr) log_->Add("Finish");
        finishCalled.fetch_add(1);
    }
    void SetHostContext(void*) override {}

    int32_t initResult = InitResult::kSuccess;
    int32_t advanceBy = 1;
    int stepDelayMs = 0;
    bool logSteps = true;
    std::atomic<int> stepsCalled{0};
    std::atomic<int> finishCalled{0};

private:
    EventLog* log_;
};

ProgressFactory FactoryFor(EventLog* log) {
    return [log] { return new RecordingReporter(log); };
}

SimulationParameters Settings(float timeStep, float startMinutes, float endMinutes) {
    SimulationParameters p;
    p.timeStep = timeStep;
    p.startTime = startMinutes;
    p.endTime = endMinutes;
    return p;
}

void WaitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(condition());
}

}  // namespace

TEST(RunControl, StepCountCountsWholeStepsOfTheInterval) {
    EXPECT_EQ(ZellSimulatorTI::ComputeStepCount(SimulationParameters{}), 6000);
    EXPECT_EQ(ZellSimulatorTI::ComputeStepCount(Settings(4.0f, 0.0f, 30.0f)), 450);   // not 420
    EXPECT_EQ(ZellSimulatorTI::ComputeStepCount(Settings(0.7f, 0.0f, 10.0f)), 857);   // 600 / 0.7 = 857.1
    EXPECT_EQ(ZellSimulatorTI::ComputeStepCount(Settings(0.3f, 0.0f, 1.0f)), 200);    // 60 / 0.3, float 0.3 is inexact
    EXPECT_EQ(ZellSimulatorTI::ComputeStepCount(Settings(1.0f, 5.0f, 5.0f)), 0);
    EXPECT_EQ(ZellSimulatorTI::ComputeStepCount(Settings(1.0f, 5.0f, 4.0f)), 0);
    EXPECT_EQ(ZellSimulatorTI::ComputeStepCount(Settings(0.0f, 0.0f, 4.0f)), 0);
}

TEST(RunControl, FullRunReportsInOrderAndPrintsTheConsoleLines) {
    EventLog log;
    {
        FakeSimulator sim(&log);
        testing::internal::CaptureStdout();
        sim.Start(FactoryFor(&log), Settings(30.0f, 0.0f, 1.0f));  // 2 steps
        EXPECT_EQ(sim.StepCount(), 2);
        WaitUntil([&] { return sim.finishCalled.load() == 1 && !sim.IsRunning(); });
        sim.Stop();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.rfind("Starting Simulation...\nStep Count 2\nSimulation Took ", 0), 0u) << out;
        EXPECT_NE(out.find(" seconds\n"), std::string::npos);
    }
    const std::vector<std::string> expected = {"range 0", "init 0", "range 2", "Step(0)", "step 0",
                                               "Step(1)", "step 1", "Step(2)", "step 2", "Step(3)",
                                               "Finish", "completed", "release"};
    EXPECT_EQ(log.Snapshot(), expected);
}

TEST(RunControl, ZeroStepsStillCallsStepTwiceAndAdvanceSkipsIndices) {
    EventLog log;
    FakeSimulator sim(&log);
    sim.Start(FactoryFor(&log), Settings(1.0f, 0.0f, 0.0f));
    WaitUntil([&] { return sim.finishCalled.load() == 1; });
    sim.Stop();
    std::vector<std::string> steps;
    for (const auto& e : log.Snapshot())
        if (e.rfind("Step(", 0) == 0 || e.rfind("step ", 0) == 0) steps.push_back(e);
    EXPECT_EQ(steps, (std::vector<std::string>{"Step(0)", "step 0", "Step(1)"}));

    EventLog log2;
    FakeSimulator jumping(&log2);
    jumping.advanceBy = 4;
    jumping.Start(FactoryFor(&log2), Settings(6.0f, 0.0f, 1.0f));  // 10 steps: indices 0,4,8
    WaitUntil([&] { return jumping.finishCalled.load() == 1; });
    jumping.Stop();
    EXPECT_EQ(jumping.stepsCalled.load(), 3);

    EventLog log3;
    FakeSimulator stalled(&log3);  // an advance of 0 must not loop forever
    stalled.advanceBy = 0;
    stalled.Start(FactoryFor(&log3), Settings(30.0f, 0.0f, 1.0f));
    WaitUntil([&] { return stalled.finishCalled.load() == 1; });
    stalled.Stop();
    EXPECT_EQ(stalled.stepsCalled.load(), 4);
}

TEST(RunControl, FailedInitReleasesTheReporterAndPrintsNothing) {
    EventLog log;
    FakeSimulator sim(&log);
    sim.initResult = InitResult::kNoGridRecords;
    testing::internal::CaptureStdout();
    sim.Start(FactoryFor(&log), SimulationParameters{});
    WaitUntil([&] { return log.Snapshot().size() == 3; });
    sim.Stop();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(log.Snapshot(), (std::vector<std::string>{"range 0", "init 9", "release"}));
    EXPECT_EQ(sim.stepsCalled.load(), 0);
    EXPECT_EQ(sim.finishCalled.load(), 0);
    EXPECT_FALSE(sim.IsRunning());

    EventLog log22;  // 22 is a success code of the interface
    FakeSimulator accepted(&log22);
    accepted.initResult = InitResult::kAcceptedByHost;
    accepted.Start(FactoryFor(&log22), Settings(30.0f, 0.0f, 1.0f));
    WaitUntil([&] { return accepted.finishCalled.load() == 1; });
    accepted.Stop();
    EXPECT_EQ(accepted.stepsCalled.load(), 4);
}

TEST(RunControl, StopEndsTheRunAtAStepBoundaryAndFinishStillRuns) {
    EventLog log;
    FakeSimulator sim(&log);
    sim.stepDelayMs = 1;
    sim.logSteps = false;
    testing::internal::CaptureStdout();
    sim.Start(FactoryFor(&log), Settings(0.1f, 0.0f, 100.0f));  // 60000 steps
    WaitUntil([&] { return sim.IsRunning() && sim.stepsCalled.load() > 3; });
    sim.Stop();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Simulation Stopped after "), std::string::npos) << out;
    EXPECT_EQ(out.find("Simulation Took"), std::string::npos);
    EXPECT_EQ(sim.finishCalled.load(), 1);
    EXPECT_FALSE(sim.IsRunning());
    const auto events = log.Snapshot();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], "Finish");
    EXPECT_EQ(events.back(), "release");  // no "completed" after a stop
    EXPECT_LT(sim.stepsCalled.load(), 60000);
}

TEST(RunControl, PauseHoldsTheWorkerAndResumeOrStopReleasesIt) {
    EventLog log;
    FakeSimulator sim(&log);
    sim.logSteps = false;
    sim.Pause(true);  // held from the first step boundary
    sim.Start(FactoryFor(&log), Settings(1.0f, 0.0f, 1.0f));  // 60 steps
    WaitUntil([&] { return sim.stepsCalled.load() == 1; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sim.stepsCalled.load(), 1);
    EXPECT_TRUE(sim.IsRunning());  // paused runs still count as running
    sim.Pause(false);
    WaitUntil([&] { return sim.finishCalled.load() == 1; });
    EXPECT_EQ(sim.stepsCalled.load(), 62);
    sim.Stop();

    EventLog log2;
    FakeSimulator held(&log2);
    held.logSteps = false;
    held.Pause(true);
    testing::internal::CaptureStdout();
    held.Start(FactoryFor(&log2), Settings(1.0f, 0.0f, 1.0f));
    WaitUntil([&] { return held.stepsCalled.load() == 1; });
    held.Stop();  // stop during a pause
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Simulation Stopped after "), std::string::npos);
    EXPECT_EQ(held.finishCalled.load(), 1);
    EXPECT_EQ(held.stepsCalled.load(), 1);
}

TEST(RunControl, StopAndStartEdgeCases) {
    EventLog log;
    {
        FakeSimulator never(&log);
        never.Stop();  // never started: returns at once
        never.Stop();
        EXPECT_FALSE(never.IsRunning());
    }
    EXPECT_TRUE(log.Snapshot().empty());

    FakeSimulator sim(&log);
    sim.logSteps = false;
    sim.Start(FactoryFor(&log), Settings(30.0f, 0.0f, 1.0f));
    WaitUntil([&] { return sim.finishCalled.load() == 1 && !sim.IsRunning(); });
    // Start again without Stop after the run ended by itself: the old worker is joined.
    sim.Start(FactoryFor(&log), Settings(30.0f, 0.0f, 1.0f));
    WaitUntil([&] { return sim.finishCalled.load() == 2; });
    sim.Stop();

    // Start while a run is in progress is refused, not fatal.
    FakeSimulator busy(&log);
    busy.logSteps = false;
    busy.stepDelayMs = 1;
    busy.Start(FactoryFor(&log), Settings(0.1f, 0.0f, 100.0f));
    WaitUntil([&] { return busy.IsRunning(); });
    testing::internal::CaptureStderr();
    busy.Start(FactoryFor(&log), Settings(1.0f, 0.0f, 1.0f));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Start refused"), std::string::npos);
    EXPECT_EQ(busy.StepCount(), 60000);
    busy.Stop();
    EXPECT_EQ(busy.finishCalled.load(), 1);

    // An empty factory is reported, and nothing runs.
    FakeSimulator empty(&log);
    testing::internal::CaptureStderr();
    empty.Start(ProgressFactory{}, SimulationParameters{});
    EXPECT_NE(testing::internal::GetCapturedStderr().find("factory"), std::string::npos);
    empty.Stop();
    EXPECT_EQ(empty.stepsCalled.load(), 0);
}

TEST(RunControl, DeletingARunningSimulatorStopsItAndFinishes) {
    EventLog log;
    auto sim = std::make_unique<FakeSimulator>(&log);
    sim->logSteps = false;
    sim->stepDelayMs = 1;
    sim->Start(FactoryFor(&log), Settings(0.1f, 0.0f, 100.0f));
    WaitUntil([&] { return sim->IsRunning(); });
    sim.reset();
    const auto events = log.Snapshot();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], "Finish");
    EXPECT_EQ(events.back(), "release");
}

TEST(RunControl, DestroyingFromTheWorkerThreadIsReportedNotFatal) {
    // The reporter's destructor runs on the worker at the end of the run; deleting the
    // simulator there must not deadlock or terminate the process.
    struct SelfDeleting : ZellProgressBarI {
        std::atomic<FakeSimulator*>* target;
        std::atomic<bool>* done;
        SelfDeleting(std::atomic<FakeSimulator*>* t, std::atomic<bool>* d) : target(t), done(d) {}
        ~SelfDeleting() override {
            delete target->exchange(nullptr);
            done->store(true);
        }
        void StepDone(int32_t) override {}
        void SetRange(int32_t) override {}
        void RunCompleted() override {}
        void InitFinished(int32_t) override {}
    };
    std::atomic<FakeSimulator*> target{new FakeSimulator(nullptr)};
    std::atomic<bool> done{false};
    testing::internal::CaptureStderr();
    target.load()->Start([&] { return new SelfDeleting(&target, &done); }, Settings(30.0f, 0.0f, 1.0f));
    WaitUntil([&] { return done.load(); });
    EXPECT_NE(testing::internal::GetCapturedStderr().find("own worker thread"), std::string::npos);
}
