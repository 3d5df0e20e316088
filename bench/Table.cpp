#include "Table.h"

#include "Trials.h"

#include <QStringList>

#include <algorithm>
#include <cstdio>

QString figure(double value, int decimals)
{
    if (qIsInf(value))
        return QStringLiteral("lost");
    return qIsNaN(value) ? QStringLiteral("-") : QString::number(value, 'f', decimals);
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("MISSED");
}

long median(std::vector<long> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QString joined(const std::vector<long> &values)
{
    QStringList parts;
    for (const long value : values)
        parts.append(QString::number(value));
    return parts.join(QLatin1Char(' '));
}

void Table::row(const QString &what,
                const QString &logger,
                const QString &baseline,
                const QString &beside,
                const QString &target,
                const QString &result) const
{
    if (m_withBaseline)
        std::printf("%-36s %-26s %-26s %-24s %-28s %s\n", qPrintable(what), qPrintable(logger),
                    qPrintable(baseline), qPrintable(beside), qPrintable(target),
                    qPrintable(result));
    else
        std::printf("%-36s %-26s %-24s %-28s %s\n", qPrintable(what), qPrintable(logger),
                    qPrintable(beside), qPrintable(target), qPrintable(result));
}

QString Table::verdicts(bool met, bool baselineMet) const
{
    return m_withBaseline ? QStringLiteral("%1 (old: %2)").arg(verdict(met), verdict(baselineMet))
                          : verdict(met);
}

QString rateText(double rate)
{
    if (rate >= RateSearch::Highest)
        return QStringLiteral(">= %1/s").arg(rate, 0, 'f', 0);
    return rate > 0 ? QStringLiteral("%1/s").arg(rate, 0, 'f', 0) : QStringLiteral("none");
}

QString microseconds(const CpuResult &cpu)
{
    return QStringLiteral("%1 us").arg(figure(cpu.perMessage, 1));
}

QString drainText(const DrainResult &d)
{
    return QStringLiteral("%1/%2, %3, %4 s")
        .arg(d.lines)
        .arg(d.rows)
        .arg(d.exitCode)
        .arg(d.seconds, 0, 'f', 2);
}

QString lockText(const LockResult &l)
{
    if (!l.started)
        return QStringLiteral("did not start");
    if (!l.locked)
        return QStringLiteral("no lock taken");
    if (l.endedAfter >= 0)
        return QStringLiteral("%1 late, ended %2 s in")
            .arg(l.worstMissing)
            .arg(l.endedAfter, 0, 'f', 1);
    return QStringLiteral("%1 late, %2/%3%4, %5")
        .arg(l.worstMissing)
        .arg(l.lines)
        .arg(l.rows)
        .arg(l.inOrder ? QString() : QStringLiteral(" unordered"))
        .arg(l.exitCode);
}
