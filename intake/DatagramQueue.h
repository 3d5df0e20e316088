#pragma once

#include "Failure.h"
#include "FileDescriptor.h"

#include <QByteArray>
#include <QByteArrayView>

#include <deque>
#include <mutex>
#include <optional>

// Whole datagrams in arrival order between the thread that reads the socket and the one that
// records them, bounded by the memory it holds. A datagram that finds it full is dropped and
// counted. Its descriptor is readable exactly while datagrams (or the reader's failure) wait.
class DatagramQueue
{
public:
    // The largest datagram it takes, more than any UDP payload.
    static constexpr qsizetype MaxDatagramBytes = 65536;
    static constexpr qsizetype DefaultBlockBytes = 1024 * 1024;

    // Holds at most `capacityBytes` in blocks of `blockBytes`, no larger than the capacity
    // and at least large enough for the largest datagram; so always at least one block.
    // Throws Failure when it has no descriptor.
    explicit DatagramQueue(qsizetype capacityBytes, qsizetype blockBytes = DefaultBlockBytes);
    ~DatagramQueue();
    DatagramQueue(const DatagramQueue &) = delete;
    DatagramQueue &operator=(const DatagramQueue &) = delete;

    // Appends the datagrams in order; each one that does not fit any more is dropped.
    // Returns how many were dropped.
    int push(const QByteArrayView *datagrams, int count);
    // Takes the oldest datagram into `datagram`; false when none waits.
    bool pop(QByteArray &datagram);
    // Ends the queue with the reader's failure, which stays behind the datagrams already in it.
    void fail(const Failure &failure);
    // The failure, once every datagram before it has been taken.
    std::optional<Failure> failure() const;

    // Datagrams dropped because the queue was full, since construction.
    quint64 dropped() const;
    qsizetype heldBytes() const;
    int readyDescriptor() const { return m_ready.get(); }

private:
    // Datagrams packed one after another, each behind its length. Mapped on its own, so its
    // memory goes back to the system the moment it is released, whatever an allocator would
    // keep after a burst.
    class Block
    {
    public:
        // Throws std::bad_alloc when the system gives no memory.
        explicit Block(qsizetype bytes);
        Block(Block &&other) noexcept;
        Block &operator=(Block &&) = delete;
        ~Block();

        bool fits(qsizetype datagramBytes) const;
        void append(QByteArrayView datagram);
        bool hasRecord() const { return m_read < m_write; }
        void take(QByteArray &datagram);
        void clear() { m_read = m_write = 0; }

    private:
        char *m_data;
        qsizetype m_bytes;
        qsizetype m_read = 0;
        qsizetype m_write = 0;
    };

    // Makes room for one more block; false when the queue is full.
    bool addBlock();
    void setReady(bool ready);

    const qsizetype m_blockBytes;
    const qsizetype m_capacityBytes;
    FileDescriptor m_ready;
    mutable std::mutex m_mutex;
    std::deque<Block> m_blocks;
    std::optional<Block> m_spare;
    std::optional<Failure> m_failure;
    quint64 m_dropped = 0;
    bool m_readySignalled = false;
};
