#pragma once

#include "Failure.h"
#include "FileDescriptor.h"

#include <QByteArray>
#include <QByteArrayView>

#include <atomic>
#include <optional>

// Whole datagrams in arrival order from the thread that reads the socket (the giver, one at a
// time) to the one that records them (the taker), bounded by the memory and the number of
// datagrams it holds. A datagram that finds it full is dropped and counted. Neither side ever
// waits for the other: the giver must keep up with the network whatever the taker does. Its
// descriptor is readable while datagrams (or the giver's failure) wait, and may be now and
// then when none do. What the taker holds on to after taking (rows not inserted yet) counts
// against the same bound.
class DatagramQueue
{
public:
    // The largest datagram it takes, more than any UDP payload.
    static constexpr qsizetype MaxDatagramBytes = 65536;
    static constexpr qsizetype DefaultBlockBytes = 1024 * 1024;
    // Bounds how long recording what a full queue holds takes: a stop records all of it.
    static constexpr quint64 DefaultCapacityDatagrams = 2 * 1024 * 1024;

    // Holds at most `capacityBytes` in blocks of `blockBytes`, each at least large enough
    // for the largest datagram, and at least two of them: the block being filled may only be
    // reused once the next one exists. Throws Failure when it gets no memory or descriptor.
    explicit DatagramQueue(qsizetype capacityBytes,
                           qsizetype blockBytes = DefaultBlockBytes,
                           quint64 capacityDatagrams = DefaultCapacityDatagrams);
    ~DatagramQueue();
    DatagramQueue(const DatagramQueue &) = delete;
    DatagramQueue &operator=(const DatagramQueue &) = delete;

    // Giver: appends the datagrams in order; each one that does not fit any more is dropped.
    // Returns how many were dropped.
    int push(const QByteArrayView *datagrams, int count);
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
    // Datagrams waiting to be taken.
    quint64 waiting() const
    {
        return m_queued.load(std::memory_order_relaxed) - m_taken.load(std::memory_order_relaxed);
    }
    int readyDescriptor() const { return m_ready.get(); }

private:
    // Datagrams packed one after another, each behind its length, in a mapping of its own
    // (so its memory goes back to the system the moment it is taken, whatever an allocator
    // would keep after a burst). The giver fills it and publishes how far; the taker reads up
    // to there and, once the giver has moved on to the next block, unmaps it.
    struct Block
    {
        std::atomic<qsizetype> published{0};
        std::atomic<Block *> next{nullptr};
        qsizetype written = 0;
        qsizetype read = 0;
        qsizetype dataBytes = 0;
        qsizetype mappedBytes = 0;

        char *data() { return reinterpret_cast<char *>(this + 1); }
    };

    static Block *mapBlock(qsizetype mappedBytes);
    static void unmapBlock(Block *block);
    // Giver: starts a new block after the last; false when the queue is full.
    bool addBlock();
    // Taker: takes the next record, unmapping the blocks it is done with.
    bool take(QByteArray *datagram);
    void signalReady();

    const qsizetype m_blockBytes;
    const qsizetype m_capacityBytes;
    const quint64 m_capacityDatagrams;
    FileDescriptor m_ready;
    Block *m_first;
    Block *m_last;
    std::atomic<qsizetype> m_blocks{1};
    std::atomic<quint64> m_dropped{0};
    std::atomic<quint64> m_queued{0};
    std::atomic<quint64> m_taken{0};
    std::atomic<quint64> m_heldDatagrams{0};
    std::atomic<qsizetype> m_heldBytes{0};
    std::atomic<bool> m_takerWaiting{true};
    std::atomic<bool> m_failed{false};
    std::optional<Failure> m_failure;
};
