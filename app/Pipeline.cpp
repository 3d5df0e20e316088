#include "Pipeline.h"

#include "Clock.h"
#include "Failure.h"
#include "FailureReporter.h"
#include "Stderr.h"
#include "modAlwaysOnTop.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Throws Failure (errno, e.g. EACCES or EROFS) naming the folder beside the program and how to
// fix it when this user cannot create files in it.
void requireWritable(const QString &path)
{
    // Asked up front because the first sign otherwise is a database that opens but cannot
    // take a row, or a text log that fails only with the first entry. Effective ids, as the
    // files are created with them; root passes everywhere but on a read-only file system.
    if (::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), W_OK | X_OK, AT_EACCESS) == 0)
        return;
    const int error = errno;
    throw Failure(error,
                  QStringLiteral("The folder %1 is not writable for you (%2); the logger keeps "
                                 "mylog.txt and Log.mdb's working files (Log.mdb-wal, "
                                 "Log.mdb-shm) there. Install a copy for yourself with "
                                 "make install, or make %1 writable for you.")
                      .arg(path, QString::fromLocal8Bit(std::strerror(error))));
}

} // namespace

Pipeline::Pipeline(const QString &applicationDirectory,
                   quint16 port,
                   const Clock &clock,
                   FailureReporter &reporter,
                   QObject *parent)
    : QObject(parent)
    , m_applicationDirectory(applicationDirectory)
    , m_clock(clock)
    , m_reporter(reporter)
    , m_window(m_entries)
    , Winsock1(port)
    , m_textLog(applicationDirectory + QStringLiteral("/mylog.txt"))
    , m_database(applicationDirectory + QStringLiteral("/Log.mdb"))
    , m_recorder(Winsock1.queue(), m_entries, m_textLog, m_database, clock)
{
    connect(&m_window, &frmMain::closed, this, [this] {
        if (!m_stopping)
            requestStop();
    });
}

// The recorder ends before the socket and the database it uses.
Pipeline::~Pipeline()
{
    m_recorder.stop();
}

void Pipeline::start()
{
    // Each run starts its own sequence of debug numbers.
    m_window.seedDebugEntries(quint64(m_clock.now().toMSecsSinceEpoch()));
    Winsock1.Bind();
    SetAlwaysOnTop(&m_window, 1);
    requireWritable(m_applicationDirectory);
    m_database.open();

    tellStderr(Winsock1.priority().toLocal8Bit() + '\n');
    m_recorder.start([this](const std::optional<Failure> &failure) {
        QMetaObject::invokeMethod(
            this, [this, failure] { recordingEnded(failure); }, Qt::QueuedConnection);
    });
    tellStderr(
        QStringLiteral("KIVLogging: listening on UDP %1 (IPv4 and IPv6), writing %2 and %3\n")
            .arg(localPort())
            .arg(textLogPath(), databasePath())
            .toLocal8Bit());
}

void Pipeline::requestStop()
{
    if (m_ended)
        return;
    if (!m_stopping) {
        m_stopping = true;
        m_window.close();
        // Nothing more is taken from the network, and everything received is recorded first.
        Winsock1.stopReceiving();
        m_recorder.drain();
        return;
    }
    // Asked again while recording what was received: the user would rather not wait, not even
    // for the round in hand, which may wait for a file. What is committed stays so.
    m_ended = true;
    tellStderr(QStringLiteral("KIVLogging: stopped with %1.\n").arg(leftBehind()).toLocal8Bit());
    Winsock1.tellFinalLosses();
    std::_Exit(1);
}

void Pipeline::recordingEnded(const std::optional<Failure> &failure)
{
    if (std::exchange(m_ended, true))
        return;
    m_recorder.stop();
    if (failure) {
        fail(*failure);
        return;
    }
    Winsock1.tellFinalLosses();
    QCoreApplication::exit(0);
}

void Pipeline::fail(const Failure &failure)
{
    Winsock1.stopReceiving();
    Failure told = failure;
    if (unrecorded() > 0) {
        told =
            Failure(failure.number(), failure.description() + QStringLiteral("; ") + leftBehind());
    }
    m_reporter.report(told);
    Winsock1.tellFinalLosses();
    QCoreApplication::exit(1);
}

QString Pipeline::leftBehind() const
{
    const quint64 withLine = m_recorder.lines() - m_recorder.rows();
    return counted(unrecorded(), "received datagram") +
           QStringLiteral(" left without a row (%1 of them with a line in %2)")
               .arg(withLine)
               .arg(m_textLog.path());
}
