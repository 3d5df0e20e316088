#pragma once

#include "Failure.h"
#include "TextEncoding.h"

#include <QObject>
#include <QString>
#include <QTimer>

class Clock;
class DatagramSocket;
class EntryRecorder;

// The road of a datagram after the socket: each one queued becomes an entry, is recorded
// (list, text log, database) and stamps the caption with the time of the latest entry.
// Records in slices of a few milliseconds, one transaction each, and lets the event loop have
// its turn between them. After a failure it takes no more datagrams.
class DatagramReceiver : public QObject
{
    Q_OBJECT

public:
    DatagramReceiver(DatagramSocket &socket,
                     EntryRecorder &recorder,
                     const Clock &clock,
                     QObject *parent = nullptr);

    // The entry text of a datagram: its bytes less the last, read as UTF-8 or Windows-1252
    // (see decodeText).
    static DecodedText entryText(const QByteArray &datagram);

    // Takes no more datagrams from the network and records every one received; then drained.
    void drain();
    // Stops recording; datagrams not recorded yet stay so.
    void stop();

    // Datagrams received but not recorded in all three places.
    quint64 unrecorded() const;

signals:
    void captionChanged(const QString &caption);
    void failed(const Failure &failure);
    void drained();

private:
    void recordSlice();
    void fail(const Failure &failure);

    DatagramSocket &m_socket;
    EntryRecorder &m_recorder;
    const Clock &m_clock;
    QTimer m_nextSlice;
    bool m_draining = false;
    bool m_stopped = false;
};
