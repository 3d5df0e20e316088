#include "DatagramQueue.h"
#include "DatagramSocket.h"
#include "Failure.h"
#include "LossReport.h"
#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <sched.h>
#include <thread>

namespace {

bool readable(int descriptor)
{
    pollfd wait{descriptor, POLLIN, 0};
    return ::poll(&wait, 1, 0) == 1 && (wait.revents & POLLIN);
}

QByteArray numbered(int number, int size)
{
    return QByteArray::number(number).leftJustified(size, '.');
}

// Room for exactly ten datagrams of 1000 bytes.
constexpr qsizetype TenDatagrams = 10 * (1000 + DatagramQueue::DatagramOverheadBytes);

// Takes every datagram the socket has queued so far.
QByteArrayList takeAll(DatagramSocket &socket)
{
    QByteArrayList taken;
    QByteArray datagram;
    while (socket.queue().pop(datagram))
        taken.append(datagram);
    return taken;
}

// While it lives, the socket's reader hardly runs while this thread is busy: both are held to
// this thread's processor, the reader at idle priority.
class StarvedReader
{
public:
    StarvedReader()
    {
        ::sched_getaffinity(0, sizeof m_saved, &m_saved);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(::sched_getcpu(), &one);
        const QDir tasks(QStringLiteral("/proc/self/task"));
        for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const sched_param none{};
            const auto reader = pid_t(task.toInt());
            if (readFile(tasks.filePath(task + QStringLiteral("/comm"))) == "udp-reader\n")
                held = ::sched_setaffinity(0, sizeof one, &one) == 0 &&
                       ::sched_setaffinity(reader, sizeof one, &one) == 0 &&
                       ::sched_setscheduler(reader, SCHED_IDLE | SCHED_RESET_ON_FORK, &none) == 0;
        }
    }
    ~StarvedReader() { ::sched_setaffinity(0, sizeof m_saved, &m_saved); }
    bool held = false;

private:
    cpu_set_t m_saved;
};

} // namespace

class tst_Reader : public QObject
{
    Q_OBJECT

private slots:
    void queueKeepsDatagramsWholeInOrder_data();
    void queueKeepsDatagramsWholeInOrder();
    void fullQueueDropsAndCountsTheRest();
    void queueWakesTheTakerForDatagramsAndItsFailure();
    void lossReport_data();
    void lossReport();
    void readerDeliversAFloodInOrder();
    void readerCountsWhatAFullQueueDrops();
    void stopQueuesWhatTheKernelHeldAndRefusesTheRest();
    void shutsDownCleanlyWithDatagramsPending();
};

void tst_Reader::queueKeepsDatagramsWholeInOrder_data()
{
    QTest::addColumn<QList<int>>("sizes");
    const int largest = int(DatagramQueue::MaxDatagramBytes);
    QTest::newRow("empty datagrams") << QList<int>{0, 0, 0};
    QTest::newRow("mixed sizes") << QList<int>{1, 100, 0, 1400, 7};
    QTest::newRow("largest ones") << QList<int>{largest, largest, 3, largest};
    QTest::newRow("many small ones") << QList<int>(5000, 100);
}

void tst_Reader::queueKeepsDatagramsWholeInOrder()
{
    QFETCH(QList<int>, sizes);
    DatagramQueue queue(64 * 1024 * 1024);
    QByteArrayList sent;
    for (int i = 0; i < sizes.size(); ++i) {
        sent.append(QByteArray(sizes[i], char('a' + i % 26)));
        const QByteArrayView view(sent.last());
        queue.push(&view, 1);
    }
    QByteArrayList taken;
    QByteArray datagram;
    while (queue.pop(datagram))
        taken.append(datagram);
    QCOMPARE(taken, sent);
    QCOMPARE(queue.dropped(), quint64(0));
}

void tst_Reader::fullQueueDropsAndCountsTheRest()
{
    DatagramQueue queue(TenDatagrams);
    const qsizetype fitting = 10;
    QByteArrayList sent;
    std::vector<QByteArrayView> views;
    for (int i = 0; i < 200; ++i)
        sent.append(numbered(i, 1000));
    for (const QByteArray &datagram : sent)
        views.emplace_back(datagram);
    queue.push(views.data(), int(views.size()));
    QCOMPARE(queue.dropped(), quint64(200 - fitting));

    QByteArrayList taken;
    QByteArray datagram;
    while (queue.pop(datagram))
        taken.append(datagram);
    QCOMPARE(taken, sent.first(fitting));

    // Taken datagrams make room again.
    queue.push(views.data(), 1);
    QVERIFY(queue.pop(datagram));
    QCOMPARE(datagram, sent.first());
    QCOMPARE(queue.dropped(), quint64(200 - fitting));

    // Bounded by count too, so that recording all it holds takes a bounded time.
    DatagramQueue few(64 * 1024 * 1024, 3);
    few.push(views.data(), 5);
    QCOMPARE(few.dropped(), quint64(2));
    QVERIFY(few.pop(datagram));
    few.push(views.data() + 5, 2);
    QCOMPARE(few.dropped(), quint64(3));
    QCOMPARE(few.queued(), quint64(4));
}

void tst_Reader::queueWakesTheTakerForDatagramsAndItsFailure()
{
    DatagramQueue queue(1024 * 1024);
    QVERIFY(!readable(queue.readyDescriptor()));
    const QByteArrayView views[] = {"one", "two"};
    queue.push(views, 2);
    QVERIFY(readable(queue.readyDescriptor()));
    QByteArray datagram;
    QVERIFY(queue.pop(datagram));
    QVERIFY(readable(queue.readyDescriptor()));
    QVERIFY(queue.pop(datagram));
    QVERIFY(!queue.pop(datagram));
    QVERIFY(!readable(queue.readyDescriptor()));

    // The giver's failure comes after the datagrams queued before it, and keeps the taker
    // awake, so it learns of it.
    queue.push(views, 1);
    queue.fail(Failure(ENOMEM, QStringLiteral("Cannot receive")));
    QVERIFY(!queue.failure());
    QVERIFY(queue.pop(datagram));
    QCOMPARE(datagram, QByteArray("one"));
    QVERIFY(!queue.pop(datagram));
    QCOMPARE(queue.failure().value_or(Failure(0, {})).number(), ENOMEM);
    QVERIFY(readable(queue.readyDescriptor()));
}

void tst_Reader::lossReport_data()
{
    // Each step: kernel total, queue total, milliseconds (-1: the end); the line due then.
    QTest::addColumn<QList<QList<qint64>>>("steps");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::newRow("nothing lost, nothing told")
        << QList<QList<qint64>>{{0, 0, 0}, {0, 0, 9000}} << QByteArrayList{{}, {}};
    QTest::newRow("first loss told at once")
        << QList<QList<qint64>>{{3, 2, 100}}
        << QByteArrayList{"KIVLogging: 5 datagrams lost (3 in the kernel's receive buffer, 2 in "
                          "the full queue), 5 since start\n"};
    QTest::newRow("later losses gathered until the interval is over")
        << QList<QList<qint64>>{{1, 0, 0}, {4, 0, 1000}, {4, 6, 4999}, {4, 6, 5000}, {4, 6, 20000}}
        << QByteArrayList{"KIVLogging: 1 datagram lost (1 in the kernel's receive buffer, 0 in "
                          "the full queue), 1 since start\n",
                          {},
                          {},
                          "KIVLogging: 9 datagrams lost (3 in the kernel's receive buffer, 6 in "
                          "the full queue), 10 since start\n",
                          {}};
    QTest::newRow("the rest told at the end, due or not")
        << QList<QList<qint64>>{{2, 0, 0}, {2, 1, 10}, {2, 1, -1}}
        << QByteArrayList{"KIVLogging: 2 datagrams lost (2 in the kernel's receive buffer, 0 in "
                          "the full queue), 2 since start\n",
                          {},
                          "KIVLogging: 1 datagram lost (0 in the kernel's receive buffer, 1 in "
                          "the full queue), 3 since start\n"};
    QTest::newRow("nothing left at the end") << QList<QList<qint64>>{{2, 0, 0}, {2, 0, -1}}
                                             << QByteArrayList{"KIVLogging: 2 datagrams lost (2 "
                                                               "in the kernel's receive buffer, 0 "
                                                               "in the full queue), 2 since "
                                                               "start\n",
                                                               {}};
}

void tst_Reader::lossReport()
{
    QFETCH(QList<QList<qint64>>, steps);
    QFETCH(QByteArrayList, lines);
    LossReport report;
    for (int i = 0; i < steps.size(); ++i) {
        const auto kernel = quint64(steps[i][0]);
        const auto queue = quint64(steps[i][1]);
        // A negative time is the end.
        const auto line = steps[i][2] < 0 ? report.finish(kernel, queue)
                                          : report.update(kernel, queue, steps[i][2]);
        QCOMPARE(line.value_or(QByteArray()), lines[i]);
    }
}

void tst_Reader::readerDeliversAFloodInOrder()
{
    DatagramSocket socket(0);
    socket.Bind();
    constexpr int Count = 3000;
    QByteArrayList sent;
    for (int i = 0; i < Count; ++i)
        sent.append(numbered(i, 1 + i * 7 % 1400));
    std::atomic<bool> sentAll{true};
    std::thread sender([&] {
        for (int i = 0; i < Count; ++i)
            sentAll = sendDatagram(socket.localPort(), sent[i], i % 3 == 0) && sentAll;
    });
    QByteArrayList taken;
    const QDeadlineTimer deadline(20000);
    while (taken.size() + qsizetype(socket.droppedByKernel()) < Count && !deadline.hasExpired())
        taken += takeAll(socket);
    sender.join();
    QVERIFY(sentAll);
    QCOMPARE(taken.size() + qsizetype(socket.droppedByKernel()), qsizetype(Count));
    QCOMPARE(socket.droppedByQueue(), quint64(0));
    // Whatever a busy machine's kernel had to drop, what arrived is whole and in order.
    qsizetype next = 0;
    for (const QByteArray &datagram : taken) {
        const qsizetype index = sent.indexOf(datagram, next);
        QVERIFY2(index >= next, datagram.left(10).constData());
        next = index + 1;
    }
}

void tst_Reader::readerCountsWhatAFullQueueDrops()
{
    DatagramSocket socket(0, TenDatagrams);
    socket.Bind();
    const qsizetype fitting = 10;
    QByteArrayList sent;
    for (int i = 0; i < 200; ++i) {
        sent.append(numbered(i, 1000));
        QVERIFY(sendDatagram(socket.localPort(), sent.last()));
    }
    QTRY_COMPARE(socket.droppedByQueue(), quint64(200 - fitting));
    QCOMPARE(socket.droppedByKernel(), quint64(0));
    QCOMPARE(takeAll(socket), sent.first(fitting));

    QVERIFY(sendDatagram(socket.localPort(), "room again"));
    QByteArrayList taken;
    QTRY_COMPARE((taken += takeAll(socket)), QByteArrayList{"room again"});
}

void tst_Reader::stopQueuesWhatTheKernelHeldAndRefusesTheRest()
{
    DatagramSocket socket(0);
    socket.Bind();
    // Kept from the processor, the reader leaves most of them in the kernel's buffer for the
    // stop; no more are sent than that holds.
    const StarvedReader starved;
    QVERIFY(starved.held);
    const int count = int(qMin<qint64>(2000, receiveBufferBudget() / bufferCost(numbered(0, 100))));
    QByteArrayList sent;
    for (int i = 0; i < count; ++i) {
        sent.append(numbered(i, 100));
        QVERIFY(sendDatagram(socket.localPort(), sent.last()));
    }
    QVERIFY(socket.received() < quint64(count));
    socket.stopReceiving();
    QCOMPARE(takeAll(socket), sent);
    QCOMPARE(socket.droppedByKernel(), quint64(0));

    // Closed: later datagrams are refused by the kernel.
    QVERIFY(!udpPortBound(socket.localPort()));
}

void tst_Reader::shutsDownCleanlyWithDatagramsPending()
{
    const int before = openDescriptors();
    {
        DatagramSocket socket(0);
        socket.Bind();
        for (int i = 0; i < 2000; ++i)
            QVERIFY(sendDatagram(socket.localPort(), numbered(i, 100)));
        QTRY_VERIFY(socket.received() > 0);
        QVERIFY(openDescriptors() > before);
    }
    QCOMPARE(openDescriptors(), before);
}

QTEST_GUILESS_MAIN(tst_Reader)
#include "tst_reader.moc"
