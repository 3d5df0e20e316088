#include "DatagramSocket.h"

#include "Failure.h"
#include "ReaderPriority.h"
#include "Stderr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <future>
#include <linux/filter.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>

namespace {

// Bursts wait in the kernel only while the reader is kept from the processor; the kernel may
// clamp the request to its limit.
constexpr int ReceiveBufferBytes = 8 * 1024 * 1024;

qint64 monotonicMilliseconds()
{
    return monotonicNanoseconds() / 1000000;
}

} // namespace

DatagramSocket::DatagramSocket(quint16 localPort, qsizetype queueBytes)
    : m_localPort(localPort)
    , m_queue(queueBytes)
    , m_stop(cannot("make the reader for"))
{}

DatagramSocket::~DatagramSocket()
{
    stopReceiving();
}

void DatagramSocket::Bind()
{
    const auto fail = [this](const char *step) {
        const int error = errno;
        throw Failure::fromErrno(error, cannot(step));
    };

    // One dual-stack socket takes IPv4 and IPv6; without IPv6, IPv4 alone.
    FileDescriptor socket(::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const bool ipv6 = socket.isValid();
    if (!ipv6) {
        if (errno != EAFNOSUPPORT)
            fail("open a socket for");
        socket = FileDescriptor(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!socket.isValid())
            fail("open a socket for");
    }

    // Asking for more than the kernel allows is not an error: it grants its maximum.
    const int bufferSize = ReceiveBufferBytes;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);

    int result;
    if (ipv6) {
        const int off = 0;
        if (::setsockopt(socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0)
            fail("accept IPv4 on");
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(m_localPort);
        result = ::bind(socket.get(), reinterpret_cast<sockaddr *>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(m_localPort);
        result = ::bind(socket.get(), reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    if (result != 0)
        fail("bind");

    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr *>(&bound), &length) != 0)
        fail("read the address of");
    m_localPort =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                          : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);

    // Room for the largest datagram in each slot; only the pages datagrams reach are ever
    // touched, so small datagrams keep little of it resident.
    const auto slotBytes = size_t(DatagramQueue::MaxDatagramBytes);
    m_buffers.reset(new char[Batch * slotBytes]);
    for (int i = 0; i < Batch; ++i) {
        m_vectors[i] = {m_buffers.get() + i * slotBytes, slotBytes};
        m_messages[i].msg_hdr.msg_iov = &m_vectors[i];
        m_messages[i].msg_hdr.msg_iovlen = 1;
    }

    m_socket = std::move(socket);
    std::promise<QString> priority;
    auto raised = priority.get_future();
    m_reader = startThread("udp-reader", cannot("start the reader for"), [this, &priority] {
        // Nothing may leave the thread: out of memory ends reading as any failure does.
        try {
            priority.set_value(ReaderPriority::raise());
        } catch (const std::exception &error) {
            priority.set_value(QString::fromLocal8Bit(error.what()));
        }
        try {
            readDatagrams();
        } catch (const std::exception &error) {
            m_queue.fail(
                Failure(ENOMEM, cannot("receive on") + QString::fromLocal8Bit(error.what())));
        }
    });
    m_priority = raised.get();
}

void DatagramSocket::stopReceiving()
{
    if (!m_reader.joinable())
        return;
    m_stop.signal();
    m_reader.join();
    m_socket.close();
}

void DatagramSocket::tellFinalLosses()
{
    if (const auto line = m_lossReport.finish(droppedByKernel(), droppedByQueue()))
        tellStderr(*line);
}

void DatagramSocket::readDatagrams()
{
    pollfd waits[2] = {{m_socket.get(), POLLIN, 0}, {m_stop.descriptor(), POLLIN, 0}};
    for (;;) {
        const qint64 due = m_lossReport.millisecondsUntilDue(monotonicMilliseconds());
        const timespec dueIn{time_t(due / 1000), long(due % 1000) * 1000000};
        const int ready = ::ppoll(waits, 2, due < 0 ? nullptr : &dueIn, nullptr);
        if (ready < 0 && errno != EINTR) {
            failReading("wait for datagrams on");
            return;
        }
        if (ready > 0 && (waits[1].revents & POLLIN))
            break;
        if (ready > 0 && (waits[0].revents & POLLIN) && !receiveWaiting())
            return;
        tellDueLosses();
    }

    // Datagrams the kernel takes from now on are refused by a filter that drops them all, so
    // the ones already waiting are the last: every one of them is queued.
    countKernelDrops();
    sock_filter dropAll = BPF_STMT(BPF_RET | BPF_K, 0);
    const sock_fprog filter{1, &dropAll};
    if (::setsockopt(m_socket.get(), SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0) {
        failReading("stop receiving on");
        return;
    }
    int received;
    while ((received = receiveBatch()) > 0) {
    }
}

bool DatagramSocket::receiveWaiting()
{
    // A full batch means more may wait; a short one that the kernel had no more.
    int received;
    while ((received = receiveBatch()) == Batch) {
    }
    return received >= 0;
}

int DatagramSocket::receiveBatch()
{
    int received;
    do {
        received = ::recvmmsg(m_socket.get(), m_messages.data(), Batch, MSG_DONTWAIT, nullptr);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        failReading("receive on");
        return -1;
    }
    for (int i = 0; i < received; ++i) {
        m_datagrams[i] = QByteArrayView(static_cast<const char *>(m_vectors[i].iov_base),
                                        qsizetype(m_messages[i].msg_len));
    }
    m_queue.push(m_datagrams.data(), received);
    return received;
}

void DatagramSocket::failReading(const char *step)
{
    const int error = errno;
    m_queue.fail(Failure::fromErrno(error, cannot(step)));
    countKernelDrops();
}

QString DatagramSocket::cannot(const char *step) const
{
    return QStringLiteral("Cannot %1 UDP port %2: ").arg(QLatin1String(step)).arg(m_localPort);
}

void DatagramSocket::countKernelDrops()
{
    std::array<quint32, SK_MEMINFO_VARS> memory{};
    socklen_t length = sizeof memory;
    if (::getsockopt(m_socket.get(), SOL_SOCKET, SO_MEMINFO, memory.data(), &length) == 0 &&
        length > socklen_t(SK_MEMINFO_DROPS * sizeof(quint32))) {
        // The kernel's count is 32 bits and wraps; the difference does not care.
        m_kernelDrops.fetch_add(quint32(memory[SK_MEMINFO_DROPS] - m_lastKernelCount),
                                std::memory_order_relaxed);
        m_lastKernelCount = memory[SK_MEMINFO_DROPS];
    }
}

void DatagramSocket::tellDueLosses()
{
    countKernelDrops();
    const auto line =
        m_lossReport.update(droppedByKernel(), droppedByQueue(), monotonicMilliseconds());
    if (line)
        tellStderr(*line);
}
