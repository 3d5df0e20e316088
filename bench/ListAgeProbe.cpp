// Runs the logger's stages and its window in-process and samples every 10 ms how old the
// newest entry in the window's list is, by the sending time the bench's sender puts in each
// payload. Prints "ready" once listening; sampling runs from a line "start TIME" on standard
// input (the flood's start, CLOCK_MONOTONIC nanoseconds) to a line "done", then it prints
// "list-age-ms P99 MAX SAMPLES" and goes on recording until it is killed.
//   bench_list APPLICATION_DIRECTORY PORT

#include "Clock.h"
#include "Failure.h"
#include "FailureReporter.h"
#include "Pipeline.h"

#include <QApplication>
#include <QListWidget>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace {

long long nanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// The sending time in an entry "NUMBER TIME ...", or 0 for any other entry.
long long sendingTime(const QString &entry)
{
    if (entry.isEmpty() || !entry.at(0).isDigit())
        return 0;
    return entry.section(QLatin1Char(' '), 1, 1).toLongLong();
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s APPLICATION_DIRECTORY PORT\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    CachingClock clock;
    FailureReporter reporter;
    Pipeline pipeline(QString::fromLocal8Bit(argv[1]), quint16(std::atoi(argv[2])), clock,
                      reporter);
    try {
        pipeline.start();
    } catch (const Failure &failure) {
        reporter.report(failure);
        return 1;
    }
    // Shown, so that it paints as it would on a screen.
    pipeline.window().show();
    const auto *list = pipeline.window().findChild<QListWidget *>(QStringLiteral("lstData"));
    if (!list)
        return 1;

    std::vector<double> ages;
    long long floodStart = 0;
    long long previousNewest = 0;
    long long previousSample = 0;
    QTimer sampler;
    sampler.setTimerType(Qt::PreciseTimer);
    sampler.setInterval(10);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const int count = list->count();
        const long long sent = count ? sendingTime(list->item(count - 1)->text()) : 0;
        // Until the flood's first entry shows, the list is as old as the flood.
        const long long newest = std::max(sent, floodStart);
        const long long now = nanoseconds();
        long long age = now - newest;
        // A late sample means the event loop was away, and the list could not change on
        // screen: until now it showed the entry the previous sample saw.
        if (previousNewest && now - previousSample > 20000000)
            age = std::max(age, now - previousNewest);
        ages.push_back(double(age) / 1e6);
        previousNewest = newest;
        previousSample = now;
    });

    QByteArray input;
    QSocketNotifier notifier(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            notifier.setEnabled(false);
            return;
        }
        input.append(buffer, got);
        while (input.contains('\n')) {
            const QByteArray line = input.left(input.indexOf('\n'));
            input.remove(0, line.size() + 1);
            if (line.startsWith("start ")) {
                floodStart = line.mid(6).toLongLong();
                sampler.start();
            } else if (line == "done") {
                sampler.stop();
                std::sort(ages.begin(), ages.end());
                const double p99 = ages.empty() ? -1 : ages[size_t(double(ages.size() - 1) * 0.99)];
                std::printf("list-age-ms %.1f %.1f %zu\n", p99, ages.empty() ? -1 : ages.back(),
                            ages.size());
                std::fflush(stdout);
            }
        }
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return application.exec();
}
