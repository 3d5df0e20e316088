#include "Clock.h"
#include "Failure.h"
#include "FailureReporter.h"
#include "TerminationSignals.h"
#include "frmMain.h"

#include <QApplication>

#include <csignal>
#include <cstdio>
#include <exception>
#include <system_error>

namespace {

// Without a display the logger still logs, on Qt's offscreen platform: none named, or one
// named but out of reach (an ssh session's stale DISPLAY), which would otherwise abort.
// Returns whether offscreen is only the fallback.
bool chooseHeadlessWithoutDisplay()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return false;
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        std::fputs("KIVLogging: no display found; running headless.\n", stderr);
        return false;
    }
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                                   ? "xcb;offscreen"
                                   : "wayland;xcb;offscreen");
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool headlessFallback = chooseHeadlessWithoutDisplay();
    // A full disk or a file size limit must fail the write, not kill the process.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    TerminationSignals::block();

    QApplication application(argc, argv);
    if (headlessFallback && QGuiApplication::platformName() == QLatin1String("offscreen"))
        std::fputs("KIVLogging: cannot reach the display; running headless.\n", stderr);
    FailureReporter reporter;
    // Building the window already takes descriptors, memory and threads, so it fails as the
    // start-up sequence does.
    try {
        TerminationSignals terminationSignals;
        Clock clock;
        frmMain window(QCoreApplication::applicationDirPath(), frmMain::LoggerPort, clock,
                       reporter);
        QObject::connect(&terminationSignals, &TerminationSignals::received, &window,
                         &QWidget::close);
        window.Form_Load();
        window.show();
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
