// Run control: step count, the order of the reporter calls, pause, stop and teardown,
// with a test double in place of the solver.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

#include "InitResult.h"
#include "ZellSimulatorTI.h"

namespace {

// Every call the runner makes, in order, on one line: "range 0, init 0, Step(0), step 0, ...".
struct EventLog {
    std::mutex mutex;
    std::string text;
    std::function<void()> onRelease;  // runs on the worker when the reporter is released
    void Add(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex);
        text += (text.empty() ? "" : ", ") + event;
    }
    std::string Text() {
        std::lock_guard<std::mutex> lock(mutex);
        return text;
    }
};

struct RecordingReporter : ZellProgressBarI {
    explicit RecordingReporter(EventLog* log) : log_(log) {}
    ~RecordingReporter() override {
        log_->Add("release");
        if (log_->onRelease) log_->onRelease();
    }
    void StepDone(int32_t i) override { log_->Add("step " + std::to_string(i)); }
    void SetRange(int32_t v) override { log_->Add("range " + std::to_string(v)); }
    void RunCompleted() override { log_->Add("completed"); }
    void InitFinished(int32_t code) override { log_->Add("init " + std::to_string(code)); }
    EventLog* log_;
};

// The solver's place: logs its calls ("Step(i)", "Finish"), may sleep in Step, advances by advanceBy.
struct FakeSimulator : ZellSimulatorTI {
    explicit FakeSimulator(EventLog* log) : log_(log) {}
    ~FakeSimulator() override { StopWorker(); }
    int32_t Init(ZellProgressBarI*) override { return initResult; }
    void Step(int32_t i, int32_t* advance) override {
        stepsCalled.fetch_add(1);
        log_->Add("Step(" + std::to_string(i) + ")");
        if (stepDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(stepDelayMs));
        *advance = advanceBy;
    }
    void Finish() override {
        log_->Add("Finish");
        finishCalled.fetch_add(1);
    }
    void SetHostContext(void*) override {}
    int32_t initResult = InitResult::kSuccess, advanceBy = 1;
    int stepDelayMs = 0;
    std::atomic<int> stepsCalled{0}, finishCalled{0};
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
    EXPECT_EQ(ZellSimulatorTI::ComputeStepCount(SimulationParameters{}), 6000);  // float 0.1 s is not lost to rounding
    EXPECT_EQ(ZellSimulatorTI::ComputeStepCount(Settings(0.7f, 0.0f, 10.0f)), 857);
    EXPECT_EQ(ZellSimulatorTI::ComputeStepCount(Settings(1.0f, 5.0f, 4.0f)), 0);
    EXPECT_EQ(ZellSimulatorTI::ComputeStepCount(Settings(0.0f, 0.0f, 4.0f)), 0);
}

TEST(RunControl, RunsToTheEndReportInOrderAndPrintTheConsoleLines) {
    const std::string twoSteps = "range 0, init 0, range 2, Step(0), step 0, Step(1), step 1, Step(2), step 2, "
                                 "Step(3), Finish, completed, release";
    const struct { float timeStep; int32_t initResult, advanceBy; std::string expected; } cases[] = {
        {30.0f, InitResult::kSuccess, 0, twoSteps},  // an advance of 0 still progresses
        {6.0f, InitResult::kSuccess, 4,
         "range 0, init 0, range 10, Step(0), step 0, Step(4), step 4, Step(8), step 8, Finish, completed, release"},
        {30.0f, InitResult::kNoGridRecords, 1, "range 0, init 9, release"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EventLog log;
        FakeSimulator sim(&log);
        sim.initResult = c.initResult;
        sim.advanceBy = c.advanceBy;
        testing::internal::CaptureStdout();
        sim.Start(FactoryFor(&log), Settings(c.timeStep, 0.0f, 1.0f));
        WaitUntil([&] { return log.Text().ends_with("release"); });
        sim.Stop();
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string printed = "Starting Simulation\\.\\.\\.\nStep Count " + std::to_string(int(60 / c.timeStep)) +
                                    "\nSimulation Took [0-9]+\\.[0-9]{6} seconds\n";
        const bool failed = c.initResult == InitResult::kNoGridRecords;  // a failed Init prints nothing
        EXPECT_TRUE(std::regex_match(out, std::regex(failed ? "" : printed))) << out;
        EXPECT_EQ(log.Text(), c.expected);
    }
}

TEST(RunControl, StopDeleteOrPauseActAtAStepBoundaryAndFinishStillRuns) {
    enum How { kStop, kDelete, kPauseThenStop, kPauseThenResume };
    for (How how : {kStop, kDelete, kPauseThenStop, kPauseThenResume}) {
        SCOPED_TRACE(how);
        EventLog log;
        auto sim = std::make_unique<FakeSimulator>(&log);
        testing::internal::CaptureStdout();
        if (how >= kPauseThenStop) {
            sim->Pause(true);  // held from the first step boundary
            sim->Start(FactoryFor(&log), Settings(1.0f, 0.0f, 1.0f));  // 60 steps
            WaitUntil([&] { return sim->stepsCalled.load() == 1; });
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_EQ(sim->stepsCalled.load(), 1);
            EXPECT_TRUE(sim->IsRunning());  // a paused run still counts as running
        } else {
            sim->stepDelayMs = 1;
            sim->Start(FactoryFor(&log), Settings(0.1f, 0.0f, 100.0f));  // 60000 slow steps
            WaitUntil([&] { return sim->IsRunning() && sim->stepsCalled.load() > 3; });
            // Start while a run is in progress is refused, not fatal, and leaves the run as it was.
            testing::internal::CaptureStderr();
            sim->Start(FactoryFor(&log), Settings(1.0f, 0.0f, 1.0f));
            EXPECT_NE(testing::internal::GetCapturedStderr().find("Start refused"), std::string::npos);
            EXPECT_EQ(sim->StepCount(), 60000);
        }
        if (how == kPauseThenResume) {
            sim->Pause(false);
            WaitUntil([&] { return sim->finishCalled.load() == 1; });
            EXPECT_EQ(sim->stepsCalled.load(), 62);
        }
        how == kDelete ? sim.reset() : sim->Stop();
        const std::string out = testing::internal::GetCapturedStdout();
        const bool ended = how == kPauseThenResume;
        EXPECT_NE(out.find(ended ? "Simulation Took " : "Simulation Stopped after "), std::string::npos) << out;
        EXPECT_TRUE(log.Text().ends_with(ended ? "Finish, completed, release" : ", Finish, release")) << log.Text();
        if (how == kDelete) continue;
        EXPECT_FALSE(sim->IsRunning());
        EXPECT_EQ(sim->finishCalled.load(), 1);
        EXPECT_EQ(sim->stepsCalled.load() == 1, how == kPauseThenStop);  // stopped while held: no further step
    }
}

TEST(RunControl, StopBeforeStartRestartAfterTheEndAndDeleteFromTheWorker) {
    EventLog log;
    auto* sim = new FakeSimulator(&log);
    // The reporter is released on the worker at the end of a run; deleting the simulator there,
    // at the end of the second run, is reported and must not deadlock or terminate the process.
    std::atomic<int> releases{0};
    log.onRelease = [&] {
        if (releases.load() == 1) delete sim;
        releases.fetch_add(1);
    };
    sim->Stop();  // never started: returns at once
    EXPECT_FALSE(sim->IsRunning());
    // Start again without Stop after the run ended by itself: the old worker is joined.
    sim->Start(FactoryFor(&log), Settings(30.0f, 0.0f, 1.0f));
    WaitUntil([&] { return releases.load() == 1 && !sim->IsRunning(); });
    EXPECT_EQ(sim->stepsCalled.load(), 4);
    testing::internal::CaptureStderr();
    sim->Start(FactoryFor(&log), Settings(30.0f, 0.0f, 1.0f));
    WaitUntil([&] { return releases.load() == 2; });
    EXPECT_NE(testing::internal::GetCapturedStderr().find("own worker thread"), std::string::npos);

    FakeSimulator empty(&log);
    testing::internal::CaptureStderr();
    empty.Start(ProgressFactory{}, SimulationParameters{});
    EXPECT_NE(testing::internal::GetCapturedStderr().find("factory"), std::string::npos);
    empty.Stop();
    EXPECT_EQ(empty.stepsCalled.load(), 0);
}
