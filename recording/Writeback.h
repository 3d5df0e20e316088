#pragma once

#include "Failure.h"
#include "FileDescriptor.h"

#include <QString>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

// Starts writing a file's new data back to disk from a thread of its own. Left to the
// system, a file that only grows is written back in one large piece half a minute after it
// was written, and while the filesystem allocates the blocks of that piece, appending to the
// file waits, a tenth of a second and more: long enough to stall the window. Started every
// MiB, the pieces stay small.
class Writeback
{
public:
    // `path` names the file in failures.
    explicit Writeback(QString path);
    // Waits for a writeback being started.
    ~Writeback();
    Writeback(const Writeback &) = delete;
    Writeback &operator=(const Writeback &) = delete;

    // Starts writing back what was written through `file` so far, and closes it; one waiting
    // since the last call is dropped, as this one covers it. Throws Failure when the thread
    // cannot be started.
    void start(FileDescriptor file);
    // The first failure to write the file back, if any: it is not told twice.
    std::optional<Failure> takeFailure();

private:
    void run();

    const QString m_path;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    FileDescriptor m_waiting;
    bool m_stopping = false;
    std::optional<Failure> m_failure;
    bool m_failureTold = false;
    std::thread m_thread;
};
