#include "Trials.h"

#include "Display.h"
#include "Probes.h"
#include "Receiver.h"
#include "Traffic.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

DrainResult drainTrial(const Bench &bench, const Build &build, double delay)
{
    constexpr long Count = 100000;
    DrainResult result;
    result.delay = delay;
    Receiver logger(bench.tools, Kind::Logger, &build);
    if (!logger.listening() || !send(bench.tools, LoggerPort, Count, 0))
        return result;
    pause(delay);
    // What the kernel delivered is known just before the signal: later drops are not its.
    result.delivered = Count - logger.drops();
    result.exitCode = logger.terminate(120, &result.seconds);
    result.lines = logger.linesHolding(Count);
    result.rows = logger.rowsHolding(Count);
    return result;
}

MillionResult millionTrial(const Bench &bench, const Build &build, Privilege privilege)
{
    MillionResult result;
    Receiver logger(bench.tools, Kind::Logger, &build, privilege);
    if (!logger.listening() || !send(bench.tools, LoggerPort, Million, 0))
        return result;
    logger.waitForLines(Million, 5, 300);
    result.priority = logger.said(QStringLiteral("priority"));
    result.lost = Million - std::min(logger.linesHolding(Million), logger.rowsHolding(Million));
    return result;
}

long counterTrial(const Bench &bench, Privilege privilege)
{
    Receiver counter(bench.tools, Kind::Counter, nullptr, privilege);
    if (!counter.listening())
        return -1;
    send(bench.tools, LoggerPort, Million, 0);
    counter.waitForEnd(60);
    // "ready BUFFER" first, then "received COUNT dropped DROPS" at its end.
    QByteArray line;
    while (!(line = counter.readLine(0)).isEmpty() && !line.startsWith("received")) {
    }
    return Million - line.split(' ').value(1).toLong();
}

qint64 idleTrial(const Bench &bench, const Build &build)
{
    Receiver logger(bench.tools, Kind::Logger, &build);
    if (!logger.listening())
        return -1;
    send(bench.tools, LoggerPort, 100, 1000, QStringLiteral("w"));
    logger.waitForLines(100, 2, 10);
    pause(2);
    const qint64 before = contextSwitches(logger.pid());
    pause(bench.settings.idleSeconds);
    return contextSwitches(logger.pid()) - before;
}

namespace {

// Until the process takes under 1 ms of CPU in 200 ms, for at most 5 s.
void waitUntilIdle(qint64 pid)
{
    const qint64 deadline = monotonicNs() + 5000000000LL;
    qint64 used = cpuNanoseconds(pid);
    do {
        pause(0.2);
        const qint64 before = std::exchange(used, cpuNanoseconds(pid));
        if (used - before < 1000000)
            return;
    } while (monotonicNs() < deadline);
}

CpuResult cpuPerMessage(
    const Bench &bench, Kind kind, const Build *build, double rate, const Display *display)
{
    constexpr long WarmUp = 100;
    CpuResult result;
    if (display && !display->valid())
        return result;
    Receiver receiver(bench.tools, kind, build, Privilege::None,
                      display ? display->name() : QString());
    // Offscreen is the last platform the logger tries: on a display it must not come to that.
    if (!receiver.listening() || (display && !receiver.said(QStringLiteral("headless")).isEmpty()))
        return result;
    send(bench.tools, receiver.port(), WarmUp, 1000, QStringLiteral("w"));
    receiver.waitForLines(WarmUp, 2, 10);
    std::vector<qint64> pids = {receiver.pid()};
    if (display) {
        pids.insert(pids.end(), {display->serverPid(), display->managerPid()});
        // The window's first showing is no part of the cost of a message.
        waitUntilIdle(display->serverPid());
    }
    std::vector<qint64> before;
    for (const qint64 pid : pids)
        before.push_back(cpuNanoseconds(pid));
    const long count = long(rate * bench.settings.cpuSeconds);
    send(bench.tools, receiver.port(), count, rate);
    if (receiver.waitForLines(WarmUp + count, 3, 60) < WarmUp + count)
        std::fprintf(stderr, "  %s wrote only %ld of %ld lines\n", qPrintable(receiver.name()),
                     receiver.lines() - WarmUp, count);
    result.perMessage = 0;
    for (size_t i = 0; i < pids.size(); ++i) {
        const qint64 after = cpuNanoseconds(pids[i]);
        // A process that ended on the way counts for nothing it did.
        result.parts.push_back(before[i] < 0 || after < 0 ? qQNaN()
                                                          : double(after - before[i]) / 1e3 / double(count));
        result.perMessage += result.parts.back();
    }
    return result;
}

} // namespace

CpuResult cpuTrial(const Bench &bench, const Build &build, double rate, const Display *display)
{
    return cpuPerMessage(bench, Kind::Logger, &build, rate, display);
}

CpuResult rsyslogCpuTrial(const Bench &bench, double rate)
{
    return cpuPerMessage(bench, Kind::Rsyslog, nullptr, rate, nullptr);
}

void measureBuffers(const Bench &bench, Results &results)
{
    Receiver logger(bench.tools, Kind::Logger, &bench.current());
    Receiver rsyslog(bench.tools, Kind::Rsyslog);
    results.loggerBuffer = receiveBuffer(LoggerPort);
    results.rsyslogBuffer = receiveBuffer(RsyslogPort);
}

namespace {

// `rate` for the flood's span: held when every number is in the output (and the rows) and the
// output was never more than 5 s of traffic behind: a receiver that only catches up after the
// flood does not keep pace. Ends early once the kernel drops any or the output falls behind.
HoldResult holdTrial(const Bench &bench, Kind kind, const Build &build, double rate)
{
    constexpr long WarmUp = 1000;
    const int seconds = bench.settings.floodSeconds;
    HoldResult result;
    result.rate = rate;
    Receiver receiver(bench.tools, kind, &build);
    if (!receiver.listening()) {
        result.note = QStringLiteral("did not start");
        return result;
    }
    send(bench.tools, receiver.port(), WarmUp, 10000, QStringLiteral("w"));
    receiver.waitForLines(WarmUp, 3, 20);
    const qint64 dropsBefore = receiver.drops();
    result.rssBefore = rssMiB(receiver.pid());

    const long count = long(rate * seconds);
    Sender sender(bench.tools, receiver.port(), count, rate);
    const qint64 start = monotonicNs();
    const auto fail = [&](const QString &note) {
        sender.kill();
        receiver.waitForLines(WarmUp + count, 2, 5);
        result.rssAfter = rssMiB(receiver.pid());
        result.note = note;
        return result;
    };
    while (!sender.wait(0.1)) {
        const double behind = rate * secondsSince(start) - double(receiver.lines() - WarmUp);
        if (receiver.drops() > dropsBefore)
            return fail(QStringLiteral("dropped by the kernel"));
        if (behind > 5 * rate)
            return fail(QStringLiteral("5 s behind"));
        if (secondsSince(start) > 2 * seconds + 10)
            return fail(QStringLiteral("sender hung"));
    }
    const double reached = sender.reached();
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

} // namespace

bool RateSearch::done() const
{
    if (m_held > 0 && m_failed > 0)
        return m_failed <= 1.1 * m_held;
    return m_held >= Highest || (m_failed > 0 && m_failed <= Lowest);
}

double RateSearch::next() const
{
    if (m_held == 0)
        return m_failed == 0 ? Start : m_failed / 2;
    if (m_failed == 0)
        return std::min(Highest, m_held * 2);
    return std::round((m_held + m_failed) / 2 / 100) * 100;
}

void RateSearch::record(const HoldResult &trial)
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

RateResults searchRates(const Bench &bench)
{
    RateResults results;
    const auto trial = [&](const QString &who, Kind kind, const Build &build, double rate) {
        bench.progress(QStringLiteral("%1 at %2/s for %3 s")
                           .arg(who)
                           .arg(rate)
                           .arg(bench.settings.floodSeconds));
        return holdTrial(bench, kind, build, rate);
    };
    // Trial by trial in turn, so that both meet the same moods of the machine.
    while (!results.logger.done() || !results.rsyslog.done()) {
        for (const Kind kind : {Kind::Logger, Kind::Rsyslog}) {
            RateSearch &search = kind == Kind::Logger ? results.logger : results.rsyslog;
            if (search.done())
                continue;
            const HoldResult held =
                trial(kind == Kind::Logger ? QStringLiteral("logger") : QStringLiteral("rsyslog"),
                      kind, bench.current(), search.next());
            std::fprintf(stderr, "        %s %s\n",
                         held.held ? "held" : "failed:", qPrintable(held.note));
            search.record(held);
        }
    }
    // A search of its own would take as long again: the baseline gets one trial, at the
    // highest rate this build held.
    if (bench.withBaseline() && results.logger.held() > 0) {
        const Build &old = bench.tools.builds[1];
        results.baseline = trial(QStringLiteral("logger (%1)").arg(old.name), Kind::Logger, old,
                                 results.logger.held());
    }
    return results;
}
