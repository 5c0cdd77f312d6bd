// Run control: step count, the order of the reporter calls, pause, stop and teardown,
// with a test double in place of the solver.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "InitResult.h"
#include "ZellSimulatorTI.h"

namespace {

using Events = std::vector<std::string>;

struct EventLog {
    std::mutex mutex;
    Events events;
    std::function<void()> onRelease;  // runs on the worker when the reporter is released
    void Add(std::string e) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(std::move(e));
    }
    Events Snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
};

class RecordingReporter : public ZellProgressBarI {
public:
    explicit RecordingReporter(EventLog* log) : log_(log) {}
    ~RecordingReporter() override {
        log_->Add("release");
        if (log_->onRelease) log_->onRelease();
    }
    void StepDone(int32_t i) override { log_->Add("step " + std::to_string(i)); }
    void SetRange(int32_t v) override { log_->Add("range " + std::to_string(v)); }
    void RunCompleted() override { log_->Add("completed"); }
    void InitFinished(int32_t code) override { log_->Add("init " + std::to_string(code)); }

private:
    EventLog* log_;
};

// The solver's place: logs its calls ("Step(i)", "Finish"), may sleep in Step, advances by advanceBy.
class FakeSimulator : public ZellSimulatorTI {
public:
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

    int32_t initResult = InitResult::kSuccess;
    int32_t advanceBy = 1;
    int stepDelayMs = 0;
    std::atomic<int> stepsCalled{0}, finishCalled{0};

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

// Starts a 60000-step run with a slow step and waits until it is some steps in.
void StartLongRun(FakeSimulator& sim, EventLog* log) {
    sim.stepDelayMs = 1;
    sim.Start(FactoryFor(log), Settings(0.1f, 0.0f, 100.0f));
    WaitUntil([&] { return sim.IsRunning() && sim.stepsCalled.load() > 3; });
}

Events LastTwo(const Events& events) { return Events(events.end() - std::min<size_t>(2, events.size()), events.end()); }

}  // namespace

TEST(RunControl, StepCountCountsWholeStepsOfTheInterval) {
    const struct {
        SimulationParameters p;
        int32_t steps;
    } cases[] = {
        {SimulationParameters{}, 6000},    // 10 min of 0.1 s: float 0.1 is not lost to rounding
        {Settings(4.0f, 0.0f, 30.0f), 450}, {Settings(0.7f, 0.0f, 10.0f), 857},  // 857.1
        {Settings(0.3f, 0.0f, 1.0f), 200},  {Settings(1.0f, 5.0f, 5.0f), 0},
        {Settings(1.0f, 5.0f, 4.0f), 0},    {Settings(0.0f, 0.0f, 4.0f), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ZellSimulatorTI::ComputeStepCount(c.p), c.steps) << c.p.timeStep;
}

TEST(RunControl, RunsToTheEndReportInOrderAndPrintTheConsoleLines) {
    const Events twoSteps = {"range 0", "init 0", "range 2", "Step(0)", "step 0", "Step(1)", "step 1",
                             "Step(2)", "step 2", "Step(3)", "Finish", "completed", "release"};
    Events accepted = twoSteps;
    accepted[1] = "init 22";  // a success code of the interface
    const struct {
        const char* what;
        float timeStep, endMinutes;
        int32_t initResult, advanceBy;
        Events expected;
    } cases[] = {
        {"two steps", 30.0f, 1.0f, InitResult::kSuccess, 1, twoSteps},
        {"zero steps still call Step twice", 1.0f, 0.0f, InitResult::kSuccess, 1,
         {"range 0", "init 0", "range 0", "Step(0)", "step 0", "Step(1)", "Finish", "completed", "release"}},
        {"advance skips indices", 6.0f, 1.0f, InitResult::kSuccess, 4,
         {"range 0", "init 0", "range 10", "Step(0)", "step 0", "Step(4)", "step 4", "Step(8)", "step 8", "Finish",
          "completed", "release"}},
        {"an advance of 0 still progresses", 30.0f, 1.0f, InitResult::kSuccess, 0, twoSteps},
        {"accepted by host", 30.0f, 1.0f, InitResult::kAcceptedByHost, 1, accepted},
        {"failed Init prints nothing", 30.0f, 1.0f, InitResult::kNoGridRecords, 1, {"range 0", "init 9", "release"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EventLog log;
        FakeSimulator sim(&log);
        sim.initResult = c.initResult;
        sim.advanceBy = c.advanceBy;
        testing::internal::CaptureStdout();
        sim.Start(FactoryFor(&log), Settings(c.timeStep, 0.0f, c.endMinutes));
        WaitUntil([&] { return !log.Snapshot().empty() && log.Snapshot().back() == "release"; });
        sim.Stop();
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string printed = "Starting Simulation\\.\\.\\.\nStep Count " + c.expected[2].substr(6) +
                                    "\nSimulation Took [0-9]+\\.[0-9]{6} seconds\n";
        EXPECT_TRUE(std::regex_match(out, std::regex(c.expected.size() > 3 ? printed : ""))) << out;
        EXPECT_EQ(log.Snapshot(), c.expected);
        EXPECT_FALSE(sim.IsRunning());
    }
}

TEST(RunControl, StopOrDeleteEndsTheRunAtAStepBoundaryAndFinishStillRuns) {
    for (bool viaDelete : {false, true}) {
        EventLog log;
        auto sim = std::make_unique<FakeSimulator>(&log);
        testing::internal::CaptureStdout();
        StartLongRun(*sim, &log);
        viaDelete ? sim.reset() : sim->Stop();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("Simulation Stopped after "), std::string::npos) << out;
        EXPECT_EQ(out.find("Simulation Took"), std::string::npos);
        EXPECT_EQ(LastTwo(log.Snapshot()), (Events{"Finish", "release"}));  // no "completed" after a stop
        EXPECT_TRUE(viaDelete || !sim->IsRunning());
    }
}

TEST(RunControl, PauseHoldsTheWorkerAndResumeOrStopReleasesIt) {
    for (bool resume : {true, false}) {
        SCOPED_TRACE(resume ? "resume" : "stop while paused");
        EventLog log;
        FakeSimulator sim(&log);
        sim.Pause(true);  // held from the first step boundary
        testing::internal::CaptureStdout();
        sim.Start(FactoryFor(&log), Settings(1.0f, 0.0f, 1.0f));  // 60 steps
        WaitUntil([&] { return sim.stepsCalled.load() == 1; });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(sim.stepsCalled.load(), 1);
        EXPECT_TRUE(sim.IsRunning());  // a paused run still counts as running
        if (resume) {
            sim.Pause(false);
            WaitUntil([&] { return sim.finishCalled.load() == 1; });
        }
        sim.Stop();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(sim.stepsCalled.load(), resume ? 62 : 1);
        EXPECT_EQ(sim.finishCalled.load(), 1);
        EXPECT_NE(out.find(resume ? "Simulation Took " : "Simulation Stopped after "), std::string::npos) << out;
    }
}

TEST(RunControl, StopAndStartEdgeCases) {
    EventLog log;
    {
        FakeSimulator never(&log);
        never.Stop();  // never started: returns at once, twice
        never.Stop();
        EXPECT_FALSE(never.IsRunning());
    }
    EXPECT_TRUE(log.Snapshot().empty());

    // Start again without Stop after the run ended by itself: the old worker is joined.
    FakeSimulator sim(&log);
    sim.Start(FactoryFor(&log), Settings(30.0f, 0.0f, 1.0f));
    WaitUntil([&] { return sim.finishCalled.load() == 1 && !sim.IsRunning(); });
    sim.Start(FactoryFor(&log), Settings(30.0f, 0.0f, 1.0f));
    WaitUntil([&] { return sim.finishCalled.load() == 2; });
    sim.Stop();
    EXPECT_EQ(sim.stepsCalled.load(), 8);

    // Start while a run is in progress is refused, not fatal, and leaves the run as it was.
    FakeSimulator busy(&log);
    StartLongRun(busy, &log);
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

TEST(RunControl, DestroyingFromTheWorkerThreadIsReportedNotFatal) {
    // The reporter is released on the worker at the end of the run; deleting the simulator
    // there must not deadlock or terminate the process.
    EventLog log;
    std::atomic<bool> done{false};
    auto* sim = new FakeSimulator(&log);
    log.onRelease = [&] {
        delete sim;
        done.store(true);
    };
    testing::internal::CaptureStderr();
    sim->Start(FactoryFor(&log), Settings(30.0f, 0.0f, 1.0f));
    WaitUntil([&] { return done.load(); });
    EXPECT_NE(testing::internal::GetCapturedStderr().find("own worker thread"), std::string::npos);
}
