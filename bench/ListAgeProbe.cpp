// Runs the logger's stages and its window in-process. From a line "start TIME" on standard
// input (the flood's start, CLOCK_MONOTONIC nanoseconds) to a line "done" it samples every
// 10 ms how old the newest entry in the window's list is, and stamps each paint of the list:
// when it ended, and the newest entry it drew; both by the sending time the bench's sender
// puts in each payload. Prints "ready" once listening. At "done" it prints "paints TIME SENT
// TIME SENT ..." and "list-age-ms P99 MAX SAMPLES"; at "done SENT" the same once an entry
// sent at SENT or later is painted (or 1 s on). Then it goes on recording until it is killed.
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

// The sending time in an entry "NUMBER TIME ...", or 0 for any other entry.
long long sendingTime(const QString &entry)
{
    if (entry.isEmpty() || !entry.at(0).isDigit())
        return 0;
    return entry.section(QLatin1Char(' '), 1, 1).toLongLong();
}

// The sending time of the newest entry in the list, of those in `region` if given: read from
// the model, whatever the list's order.
long long newestSent(const QAbstractItemView &list, const QRegion *region = nullptr)
{
    const QAbstractItemModel &model = *list.model();
    long long newest = 0;
    for (int row = 0; row < model.rowCount(); ++row) {
        const QModelIndex index = model.index(row, 0);
        if (!region || region->intersects(list.visualRect(index)))
            newest = std::max(newest, sendingTime(index.data().toString()));
    }
    return newest;
}

// Each paint of the list: when it ended, and the newest entry it drew.
class PaintStamps : public QObject
{
public:
    explicit PaintStamps(const QAbstractItemView &list)
        : m_list(list)
    {
        list.viewport()->installEventFilter(this);
    }
    void start()
    {
        m_stamps.clear();
        m_stamping = true;
    }
    void stop() { m_stamping = false; }
    long long newestPainted() const
    {
        long long newest = 0;
        for (const auto &stamp : m_stamps)
            newest = std::max(newest, stamp.second);
        return newest;
    }
    QByteArray text() const
    {
        QByteArray text = "paints";
        for (const auto &[time, sent] : m_stamps)
            text += ' ' + QByteArray::number(time) + ' ' + QByteArray::number(sent);
        return text;
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (m_stamping && event->type() == QEvent::Paint) {
            const long long drawn =
                newestSent(m_list, &static_cast<QPaintEvent *>(event)->region());
            // Runs once the whole update is done, the paint flushed to the screen.
            if (drawn)
                QTimer::singleShot(0, this,
                                   [this, drawn] { m_stamps.emplace_back(nanoseconds(), drawn); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    const QAbstractItemView &m_list;
    bool m_stamping = false;
    std::vector<std::pair<long long, long long>> m_stamps;
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
    const auto *list = pipeline.window().findChild<QAbstractItemView *>(QStringLiteral("lstData"));
    if (!list)
        return 1;
    PaintStamps paints(*list);

    std::vector<double> ages;
    long long floodStart = 0;
    long long previousNewest = 0;
    long long previousSample = 0;
    QTimer sampler;
    sampler.setTimerType(Qt::PreciseTimer);
    sampler.setInterval(10);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        // Until the flood's first entry shows, the list is as old as the flood.
        const long long newest = std::max(newestSent(*list), floodStart);
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

    long long doneAt = 0;
    long long awaited = 0;
    QTimer answer;
    answer.setInterval(10);
    const auto answerOncePainted = [&] {
        if (paints.newestPainted() < awaited && nanoseconds() - doneAt < 1000000000)
            return;
        answer.stop();
        paints.stop();
        std::sort(ages.begin(), ages.end());
        const double p99 = ages.empty() ? -1 : ages[size_t(double(ages.size() - 1) * 0.99)];
        std::printf("%s\nlist-age-ms %.1f %.1f %zu\n", paints.text().constData(), p99,
                    ages.empty() ? -1 : ages.back(), ages.size());
        std::fflush(stdout);
    };
    QObject::connect(&answer, &QTimer::timeout, answerOncePainted);

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
                paints.start();
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
