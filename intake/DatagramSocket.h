#pragma once

#include "DatagramQueue.h"
#include "FileDescriptor.h"
#include "LossReport.h"
#include "Threads.h"

#include <QByteArray>

#include <array>
#include <atomic>
#include <memory>
#include <thread>

#include <sys/socket.h>

// The logger's socket: UDP bound to one port on every local address, IPv4 and IPv6, and the
// reader, its only reader, a thread that sleeps in the kernel while the socket is empty and
// queues each datagram whole, in arrival order, as it comes. Datagrams lost in a full queue or
// in the kernel's buffer are counted and told on stderr, at most every few seconds.
class DatagramSocket
{
public:
    // Minutes of a device's status messages, seconds of a local flood; what a desktop spares.
    static constexpr qsizetype DefaultQueueBytes = 256 * 1024 * 1024;

    // Port 6177 is the logger's; tests pass 0 for a free one and may choose a smaller queue.
    explicit DatagramSocket(quint16 localPort, qsizetype queueBytes = DefaultQueueBytes);
    // Stops receiving; datagrams still queued are dropped with the queue.
    ~DatagramSocket();
    DatagramSocket(const DatagramSocket &) = delete;
    DatagramSocket &operator=(const DatagramSocket &) = delete;

    // Binds once and starts the reader, which first raises its own priority. Throws Failure
    // (errno and a description naming the port) when it cannot.
    void Bind();
    // The bound port (the one the kernel chose when constructed with 0).
    quint16 localPort() const { return m_localPort; }
    // The line that says what priority the reader got, once bound.
    const QString &priority() const { return m_priority; }

    // Where the reader puts the datagrams, for the recorder to take.
    DatagramQueue &queue() { return m_queue; }

    // Takes no more datagrams: those the kernel holds for the socket are still queued, later
    // ones are refused. Returns when the reader has ended.
    void stopReceiving();

    // Datagrams queued since Bind; exact once receiving has stopped.
    quint64 received() const { return m_queue.queued(); }
    // Datagrams lost so far because the queue was full, or the kernel's buffer.
    quint64 droppedByQueue() const { return m_queue.dropped(); }
    quint64 droppedByKernel() const { return m_kernelDrops.load(std::memory_order_relaxed); }

    // After stopReceiving: tells the losses not told yet.
    void tellFinalLosses();

private:
    // Datagrams one receive call takes: a flood's wake-up empties the buffer in few calls.
    static constexpr int Batch = 64;

    void readDatagrams();
    // Takes batches until the kernel has no more; false after a failure, which ends reading.
    bool receiveWaiting();
    // Takes one batch from the kernel into the queue; the number taken, 0 when none waited,
    // -1 after a failure, which is handed to the queue.
    int receiveBatch();
    void failReading(const char *step);
    // "Cannot `step` UDP port N: ", the start of every failure of the socket's.
    QString cannot(const char *step) const;
    // Counts from the socket itself what the kernel has dropped.
    void countKernelDrops();
    void tellDueLosses();

    quint16 m_localPort;
    DatagramQueue m_queue;
    FileDescriptor m_socket;
    Wakeup m_stop;
    std::thread m_reader;
    QString m_priority;

    // The reader's own.
    std::unique_ptr<char[]> m_buffers;
    std::array<iovec, Batch> m_vectors;
    std::array<mmsghdr, Batch> m_messages{};
    std::array<QByteArrayView, Batch> m_datagrams;
    LossReport m_lossReport;
    quint32 m_lastKernelCount = 0;
    std::atomic<quint64> m_kernelDrops{0};
};
