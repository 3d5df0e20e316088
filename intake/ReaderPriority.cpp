#include "ReaderPriority.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <algorithm>
#include <cerrno>

#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Half the hard limit: the thread is sent back long before the whole logger is killed.
constexpr rlim_t SoftRealtimeMicroseconds = 100'000;
// RealtimeKit's default maximum: it refuses a process whose hard limit is above it.
constexpr rlim_t HardRealtimeMicroseconds = 200'000;

bool isRealtime(int policy)
{
    policy &= ~SCHED_RESET_ON_FORK;
    return policy == SCHED_FIFO || policy == SCHED_RR;
}

// The kernel sends the soft limit's SIGXCPU to the thread that used the time up, as it does not
// block the signal, so this acts on the thread it runs on. That thread then accrues no more
// real-time time: the signal comes once.
void dropToNormalPriority(int)
{
    const int savedErrno = errno;
    if (isRealtime(::sched_getscheduler(0))) {
        const sched_param normal{};
        // An unprivileged thread may not clear the reset-on-fork flag.
        if (::sched_setscheduler(0, SCHED_OTHER | SCHED_RESET_ON_FORK, &normal) == 0) {
            constexpr char line[] = "KIVLogging: the reader used up its real-time allowance in a "
                                    "flood; it goes on at normal priority.\n";
            [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line, sizeof line - 1);
        }
    }
    errno = savedErrno;
}

// Soft limit below the hard one, so the thread is warned before the whole logger is killed.
bool limitRealtimeTime(QString *why)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_RTTIME, &limit) == 0) {
        limit.rlim_max = std::min(limit.rlim_max, HardRealtimeMicroseconds);
        limit.rlim_cur = std::min({limit.rlim_cur, SoftRealtimeMicroseconds, limit.rlim_max / 2});
        if (::setrlimit(RLIMIT_RTTIME, &limit) == 0)
            return true;
    }
    *why = QStringLiteral("RLIMIT_RTTIME: ") + qt_error_string(errno);
    return false;
}

bool installFallback(QString *why)
{
    struct sigaction action = {};
    action.sa_handler = dropToNormalPriority;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGXCPU, &action, nullptr) != 0) {
        *why = QStringLiteral("SIGXCPU: ") + qt_error_string(errno);
        return false;
    }
    // The kernel prefers the thread that used the time up only if it takes the signal.
    sigset_t xcpu;
    sigemptyset(&xcpu);
    sigaddset(&xcpu, SIGXCPU);
    ::pthread_sigmask(SIG_UNBLOCK, &xcpu, nullptr);
    return true;
}

// A system bus connection of the caller's own, closed afterwards so that nothing is left to
// wake the idle process. Named after the calling thread, which waits in it.
class OwnSystemBus
{
public:
    OwnSystemBus()
        : m_name(QStringLiteral("kivlogging-realtimekit-%1").arg(::gettid()))
        , m_connection(QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_name))
    {}
    ~OwnSystemBus() { QDBusConnection::disconnectFromBus(m_name); }
    OwnSystemBus(const OwnSystemBus &) = delete;
    OwnSystemBus &operator=(const OwnSystemBus &) = delete;

    const QDBusConnection &connection() const { return m_connection; }

private:
    QString m_name;
    QDBusConnection m_connection;
};

} // namespace

QString ReaderPriority::raise()
{
    QString why;
    if (limitRealtimeTime(&why) && installFallback(&why)) {
        sched_param first{};
        first.sched_priority = 1;
        if (::sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &first) == 0)
            return QStringLiteral(
                "KIVLogging: the reader runs at real-time priority (SCHED_FIFO 1).");
        why = QStringLiteral("SCHED_FIFO: ") + qt_error_string(errno);
        QString rtkitWhy;
        if (askRealtimeKit(::gettid(), RealtimeKitTimeoutMilliseconds, &rtkitWhy))
            return QStringLiteral("KIVLogging: the reader runs at real-time priority "
                                  "(SCHED_RR 1, granted by RealtimeKit).");
        why += QStringLiteral("; ") + rtkitWhy;
    }
    return QStringLiteral("KIVLogging: the reader runs at normal priority (real-time priority is "
                          "not allowed here: %1).")
        .arg(why);
}

bool ReaderPriority::askRealtimeKit(pid_t thread, int timeoutMilliseconds, QString *why)
{
    QString reason;
    if (const OwnSystemBus bus; !bus.connection().isConnected()) {
        reason = QStringLiteral("no system bus: ") + bus.connection().lastError().message();
    } else {
        const QString name = QStringLiteral("org.freedesktop.RealtimeKit1");
        QDBusMessage call =
            QDBusMessage::createMethodCall(name, QStringLiteral("/org/freedesktop/RealtimeKit1"),
                                           name, QStringLiteral("MakeThreadRealtime"));
        call << qulonglong(thread) << quint32(1);
        const QDBusMessage reply = bus.connection().call(call, QDBus::Block, timeoutMilliseconds);
        const QString error = reply.errorName();
        if (reply.type() == QDBusMessage::ReplyMessage)
            return true;
        if (error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown"))
            reason = QStringLiteral("RealtimeKit is not on the system bus");
        else if (error == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
                 error == QLatin1String("org.freedesktop.DBus.Error.Timeout"))
            reason =
                QStringLiteral("RealtimeKit did not answer within %1 ms").arg(timeoutMilliseconds);
        else
            reason = QStringLiteral("RealtimeKit refused: ") +
                     (reply.errorMessage().isEmpty() ? error : reply.errorMessage());
    }
    if (why)
        *why = reason;
    return false;
}
