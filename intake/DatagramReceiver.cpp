#include "DatagramReceiver.h"

#include "Clock.h"
#include "Cp1252.h"
#include "DatagramSocket.h"
#include "EntryList.h"
#include "EntryRecorder.h"
#include "Failure.h"

#include <QElapsedTimer>

namespace {

// How long one wake-up may record before the window gets its turn to repaint, resize or
// close: long enough that the repaint after each slice takes little of a flood's time, short
// enough that the window still answers at once.
constexpr qint64 SliceMilliseconds = 20;
// How often a paused recording looks again whether it can go on.
constexpr int PauseMilliseconds = 10;

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
    m_nextSlice.setSingleShot(true);
    connect(&m_nextSlice, &QTimer::timeout, this, &DatagramReceiver::onDataArrival);
}

QString DatagramReceiver::entryText(const QByteArray &datagram)
{
    // An empty datagram has no last character to drop and gives an empty entry.
    return decodeCp1252(QByteArrayView(datagram).chopped(datagram.isEmpty() ? 0 : 1));
}

void DatagramReceiver::stop()
{
    m_stopped = true;
    m_nextSlice.stop();
    m_socket.stopNotifications();
}

void DatagramReceiver::onDataArrival()
{
    QElapsedTimer slice;
    slice.start();
    bool recorded = false;
    bool drained = false;
    bool paused = false;
    try {
        {
            // Nothing is drawn within a slice, so the list shows only its outcome, also when
            // an entry fails.
            const EntryListUpdate update(m_recorder.list());
            QByteArray datagram;
            while (!m_stopped && slice.elapsed() < SliceMilliseconds) {
                if (m_recorder.needsPause() || m_socket.isBusy()) {
                    paused = true;
                    break;
                }
                if (!m_socket.GetData(datagram)) {
                    drained = true;
                    break;
                }
                m_recorder.WriteFile(entryText(datagram));
                recorded = true;
            }
        }
        if (drained) {
            m_socket.resumeNotifications();
        } else if (!m_stopped) {
            // The next slice comes from a timer: the event loop runs its timers every other
            // pass at most while repaints are pending, so a repaint, a key or a resize always
            // gets a pass between two slices.
            m_socket.stopNotifications();
            m_nextSlice.start(paused ? PauseMilliseconds : 0);
        }
        // Nobody sees the caption between two entries of one slice, so it is set once, after
        // the latest, with a sample taken after that entry was recorded.
        if (recorded)
            emit captionChanged(QStringLiteral("KIVLogging - ") + m_clock.timestampNow());
    } catch (const Failure &failure) {
        stop();
        emit failed(failure);
    } catch (const std::exception &error) {
        stop();
        emit failed(Failure(-1, QString::fromLocal8Bit(error.what())));
    }
}
