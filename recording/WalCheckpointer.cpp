#include "WalCheckpointer.h"

#include <QString>

#include <pthread.h>

namespace {

// SQLite's default for its own automatic checkpoints.
constexpr int CheckpointFrames = 1000;
// The log starts over only once a checkpoint has copied all of it before the next commit,
// which the thread rarely manages while a flood commits every slice. Once it has copied all
// but this many frames (a few slices' worth), the writer copies the rest: 4 ms at most.
constexpr int FinishingFrames = 512;
// The longest the log grows (32 MiB of 4 KiB pages).
constexpr int MostFrames = 8192;

} // namespace

WalCheckpointer::WalCheckpointer(SqliteHandle connection)
    : m_connection(std::move(connection))
    , m_thread(&WalCheckpointer::run, this)
{
    ::pthread_setname_np(m_thread.native_handle(), "wal-checkpoint");
}

WalCheckpointer::~WalCheckpointer()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void WalCheckpointer::committed(sqlite3 *writer, int frames)
{
    std::unique_lock lock(m_mutex);
    // The log started over (a checkpoint may tell of the old one after that).
    if (frames < m_frames || frames < m_copiedFrames)
        m_copiedFrames = 0;
    m_frames = frames;
    if (frames < CheckpointFrames)
        return;
    if (frames >= MostFrames) {
        // Far behind (a busy machine leaves the thread little time): the writer waits for the
        // thread, then copies the rest itself.
        m_idle.wait(lock, [this] { return !m_requested && !m_running; });
    } else if (frames - m_copiedFrames > FinishingFrames) {
        m_requested = true;
        lock.unlock();
        m_wake.notify_one();
        return;
    } else if (m_requested || m_running) {
        // The rest is the writer's, once the thread is done.
        return;
    }
    lock.unlock();
    int copied = 0;
    const int result =
        sqlite3_wal_checkpoint_v2(writer, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, &copied);
    lock.lock();
    m_copiedFrames = copied;
    noteResult(result, writer);
}

std::optional<Failure> WalCheckpointer::takeFailure()
{
    const std::lock_guard lock(m_mutex);
    if (!m_failure || m_failureTold)
        return std::nullopt;
    m_failureTold = true;
    return m_failure;
}

void WalCheckpointer::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_requested || m_stopping; });
        if (m_stopping)
            return;
        m_requested = false;
        m_running = true;
        lock.unlock();
        int copied = 0;
        const int result = sqlite3_wal_checkpoint_v2(m_connection.get(), nullptr,
                                                     SQLITE_CHECKPOINT_PASSIVE, nullptr, &copied);
        lock.lock();
        m_running = false;
        m_copiedFrames = copied;
        noteResult(result, m_connection.get());
        m_idle.notify_one();
    }
}

void WalCheckpointer::noteResult(int result, sqlite3 *connection)
{
    // Busy only means another checkpoint runs.
    if (result != SQLITE_OK && result != SQLITE_BUSY && result != SQLITE_LOCKED && !m_failure) {
        m_failure = Failure(sqlite3_extended_errcode(connection),
                            QString::fromUtf8(sqlite3_errmsg(connection)));
    }
}
