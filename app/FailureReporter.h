#pragma once

class Failure;

// The one place failures are reported: stderr always, and a message box above all windows
// when there is a display. Tests replace it.
class FailureReporter
{
public:
    virtual ~FailureReporter() = default;
    virtual void report(const Failure &failure);
    // Reports the exception being handled as the logger's failure to start.
    void reportStartFailure();
};
