#include "Traffic.h"

#include "Setup.h"
#include "Unprivileged.h"

#include <QRegularExpression>

Sender::Sender(const Tools &tools, quint16 port, long count, double rate, const QString &prefix)
{
    m_process.setStandardErrorFile(QProcess::nullDevice());
    endWithBench(m_process);
    m_process.start(tools.sender,
                    {QString::number(port), QString::number(count), QString::number(Size),
                     QString::number(rate, 'f', 0), QStringLiteral("1"), prefix});
}

Sender::~Sender()
{
    kill();
}

bool Sender::wait(double seconds)
{
    return m_process.waitForFinished(int(seconds * 1000)) ||
           m_process.state() == QProcess::NotRunning;
}

bool Sender::sentAll() const
{
    return m_process.state() == QProcess::NotRunning &&
           m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

double Sender::reached()
{
    static const QRegularExpression rate(QStringLiteral("\\((\\d+)/s\\)"));
    const auto match = rate.match(QString::fromLatin1(m_process.readAllStandardOutput()));
    return match.hasMatch() ? match.captured(1).toDouble() : 0;
}

void Sender::kill()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

bool send(const Tools &tools, quint16 port, long count, double rate, const QString &prefix)
{
    Sender sender(tools, port, count, rate, prefix);
    return sender.wait(600) && sender.sentAll();
}
