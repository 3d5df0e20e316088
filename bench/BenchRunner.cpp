// `make bench`: measures the built program from outside, beside rsyslog and a bare counting
// receiver, with 100-byte datagrams on loopback under a stock receive buffer limit, and
// prints one table with the target beside each figure. Every figure is read from outside:
// sequence numbers in the text files and rows, /proc for CPU, memory, wake-ups and the
// kernel's drops. The logger binds UDP 6177, so run it where that port is free.
//   kivbench [--quick]

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <sqlite3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

namespace {

constexpr quint16 LoggerPort = 6177;
constexpr quint16 RsyslogPort = 6178;
constexpr int Size = 100;

struct Settings
{
    explicit Settings(bool quick)
        : quick(quick)
        , runs(quick ? 1 : 3)
        , floodSeconds(quick ? 10 : 60)
        , cpuSeconds(quick ? 3 : 10)
        , cpuMessages(quick ? 0 : 3000)
        , idleSeconds(quick ? 5 : 20)
    {}
    // At `rate`: long enough for cpuMessages, since a clock tick of 10 ms is 10 us a message
    // of 1000, as much as rsyslog's whole figure at 100/s.
    int cpuSecondsAt(double rate) const
    {
        return std::max(cpuSeconds, int(std::ceil(cpuMessages / rate)));
    }
    bool quick;
    int runs;
    int floodSeconds;
    int cpuSeconds;
    int cpuMessages;
    int idleSeconds;
};

struct Tools
{
    QString program = QStringLiteral(KIV_PROGRAM);
    QString schema = QStringLiteral(KIV_SCHEMA);
    QString sender = QStringLiteral(KIV_SENDER);
    QString counter = QStringLiteral(KIV_COUNTER);
    QString list = QStringLiteral(KIV_LIST);
    QString clamp = QStringLiteral(KIV_CLAMP);
    QString rsyslog = findRsyslog();

private:
    // A user's PATH may lack sbin, where Debian puts it.
    static QString findRsyslog()
    {
        const QString onPath = QStandardPaths::findExecutable(QStringLiteral("rsyslogd"));
        return onPath.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("rsyslogd"),
                                                                 {QStringLiteral("/usr/sbin")})
                                : onPath;
    }
};

qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

double secondsSince(qint64 start)
{
    return double(monotonicNs() - start) / 1e9;
}

// For measured intervals only (the time after a burst, an idle span); everything else waits
// for its condition.
void pause(double seconds)
{
    const qint64 due = monotonicNs() + qint64(seconds * 1e9);
    const timespec deadline{time_t(due / 1000000000), long(due % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// Children end with the runner, so an interrupted benchmark leaves no receiver on a port.
void endWithRunner(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

QProcessEnvironment stockEnvironment(const Tools &tools)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("LD_PRELOAD"), tools.clamp);
    return environment;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct PortSocket
{
    bool bound = false;
    qint64 drops = 0;
};

// The sockets bound to `port`, from the kernel's tables: the last column counts the datagrams
// it dropped for them.
PortSocket portSocket(quint16 port)
{
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    PortSocket socket;
    for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
        const QList<QByteArray> lines = readAll(QString::fromLatin1(table)).split('\n');
        for (const QByteArray &line : lines) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 12 && fields[1].endsWith(local)) {
                socket.bound = true;
                socket.drops += fields.last().toLongLong();
            }
        }
    }
    return socket;
}

// Whether loopback takes datagrams: a fresh network namespace starts with it down.
bool loopbackUp()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(LoggerPort);
    const bool up = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
    ::close(fd);
    return up;
}

// Process CPU time (user and system, all threads) in clock ticks.
qint64 cpuTicks(qint64 pid)
{
    const QByteArray stat = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields[11].toLongLong() + fields[12].toLongLong() : -1;
}

qint64 statusField(const QString &path, const QByteArray &field)
{
    for (const QByteArray &line : readAll(path).split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

double rssMiB(qint64 pid)
{
    return double(statusField(QStringLiteral("/proc/%1/status").arg(pid), "VmRSS")) / 1024;
}

// Every time one of the process's threads was switched out: each one a wake-up to come.
qint64 contextSwitches(qint64 pid)
{
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    qint64 sum = 0;
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString status = tasks + QLatin1Char('/') + task + QStringLiteral("/status");
        sum += statusField(status, "voluntary_ctxt_switches") +
               statusField(status, "nonvoluntary_ctxt_switches");
    }
    return sum;
}

// The receive buffer the kernel granted the socket on `port`, as ss shows it.
qint64 receiveBuffer(quint16 port)
{
    QProcess ss;
    ss.start(QStringLiteral("ss"),
             {QStringLiteral("-uanm"), QStringLiteral("sport = :%1").arg(port)});
    if (!ss.waitForFinished(10000))
        return -1;
    static const QRegularExpression buffer(QStringLiteral("rb(\\d+)"));
    const auto match = buffer.match(QString::fromLatin1(ss.readAllStandardOutput()));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// Which of the burst's numbers 1..count were seen, each once however often it comes.
class Numbers
{
public:
    explicit Numbers(long count)
        : m_seen(size_t(count) + 1)
    {}
    // `text` starts with the ten-digit number; warm-up entries (a letter first) do not count.
    void add(const char *text)
    {
        if (!text || text[0] < '0' || text[0] > '9')
            return;
        const long number = std::strtol(text, nullptr, 10);
        if (number >= 1 && number < long(m_seen.size()) && !m_seen[size_t(number)]) {
            m_seen[size_t(number)] = true;
            ++m_distinct;
        }
    }
    long distinct() const { return m_distinct; }

private:
    std::vector<bool> m_seen;
    long m_distinct = 0;
};

// Lines of a file that only grows, counted as they come.
class LineCounter
{
public:
    explicit LineCounter(QString path)
        : m_path(std::move(path))
    {}
    ~LineCounter()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    long count()
    {
        if (m_fd < 0)
            m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            return 0;
        static char buffer[1 << 20];
        ssize_t got;
        while ((got = ::read(m_fd, buffer, sizeof buffer)) > 0)
            m_lines += long(std::count(buffer, buffer + got, '\n'));
        return m_lines;
    }

private:
    QString m_path;
    int m_fd = -1;
    long m_lines = 0;
};

// A plain SQLite connection of the bench's own.
class Database
{
public:
    explicit Database(const QString &path, int flags = SQLITE_OPEN_READONLY)
    {
        sqlite3_open_v2(QFile::encodeName(path).constData(), &m_handle, flags, nullptr);
        sqlite3_busy_timeout(m_handle, 5000);
    }
    ~Database() { sqlite3_close_v2(m_handle); }
    bool exec(const QByteArray &sql)
    {
        return sqlite3_exec(m_handle, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    // Calls `row` with each row's ID and text of `sql`, which selects them, bound to `after`.
    void each(const char *sql, qint64 after, const std::function<void(qint64, const char *)> &row)
    {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(m_handle, sql, -1, &statement, nullptr) == SQLITE_OK) {
            sqlite3_bind_int64(statement, 1, after);
            while (sqlite3_step(statement) == SQLITE_ROW)
                row(sqlite3_column_int64(statement, 0),
                    reinterpret_cast<const char *>(sqlite3_column_text(statement, 1)));
        }
        sqlite3_finalize(statement);
    }

private:
    sqlite3 *m_handle = nullptr;
};

// An empty Log.mdb with the table the logger ships, as `make run` prepares it.
bool createDatabase(const Tools &tools, const QString &path)
{
    return Database(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE).exec(readAll(tools.schema));
}

void startSender(const Tools &tools,
                 QProcess &sender,
                 quint16 port,
                 long count,
                 double rate,
                 const QString &prefix = {})
{
    sender.setStandardErrorFile(QProcess::nullDevice());
    endWithRunner(sender);
    sender.start(tools.sender,
                 {QString::number(port), QString::number(count), QString::number(Size),
                  QString::number(rate, 'f', 0), QStringLiteral("1"), prefix});
}

// The rate the sender reached, from its last line.
double sentRate(QProcess &sender)
{
    static const QRegularExpression rate(QStringLiteral("\\((\\d+)/s\\)"));
    const auto match = rate.match(QString::fromLatin1(sender.readAllStandardOutput()));
    return match.hasMatch() ? match.captured(1).toDouble() : 0;
}

bool send(const Tools &tools, quint16 port, long count, double rate, const QString &prefix = {})
{
    QProcess sender;
    startSender(tools, sender, port, count, rate, prefix);
    return sender.waitForFinished(600000) && sender.exitCode() == 0;
}

enum class Kind { Logger, Rsyslog };

// A receiver under test, started in a temporary folder of its own under the stock buffer
// limit, and killed with the bench.
class Receiver
{
public:
    Receiver(const Tools &tools, Kind kind)
        : m_kind(kind)
        , m_lines(m_directory.filePath(kind == Kind::Logger ? QStringLiteral("mylog.txt")
                                                            : QStringLiteral("out.log")))
    {
        m_process.setProcessEnvironment(stockEnvironment(tools));
        m_process.setWorkingDirectory(m_directory.path());
        m_process.setStandardErrorFile(m_directory.filePath(QStringLiteral("stderr.txt")));
        endWithRunner(m_process);
        if (kind == Kind::Logger) {
            const QString program = m_directory.filePath(QStringLiteral("kivlogging"));
            if (!QFile::copy(tools.program, program) ||
                !createDatabase(tools, m_directory.filePath(QStringLiteral("Log.mdb"))))
                return;
            m_process.start(program, {});
        } else {
            // Its own instance: no system configuration, only UDP in and one file out, with
            // internal messages kept out of that file by a ruleset of the input's own.
            QFile configuration(m_directory.filePath(QStringLiteral("rsyslog.conf")));
            if (!configuration.open(QIODevice::WriteOnly))
                return;
            configuration.write(
                QStringLiteral("global(workDirectory=\"%1\" maxMessageSize=\"64k\")\n"
                               "module(load=\"imudp\")\n"
                               "template(name=\"raw\" type=\"string\" string=\"%rawmsg%\\n\")\n"
                               "ruleset(name=\"bench\") {\n"
                               "    action(type=\"omfile\" file=\"%2\" template=\"raw\")\n"
                               "}\n"
                               "input(type=\"imudp\" address=\"127.0.0.1\" port=\"%3\" "
                               "rcvbufSize=\"8m\" ruleset=\"bench\")\n")
                    .arg(m_directory.path(), m_directory.filePath(QStringLiteral("out.log")))
                    .arg(RsyslogPort)
                    .toUtf8());
            configuration.close();
            m_process.start(tools.rsyslog, {QStringLiteral("-n"), QStringLiteral("-f"),
                                            configuration.fileName(), QStringLiteral("-i"),
                                            m_directory.filePath(QStringLiteral("rsyslogd.pid"))});
        }
        if (!m_process.waitForStarted())
            return;
        const qint64 start = monotonicNs();
        while (secondsSince(start) < 30 && m_process.state() == QProcess::Running) {
            if (portSocket(port()).bound) {
                m_listening = true;
                return;
            }
            m_process.waitForFinished(20);
        }
        std::fprintf(stderr, "%s did not start listening:\n%s\n", qPrintable(name()),
                     readAll(m_directory.filePath(QStringLiteral("stderr.txt"))).constData());
    }
    ~Receiver()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    QString name() const
    {
        return m_kind == Kind::Logger ? QStringLiteral("logger") : QStringLiteral("rsyslog");
    }
    bool listening() const { return m_listening; }
    qint64 pid() const { return m_process.processId(); }
    quint16 port() const { return m_kind == Kind::Logger ? LoggerPort : RsyslogPort; }
    qint64 drops() const { return portSocket(port()).drops; }
    long lines() { return m_lines.count(); }

    // Waits until `wanted` lines are written, or none came for `quietSeconds`, or at most
    // `deadlineSeconds`.
    long waitForLines(long wanted, double quietSeconds, double deadlineSeconds)
    {
        const qint64 start = monotonicNs();
        qint64 lastChange = start;
        long seen = lines();
        while (seen < wanted && secondsSince(start) < deadlineSeconds &&
               secondsSince(lastChange) < quietSeconds && m_process.state() == QProcess::Running) {
            m_process.waitForFinished(20);
            const long now = lines();
            if (now != seen) {
                seen = now;
                lastChange = monotonicNs();
            }
        }
        return seen;
    }

    // How many of the numbers 1..count its text output holds; in mylog.txt after "<time>: ".
    long linesHolding(long count) const
    {
        Numbers numbers(count);
        QFile file(m_directory.filePath(m_kind == Kind::Logger ? QStringLiteral("mylog.txt")
                                                               : QStringLiteral("out.log")));
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        while (!file.atEnd()) {
            const QByteArray line = file.readLine();
            if (m_kind == Kind::Rsyslog) {
                numbers.add(line.constData());
            } else if (const char *text = std::strstr(line.constData(), ": ")) {
                numbers.add(text + 2);
            }
        }
        return numbers.distinct();
    }

    // How many of the numbers 1..count the logger's rows hold; rsyslog has none to hold.
    long rowsHolding(long count) const
    {
        if (m_kind != Kind::Logger)
            return count;
        Numbers numbers(count);
        Database(m_directory.filePath(QStringLiteral("Log.mdb")))
            .each("select ID, LogText from KIVData where ID > ?1", 0,
                  [&](qint64, const char *text) { numbers.add(text); });
        return numbers.distinct();
    }

    // Sends SIGTERM and waits for the end: the exit code and the seconds it took, or -1 when
    // it did not end within `deadlineSeconds` (and was killed) or crashed.
    int terminate(double deadlineSeconds, double *seconds = nullptr)
    {
        const qint64 start = monotonicNs();
        m_process.terminate();
        const bool ended = m_process.waitForFinished(int(deadlineSeconds * 1000));
        if (seconds)
            *seconds = secondsSince(start);
        if (!ended) {
            m_process.kill();
            m_process.waitForFinished();
            return -1;
        }
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

private:
    Kind m_kind;
    QTemporaryDir m_directory;
    QProcess m_process;
    LineCounter m_lines;
    bool m_listening = false;
};

struct DrainResult
{
    double delay = 0;
    qint64 delivered = -1;
    long lines = 0;
    long rows = 0;
    int exitCode = -1;
    double seconds = 0;
};

// 100k at full speed, then SIGTERM `delay` seconds after the sender is done.
DrainResult drainTrial(const Tools &tools, double delay)
{
    constexpr long Count = 100000;
    DrainResult result;
    result.delay = delay;
    Receiver logger(tools, Kind::Logger);
    if (!logger.listening() || !send(tools, LoggerPort, Count, 0))
        return result;
    pause(delay);
    // What the kernel delivered is known just before the signal: later drops are not its.
    result.delivered = Count - logger.drops();
    result.exitCode = logger.terminate(120, &result.seconds);
    result.lines = logger.linesHolding(Count);
    result.rows = logger.rowsHolding(Count);
    return result;
}

struct HoldResult
{
    double rate = 0;
    bool held = false;
    QString note;
    double rssBefore = 0;
    double rssAfter = 0;
};

// `rate` for `seconds`: held when every number is in the output (and the rows) and the output
// was never more than 5 s of traffic behind: a receiver that only catches up after the flood
// does not keep pace. Ends early once the kernel drops any or the output falls behind.
HoldResult holdTrial(const Tools &tools, Kind kind, double rate, int seconds)
{
    constexpr long WarmUp = 1000;
    HoldResult result;
    result.rate = rate;
    Receiver receiver(tools, kind);
    if (!receiver.listening()) {
        result.note = QStringLiteral("did not start");
        return result;
    }
    send(tools, receiver.port(), WarmUp, 10000, QStringLiteral("w"));
    receiver.waitForLines(WarmUp, 3, 20);
    const qint64 dropsBefore = receiver.drops();
    result.rssBefore = rssMiB(receiver.pid());

    const long count = long(rate * seconds);
    QProcess sender;
    startSender(tools, sender, receiver.port(), count, rate);
    const qint64 start = monotonicNs();
    const auto fail = [&](const QString &note) {
        sender.kill();
        sender.waitForFinished();
        result.note = note;
        return result;
    };
    while (!sender.waitForFinished(100)) {
        const double behind = rate * secondsSince(start) - double(receiver.lines() - WarmUp);
        if (receiver.drops() > dropsBefore)
            return fail(QStringLiteral("dropped by the kernel"));
        if (behind > 5 * rate)
            return fail(QStringLiteral("5 s behind"));
        if (secondsSince(start) > 2 * seconds + 10)
            return fail(QStringLiteral("sender hung"));
    }
    const double reached = sentRate(sender);
    receiver.waitForLines(WarmUp + count, 5, 5);
    const long missing =
        count - std::min(receiver.linesHolding(count), receiver.rowsHolding(count));
    const qint64 dropped = receiver.drops() - dropsBefore;
    result.rssAfter = rssMiB(receiver.pid());
    // A sender that fell short did not offer the rate.
    result.held = missing == 0 && reached >= 0.97 * rate;
    if (dropped > 0)
        result.note = QStringLiteral("%1 dropped by the kernel").arg(dropped);
    else if (missing > 0)
        result.note = QStringLiteral("%1 missing 5 s after").arg(missing);
    if (reached < 0.97 * rate)
        result.note += QStringLiteral(" (sender reached %1/s only)").arg(reached, 0, 'f', 0);
    return result;
}

// Steps the rate up by doubling from 12.5k/s (down by halving if that fails), then bisects
// between the highest held and the lowest failed until they are within 10 %.
class RateSearch
{
public:
    static constexpr double Start = 12500;
    static constexpr double Highest = 400000;
    static constexpr double Lowest = 1000;

    bool done() const
    {
        if (m_held > 0 && m_failed > 0)
            return m_failed <= 1.1 * m_held;
        return m_held >= Highest || (m_failed > 0 && m_failed <= Lowest);
    }
    double next() const
    {
        if (m_held == 0)
            return m_failed == 0 ? Start : m_failed / 2;
        if (m_failed == 0)
            return std::min(Highest, m_held * 2);
        return std::round((m_held + m_failed) / 2 / 100) * 100;
    }
    void record(const HoldResult &trial)
    {
        if (trial.held && trial.rate > m_held) {
            m_held = trial.rate;
            m_best = trial;
        }
        if (!trial.held && (m_failed == 0 || trial.rate < m_failed))
            m_failed = trial.rate;
        m_trials.append(QStringLiteral("%1k %2")
                            .arg(trial.rate / 1000)
                            .arg(trial.held ? QStringLiteral("held") : trial.note)
                            .trimmed());
    }
    double held() const { return m_held; }
    // The trial at the highest rate held.
    const HoldResult &best() const { return m_best; }
    QString trials() const { return m_trials.join(QStringLiteral(", ")); }

private:
    double m_held = 0;
    double m_failed = 0;
    HoldResult m_best;
    QStringList m_trials;
};

struct FloodResult
{
    double rowP99 = qQNaN();
    double rowMax = qQNaN();
    long rowsMissing = 0;
    double listP99 = qQNaN();
    double listMax = qQNaN();
    long listSamples = 0;
    QString note;
};

double percentile99(std::vector<double> values)
{
    if (values.empty())
        return qQNaN();
    std::sort(values.begin(), values.end());
    return values[size_t(double(values.size() - 1) * 0.99)];
}

// `rate` for `seconds` into the real window in-process (bench_list), which samples its list;
// meanwhile a read-only connection of the bench's own polls new rows every 5 ms, each row's
// latency being the time of the poll that first saw it less its sending time.
FloodResult floodTrial(const Tools &tools, double rate, int seconds)
{
    FloodResult result;
    QTemporaryDir directory;
    if (!createDatabase(tools, directory.filePath(QStringLiteral("Log.mdb"))))
        return result;
    QProcess window;
    window.setProcessEnvironment(stockEnvironment(tools));
    window.setStandardErrorFile(directory.filePath(QStringLiteral("stderr.txt")));
    endWithRunner(window);
    window.start(tools.list, {directory.path(), QString::number(LoggerPort)});
    const qint64 start = monotonicNs();
    while (!window.canReadLine() && secondsSince(start) < 30 &&
           window.state() != QProcess::NotRunning)
        window.waitForReadyRead(100);
    if (window.readLine().trimmed() != "ready") {
        result.note = QStringLiteral("the window did not start");
        return result;
    }

    const long count = long(rate * seconds);
    Database rows(directory.filePath(QStringLiteral("Log.mdb")));
    Numbers seen(count);
    std::vector<double> latencies;
    latencies.reserve(size_t(count));
    QProcess sender;
    const qint64 floodStart = monotonicNs();
    window.write(QByteArray("start ") + QByteArray::number(floodStart) + '\n');
    startSender(tools, sender, LoggerPort, count, rate);
    qint64 lastId = 0;
    qint64 lastRow = floodStart;
    bool flooding = true;
    QByteArray ages;
    while (window.state() == QProcess::Running && secondsSince(floodStart) < 3 * seconds + 30) {
        const qint64 poll = monotonicNs();
        rows.each("select ID, LogText from KIVData where ID > ?1", lastId,
                  [&](qint64 id, const char *text) {
                      lastId = id;
                      const long before = seen.distinct();
                      seen.add(text);
                      if (seen.distinct() > before) {
                          const char *space = std::strchr(text, ' ');
                          latencies.push_back(
                              double(poll - (space ? std::atoll(space + 1) : poll)) / 1e6);
                          lastRow = monotonicNs();
                      }
                  });
        // Without an event loop the sender's end is only seen when asked for.
        if (flooding && sender.waitForFinished(0)) {
            flooding = false;
            lastRow = monotonicNs();
            window.write("done\n");
        }
        if (window.canReadLine())
            ages = window.readLine();
        if ((seen.distinct() == count && !ages.isEmpty()) ||
            (!flooding && secondsSince(lastRow) > 5 && !ages.isEmpty()))
            break;
        window.waitForReadyRead(5);
    }
    const qint64 dropped = portSocket(LoggerPort).drops;
    window.kill();
    window.waitForFinished();
    const QList<QByteArray> words = ages.simplified().split(' ');
    if (words.value(0) == "list-age-ms") {
        result.listP99 = words.value(1).toDouble();
        result.listMax = words.value(2).toDouble();
        result.listSamples = words.value(3).toLong();
    }
    result.rowMax =
        latencies.empty() ? qQNaN() : *std::max_element(latencies.begin(), latencies.end());
    result.rowsMissing = count - seen.distinct();
    // A row that never came is later than any: past 1 % of them the p99 is lost too.
    latencies.insert(latencies.end(), size_t(result.rowsMissing), qInf());
    result.rowP99 = percentile99(latencies);
    if (dropped > 0)
        result.note = QStringLiteral("kernel dropped %1").arg(dropped);
    return result;
}

// CPU per message in microseconds at a steady `rate` for `seconds`, counted until the last
// message is written.
double cpuPerMessage(const Tools &tools, Kind kind, double rate, int seconds)
{
    constexpr long WarmUp = 100;
    Receiver receiver(tools, kind);
    if (!receiver.listening())
        return qQNaN();
    send(tools, receiver.port(), WarmUp, 1000, QStringLiteral("w"));
    receiver.waitForLines(WarmUp, 2, 10);
    const qint64 before = cpuTicks(receiver.pid());
    const long count = long(rate * seconds);
    send(tools, receiver.port(), count, rate);
    if (receiver.waitForLines(WarmUp + count, 3, 60) < WarmUp + count)
        std::fprintf(stderr, "  %s wrote only %ld of %ld lines\n", qPrintable(receiver.name()),
                     receiver.lines() - WarmUp, count);
    const qint64 ticks = cpuTicks(receiver.pid()) - before;
    return double(ticks) * 1e6 / double(sysconf(_SC_CLK_TCK)) / double(count);
}

// Wake-ups of an idle logger over `seconds`, after a few messages and a short rest.
qint64 idleWakeUps(const Tools &tools, int seconds)
{
    Receiver logger(tools, Kind::Logger);
    if (!logger.listening())
        return -1;
    send(tools, LoggerPort, 100, 1000, QStringLiteral("w"));
    logger.waitForLines(100, 2, 10);
    pause(2);
    const qint64 before = contextSwitches(logger.pid());
    pause(seconds);
    return contextSwitches(logger.pid()) - before;
}

// Of 1M at full speed, how many never reached the logger's lines or rows.
long millionLost(const Tools &tools)
{
    constexpr long Count = 1000000;
    Receiver logger(tools, Kind::Logger);
    if (!logger.listening() || !send(tools, LoggerPort, Count, 0))
        return -1;
    logger.waitForLines(Count, 5, 300);
    return Count - std::min(logger.linesHolding(Count), logger.rowsHolding(Count));
}

// Of 1M at full speed, how many the bare counter lost, under the same limit.
long counterLost(const Tools &tools)
{
    constexpr long Count = 1000000;
    QProcess counter;
    counter.setProcessEnvironment(stockEnvironment(tools));
    endWithRunner(counter);
    counter.start(tools.counter,
                  {QString::number(LoggerPort), QString::number(Count), QStringLiteral("1000")});
    if (!counter.waitForStarted() || !counter.waitForReadyRead(10000))
        return -1;
    counter.readLine();
    send(tools, LoggerPort, Count, 0);
    counter.waitForFinished(60000);
    return Count - counter.readAll().simplified().split(' ').value(1).toLong();
}

QString figure(double value, int decimals = 0)
{
    if (qIsInf(value))
        return QStringLiteral("lost");
    return qIsNaN(value) ? QStringLiteral("-") : QString::number(value, 'f', decimals);
}

QString rateText(double rate)
{
    if (rate >= RateSearch::Highest)
        return QStringLiteral(">= %1/s").arg(rate, 0, 'f', 0);
    return rate > 0 ? QStringLiteral("%1/s").arg(rate, 0, 'f', 0) : QStringLiteral("none");
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("MISSED");
}

void row(const QString &what,
         const QString &logger,
         const QString &beside,
         const QString &target,
         const QString &result)
{
    std::printf("%-36s %-24s %-24s %-24s %s\n", qPrintable(what), qPrintable(logger),
                qPrintable(beside), qPrintable(target), qPrintable(result));
}

QByteArray loadAverage()
{
    return readAll(QStringLiteral("/proc/loadavg")).simplified().split(' ').mid(0, 3).join(' ');
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const Settings settings(application.arguments().contains(QStringLiteral("--quick")));
    const Tools tools;
    for (const quint16 port : {LoggerPort, RsyslogPort}) {
        if (portSocket(port).bound) {
            std::fprintf(stderr,
                         "UDP port %d is in use here; the logger always binds 6177 and rsyslog "
                         "gets 6178. Run the bench in a network namespace of its own:\n"
                         "  unshare -n sh -c 'ip link set lo up; make bench'\n",
                         port);
            return 1;
        }
    }
    if (!loopbackUp()) {
        std::fprintf(stderr, "Loopback is down; in a new network namespace: ip link set lo up\n");
        return 1;
    }
    if (tools.rsyslog.isEmpty()) {
        std::fprintf(stderr, "rsyslogd not found; `make bench` installs it.\n");
        return 1;
    }
    const qint64 benchStart = monotonicNs();
    const QByteArray loadAtStart = loadAverage();
    const auto progress = [&](const QString &what) {
        const int elapsed = int(secondsSince(benchStart));
        std::fprintf(stderr, "[%2d:%02d] %s\n", elapsed / 60, elapsed % 60, qPrintable(what));
    };

    std::vector<DrainResult> drains;
    for (int run = 1; run <= settings.runs; ++run) {
        for (const double delay : {0.0, 0.2, 1.0}) {
            progress(QStringLiteral("SIGTERM %1 s after 100k, run %2").arg(delay).arg(run));
            drains.push_back(drainTrial(tools, delay));
        }
    }

    std::vector<long> loggerLost, bareLost;
    for (int run = 1; run <= settings.runs; ++run) {
        progress(QStringLiteral("1M at full speed, logger and bare counter, run %1").arg(run));
        loggerLost.push_back(millionLost(tools));
        bareLost.push_back(counterLost(tools));
    }

    progress(QStringLiteral("idle for %1 s").arg(settings.idleSeconds));
    const qint64 wakeUps = idleWakeUps(tools, settings.idleSeconds);

    const std::vector<double> cpuRates = {100, 1000, 10000};
    std::vector<double> loggerCpu, rsyslogCpu;
    for (const double rate : cpuRates) {
        const int seconds = settings.cpuSecondsAt(rate);
        progress(QStringLiteral("CPU at %1/s, %2 s each").arg(rate).arg(seconds));
        loggerCpu.push_back(cpuPerMessage(tools, Kind::Logger, rate, seconds));
        rsyslogCpu.push_back(cpuPerMessage(tools, Kind::Rsyslog, rate, seconds));
    }
    qint64 loggerBuffer = -1, rsyslogBuffer = -1;
    {
        Receiver logger(tools, Kind::Logger);
        Receiver rsyslog(tools, Kind::Rsyslog);
        loggerBuffer = receiveBuffer(LoggerPort);
        rsyslogBuffer = receiveBuffer(RsyslogPort);
    }

    constexpr double FloodRate = 50000;
    progress(QStringLiteral("%1 s at 50k/s into the window").arg(settings.floodSeconds));
    const FloodResult flood = floodTrial(tools, FloodRate, settings.floodSeconds);

    // Trial by trial in turn, so that both meet the same moods of the machine.
    RateSearch loggerSearch, rsyslogSearch;
    while (!loggerSearch.done() || !rsyslogSearch.done()) {
        for (auto [search, kind] :
             {std::pair{&loggerSearch, Kind::Logger}, std::pair{&rsyslogSearch, Kind::Rsyslog}}) {
            if (search->done())
                continue;
            const double rate = search->next();
            progress(QStringLiteral("%1 at %2/s for %3 s")
                         .arg(kind == Kind::Logger ? "logger" : "rsyslog")
                         .arg(rate)
                         .arg(settings.floodSeconds));
            const HoldResult trial = holdTrial(tools, kind, rate, settings.floodSeconds);
            std::fprintf(stderr, "        %s %s\n",
                         trial.held ? "held" : "failed:", qPrintable(trial.note));
            search->record(trial);
        }
    }
    const int took = int(secondsSince(benchStart));
    progress(QStringLiteral("done"));

    QByteArray rsyslogVersion;
    {
        QProcess version;
        version.start(tools.rsyslog, {QStringLiteral("-v")});
        version.waitForFinished(10000);
        rsyslogVersion = version.readLine().simplified().split(' ').mid(0, 2).join(' ');
    }
    utsname system{};
    uname(&system);
    std::printf("\nKIVLogging benchmark%s: %d-s floods, %d run(s) of the short cases, %d B "
                "datagrams on loopback, took %d min %d s\n",
                settings.quick ? " (quick)" : "", settings.floodSeconds, settings.runs, Size,
                took / 60, took % 60);
    std::printf("Machine: %d CPUs, Linux %s, %s; load average %s at the start, %s at the end\n",
                QThread::idealThreadCount(), system.release, rsyslogVersion.constData(),
                loadAtStart.constData(), loadAverage().constData());
    std::printf("Receive buffers at the stock limit (rmem_max here %s, clamped to 212992 by the "
                "preload): logger %lld B, rsyslog %lld B granted\n\n",
                readAll(QStringLiteral("/proc/sys/net/core/rmem_max")).trimmed().constData(),
                loggerBuffer, rsyslogBuffer);

    row(QStringLiteral("what"), QStringLiteral("logger"), QStringLiteral("beside it"),
        QStringLiteral("target"), QString());
    std::printf("SIGTERM after 100k at full speed: lines/rows, exit status, signal to exit\n");
    for (size_t i = 0; i < drains.size(); ++i) {
        const DrainResult &d = drains[i];
        const bool met =
            d.delivered >= 0 && d.lines == d.delivered && d.rows == d.delivered && d.exitCode == 0;
        row(QStringLiteral("  %1 s after, run %2").arg(d.delay).arg(i / 3 + 1),
            QStringLiteral("%1/%2, %3, %4 s")
                .arg(d.lines)
                .arg(d.rows)
                .arg(d.exitCode)
                .arg(d.seconds, 0, 'f', 2),
            QStringLiteral("delivered %1").arg(d.delivered),
            QStringLiteral("all delivered, exit 0"), verdict(met));
    }

    const double rateRatio =
        rsyslogSearch.held() > 0 ? loggerSearch.held() / rsyslogSearch.held() : qQNaN();
    row(QStringLiteral("Highest rate held %1 s, zero loss").arg(settings.floodSeconds),
        rateText(loggerSearch.held()),
        QStringLiteral("rsyslog %1").arg(rateText(rsyslogSearch.held())),
        QStringLiteral(">= 2.5x rsyslog, 100k/s"),
        QStringLiteral("%1, %2x")
            .arg(verdict(rateRatio >= 2.5 && loggerSearch.held() >= 100000))
            .arg(figure(rateRatio, 2)));
    std::printf("  logger trials: %s\n  rsyslog trials: %s\n"
                "  (held: every number recorded, never 5 s behind; doubling from 12.5k/s, then "
                "bisecting to within 10 %%)\n",
                qPrintable(loggerSearch.trials()), qPrintable(rsyslogSearch.trials()));
    const HoldResult &best = loggerSearch.best();
    row(QStringLiteral("RSS before/after %1 s at %2")
            .arg(settings.floodSeconds)
            .arg(rateText(best.rate)),
        QStringLiteral("%1/%2 MiB").arg(figure(best.rssBefore, 1), figure(best.rssAfter, 1)),
        QString(), QStringLiteral("within 10 MiB"),
        verdict(best.held && std::abs(best.rssAfter - best.rssBefore) <= 10));

    std::printf("During %d s at 50k/s (the window in-process)%s%s\n", settings.floodSeconds,
                flood.note.isEmpty() ? "" : ": ", qPrintable(flood.note));
    row(QStringLiteral("  send to row readable, p99/max"),
        QStringLiteral("%1/%2 ms").arg(figure(flood.rowP99), figure(flood.rowMax)),
        QStringLiteral("%1 rows missing").arg(flood.rowsMissing), QStringLiteral("p99 <= 250 ms"),
        verdict(flood.rowP99 <= 250));
    row(QStringLiteral("  list's newest entry age, p99/max"),
        QStringLiteral("%1/%2 ms").arg(figure(flood.listP99), figure(flood.listMax)),
        QStringLiteral("%1 samples").arg(flood.listSamples), QStringLiteral("max <= 250 ms"),
        verdict(flood.listSamples > 0 && flood.listMax <= 250));

    std::printf("CPU per message, each alone at a steady rate\n");
    for (size_t i = 0; i < cpuRates.size(); ++i) {
        const double ratio = loggerCpu[i] / rsyslogCpu[i];
        row(QStringLiteral("  %1/s for %2 s").arg(cpuRates[i]).arg(settings.cpuSecondsAt(cpuRates[i])),
            QStringLiteral("%1 us").arg(figure(loggerCpu[i], 1)),
            QStringLiteral("rsyslog %1 us").arg(figure(rsyslogCpu[i], 1)),
            QStringLiteral("<= 3x rsyslog"),
            QStringLiteral("%1, %2x").arg(verdict(ratio <= 3), figure(ratio, 1)));
    }
    row(QStringLiteral("Idle wake-ups over %1 s").arg(settings.idleSeconds),
        QString::number(wakeUps), QString(), QStringLiteral("0"), verdict(wakeUps == 0));

    QStringList loggerRuns, bareRuns;
    for (size_t i = 0; i < loggerLost.size(); ++i) {
        loggerRuns.append(QString::number(loggerLost[i]));
        bareRuns.append(QString::number(bareLost[i]));
    }
    const auto median = [](std::vector<long> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    row(QStringLiteral("1M at full speed, lost (run by run)"), loggerRuns.join(' '),
        QStringLiteral("counter %1").arg(bareRuns.join(' ')), QStringLiteral("<= the counter's"),
        verdict(median(loggerLost) >= 0 && median(loggerLost) <= median(bareLost)));
    return 0;
}
