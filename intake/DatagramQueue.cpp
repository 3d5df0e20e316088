#include "DatagramQueue.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace {

using Length = quint32;

qsizetype recordBytes(qsizetype datagramBytes)
{
    return qsizetype(sizeof(Length)) + datagramBytes;
}

} // namespace

DatagramQueue::Block::Block(qsizetype bytes)
    : m_bytes(bytes)
{
    void *memory =
        ::mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::bad_alloc();
    m_data = static_cast<char *>(memory);
}

DatagramQueue::Block::Block(Block &&other) noexcept
    : m_data(std::exchange(other.m_data, nullptr))
    , m_bytes(other.m_bytes)
    , m_read(other.m_read)
    , m_write(other.m_write)
{}

DatagramQueue::Block::~Block()
{
    if (m_data)
        ::munmap(m_data, size_t(m_bytes));
}

bool DatagramQueue::Block::fits(qsizetype datagramBytes) const
{
    return m_write + recordBytes(datagramBytes) <= m_bytes;
}

void DatagramQueue::Block::append(QByteArrayView datagram)
{
    const auto length = Length(datagram.size());
    std::memcpy(m_data + m_write, &length, sizeof length);
    std::memcpy(m_data + m_write + sizeof length, datagram.data(), size_t(datagram.size()));
    m_write += recordBytes(datagram.size());
}

void DatagramQueue::Block::take(QByteArray &datagram)
{
    Length length;
    std::memcpy(&length, m_data + m_read, sizeof length);
    datagram = QByteArray(m_data + m_read + sizeof length, qsizetype(length));
    m_read += recordBytes(length);
}

DatagramQueue::DatagramQueue(qsizetype capacityBytes, qsizetype blockBytes)
    : m_blockBytes(std::max(std::min(blockBytes, capacityBytes), recordBytes(MaxDatagramBytes)))
    , m_capacityBytes(std::max(capacityBytes, m_blockBytes))
    , m_ready(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (!m_ready.isValid()) {
        const int error = errno;
        throw Failure::fromErrno(error, QStringLiteral("Cannot make the datagram queue: "));
    }
}

DatagramQueue::~DatagramQueue() = default;

void DatagramQueue::setReady(bool ready)
{
    if (ready == m_readySignalled)
        return;
    // The descriptor only ever moves between 0 and 1, so neither call can fail or block.
    quint64 value = 1;
    if (ready)
        (void)!::write(m_ready.get(), &value, sizeof value);
    else
        (void)!::read(m_ready.get(), &value, sizeof value);
    m_readySignalled = ready;
}

int DatagramQueue::push(const QByteArrayView *datagrams, int count)
{
    const std::lock_guard lock(m_mutex);
    const quint64 droppedBefore = m_dropped;
    bool pushed = false;
    for (int i = 0; i < count; ++i) {
        const QByteArrayView datagram = datagrams[i];
        if (datagram.size() > MaxDatagramBytes) {
            ++m_dropped;
            continue;
        }
        if ((m_blocks.empty() || !m_blocks.back().fits(datagram.size())) && !addBlock()) {
            ++m_dropped;
            continue;
        }
        m_blocks.back().append(datagram);
        pushed = true;
    }
    if (pushed)
        setReady(true);
    return int(m_dropped - droppedBefore);
}

bool DatagramQueue::addBlock()
{
    if (qsizetype(m_blocks.size() + 1) * m_blockBytes > m_capacityBytes)
        return false;
    if (m_spare) {
        m_blocks.push_back(std::move(*m_spare));
        m_spare.reset();
        return true;
    }
    // Memory the system refuses counts as a full queue: the datagram is dropped and reported.
    try {
        m_blocks.emplace_back(m_blockBytes);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

bool DatagramQueue::pop(QByteArray &datagram)
{
    const std::lock_guard lock(m_mutex);
    while (!m_blocks.empty() && !m_blocks.front().hasRecord()) {
        if (m_blocks.size() == 1) {
            // The only block is empty: start it over instead of mapping a new one.
            m_blocks.front().clear();
            break;
        }
        // One block is kept for the next burst so a queue going to and fro across a block
        // boundary does not map and unmap all the time.
        if (!m_spare) {
            m_spare.emplace(std::move(m_blocks.front()));
            m_spare->clear();
        }
        m_blocks.pop_front();
    }
    if (m_blocks.empty() || !m_blocks.front().hasRecord()) {
        setReady(m_failure.has_value());
        return false;
    }
    m_blocks.front().take(datagram);
    return true;
}

void DatagramQueue::fail(const Failure &failure)
{
    const std::lock_guard lock(m_mutex);
    if (!m_failure)
        m_failure = failure;
    setReady(true);
}

std::optional<Failure> DatagramQueue::failure() const
{
    const std::lock_guard lock(m_mutex);
    for (const Block &block : m_blocks) {
        if (block.hasRecord())
            return std::nullopt;
    }
    return m_failure;
}

quint64 DatagramQueue::dropped() const
{
    const std::lock_guard lock(m_mutex);
    return m_dropped;
}

qsizetype DatagramQueue::heldBytes() const
{
    const std::lock_guard lock(m_mutex);
    return qsizetype(m_blocks.size()) * m_blockBytes;
}
