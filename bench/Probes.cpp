#include "Probes.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

double secondsSince(qint64 start)
{
    return double(monotonicNs() - start) / 1e9;
}

void pause(double seconds)
{
    const qint64 due = monotonicNs() + qint64(seconds * 1e9);
    const timespec deadline{time_t(due / 1000000000), long(due % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The last column of the kernel's tables counts the datagrams it dropped for each socket.
PortSocket portSocket(quint16 port)
{
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    PortSocket socket;
    for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
        const QList<QByteArray> lines = readAll(QString::fromLatin1(table)).split('\n');
        for (const QByteArray &line : lines) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 12 && fields[1].endsWith(local)) {
                socket.bound = true;
                socket.drops += fields.last().toLongLong();
            }
        }
    }
    return socket;
}

bool loopbackUp(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    const bool up = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
    ::close(fd);
    return up;
}

qint64 cpuNanoseconds(qint64 pid)
{
    clockid_t clock;
    timespec used{};
    if (pid <= 0 || ::clock_getcpuclockid(pid_t(pid), &clock) != 0 ||
        ::clock_gettime(clock, &used) != 0)
        return -1;
    return used.tv_sec * 1000000000LL + used.tv_nsec;
}

static qint64 statusField(const QString &path, const QByteArray &field)
{
    for (const QByteArray &line : readAll(path).split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

double rssMiB(qint64 pid)
{
    return double(statusField(QStringLiteral("/proc/%1/status").arg(pid), "VmRSS")) / 1024;
}

qint64 contextSwitches(qint64 pid)
{
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    qint64 sum = 0;
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString status = tasks + QLatin1Char('/') + task + QStringLiteral("/status");
        sum += statusField(status, "voluntary_ctxt_switches") +
               statusField(status, "nonvoluntary_ctxt_switches");
    }
    return sum;
}

qint64 receiveBuffer(quint16 port)
{
    QProcess ss;
    ss.start(QStringLiteral("ss"),
             {QStringLiteral("-uanm"), QStringLiteral("sport = :%1").arg(port)});
    if (!ss.waitForFinished(10000))
        return -1;
    static const QRegularExpression buffer(QStringLiteral("rb(\\d+)"));
    const auto match = buffer.match(QString::fromLatin1(ss.readAllStandardOutput()));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

QByteArray loadAverage()
{
    return readAll(QStringLiteral("/proc/loadavg")).simplified().split(' ').mid(0, 3).join(' ');
}
