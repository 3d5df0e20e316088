#pragma once

#include "FileDescriptor.h"

#include <QByteArray>
#include <QObject>

#include <memory>

class QSocketNotifier;

// A UDP socket bound to one port on every local address, IPv4 and IPv6, that hands out
// each waiting datagram whole, in arrival order.
class DatagramSocket : public QObject
{
    Q_OBJECT

public:
    // Port 6177 is the logger's; tests pass 0 for a free one.
    explicit DatagramSocket(quint16 localPort, QObject *parent = nullptr);
    ~DatagramSocket() override;

    // Binds once. Throws Failure (errno and a description naming the port) when it cannot.
    void Bind();
    // The bound port (the one the kernel chose when constructed with 0).
    quint16 localPort() const { return m_localPort; }

    // Takes the next waiting datagram into `data`; false when none is waiting.
    bool GetData(QByteArray &data);

    // Stops DataArrival; the socket stays bound until destruction.
    void stopNotifications();

signals:
    // Datagrams are waiting. Raised again on the next loop pass while any remain.
    void DataArrival();

private:
    quint16 m_localPort;
    FileDescriptor m_socket;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QByteArray m_buffer;
};
