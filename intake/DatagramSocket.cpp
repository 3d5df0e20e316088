#include "DatagramSocket.h"

#include "BurstWatch.h"
#include "Failure.h"
#include "LossReport.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>

namespace {

// Bursts wait in the kernel only for as long as the reader takes to come round again. The
// kernel may clamp the request (to 425984 bytes on a stock system).
constexpr int ReceiveBufferBytes = 8 * 1024 * 1024;
// Datagrams taken from the kernel per call.
constexpr int Batch = 64;

} // namespace

qint64 DatagramSocket::monotonicMilliseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {

bool otherProcessorsAvailable()
{
    cpu_set_t processors;
    CPU_ZERO(&processors);
    return ::sched_getaffinity(0, sizeof processors, &processors) == 0 &&
           CPU_COUNT(&processors) > 1;
}

void tellStderr(const QByteArray &line)
{
    // One write per line, so it does not interleave with other output. A full or closed
    // stderr has nowhere else to be told.
    (void)!::write(STDERR_FILENO, line.constData(), size_t(line.size()));
}

} // namespace

DatagramSocket::DatagramSocket(quint16 localPort, qsizetype queueBytes, QObject *parent)
    : QObject(parent)
    , m_localPort(localPort)
    , m_queue(queueBytes)
{}

DatagramSocket::~DatagramSocket()
{
    if (!m_reader.joinable())
        return;
    m_stopping.store(true);
    const quint64 one = 1;
    (void)!::write(m_stop.get(), &one, sizeof one);
    m_reader.join();
}

void DatagramSocket::Bind()
{
    const auto fail = [this](const char *step) {
        const int error = errno;
        throw Failure::fromErrno(
            error,
            QStringLiteral("Cannot %1 UDP port %2: ").arg(QLatin1String(step)).arg(m_localPort));
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
    // Each datagram then carries the count of those the kernel dropped before it.
    const int on = 1;
    if (::setsockopt(socket.get(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0)
        fail("count lost datagrams on");

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

    FileDescriptor stop(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!stop.isValid())
        fail("make the reader for");

    m_socket = std::move(socket);
    m_stop = std::move(stop);
    try {
        m_reader = std::thread(&DatagramSocket::readDatagrams, this);
    } catch (const std::system_error &error) {
        throw Failure(error.code().value(),
                      QStringLiteral("Cannot start the reader for UDP port %1: %2")
                          .arg(m_localPort)
                          .arg(QString::fromLocal8Bit(error.what())));
    }
    ::pthread_setname_np(m_reader.native_handle(), "udp-reader");

    m_notifier =
        std::make_unique<QSocketNotifier>(m_queue.readyDescriptor(), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &DatagramSocket::DataArrival);
}

bool DatagramSocket::GetData(QByteArray &data)
{
    if (m_queue.pop(data))
        return true;
    if (const auto failure = m_queue.failure())
        throw *failure;
    return false;
}

void DatagramSocket::stopNotifications()
{
    if (m_notifier)
        m_notifier->setEnabled(false);
}

void DatagramSocket::resumeNotifications()
{
    if (m_notifier)
        m_notifier->setEnabled(true);
}

void DatagramSocket::readDatagrams()
{
    // Room for the largest datagram in each slot; only the pages datagrams reach are ever
    // touched, so small datagrams keep little of it resident.
    const auto slotBytes = size_t(DatagramQueue::MaxDatagramBytes);
    const std::unique_ptr<char[]> buffers(new char[Batch * slotBytes]);
    struct Control
    {
        alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(quint32))];
    };
    std::array<Control, Batch> controls;
    std::array<iovec, Batch> vectors;
    std::array<mmsghdr, Batch> messages;
    std::array<QByteArrayView, Batch> datagrams;
    for (int i = 0; i < Batch; ++i)
        vectors[i] = {buffers.get() + i * slotBytes, slotBytes};

    LossReport lossReport;
    quint64 queueDrops = 0;
    quint64 kernelDrops = 0;
    quint32 lastKernelCount = 0;
    pollfd waits[2] = {{m_socket.get(), POLLIN, 0}, {m_stop.get(), POLLIN, 0}};
    BurstWatch burst;
    // While a burst is on the reader does not sleep between calls: a sleeping reader is woken
    // on the processor of whoever wakes it, which in a local flood is the busy sender, and it
    // waits there for milliseconds while the kernel's buffer overflows. Spinning only makes
    // sense when another processor is left for everything else.
    const bool spinDuringBursts = otherProcessorsAvailable();

    while (!m_stopping.load(std::memory_order_relaxed)) {
        for (int i = 0; i < Batch; ++i) {
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls[i].bytes;
            messages[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
        }
        const int received =
            ::recvmmsg(m_socket.get(), messages.data(), Batch, MSG_DONTWAIT, nullptr);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                const int error = errno;
                m_queue.fail(Failure::fromErrno(
                    error, QStringLiteral("Cannot receive on UDP port %1: ").arg(m_localPort)));
                return;
            }
            const qint64 now = monotonicMilliseconds();
            if (spinDuringBursts && now < burst.until())
                continue;
            if (const auto line = lossReport.update(kernelDrops, queueDrops, now))
                tellStderr(*line);
            const qint64 timeout = lossReport.millisecondsUntilDue(now);
            ::poll(waits, 2, int(timeout));
            continue;
        }

        for (int i = 0; i < received; ++i) {
            datagrams[i] = QByteArrayView(static_cast<const char *>(vectors[i].iov_base),
                                          qsizetype(messages[i].msg_len));
            msghdr &header = messages[i].msg_hdr;
            for (cmsghdr *control = CMSG_FIRSTHDR(&header); control;
                 control = CMSG_NXTHDR(&header, control)) {
                if (control->cmsg_level == SOL_SOCKET && control->cmsg_type == SO_RXQ_OVFL) {
                    quint32 count;
                    std::memcpy(&count, CMSG_DATA(control), sizeof count);
                    // The kernel's count is 32 bits and wraps; the difference does not care.
                    kernelDrops += quint32(count - lastKernelCount);
                    lastKernelCount = count;
                }
            }
        }
        queueDrops += quint64(m_queue.push(datagrams.data(), received));
        m_kernelDrops.store(kernelDrops, std::memory_order_relaxed);
        const qint64 now = monotonicMilliseconds();
        burst.add(received, now);
        m_burstUntil.store(burst.until(), std::memory_order_relaxed);
        if (const auto line = lossReport.update(kernelDrops, queueDrops, now))
            tellStderr(*line);
    }

    // Datagrams carry the kernel's count of those dropped before them; the socket's own count
    // also has those dropped after the last one.
    std::array<quint32, SK_MEMINFO_VARS> memory{};
    socklen_t length = sizeof memory;
    if (::getsockopt(m_socket.get(), SOL_SOCKET, SO_MEMINFO, memory.data(), &length) == 0 &&
        length > socklen_t(SK_MEMINFO_DROPS * sizeof(quint32))) {
        kernelDrops += quint32(memory[SK_MEMINFO_DROPS] - lastKernelCount);
        m_kernelDrops.store(kernelDrops, std::memory_order_relaxed);
    }
    if (const auto line = lossReport.finish(kernelDrops, queueDrops))
        tellStderr(*line);
}
