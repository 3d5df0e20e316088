#include "Setup.h"

#include "Probes.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>

#include <unistd.h>

#include <cmath>
#include <cstdio>

Settings::Settings(bool quick)
    : quick(quick)
    , runs(quick ? 1 : 3)
    , floodSeconds(quick ? 10 : 60)
    , cpuSeconds(quick ? 3 : 10)
    , idleSeconds(quick ? 5 : 20)
    , paintSeconds(quick ? 5 : 20)
    , lockSeconds{2, quick ? 10.0 : 60.0}
{}

Bench::Bench(const Settings &settings, const Tools &tools)
    : settings(settings)
    , tools(tools)
    , loadAtStart(loadAverage())
    , m_start(monotonicNs())
{}

int Bench::elapsed() const
{
    return int(secondsSince(m_start));
}

void Bench::progress(const QString &what) const
{
    std::fprintf(stderr, "[%2d:%02d] %s\n", elapsed() / 60, elapsed() % 60, qPrintable(what));
}

namespace {

// A user's PATH may lack sbin, where Debian puts it.
QString findRsyslog()
{
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("rsyslogd"));
    return onPath.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("rsyslogd"),
                                                             {QStringLiteral("/usr/sbin")})
                            : onPath;
}

// Why this machine cannot run the bench, or nothing.
QString unfit(const Tools &tools)
{
    if (::geteuid() != 0)
        return QStringLiteral("The bench runs the logger as nobody, so it needs root:\n"
                              "  sudo unshare -n sh -c 'ip link set lo up; make bench'\n");
    for (const quint16 port : {LoggerPort, RsyslogPort}) {
        if (portSocket(port).bound)
            return QStringLiteral("UDP port %1 is in use here; the logger always binds 6177 and "
                                  "rsyslog gets 6178. Run the bench in a network namespace of its "
                                  "own:\n  unshare -n sh -c 'ip link set lo up; make bench'\n")
                .arg(port);
    }
    if (!loopbackUp(LoggerPort))
        return QStringLiteral("Loopback is down; in a new network namespace: ip link set lo up\n");
    if (tools.rsyslog.isEmpty())
        return QStringLiteral("rsyslogd not found; `make bench` installs it.\n");
    return {};
}

} // namespace

std::optional<Bench> setUp(const QCoreApplication &application, int *status)
{
    QCommandLineParser parser;
    const QCommandLineOption quick(QStringLiteral("quick"));
    const QCommandLineOption program(QStringLiteral("baseline-program"),
                                     QStringLiteral("the baseline's kivlogging"),
                                     QStringLiteral("path"));
    const QCommandLineOption list(QStringLiteral("baseline-list"),
                                  QStringLiteral("the baseline's bench_list"),
                                  QStringLiteral("path"));
    const QCommandLineOption name(QStringLiteral("baseline-name"),
                                  QStringLiteral("what to call it"), QStringLiteral("name"),
                                  QStringLiteral("old"));
    parser.addOptions({quick, program, list, name});
    parser.process(application);
    *status = 2;
    if (parser.isSet(program) != parser.isSet(list)) {
        std::fprintf(stderr, "A baseline needs both --baseline-program and --baseline-list.\n");
        return std::nullopt;
    }
    Tools tools{QStringLiteral(KIV_SCHEMA),
                QStringLiteral(KIV_SENDER),
                QStringLiteral(KIV_COUNTER),
                QStringLiteral(KIV_CLAMP),
                findRsyslog(),
                {{QStringLiteral("new"), QStringLiteral(KIV_PROGRAM), QStringLiteral(KIV_LIST)}}};
    if (parser.isSet(program))
        tools.builds.push_back({parser.value(name), parser.value(program), parser.value(list)});
    *status = 1;
    for (const Build &build : tools.builds) {
        for (const QString &path : {build.program, build.list}) {
            if (!QFileInfo(path).isExecutable()) {
                std::fprintf(stderr, "%s: not built\n", qPrintable(path));
                return std::nullopt;
            }
        }
    }
    if (const QString why = unfit(tools); !why.isEmpty()) {
        std::fputs(qPrintable(why), stderr);
        return std::nullopt;
    }
    *status = 0;
    return Bench(Settings(parser.isSet(quick)), tools);
}
