#include "ProgressBar.h"

#include <algorithm>
#include <cmath>

ProgressDisplay::ProgressDisplay(std::FILE* out, bool interactive, bool quiet)
    : out_(out), interactive_(interactive), quiet_(quiet) {}

void ProgressDisplay::ReporterCreated() {
    std::lock_guard<std::mutex> lock(mutex_);
    created_ = true;
    releasedFlag_ = false;
}

void ProgressDisplay::ReporterReleased() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        releasedFlag_ = true;
    }
    released_.notify_all();
}

// The run thread sets the range to 0 before Init and to the step count after a
// successful Init; timing starts with the second.
void ProgressDisplay::SetRange(int32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    range_ = std::max<int32_t>(value, 0);
    if (initFinished_) {
        timing_ = true;
        start_ = lastDraw_ = std::chrono::steady_clock::now();
        lastTenth_ = -1;
    }
}

void ProgressDisplay::InitFinished(int32_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    initFinished_ = true;
    initCode_ = code;
}

void ProgressDisplay::StepDone(int32_t stepIndex) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (quiet_ || !timing_) return;
    const bool final = stepIndex >= range_;
    if (interactive_) {
        // A redraw costs a system call; a few per second are enough for the eye.
        const auto now = std::chrono::steady_clock::now();
        if (!final && stepIndex != 0 && now - lastDraw_ < std::chrono::milliseconds(200)) return;
        lastDraw_ = now;
        Draw(stepIndex, final);
    } else {
        const int tenth = range_ > 0 ? static_cast<int>(10LL * std::min(stepIndex, range_) / range_) : 10;
        if (tenth <= lastTenth_ || tenth == 0) return;
        lastTenth_ = tenth;
        Draw(stepIndex, final);
    }
}

void ProgressDisplay::RunCompleted() {
    std::lock_guard<std::mutex> lock(mutex_);
    completed_ = true;
}

void ProgressDisplay::BreakLine() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lineOpen_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        lineOpen_ = false;
    }
}

bool ProgressDisplay::WaitReleased(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return released_.wait_for(lock, timeout, [this] { return releasedFlag_; });
}

bool ProgressDisplay::reporterCreated() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return created_;
}
bool ProgressDisplay::initFinished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return initFinished_;
}
int32_t ProgressDisplay::initCode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return initCode_;
}
bool ProgressDisplay::completed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return completed_;
}

std::string ProgressDisplay::FormatDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) return "--:--";
    const long long total = std::llround(seconds);
    const long long h = total / 3600, m = total / 60 % 60, s = total % 60;
    char text[48];
    if (h > 0)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", h, m, s);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", m, s);
    return text;
}

// Step index i of a run of N steps is i/N of the way; rates count the i + 1 steps done.
void ProgressDisplay::Draw(int32_t stepIndex, bool final) {
    const int32_t shown = std::min(stepIndex, range_);
    const double fraction = range_ > 0 ? static_cast<double>(shown) / range_ : 1.0;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = elapsed > 0.0 ? (shown + 1) / elapsed : 0.0;
    const double remaining = rate > 0.0 ? (range_ - shown) / rate : -1.0;
    char rateText[32];
    if (rate > 0.0)
        std::snprintf(rateText, sizeof rateText, "%.0f", rate);
    else
        std::snprintf(rateText, sizeof rateText, "-");

    if (interactive_) {
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(fraction * kWidth);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kWidth - filled), '-');
        std::fprintf(out_, "\r[%s] %5.1f%%  step %d/%d  %s steps/s  elapsed %s  left %s\033[K", bar.c_str(),
                     100.0 * fraction, shown, range_, rateText, FormatDuration(elapsed).c_str(),
                     FormatDuration(remaining).c_str());
        lineOpen_ = !final;
        if (final) std::fputc('\n', out_);
    } else {
        std::fprintf(out_, "vestra: %3.0f%% (step %d of %d), %s steps/s, elapsed %s, remaining %s\n",
                     100.0 * fraction, shown, range_, rateText, FormatDuration(elapsed).c_str(),
                     FormatDuration(remaining).c_str());
    }
    std::fflush(out_);
}

ProgressReporter::ProgressReporter(ProgressDisplay* display) : display_(display) { display_->ReporterCreated(); }

ProgressReporter::~ProgressReporter() { display_->ReporterReleased(); }
