#include "Clock.h"
#include "Failure.h"
#include "FailureReporter.h"
#include "TerminationSignals.h"
#include "frmMain.h"

#include <QApplication>

#include <csignal>
#include <cstdio>

namespace {

// Without any display the logger still logs, on Qt's offscreen platform.
void chooseHeadlessWithoutDisplay()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        std::fputs("KIVLogging: no display found; running headless.\n", stderr);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    chooseHeadlessWithoutDisplay();
    // A full disk or a file size limit must fail the write, not kill the process.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    TerminationSignals::block();

    QApplication application(argc, argv);
    TerminationSignals terminationSignals;
    Clock clock;
    FailureReporter reporter;
    frmMain window(QCoreApplication::applicationDirPath(), frmMain::LoggerPort, clock, reporter);
    QObject::connect(&terminationSignals, &TerminationSignals::received, &window, &QWidget::close);
    try {
        window.Form_Load();
    } catch (const Failure &failure) {
        reporter.report(failure);
        return 1;
    }
    window.show();
    return application.exec();
}
