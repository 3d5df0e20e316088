#include "DatagramReceiver.h"

#include "Clock.h"
#include "Cp1252.h"
#include "DatagramSocket.h"
#include "EntryRecorder.h"
#include "Failure.h"

#include <QElapsedTimer>

namespace {

// How long one wake-up may record before the window gets its turn; the socket's
// notification comes again on the next pass while datagrams remain.
constexpr qint64 SliceMilliseconds = 10;

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
    connect(&m_socket, &DatagramSocket::DataArrival, this, &DatagramReceiver::onDataArrival);
}

QString DatagramReceiver::entryText(const QByteArray &datagram)
{
    // An empty datagram has no last character to drop and gives an empty entry.
    return decodeCp1252(QByteArrayView(datagram).chopped(datagram.isEmpty() ? 0 : 1));
}

void DatagramReceiver::stop()
{
    m_stopped = true;
    m_socket.stopNotifications();
}

void DatagramReceiver::onDataArrival()
{
    QElapsedTimer slice;
    slice.start();
    bool recorded = false;
    try {
        QByteArray datagram;
        while (!m_stopped && slice.elapsed() < SliceMilliseconds && m_socket.GetData(datagram)) {
            m_recorder.WriteFile(entryText(datagram));
            recorded = true;
        }
        // Nobody sees the caption between two entries of one slice, so it is set once, after
        // the latest, with a sample taken after that entry was recorded.
        if (recorded)
            emit captionChanged(QStringLiteral("KIVLogging - ") + timestampText(m_clock.now()));
    } catch (const Failure &failure) {
        stop();
        emit failed(failure);
    } catch (const std::exception &error) {
        stop();
        emit failed(Failure(-1, QString::fromLocal8Bit(error.what())));
    }
}
