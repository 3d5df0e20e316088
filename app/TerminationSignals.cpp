#include "TerminationSignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/signalfd.h>

namespace {

sigset_t terminationSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

} // namespace

void TerminationSignals::takeOver()
{
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    // Threads started later inherit the mask, so the signals are only read from the descriptor.
    const sigset_t set = terminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    const sigset_t set = terminationSet();
    m_signalFd = FileDescriptor(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!m_signalFd.isValid()) {
        // Ending at once is better than not ending at all.
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_signalFd.get(), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &TerminationSignals::drain);
}

TerminationSignals::~TerminationSignals() = default;

void TerminationSignals::drain()
{
    signalfd_siginfo info;
    bool any = false;
    while (::read(m_signalFd.get(), &info, sizeof info) == ssize_t(sizeof info)) {
        // A closed terminal may hang up more than once; only a user's repeat is meant to hurry.
        if (info.ssi_signo != SIGHUP || m_requests == 0)
            any = true;
    }
    if (!any)
        return;
    ++m_requests;
    emit received();
}
