#pragma once

#include "Failure.h"
#include "SqliteHandle.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

// Copies an SQLite file's write-ahead log back into the file on a thread of its own, over a
// connection of its own. A checkpoint is several milliseconds of CPU: in the recording thread
// it left the socket unread, in a flood, for longer than the kernel's buffer lasts. Like
// SQLite's own, it copies only what no reader needs and never blocks the writer.
class WalCheckpointer
{
public:
    // Takes the connection to checkpoint through; it must have read the file already, or it
    // does not know the log.
    explicit WalCheckpointer(SqliteHandle connection);
    // Waits for a checkpoint under way, then closes the connection.
    ~WalCheckpointer();
    WalCheckpointer(const WalCheckpointer &) = delete;
    WalCheckpointer &operator=(const WalCheckpointer &) = delete;

    // After each of the writer's commits, with the log's length in frames: past SQLite's
    // threshold, asks the thread for a checkpoint, or copies the last few frames itself, so
    // that the log can start over. Waits for the thread only when the log is far too long.
    void committed(sqlite3 *writer, int frames);
    // The first failure of a checkpoint, once.
    std::optional<Failure> takeFailure();

private:
    void run();
    // Under m_mutex.
    void noteResult(int result, sqlite3 *connection);

    SqliteHandle m_connection;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    bool m_requested = false;
    bool m_running = false;
    bool m_stopping = false;
    // Of the log as the writer last saw it, and as far as the last checkpoint copied it.
    int m_frames = 0;
    int m_copiedFrames = 0;
    std::optional<Failure> m_failure;
    bool m_failureTold = false;
    std::thread m_thread;
};
