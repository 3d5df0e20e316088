#pragma once

#include "DatagramQueue.h"
#include "FileDescriptor.h"

#include <QByteArray>
#include <QObject>

#include <atomic>
#include <memory>
#include <thread>

class QSocketNotifier;

// A UDP socket bound to one port on every local address, IPv4 and IPv6, with a receive buffer
// of its own: a reader thread takes the datagrams from the kernel as fast as they arrive and
// queues each whole, in arrival order, for the thread that owns this object. Datagrams lost
// in a full queue or in the kernel's buffer are counted and told on stderr, at most every
// few seconds.
class DatagramSocket : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype DefaultQueueBytes = 256 * 1024 * 1024;

    // Port 6177 is the logger's; tests pass 0 for a free one and may choose a smaller queue.
    explicit DatagramSocket(quint16 localPort,
                            qsizetype queueBytes = DefaultQueueBytes,
                            QObject *parent = nullptr);
    // Stops the reader; datagrams still queued are dropped with the queue.
    ~DatagramSocket() override;

    // Binds once and starts the reader. Throws Failure (errno and a description naming the
    // port) when it cannot.
    void Bind();
    // The bound port (the one the kernel chose when constructed with 0).
    quint16 localPort() const { return m_localPort; }

    // Takes the next queued datagram into `data`; false when none is waiting. Throws the
    // reader's Failure once the datagrams received before it have been taken.
    bool GetData(QByteArray &data);

    // Stops DataArrival; the reader goes on queueing until destruction.
    void stopNotifications();
    // Raises DataArrival again after stopNotifications.
    void resumeNotifications();

    // Whether a burst is coming in faster than the reader takes it (it found many datagrams
    // waiting at once, a moment ago): then it needs all the processor it can get, as the
    // kernel's buffer holds only milliseconds of a burst.
    bool isBusy() const
    {
        return monotonicMilliseconds() < m_busyUntil.load(std::memory_order_relaxed);
    }

    // Datagrams lost so far because the queue was full, or the kernel's buffer.
    quint64 droppedByQueue() const { return m_queue.dropped(); }
    quint64 droppedByKernel() const { return m_kernelDrops.load(std::memory_order_relaxed); }

signals:
    // Datagrams are waiting. Raised again on the next loop pass while any remain.
    void DataArrival();

private:
    static qint64 monotonicMilliseconds();
    void readDatagrams();

    quint16 m_localPort;
    DatagramQueue m_queue;
    FileDescriptor m_socket;
    FileDescriptor m_stop;
    std::atomic<bool> m_stopping{false};
    std::atomic<qint64> m_busyUntil{0};
    std::atomic<quint64> m_kernelDrops{0};
    std::thread m_reader;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
