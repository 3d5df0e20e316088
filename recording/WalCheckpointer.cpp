#include "WalCheckpointer.h"

#include <pthread.h>

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

quint64 WalCheckpointer::request()
{
    quint64 number;
    {
        const std::lock_guard lock(m_mutex);
        if (!m_requested) {
            m_requested = true;
            ++m_requestedNumber;
        }
        number = m_requestedNumber;
    }
    m_wake.notify_one();
    return number;
}

bool WalCheckpointer::hasCompleted(quint64 checkpoint)
{
    const std::lock_guard lock(m_mutex);
    return m_completedNumber >= checkpoint;
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
        const quint64 number = m_requestedNumber;
        lock.unlock();
        const int result = sqlite3_wal_checkpoint_v2(m_connection.get(), nullptr,
                                                     SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        lock.lock();
        m_completedNumber = number;
        // Busy only means another checkpoint runs; the next request comes soon enough.
        if (result != SQLITE_OK && result != SQLITE_BUSY && result != SQLITE_LOCKED && !m_failure) {
            m_failure = Failure(sqlite3_extended_errcode(m_connection.get()),
                                QString::fromUtf8(sqlite3_errmsg(m_connection.get())));
        }
    }
}
