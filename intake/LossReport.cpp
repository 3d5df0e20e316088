#include "LossReport.h"

#include "Stderr.h"

std::optional<QByteArray>
LossReport::update(quint64 kernelTotal, quint64 queueTotal, qint64 nowMilliseconds)
{
    m_kernelTotal = kernelTotal;
    m_queueTotal = queueTotal;
    if (millisecondsUntilDue(nowMilliseconds) != 0)
        return std::nullopt;
    m_lastReport = nowMilliseconds;
    return line();
}

std::optional<QByteArray> LossReport::finish(quint64 kernelTotal, quint64 queueTotal)
{
    m_kernelTotal = kernelTotal;
    m_queueTotal = queueTotal;
    if (m_kernelTotal == m_kernelReported && m_queueTotal == m_queueReported)
        return std::nullopt;
    return line();
}

QByteArray LossReport::line()
{
    const quint64 kernel = m_kernelTotal - m_kernelReported;
    const quint64 queue = m_queueTotal - m_queueReported;
    m_kernelReported = m_kernelTotal;
    m_queueReported = m_queueTotal;
    return "KIVLogging: " + counted(kernel + queue, "datagram").toUtf8() + " lost (" +
           QByteArray::number(kernel) + " in the kernel's receive buffer, " +
           QByteArray::number(queue) + " in the full queue), " +
           QByteArray::number(m_kernelTotal + m_queueTotal) + " since start\n";
}

qint64 LossReport::millisecondsUntilDue(qint64 nowMilliseconds) const
{
    if (m_kernelTotal == m_kernelReported && m_queueTotal == m_queueReported)
        return -1;
    if (!m_lastReport)
        return 0;
    return qMax<qint64>(0, *m_lastReport + IntervalMilliseconds - nowMilliseconds);
}
