#include "Report.h"

#include "Probes.h"
#include "Receiver.h"
#include "Table.h"
#include "Trials.h"

#include <QProcess>
#include <QThread>

#include <sys/utsname.h>

#include <algorithm>
#include <cstdio>

namespace {

// Between two trials of one build the figure varies as much (10k/s, 3 s): within it, a
// build is no worse than another.
constexpr double CpuSpread = 0.1;

void printHeader(const Bench &bench, const Results &results)
{
    const int took = bench.elapsed();
    QProcess version;
    version.start(bench.tools.rsyslog, {QStringLiteral("-v")});
    version.waitForFinished(10000);
    const QByteArray rsyslogVersion =
        version.readLine().simplified().split(' ').mid(0, 2).join(' ');
    utsname system{};
    uname(&system);
    std::printf("\nKIVLogging benchmark%s: %d-s floods, %d run(s) of the short cases, %d B "
                "datagrams on loopback, took %d min %d s\n",
                bench.settings.quick ? " (quick)" : "", bench.settings.floodSeconds,
                bench.settings.runs, Size, took / 60, took % 60);
    std::printf("Machine: %d CPUs, Linux %s, %s; load average %s at the start, %s at the end\n",
                QThread::idealThreadCount(), system.release, rsyslogVersion.constData(),
                bench.loadAtStart.constData(), loadAverage().constData());
    std::printf("Receive buffers at the stock limit (rmem_max here %s, clamped to 212992 by the "
                "preload): logger %lld B, rsyslog %lld B granted\n",
                readAll(QStringLiteral("/proc/sys/net/core/rmem_max")).trimmed().constData(),
                results.loggerBuffer, results.rsyslogBuffer);
    std::printf("Every logger row (and the bare counter) runs as nobody without capabilities "
                "(%s), but for the real-time row: CAP_SYS_NICE alone, ambient (%s); rsyslog, Xvfb "
                "and openbox run as root\n",
                qPrintable(Receiver::credentialsSeen(Privilege::None)),
                qPrintable(Receiver::credentialsSeen(Privilege::SysNice)));
    if (bench.withBaseline())
        std::printf("Builds: new = %s, old = %s (%s), each trial run on both in turn\n",
                    qPrintable(bench.current().program), qPrintable(bench.tools.builds[1].program),
                    qPrintable(bench.tools.builds[1].name));
    std::printf("\n");
}

void printLosses(const Bench &bench, const Table &table, const Results &results)
{
    std::printf("SIGTERM after 100k at full speed: lines/rows, exit status, signal to exit\n");
    for (size_t i = 0; i < results.drains.size(); ++i) {
        const DrainResult &d = results.drains[i][0];
        table.row(
            QStringLiteral("  %1 s after, run %2").arg(d.delay).arg(i / DrainDelays.size() + 1),
            results.drains[i], drainText, QStringLiteral("delivered %1").arg(d.delivered),
            QStringLiteral("all delivered, exit 0"), [](const DrainResult &r) { return r.met(); });
    }

    std::printf("1M at full speed, lost (run by run), the bare counter beside at the same "
                "privilege\n");
    // Run by run, of build `b` with privilege `p`; none of a baseline not given.
    const auto losses = [&](int p, size_t b) {
        std::vector<long> lost;
        for (const PerBuild<MillionResult> &run : results.millions[p]) {
            if (b < run.size())
                lost.push_back(run[b].lost);
        }
        return lost;
    };
    const long plain = median(losses(0, 0));
    const long plainOld = median(losses(0, 1));
    table.row(QStringLiteral("  nobody, no capabilities"), joined(losses(0, 0)),
              joined(losses(0, 1)),
              QStringLiteral("counter %1").arg(joined(results.counterLosses[0])),
              QStringLiteral("<= 2x the old build's"),
              bench.withBaseline() ? verdict(plain >= 0 && plainOld >= 0 && plain <= 2 * plainOld)
                                   : QStringLiteral("- (no baseline)"));
    const long nice = median(losses(1, 0));
    const long counter = median(results.counterLosses[1]);
    table.row(
        QStringLiteral("  nobody + CAP_SYS_NICE, real-time"), joined(losses(1, 0)),
        joined(losses(1, 1)), QStringLiteral("counter %1").arg(joined(results.counterLosses[1])),
        QStringLiteral("<= the counter's"), verdict(nice >= 0 && counter >= 0 && nice <= counter));
    for (size_t b = 0; b < bench.tools.builds.size(); ++b) {
        const auto said = std::find_if(
            results.millions[1].begin(), results.millions[1].end(),
            [&](const PerBuild<MillionResult> &run) { return !run[b].priority.isEmpty(); });
        std::printf("    %s said: %s\n", qPrintable(bench.tools.builds[b].name),
                    said == results.millions[1].end() ? "(nothing of its priority)"
                                                      : qPrintable((*said)[b].priority));
    }
    std::printf(
        "    (only this row grants a capability: logger and counter as nobody with CAP_SYS_NICE, "
        "the counter at SCHED_FIFO 1, the logger choosing for itself; every other logger "
        "row runs as nobody without capabilities)\n");
}

void printRates(const Bench &bench, const Table &table, const Results &results)
{
    const RateResults &rates = results.rates;
    const HoldResult &old = rates.baseline;
    const double ratio =
        rates.rsyslog.held() > 0 ? rates.logger.held() / rates.rsyslog.held() : qQNaN();
    table.row(QStringLiteral("Highest rate held %1 s, zero loss").arg(bench.settings.floodSeconds),
              rateText(rates.logger.held()),
              bench.withBaseline()
                  ? (old.rate > 0 ? QStringLiteral("%1 at %2")
                                        .arg(old.held ? "held" : "failed", rateText(old.rate))
                                  : QStringLiteral("not tried"))
                  : QString(),
              QStringLiteral("rsyslog %1").arg(rateText(rates.rsyslog.held())),
              QStringLiteral(">= rsyslog's"),
              QStringLiteral("%1, %2x").arg(verdict(ratio >= 1), figure(ratio, 2)));
    std::printf("  logger trials: %s\n  rsyslog trials: %s\n", qPrintable(rates.logger.trials()),
                qPrintable(rates.rsyslog.trials()));
    if (bench.withBaseline())
        std::printf("  old build: one trial only, at the new build's highest rate: %s\n",
                    old.rate > 0 ? (old.held ? "held" : qPrintable(old.note))
                                 : "none held, so not tried");
    std::printf("  (held: every number recorded, never 5 s behind; doubling from 12.5k/s, then "
                "bisecting to within 10 %%)\n");
    // Also after a trial that failed: the baseline's one may.
    table.row(
        QStringLiteral("RSS before/after %1 s at %2")
            .arg(bench.settings.floodSeconds)
            .arg(rateText(rates.logger.best().rate)),
        PerBuild<HoldResult>{rates.logger.best(), old},
        [](const HoldResult &h) {
            return QStringLiteral("%1/%2 MiB").arg(figure(h.rssBefore, 1), figure(h.rssAfter, 1));
        },
        QString(), QStringLiteral("within 10 MiB"),
        [](const HoldResult &h) { return std::abs(h.rssAfter - h.rssBefore) <= 10; });
}

void printFloods(const Bench &bench, const Table &table, const Results &results)
{
    std::printf("During %d s at 50k/s (the window in-process, offscreen)\n",
                bench.settings.floodSeconds);
    table.row(
        QStringLiteral("  lost (kernel, rows)"), results.floods,
        [](const FloodResult &f) {
            return f.note.isEmpty()
                       ? QStringLiteral("%1 dropped, %2 missing").arg(f.dropped).arg(f.rowsMissing)
                       : f.note;
        },
        QString(), QStringLiteral("zero loss"),
        [](const FloodResult &f) {
            return f.note.isEmpty() && f.dropped == 0 && f.rowsMissing == 0;
        });
    table.row(
        QStringLiteral("  send to row readable, p99/max"), results.floods,
        [](const FloodResult &f) {
            return QStringLiteral("%1/%2 ms").arg(figure(f.rowP99), figure(f.rowMax));
        },
        QString(), QStringLiteral("p99 <= 250 ms"),
        [](const FloodResult &f) { return f.rowP99 <= 250; });
    table.row(
        QStringLiteral("  list's newest entry age, p99/max"), results.floods,
        [](const FloodResult &f) {
            return QStringLiteral("%1/%2 ms, %3 samples")
                .arg(figure(f.listP99), figure(f.listMax))
                .arg(f.listSamples);
        },
        QString(), QStringLiteral("never older than 250 ms"),
        [](const FloodResult &f) { return f.listSamples > 0 && f.listMax <= 250; });
}

void printCosts(const Bench &bench, const Table &table, const Results &results)
{
    const bool withBaseline = bench.withBaseline();
    const auto rateRow = [&](size_t i) {
        return QStringLiteral("  %1/s for %2 s").arg(CpuRates[i]).arg(bench.settings.cpuSeconds);
    };
    std::printf("CPU per message, each alone at a steady rate, one datagram at a time\n");
    for (size_t i = 0; i < CpuRates.size(); ++i) {
        const PerBuild<CpuResult> &logger = results.loggerCpu[i];
        const double ratio = logger[0].perMessage / results.rsyslogCpu[i].perMessage;
        const bool noWorse =
            !withBaseline || logger[0].perMessage <= logger[1].perMessage * (1 + CpuSpread);
        table.row(rateRow(i), microseconds(logger[0]),
                  withBaseline ? microseconds(logger[1]) : QString(),
                  QStringLiteral("rsyslog %1").arg(microseconds(results.rsyslogCpu[i])),
                  withBaseline ? QStringLiteral("<= 3x rsyslog, <= old")
                               : QStringLiteral("<= 3x rsyslog"),
                  QStringLiteral("%1, %2x").arg(verdict(ratio <= 3 && noWorse), figure(ratio, 1)));
    }
    std::printf("  (\"<= old\" within %.0f %%)\n", CpuSpread * 100);

    std::printf("The same with the window shown under Xvfb and openbox: all = logger + X server + "
                "window manager, beside each build's own headless figure above\n");
    const auto parts = [](const CpuResult &c) {
        QStringList shares;
        // Whole microseconds where a figure has three digits, so that the cell fits.
        for (const double part : c.parts)
            shares.append(figure(part, part < 100 ? 1 : 0));
        return QStringLiteral("%1 = %2 us")
            .arg(figure(c.perMessage, 1), shares.join(QLatin1Char('+')));
    };
    for (size_t i = 0; i < CpuRates.size(); ++i) {
        const auto headless = [&](size_t b) {
            return figure(results.loggerCpu[i][b].perMessage, 1);
        };
        const auto judged = [&](size_t b) {
            const double ratio =
                results.windowCpu[i][b].perMessage / results.loggerCpu[i][b].perMessage;
            return QStringLiteral("%1, %2x").arg(verdict(ratio <= 2), figure(ratio, 1));
        };
        table.row(rateRow(i), parts(results.windowCpu[i][0]),
                  withBaseline ? parts(results.windowCpu[i][1]) : QString(),
                  withBaseline ? QStringLiteral("headless %1/%2 us").arg(headless(0), headless(1))
                               : QStringLiteral("headless %1 us").arg(headless(0)),
                  QStringLiteral("<= 2x headless"),
                  withBaseline ? QStringLiteral("%1 (old: %2)").arg(judged(0), judged(1))
                               : judged(0));
    }

    const PaintResult &paint = results.paint;
    std::printf(
        "The window in-process under Xvfb and openbox, 100/s evenly for %d s: from sending to "
        "the end of the first paint showing the entry; a lone entry at 100/s painted within "
        "35 ms, p99\n",
        bench.settings.paintSeconds);
    table.row(QStringLiteral("  send to painted, p99/max"),
              paint.note.isEmpty()
                  ? QStringLiteral("%1/%2 ms").arg(figure(paint.p99), figure(paint.max))
                  : paint.note,
              withBaseline ? QStringLiteral("-") : QString(),
              QStringLiteral("%1 unpainted").arg(paint.unpainted), QStringLiteral("p99 <= 35 ms"),
              verdict(paint.p99 <= 35));

    table.row(
        QStringLiteral("Idle wake-ups over %1 s").arg(bench.settings.idleSeconds), results.wakeUps,
        [](qint64 wakeUps) { return QString::number(wakeUps); }, QString(), QStringLiteral("0"),
        [](qint64 wakeUps) { return wakeUps == 0; });
}

void printLocks(const Bench &bench, const Table &table, const Results &results)
{
    std::printf("Log.mdb locked during a 1k/s stream: entries sent over 1 s before missing from "
                "mylog.txt at the worst of %d samples (late), lines/rows after, exit status\n",
                LockSamples);
    for (const PerBuild<LockResult> &locks : results.locks) {
        table.row(QStringLiteral("  held %1 s").arg(locks[0].hold), locks, lockText,
                  QStringLiteral("sent %1").arg(locks[0].count),
                  QStringLiteral("none late, all, in order"),
                  [](const LockResult &l) { return l.met(); });
        for (size_t b = 0; b < locks.size(); ++b) {
            for (const QString &message : locks[b].messages)
                std::printf("    %s said: %s\n", qPrintable(bench.tools.builds[b].name),
                            qPrintable(message.left(160)));
        }
    }
}

} // namespace

void printReport(const Bench &bench, const Results &results)
{
    printHeader(bench, results);
    const Table table(bench.withBaseline());
    table.row(QStringLiteral("what"), QStringLiteral("logger"),
              bench.withBaseline() ? QStringLiteral("old build") : QString(),
              QStringLiteral("beside it"), QStringLiteral("target"), QString());
    printLosses(bench, table, results);
    printRates(bench, table, results);
    printFloods(bench, table, results);
    printCosts(bench, table, results);
    printLocks(bench, table, results);
}
