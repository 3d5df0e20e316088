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

    // Whether a burst is on: the reader saw datagrams coming in faster than the recording
    // takes them, a moment ago.
    bool isBurstOn() const
    {
        return monotonicMilliseconds() < m_burstUntil.load(std::memory_order_relaxed);
    }
    // Whether the recording should wait and leave the processors to the reader: a burst is
    // on (the kernel's buffer holds only milliseconds of it) and the queue has room for as
    // much again. Past half full the recording goes on whatever comes in, so that a long
    // flood does not fill the queue while nothing is taken.
    bool isBusy() const
    {
        return isBurstOn() && m_queue.heldBytes() <= m_queue.capacityBytes() / 2;
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
    std::atomic<qint64> m_burstUntil{0};
    std::atomic<quint64> m_kernelDrops{0};
    std::thread m_reader;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
