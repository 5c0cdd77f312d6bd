#pragma once
// Progress of a run on standard error. The run thread obtains a fresh reporter per run
// (ProgressReporter); all of them draw through one ProgressDisplay that the host's main
// thread owns and also asks whether the run is over.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "ZellProgressBarI.h"

class ProgressDisplay {
public:
    // `interactive`: redraw one bar line in place (a terminal); otherwise print a plain
    // line at every tenth of the run. `quiet`: draw nothing, still track the run.
    ProgressDisplay(std::FILE* out, bool interactive, bool quiet);

    // Reporter calls, from the run thread.
    void SetRange(int32_t value);
    void InitFinished(int32_t code);
    void StepDone(int32_t stepIndex);
    void RunCompleted();
    void ReporterCreated();
    void ReporterReleased();

    // From the host's thread: ends a half-drawn bar line before other text.
    void BreakLine();
    // Waits up to `timeout` for the run thread to release its reporter (the run is over).
    bool WaitReleased(std::chrono::milliseconds timeout);

    bool reporterCreated() const;
    bool initFinished() const;
    int32_t initCode() const;
    bool completed() const;

    // "m:ss" below an hour, "h:mm:ss" above.
    static std::string FormatDuration(double seconds);

private:
    void Draw(int32_t stepIndex, bool final);

    std::FILE* out_;
    bool interactive_;
    bool quiet_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool created_ = false;
    bool releasedFlag_ = false;
    bool initFinished_ = false;
    int32_t initCode_ = -1;
    bool completed_ = false;
    int32_t range_ = 0;
    bool timing_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
    int lastTenth_ = -1;     // plain mode: the last tenth of the run printed
    bool lineOpen_ = false;  // interactive mode: a bar is drawn without its newline
};

// The reporter handed to the run thread; it forwards every call to the display.
class ProgressReporter final : public ZellProgressBarI {
public:
    explicit ProgressReporter(ProgressDisplay* display);
    ~ProgressReporter() override;
    void StepDone(int32_t stepIndex) override { display_->StepDone(stepIndex); }
    void SetRange(int32_t value) override { display_->SetRange(value); }
    void RunCompleted() override { display_->RunCompleted(); }
    void InitFinished(int32_t resultCode) override { display_->InitFinished(resultCode); }

private:
    ProgressDisplay* display_;
};
