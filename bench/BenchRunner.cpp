// `make bench`: measures the built program from outside, beside rsyslog and a bare counting
// receiver, with 100-byte datagrams on loopback under a stock receive buffer limit, and
// prints one table with the target beside each figure. Every figure is read from outside:
// sequence numbers in the text files and rows, /proc for CPU, memory, wake-ups and the
// kernel's drops. The logger (and the bare counter) run as nobody without capabilities, as on
// a desktop, but for the one row that grants CAP_SYS_NICE; so the bench needs root. With a
// baseline build given, each logger row runs both builds in turn. The logger binds UDP 6177,
// so run it where that port is free.
//   kivbench [--quick] [--baseline-program PATH --baseline-list PATH [--baseline-name NAME]]

#include "Probes.h"
#include "Records.h"
#include "Unprivileged.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <sys/prctl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
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
        , lockSeconds{2, quick ? 10.0 : 60.0}
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
    std::vector<double> lockSeconds;
};

// One build of the logger: the program and the window in-process (bench_list).
struct Build
{
    QString name;
    QString program;
    QString list;
};

struct Tools
{
    QString schema = QStringLiteral(KIV_SCHEMA);
    QString sender = QStringLiteral(KIV_SENDER);
    QString counter = QStringLiteral(KIV_COUNTER);
    QString clamp = QStringLiteral(KIV_CLAMP);
    QString rsyslog = findRsyslog();
    // This build first; then the baseline, if given.
    std::vector<Build> builds{{QStringLiteral("new"), QStringLiteral(KIV_PROGRAM),
                               QStringLiteral(KIV_LIST)}};

    bool withBaseline() const { return builds.size() > 1; }

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

// What /proc showed of the first logger run each way, for the table's header.
QString plainCredentials, niceCredentials;

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

// A temporary folder of the bench user's for one process run as that user, holding copies of
// what it runs and of the preload: nothing in the build's folder need be readable to it.
class Sandbox
{
public:
    explicit Sandbox(const Tools &tools)
        : m_valid(m_directory.isValid() && QFile::copy(tools.clamp, file(QStringLiteral("clamp.so"))))
    {}
    QString path() const { return m_directory.path(); }
    QString file(const QString &name) const { return m_directory.filePath(name); }
    // A copy of `program` as `name` in the folder, or empty.
    QString copy(const QString &program, const QString &name)
    {
        m_valid = m_valid && QFile::copy(program, file(name));
        return m_valid ? file(name) : QString();
    }
    // Offscreen, under the stock buffer limit, at home in the folder.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("LD_PRELOAD"), file(QStringLiteral("clamp.so")));
        environment.insert(QStringLiteral("HOME"), path());
        environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        return environment;
    }
    // Once everything is in place: the folder and its files become the bench user's.
    bool handOver() { return m_valid = m_valid && giveToBenchUser(path()); }
    bool valid() const { return m_valid; }

private:
    QTemporaryDir m_directory;
    bool m_valid;
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
// limit, and killed with the bench. The logger runs as the bench user; rsyslog as the bench.
class Receiver
{
public:
    Receiver(const Tools &tools,
             Kind kind,
             const Build *build = nullptr,
             Privilege privilege = Privilege::None)
        : m_kind(kind)
        , m_sandbox(tools)
        , m_lines(m_sandbox.file(kind == Kind::Logger ? QStringLiteral("mylog.txt")
                                                      : QStringLiteral("out.log")))
    {
        m_process.setProcessEnvironment(m_sandbox.environment());
        m_process.setWorkingDirectory(m_sandbox.path());
        m_process.setStandardErrorFile(file(QStringLiteral("stderr.txt")));
        if (kind == Kind::Logger) {
            const QString program = m_sandbox.copy(build->program, QStringLiteral("kivlogging"));
            if (program.isEmpty() || !createDatabase(tools, file(QStringLiteral("Log.mdb"))) ||
                !m_sandbox.handOver())
                return;
            runUnprivileged(m_process, privilege);
            m_process.start(program, {});
        } else {
            // Its own instance: no system configuration, only UDP in and one file out, with
            // internal messages kept out of that file by a ruleset of the input's own.
            QFile configuration(file(QStringLiteral("rsyslog.conf")));
            if (!m_sandbox.valid() || !configuration.open(QIODevice::WriteOnly))
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
                    .arg(m_sandbox.path(), file(QStringLiteral("out.log")))
                    .arg(RsyslogPort)
                    .toUtf8());
            configuration.close();
            endWithRunner(m_process);
            m_process.start(tools.rsyslog,
                            {QStringLiteral("-n"), QStringLiteral("-f"), configuration.fileName(),
                             QStringLiteral("-i"), file(QStringLiteral("rsyslogd.pid"))});
        }
        if (!m_process.waitForStarted())
            return;
        const qint64 start = monotonicNs();
        while (secondsSince(start) < 30 && running()) {
            if (portSocket(port()).bound) {
                m_listening = true;
                if (kind == Kind::Logger) {
                    QString &seen =
                        privilege == Privilege::None ? plainCredentials : niceCredentials;
                    if (seen.isEmpty())
                        seen = credentials(pid());
                }
                return;
            }
            m_process.waitForFinished(20);
        }
        std::fprintf(stderr, "%s did not start listening:\n%s\n", qPrintable(name()),
                     readAll(file(QStringLiteral("stderr.txt"))).constData());
    }
    ~Receiver()
    {
        if (running()) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    QString name() const
    {
        return m_kind == Kind::Logger ? QStringLiteral("logger") : QStringLiteral("rsyslog");
    }
    QString file(const QString &name) const { return m_sandbox.file(name); }
    bool listening() const { return m_listening; }
    bool running() const { return m_process.state() == QProcess::Running; }
    qint64 pid() const { return m_process.processId(); }
    quint16 port() const { return m_kind == Kind::Logger ? LoggerPort : RsyslogPort; }
    qint64 drops() const { return portSocket(port()).drops; }
    long lines() { return m_lines.count(); }
    // Waits at most `seconds` for it to end by itself; whether it did.
    bool waitForEnd(double seconds) { return m_process.waitForFinished(int(seconds * 1000)); }
    int exitCode() const
    {
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    // What it said on stderr, line by line.
    QStringList messages() const
    {
        return QString::fromUtf8(readAll(file(QStringLiteral("stderr.txt"))))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    // The line naming the priority the reader got, or empty.
    QString priorityLine() const
    {
        const QStringList said = messages().filter(QStringLiteral("priority"));
        return said.isEmpty() ? QString() : said.first().trimmed();
    }

    // Waits until `wanted` lines are written, or none came for `quietSeconds`, or at most
    // `deadlineSeconds`.
    long waitForLines(long wanted, double quietSeconds, double deadlineSeconds)
    {
        const qint64 start = monotonicNs();
        qint64 lastChange = start;
        long seen = lines();
        while (seen < wanted && secondsSince(start) < deadlineSeconds &&
               secondsSince(lastChange) < quietSeconds && running()) {
            m_process.waitForFinished(20);
            const long now = lines();
            if (now != seen) {
                seen = now;
                lastChange = monotonicNs();
            }
        }
        return seen;
    }

    // Which of the numbers 1..count its text output holds; in mylog.txt after "<time>: ".
    // `firstSent` gets the sending time of number 1, if it is there.
    Numbers lineNumbers(long count, qint64 *firstSent = nullptr) const
    {
        Numbers numbers(count);
        QFile text(file(m_kind == Kind::Logger ? QStringLiteral("mylog.txt")
                                               : QStringLiteral("out.log")));
        if (!text.open(QIODevice::ReadOnly))
            return numbers;
        while (!text.atEnd()) {
            const QByteArray line = text.readLine();
            const char *entry = line.constData();
            if (m_kind == Kind::Logger) {
                entry = std::strstr(entry, ": ");
                entry = entry ? entry + 2 : nullptr;
            }
            if (numbers.add(entry) == 1 && firstSent) {
                if (const char *space = std::strchr(entry, ' '))
                    *firstSent = std::atoll(space + 1);
            }
        }
        return numbers;
    }
    long linesHolding(long count) const { return lineNumbers(count).distinct(); }

    // How many of the numbers 1..count the logger's rows hold; rsyslog has none to hold.
    long rowsHolding(long count) const
    {
        if (m_kind != Kind::Logger)
            return count;
        Numbers numbers(count);
        Database(file(QStringLiteral("Log.mdb")))
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
        return exitCode();
    }

private:
    Kind m_kind;
    Sandbox m_sandbox;
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
    bool met() const
    {
        return delivered >= 0 && lines == delivered && rows == delivered && exitCode == 0;
    }
};

// 100k at full speed, then SIGTERM `delay` seconds after the sender is done.
DrainResult drainTrial(const Tools &tools, const Build &build, double delay)
{
    constexpr long Count = 100000;
    DrainResult result;
    result.delay = delay;
    Receiver logger(tools, Kind::Logger, &build);
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
    double rssBefore = qQNaN();
    double rssAfter = qQNaN();
};

// `rate` for `seconds`: held when every number is in the output (and the rows) and the output
// was never more than 5 s of traffic behind: a receiver that only catches up after the flood
// does not keep pace. Ends early once the kernel drops any or the output falls behind.
HoldResult holdTrial(const Tools &tools, Kind kind, const Build *build, double rate, int seconds)
{
    constexpr long WarmUp = 1000;
    HoldResult result;
    result.rate = rate;
    Receiver receiver(tools, kind, build);
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
        receiver.waitForLines(WarmUp + count, 2, 5);
        result.rssAfter = rssMiB(receiver.pid());
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
    long rowsMissing = -1;
    qint64 dropped = -1;
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

// `rate` for `seconds` into the real window in-process (bench_list, as the bench user), which
// samples its list; meanwhile a read-only connection of the bench's own polls new rows every
// 5 ms, each row's latency being the time of the poll that first saw it less its sending time.
FloodResult floodTrial(const Tools &tools, const Build &build, double rate, int seconds)
{
    FloodResult result;
    Sandbox sandbox(tools);
    const QString list = sandbox.copy(build.list, QStringLiteral("bench_list"));
    if (list.isEmpty() || !createDatabase(tools, sandbox.file(QStringLiteral("Log.mdb"))) ||
        !sandbox.handOver()) {
        result.note = QStringLiteral("no folder for the window");
        return result;
    }
    QProcess window;
    window.setProcessEnvironment(sandbox.environment());
    window.setWorkingDirectory(sandbox.path());
    window.setStandardErrorFile(sandbox.file(QStringLiteral("stderr.txt")));
    runUnprivileged(window, Privilege::None);
    window.start(list, {sandbox.path(), QString::number(LoggerPort)});
    const qint64 start = monotonicNs();
    while (!window.canReadLine() && secondsSince(start) < 30 &&
           window.state() != QProcess::NotRunning)
        window.waitForReadyRead(100);
    if (window.readLine().trimmed() != "ready") {
        result.note = QStringLiteral("the window did not start");
        return result;
    }

    const long count = long(rate * seconds);
    Database rows(sandbox.file(QStringLiteral("Log.mdb")));
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
    result.dropped = portSocket(LoggerPort).drops;
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
    return result;
}

// Between two trials of one build the figure varies as much (10k/s, 3 s): within it, a
// build is no worse than another.
constexpr double CpuSpread = 0.1;

struct CpuResult
{
    double perMessage = qQNaN(); // microseconds
    double tick = qQNaN();       // one clock tick, in microseconds a message
};

// CPU per message at a steady `rate` for `seconds`, counted until the last message is
// written.
CpuResult cpuPerMessage(const Tools &tools, Kind kind, const Build *build, double rate, int seconds)
{
    constexpr long WarmUp = 100;
    CpuResult result;
    Receiver receiver(tools, kind, build);
    if (!receiver.listening())
        return result;
    send(tools, receiver.port(), WarmUp, 1000, QStringLiteral("w"));
    receiver.waitForLines(WarmUp, 2, 10);
    const qint64 before = cpuTicks(receiver.pid());
    const long count = long(rate * seconds);
    send(tools, receiver.port(), count, rate);
    if (receiver.waitForLines(WarmUp + count, 3, 60) < WarmUp + count)
        std::fprintf(stderr, "  %s wrote only %ld of %ld lines\n", qPrintable(receiver.name()),
                     receiver.lines() - WarmUp, count);
    const qint64 ticks = cpuTicks(receiver.pid()) - before;
    result.tick = 1e6 / double(sysconf(_SC_CLK_TCK)) / double(count);
    result.perMessage = double(ticks) * result.tick;
    return result;
}

// Wake-ups of an idle logger over `seconds`, after a few messages and a short rest.
qint64 idleWakeUps(const Tools &tools, const Build &build, int seconds)
{
    Receiver logger(tools, Kind::Logger, &build);
    if (!logger.listening())
        return -1;
    send(tools, LoggerPort, 100, 1000, QStringLiteral("w"));
    logger.waitForLines(100, 2, 10);
    pause(2);
    const qint64 before = contextSwitches(logger.pid());
    pause(seconds);
    return contextSwitches(logger.pid()) - before;
}

constexpr long Million = 1000000;

struct MillionResult
{
    long lost = -1;
    QString priority; // the line the logger said it on
};

// Of 1M at full speed, how many never reached the logger's lines or rows.
MillionResult millionLost(const Tools &tools, const Build &build, Privilege privilege)
{
    MillionResult result;
    Receiver logger(tools, Kind::Logger, &build, privilege);
    if (!logger.listening())
        return result;
    if (!send(tools, LoggerPort, Million, 0))
        return result;
    logger.waitForLines(Million, 5, 300);
    result.priority = logger.priorityLine();
    result.lost = Million - std::min(logger.linesHolding(Million), logger.rowsHolding(Million));
    return result;
}

// Of 1M at full speed, how many the bare counter lost, under the same limit, as the same
// user with the same privilege, at real-time priority beside a logger that may take it.
long counterLost(const Tools &tools, Privilege privilege)
{
    Sandbox sandbox(tools);
    const QString program = sandbox.copy(tools.counter, QStringLiteral("bench_counter"));
    if (program.isEmpty() || !sandbox.handOver())
        return -1;
    QProcess counter;
    counter.setProcessEnvironment(sandbox.environment());
    counter.setWorkingDirectory(sandbox.path());
    runUnprivileged(counter, privilege, privilege == Privilege::SysNice);
    counter.start(program,
                  {QString::number(LoggerPort), QString::number(Million), QStringLiteral("1000")});
    if (!counter.waitForStarted() || !counter.waitForReadyRead(10000))
        return -1;
    counter.readLine();
    send(tools, LoggerPort, Million, 0);
    counter.waitForFinished(60000);
    return Million - counter.readAll().simplified().split(' ').value(1).toLong();
}

// mylog.txt is looked at this often, evenly, while the lock is held.
constexpr int LockSamples = 4;

struct LockResult
{
    double hold = 0;
    bool started = false;
    bool locked = false;
    int samples = 0;
    long worstMissing = 0; // of the entries sent over 1 s before a sample, at the worst one
    long count = 0;
    long lines = 0;
    long rows = 0;
    bool inOrder = false;
    double endedAfter = -1; // seconds into the lock when the logger ended by itself
    int exitCode = -1;
    QStringList messages;
    bool met() const
    {
        return started && locked && samples > 0 && worstMissing == 0 && lines == count &&
               rows == count && inOrder && endedAfter < 0 && exitCode == 0;
    }
};

// A 1k/s stream, and 2 s into it a write transaction of the bench's own on Log.mdb, as an
// sqlite3 shell in one holds it, for `hold` seconds, then rolled back. Meanwhile mylog.txt is
// sampled: each entry sent over 1 s before should be in it. Afterwards every row should
// come, in order.
LockResult lockTrial(const Tools &tools, const Build &build, double hold)
{
    constexpr double Rate = 1000;
    constexpr double Lead = 2;
    constexpr double Tail = 3;
    LockResult result;
    result.hold = hold;
    result.count = long(Rate * (Lead + hold + Tail));
    Receiver logger(tools, Kind::Logger, &build);
    if (!logger.listening())
        return result;
    result.started = true;
    const int said = int(logger.messages().size());
    QProcess sender;
    qint64 sendStart = monotonicNs();
    startSender(tools, sender, LoggerPort, result.count, Rate);
    logger.waitForEnd(Lead);
    {
        Database lock(logger.file(QStringLiteral("Log.mdb")), SQLITE_OPEN_READWRITE);
        result.locked = lock.exec("begin immediate; "
                                  "insert into KIVData (LogDate, LogText) values ('bench', 'lock')");
        const qint64 lockStart = monotonicNs();
        for (int sample = 1; sample <= LockSamples && logger.running(); ++sample) {
            const double due = hold * sample / LockSamples - 0.05;
            if (logger.waitForEnd(std::max(0.0, due - secondsSince(lockStart))))
                break;
            // The sender's own clock for its first datagram, once that is written.
            const Numbers written = logger.lineNumbers(result.count, &sendStart);
            const long sentBefore = long(double(monotonicNs() - sendStart - 1000000000) * Rate / 1e9) + 1;
            result.worstMissing =
                std::max(result.worstMissing, written.missingUpTo(std::min(sentBefore, result.count)));
            ++result.samples;
        }
        if (!logger.running())
            result.endedAfter = secondsSince(lockStart);
        lock.exec("rollback");
    }
    if (logger.running()) {
        sender.waitForFinished(int((hold + Tail + 30) * 1000));
        logger.waitForLines(result.count, 10, 60);
        const qint64 start = monotonicNs();
        while (logger.running() && logger.rowsHolding(result.count) < result.count &&
               secondsSince(start) < 60)
            logger.waitForEnd(0.2);
    } else {
        sender.kill();
        sender.waitForFinished();
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

long median(std::vector<long> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QString joined(const std::vector<long> &values)
{
    QStringList parts;
    for (const long value : values)
        parts.append(QString::number(value));
    return parts.join(QLatin1Char(' '));
}

// The table: the new build's figure, the baseline's beside it when there is one.
class Table
{
public:
    explicit Table(bool withBaseline)
        : m_withBaseline(withBaseline)
    {}
    void row(const QString &what,
             const QString &logger,
             const QString &baseline,
             const QString &beside,
             const QString &target,
             const QString &result) const
    {
        if (m_withBaseline)
            std::printf("%-36s %-26s %-26s %-24s %-28s %s\n", qPrintable(what),
                        qPrintable(logger), qPrintable(baseline), qPrintable(beside),
                        qPrintable(target), qPrintable(result));
        else
            std::printf("%-36s %-26s %-24s %-28s %s\n", qPrintable(what), qPrintable(logger),
                        qPrintable(beside), qPrintable(target), qPrintable(result));
    }
    // The verdict on this build, and for a target of its own also the baseline's.
    QString verdicts(bool met, bool baselineMet) const
    {
        return m_withBaseline ? QStringLiteral("%1 (old: %2)").arg(verdict(met), verdict(baselineMet))
                              : verdict(met);
    }

private:
    bool m_withBaseline;
};

QString drainText(const DrainResult &d)
{
    return QStringLiteral("%1/%2, %3, %4 s")
        .arg(d.lines)
        .arg(d.rows)
        .arg(d.exitCode)
        .arg(d.seconds, 0, 'f', 2);
}

QString lockText(const LockResult &l)
{
    if (!l.started)
        return QStringLiteral("did not start");
    if (!l.locked)
        return QStringLiteral("no lock taken");
    if (l.endedAfter >= 0)
        return QStringLiteral("%1 late, ended %2 s in").arg(l.worstMissing).arg(l.endedAfter, 0, 'f', 1);
    return QStringLiteral("%1 late, %2/%3%4, %5")
        .arg(l.worstMissing)
        .arg(l.lines)
        .arg(l.rows)
        .arg(l.inOrder ? QString() : QStringLiteral(" unordered"))
        .arg(l.exitCode);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption quickOption(QStringLiteral("quick"));
    const QCommandLineOption programOption(QStringLiteral("baseline-program"),
                                           QStringLiteral("the baseline's kivlogging"),
                                           QStringLiteral("path"));
    const QCommandLineOption listOption(QStringLiteral("baseline-list"),
                                        QStringLiteral("the baseline's bench_list"),
                                        QStringLiteral("path"));
    const QCommandLineOption nameOption(QStringLiteral("baseline-name"),
                                        QStringLiteral("what to call it"), QStringLiteral("name"),
                                        QStringLiteral("old"));
    parser.addOptions({quickOption, programOption, listOption, nameOption});
    parser.process(application);
    const Settings settings(parser.isSet(quickOption));
    Tools tools;
    if (parser.isSet(programOption) != parser.isSet(listOption)) {
        std::fprintf(stderr, "A baseline needs both --baseline-program and --baseline-list.\n");
        return 2;
    }
    if (parser.isSet(programOption))
        tools.builds.push_back({parser.value(nameOption), parser.value(programOption),
                                parser.value(listOption)});
    for (const Build &build : tools.builds) {
        for (const QString &path : {build.program, build.list}) {
            if (!QFileInfo(path).isExecutable()) {
                std::fprintf(stderr, "%s: not built\n", qPrintable(path));
                return 1;
            }
        }
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "The bench runs the logger as nobody, so it needs root:\n"
                             "  sudo unshare -n sh -c 'ip link set lo up; make bench'\n");
        return 1;
    }
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
    if (!loopbackUp(LoggerPort)) {
        std::fprintf(stderr, "Loopback is down; in a new network namespace: ip link set lo up\n");
        return 1;
    }
    if (tools.rsyslog.isEmpty()) {
        std::fprintf(stderr, "rsyslogd not found; `make bench` installs it.\n");
        return 1;
    }
    const Build &current = tools.builds.front();
    const bool withBaseline = tools.withBaseline();
    const qint64 benchStart = monotonicNs();
    const QByteArray loadAtStart = loadAverage();
    const auto progress = [&](const QString &what) {
        const int elapsed = int(secondsSince(benchStart));
        std::fprintf(stderr, "[%2d:%02d] %s\n", elapsed / 60, elapsed % 60, qPrintable(what));
    };
    // Each logger trial for every build in turn, so that both meet the same moods of the
    // machine; results indexed by build.
    const auto eachBuild = [&](const QString &what, const auto &trial) {
        for (const Build &build : tools.builds) {
            progress(withBaseline ? QStringLiteral("%1 (%2)").arg(what, build.name) : what);
            trial(build);
        }
    };
    const size_t buildCount = tools.builds.size();

    std::vector<std::vector<DrainResult>> drains(buildCount);
    for (int run = 1; run <= settings.runs; ++run) {
        for (const double delay : {0.0, 0.2, 1.0}) {
            size_t b = 0;
            eachBuild(QStringLiteral("SIGTERM %1 s after 100k, run %2").arg(delay).arg(run),
                      [&](const Build &build) { drains[b++].push_back(drainTrial(tools, build, delay)); });
        }
    }

    // Index 0 without capabilities, 1 with CAP_SYS_NICE.
    const Privilege privileges[] = {Privilege::None, Privilege::SysNice};
    std::vector<long> millionLosses[2][2], counterLosses[2];
    QString priorityLines[2][2];
    for (int run = 1; run <= settings.runs; ++run) {
        for (int p = 0; p < 2; ++p) {
            const QString how = p ? QStringLiteral("reader at real-time priority")
                                  : QStringLiteral("without capabilities");
            size_t b = 0;
            eachBuild(QStringLiteral("1M at full speed, %1, run %2").arg(how).arg(run),
                      [&](const Build &build) {
                          const MillionResult result = millionLost(tools, build, privileges[p]);
                          millionLosses[p][b].push_back(result.lost);
                          if (priorityLines[p][b].isEmpty())
                              priorityLines[p][b] = result.priority;
                          ++b;
                      });
            progress(QStringLiteral("1M at full speed, bare counter, %1, run %2").arg(how).arg(run));
            counterLosses[p].push_back(counterLost(tools, privileges[p]));
        }
    }

    std::vector<qint64> wakeUps;
    eachBuild(QStringLiteral("idle for %1 s").arg(settings.idleSeconds), [&](const Build &build) {
        wakeUps.push_back(idleWakeUps(tools, build, settings.idleSeconds));
    });

    const std::vector<double> cpuRates = {100, 1000, 10000};
    std::vector<CpuResult> rsyslogCpu;
    std::vector<std::vector<CpuResult>> loggerCpu(buildCount);
    for (const double rate : cpuRates) {
        const int seconds = settings.cpuSecondsAt(rate);
        progress(QStringLiteral("CPU at %1/s, %2 s each (rsyslog)").arg(rate).arg(seconds));
        rsyslogCpu.push_back(cpuPerMessage(tools, Kind::Rsyslog, nullptr, rate, seconds));
        size_t b = 0;
        eachBuild(QStringLiteral("CPU at %1/s, %2 s each").arg(rate).arg(seconds),
                  [&](const Build &build) {
                      loggerCpu[b++].push_back(cpuPerMessage(tools, Kind::Logger, &build, rate, seconds));
                  });
    }
    qint64 loggerBuffer = -1, rsyslogBuffer = -1;
    {
        Receiver logger(tools, Kind::Logger, &current);
        Receiver rsyslog(tools, Kind::Rsyslog);
        loggerBuffer = receiveBuffer(LoggerPort);
        rsyslogBuffer = receiveBuffer(RsyslogPort);
    }

    constexpr double FloodRate = 50000;
    std::vector<FloodResult> floods;
    eachBuild(QStringLiteral("%1 s at 50k/s into the window").arg(settings.floodSeconds),
              [&](const Build &build) {
                  floods.push_back(floodTrial(tools, build, FloodRate, settings.floodSeconds));
              });

    std::vector<std::vector<LockResult>> locks(buildCount);
    for (const double hold : settings.lockSeconds) {
        size_t b = 0;
        eachBuild(QStringLiteral("Log.mdb locked for %1 s during 1k/s").arg(hold),
                  [&](const Build &build) { locks[b++].push_back(lockTrial(tools, build, hold)); });
    }

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
            const HoldResult trial =
                holdTrial(tools, kind, &current, rate, settings.floodSeconds);
            std::fprintf(stderr, "        %s %s\n",
                         trial.held ? "held" : "failed:", qPrintable(trial.note));
            search->record(trial);
        }
    }
    // A search of its own would take as long again: the baseline gets one trial, at the
    // highest rate this build held.
    HoldResult baselineHold;
    if (withBaseline && loggerSearch.held() > 0) {
        progress(QStringLiteral("logger (%1) at %2/s for %3 s")
                     .arg(tools.builds[1].name)
                     .arg(loggerSearch.held())
                     .arg(settings.floodSeconds));
        baselineHold = holdTrial(tools, Kind::Logger, &tools.builds[1], loggerSearch.held(),
                                 settings.floodSeconds);
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
                "preload): logger %lld B, rsyslog %lld B granted\n",
                readAll(QStringLiteral("/proc/sys/net/core/rmem_max")).trimmed().constData(),
                loggerBuffer, rsyslogBuffer);
    std::printf("Every logger row (and the bare counter) runs as nobody without capabilities "
                "(%s), but for the real-time row: CAP_SYS_NICE alone, ambient (%s); rsyslog runs "
                "as root\n",
                qPrintable(plainCredentials), qPrintable(niceCredentials));
    if (withBaseline)
        std::printf("Builds: new = %s, old = %s (%s), each trial run on both in turn\n",
                    qPrintable(current.program), qPrintable(tools.builds[1].program),
                    qPrintable(tools.builds[1].name));
    std::printf("\n");

    const Table table(withBaseline);
    const auto old = [&](const auto &values, const auto &show) -> QString {
        return withBaseline ? show(values[1]) : QString();
    };
    table.row(QStringLiteral("what"), QStringLiteral("logger"),
              withBaseline ? QStringLiteral("old build") : QString(), QStringLiteral("beside it"),
              QStringLiteral("target"), QString());

    std::printf("SIGTERM after 100k at full speed: lines/rows, exit status, signal to exit\n");
    for (size_t i = 0; i < drains[0].size(); ++i) {
        const DrainResult &d = drains[0][i];
        table.row(QStringLiteral("  %1 s after, run %2").arg(d.delay).arg(i / 3 + 1), drainText(d),
                  withBaseline ? drainText(drains[1][i]) : QString(),
                  QStringLiteral("delivered %1").arg(d.delivered),
                  QStringLiteral("all delivered, exit 0"),
                  table.verdicts(d.met(), withBaseline && drains[1][i].met()));
    }

    std::printf("1M at full speed, lost (run by run), the bare counter beside at the same "
                "priority\n");
    {
        const long newLost = median(millionLosses[0][0]);
        const long oldLost = withBaseline ? median(millionLosses[0][1]) : -1;
        table.row(QStringLiteral("  without capabilities"), joined(millionLosses[0][0]),
                  withBaseline ? joined(millionLosses[0][1]) : QString(),
                  QStringLiteral("counter %1").arg(joined(counterLosses[0])),
                  QStringLiteral("<= 2x the old build's"),
                  withBaseline ? verdict(newLost >= 0 && oldLost >= 0 && newLost <= 2 * oldLost)
                               : QStringLiteral("- (no baseline)"));
        const long rtLost = median(millionLosses[1][0]);
        const long rtCounter = median(counterLosses[1]);
        table.row(QStringLiteral("  reader at real-time priority"), joined(millionLosses[1][0]),
                  withBaseline ? joined(millionLosses[1][1]) : QString(),
                  QStringLiteral("counter %1").arg(joined(counterLosses[1])),
                  QStringLiteral("<= the counter's"),
                  verdict(rtLost >= 0 && rtCounter >= 0 && rtLost <= rtCounter));
        for (size_t b = 0; b < buildCount; ++b)
            std::printf("    %s said: %s\n", qPrintable(tools.builds[b].name),
                        priorityLines[1][b].isEmpty() ? "(nothing of its priority)"
                                                      : qPrintable(priorityLines[1][b]));
        std::printf("    (real-time row: logger and counter as nobody with CAP_SYS_NICE, the "
                    "counter at SCHED_FIFO 1, the logger choosing for itself)\n");
    }

    const double rateRatio =
        rsyslogSearch.held() > 0 ? loggerSearch.held() / rsyslogSearch.held() : qQNaN();
    table.row(QStringLiteral("Highest rate held %1 s, zero loss").arg(settings.floodSeconds),
              rateText(loggerSearch.held()),
              withBaseline ? (baselineHold.rate > 0
                                  ? QStringLiteral("%1 at %2").arg(baselineHold.held ? "held" : "failed",
                                                                   rateText(baselineHold.rate))
                                  : QStringLiteral("not tried"))
                           : QString(),
              QStringLiteral("rsyslog %1").arg(rateText(rsyslogSearch.held())),
              QStringLiteral(">= rsyslog's"),
              QStringLiteral("%1, %2x").arg(verdict(rateRatio >= 1)).arg(figure(rateRatio, 2)));
    std::printf("  logger trials: %s\n  rsyslog trials: %s\n", qPrintable(loggerSearch.trials()),
                qPrintable(rsyslogSearch.trials()));
    if (withBaseline)
        std::printf("  old build: one trial only, at the new build's highest rate: %s\n",
                    baselineHold.rate > 0 ? (baselineHold.held ? "held" : qPrintable(baselineHold.note))
                                          : "none held, so not tried");
    std::printf("  (held: every number recorded, never 5 s behind; doubling from 12.5k/s, then "
                "bisecting to within 10 %%)\n");
    const HoldResult &best = loggerSearch.best();
    const auto rssText = [](const HoldResult &h) {
        return QStringLiteral("%1/%2 MiB").arg(figure(h.rssBefore, 1), figure(h.rssAfter, 1));
    };
    // Also after a trial that failed: the baseline's one may.
    const auto rssMet = [](const HoldResult &h) { return std::abs(h.rssAfter - h.rssBefore) <= 10; };
    table.row(QStringLiteral("RSS before/after %1 s at %2")
                  .arg(settings.floodSeconds)
                  .arg(rateText(best.rate)),
              rssText(best), withBaseline ? rssText(baselineHold) : QString(), QString(),
              QStringLiteral("within 10 MiB"), table.verdicts(rssMet(best), rssMet(baselineHold)));

    std::printf("During %d s at 50k/s (the window in-process)\n", settings.floodSeconds);
    const auto floodLoss = [](const FloodResult &f) {
        return f.note.isEmpty() ? QStringLiteral("%1 dropped, %2 missing").arg(f.dropped).arg(f.rowsMissing)
                                : f.note;
    };
    const auto lossMet = [](const FloodResult &f) {
        return f.note.isEmpty() && f.dropped == 0 && f.rowsMissing == 0;
    };
    const auto rowText = [](const FloodResult &f) {
        return QStringLiteral("%1/%2 ms").arg(figure(f.rowP99), figure(f.rowMax));
    };
    const auto listText = [](const FloodResult &f) {
        return QStringLiteral("%1/%2 ms, %3 samples")
            .arg(figure(f.listP99), figure(f.listMax))
            .arg(f.listSamples);
    };
    const auto listMet = [](const FloodResult &f) { return f.listSamples > 0 && f.listMax <= 250; };
    table.row(QStringLiteral("  lost (kernel, rows)"), floodLoss(floods[0]), old(floods, floodLoss),
              QString(), QStringLiteral("zero loss"),
              table.verdicts(lossMet(floods[0]), withBaseline && lossMet(floods[1])));
    table.row(QStringLiteral("  send to row readable, p99/max"), rowText(floods[0]),
              old(floods, rowText), QString(), QStringLiteral("p99 <= 250 ms"),
              table.verdicts(floods[0].rowP99 <= 250, withBaseline && floods[1].rowP99 <= 250));
    table.row(QStringLiteral("  list's newest entry age, p99/max"), listText(floods[0]),
              old(floods, listText), QString(), QStringLiteral("never older than 250 ms"),
              table.verdicts(listMet(floods[0]), withBaseline && listMet(floods[1])));

    std::printf("CPU per message, each alone at a steady rate, one datagram at a time\n");
    for (size_t i = 0; i < cpuRates.size(); ++i) {
        const CpuResult &mine = loggerCpu[0][i];
        const double ratio = mine.perMessage / rsyslogCpu[i].perMessage;
        const bool noWorse =
            !withBaseline ||
            mine.perMessage <= std::max(loggerCpu[1][i].perMessage * (1 + CpuSpread),
                                        loggerCpu[1][i].perMessage + mine.tick);
        table.row(QStringLiteral("  %1/s for %2 s").arg(cpuRates[i]).arg(settings.cpuSecondsAt(cpuRates[i])),
                  QStringLiteral("%1 us").arg(figure(mine.perMessage, 1)),
                  withBaseline ? QStringLiteral("%1 us").arg(figure(loggerCpu[1][i].perMessage, 1))
                               : QString(),
                  QStringLiteral("rsyslog %1 us").arg(figure(rsyslogCpu[i].perMessage, 1)),
                  withBaseline ? QStringLiteral("<= 3x rsyslog, <= old") : QStringLiteral("<= 3x rsyslog"),
                  QStringLiteral("%1, %2x").arg(verdict(ratio <= 3 && noWorse), figure(ratio, 1)));
    }
    std::printf("  (\"<= old\" within %.0f %% or one clock tick, %s us a message at 100/s)\n",
                CpuSpread * 100, qPrintable(figure(loggerCpu[0][0].tick, 1)));
    table.row(QStringLiteral("Idle wake-ups over %1 s").arg(settings.idleSeconds),
              QString::number(wakeUps[0]), withBaseline ? QString::number(wakeUps[1]) : QString(),
              QString(), QStringLiteral("0"),
              table.verdicts(wakeUps[0] == 0, withBaseline && wakeUps[1] == 0));

    std::printf("Log.mdb locked during a 1k/s stream: entries sent over 1 s before missing from "
                "mylog.txt at the worst of %d samples (late), lines/rows after, exit status\n", LockSamples);
    for (size_t i = 0; i < settings.lockSeconds.size(); ++i) {
        const LockResult &l = locks[0][i];
        table.row(QStringLiteral("  held %1 s").arg(l.hold), lockText(l),
                  withBaseline ? lockText(locks[1][i]) : QString(),
                  QStringLiteral("sent %1").arg(l.count),
                  QStringLiteral("none late, all, in order"),
                  table.verdicts(l.met(), withBaseline && locks[1][i].met()));
        for (size_t b = 0; b < buildCount; ++b) {
            for (const QString &message : locks[b][i].messages)
                std::printf("    %s said: %s\n", qPrintable(tools.builds[b].name),
                            qPrintable(message.left(160)));
        }
    }
    return 0;
}
