// The logger's stages and window in-process, for what only the window knows. From "start TIME"
// on standard input (the flood's start, CLOCK_MONOTONIC ns) to "done" it samples every 10 ms
// how old the list's newest entry is, and stamps each paint of the list: when it ended and the
// newest entry it drew, both by the sending time in each payload. Prints "ready" once listening;
// at "done [SENT]" prints "paints TIME SENT ..." and "list-age-ms P99 MAX SAMPLES", with SENT
// once an entry sent at SENT or later is painted (or 1 s on). It records until killed.
//   bench_list APPLICATION_DIRECTORY PORT

#include "Clock.h"
#include "Failure.h"
#include "FailureReporter.h"
#include "Pipeline.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QPaintEvent>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

long long nanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// The sending time of the newest entry "NUMBER TIME ..." in the list, of those in `region` if
// given; read from the model, whatever the list's order.
long long newestSent(const QAbstractItemView &list, const QRegion *region = nullptr)
{
    const QAbstractItemModel &model = *list.model();
    long long newest = 0;
    for (int row = 0; row < model.rowCount(); ++row) {
        const QModelIndex index = model.index(row, 0);
        const QString entry = index.data().toString();
        if ((!region || region->intersects(list.visualRect(index))) && !entry.isEmpty() &&
            entry.at(0).isDigit())
            newest = std::max(newest, entry.section(QLatin1Char(' '), 1, 1).toLongLong());
    }
    return newest;
}

class PaintStamps : public QObject
{
public:
    explicit PaintStamps(const QAbstractItemView &list)
        : m_list(list)
    {
        list.viewport()->installEventFilter(this);
    }
    bool stamping = false;
    long long newestPainted = 0;
    QByteArray text = "paints";

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (stamping && event->type() == QEvent::Paint) {
            const long long drawn = newestSent(m_list, &static_cast<QPaintEvent *>(event)->region());
            // Stamped once the whole update is done, the paint flushed to the screen.
            if (drawn)
                QTimer::singleShot(0, this, [this, drawn] {
                    newestPainted = std::max(newestPainted, drawn);
                    text += ' ' + QByteArray::number(nanoseconds()) + ' ' + QByteArray::number(drawn);
                });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    const QAbstractItemView &m_list;
};

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s APPLICATION_DIRECTORY PORT\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    CachingClock clock;
    FailureReporter reporter;
    Pipeline pipeline(QString::fromLocal8Bit(argv[1]), quint16(std::atoi(argv[2])), clock, reporter);
    try {
        pipeline.start();
    } catch (const Failure &failure) {
        reporter.report(failure);
        return 1;
    }
    pipeline.window().show();
    const auto *list = pipeline.window().findChild<QAbstractItemView *>(QStringLiteral("lstData"));
    if (!list)
        return 1;
    PaintStamps paints(*list);

    std::vector<double> ages;
    long long floodStart = 0, previousNewest = 0, previousSample = 0;
    QTimer sampler;
    sampler.setTimerType(Qt::PreciseTimer);
    sampler.setInterval(10);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        // Until the flood's first entry shows, the list is as old as the flood.
        const long long newest = std::max(newestSent(*list), floodStart);
        const long long now = nanoseconds();
        long long age = now - newest;
        // A late sample means the event loop was away, so the screen could not change: until
        // now it showed what the previous sample saw.
        if (previousNewest && now - previousSample > 20000000)
            age = std::max(age, now - previousNewest);
        ages.push_back(double(age) / 1e6);
        previousNewest = newest;
        previousSample = now;
    });

    long long doneAt = 0, awaited = 0;
    QTimer answer;
    answer.setInterval(10);
    const auto answerOncePainted = [&] {
        if (paints.newestPainted < awaited && nanoseconds() - doneAt < 1000000000)
            return;
        answer.stop();
        paints.stamping = false;
        std::sort(ages.begin(), ages.end());
        const double p99 = ages.empty() ? -1 : ages[size_t(double(ages.size() - 1) * 0.99)];
        std::printf("%s\nlist-age-ms %.1f %.1f %zu\n", paints.text.constData(), p99,
                    ages.empty() ? -1 : ages.back(), ages.size());
        std::fflush(stdout);
    };
    QObject::connect(&answer, &QTimer::timeout, answerOncePainted);

    QByteArray input;
    QSocketNotifier notifier(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0)
            return notifier.setEnabled(false);
        input.append(buffer, got);
        while (input.contains('\n')) {
            const QByteArray line = input.left(input.indexOf('\n'));
            input.remove(0, line.size() + 1);
            if (line.startsWith("start ")) {
                floodStart = line.mid(6).toLongLong();
                sampler.start();
                paints.text = "paints";
                paints.newestPainted = 0;
                paints.stamping = true;
            } else if (line == "done" || line.startsWith("done ")) {
                sampler.stop();
                doneAt = nanoseconds();
                awaited = line.mid(5).toLongLong();
                answer.start();
                answerOncePainted();
            }
        }
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return application.exec();
}
