#pragma once

#include "Clock.h"
#include "DatabaseLog.h"
#include "DatagramQueue.h"
#include "EntryList.h"
#include "Recorder.h"
#include "SqliteHandle.h"
#include "TextLog.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QDateTime>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>

// A clock that says what the test tells it to, from any thread.
class FixedClock : public Clock
{
public:
    explicit FixedClock(QDateTime time)
        : m_time(std::move(time))
    {}
    QDateTime now() const override
    {
        const std::lock_guard lock(m_mutex);
        return m_time;
    }
    void set(QDateTime time)
    {
        const std::lock_guard lock(m_mutex);
        m_time = std::move(time);
    }

private:
    mutable std::mutex m_mutex;
    QDateTime m_time;
};

// A recorder and what it records into, in a temporary folder: an empty database with KIVData,
// opened, no text log yet, and a fixed clock. The recorder takes from `source` if given, else
// from `queue`. `ready` is false (with a warning) when any of it could not be made.
struct RecordingFixture
{
    explicit RecordingFixture(quint64 queueDatagrams = DatagramQueue::DefaultCapacityDatagrams,
                              DatagramQueue *source = nullptr);
    // Starts the recorder, which notes in `ended` how it ends.
    void start();

    QTemporaryDir dir;
    QString textLogPath = dir.filePath(QStringLiteral("mylog.txt"));
    QString databasePath = dir.filePath(QStringLiteral("Log.mdb"));
    FixedClock clock{QDateTime(QDate(2026, 12, 7), QTime(18, 5, 1))};
    EntryList entries;
    TextLog textLog{textLogPath};
    DatabaseLog database{databasePath};
    DatagramQueue queue;
    // 0 while the recorder runs, -1 once drained, else the number of the failure that ended it.
    std::atomic<int> ended{0};
    Recorder recorder;
    bool ready = false;
};

// Helpers that can fail return false with a warning; the test checks, as a check inside a
// helper would only end the helper.

// Sends one datagram to `port` on the loopback address of the given family.
[[nodiscard]] bool sendDatagram(quint16 port, const QByteArray &payload, bool ipv6 = false);

// Whether some process has a UDP socket bound to `port`.
bool udpPortBound(quint16 port);
// "UDP port N is taken by another program", and who holds it as ss tells.
QByteArray portTaken(quint16 port);

QByteArray readFile(const QString &path);

// Descriptors this process has open.
int openDescriptors();

// Creates an SQLite file with the shipped KIVData table, or with `createStatement`.
[[nodiscard]] bool createLogDatabase(const QString &path, const QString &createStatement = {});

// Lays out a candidate Log.mdb at `path`: `content` as raw bytes unless it is null (an
// empty one makes an empty file), else a database made with `createStatement`, else nothing.
[[nodiscard]] bool
prepareDatabaseFile(const QString &path, const QByteArray &content, const QString &createStatement);

// Runs `sql` on its own connection to the file and returns the first column of every row.
QStringList queryColumn(const QString &databasePath, const QString &sql);

// An SQLite connection of the test's own to a file, created if missing unless read-only,
// closed on destruction. A read-only one leaves the WAL as it found it.
class TestConnection
{
public:
    explicit TestConnection(const QString &path, bool readOnly = false);
    // Runs one statement; false (with a warning) when it fails.
    [[nodiscard]] bool exec(const QString &sql);
    // The first column of every row, as text; a failure gives a warning and the rows so far.
    QStringList column(const QString &sql);

private:
    SqliteHandle m_connection;
};

// Every byte 0x20..0xFF once, in order.
QByteArray printableAndHighBytes();

// The seed for a test's random choices: KIV_TEST_SEED if set, else a fixed one, so that a
// failure repeats. Tests name it in their failure messages.
quint32 testSeed();

// The entry a datagram gives: its bytes less the last (none for an empty datagram).
QByteArray entryOf(const QByteArray &datagram);

// hex(LogText) of the row for an entry: its characters (read as UTF-8 or Windows-1252) as
// UTF-8, upper case.
QString rowHex(QByteArrayView entry);

// A text log line is "M/D/YYYY H:MM:SS AM: " (or PM), the entry's bytes, CR LF.
// The position after the "<timestamp>: " of a line starting at `pos`, or -1 if none does.
qsizetype afterTimestamp(QByteArrayView log, qsizetype pos);
// Whether the text log holds the line of `entry` at `pos`; if so `pos` moves past it.
bool takeLine(QByteArrayView log, qsizetype &pos, QByteArrayView entry);
// Where the text log differs from the lines of `entries` in order and nothing else; empty when
// it does not.
QString logMismatch(QByteArrayView log, const QByteArrayList &entries);
// Waits until the text log at `path` is the lines of `entries`; false (with a warning of the
// mismatch) at the deadline.
[[nodiscard]] bool waitForLog(const QString &path, const QByteArrayList &entries);

// UDP drops what its receive buffer cannot hold. The logger asks for 8 MiB; the kernel grants
// at most twice rmem_max. Half of that may be in flight, counting a datagram at about what the
// kernel charges for it.
qint64 receiveBufferBudget();
qint64 bufferCost(QByteArrayView payload);

// The built program, copied into its own temporary application directory and started there.
class ProgramUnderTest
{
public:
    // With `withDatabase`, an empty Log.mdb with KIVData lies beside the copy. When either
    // cannot be made, it warns and never starts.
    explicit ProgramUnderTest(bool withDatabase = true);
    // Runs `program` where it lies (an installed copy, its launcher), with no copy made.
    explicit ProgramUnderTest(const QString &program);
    ~ProgramUnderTest();

    // The application directory: the folder of the program's real path.
    QString directory() const { return m_directory; }
    QString file(const QString &name) const { return m_directory + QLatin1Char('/') + name; }
    QProcess &process() { return m_process; }

    // Runs `setup` in the child between fork and exec (limits, user), before the next start.
    void setChildSetup(const std::function<void()> &setup);
    // Starts the copy headless, with `environment` applied: "NAME=value" sets, "-NAME" removes.
    void start(const QStringList &environment = {});
    // Starts the copy and waits until it listens on 6177. False if it ended or never did.
    bool startListening(const QStringList &environment = {});
    // Ends the copy with SIGTERM and returns its exit code, or -1 when it did not end cleanly.
    int terminate();

private:
    std::optional<QTemporaryDir> m_copyDirectory;
    QString m_directory;
    bool m_prepared = true;
    QProcess m_process;
};
