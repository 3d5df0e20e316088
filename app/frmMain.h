#pragma once

#include "DatabaseLog.h"
#include "DatagramReceiver.h"
#include "DatagramSocket.h"
#include "DebugEntryKeys.h"
#include "EntryRecorder.h"
#include "ListBox.h"
#include "TextLog.h"
#include "frmNotice.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

class Clock;
class Failure;
class FailureReporter;
class QListWidget;

// The logger's window: the recent-entries list, the socket and the recording behind it.
class frmMain : public QWidget
{
    Q_OBJECT

public:
    static constexpr quint16 LoggerPort = 6177;

    // Files are kept in `applicationDirectory`; tests pass port 0 for a free one.
    frmMain(const QString &applicationDirectory,
            quint16 port,
            const Clock &clock,
            FailureReporter &reporter,
            QWidget *parent = nullptr);
    ~frmMain() override;

    // The start-up sequence: seeds the debug numbers from the clock, binds the socket, stays on
    // top, checks the folder is writable and opens the database. Throws Failure at the first
    // step that fails.
    void Form_Load();

    quint16 localPort() const { return Winsock1.localPort(); }
    const QString &textLogPath() const { return m_textLog.path(); }
    const QString &databasePath() const { return m_database.path(); }

    // A request to end, as by SIGTERM: the first one closes the window, which stops taking
    // datagrams and ends the program once every one received is recorded; another one before
    // that ends it at once.
    void requestStop();

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    // Reports a failure in a running handler and ends the program, as nothing is caught.
    void fail(const Failure &failure);
    // Ends the program once the drain after closing is over.
    void finishStop();
    // Shows the list's changes and the caption soon: at once after a quiet spell, else at
    // most ShowsPerSecond times a second, whatever the rate of entries.
    void showSoon();
    void showChanges();
    void layoutList();

    static constexpr int ShowsPerSecond = 30;

    QString m_applicationDirectory;
    const Clock &m_clock;
    FailureReporter &m_reporter;
    QListWidget *lstData;
    ListBox m_list;
    DebugEntryKeys m_debugKeys;
    QTimer m_showTimer;
    QElapsedTimer m_lastShown;
    QString m_caption;
    bool m_stopping = false;

    // The road of a datagram: the socket's reader queues it, the receiver turns it into an
    // entry, the recorder puts that in the list, the text log and the database.
    DatagramSocket Winsock1;
    DatagramReceiver m_receiver;
    EntryRecorder m_recorder;
    TextLog m_textLog;
    DatabaseLog m_database;

    frmNotice m_notice;
};
