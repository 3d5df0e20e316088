#pragma once

#include "DatabaseLog.h"
#include "DatagramSocket.h"
#include "EntryList.h"
#include "Recorder.h"
#include "TextLog.h"
#include "frmMain.h"

#include <QObject>

#include <optional>

class Clock;
class Failure;
class FailureReporter;

// The logger's road, built and wired in one place: the reader queues each datagram, the
// recorder turns it into an entry and records it in the list, the text log and the database,
// and the window shows the list. Owns the start-up order, the stop and failure: every failure
// goes to the one reporter, and the program ends with a non-zero status.
class Pipeline : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 LoggerPort = 6177;

    // Files are kept in `applicationDirectory`; tests pass port 0 for a free one.
    Pipeline(const QString &applicationDirectory,
             quint16 port,
             const Clock &clock,
             FailureReporter &reporter,
             QObject *parent = nullptr);
    ~Pipeline() override;

    // The start-up sequence: seeds the debug numbers from the clock, binds the socket, stays on
    // top, checks the folder is writable, opens the database and starts recording, then says
    // where it listens and writes. Throws Failure at the first step that fails.
    void start();

    // A request to end, as by SIGTERM or closing the window: the first one stops taking
    // datagrams and ends the program once every one received is recorded; another one before
    // that ends it at once.
    void requestStop();

    frmMain &window() { return m_window; }
    quint16 localPort() const { return Winsock1.localPort(); }
    const QString &textLogPath() const { return m_textLog.path(); }
    const QString &databasePath() const { return m_database.path(); }

    // Datagrams received and not yet in all three places.
    quint64 unrecorded() const { return Winsock1.received() - m_recorder.rows(); }

private:
    void recordingEnded(const std::optional<Failure> &failure);
    void fail(const Failure &failure);
    // What was received and is not in the database yet, for the last word.
    QString leftBehind() const;

    QString m_applicationDirectory;
    const Clock &m_clock;
    FailureReporter &m_reporter;
    bool m_stopping = false;
    // Once the end is decided, by the recorder or a second stop, nothing else decides it.
    bool m_ended = false;

    EntryList m_entries;
    frmMain m_window;
    DatagramSocket Winsock1;
    TextLog m_textLog;
    DatabaseLog m_database;
    Recorder m_recorder;
};
