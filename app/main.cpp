#include "Application.h"
#include "Clock.h"
#include "FailureReporter.h"
#include "Pipeline.h"
#include "PlatformChoice.h"
#include "TerminationSignals.h"

#include <exception>

int main(int argc, char *argv[])
{
    TerminationSignals::takeOver();
    applyPlatformChoice(argc, argv);
    Application application(argc, argv);
    FailureReporter reporter;
    // Building the stages already takes descriptors, memory and threads, so it fails as the
    // start-up sequence does.
    try {
        TerminationSignals terminationSignals;
        const CachingClock clock;
        Pipeline pipeline(QCoreApplication::applicationDirPath(), Pipeline::LoggerPort, clock,
                          reporter);
        QObject::connect(&terminationSignals, &TerminationSignals::received, &pipeline,
                         &Pipeline::requestStop);
        pipeline.start();
        // Headless, nobody would see the window: it is never drawn.
        if (!application.headless())
            pipeline.window().show();
        return application.exec();
    } catch (const std::exception &) {
        reporter.reportStartFailure();
    }
    return 1;
}
