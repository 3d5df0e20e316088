#pragma once

#include "Failure.h"
#include "TextEncoding.h"
#include "Threads.h"

#include <QList>

#include <atomic>
#include <functional>
#include <optional>
#include <thread>

class Clock;
class DatabaseLog;
class DatagramQueue;
class EntryList;
class TextLog;

// The recorder: a thread of its own that takes the datagrams queued, turns each into its entry
// and records the entries taken together, each in the list, the text log and the database, in
// this order. It sleeps while nothing is queued and no row waits.
class Recorder
{
public:
    // How long a stop waits for rows that another program's lock holds back: long enough for
    // someone to end a transaction, short of systemd's stop timeout.
    static constexpr qint64 StopWaitMilliseconds = 30000;

    // Called on the recorder's thread when it ends by itself: with nothing, once drained; with
    // the failure that ended it.
    using Finished = std::function<void(const std::optional<Failure> &failure)>;

    Recorder(DatagramQueue &queue,
             EntryList &entries,
             TextLog &textLog,
             DatabaseLog &database,
             const Clock &clock);
    ~Recorder();
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // Starts the thread. Throws Failure when it cannot.
    void start(Finished finished);

    // Records entries taken together: their list items, then their lines in one append, then
    // their rows in one transaction, or waiting for it while another program holds a lock.
    // Throws Failure; the steps before stay done.
    void WriteFile(const QList<DecodedText> &ToWrite);

    // Records everything queued, then ends once every row is in, or at most
    // StopWaitMilliseconds later. Call once the reader has stopped.
    void drain();
    // Ends after the round in hand and returns once the thread has ended.
    void stop();

    // Entries with their line, and with their row; exact once the thread has ended.
    quint64 lines() const { return m_lines.load(std::memory_order_relaxed); }
    quint64 rows() const;

private:
    void run();
    void insertRows();

    DatagramQueue &m_queue;
    EntryList &m_entries;
    TextLog &m_textLog;
    DatabaseLog &m_database;
    const Clock &m_clock;
    Wakeup m_wake;
    std::thread m_thread;
    Finished m_finished;
    std::atomic<bool> m_draining{false};
    std::atomic<bool> m_stopping{false};
    std::atomic<quint64> m_lines{0};
    qint64 m_nextTry = 0;
};
