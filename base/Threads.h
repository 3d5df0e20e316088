#pragma once

#include "FileDescriptor.h"

#include <QString>

#include <functional>
#include <thread>

// An eventfd that one thread signals and another waits on with poll, so that no wake-up is
// lost between a look and the wait.
class Wakeup
{
public:
    // Throws Failure, after `failureText`, when the kernel gives no descriptor.
    explicit Wakeup(const QString &failureText);

    int descriptor() const { return m_fd.get(); }
    void signal() const;
    // Takes the signals given so far.
    void clear() const;

private:
    FileDescriptor m_fd;
};

// Runs `body` on a new thread named `name` (at most 15 characters). Throws Failure, after
// `failureText`, when it cannot.
std::thread startThread(const char *name, const QString &failureText, std::function<void()> body);

// CLOCK_MONOTONIC, for intervals that a step of the wall clock must not stretch.
qint64 monotonicNanoseconds();
