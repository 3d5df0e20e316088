#include "FailureReporter.h"

#include "Failure.h"

#include <QGuiApplication>
#include <QMessageBox>

#include <cstdio>
#include <system_error>

namespace {

bool hasDisplay()
{
    const QString platform = QGuiApplication::platformName();
    return !platform.isEmpty() && platform != QLatin1String("offscreen") &&
           platform != QLatin1String("minimal");
}

} // namespace

void FailureReporter::report(const Failure &failure)
{
    const QString text =
        QStringLiteral("Error %1: %2").arg(failure.number()).arg(failure.description());
    std::fprintf(stderr, "KIVLogging: %s\n", qPrintable(text));
    std::fflush(stderr);
    if (!hasDisplay())
        return;
    QMessageBox box(QMessageBox::Critical, QStringLiteral("KIVLogging"), text, QMessageBox::Ok);
    // A second copy's message must not hide behind the first copy's window.
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
}

void FailureReporter::reportStartFailure()
{
    const QString what = QStringLiteral("Cannot start the logger: ");
    try {
        throw;
    } catch (const Failure &failure) {
        report(failure);
    } catch (const std::system_error &error) {
        report(Failure(error.code().value(),
                       what + QString::fromLocal8Bit(error.code().message().c_str())));
    } catch (const std::exception &error) {
        report(Failure(-1, what + QString::fromLocal8Bit(error.what())));
    }
}
