#include "DatagramSocket.h"

#include "Failure.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// The largest UDP payload over IPv6 without jumbograms; IPv4 carries at most 65507.
constexpr int MaxDatagram = 65527;
// Bursts wait here while an entry is being recorded. The kernel may clamp it.
constexpr int ReceiveBufferBytes = 8 * 1024 * 1024;

} // namespace

DatagramSocket::DatagramSocket(quint16 localPort, QObject *parent)
    : QObject(parent)
    , m_localPort(localPort)
    , m_buffer(MaxDatagram + 1, Qt::Uninitialized)
{}

DatagramSocket::~DatagramSocket() = default;

void DatagramSocket::Bind()
{
    const auto fail = [this](const char *step) {
        const int error = errno;
        throw Failure::fromErrno(
            error, QStringLiteral("Cannot %1 UDP port %2: ").arg(QLatin1String(step)).arg(m_localPort));
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
    m_localPort = ntohs(bound.ss_family == AF_INET6
                            ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                            : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);

    m_socket = std::move(socket);
    m_notifier = std::make_unique<QSocketNotifier>(m_socket.get(), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &DatagramSocket::DataArrival);
}

bool DatagramSocket::GetData(QByteArray &data)
{
    for (;;) {
        const ssize_t size = ::recv(m_socket.get(), m_buffer.data(), size_t(m_buffer.size()), 0);
        if (size >= 0) {
            data = QByteArray(m_buffer.constData(), qsizetype(size));
            return true;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return false;
        const int error = errno;
        throw Failure::fromErrno(
            error, QStringLiteral("Cannot receive on UDP port %1: ").arg(m_localPort));
    }
}

void DatagramSocket::stopNotifications()
{
    if (m_notifier)
        m_notifier->setEnabled(false);
}
