#include "DatagramQueue.h"

DatagramQueue::DatagramQueue(qsizetype capacityBytes, quint64 capacityDatagrams)
    : m_capacityBytes(capacityBytes)
    , m_capacityDatagrams(capacityDatagrams)
    , m_ready(QStringLiteral("Cannot make the datagram queue: "))
{}

void DatagramQueue::push(const QByteArrayView *datagrams, int count)
{
    const std::lock_guard lock(m_mutex);
    const bool wasEmpty = m_datagrams.empty();
    int dropped = 0;
    for (int i = 0; i < count; ++i) {
        const qsizetype bytes = datagrams[i].size() + DatagramOverheadBytes;
        if (datagrams[i].size() > MaxDatagramBytes ||
            m_datagrams.size() + m_heldDatagrams >= m_capacityDatagrams ||
            m_bytes + m_heldBytes + bytes > m_capacityBytes) {
            ++dropped;
            continue;
        }
        m_datagrams.emplace_back(datagrams[i].toByteArray());
        m_bytes += bytes;
    }
    m_queued.fetch_add(quint64(count - dropped), std::memory_order_relaxed);
    m_dropped.fetch_add(quint64(dropped), std::memory_order_relaxed);
    if (wasEmpty && !m_datagrams.empty())
        m_ready.signal();
}

void DatagramQueue::fail(const Failure &failure)
{
    const std::lock_guard lock(m_mutex);
    if (m_failure)
        return;
    m_failure = failure;
    m_ready.signal();
}

bool DatagramQueue::pop(QByteArray &datagram)
{
    const std::lock_guard lock(m_mutex);
    if (m_datagrams.empty()) {
        // A failure keeps the taker awake, so it learns of it.
        if (!m_failure)
            m_ready.clear();
        return false;
    }
    datagram = std::move(m_datagrams.front());
    m_datagrams.pop_front();
    m_bytes -= datagram.size() + DatagramOverheadBytes;
    return true;
}

std::optional<Failure> DatagramQueue::failure()
{
    const std::lock_guard lock(m_mutex);
    return m_datagrams.empty() ? m_failure : std::nullopt;
}

void DatagramQueue::hold(quint64 datagrams, qsizetype bytes)
{
    const std::lock_guard lock(m_mutex);
    m_heldDatagrams = datagrams;
    m_heldBytes = bytes;
}
