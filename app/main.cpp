#include "Clock.h"
#include "Failure.h"
#include "FailureReporter.h"
#include "TerminationSignals.h"
#include "frmMain.h"

#include <QApplication>

#include <csignal>
#include <cstdio>

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
    // Closing the window starts the stop; the program ends once what was received is recorded.
    QApplication::setQuitOnLastWindowClosed(false);
    if (headlessFallback && QGuiApplication::platformName() == QLatin1String("offscreen"))
        std::fputs("KIVLogging: cannot reach the display; running headless.\n", stderr);
    TerminationSignals terminationSignals;
    Clock clock;
    FailureReporter reporter;
    frmMain window(QCoreApplication::applicationDirPath(), frmMain::LoggerPort, clock, reporter);
    QObject::connect(&terminationSignals, &TerminationSignals::received, &window,
                     &frmMain::requestStop);
    try {
        window.Form_Load();
    } catch (const Failure &failure) {
        reporter.report(failure);
        return 1;
    }
    // Headless, nobody would see the window: it is never drawn.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        window.show();
    return application.exec();
}
