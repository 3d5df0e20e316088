#include "Recorder.h"

#include "Clock.h"
#include "DatabaseLog.h"
#include "DatagramQueue.h"
#include "EntryList.h"
#include "TextLog.h"

#include <QElapsedTimer>

#include <sqlite3.h>

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace {

// After a round, what arrives within this time waits for the next, so a steady stream shares
// each round's write and transaction; a datagram after a quiet spell is recorded at once.
constexpr qint64 GatheringNanoseconds = 1000 * 1000;
// The most entries of one round, so that in a backlog the list and the rows move on steadily.
constexpr qsizetype RoundEntries = 1024;
// How often a lock held by another program is tried again; a try costs one failed begin.
constexpr qint64 RetryMilliseconds = 50;

} // namespace

Recorder::Recorder(DatagramQueue &queue,
                   EntryList &entries,
                   TextLog &textLog,
                   DatabaseLog &database,
                   const Clock &clock)
    : m_queue(queue)
    , m_entries(entries)
    , m_textLog(textLog)
    , m_database(database)
    , m_clock(clock)
    , m_wake(QStringLiteral("Cannot start recording: "))
{}

Recorder::~Recorder()
{
    stop();
}

quint64 Recorder::rows() const
{
    return m_database.insertedRows();
}

void Recorder::start(Finished finished)
{
    m_finished = std::move(finished);
    m_thread =
        startThread("recorder", QStringLiteral("Cannot start recording: "), [this] { run(); });
}

void Recorder::drain()
{
    m_draining = true;
    m_wake.signal();
}

void Recorder::stop()
{
    if (!m_thread.joinable())
        return;
    m_stopping = true;
    m_wake.signal();
    m_thread.join();
}

void Recorder::WriteFile(const QList<DecodedText> &ToWrite)
{
    QStringList texts;
    texts.reserve(ToWrite.size());
    for (const DecodedText &entry : ToWrite)
        texts.append(entry.text);
    m_entries.add(texts);

    // Each line and each row samples the clock anew: a row's time may be a second later.
    QByteArray lines;
    for (const DecodedText &entry : ToWrite)
        lines += TextLog::line(m_clock.timestampNow(), entry.text, entry.encoding);
    m_textLog.append(lines);
    m_lines.fetch_add(quint64(ToWrite.size()), std::memory_order_relaxed);

    for (const DecodedText &entry : ToWrite)
        m_database.add(m_clock.timestampNow(), entry.text);
    insertRows();
}

void Recorder::insertRows()
{
    // While a lock is in the way, rows are tried again at intervals only.
    const qint64 now = monotonicNanoseconds();
    if (m_database.isLocked() && now < m_nextTry)
        return;
    if (!m_database.insertWaiting())
        m_nextTry = now + RetryMilliseconds * 1000000;
    m_queue.hold(m_database.waitingRows(), m_database.waitingBytes());
}

void Recorder::run()
{
    pollfd waits[2] = {{m_queue.readyDescriptor(), POLLIN, 0}, {m_wake.descriptor(), POLLIN, 0}};
    qint64 lastRound = 0;
    QElapsedTimer drained;
    QByteArray datagram;
    QList<DecodedText> entries;
    try {
        for (;;) {
            const bool rowsWait = m_database.waitingRows() > 0;
            const qint64 untilTry = (m_nextTry - monotonicNanoseconds() + 999999) / 1000000;
            // No timer while idle: only rows held back by a lock are tried again.
            int timeout = m_draining ? 0 : -1;
            if (rowsWait)
                timeout = int(qBound<qint64>(0, untilTry, RetryMilliseconds));
            if (::poll(waits, 2, timeout) < 0 && errno != EINTR) {
                const int error = errno;
                throw Failure::fromErrno(error, QStringLiteral("Cannot wait for datagrams: "));
            }
            if (waits[1].revents & POLLIN)
                m_wake.clear();
            if (m_stopping)
                return;
            const bool draining = m_draining;

            const qint64 rest = lastRound + GatheringNanoseconds - monotonicNanoseconds();
            if (rest > 0 && !draining) {
                const timespec restIn{0, long(rest)};
                ::nanosleep(&restIn, nullptr);
            }
            lastRound = monotonicNanoseconds();
            entries.clear();
            while (entries.size() < RoundEntries && m_queue.pop(datagram))
                entries.append(entryText(datagram));
            if (!entries.isEmpty()) {
                WriteFile(entries);
                m_entries.setCaption(QStringLiteral("KIVLogging - ") + m_clock.timestampNow());
                continue;
            }
            if (const auto failure = m_queue.failure())
                throw *failure;
            if (rowsWait)
                insertRows();
            if (draining && m_database.waitingRows() == 0)
                break;
            // The wait for a lock starts once everything received has its line.
            if (draining && !drained.isValid())
                drained.start();
            if (draining && drained.elapsed() >= StopWaitMilliseconds) {
                throw Failure(SQLITE_BUSY,
                              QStringLiteral("Cannot insert into KIVData in %1: another program "
                                             "held a lock on it until the stop had waited %2 s")
                                  .arg(m_database.path())
                                  .arg(StopWaitMilliseconds / 1000));
            }
        }
    } catch (const Failure &failure) {
        m_finished(failure);
        return;
    } catch (const std::exception &error) {
        m_finished(
            Failure(-1, QStringLiteral("Cannot record: ") + QString::fromLocal8Bit(error.what())));
        return;
    }
    m_finished(std::nullopt);
}
