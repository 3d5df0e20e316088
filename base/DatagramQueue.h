#pragma once

#include "Failure.h"
#include "Threads.h"

#include <QByteArray>
#include <QByteArrayView>

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>

// Whole datagrams in arrival order from the reader (the giver) to the recorder (the taker),
// bounded by the memory and the number of datagrams it holds, what the taker still holds on to
// after taking (rows not inserted yet) included. A datagram that finds it full is dropped and
// counted. Its descriptor is readable while datagrams (or the giver's failure) wait.
class DatagramQueue
{
public:
    // The largest datagram it takes, more than any UDP payload.
    static constexpr qsizetype MaxDatagramBytes = 65536;
    // What keeping a datagram costs beside its bytes, so that empty ones are bounded too.
    static constexpr qsizetype DatagramOverheadBytes = 64;
    // Bounds how long recording what a full queue holds takes: a stop records all of it.
    static constexpr quint64 DefaultCapacityDatagrams = 2 * 1024 * 1024;

    // Throws Failure when it gets no descriptor.
    explicit DatagramQueue(qsizetype capacityBytes,
                           quint64 capacityDatagrams = DefaultCapacityDatagrams);

    // Giver: appends the datagrams in order; each one that does not fit any more is dropped.
    void push(const QByteArrayView *datagrams, int count);
    // Giver: ends the queue with its failure, which stays behind the datagrams already in it.
    void fail(const Failure &failure);

    // Taker: takes the oldest datagram into `datagram`; false when none waits.
    bool pop(QByteArray &datagram);
    // Taker: the giver's failure, once every datagram before it has been taken.
    std::optional<Failure> failure();
    // Taker: how many datagrams taken, and how many bytes for them, it still holds.
    void hold(quint64 datagrams, qsizetype bytes);

    // Datagrams dropped because the queue was full, and those queued, since construction.
    quint64 dropped() const { return m_dropped.load(std::memory_order_relaxed); }
    quint64 queued() const { return m_queued.load(std::memory_order_relaxed); }
    int readyDescriptor() const { return m_ready.descriptor(); }

private:
    const qsizetype m_capacityBytes;
    const quint64 m_capacityDatagrams;
    Wakeup m_ready;
    std::mutex m_mutex;
    std::deque<QByteArray> m_datagrams;
    qsizetype m_bytes = 0;
    quint64 m_heldDatagrams = 0;
    qsizetype m_heldBytes = 0;
    std::optional<Failure> m_failure;
    std::atomic<quint64> m_dropped{0};
    std::atomic<quint64> m_queued{0};
};
