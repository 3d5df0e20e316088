#include "DatagramQueue.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using Length = quint32;

qsizetype recordBytes(qsizetype datagramBytes)
{
    return qsizetype(sizeof(Length)) + datagramBytes;
}

} // namespace

DatagramQueue::Block *DatagramQueue::mapBlock(qsizetype mappedBytes)
{
    void *memory = ::mmap(nullptr, size_t(mappedBytes), PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    auto *block = new (memory) Block;
    block->mappedBytes = mappedBytes;
    block->dataBytes = mappedBytes - qsizetype(sizeof(Block));
    return block;
}

void DatagramQueue::unmapBlock(Block *block)
{
    const auto bytes = size_t(block->mappedBytes);
    block->~Block();
    ::munmap(block, bytes);
}

DatagramQueue::DatagramQueue(qsizetype capacityBytes,
                             qsizetype blockBytes,
                             quint64 capacityDatagrams)
    : m_blockBytes(std::max(std::min(blockBytes, capacityBytes),
                            qsizetype(sizeof(Block)) + recordBytes(MaxDatagramBytes)))
    , m_capacityBytes(std::max(capacityBytes, 2 * m_blockBytes))
    , m_capacityDatagrams(capacityDatagrams)
    , m_ready(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    , m_first(mapBlock(m_blockBytes))
    , m_last(m_first)
{
    const int error = errno;
    if (!m_first || !m_ready.isValid()) {
        if (m_first)
            unmapBlock(m_first);
        throw Failure::fromErrno(error, QStringLiteral("Cannot make the datagram queue: "));
    }
}

DatagramQueue::~DatagramQueue()
{
    for (Block *block = m_first; block;) {
        Block *next = block->next.load(std::memory_order_relaxed);
        unmapBlock(block);
        block = next;
    }
}

int DatagramQueue::push(const QByteArrayView *datagrams, int count)
{
    int dropped = 0;
    int pushed = 0;
    quint64 queued = m_queued.load(std::memory_order_relaxed);
    const quint64 used = queued - m_taken.load(std::memory_order_relaxed) +
                         m_heldDatagrams.load(std::memory_order_relaxed);
    const quint64 room = used < m_capacityDatagrams ? m_capacityDatagrams - used : 0;
    for (int i = 0; i < count; ++i) {
        const QByteArrayView datagram = datagrams[i];
        const qsizetype bytes = recordBytes(datagram.size());
        if (datagram.size() > MaxDatagramBytes || quint64(pushed) >= room ||
            (m_last->written + bytes > m_last->dataBytes && !addBlock())) {
            ++dropped;
            continue;
        }
        const auto length = Length(datagram.size());
        char *record = m_last->data() + m_last->written;
        std::memcpy(record, &length, sizeof length);
        std::memcpy(record + sizeof length, datagram.data(), size_t(datagram.size()));
        m_last->written += bytes;
        ++pushed;
    }
    m_last->published.store(m_last->written, std::memory_order_release);
    m_queued.store(queued + quint64(pushed), std::memory_order_relaxed);
    if (dropped > 0)
        m_dropped.fetch_add(quint64(dropped), std::memory_order_relaxed);
    // Against the taker's last look before it waits: either it sees these datagrams or it
    // is woken for them.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (pushed > 0 && m_takerWaiting.load(std::memory_order_relaxed))
        signalReady();
    return dropped;
}

bool DatagramQueue::addBlock()
{
    if ((m_blocks.load(std::memory_order_acquire) + 1) * m_blockBytes +
            m_heldBytes.load(std::memory_order_relaxed) >
        m_capacityBytes)
        return false;
    // Memory the system refuses counts as a full queue: the datagram is dropped and reported.
    Block *block = mapBlock(m_blockBytes);
    if (!block)
        return false;
    m_blocks.fetch_add(1, std::memory_order_relaxed);
    // All of the old block is published before the taker can see that a next one exists.
    m_last->published.store(m_last->written, std::memory_order_release);
    m_last->next.store(block, std::memory_order_release);
    m_last = block;
    return true;
}

void DatagramQueue::signalReady()
{
    if (!m_takerWaiting.exchange(false))
        return;
    // A counter that only ever goes from 0 to 1 and back cannot fail to be written.
    const quint64 one = 1;
    (void)!::write(m_ready.get(), &one, sizeof one);
}

void DatagramQueue::fail(const Failure &failure)
{
    if (m_failed.load(std::memory_order_relaxed))
        return;
    m_failure = failure;
    m_failed.store(true, std::memory_order_release);
    m_takerWaiting.store(true);
    signalReady();
}

bool DatagramQueue::take(QByteArray *datagram)
{
    for (;;) {
        Block *block = m_first;
        if (block->read < block->published.load(std::memory_order_acquire)) {
            if (datagram) {
                Length length;
                std::memcpy(&length, block->data() + block->read, sizeof length);
                *datagram =
                    QByteArray(block->data() + block->read + sizeof length, qsizetype(length));
                block->read += recordBytes(length);
                m_taken.store(m_taken.load(std::memory_order_relaxed) + 1,
                              std::memory_order_relaxed);
            }
            return true;
        }
        Block *next = block->next.load(std::memory_order_acquire);
        if (!next)
            return false;
        // The giver published the whole block before linking the next: one more look.
        if (block->read < block->published.load(std::memory_order_acquire))
            continue;
        m_first = next;
        unmapBlock(block);
        m_blocks.fetch_sub(1, std::memory_order_release);
    }
}

bool DatagramQueue::pop(QByteArray &datagram)
{
    if (take(&datagram))
        return true;
    // Empty: clear the descriptor, say so, and look once more, so that a push meanwhile is
    // either seen now or wakes the taker.
    quint64 value;
    (void)!::read(m_ready.get(), &value, sizeof value);
    m_takerWaiting.store(true, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (take(&datagram))
        return true;
    // A failure keeps the taker awake, so it learns of it.
    if (m_failed.load(std::memory_order_acquire))
        signalReady();
    return false;
}

void DatagramQueue::hold(quint64 datagrams, qsizetype bytes)
{
    m_heldDatagrams.store(datagrams, std::memory_order_relaxed);
    m_heldBytes.store(bytes, std::memory_order_relaxed);
}

std::optional<Failure> DatagramQueue::failure()
{
    if (!m_failed.load(std::memory_order_acquire) || take(nullptr))
        return std::nullopt;
    return m_failure;
}
