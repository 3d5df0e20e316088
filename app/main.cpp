#include "Clock.h"
#include "DatabaseLog.h"
#include "Failure.h"
#include "FailureReporter.h"
#include "Pipeline.h"
#include "PlatformChoice.h"
#include "TerminationSignals.h"

#include <QApplication>
#include <QFile>
#include <QIcon>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <system_error>

namespace {

// Qt takes -platform (or --platform) before the environment.
bool platformArgument(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    const PlatformChoice platform = choosePlatform(
        !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || platformArgument(argc, argv),
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"), !qEnvironmentVariableIsEmpty("DISPLAY"));
    if (!platform.platforms.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform.platforms);
    if (platform.noDisplay)
        std::fputs("KIVLogging: no display found; running headless.\n", stderr);
    // A full disk or a file size limit must fail the write, not kill the process.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    TerminationSignals::block();
    DatabaseLog::configureLibrary();

    QApplication application(argc, argv);
    // Closing the window starts the stop; the program ends once what was received is recorded.
    QApplication::setQuitOnLastWindowClosed(false);
    // Qt has taken its own arguments out; the logger takes none.
    if (argc > 1) {
        QByteArray ignored;
        for (int i = 1; i < argc; ++i)
            ignored += QByteArray(" ") + argv[i];
        std::fprintf(stderr,
                     "KIVLogging: ignoring%s: the logger takes no arguments but Qt's own.\n",
                     ignored.constData());
    }
    // Offscreen is only the last of the platforms tried when a display is named.
    const bool headless = QGuiApplication::platformName() == QLatin1String("offscreen");
    if (!platform.platforms.isEmpty() && !platform.noDisplay && headless)
        std::fputs("KIVLogging: cannot reach the display; running headless.\n", stderr);
    // The menu entry and the window go together in task bars and window lists.
    QGuiApplication::setDesktopFileName(QStringLiteral("kivlogging"));
    const QIcon icon(QStringLiteral(":/kivlogging.svg"));
    if (icon.pixmap(64).isNull())
        std::fputs("KIVLogging: cannot draw the window icon (Qt's SVG plugins are missing).\n",
                   stderr);
    QApplication::setWindowIcon(icon);

    FailureReporter reporter;
    // Building the stages already takes descriptors, memory and threads, so it fails as the
    // start-up sequence does.
    try {
        TerminationSignals terminationSignals;
        CachingClock clock;
        Pipeline pipeline(QCoreApplication::applicationDirPath(), Pipeline::LoggerPort, clock,
                          reporter);
        QObject::connect(&terminationSignals, &TerminationSignals::received, &pipeline,
                         &Pipeline::requestStop);
        pipeline.start();
        std::fprintf(stderr, "KIVLogging: listening on UDP %u (IPv4 and IPv6), writing %s and %s\n",
                     unsigned(pipeline.localPort()),
                     QFile::encodeName(pipeline.textLogPath()).constData(),
                     QFile::encodeName(pipeline.databasePath()).constData());
        // Headless, nobody would see the window: it is never drawn.
        if (!headless)
            pipeline.window().show();
        return application.exec();
    } catch (const Failure &failure) {
        reporter.report(failure);
    } catch (const std::system_error &error) {
        reporter.report(Failure(error.code().value(),
                                QStringLiteral("Cannot start the logger: ") +
                                    QString::fromLocal8Bit(error.code().message().c_str())));
    } catch (const std::exception &error) {
        reporter.report(Failure(-1, QStringLiteral("Cannot start the logger: ") +
                                        QString::fromLocal8Bit(error.what())));
    }
    return 1;
}
