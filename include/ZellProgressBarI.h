#pragma once
// Progress reporter implemented by the host. The worker obtains one per run from the
// factory given to Start and releases it through its virtual destructor at the end.
#include <cstdint>
#include <functional>

class ZellProgressBarI {
public:
    virtual ~ZellProgressBarI() = default;                 // released once, at the end of every run
    virtual void StepDone(int32_t stepIndex) = 0;          // after each Step whose index is <= stepCount
    virtual void SetRange(int32_t value) = 0;              // 0 before Init; stepCount after a successful Init
    virtual void RunCompleted() = 0;                       // after a run that reached its last step
    virtual void InitFinished(int32_t resultCode) = 0;     // the result code of Init
};

// Returns a new reporter owned by the worker that called it.
using ProgressFactory = std::function<ZellProgressBarI*()>;
