// The trials of how late entries come where a reader sees them: rows during a flood, the
// window's list and its paints, mylog.txt while Log.mdb is locked.
#include "Trials.h"

#include "Display.h"
#include "Probes.h"
#include "Receiver.h"
#include "Traffic.h"

#include <algorithm>

// Each row's latency is the time of the poll that first saw it, every 5 ms through a read-only
// connection of the bench's own, less its sending time.
FloodResult floodTrial(const Bench &bench, const Build &build)
{
    const int seconds = bench.settings.floodSeconds;
    FloodResult result;
    Receiver window(bench.tools, Kind::Window, &build);
    if (!window.listening() || window.readLine(30) != "ready") {
        result.note = QStringLiteral("the window did not start");
        return result;
    }
    const long count = long(FloodRate * seconds);
    Database rows(window.file(QStringLiteral("Log.mdb")));
    Numbers seen(count);
    std::vector<double> latencies;
    latencies.reserve(size_t(count));
    const qint64 floodStart = monotonicNs();
    window.tell("start " + QByteArray::number(floodStart));
    Sender sender(bench.tools, LoggerPort, count, FloodRate);
    qint64 lastId = 0;
    qint64 lastRow = floodStart;
    bool flooding = true;
    QByteArray ages;
    while (window.running() && secondsSince(floodStart) < 3 * seconds + 30) {
        const qint64 poll = monotonicNs();
        rows.each("select ID, LogText from KIVData where ID > ?1", lastId,
                  [&](qint64 id, const char *text) {
                      lastId = id;
                      if (const long number = seen.add(text)) {
                          latencies.push_back(double(poll - seen.sentAt(number)) / 1e6);
                          lastRow = monotonicNs();
                      }
                  });
        if (flooding && sender.wait(0)) {
            flooding = false;
            lastRow = monotonicNs();
            window.tell("done");
        }
        if (const QByteArray line = window.readLine(0.005); line.startsWith("list-age-ms"))
            ages = line;
        if (!ages.isEmpty() &&
            (seen.distinct() == count || (!flooding && secondsSince(lastRow) > 5)))
            break;
    }
    result.dropped = window.drops();
    const QList<QByteArray> words = ages.split(' ');
    if (words.size() > 3) {
        result.listP99 = words[1].toDouble();
        result.listMax = words[2].toDouble();
        result.listSamples = words[3].toLong();
    }
    result.rowMax =
        latencies.empty() ? qQNaN() : *std::max_element(latencies.begin(), latencies.end());
    result.rowsMissing = count - seen.distinct();
    // A row that never came is later than any: past 1 % of them the p99 is lost too.
    latencies.insert(latencies.end(), size_t(result.rowsMissing), qInf());
    result.rowP99 = percentile99(latencies);
    return result;
}

// Each entry's paint latency is the end of the first paint that showed it, or a newer entry,
// less its sending time (from mylog.txt).
PaintResult paintTrial(const Bench &bench, const Build &build, const Display &display)
{
    constexpr double Rate = 100;
    constexpr long WarmUp = 100;
    const long count = long(Rate * bench.settings.paintSeconds);
    PaintResult result;
    Receiver window(bench.tools, Kind::Window, &build, Privilege::None, display.name());
    if (!display.valid() || !window.listening() || window.readLine(30) != "ready") {
        result.note = QStringLiteral("the window did not start");
        return result;
    }
    send(bench.tools, LoggerPort, WarmUp, 1000, QStringLiteral("w"));
    window.waitForLines(WarmUp, 2, 10);
    window.tell("start " + QByteArray::number(monotonicNs()));
    send(bench.tools, LoggerPort, count, Rate);
    window.waitForLines(WarmUp + count, 3, 30);
    // The list may show an entry well after it is written: the answer waits for the last.
    const Numbers sent = window.lineNumbers(count);
    long last = count;
    while (last > 1 && sent.sentAt(last) < 0)
        --last;
    window.tell("done " + QByteArray::number(sent.sentAt(last)));
    QByteArray line;
    while (!(line = window.readLine(10)).isEmpty() && !line.startsWith("paints")) {
    }
    // Each paint's end and the newest entry it drew; from here on the newest drawn yet.
    std::vector<std::pair<qint64, qint64>> paints;
    const QList<QByteArray> words = line.split(' ');
    for (qsizetype i = 1; i + 1 < words.size(); i += 2)
        paints.emplace_back(
            words[i].toLongLong(),
            std::max(words[i + 1].toLongLong(), paints.empty() ? 0 : paints.back().second));
    if (paints.empty()) {
        result.note = QStringLiteral("no paints stamped");
        return result;
    }
    std::vector<double> latencies;
    for (long number = 1; number <= count; ++number) {
        const qint64 at = sent.sentAt(number);
        const auto shown =
            std::lower_bound(paints.begin(), paints.end(), at,
                             [](const auto &paint, qint64 time) { return paint.second < time; });
        latencies.push_back(at < 0 || shown == paints.end() ? qInf()
                                                            : double(shown->first - at) / 1e6);
    }
    result.unpainted = long(std::count(latencies.begin(), latencies.end(), qInf()));
    result.max = *std::max_element(latencies.begin(), latencies.end());
    result.p99 = percentile99(latencies);
    return result;
}

bool LockResult::met() const
{
    return started && locked && samples > 0 && worstMissing == 0 && lines == count &&
           rows == count && inOrder && endedAfter < 0 && exitCode == 0;
}

// A 1k/s stream, and 2 s into it a write transaction of the bench's own on Log.mdb, as an
// sqlite3 shell in one holds it, for `hold` seconds, then rolled back. Meanwhile mylog.txt is
// sampled: each entry sent over 1 s before should be in it. Afterwards every row should
// come, in order.
LockResult lockTrial(const Bench &bench, const Build &build, double hold)
{
    constexpr double Rate = 1000;
    constexpr double Lead = 2;
    constexpr double Tail = 3;
    LockResult result;
    result.hold = hold;
    result.count = long(Rate * (Lead + hold + Tail));
    Receiver logger(bench.tools, Kind::Logger, &build);
    if (!logger.listening())
        return result;
    result.started = true;
    const int said = int(logger.messages().size());
    qint64 sendStart = monotonicNs();
    Sender sender(bench.tools, LoggerPort, result.count, Rate);
    logger.waitForEnd(Lead);
    {
        Database lock(logger.file(QStringLiteral("Log.mdb")), SQLITE_OPEN_READWRITE);
        result.locked =
            lock.exec("begin immediate; "
                      "insert into KIVData (LogDate, LogText) values ('bench', 'lock')");
        const qint64 lockStart = monotonicNs();
        for (int sample = 1; sample <= LockSamples && logger.running(); ++sample) {
            const double due = hold * sample / LockSamples - 0.05;
            if (logger.waitForEnd(std::max(0.0, due - secondsSince(lockStart))))
                break;
            const Numbers written = logger.lineNumbers(result.count);
            // The sender's own clock for its first datagram, once that is written.
            if (written.sentAt(1) > 0)
                sendStart = written.sentAt(1);
            const long sentBefore =
                long(double(monotonicNs() - sendStart - 1000000000) * Rate / 1e9) + 1;
            result.worstMissing = std::max(result.worstMissing,
                                           written.missingUpTo(std::min(sentBefore, result.count)));
            ++result.samples;
        }
        if (!logger.running())
            result.endedAfter = secondsSince(lockStart);
        lock.exec("rollback");
    }
    if (logger.running()) {
        sender.wait(hold + Tail + 30);
        logger.waitForLines(result.count, 10, 60);
        const qint64 start = monotonicNs();
        while (logger.running() && logger.rowsHolding(result.count) < result.count &&
               secondsSince(start) < 60)
            logger.waitForEnd(0.2);
    } else {
        sender.kill();
    }
    result.lines = logger.linesHolding(result.count);
    long previous = 0;
    result.inOrder = true;
    Database(logger.file(QStringLiteral("Log.mdb")))
        .each("select ID, LogText from KIVData where ID > ?1 order by ID", 0,
              [&](qint64, const char *text) {
                  const long number = std::atol(text);
                  result.inOrder = result.inOrder && number == previous + 1;
                  previous = number;
                  ++result.rows;
              });
    result.inOrder = result.inOrder && result.rows > 0;
    if (logger.running()) {
        result.exitCode = logger.terminate(60);
    } else {
        if (result.endedAfter < 0)
            result.endedAfter = hold;
        result.exitCode = logger.exitCode();
    }
    const QStringList messages = logger.messages();
    // What it said of the lock; its start may come out late.
    for (int i = said; i < messages.size(); ++i) {
        if (!messages[i].contains(QStringLiteral("priority")) &&
            !messages[i].contains(QStringLiteral("listening on")))
            result.messages.append(messages[i].trimmed());
    }
    return result;
}
