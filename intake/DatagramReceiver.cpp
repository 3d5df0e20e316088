#include "DatagramReceiver.h"

#include "Clock.h"
#include "DatagramSocket.h"
#include "EntryRecorder.h"
#include "Failure.h"

#include <QElapsedTimer>

namespace {

// How long one slice may record before the window gets its turn to repaint, resize or close:
// long enough that a flood's entries share few transactions, short enough that the window
// still answers at once.
constexpr qint64 SliceMilliseconds = 20;
// In a flood recording reads the socket itself every so many entries, and before each commit:
// far more often than the kernel's buffer fills.
constexpr int CatchUpEntries = 8;

} // namespace

DatagramReceiver::DatagramReceiver(DatagramSocket &socket,
                                   EntryRecorder &recorder,
                                   const Clock &clock,
                                   QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_recorder(recorder)
    , m_clock(clock)
{
    connect(&m_socket, &DatagramSocket::DataArrival, this, &DatagramReceiver::recordSlice);
    m_nextSlice.setSingleShot(true);
    connect(&m_nextSlice, &QTimer::timeout, this, &DatagramReceiver::recordSlice);
}

DecodedText DatagramReceiver::entryText(const QByteArray &datagram)
{
    // An empty datagram has no last character to drop and gives an empty entry. The last byte
    // goes before the bytes are read, so the text log gets back all the others.
    return decodeText(QByteArrayView(datagram).chopped(datagram.isEmpty() ? 0 : 1));
}

void DatagramReceiver::drain()
{
    if (m_draining || m_stopped)
        return;
    m_draining = true;
    m_socket.stopReceiving();
    m_nextSlice.start(0);
}

void DatagramReceiver::stop()
{
    m_stopped = true;
    m_nextSlice.stop();
    m_socket.stopNotifications();
}

quint64 DatagramReceiver::unrecorded() const
{
    return m_socket.received() - m_recorder.recorded();
}

void DatagramReceiver::recordSlice()
{
    if (m_stopped)
        return;
    QElapsedTimer slice;
    slice.start();
    int entries = 0;
    bool empty = false;
    try {
        QByteArray datagram;
        for (; slice.elapsed() < SliceMilliseconds; ++entries) {
            if (entries % CatchUpEntries == CatchUpEntries - 1)
                m_socket.catchUp();
            if (!m_socket.GetData(datagram)) {
                empty = true;
                break;
            }
            const DecodedText entry = entryText(datagram);
            m_recorder.WriteFile(entry.text, entry.encoding);
        }
        // A datagram arriving alone was just read; in a flood the socket fills meanwhile.
        if (entries >= CatchUpEntries)
            m_socket.catchUp();
        // At the end of every slice, so a datagram arriving alone is committed at once.
        m_recorder.commit();
    } catch (const Failure &failure) {
        fail(failure);
        return;
    } catch (const std::exception &error) {
        fail(Failure(-1, QString::fromLocal8Bit(error.what())));
        return;
    }

    // Nobody sees the caption between two entries of one slice, so it is set once, after
    // the latest, with a sample taken after that entry was recorded.
    if (entries > 0)
        emit captionChanged(QStringLiteral("KIVLogging - ") + m_clock.timestampNow());
    if (empty && m_draining) {
        m_stopped = true;
        emit drained();
    } else if (empty) {
        m_socket.resumeNotifications();
    } else {
        // The next slice comes from a timer: the event loop runs its timers every other
        // pass at most while repaints are pending, so a repaint, a key or a resize always
        // gets a pass between two slices.
        m_socket.stopNotifications();
        m_nextSlice.start(0);
    }
}

void DatagramReceiver::fail(const Failure &failure)
{
    stop();
    // The entries before the failing one stay recorded, as far as they can.
    try {
        m_recorder.commit();
    } catch (const std::exception &) {
        // Their rows went with the transaction and count as not recorded; the first failure
        // is the one to tell.
    }
    emit failed(failure);
}
