// `make bench`: measures the built program from outside, beside rsyslog and a bare counting
// receiver, with 100-byte datagrams on loopback under a stock receive buffer limit, and
// prints one table with the target beside each figure. Every figure is read from outside:
// sequence numbers in the text files and rows, /proc for CPU, memory, wake-ups and the
// kernel's drops. The logger (and the bare counter) run as nobody without capabilities, as on
// a desktop, but for the one row that grants CAP_SYS_NICE; so the bench needs root. With a
// baseline build given, each logger row runs both builds in turn. The logger binds UDP 6177,
// so run it where that port is free.
//   kivbench [--quick] [--baseline-program PATH --baseline-list PATH [--baseline-name NAME]]

#include "Display.h"
#include "Receiver.h"
#include "Report.h"
#include "Trials.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    int status = 0;
    const std::optional<Bench> bench = setUp(application, &status);
    if (!bench)
        return status;
    const Settings &settings = bench->settings;
    Results results;

    for (int run = 1; run <= settings.runs; ++run) {
        for (const double delay : DrainDelays)
            results.drains.push_back(bench->eachBuild(
                QStringLiteral("SIGTERM %1 s after 100k, run %2").arg(delay).arg(run), drainTrial,
                delay));
    }
    for (int run = 1; run <= settings.runs; ++run) {
        for (const bool nice : {false, true}) {
            const Privilege privilege = nice ? Privilege::SysNice : Privilege::None;
            const QString how =
                QStringLiteral("%1, run %2")
                    .arg(nice ? "reader at real-time priority" : "without capabilities")
                    .arg(run);
            results.millions[nice].push_back(
                bench->eachBuild("1M at full speed, " + how, millionTrial, privilege));
            bench->progress("1M at full speed, bare counter, " + how);
            results.counterLosses[nice].push_back(counterTrial(*bench, privilege));
        }
    }
    results.wakeUps =
        bench->eachBuild(QStringLiteral("idle for %1 s").arg(settings.idleSeconds), idleTrial);
    for (const double rate : CpuRates) {
        const QString what =
            QStringLiteral("CPU at %1/s, %2 s each").arg(rate).arg(settings.cpuSeconds);
        bench->progress(what + " (rsyslog)");
        results.rsyslogCpu.push_back(rsyslogCpuTrial(*bench, rate));
        results.loggerCpu.push_back(bench->eachBuild(what, cpuTrial, rate, nullptr));
    }
    {
        bench->progress(QStringLiteral("starting Xvfb and openbox"));
        const Display display;
        for (const double rate : CpuRates)
            results.windowCpu.push_back(
                bench->eachBuild(QStringLiteral("CPU at %1/s with the window shown, %2 s each")
                                     .arg(rate)
                                     .arg(settings.cpuSeconds),
                                 cpuTrial, rate, &display));
        bench->progress(QStringLiteral("100/s for %1 s into the window, stamping its paints")
                            .arg(settings.paintSeconds));
        results.paint = paintTrial(*bench, bench->current(), display);
    }
    measureBuffers(*bench, results);
    results.floods = bench->eachBuild(
        QStringLiteral("%1 s at 50k/s into the window").arg(settings.floodSeconds), floodTrial);
    for (const double hold : settings.lockSeconds)
        results.locks.push_back(bench->eachBuild(
            QStringLiteral("Log.mdb locked for %1 s during 1k/s").arg(hold), lockTrial, hold));
    results.rates = searchRates(*bench);
    bench->progress(QStringLiteral("done"));
    printReport(*bench, results);
    return 0;
}
