#pragma once

#include "Failure.h"
#include "SqliteHandle.h"

#include <QtGlobal>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

// Copies an SQLite file's write-ahead log back into the file on a thread of its own, over a
// connection of its own, so the two fsyncs of a checkpoint never hold up an insert. It only
// copies what no reader needs; it never blocks the writer.
class WalCheckpointer
{
public:
    // Takes the connection to checkpoint through.
    explicit WalCheckpointer(SqliteHandle connection);
    // Waits for a checkpoint under way, then closes the connection.
    ~WalCheckpointer();
    WalCheckpointer(const WalCheckpointer &) = delete;
    WalCheckpointer &operator=(const WalCheckpointer &) = delete;

    // Asks for a checkpoint and returns at once with its number; a request while one runs
    // makes one more, so the checkpoint asked for covers everything committed before.
    quint64 request();
    // Whether checkpoint number `checkpoint` is over.
    bool hasCompleted(quint64 checkpoint);
    // The first failure of a checkpoint, if any: it is not told twice.
    std::optional<Failure> takeFailure();

private:
    void run();

    SqliteHandle m_connection;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_requested = false;
    quint64 m_requestedNumber = 0;
    quint64 m_completedNumber = 0;
    bool m_stopping = false;
    std::optional<Failure> m_failure;
    bool m_failureTold = false;
    std::thread m_thread;
};
