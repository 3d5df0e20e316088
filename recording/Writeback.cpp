#include "Writeback.h"

#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <system_error>

Writeback::Writeback(QString path)
    : m_path(std::move(path))
{}

Writeback::~Writeback()
{
    if (!m_thread.joinable())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void Writeback::start(FileDescriptor file)
{
    {
        const std::lock_guard lock(m_mutex);
        m_waiting = std::move(file);
    }
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread(&Writeback::run, this);
        } catch (const std::system_error &error) {
            throw Failure(error.code().value(),
                          QStringLiteral("Cannot start writing %1 back to disk: %2")
                              .arg(m_path, QString::fromLocal8Bit(error.what())));
        }
        ::pthread_setname_np(m_thread.native_handle(), "writeback");
    }
    m_wake.notify_one();
}

std::optional<Failure> Writeback::takeFailure()
{
    const std::lock_guard lock(m_mutex);
    if (!m_failure || m_failureTold)
        return std::nullopt;
    m_failureTold = true;
    return m_failure;
}

void Writeback::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_waiting.isValid() || m_stopping; });
        if (m_stopping)
            return;
        const FileDescriptor file = std::move(m_waiting);
        lock.unlock();
        // Only starts the writing; the data is as safe as before until it is done.
        const int result = ::sync_file_range(file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
        const int error = errno;
        lock.lock();
        // A pipe or a device has nothing to write back.
        if (result != 0 && error != ESPIPE && !m_failure) {
            m_failure = Failure::fromErrno(
                error, QStringLiteral("Cannot write %1 back to disk: ").arg(m_path));
        }
    }
}
