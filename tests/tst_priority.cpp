#include "ReaderPriority.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

enum class Answer { Grant, Refuse, Silence, Absent };

constexpr QLatin1String ServiceName("org.freedesktop.RealtimeKit1");
constexpr QLatin1String ObjectPath("/org/freedesktop/RealtimeKit1");
constexpr QLatin1String StandInBus("stand-in");

// Answers for RealtimeKit as the test tells it, and notes what it was asked.
class StandIn : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.RealtimeKit1")

public:
    explicit StandIn(Answer answer)
        : m_answer(answer)
    {}
    qulonglong m_thread = 0;
    uint m_priority = 0;

public slots:
    void MakeThreadRealtime(qulonglong thread, uint priority)
    {
        m_thread = thread;
        m_priority = priority;
        if (m_answer == Answer::Refuse)
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Operation not permitted"));
        else if (m_answer == Answer::Silence)
            setDelayedReply(true); // and never replies
    }

private:
    Answer m_answer;
};

struct Asked
{
    std::atomic<bool> done{false};
    bool granted = false;
    QString why;
    pid_t thread = 0;
    qint64 milliseconds = 0;
};

// Asks from a plain thread, as the reader does, while this thread serves the stand-in.
std::shared_ptr<Asked> askFromPlainThread(int timeoutMilliseconds)
{
    auto asked = std::make_shared<Asked>();
    std::thread caller([asked, timeoutMilliseconds] {
        QElapsedTimer clock;
        clock.start();
        asked->thread = ::gettid();
        asked->granted =
            ReaderPriority::askRealtimeKit(asked->thread, timeoutMilliseconds, &asked->why);
        asked->milliseconds = clock.elapsed();
        asked->done = true;
    });
    // A caller still stuck fails the test; it holds its state itself.
    if (QTest::qWaitFor([&] { return asked->done.load(); }, 10'000))
        caller.join();
    else
        caller.detach();
    return asked;
}

bool isRealtime()
{
    const int policy = ::sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    return policy == SCHED_FIFO || policy == SCHED_RR;
}

} // namespace

Q_DECLARE_METATYPE(Answer)

class tst_Priority : public QObject
{
    Q_OBJECT

private slots:
    // A bus of the test's own stands in for the system bus.
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral("<busconfig><type>session</type><listen>unix:path=%1</listen>"
                                    "<policy context=\"default\"><allow own=\"*\"/>"
                                    "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                                    "</policy></busconfig>")
                         .arg(m_dir.filePath(QStringLiteral("bus")))
                         .toUtf8());
        config.close();
        // Goes with the test even when a case kills it.
        m_bus.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_bus.start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--config-file=") + config.fileName(),
                     QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        QVERIFY2(m_bus.waitForStarted(5'000), qPrintable(m_bus.errorString()));
        const QDeadlineTimer deadline(10'000);
        while (!m_bus.canReadLine() && m_bus.waitForReadyRead(int(deadline.remainingTime()))) {
        }
        QVERIFY2(m_bus.canReadLine(), "dbus-daemon did not print its address");
        const QByteArray address = m_bus.readLine().trimmed();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
        QVERIFY(
            QDBusConnection::connectToBus(QString::fromUtf8(address), StandInBus).isConnected());
    }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus(StandInBus);
        m_bus.terminate();
        QVERIFY(m_bus.waitForFinished(5'000));
    }

    void cleanup() { QDBusConnection(StandInBus).unregisterService(ServiceName); }

    void askRealtimeKit_data()
    {
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<bool>("granted");
        QTest::addColumn<QString>("why");
        QTest::newRow("grants") << Answer::Grant << true << QString();
        QTest::newRow("refuses") << Answer::Refuse << false
                                 << QStringLiteral("refused: Operation not permitted");
        QTest::newRow("never answers")
            << Answer::Silence << false << QStringLiteral("did not answer within 300 ms");
        QTest::newRow("not there")
            << Answer::Absent << false << QStringLiteral("not on the system bus");
    }

    void askRealtimeKit()
    {
        QFETCH(Answer, answer);
        QFETCH(bool, granted);
        QFETCH(QString, why);
        StandIn standIn(answer); // unregisters itself when destroyed
        QDBusConnection bus(StandInBus);
        if (answer != Answer::Absent) {
            QVERIFY(bus.registerObject(ObjectPath, &standIn, QDBusConnection::ExportAllSlots));
            QVERIFY(bus.registerService(ServiceName));
        }

        const auto asked = askFromPlainThread(300);
        QVERIFY2(asked->done, "askRealtimeKit did not return");
        QCOMPARE(asked->granted, granted);
        QVERIFY2(asked->why.contains(why), qPrintable(asked->why));
        QCOMPARE_LT(asked->milliseconds, 5'000);
        if (answer != Answer::Absent) {
            QCOMPARE(standIn.m_thread, qulonglong(asked->thread));
            QCOMPARE(standIn.m_priority, 1u);
        }
    }

    // A reader that never blocks at real-time priority is sent back to normal priority at the
    // soft limit, before the kernel's hard limit would kill the logger.
    void floodSendsTheReaderBackToNormalPriority()
    {
        rlimit savedLimit{};
        QCOMPARE(::getrlimit(RLIMIT_RTTIME, &savedLimit), 0);
        struct sigaction savedAction = {};
        QCOMPARE(::sigaction(SIGXCPU, nullptr, &savedAction), 0);

        QString told;
        bool realtime = false;
        rlimit limit{};
        bool normalAgain = false;
        std::thread reader([&] {
            told = ReaderPriority::raise();
            realtime = isRealtime();
            ::getrlimit(RLIMIT_RTTIME, &limit);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            while (isRealtime() && std::chrono::steady_clock::now() < deadline) {
            }
            normalAgain = !isRealtime();
        });
        reader.join();
        // Raising the hard limit back needs privilege; without it the lower one stays, harmless.
        ::setrlimit(RLIMIT_RTTIME, &savedLimit);
        ::sigaction(SIGXCPU, &savedAction, nullptr);

        if (!realtime)
            QSKIP(qPrintable(told));
        // RealtimeKit refuses a hard limit above 200 ms.
        QCOMPARE_LE(limit.rlim_max, rlim_t(200'000));
        QCOMPARE_LT(limit.rlim_cur, limit.rlim_max);
        QVERIFY2(normalAgain, qPrintable(told));
    }

private:
    QTemporaryDir m_dir;
    QProcess m_bus;
};

QTEST_GUILESS_MAIN(tst_Priority)

#include "tst_priority.moc"
