// `make bench`: bursts on loopback against the built program, run headless in a temporary
// application directory with a fresh Log.mdb, beside a bare counting receiver and SQLite
// alone; prints a table of medians. Every figure comes from outside the program: sequence
// numbers in mylog.txt and in the rows, /proc for memory and descriptors.
//   kivbench [RUNS]

#include "Clock.h"
#include "DatabaseLog.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <sqlite3.h>
#include <sys/prctl.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace {

constexpr quint16 LoggerPort = 6177;

struct Tools
{
    QString program = QStringLiteral(KIV_PROGRAM);
    QString sender = QStringLiteral(KIV_SENDER);
    QString counter = QStringLiteral(KIV_COUNTER);
    QString stall = QStringLiteral(KIV_STALL);
    QString clamp = QStringLiteral(KIV_CLAMP);
};

// Children end with the runner, so an interrupted benchmark leaves no logger holding the port.
void endWithRunner(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

double median(std::vector<double> values)
{
    if (values.empty())
        return qQNaN();
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// A field of /proc/PID/status in KiB.
qint64 statusKiB(qint64 pid, const QByteArray &field)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

int openDescriptors(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                   .size());
}

// A plain SQLite connection, for preparing and reading back databases.
class Database
{
public:
    explicit Database(const QString &path, int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
    {
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_handle, flags, nullptr) !=
            SQLITE_OK)
            std::fprintf(stderr, "cannot open %s\n", qPrintable(path));
        sqlite3_busy_timeout(m_handle, 5000);
    }
    ~Database() { sqlite3_close_v2(m_handle); }
    bool exec(const QByteArray &sql)
    {
        return sqlite3_exec(m_handle, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    qint64 number(const char *sql)
    {
        sqlite3_stmt *statement = nullptr;
        qint64 value = -1;
        if (sqlite3_prepare_v2(m_handle, sql, -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        return value;
    }
    // Calls `row` with each value of the first column.
    void each(const char *sql, const std::function<void(const char *)> &row)
    {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(m_handle, sql, -1, &statement, nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW)
                row(reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)));
        }
        sqlite3_finalize(statement);
    }
    sqlite3 *handle() const { return m_handle; }

private:
    sqlite3 *m_handle = nullptr;
};

// Counts the burst's numbers ("0000000001 ...") in order; anything else is ignored.
struct Sequence
{
    long seen = 0;
    long last = 0;
    bool ordered = true;
    void add(const char *entry)
    {
        if (!entry || entry[0] < '0' || entry[0] > '9')
            return;
        const long number = std::strtol(entry, nullptr, 10);
        ordered = ordered && number > last;
        last = number;
        ++seen;
    }
};

struct Burst
{
    long count = 0;
    int size = 100;
    double rate = 0;
};

struct BurstResult
{
    double lostLog = 0;
    double lostRows = 0;
    bool ordered = false;
    double secondsToLastRow = 0;
    double rowsPerSecond = 0;
    double peakRssMiB = 0;
    double rss1kMiB = 0;
    double rssAfterMiB = 0;
    double fdsBefore = 0;
    double fdsAfter = 0;
    // What the program itself told on stderr of its losses.
    double told = 0;
};

QProcessEnvironment environment(const Tools &tools, bool stock)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (stock)
        env.insert(QStringLiteral("LD_PRELOAD"), tools.clamp);
    return env;
}

bool send(const Tools &tools, const Burst &burst, const QStringList &extra = {})
{
    QProcess sender;
    sender.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    endWithRunner(sender);
    sender.start(tools.sender,
                 QStringList{QString::number(LoggerPort), QString::number(burst.count),
                             QString::number(burst.size), QString::number(burst.rate)} +
                     extra);
    return sender.waitForFinished(-1) && sender.exitCode() == 0;
}

BurstResult runBurst(const Tools &tools, const Burst &burst, bool stock)
{
    BurstResult result;
    QTemporaryDir directory;
    const QString program = directory.filePath(QStringLiteral("kivlogging"));
    const QString databasePath = directory.filePath(QStringLiteral("Log.mdb"));
    QFile::copy(tools.program, program);
    Database(databasePath).exec(DatabaseLog::createTableStatement().toUtf8());

    QProcess logger;
    logger.setProcessEnvironment(environment(tools, stock));
    logger.setWorkingDirectory(directory.path());
    endWithRunner(logger);
    logger.start(program, {});
    if (!logger.waitForStarted())
        return result;
    const qint64 pid = logger.processId();
    QElapsedTimer waiting;
    waiting.start();
    while (!udpPortBound(LoggerPort) && waiting.elapsed() < 20000)
        QThread::msleep(20);

    Database rows(databasePath, SQLITE_OPEN_READONLY);
    const auto rowCount = [&] {
        return std::max<qint64>(0, rows.number("select max(ID) from KIVData"));
    };
    const auto waitForRows = [&](qint64 wanted, const QElapsedTimer &since, double *lastChange) {
        qint64 seen = -1;
        QElapsedTimer quiet;
        quiet.start();
        for (;;) {
            const qint64 now = rowCount();
            if (now != seen) {
                seen = now;
                quiet.start();
                if (lastChange)
                    *lastChange = double(since.nsecsElapsed()) / 1e9;
            }
            if (now >= wanted || quiet.elapsed() > 3000)
                return now;
            QThread::msleep(20);
        }
    };

    // 1k first: the memory and descriptors of a program that has seen some traffic.
    constexpr long WarmUp = 1000;
    send(tools, {WarmUp, burst.size, 20000}, {QStringLiteral("1"), QStringLiteral("w")});
    QElapsedTimer clock;
    clock.start();
    waitForRows(WarmUp, clock, nullptr);
    result.rss1kMiB = double(statusKiB(pid, "VmRSS")) / 1024;
    result.fdsBefore = openDescriptors(pid);

    QElapsedTimer sinceStart;
    sinceStart.start();
    send(tools, burst);
    double lastRow = 0;
    const qint64 recorded = waitForRows(WarmUp + burst.count, sinceStart, &lastRow) - WarmUp;
    result.secondsToLastRow = lastRow;
    result.rowsPerSecond = lastRow > 0 ? double(recorded) / lastRow : 0;
    result.rssAfterMiB = double(statusKiB(pid, "VmRSS")) / 1024;
    result.peakRssMiB = double(statusKiB(pid, "VmHWM")) / 1024;
    result.fdsAfter = openDescriptors(pid);

    logger.terminate();
    logger.waitForFinished(30000);
    static const QRegularExpression since(QStringLiteral("(\\d+) since start"));
    auto told = since.globalMatch(QString::fromLocal8Bit(logger.readAllStandardError()));
    while (told.hasNext())
        result.told = told.next().captured(1).toDouble();

    Sequence logged;
    QFile log(directory.filePath(QStringLiteral("mylog.txt")));
    if (log.open(QIODevice::ReadOnly)) {
        while (!log.atEnd()) {
            const QByteArray line = log.readLine();
            const int text = line.indexOf(": ");
            if (text >= 0)
                logged.add(line.constData() + text + 2);
        }
    }
    Sequence stored;
    rows.each("select LogText from KIVData order by ID",
              [&](const char *text) { stored.add(text); });
    result.lostLog = double(burst.count - logged.seen);
    result.lostRows = double(burst.count - stored.seen);
    result.ordered = logged.ordered && stored.ordered;
    return result;
}

// Datagrams the bare receiver lost of a burst at full speed.
double runCounter(const Tools &tools, const Burst &burst, bool stock)
{
    QProcess counter;
    counter.setProcessEnvironment(environment(tools, stock));
    endWithRunner(counter);
    counter.start(tools.counter, {QString::number(LoggerPort), QString::number(burst.count),
                                  QStringLiteral("1000")});
    if (!counter.waitForStarted() || !counter.waitForReadyRead(10000))
        return qQNaN();
    counter.readLine();
    send(tools, burst);
    counter.waitForFinished(-1);
    const QList<QByteArray> words = counter.readAll().simplified().split(' ');
    return double(burst.count - words.value(1).toLong());
}

// Rows per second of SQLite alone doing the logger's inserts: the same statement text, each
// committed by itself, in WAL mode with synchronous=NORMAL as the logger opens the file.
double sqliteCeiling(long rows, bool automaticCheckpoints)
{
    QTemporaryDir directory;
    Database database(directory.filePath(QStringLiteral("Log.mdb")));
    database.exec(DatabaseLog::createTableStatement().toUtf8());
    database.exec("pragma journal_mode=WAL;");
    database.exec("pragma synchronous=NORMAL;");
    if (!automaticCheckpoints)
        database.exec("pragma wal_autocheckpoint=0;");
    std::vector<QByteArray> statements;
    statements.reserve(size_t(rows));
    const QString stamp = timestampText(QDateTime::currentDateTime());
    for (long i = 1; i <= rows; ++i) {
        const QString entry =
            QStringLiteral("%1 ").arg(i, 10, 10, QLatin1Char('0')) + QString(88, QLatin1Char('x'));
        statements.push_back(DatabaseLog::insertStatement(stamp, entry));
    }
    QElapsedTimer timer;
    timer.start();
    for (const QByteArray &statement : statements)
        sqlite3_exec(database.handle(), statement.constData(), nullptr, nullptr, nullptr);
    return double(rows) / (double(timer.nsecsElapsed()) / 1e9);
}

// The longest time the event loop was away during the burst, and how often it was away over
// 50 ms.
std::pair<double, double> stallMilliseconds(const Tools &tools, const Burst &burst, bool stock)
{
    QProcess harness;
    harness.setProcessEnvironment(environment(tools, stock));
    // Its own loss report and Qt's notes would only clutter the table.
    harness.setStandardErrorFile(QProcess::nullDevice());
    endWithRunner(harness);
    harness.start(tools.stall,
                  {tools.sender, QString::number(burst.count), QString::number(burst.size)});
    harness.waitForFinished(-1);
    const QList<QByteArray> words = harness.readAll().simplified().split(' ');
    if (words.value(0) != "longest-away-ms")
        return {qQNaN(), qQNaN()};
    return {words.value(1).toDouble(), words.value(3).toDouble()};
}

QString figure(double value, int decimals = 0)
{
    return qIsNaN(value) ? QStringLiteral("-") : QString::number(value, 'f', decimals);
}

QString joined(const std::vector<double> &values, int decimals = 0)
{
    QStringList figures;
    for (const double value : values)
        figures.append(figure(value, decimals));
    return figures.join(QLatin1Char(' '));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const int runs = std::max(1, argc > 1 ? std::atoi(argv[1]) : 3);
    const Tools tools;
    if (udpPortBound(LoggerPort)) {
        std::fprintf(stderr, "UDP port %d is in use; the benchmark needs it.\n", LoggerPort);
        return 1;
    }
    const auto loadAverage = [] {
        QFile file(QStringLiteral("/proc/loadavg"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray("?");
    };
    std::printf("KIVLogging benchmark: median of %d run(s); loopback, UDP %d; %d CPU(s); load "
                "average at start %s\n",
                runs, LoggerPort, QThread::idealThreadCount(), loadAverage().constData());
    std::fflush(stdout);

    struct Case
    {
        const char *name;
        Burst burst;
    };
    const Case paced = {"1M x 100 B, paced 100k/s", {1000000, 100, 100000}};
    const std::vector<Case> fullSpeed = {
        {"200k x 100 B, full speed", {200000, 100, 0}},
        {"1M x 100 B, full speed", {1000000, 100, 0}},
        {"50k x 1400 B, full speed", {50000, 1400, 0}},
    };
    std::map<bool, double> lostAtFullSpeed, bareLost;
    std::map<bool, std::vector<double>> fullSpeedRuns;
    double lostPaced = 0;
    // The case the targets for losses and the recording rate are set on.
    const auto isMillionAtFullSpeed = [](const Burst &burst) {
        return burst.count == 1000000 && burst.rate == 0;
    };

    // SQLite alone, measured right after each 1M full-speed burst under the stock limit, so
    // that the ratio compares the logger with a ceiling of the same moment.
    constexpr long CeilingRows = 200000;
    std::vector<double> withCheckpoints, withoutCheckpoints, rateRatios;
    std::map<bool, double> recordingRate;
    for (const bool stock : {true, false}) {
        // The paced target is set for the stock limit only; the machine's limit spares it.
        std::vector<Case> cases = fullSpeed;
        if (stock)
            cases.push_back(paced);
        // Run by run, every case and then the bare counter, so that the counter and the
        // logger meet the same moods of the machine.
        std::vector<std::vector<BurstResult>> results(cases.size());
        std::vector<double> bare;
        for (int run = 0; run < runs; ++run) {
            for (size_t i = 0; i < cases.size(); ++i) {
                std::fprintf(stderr, "%s, run %d ...\n", cases[i].name, run + 1);
                results[i].push_back(runBurst(tools, cases[i].burst, stock));
                if (stock && isMillionAtFullSpeed(cases[i].burst)) {
                    std::fprintf(stderr, "SQLite alone, run %d ...\n", run + 1);
                    withCheckpoints.push_back(sqliteCeiling(CeilingRows, true));
                    withoutCheckpoints.push_back(sqliteCeiling(CeilingRows, false));
                    rateRatios.push_back(results[i].back().rowsPerSecond / withCheckpoints.back());
                }
            }
            std::fprintf(stderr, "bare counter, run %d ...\n", run + 1);
            bare.push_back(runCounter(tools, {1000000, 100, 0}, stock));
        }
        bareLost[stock] = median(bare);

        std::printf("\nReceive buffer: %s\n",
                    stock ? "stock limit (SO_RCVBUF clamped to 212992 by the preloaded shim)"
                          : "this machine's limit (net.core.rmem_max)");
        std::printf("%-26s %8s %9s %9s %6s %9s %8s %8s %7s %7s %7s\n", "burst", "lost log",
                    "lost rows", "told", "order", "s to last", "rows/s", "peak MiB", "RSS 1k",
                    "RSS end", "fds b/a");
        for (size_t i = 0; i < cases.size(); ++i) {
            const Case &c = cases[i];
            const auto field = [&](double BurstResult::*member) {
                std::vector<double> values;
                for (const BurstResult &r : results[i])
                    values.push_back(r.*member);
                return median(values);
            };
            bool ordered = true;
            for (const BurstResult &r : results[i])
                ordered = ordered && r.ordered;
            const double lostLog = field(&BurstResult::lostLog);
            const double lostRows = field(&BurstResult::lostRows);
            if (isMillionAtFullSpeed(c.burst)) {
                recordingRate[stock] = field(&BurstResult::rowsPerSecond);
                lostAtFullSpeed[stock] = lostRows;
                for (const BurstResult &r : results[i])
                    fullSpeedRuns[stock].push_back(r.lostRows);
            }
            if (c.burst.rate > 0)
                lostPaced = std::max(lostLog, lostRows);
            std::printf("%-26s %8s %9s %9s %6s %9s %8s %8s %7s %7s %3s/%-3s\n", c.name,
                        qPrintable(figure(lostLog)), qPrintable(figure(lostRows)),
                        qPrintable(figure(field(&BurstResult::told))), ordered ? "kept" : "BROKEN",
                        qPrintable(figure(field(&BurstResult::secondsToLastRow), 1)),
                        qPrintable(figure(field(&BurstResult::rowsPerSecond))),
                        qPrintable(figure(field(&BurstResult::peakRssMiB), 1)),
                        qPrintable(figure(field(&BurstResult::rss1kMiB), 1)),
                        qPrintable(figure(field(&BurstResult::rssAfterMiB), 1)),
                        qPrintable(figure(field(&BurstResult::fdsBefore))),
                        qPrintable(figure(field(&BurstResult::fdsAfter))));
        }
        std::printf("%-26s %8s   (bare recvmmsg counter, same limit, same runs)\n",
                    "1M x 100 B, full speed", qPrintable(figure(median(bare))));
        std::printf("  1M full speed, run by run: logger lost %s; bare counter lost %s\n",
                    qPrintable(joined(fullSpeedRuns[stock])), qPrintable(joined(bare)));
        std::fflush(stdout);
    }

    std::printf("\nSQLite alone, %ldk autocommitted inserts of the logger's statement text, "
                "right after each 1M full-speed burst (stock limit):\n"
                "  %s rows/s with SQLite's automatic checkpoints, %s rows/s with none "
                "(run by run: %s; %s)\n",
                CeilingRows / 1000, qPrintable(figure(median(withCheckpoints))),
                qPrintable(figure(median(withoutCheckpoints))), qPrintable(joined(withCheckpoints)),
                qPrintable(joined(withoutCheckpoints)));
    std::fflush(stdout);

    std::vector<double> stalls, longStalls;

    std::fprintf(stderr, "event loop probe ...\n");
    for (int run = 0; run < runs; ++run) {
        const auto [longest, over50] = stallMilliseconds(tools, {1000000, 100, 0}, true);
        stalls.push_back(longest);
        longStalls.push_back(over50);
        std::fprintf(stderr, "  run %d: %.1f ms, %.0f times over 50 ms\n", run + 1, longest,
                     over50);
    }
    const double rate = recordingRate[true];
    const double ratio = median(rateRatios);
    std::printf("Recording rate (1M full speed, stock limit, from the burst's start to the last "
                "row): %s rows/s; run by run %s of SQLite alone with checkpoints beside it, "
                "median %s; %s of the median without\n",
                qPrintable(figure(rate)), qPrintable(joined(rateRatios, 2)),
                qPrintable(figure(ratio, 2)),
                qPrintable(figure(rate / median(withoutCheckpoints), 2)));
    std::printf("\nLongest time the event loop was away during a 1M burst (stock limit): %s ms; "
                "away over 50 ms %s times (largest of the runs: %s ms)\n",
                qPrintable(figure(median(stalls), 1)), qPrintable(figure(median(longStalls))),
                qPrintable(figure(*std::max_element(stalls.begin(), stalls.end()), 1)));

    std::printf("\nAgainst the targets (stock limit):\n"
                "  1M paced at 100k/s: %s lost (target 0)\n"
                "  1M full speed: %s lost, %s times the bare counter's %s (target at most 1.5)\n"
                "  recording rate: %s of SQLite alone (target at least 0.8)\n"
                "  event loop away at most %s ms, in the worst run %s ms (target 50, never "
                "over)\n",
                qPrintable(figure(lostPaced)), qPrintable(figure(lostAtFullSpeed[true])),
                qPrintable(figure(lostAtFullSpeed[true] / std::max(1.0, bareLost[true]), 2)),
                qPrintable(figure(bareLost[true])), qPrintable(figure(ratio, 2)),
                qPrintable(figure(median(stalls), 1)),
                qPrintable(figure(*std::max_element(stalls.begin(), stalls.end()), 1)));
    std::printf("Load average at the end: %s\n", loadAverage().constData());
    return 0;
}
