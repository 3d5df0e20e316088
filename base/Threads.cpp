#include "Threads.h"

#include "Failure.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>
#include <sys/eventfd.h>
#include <system_error>

Wakeup::Wakeup(const QString &failureText)
    : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (!m_fd.isValid()) {
        const int error = errno;
        throw Failure::fromErrno(error, failureText);
    }
}

void Wakeup::signal() const
{
    // A counter far from its limit cannot fail to be written.
    const quint64 one = 1;
    (void)!::write(m_fd.get(), &one, sizeof one);
}

void Wakeup::clear() const
{
    quint64 value;
    (void)!::read(m_fd.get(), &value, sizeof value);
}

std::thread startThread(const char *name, const QString &failureText, std::function<void()> body)
{
    std::thread thread;
    try {
        thread = std::thread(std::move(body));
    } catch (const std::system_error &error) {
        throw Failure(error.code().value(), failureText + QString::fromLocal8Bit(error.what()));
    }
    ::pthread_setname_np(thread.native_handle(), name);
    return thread;
}

qint64 monotonicNanoseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}
