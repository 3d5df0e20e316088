#pragma once

#include "DatagramQueue.h"
#include "FileDescriptor.h"
#include "LossReport.h"

#include <QByteArray>
#include <QObject>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/socket.h>

class QSocketNotifier;

// A UDP socket bound to one port on every local address, IPv4 and IPv6, with a receive buffer
// of its own: a reader thread takes the datagrams from the kernel as they arrive and queues
// each whole, in arrival order, for the thread that owns this object, which may take its turn
// at reading too (catchUp). The reader sleeps in the kernel whenever the socket is empty.
// Datagrams lost in a full queue or in the kernel's buffer are counted and told on stderr, at
// most every few seconds.
class DatagramSocket : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype DefaultQueueBytes = 256 * 1024 * 1024;

    // Port 6177 is the logger's; tests pass 0 for a free one and may choose a smaller queue.
    explicit DatagramSocket(quint16 localPort,
                            qsizetype queueBytes = DefaultQueueBytes,
                            QObject *parent = nullptr);
    // Stops receiving; datagrams still queued are dropped with the queue.
    ~DatagramSocket() override;

    // Binds once and starts the reader. Throws Failure (errno and a description naming the
    // port) when it cannot.
    void Bind();
    // The bound port (the one the kernel chose when constructed with 0).
    quint16 localPort() const { return m_localPort; }

    // Takes the next queued datagram into `data`; false when none is waiting. Throws the
    // reader's Failure once the datagrams received before it have been taken.
    bool GetData(QByteArray &data);

    // Takes into the queue what the kernel holds for the socket, unless the reader is at it.
    // Recording calls it between entries: with every processor busy, a reader woken by the
    // network can wait its turn longer than the kernel's buffer lasts.
    void catchUp();

    // Stops DataArrival; the reader goes on queueing.
    void stopNotifications();
    // Raises DataArrival again after stopNotifications.
    void resumeNotifications();

    // Takes no more datagrams: those the kernel holds for the socket are still queued, later
    // ones are refused. Returns when the reader has ended.
    void stopReceiving();

    // Datagrams queued since Bind; exact once receiving has stopped.
    quint64 received() const { return m_queue.queued(); }
    // Datagrams lost so far because the queue was full, or the kernel's buffer.
    quint64 droppedByQueue() const { return m_queue.dropped(); }
    quint64 droppedByKernel() const { return m_kernelDrops.load(std::memory_order_relaxed); }

    // After stopReceiving: tells the losses not told yet, with `unrecorded` datagrams that
    // were received but never recorded.
    void tellFinalLosses(quint64 unrecorded);

signals:
    // Datagrams are waiting. Raised again on the next loop pass while any remain.
    void DataArrival();

private:
    static constexpr int Batch = 64;

    void readDatagrams();
    // Takes batches until the kernel has no more; false after a failure, which ends reading.
    // Whoever calls it holds m_receiving.
    bool receiveWaiting();
    // Takes one batch from the kernel into the queue; the number taken, 0 when none waited,
    // -1 after a failure, which is handed to the queue.
    int receiveBatch();
    void failReading(const char *step);
    // Counts from the socket itself what the kernel dropped after the last datagram taken.
    void countLateKernelDrops();
    void tellDueLosses();

    quint16 m_localPort;
    DatagramQueue m_queue;
    FileDescriptor m_socket;
    FileDescriptor m_stop;
    std::thread m_reader;
    std::unique_ptr<QSocketNotifier> m_notifier;

    // Whoever takes datagrams from the kernel into the queue holds it, so they stay in order.
    std::mutex m_receiving;
    bool m_receivingEnded = false;

    // The receiving side's, under m_receiving.
    struct Control
    {
        alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(quint32))];
    };
    std::unique_ptr<char[]> m_buffers;
    std::array<Control, Batch> m_controls;
    std::array<iovec, Batch> m_vectors;
    std::array<mmsghdr, Batch> m_messages;
    std::array<QByteArrayView, Batch> m_datagrams;
    LossReport m_lossReport;
    quint64 m_queueDrops = 0;
    quint32 m_lastKernelCount = 0;
    std::atomic<quint64> m_kernelDrops{0};
};
