#pragma once

#include <QByteArray>

#include <optional>

// Turns running totals of lost datagrams into lines for stderr, at most one per interval: the
// first loss is told at once, later ones are gathered until the interval has passed.
class LossReport
{
public:
    // Often enough to see a flood's losses grow, seldom enough not to flood stderr.
    static constexpr qint64 IntervalMilliseconds = 5000;

    // Takes the totals lost so far in the kernel's receive buffer and in the full queue, at
    // `nowMilliseconds` on a monotonic clock; returns the line to print when one is due.
    std::optional<QByteArray>
    update(quint64 kernelTotal, quint64 queueTotal, qint64 nowMilliseconds);
    // How long until gathered losses are due, or -1 when nothing waits to be told.
    qint64 millisecondsUntilDue(qint64 nowMilliseconds) const;
    // At the end: the line for losses not told yet, whenever the last one was.
    std::optional<QByteArray> finish(quint64 kernelTotal, quint64 queueTotal);

private:
    QByteArray line();

    quint64 m_kernelTotal = 0;
    quint64 m_queueTotal = 0;
    quint64 m_kernelReported = 0;
    quint64 m_queueReported = 0;
    std::optional<qint64> m_lastReport;
};
