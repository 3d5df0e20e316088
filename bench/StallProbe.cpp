// Runs the real window with its socket and recording, sends it a burst with bench_sender, and
// measures with a timer probe how long the event loop was away at most until the burst is
// recorded. Prints "longest-away-ms X over-50-ms N entries LAST".
//   bench_stall SENDER COUNT SIZE

#include "Clock.h"
#include "Failure.h"
#include "FailureReporter.h"
#include "TestSupport.h"
#include "frmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>

int main(int argc, char *argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s SENDER COUNT SIZE\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QString sender = QString::fromLocal8Bit(argv[1]);
    const long count = std::atol(argv[2]);
    const QString size = QString::fromLocal8Bit(argv[3]);

    QTemporaryDir directory;
    if (!createLogDatabase(directory.filePath(QStringLiteral("Log.mdb"))))
        return 1;

    Clock clock;
    FailureReporter reporter;
    frmMain window(directory.path(), 0, clock, reporter);
    try {
        window.Form_Load();
    } catch (const Failure &failure) {
        reporter.report(failure);
        return 1;
    }
    window.show();
    const auto *list = window.findChild<QListWidget *>(QStringLiteral("lstData"));

    // The probe asks for every millisecond; the gap between two firings is the time the loop
    // was away (or waiting, when idle, which the probe cannot tell apart: it only runs while
    // the burst is being recorded).
    QElapsedTimer sinceProbe;
    qint64 longestNs = 0;
    int over50 = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 gap = sinceProbe.nsecsElapsed();
        longestNs = std::max(longestNs, gap);
        over50 += gap > 50000000 ? 1 : 0;
        sinceProbe.start();
    });

    QProcess senderProcess;
    senderProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer sinceChange;
    QString newest;
    QTimer watch;
    watch.setInterval(100);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString latest = list->count() ? list->item(list->count() - 1)->text() : QString();
        if (latest != newest) {
            newest = latest;
            sinceChange.start();
        }
        const bool last = newest.left(10).toLong() == count;
        const bool quiet =
            senderProcess.state() == QProcess::NotRunning && sinceChange.elapsed() > 3000;
        if (last || quiet)
            application.quit();
    });

    // While a burst comes in the recording may wait for it all; quiet counts from its end.
    QObject::connect(&senderProcess, &QProcess::finished, [&] { sinceChange.start(); });
    senderProcess.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    senderProcess.start(sender,
                        {QString::number(window.localPort()), QString::number(count), size});
    if (!senderProcess.waitForStarted())
        return 1;
    sinceChange.start();
    sinceProbe.start();
    probe.start();
    watch.start();
    application.exec();
    senderProcess.waitForFinished();

    std::printf("longest-away-ms %.1f over-50-ms %d entries %s\n", double(longestNs) / 1e6, over50,
                qPrintable(newest.left(10)));
    return 0;
}
