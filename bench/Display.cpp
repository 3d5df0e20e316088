#include "Display.h"

#include "Probes.h"
#include "Unprivileged.h"

#include <QFileInfo>

#include <cstdio>

namespace {

constexpr double StartSeconds = 30;

// Waits at most StartSeconds from `start` for `condition`, while `process` runs.
template<class Condition>
bool waitFor(QProcess &process, qint64 start, const Condition &condition)
{
    while (!condition() && process.state() != QProcess::NotRunning &&
           secondsSince(start) < StartSeconds)
        process.waitForFinished(20); // reads its output meanwhile
    return condition();
}

} // namespace

Display::Display()
{
    const QString name = startServer();
    if (!name.isEmpty() && startManager(name))
        m_name = name;
    else
        std::fprintf(stderr, "No display for the window rows:\n%s%s\n",
                     readAll(m_home.filePath(QStringLiteral("xvfb.txt"))).constData(),
                     readAll(m_home.filePath(QStringLiteral("openbox.txt"))).constData());
}

// -displayfd: the server takes the first free display number and writes it once it takes
// clients; -ac lets the bench user's programs in without a cookie.
QString Display::startServer()
{
    m_server.setStandardErrorFile(m_home.filePath(QStringLiteral("xvfb.txt")));
    // SIGTERM, so that it takes its lock file and socket away.
    endWithBench(m_server, SIGTERM);
    m_server.start(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-ac"),
                    QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-screen"),
                    QStringLiteral("0"), QStringLiteral("1280x1024x24")});
    const qint64 start = monotonicNs();
    if (!m_home.isValid() || !waitFor(m_server, start, [&] { return m_server.canReadLine(); }))
        return {};
    bool isNumber = false;
    const int number = m_server.readLine().trimmed().toInt(&isNumber);
    const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
    if (!isNumber || !waitFor(m_server, start, [&] { return QFileInfo::exists(socket); }))
        return {};
    return QStringLiteral(":%1").arg(number);
}

bool Display::startManager(const QString &name)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), name);
    environment.insert(QStringLiteral("HOME"), m_home.path());
    m_manager.setProcessEnvironment(environment);
    m_manager.setStandardOutputFile(QProcess::nullDevice());
    m_manager.setStandardErrorFile(m_home.filePath(QStringLiteral("openbox.txt")));
    endWithBench(m_manager, SIGTERM);
    // openbox runs its startup command once it manages the screen.
    const QString started = m_home.filePath(QStringLiteral("started"));
    m_manager.start(QStringLiteral("openbox"),
                    {QStringLiteral("--sm-disable"), QStringLiteral("--startup"),
                     QStringLiteral("touch '%1'").arg(started)});
    return waitFor(m_manager, monotonicNs(), [&] { return QFileInfo::exists(started); });
}

Display::~Display()
{
    // The manager first: it is the server's client.
    for (QProcess *process : {&m_manager, &m_server}) {
        if (process->state() == QProcess::NotRunning)
            continue;
        process->terminate();
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished();
        }
    }
}
