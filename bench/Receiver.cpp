#include "Receiver.h"

#include "Probes.h"
#include "Setup.h"

#include <QFile>

#include <algorithm>
#include <cstdio>

Sandbox::Sandbox(const Tools &tools)
    : m_valid(m_directory.isValid() && QFile::copy(tools.clamp, file(QStringLiteral("clamp.so"))))
{}

QString Sandbox::copy(const QString &program, const QString &name)
{
    m_valid = m_valid && QFile::copy(program, file(name));
    return m_valid ? file(name) : QString();
}

QProcessEnvironment Sandbox::environment(const QString &display) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"XDG_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY"})
        environment.remove(QString::fromLatin1(name));
    // On a display the platform is left for the program to choose, as on a desktop.
    if (display.isEmpty())
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    else
        environment.insert(QStringLiteral("DISPLAY"), display);
    environment.insert(QStringLiteral("LD_PRELOAD"), file(QStringLiteral("clamp.so")));
    environment.insert(QStringLiteral("HOME"), path());
    return environment;
}

bool Sandbox::handOver()
{
    return m_valid = m_valid && giveToBenchUser(path());
}

namespace {

// What /proc showed of the first logger to listen, by privilege.
QString firstCredentials[2];

QString textName(Kind kind)
{
    return kind == Kind::Rsyslog ? QStringLiteral("out.log") : QStringLiteral("mylog.txt");
}

} // namespace

Receiver::Receiver(
    const Tools &tools, Kind kind, const Build *build, Privilege privilege, const QString &display)
    : m_kind(kind)
    , m_sandbox(tools)
    , m_lines(m_sandbox.file(textName(kind)))
{
    m_process.setProcessEnvironment(m_sandbox.environment(display));
    m_process.setWorkingDirectory(m_sandbox.path());
    m_process.setStandardErrorFile(file(QStringLiteral("stderr.txt")));
    if (!start(tools, build, privilege) || !m_process.waitForStarted())
        return;
    const qint64 start = monotonicNs();
    while (secondsSince(start) < 30 && running()) {
        if (portSocket(port()).bound) {
            m_listening = true;
            QString &first = firstCredentials[privilege == Privilege::SysNice];
            if (kind == Kind::Logger && first.isEmpty())
                first = credentials(pid());
            return;
        }
        m_process.waitForFinished(20);
    }
    std::fprintf(stderr, "%s did not start listening:\n%s\n", qPrintable(name()),
                 readAll(file(QStringLiteral("stderr.txt"))).constData());
}

bool Receiver::start(const Tools &tools, const Build *build, Privilege privilege)
{
    if (m_kind == Kind::Rsyslog) {
        if (!configureRsyslog())
            return false;
        endWithBench(m_process);
        m_process.start(tools.rsyslog, {QStringLiteral("-n"), QStringLiteral("-f"),
                                        file(QStringLiteral("rsyslog.conf")), QStringLiteral("-i"),
                                        file(QStringLiteral("rsyslogd.pid"))});
        return true;
    }
    QString program;
    QStringList arguments;
    if (m_kind == Kind::Logger) {
        program = m_sandbox.copy(build->program, QStringLiteral("kivlogging"));
    } else if (m_kind == Kind::Window) {
        program = m_sandbox.copy(build->list, QStringLiteral("bench_list"));
        arguments = {m_sandbox.path(), QString::number(LoggerPort)};
    } else {
        program = m_sandbox.copy(tools.counter, QStringLiteral("bench_counter"));
        arguments = {QString::number(LoggerPort), QString::number(Million), QStringLiteral("1000")};
    }
    if (program.isEmpty() ||
        (m_kind != Kind::Counter &&
         !createDatabase(tools.schema, file(QStringLiteral("Log.mdb")))) ||
        !m_sandbox.handOver())
        return false;
    runUnprivileged(m_process, privilege,
                    m_kind == Kind::Counter && privilege == Privilege::SysNice);
    m_process.start(program, arguments);
    return true;
}

// Its own instance: no system configuration, only UDP in and one file out, with internal
// messages kept out of that file by a ruleset of the input's own.
bool Receiver::configureRsyslog()
{
    QFile configuration(file(QStringLiteral("rsyslog.conf")));
    if (!m_sandbox.valid() || !configuration.open(QIODevice::WriteOnly))
        return false;
    return configuration.write(
               QStringLiteral("global(workDirectory=\"%1\" maxMessageSize=\"64k\")\n"
                              "module(load=\"imudp\")\n"
                              "template(name=\"raw\" type=\"string\" string=\"%rawmsg%\\n\")\n"
                              "ruleset(name=\"bench\") {\n"
                              "    action(type=\"omfile\" file=\"%2\" template=\"raw\")\n"
                              "}\n"
                              "input(type=\"imudp\" address=\"127.0.0.1\" port=\"%3\" "
                              "rcvbufSize=\"8m\" ruleset=\"bench\")\n")
                   .arg(m_sandbox.path(), file(textName(m_kind)))
                   .arg(RsyslogPort)
                   .toUtf8()) > 0;
}

Receiver::~Receiver()
{
    if (running()) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

QString Receiver::name() const
{
    static const char *const names[] = {"logger", "window", "rsyslog", "counter"};
    return QString::fromLatin1(names[int(m_kind)]);
}

quint16 Receiver::port() const
{
    return m_kind == Kind::Rsyslog ? RsyslogPort : LoggerPort;
}

qint64 Receiver::drops() const
{
    return portSocket(port()).drops;
}

bool Receiver::waitForEnd(double seconds)
{
    return m_process.waitForFinished(int(seconds * 1000));
}

int Receiver::exitCode() const
{
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QStringList Receiver::messages() const
{
    return QString::fromUtf8(readAll(file(QStringLiteral("stderr.txt"))))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString Receiver::said(const QString &word) const
{
    const QStringList lines = messages().filter(word);
    return lines.isEmpty() ? QString() : lines.first().trimmed();
}

long Receiver::waitForLines(long wanted, double quietSeconds, double deadlineSeconds)
{
    const qint64 start = monotonicNs();
    qint64 lastChange = start;
    long seen = lines();
    while (seen < wanted && secondsSince(start) < deadlineSeconds &&
           secondsSince(lastChange) < quietSeconds && running()) {
        m_process.waitForFinished(20);
        const long now = lines();
        if (now != seen) {
            seen = now;
            lastChange = monotonicNs();
        }
    }
    return seen;
}

Numbers Receiver::lineNumbers(long count) const
{
    return textNumbers(file(textName(m_kind)), count, m_kind != Kind::Rsyslog);
}

long Receiver::rowsHolding(long count) const
{
    return m_kind == Kind::Rsyslog ? count
                                   : rowNumbers(file(QStringLiteral("Log.mdb")), count).distinct();
}

int Receiver::terminate(double deadlineSeconds, double *seconds)
{
    const qint64 start = monotonicNs();
    m_process.terminate();
    const bool ended = m_process.waitForFinished(int(deadlineSeconds * 1000));
    if (seconds)
        *seconds = secondsSince(start);
    if (!ended) {
        m_process.kill();
        m_process.waitForFinished();
        return -1;
    }
    return exitCode();
}

QByteArray Receiver::readLine(double seconds)
{
    const qint64 start = monotonicNs();
    while (!m_process.canReadLine() && running() && secondsSince(start) < seconds)
        m_process.waitForReadyRead(std::max(1, int((seconds - secondsSince(start)) * 1000)));
    return m_process.canReadLine() ? m_process.readLine().trimmed() : QByteArray();
}

void Receiver::tell(const QByteArray &line)
{
    m_process.write(line + '\n');
    m_process.waitForBytesWritten(1000);
}

QString Receiver::credentialsSeen(Privilege privilege)
{
    return firstCredentials[privilege == Privilege::SysNice];
}
