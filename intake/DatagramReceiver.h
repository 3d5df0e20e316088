#pragma once

#include "Failure.h"

#include <QObject>
#include <QString>
#include <QTimer>

class Clock;
class DatagramSocket;
class EntryRecorder;

// Turns each datagram into an entry, records it and stamps the caption with the time of
// the latest entry. Records in slices of a few milliseconds and lets the event loop have its
// turn between them. After a failure it takes no more datagrams.
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

    // Stops taking datagrams; those waiting stay queued.
    void stop();

signals:
    void captionChanged(const QString &caption);
    void failed(const Failure &failure);

private:
    void onDataArrival();

    DatagramSocket &m_socket;
    EntryRecorder &m_recorder;
    const Clock &m_clock;
    QTimer m_nextSlice;
    bool m_stopped = false;
};
