#pragma once

#include <QString>

#include <sys/types.h>

// Lets the reader thread run ahead of recording and of the rest of the desktop, so a busy
// processor does not leave datagrams to overflow the kernel's buffer.
class ReaderPriority
{
public:
    // RealtimeKit answers at once; a bus that does not must not hold up the start for long.
    static constexpr int RealtimeKitTimeoutMilliseconds = 500;

    // Called on the reader thread itself as it starts. First limits the real-time CPU time a
    // thread may take without blocking (soft 100 ms, hard 200 ms) and sends the thread back to
    // normal priority at the soft limit, so a flood can never get the logger killed at the hard
    // one; then asks for SCHED_FIFO 1, else RealtimeKit. Returns the line that says what it
    // got, for the caller to print once on stderr.
    static QString raise();

    // Asks RealtimeKit on the system bus to make `thread` (a thread id of this process)
    // SCHED_RR 1, waiting at most `timeoutMilliseconds`. Callable from any thread while a
    // QCoreApplication exists; keeps no bus connection afterwards. On failure `why` (if given)
    // gets a short reason.
    static bool askRealtimeKit(pid_t thread, int timeoutMilliseconds, QString *why = nullptr);
};
