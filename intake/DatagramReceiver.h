#pragma once

#include "Failure.h"

#include <QObject>
#include <QString>

class Clock;
class DatagramSocket;
class EntryRecorder;

// Turns each datagram into an entry, records it and stamps the caption with the time of
// the latest entry. After a failure it takes no more datagrams.
class DatagramReceiver : public QObject
{
    Q_OBJECT

public:
    DatagramReceiver(DatagramSocket &socket,
                     EntryRecorder &recorder,
                     const Clock &clock,
                     QObject *parent = nullptr);

    // The entry text of a datagram: its bytes less the last, in Windows-1252.
    static QString entryText(const QByteArray &datagram);

    // Stops taking datagrams; those waiting stay in the socket.
    void stop();

signals:
    void captionChanged(const QString &caption);
    void failed(const Failure &failure);

private:
    void onDataArrival();

    DatagramSocket &m_socket;
    EntryRecorder &m_recorder;
    const Clock &m_clock;
    bool m_stopped = false;
};
